// The native function object: what every Python-visible method and module function is.
//
// A qn::Function behaves like a plain Python function whose body is native: it has __name__,
// __qualname__, __doc__, __module__, __annotations__ (a dict of strings), __defaults__ and a
// __signature__ (so inspect.signature works), it binds to instances like a method (also on a plain
// Python class), and `obj.method(...)` calls it through vectorcall without creating a bound
// method. One object may be installed under two names.
//
// Arguments are parsed the way the interpreter parses them for a Python function: positional,
// keyword, defaults; too many, missing, unknown and duplicate arguments raise TypeError in the
// interpreter's wording ("C.f() takes from 1 to 2 positional arguments but 3 were given", "C.f()
// missing 1 required positional argument: 'x'", "C.f() got an unexpected keyword argument 'y'",
// "C.f() got multiple values for argument 'x'"). A method's parameters include `self` (counted in
// those messages, as for a Python method).
//
// Underneath, a function has one native entry (qn::Impl) that receives the complete argument
// vector, defaults filled in, one entry per parameter (self first for methods), all borrowed; when
// called positionally with every parameter given, that is the caller's own argument array, with no
// copy. Bindings do not write such entries by hand: they declare a parameter table and a body that
// reads its arguments by name, and install it with the functions of params.hpp (add_function,
// add_method, add_static, new_method), which make the entry and the qn::FuncSpec from the table.
//
// Here:
// new_function(fdef, ...)  makes the function object from a FuncSpec (what params.hpp calls).
// add_alias(type, alias, name)  binds the very same object under a second name.
// set_direct<body, NP, NR>(fn)  gives a function an entry point with its body inlined (hot methods).
#pragma once

#include "interned.hpp"
#include "ref.hpp"

#include <cstring>
#include <initializer_list>
#include <utility>

namespace qn {

struct Function;
using Impl = PyObject* (*)(Function* fn, PyObject* const* argv);

// A parameter: its name, its default (a new reference, taken over; nullptr = required), and its
// annotation string (nullptr = none).
struct Param {
    const char* name;
    PyObject* dflt = nullptr;
    const char* annotation = nullptr;
};

struct FuncSpec {
    const char* name;
    Impl impl;
    std::initializer_list<Param> params = {};
    const char* returns = nullptr;  // return annotation, nullptr = none
    const char* doc = nullptr;
    void* data = nullptr;  // free for the body's use (fn->data)
};

constexpr Py_ssize_t kMaxParams = 24;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    PyTypeObject* self_type;  // methods of extension types: required type of argv[0]
    Py_ssize_t nparams;       // including self
    Py_ssize_t nrequired;
    PyObject* names;     // tuple of str, one per parameter
    PyObject* defaults;  // tuple for the last (nparams - nrequired) parameters
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict
    PyObject* signature;    // built on first use
    void* data;
    // Per parameter: its default (borrowed from `defaults`) or nullptr; read by the entry points
    // that fill in defaults, so that they index one flat array.
    PyObject* dflt_at[kMaxParams];
};

