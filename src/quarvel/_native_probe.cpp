// quarvel._native_probe: exposes the shared native layer's conversions, parameter conventions,
// function objects and lock guard to the test suite. Not used by the runtime.
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
// Calls fn() while holding `lock`; returns whether the lock was held inside, releases on error.
PyObject* p_with_lock(qn::Function*, PyObject* const* a) {
    qn::LockGuard g(a[0]);
    if (!g) return nullptr;
    qn::Ref r = qn::Ref::steal(PyObject_CallNoArgs(a[1]));
    return r.release();
}
// Calls fn() inside a section of one shared object that records its holder: a nested call from
// fn on the same thread is a re-entry.
qn::LockOwner g_probe_owner;
PyObject* p_with_owned_lock(qn::Function*, PyObject* const* a) {
    qn::LockGuard g(a[0], g_probe_owner, "Probe.with_owned_lock");
    if (!g) return nullptr;
    qn::Ref r = qn::Ref::steal(PyObject_CallNoArgs(a[1]));
    return r.release();
}
PyObject* p_new_lock(qn::Function*, PyObject* const*) { return qn::new_lock(); }
// Whether guards on this lock's type take the direct path (the lock layout was verified).
PyObject* p_lock_direct(qn::Function*, PyObject* const* a) {
    if (!qn::detail::lock_api_for(a[0])) Py_RETURN_FALSE;
    return qn::boolean(qn::detail::lock_api().direct);
}

int exec_probe(PyObject* m) {
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
        !qn::add_function(m, {"with_lock", p_with_lock, {{"lock"}, {"fn"}}}) ||
        !qn::add_function(m, {"with_owned_lock", p_with_owned_lock, {{"lock"}, {"fn"}}}) ||
        !qn::add_function(m, {"new_lock", p_new_lock}) ||
        !qn::add_function(m, {"lock_takes_direct_path", p_lock_direct, {{"lock"}}, "bool"}))
        return -1;
    return 0;
}

}  // namespace

QN_MODULE(_native_probe, "Test access to the shared native layer.", exec_probe)
