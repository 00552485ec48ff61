// quarvel.bench._floor: the cheapest native calls, built for the benchmark only.
//
// A benchmark row compares a native hot path with the cheapest native call of the same arity that
// returns the same kind of result: a plain C method (METH_NOARGS for no argument, METH_O for one,
// METH_FASTCALL for more) that does nothing but build its result.
//
//   f = Floor(value=12345, fvalue=1.5, obj=("a", 1), dict={...}, list=[...])
//   f.<kind><arity>(...)          method with <arity> arguments (0..6), e.g. f.int0(), f.bool2(a, b)
//   f.locked_<kind><arity>(...)   the same, inside a section of a native lock made in the
//                                 constructor (qn::Lock with Sections::any: the mutex is taken
//                                 and released, as in the modules' sections that run Python code)
//   fn_<kind><arity>(...)         module-level function of that arity
//
// kinds: int   a new int of `value` (PyLong_FromLongLong; module functions use set_value())
//        bool  True            none  None            float  a new float of `fvalue`
//        obj   `obj` itself    dict  a copy of `dict`  list  a copy of `list`
// Arguments are only counted, never converted or read.
#include "native/qn.hpp"

#include <cstdio>

namespace {

struct FloorObject {
    PyObject_HEAD
    long long value;
    double fvalue;
    PyObject* obj;
    PyObject* dict;
    PyObject* list;
    qn::Lock<qn::Sections::any> lock;
};

PyTypeObject FloorType{};

long long g_value = 12345;
double g_fvalue = 1.5;
PyObject* g_obj = nullptr;

enum Kind { kInt, kBool, kNone, kFloat, kObj, kDict, kList, kKinds };
const char* const kKindNames[kKinds] = {"int", "bool", "none", "float", "obj", "dict", "list"};
constexpr int kMaxArity = 6;

template <int K>
PyObject* result(PyObject* self) {
    auto* f = reinterpret_cast<FloorObject*>(self);
    if constexpr (K == kInt) return PyLong_FromLongLong(f ? f->value : g_value);
    if constexpr (K == kBool) Py_RETURN_TRUE;
    if constexpr (K == kNone) Py_RETURN_NONE;
    if constexpr (K == kFloat) return PyFloat_FromDouble(f ? f->fvalue : g_fvalue);
    if constexpr (K == kObj) return qn::newref(f ? f->obj : (g_obj ? g_obj : Py_None));
    if constexpr (K == kDict) return f && f->dict ? PyDict_Copy(f->dict) : PyDict_New();
    if constexpr (K == kList) return f && f->list ? PyList_GetSlice(f->list, 0, PY_SSIZE_T_MAX) : PyList_New(0);
    return nullptr;
}

template <int K, bool Locked>
PyObject* body(PyObject* self) {
    if constexpr (Locked) {
        qn::Section g(reinterpret_cast<FloorObject*>(self)->lock, "Floor.locked");
        if (!g) return nullptr;
        return result<K>(self);
    } else {
        return result<K>(self);
    }
}

template <int K, bool Locked, bool Method>
PyObject* call0(PyObject* self, PyObject*) {
    return body<K, Locked>(Method ? self : nullptr);
}
template <int K, bool Locked, bool Method>
PyObject* call1(PyObject* self, PyObject*) {
    return body<K, Locked>(Method ? self : nullptr);
}
template <int K, int N, bool Locked, bool Method>
PyObject* calln(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    static_assert(N >= 2 && N <= kMaxArity);
    if (nargs != N) {
        PyErr_Format(PyExc_TypeError, "expected %d arguments, got %zd", N, nargs);
        return nullptr;
    }
    return body<K, Locked>(Method ? self : nullptr);
}

// Method tables in fixed static storage (no std::vector/std::string: their growth paths would pull
// in libstdc++ symbols newer than the other modules need and raise the wheel's platform floor).
template <int N>
struct DefTable {
    PyMethodDef defs[N + 1];  // + the sentinel (zeroed)
    char names[N][24];
    int count;