namespace detail {

inline PyObject* fn_format_names(PyObject* names, const Py_ssize_t* idx, Py_ssize_t n) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    Ref out = Ref::steal(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; i < n && out; ++i) {
        const char* sep = "";
        if (i > 0) sep = (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        out = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", out.get(), sep, PyTuple_GET_ITEM(names, idx[i])));
    }
    return out.release();
}

inline PyObject* fn_parse_slow(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                               PyObject** buf) {
    const Py_ssize_t np = f->nparams;
    if (nargs > np) {
        const Py_ssize_t ndef = np - f->nrequired;
        Ref sig = Ref::steal(ndef ? PyUnicode_FromFormat("from %zd to %zd", f->nrequired, np)
                                  : PyUnicode_FromFormat("%zd", np));
        if (!sig) return nullptr;
        bool plural = ndef ? true : (np != 1);
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.get(),
                     plural ? "s" : "", nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) buf[i] = args[i];
    for (Py_ssize_t i = nargs; i < np; ++i) buf[i] = nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t found = -1;
            for (Py_ssize_t i = 0; i < np; ++i) {
                if (PyTuple_GET_ITEM(f->names, i) == key) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                for (Py_ssize_t i = 0; i < np; ++i) {
                    int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->names, i), key, Py_EQ);
                    if (eq < 0) return nullptr;
                    if (eq) {
                        found = i;
                        break;
                    }
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                return nullptr;
            }
            if (buf[found] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return nullptr;
            }
            buf[found] = args[nargs + k];
        }
    }
    Py_ssize_t missing[kMaxParams];
    Py_ssize_t nmissing = 0;
    for (Py_ssize_t i = 0; i < np; ++i) {
        if (buf[i] != nullptr) continue;
        if (i >= f->nrequired) {
            buf[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
        } else {
            missing[nmissing++] = i;
        }
    }
    if (nmissing) {
        Ref names = Ref::steal(fn_format_names(f->names, missing, nmissing));
        if (!names) return nullptr;
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, nmissing,
                     nmissing == 1 ? "" : "s", names.get());
        return nullptr;
    }
    return Py_None;  // success marker (borrowed)
}

inline bool fn_check_self(Function* f, PyObject* self) {
    if (Py_IS_TYPE(self, f->self_type) || PyType_IsSubtype(Py_TYPE(self), f->self_type)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%U' requires a '%.100s' object but received a '%.100s'", f->name,
                 f->self_type->tp_name, Py_TYPE(self)->tp_name);
    return false;
}

// The general entry point: keywords, defaults, every argument error.
[[gnu::noinline]] inline PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                                 PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->nparams) {
        if (f->self_type != nullptr && !fn_check_self(f, args[0])) return nullptr;
        return f->impl(f, args);
    }
    PyObject* buf[kMaxParams];
    if (kwnames == nullptr && nargs >= f->nrequired && nargs < f->nparams) {
        // Positional call leaning on defaults.
        for (Py_ssize_t i = 0; i < nargs; ++i) buf[i] = args[i];
        for (Py_ssize_t i = nargs; i < f->nparams; ++i) buf[i] = f->dflt_at[i];
    } else if (fn_parse_slow(f, args, nargs, kwnames, buf) == nullptr) {
        return nullptr;
    }
    if (f->self_type != nullptr && !fn_check_self(f, buf[0])) return nullptr;
    return f->impl(f, buf);
}

// Entry points chosen once, when the function is made, for its parameter count: a positional call
// that gives every parameter passes the caller's array straight to the body; one that leans on
// defaults fills a buffer of exactly NP entries. Anything else (keywords, a wrong count, self of a
// subclass or of a wrong type) goes to the general path above, kept out of line so that these stay
// a few instructions with no frame to set up.
template <bool Method>
inline bool fn_self_exact(Function* f, PyObject* const* args) {
    if constexpr (Method) {
        return Py_IS_TYPE(args[0], f->self_type);
    } else {
        (void)f;
        (void)args;
        return true;
    }
}

template <bool Method, Py_ssize_t NP>
inline PyObject* fn_vectorcall_all(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(callable);
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == NP && fn_self_exact<Method>(f, args)) [[likely]]
        return f->impl(f, args);
    return fn_vectorcall(callable, args, nargsf, kwnames);
}

// NR: the number of required parameters (self included), so that the buffer is filled with
// constants the compiler knows.
template <bool Method, Py_ssize_t NP, Py_ssize_t NR>
inline PyObject* fn_vectorcall_defaults(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static_assert(NR < NP);
    Function* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool plain = kwnames == nullptr && nargs >= NR && nargs <= NP;
    if (plain && (NR == 0 || fn_self_exact<Method>(f, args))) [[likely]] {
        if (nargs == NP) return f->impl(f, args);
        PyObject* buf[NP];
        if constexpr (NP - NR == 1) {
            for (Py_ssize_t i = 0; i < NR; ++i) buf[i] = args[i];
            buf[NR] = f->dflt_at[NR];
        } else {
            for (Py_ssize_t i = 0; i < NP; ++i) buf[i] = i < nargs ? args[i] : f->dflt_at[i];
        }
        return f->impl(f, buf);
    }
    return fn_vectorcall(callable, args, nargsf, kwnames);
}

