// quarvel._native_probe: exposes the shared native layer's conversions, parameter conventions,
// function objects and locked sections to the test suite. Not used by the runtime.
#include "native/qn.hpp"

namespace {

PyObject* p_i64(qn::Function*, PyObject* const* a) {
    int64_t v;
    return qn::to_i64(a[0], v) ? PyLong_FromLongLong(v) : nullptr;
}
PyObject* p_u64(qn::Function*, PyObject* const* a) {
    uint64_t v;
    return qn::to_u64(a[0], v) ? PyLong_FromUnsignedLongLong(v) : nullptr;
}
PyObject* p_i32(qn::Function*, PyObject* const* a) {
    int32_t v;
    return qn::to_i32(a[0], v) ? PyLong_FromLong(v) : nullptr;
}
PyObject* p_u32(qn::Function*, PyObject* const* a) {
    uint32_t v;
    return qn::to_u32(a[0], v) ? PyLong_FromUnsignedLong(v) : nullptr;
}
PyObject* p_double(qn::Function*, PyObject* const* a) {
    double v;
    return qn::to_double(a[0], v) ? PyFloat_FromDouble(v) : nullptr;
}
PyObject* p_arg_int(qn::Function*, PyObject* const* a) { return qn::arg_int(a[0], "size"); }
PyObject* p_arg_str(qn::Function*, PyObject* const* a) {
    return qn::arg_exact(a[0], &PyUnicode_Type, "code") ? qn::newref(a[0]) : nullptr;
}
PyObject* p_arg_list(qn::Function*, PyObject* const* a) {
    return qn::arg_exact(a[0], &PyList_Type, "items") ? qn::newref(a[0]) : nullptr;
}
PyObject* p_arg_bool(qn::Function*, PyObject* const* a) {
    bool b;
    return qn::arg_bool(a[0], b) ? qn::boolean(b) : nullptr;
}
// Echoes its arguments as a tuple: exercises parsing with defaults and keywords.
PyObject* p_echo(qn::Function*, PyObject* const* a) { return PyTuple_Pack(3, a[0], a[1], a[2]); }
PyObject* p_new_lock(qn::Function*, PyObject* const*) { return qn::new_lock(); }

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

PyObject* guarded_run(qn::Function*, PyObject* const* a) {
    qn::Section s(guarded(a[0])->lock, "Guarded.run");
    if (!s) return nullptr;
    PyObject* r = PyObject_CallNoArgs(a[1]);
    if (!s.unlock()) {
        Py_XDECREF(r);
        return nullptr;
    }
    return r;
}

PyObject* guarded_held_by_me(qn::Function*, PyObject* const* a) {
    return qn::boolean(guarded(a[0])->lock.owner.held_by_me());
}

// Parameters by name: every kind of default, converted arguments, and a method.
constexpr auto kNamed = qn::params(qn::arg("a", "int"), qn::opt("b", "float", 0.5), qn::opt("c", "int", -3),
                                   qn::opt("d", "bool", true), qn::opt("e", "str", "text"),
                                   qn::opt("f", nullptr, qn::none_default));

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
    if (!qn::add_function(m, {"to_i64", p_i64, {{"value"}}, "int"}) ||
        !qn::add_function(m, {"to_u64", p_u64, {{"value"}}, "int"}) ||
        !qn::add_function(m, {"to_i32", p_i32, {{"value"}}, "int"}) ||
        !qn::add_function(m, {"to_u32", p_u32, {{"value"}}, "int"}) ||
        !qn::add_function(m, {"to_double", p_double, {{"value"}}, "float"}) ||
        !qn::add_function(m, {"arg_int", p_arg_int, {{"size", nullptr, "int"}}, "int"}) ||
        !qn::add_function(m, {"arg_str", p_arg_str, {{"code", nullptr, "str"}}}) ||
        !qn::add_function(m, {"arg_list", p_arg_list, {{"items", nullptr, "list"}}}) ||
        !qn::add_function(m, {"arg_bool", p_arg_bool, {{"flag", nullptr, "bool"}}, "bool"}) ||
        !qn::add_function(m, {"echo", p_echo, {{"a"}, {"b", qn::dflt(2), "int"}, {"c", qn::dflt_none()}}, "tuple",
                              "Return (a, b, c)."}) ||
        !qn::add_function(m, {"new_lock", p_new_lock}))
        return -1;
    qn::gc_type_init(GuardedType, "quarvel._native_probe.Guarded", sizeof(GuardedObject),
                     "One lock whose sections call back into Python.",
                     {guarded_new, nullptr, guarded_dealloc, guarded_traverse, nullptr});
    if (qn::type_ready(m, GuardedType) < 0 ||
        !qn::add_method(&GuardedType, {"run", guarded_run, {{"fn"}}, nullptr, "fn() inside a section."}) ||
        !qn::add_method(&GuardedType, {"held_by_me", guarded_held_by_me, {}, "bool",
                                       "Whether this thread is inside a section."}) ||
        !qn::add_method<guarded_pair>(&GuardedType, "pair", "tuple", "(self, value, name)."))
        return -1;
    return 0;
}

}  // namespace

QN_MODULE(_native_probe, "Test access to the shared native layer.", exec_probe)