    void add(const char* prefix, const char* kind, int arity, PyCFunction fn, int flags) {
        std::snprintf(names[count], sizeof names[count], "%s%s%d", prefix, kind, arity);
        defs[count] = {names[count], fn, flags, nullptr};
        ++count;
    }
};

constexpr int kPerPrefix = kKinds * (kMaxArity + 1);

template <int K, bool Locked, bool Method, int N>
void add_kind(DefTable<N>& t, const char* prefix) {
    t.add(prefix, kKindNames[K], 0, reinterpret_cast<PyCFunction>(call0<K, Locked, Method>), METH_NOARGS);
    t.add(prefix, kKindNames[K], 1, reinterpret_cast<PyCFunction>(call1<K, Locked, Method>), METH_O);
    auto fast = [&](auto fn, int n) {
        t.add(prefix, kKindNames[K], n, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),
              METH_FASTCALL);
    };
    fast(calln<K, 2, Locked, Method>, 2);
    fast(calln<K, 3, Locked, Method>, 3);
    fast(calln<K, 4, Locked, Method>, 4);
    fast(calln<K, 5, Locked, Method>, 5);
    fast(calln<K, 6, Locked, Method>, 6);
}

template <bool Locked, bool Method, int N>
void add_all(DefTable<N>& defs, const char* prefix) {
    add_kind<kInt, Locked, Method, N>(defs, prefix);
    add_kind<kBool, Locked, Method, N>(defs, prefix);
    add_kind<kNone, Locked, Method, N>(defs, prefix);
    add_kind<kFloat, Locked, Method, N>(defs, prefix);
    add_kind<kObj, Locked, Method, N>(defs, prefix);
    add_kind<kDict, Locked, Method, N>(defs, prefix);
    add_kind<kList, Locked, Method, N>(defs, prefix);
}

PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kw[] = {"value", "fvalue", "obj", "dict", "list", nullptr};
    long long value = 12345;
    double fvalue = 1.5;
    PyObject *obj = Py_None, *dict = nullptr, *list = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|LdOO!O!:Floor", const_cast<char**>(kw), &value, &fvalue, &obj,
                                     &PyDict_Type, &dict, &PyList_Type, &list))
        return nullptr;
    qn::Ref self = qn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* f = reinterpret_cast<FloorObject*>(self.get());
    f->value = value;
    f->fvalue = fvalue;
    f->obj = qn::newref(obj);
    Py_XINCREF(dict);
    f->dict = dict;
    Py_XINCREF(list);
    f->list = list;
    if (!qn::make_native_lock(f->lock)) return nullptr;
    return self.release();
}

void floor_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FloorObject*>(self);
    Py_XDECREF(f->obj);
    Py_XDECREF(f->dict);
    Py_XDECREF(f->list);
    f->lock.dispose();
    Py_TYPE(self)->tp_free(self);
}

PyObject* set_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "set_value(value, fvalue, obj)");
        return nullptr;
    }
    // Each conversion is checked before the next runs (none may be called with an error set), and
    // nothing changes unless all three arguments are usable.
    const long long value = PyLong_AsLongLong(args[0]);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    const double fvalue = PyFloat_AsDouble(args[1]);
    if (fvalue == -1.0 && PyErr_Occurred()) return nullptr;
    g_value = value;
    g_fvalue = fvalue;
    Py_INCREF(args[2]);
    Py_XSETREF(g_obj, args[2]);
    Py_RETURN_NONE;
}

DefTable<2 * kPerPrefix> g_methods;
DefTable<kPerPrefix + 1> g_functions;

int exec_floor(PyObject* m) {
    g_methods.count = 0;
    add_all<false, true>(g_methods, "");
    add_all<true, true>(g_methods, "locked_");
    g_functions.count = 0;
    add_all<false, false>(g_functions, "fn_");
    g_functions.defs[g_functions.count++] = {
        "set_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(set_value)), METH_FASTCALL,
        "set_value(value, fvalue, obj): results of the fn_int/fn_float/fn_obj floors"};

    qn::type_init(FloorType, "quarvel.bench._floor.Floor", sizeof(FloorObject), "Cheapest native calls.");
    FloorType.tp_new = floor_new;
    FloorType.tp_dealloc = floor_dealloc;
    FloorType.tp_methods = g_methods.defs;
    if (PyType_Ready(&FloorType) < 0 || PyModule_AddObjectRef(m, "Floor", reinterpret_cast<PyObject*>(&FloorType)) < 0)
        return -1;
    return PyModule_AddFunctions(m, g_functions.defs);
}

}  // namespace

QN_MODULE(_floor, "Cheapest native calls of each arity, for the benchmark suite.", exec_floor)