constexpr Py_ssize_t kFastParams = 6;  // parameter counts with entry points of their own

// The entry point for NP parameters of which NR are required.
template <bool Method, Py_ssize_t NP, Py_ssize_t... NR>
inline vectorcallfunc fn_pick_nr(Py_ssize_t nr, std::integer_sequence<Py_ssize_t, NR...>) {
    if constexpr (NP == 0) {
        return fn_vectorcall_all<Method, NP>;
    } else {
        static constexpr vectorcallfunc with_defaults[] = {fn_vectorcall_defaults<Method, NP, NR>...};
        if (nr >= NP) return fn_vectorcall_all<Method, NP>;
        return with_defaults[nr];
    }
}

template <bool Method, Py_ssize_t... NP>
inline vectorcallfunc fn_pick(Py_ssize_t np, Py_ssize_t nr, std::integer_sequence<Py_ssize_t, NP...>) {
    vectorcallfunc out = fn_vectorcall;
    ((np == NP ? (out = fn_pick_nr<Method, NP>(nr, std::make_integer_sequence<Py_ssize_t, NP>{})) : out), ...);
    return out;
}

inline vectorcallfunc fn_entry_point(const Function* f) {
    using Counts = std::make_integer_sequence<Py_ssize_t, kFastParams + 1>;
    return f->self_type != nullptr ? fn_pick<true>(f->nparams, f->nrequired, Counts{})
                                   : fn_pick<false>(f->nparams, f->nrequired, Counts{});
}

// A direct entry point: the body, known at compile time, is inlined into the entry point of its
// arity (see qn::set_direct). On the fast path an omitted trailing parameter reaches the body as
// nullptr rather than as its default object.
// The body with every argument given, out of line: the path for omitted arguments stays free of
// the frame that converting a given one needs.
template <Impl Body, Py_ssize_t NP>
[[gnu::noinline]] inline PyObject* fn_body_given(Function* f, PyObject* const* args) {
    for (Py_ssize_t i = 0; i < NP; ++i) {
        if (args[i] == nullptr) __builtin_unreachable();  // a caller's argument is never NULL
    }
    return Body(f, args);
}

template <Impl Body, bool Method, Py_ssize_t NP, Py_ssize_t NR>
[[gnu::flatten]] inline PyObject* fn_vectorcall_direct(PyObject* callable, PyObject* const* args, size_t nargsf,
                                                       PyObject* kwnames) {
    static_assert(NR <= NP && (!Method || NR >= 1));
    Function* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs >= NR && nargs <= NP && fn_self_exact<Method>(f, args)) [[likely]] {
        if constexpr (NR == NP) {
            return Body(f, args);
        } else {
            if (nargs == NP) return fn_body_given<Body, NP>(f, args);
            PyObject* buf[NP];
            for (Py_ssize_t i = 0; i < NP; ++i) buf[i] = i < nargs ? args[i] : nullptr;
            return Body(f, buf);
        }
    }
    return fn_vectorcall(callable, args, nargsf, kwnames);
}

inline void fn_dealloc(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    Py_XDECREF(f->names);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->annotations);
    Py_XDECREF(f->signature);
    Py_TYPE(o)->tp_free(o);
}

inline PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return newref(self);
    return PyMethod_New(self, obj);
}

inline PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

