// quarvel._native_probe: exposes the shared native layer's conversions, parameter conventions,
// function objects and locked sections to the test suite. Not used by the runtime.
#include "native/qn.hpp"

namespace {

// One conversion of the shared layer (chosen by the type of its result), given back as a Python
// object.
constexpr auto kValue = qn::params(qn::arg("value"));

template <class T, auto Make>
PyObject* convert(qn::Function*, qn::Args<kValue> a) {
    T v;
    return a.get<"value">(v) ? Make(v) : nullptr;
}

constexpr auto kSize = qn::params(qn::arg("size", "int"));
PyObject* arg_int(qn::Function*, qn::Args<kSize> a) { return qn::arg_int(a.get<"size">(), "size"); }

constexpr auto kCode = qn::params(qn::arg("code", "str"));
PyObject* arg_str(qn::Function*, qn::Args<kCode> a) {
    PyObject* code;
    return a.str<"code">(code) ? qn::newref(code) : nullptr;
}

constexpr auto kItems = qn::params(qn::arg("items", "list"));
PyObject* arg_list(qn::Function*, qn::Args<kItems> a) {
    PyObject* items;
    return a.list<"items">(items) ? qn::newref(items) : nullptr;
}

constexpr auto kFlag = qn::params(qn::arg("flag", "bool"));
PyObject* arg_bool(qn::Function*, qn::Args<kFlag> a) {
    bool b;
    return a.get<"flag">(b) ? qn::boolean(b) : nullptr;
}

// Echoes its arguments as a tuple: exercises parsing with defaults and keywords.
constexpr auto kEcho = qn::params(qn::arg("a"), qn::opt("b", "int", 2), qn::opt("c", nullptr, qn::none_default));
PyObject* echo(qn::Function*, qn::Args<kEcho> a) { return PyTuple_Pack(3, a.get<"a">(), a.get<"b">(), a.get<"c">()); }

PyObject* new_lock(qn::Function*, qn::Args<qn::no_params>) { return qn::new_lock(); }

// Guarded(lock=None): one qn::Lock whose sections may run Python code; native when `lock` is None,
// otherwise its sections acquire and release `lock`. run(fn) calls fn() inside a section;
// held_by_me() tells whether this thread is inside one.
struct GuardedObject {
    PyObject_HEAD
    qn::Lock<qn::Sections::any> lock;
};

PyTypeObject GuardedType{};

inline GuardedObject* guarded(PyObject* o) { return reinterpret_cast<GuardedObject*>(o); }

PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kw[] = {"lock", nullptr};
    PyObject* lock = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Guarded", const_cast<char**>(kw), &lock)) return nullptr;
    qn::Ref self = qn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    GuardedObject* g = guarded(self.get());
    if (lock == Py_None) {
        if (!qn::make_native_lock(g->lock)) return nullptr;
    } else {
        ::new (&g->lock) qn::Lock<qn::Sections::any>();
        g->lock.py = qn::newref(lock);
    }
    return self.release();
}

int guarded_traverse(PyObject* self, visitproc visit, void* arg) { return guarded(self)->lock.traverse(visit, arg); }

void guarded_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    guarded(self)->lock.dispose();
    Py_TYPE(self)->tp_free(self);
}

constexpr auto kGuardedRun = qn::params(qn::arg("fn"));

PyObject* guarded_run(qn::Function*, qn::MethodArgs<kGuardedRun> a) {
    qn::Section s(guarded(a.self())->lock, "Guarded.run");
    if (!s) return nullptr;
    PyObject* r = PyObject_CallNoArgs(a.get<"fn">());
    if (!s.unlock()) {
        Py_XDECREF(r);
        return nullptr;
    }
    return r;
}

PyObject* guarded_held_by_me(qn::Function*, qn::MethodArgs<qn::no_params> a) {
    return qn::boolean(guarded(a.self())->lock.owner.held_by_me());
}

// Parameters by name: every kind of default, converted arguments, and a method.
constexpr auto kNamed =
    qn::params(qn::arg("a", "int"), qn::opt("b", "float", 0.5), qn::opt("c", "int", -3), qn::opt("d", "bool", true),
               qn::opt("e", "str", "text"), qn::opt("f", nullptr, qn::none_default));

PyObject* named(qn::Args<kNamed> a) {
    std::int64_t first;
    double second;
    PyObject* text;
    if (!a.str<"e">(text) || !a.as_int<"a">(first) || !a.get<"b">(second)) return nullptr;
    return Py_BuildValue("(LdOOOO)", static_cast<long long>(first), second, a.get<"c">(), a.get<"d">(), text,
                         a.get<"f">());
}

constexpr auto kNamedMethod = qn::params(qn::arg("value"));

PyObject* guarded_pair(qn::Function* f, qn::MethodArgs<kNamedMethod> a) {
    return PyTuple_Pack(3, a.self(), a.get<"value">(), f->name);
}

int exec_probe(PyObject* m) {
    if (!qn::add_function<named>(m, "named", "tuple", "Return the arguments, converted.")) return -1;
    if (!qn::add_function<convert<int64_t, PyLong_FromLongLong>>(m, "to_i64", "int") ||
        !qn::add_function<convert<uint64_t, PyLong_FromUnsignedLongLong>>(m, "to_u64", "int") ||
        !qn::add_function<convert<int32_t, PyLong_FromLong>>(m, "to_i32", "int") ||
        !qn::add_function<convert<uint32_t, PyLong_FromUnsignedLong>>(m, "to_u32", "int") ||
        !qn::add_function<convert<double, PyFloat_FromDouble>>(m, "to_double", "float") ||
        !qn::add_function<arg_int>(m, "arg_int", "int") || !qn::add_function<arg_str>(m, "arg_str") ||
        !qn::add_function<arg_list>(m, "arg_list") || !qn::add_function<arg_bool>(m, "arg_bool", "bool") ||
        !qn::add_function<echo>(m, "echo", "tuple", "Return (a, b, c).") || !qn::add_function<new_lock>(m, "new_lock"))
        return -1;
    qn::gc_type_init(GuardedType, "quarvel._native_probe.Guarded", sizeof(GuardedObject),
                     "One lock whose sections call back into Python.",
                     {guarded_new, nullptr, guarded_dealloc, guarded_traverse, nullptr});
    if (qn::type_ready(m, GuardedType) < 0 ||
        !qn::add_method<guarded_run>(&GuardedType, "run", nullptr, "fn() inside a section.") ||
        !qn::add_method<guarded_held_by_me>(&GuardedType, "held_by_me", "bool",
                                            "Whether this thread is inside a section.") ||
        !qn::add_method<guarded_pair>(&GuardedType, "pair", "tuple", "(self, value, name)."))
        return -1;
    return 0;
}

}  // namespace

QN_MODULE(_native_probe, "Test access to the shared native layer.", exec_probe)
