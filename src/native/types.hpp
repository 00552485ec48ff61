// Static extension types.
//
//   static PyTypeObject CounterType{};
//   qn::type_init(CounterType, "quarvel.memory.sync_kernel.AtomicCounter", sizeof(Counter), doc);
//   CounterType.tp_new = ...; CounterType.tp_dealloc = ...;         // the module sets its slots
//   if (qn::type_ready(m, CounterType) < 0) return -1;              // ready, refuse pickling, bind
//
// Types are subclassable (Py_TPFLAGS_BASETYPE) and immutable (as every static type is); pass
// Py_TPFLAGS_HAVE_GC in extra_flags for a type that takes part in cyclic garbage collection and
// set tp_traverse / tp_clear. Instances refuse pickling: __reduce__ raises TypeError "no default
// __reduce__ due to non-trivial __cinit__", which pickle, copy.copy and __reduce_ex__ all reach.
#pragma once

#include "function.hpp"
#include "params.hpp"

namespace qn {

inline void type_init(PyTypeObject& t, const char* qualified_name, Py_ssize_t basicsize, const char* doc,
                      unsigned long extra_flags = 0) {
    if (t.tp_flags & Py_TPFLAGS_READY) return;  // a retried module initialisation: already set up
    Py_SET_REFCNT(&t, 1);
    t.tp_name = qualified_name;
    t.tp_basicsize = basicsize;
    t.tp_doc = doc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | extra_flags;
}

// The slots of a type whose instances take part in cyclic garbage collection.
struct GcSlots {
    newfunc tp_new;
    initproc tp_init;
    destructor tp_dealloc;
    traverseproc tp_traverse;
    inquiry tp_clear;
};

// type_init for such a type, with its slots set (and the GC deallocator).
inline void gc_type_init(PyTypeObject& t, const char* qualified_name, Py_ssize_t basicsize, const char* doc,
                         const GcSlots& slots) {
    type_init(t, qualified_name, basicsize, doc, Py_TPFLAGS_HAVE_GC);
    t.tp_new = slots.tp_new;
    t.tp_init = slots.tp_init;
    t.tp_dealloc = slots.tp_dealloc;
    t.tp_traverse = slots.tp_traverse;
    t.tp_clear = slots.tp_clear;
    t.tp_free = PyObject_GC_Del;
}

// tp_new of a collected type whose construction may run Python code (making a lock through a
// substituted factory, say): the instance stays out of the collector's sight until `setup` has
// completed it, then is tracked. `setup(self)` returns false with an exception set, and the
// instance is then released (its tp_dealloc sees what setup left).
template <class Setup>
PyObject* gc_new(PyTypeObject* type, Setup&& setup) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyObject_GC_UnTrack(self.get());
    if (!setup(self.get())) return nullptr;
    PyObject_GC_Track(self.get());
    return self.release();
}

// Publishes a native operation table as the type attribute `__native_ops__`: a capsule named
// `capsule_name` around `ops`, which must live as long as the process (a static table). Other
// extensions read the attribute and take the table with PyCapsule_GetPointer under that name.
inline int publish_native_ops(PyTypeObject* t, const void* ops, const char* capsule_name) {
    Ref cap = Ref::steal(PyCapsule_New(const_cast<void*>(ops), capsule_name, nullptr));
    if (!cap) return -1;
    const int r = PyDict_SetItemString(t->tp_dict, "__native_ops__", cap.get());
    PyType_Modified(t);
    return r;
}

namespace detail {
inline PyObject* refuse_reduce(Function*, MethodArgs<no_params>) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}
}  // namespace detail

inline int refuse_pickle(PyTypeObject* t) { return add_method<detail::refuse_reduce>(t, "__reduce__") ? 0 : -1; }

// Readies the type, makes its instances refuse pickling and binds it in the module under its
// short name.
inline int type_ready(PyObject* m, PyTypeObject& t) {
    if (PyType_Ready(&t) < 0) return -1;
    if (refuse_pickle(&t) < 0) return -1;
    return PyModule_AddObjectRef(m, type_short_name(&t), reinterpret_cast<PyObject*>(&t));
}

}  // namespace qn

namespace qn {

// Constructors: the type's `__init__` is a qn::Function (so its signature, annotations and
// argument errors are those of every other method, and inspect.signature(Type) works), and tp_init
// forwards to it:
//
//   static PyObject* counter_init_fn;   // set when the methods are installed
//   CounterType.tp_init = qn::init_via<&counter_init_fn>;
//   counter_init_fn = qn::add_method<counter_init>(&CounterType, "__init__");
//
// The body returns None (new reference) or nullptr.
inline int call_init(PyObject* init_fn, PyObject* self, PyObject* args, PyObject* kwds) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    const Py_ssize_t nk = kwds ? PyDict_GET_SIZE(kwds) : 0;
    PyObject* stack[kMaxParams + 1];
    if (1 + n + nk > kMaxParams) {
        // Far more arguments than any constructor takes: let the parser report it.
        Ref full = Ref::steal(PyTuple_New(n + 1));
        if (!full) return -1;
        PyTuple_SET_ITEM(full.get(), 0, newref(self));
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(full.get(), i + 1, newref(PyTuple_GET_ITEM(args, i)));
        Ref r = Ref::steal(PyObject_Call(init_fn, full.get(), kwds));
        return r ? 0 : -1;
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < n; ++i) stack[1 + i] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nk > 0) {
        kwnames = Ref::steal(PyTuple_New(nk));
        if (!kwnames) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, newref(key));
            stack[1 + n + k] = value;
            ++k;
        }
    }
    Ref r = Ref::steal(PyObject_Vectorcall(init_fn, stack, static_cast<size_t>(1 + n), kwnames.get()));
    return r ? 0 : -1;
}

// tp_init of a type whose __init__ is the function object at *InitFn (set when its methods are
// installed): the call goes through that function, with its signature and argument errors.
template <PyObject** InitFn>
int init_via(PyObject* self, PyObject* args, PyObject* kwds) {
    return call_init(*InitFn, self, args, kwds);
}

}  // namespace qn