inline PyObject* fn_build_signature(Function* f) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref param_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref sig_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!param_cls || !sig_cls) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(param_cls.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject* pname = PyTuple_GET_ITEM(f->names, i);
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        if (i >= f->nrequired &&
            PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(f->defaults, i - f->nrequired)) < 0)
            return nullptr;
        PyObject* ann = PyDict_GetItemWithError(f->annotations, pname);
        if (ann == nullptr && PyErr_Occurred()) return nullptr;
        if (ann != nullptr && PyDict_SetItemString(kwargs.get(), "annotation", ann) < 0) return nullptr;
        Ref pargs = Ref::steal(PyTuple_Pack(2, pname, kind.get()));
        if (!pargs) return nullptr;
        Ref p = Ref::steal(PyObject_Call(param_cls.get(), pargs.get(), kwargs.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    PyObject* ret = PyDict_GetItemWithError(f->annotations, QN_STR("return"));
    if (ret == nullptr && PyErr_Occurred()) return nullptr;
    if (ret != nullptr && PyDict_SetItemString(kwargs.get(), "return_annotation", ret) < 0) return nullptr;
    Ref pargs = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!pargs) return nullptr;
    return PyObject_Call(sig_cls.get(), pargs.get(), kwargs.get());
}

inline PyObject* fn_get_signature(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (f->signature == nullptr) {
        f->signature = fn_build_signature(f);
        if (f->signature == nullptr) return nullptr;
    }
    return newref(f->signature);
}

inline PyObject* fn_get_defaults(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (PyTuple_GET_SIZE(f->defaults) == 0) Py_RETURN_NONE;
    return newref(f->defaults);
}

inline PyObject* fn_get_field(PyObject* self, void* closure) {
    Function* f = reinterpret_cast<Function*>(self);
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(f) + reinterpret_cast<Py_ssize_t>(closure));
    return newref(v ? v : Py_None);
}

inline int fn_set_field(PyObject* self, PyObject* value, void* closure) {
    Function* f = reinterpret_cast<Function*>(self);
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(f) + reinterpret_cast<Py_ssize_t>(closure));
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function attributes of native functions cannot be deleted");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

// __name__ and __qualname__ take only strings, as on a Python function (argument errors and reprs
// format them as text).
inline int fn_set_name_field(PyObject* self, PyObject* value, void* closure) {
    if (value != nullptr && !PyUnicode_Check(value)) {
        const bool is_name = reinterpret_cast<Py_ssize_t>(closure) == static_cast<Py_ssize_t>(offsetof(Function, name));
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", is_name ? "__name__" : "__qualname__");
        return -1;
    }
    return fn_set_field(self, value, closure);
}

// Pickling by reference, as for built-in functions: __reduce__ gives the qualified name, which
// pickle resolves in __module__ (through the class for a method) and checks to be this very object,
// so unpickling yields the same function. Instances of the modules' classes still refuse pickling.
inline PyObject* fn_reduce(PyObject* self, PyObject*) { return newref(reinterpret_cast<Function*>(self)->qualname); }

#define QN_FN_FIELD(field) reinterpret_cast<void*>(offsetof(::qn::Function, field))

// The function type. Each extension is a shared library of its own and has its own copy of this
// static type (sharing one across libraries would tie each library to the others' layout and
// code); so that the copies are told apart by design, each is named after the module of the
// first function made, the extension's own: "<module>.native_function" (its __name__ is
// "native_function" everywhere). Nothing else is per process: a copy costs one type object.
inline PyTypeObject* function_type(const char* module) {
    static PyGetSetDef getset[] = {
        {"__name__", fn_get_field, fn_set_name_field, nullptr, QN_FN_FIELD(name)},
        {"__qualname__", fn_get_field, fn_set_name_field, nullptr, QN_FN_FIELD(qualname)},
        {"__module__", fn_get_field, fn_set_field, nullptr, QN_FN_FIELD(module)},
        {"__doc__", fn_get_field, fn_set_field, nullptr, QN_FN_FIELD(doc)},
        {"__annotations__", fn_get_field, fn_set_field, nullptr, QN_FN_FIELD(annotations)},
        {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
        {"__defaults__", fn_get_defaults, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyTypeObject type{};
    static bool ready = false;
    static char name[128];
    if (!ready) {
        Py_SET_REFCNT(&type, 1);
        PyOS_snprintf(name, sizeof name, "%s.native_function", module != nullptr ? module : "quarvel");
        type.tp_name = name;
        type.tp_basicsize = sizeof(Function);
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
        type.tp_vectorcall_offset = offsetof(Function, vectorcall);
        type.tp_call = PyVectorcall_Call;
        type.tp_dealloc = fn_dealloc;
        type.tp_descr_get = fn_descr_get;
        type.tp_repr = fn_repr;
        type.tp_getset = getset;
        type.tp_methods = methods;
        type.tp_doc = "Native function.";
        if (PyType_Ready(&type) < 0) return nullptr;
        ready = true;
    }
    return &type;
}

#undef QN_FN_FIELD

}  // namespace detail

// Creates a function object. `has_self` adds a leading `self` parameter; `self_type` (may be
// nullptr) is the type self must be an instance of. `qualprefix` (may be nullptr) is prepended to
// the name with a dot for __qualname__. Defaults in `fdef` are taken over even on failure.
inline PyObject* new_function(const FuncSpec& fdef, bool has_self, PyTypeObject* self_type, const char* qualprefix,
                              const char* module) {
    // Take over every default first so that nothing leaks on an early return.
    Ref defaults_hold[kMaxParams];
    Py_ssize_t i = 0;
    bool bad_default = false;
    bool previous_has_default = false;
    for (const Param& p : fdef.params) {
        if (i < kMaxParams) {
            defaults_hold[i] = Ref::steal(p.dflt);
        } else {
            Py_XDECREF(p.dflt);  // too many parameters: refused below, nothing kept
        }
        if (p.dflt == nullptr && previous_has_default) bad_default = true;
        previous_has_default = p.dflt != nullptr;
        ++i;
    }
    if (PyErr_Occurred()) return nullptr;
    const Py_ssize_t nuser = static_cast<Py_ssize_t>(fdef.params.size());
    const Py_ssize_t off = has_self ? 1 : 0;
    if (nuser + off > kMaxParams || bad_default) {
        PyErr_Format(PyExc_SystemError, "bad parameter list for %s", fdef.name);
        return nullptr;
    }
    PyTypeObject* ft = detail::function_type(module);
    if (ft == nullptr) return nullptr;
    Function* f = PyObject_New(Function, ft);
    if (f == nullptr) return nullptr;
    f->vectorcall = detail::fn_vectorcall;
    f->impl = fdef.impl;
    f->self_type = self_type;
    f->nparams = nuser + off;
    f->nrequired = off;
    f->names = f->defaults = f->name = f->qualname = f->module = f->doc = f->annotations = f->signature = nullptr;
    f->data = fdef.data;
    Ref fn = Ref::steal(reinterpret_cast<PyObject*>(f));

    Py_ssize_t ndef = 0;
    for (Py_ssize_t k = 0; k < nuser; ++k) {
        if (defaults_hold[k]) ++ndef;
    }
    f->nrequired = f->nparams - ndef;
    f->names = PyTuple_New(f->nparams);
    f->defaults = PyTuple_New(ndef);
    f->annotations = PyDict_New();
    f->name = PyUnicode_InternFromString(fdef.name);
    f->qualname = qualprefix ? PyUnicode_FromFormat("%s.%s", qualprefix, fdef.name) : newref(f->name);
    f->module = module ? PyUnicode_InternFromString(module) : newref(Py_None);
    f->doc = fdef.doc ? PyUnicode_FromString(fdef.doc) : newref(Py_None);
    if (!f->names || !f->defaults || !f->annotations || !f->name || !f->qualname || !f->module || !f->doc)
        return nullptr;
    if (has_self) {
        PyObject* s = PyUnicode_InternFromString("self");
        if (s == nullptr) return nullptr;
        PyTuple_SET_ITEM(f->names, 0, s);
    }
    Py_ssize_t k = 0, d = 0;
    for (const Param& p : fdef.params) {
        PyObject* pname = PyUnicode_InternFromString(p.name);
        if (pname == nullptr) return nullptr;
        PyTuple_SET_ITEM(f->names, off + k, pname);
        if (defaults_hold[k]) PyTuple_SET_ITEM(f->defaults, d++, defaults_hold[k].release());
        if (p.annotation != nullptr) {
            Ref a = Ref::steal(PyUnicode_FromString(p.annotation));
            if (!a || PyDict_SetItem(f->annotations, pname, a.get()) < 0) return nullptr;
        }
        ++k;
    }
    if (fdef.returns != nullptr) {
        Ref a = Ref::steal(PyUnicode_FromString(fdef.returns));
        if (!a || PyDict_SetItemString(f->annotations, "return", a.get()) < 0) return nullptr;
    }
    for (Py_ssize_t j = 0; j < kMaxParams; ++j) {
        const bool has_default = j >= f->nrequired && j < f->nparams;
        f->dflt_at[j] = has_default ? PyTuple_GET_ITEM(f->defaults, j - f->nrequired) : nullptr;
    }
    f->vectorcall = detail::fn_entry_point(f);
    return fn.release();
}

inline const char* type_short_name(PyTypeObject* t) {
    const char* dot = std::strrchr(t->tp_name, '.');
    return dot ? dot + 1 : t->tp_name;
}

inline PyObject* type_module_name(PyTypeObject* t, Ref& holder) {
    const char* dot = std::strrchr(t->tp_name, '.');
    if (dot == nullptr) return nullptr;
    holder = Ref::steal(PyUnicode_FromStringAndSize(t->tp_name, dot - t->tp_name));
    return holder.get();
}

// Installs `fn_obj` (taken over) under `name` in a type's dict.
inline PyObject* install_in_type(PyTypeObject* t, const char* name, PyObject* fn_obj) {
    if (fn_obj == nullptr) return nullptr;
    Ref hold = Ref::steal(fn_obj);
    if (PyDict_SetItemString(t->tp_dict, name, fn_obj) < 0) return nullptr;
    PyType_Modified(t);
    return fn_obj;  // borrowed: the type's dict holds it
}

// Gives the function `fn` (made from a FuncSpec whose impl is Body, with NP parameters of which NR
// are required, self included) a direct entry point: Body is inlined into it, so a positional call
// with self of exactly the method's type costs the body and a few checks. Every parameter with a
// default must accept nullptr there, meaning "omitted" (the body applies the default natively); the
// general path (keywords, subclasses, errors) still passes the default objects. False with
// SystemError when Body, NP or NR do not match the function.
template <Impl Body, Py_ssize_t NP, Py_ssize_t NR>
inline bool set_direct(PyObject* fn) {
    Function* f = reinterpret_cast<Function*>(fn);
    if (fn == nullptr || f->impl != Body || f->nparams != NP || f->nrequired != NR) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "direct entry point does not match its function");
        return false;
    }
    f->vectorcall = f->self_type != nullptr ? detail::fn_vectorcall_direct<Body, true, NP, NR>
                                            : detail::fn_vectorcall_direct<Body, false, NP, NR>;
    return true;
}

// Binds the object installed under `existing` to `alias` as well (the very same object).
inline int add_alias(PyTypeObject* t, const char* alias, const char* existing) {
    PyObject* v = PyDict_GetItemString(t->tp_dict, existing);
    if (v == nullptr) {
        PyErr_Format(PyExc_SystemError, "no attribute %s to alias", existing);
        return -1;
    }
    if (PyDict_SetItemString(t->tp_dict, alias, v) < 0) return -1;
    PyType_Modified(t);
    return 0;
}

}  // namespace qn
