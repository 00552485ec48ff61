// AtomicCounter of quarvel.memory.sync_kernel: a signed 64-bit counter updated only by sequentially
// consistent atomic instructions (arithmetic wraps modulo 2**64). The interpreter lock stays held
// around the atomic instruction: releasing and retaking it would cost many times the instruction
// itself, and the instruction is atomic on its own.
#pragma once

#include "native/qn.hpp"

#include "atomic_counter_ops.hpp"
#include "sync_kernel_core.hpp"

namespace core = quarvel::sync_kernel;

namespace {

struct AtomicCounterObject {
    PyObject_HEAD
    core::Counter value;
};

PyTypeObject AtomicCounterType{};
PyObject* atomic_counter_init_fn = nullptr;

inline core::Counter& counter_of(PyObject* o) { return reinterpret_cast<AtomicCounterObject*>(o)->value; }
inline bool is_exact_counter(PyObject* o) { return Py_IS_TYPE(o, &AtomicCounterType); }

// Native operation table.
int64_t counter_op_load(PyObject* c) { return counter_of(c).load(); }
void counter_op_store(PyObject* c, int64_t v) { counter_of(c).store(v); }
int64_t counter_op_increment(PyObject* c, int64_t d) { return counter_of(c).add(d); }
int64_t counter_op_decrement(PyObject* c, int64_t d) { return counter_of(c).sub(d); }
bool counter_op_compare_and_swap(PyObject* c, int64_t e, int64_t n) { return counter_of(c).cas(e, n); }
int64_t counter_op_fetch_and_add(PyObject* c, int64_t d) { return counter_of(c).fetch_add(d); }

const AtomicCounterOps atomic_counter_ops = {counter_op_load,      counter_op_store,
                                             counter_op_increment, counter_op_decrement,
                                             counter_op_compare_and_swap, counter_op_fetch_and_add};

PyObject* atomic_counter_init(qn::Function*, PyObject* const* a) {
    int64_t v;
    if (!qn::to_i64(a[1], v)) return nullptr;
    counter_of(a[0]).store(v);
    Py_RETURN_NONE;
}

PyObject* atomic_counter_load(qn::Function*, PyObject* const* a) {
    return PyLong_FromLongLong(counter_of(a[0]).load());
}

PyObject* atomic_counter_store(qn::Function*, PyObject* const* a) {
    int64_t v;
    if (!qn::to_i64(a[1], v)) return nullptr;
    counter_of(a[0]).store(v);
    Py_RETURN_NONE;
}

// `delta` is nullptr when omitted on the direct path (qn::set_direct): its default, 1.
constexpr long kDefaultDelta = 1;

inline bool delta_arg(PyObject* o, int64_t& d) {
    if (o == nullptr) {
        d = kDefaultDelta;
        return true;
    }
    return qn::to_i64(o, d);
}

PyObject* atomic_counter_increment(qn::Function*, PyObject* const* a) {
    int64_t d;
    if (!delta_arg(a[1], d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a[0]).add(d));
}

PyObject* atomic_counter_decrement(qn::Function*, PyObject* const* a) {
    int64_t d;
    if (!delta_arg(a[1], d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a[0]).sub(d));
}

PyObject* atomic_counter_compare_and_swap(qn::Function*, PyObject* const* a) {
    int64_t expected, desired;
    if (!qn::to_i64(a[1], expected) || !qn::to_i64(a[2], desired)) return nullptr;
    return qn::boolean(counter_of(a[0]).cas(expected, desired));
}

PyObject* atomic_counter_fetch_and_add(qn::Function*, PyObject* const* a) {
    int64_t d;
    if (!qn::to_i64(a[1], d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a[0]).fetch_add(d));
}

void counter_type_setup() {
    qn::type_init(AtomicCounterType, "quarvel.memory.sync_kernel.AtomicCounter", sizeof(AtomicCounterObject),
                  "Lock-free signed 64-bit counter; every operation is one sequentially consistent atomic "
                  "instruction and arithmetic wraps around.");
    AtomicCounterType.tp_new = PyType_GenericNew;
    AtomicCounterType.tp_init = qn::init_via<&atomic_counter_init_fn>;
}

int counter_methods_install() {
    PyTypeObject* t = &AtomicCounterType;
    atomic_counter_init_fn = qn::add_init(t, {"__init__", atomic_counter_init, {{"initial_value", qn::dflt(0)}}});
    if (atomic_counter_init_fn == nullptr) return -1;
    // load, increment and decrement get entry points with their bodies inlined (an omitted delta
    // then costs no conversion).
    if (!qn::set_direct<atomic_counter_load, 1, 1>(
            qn::add_method(t, {"load", atomic_counter_load, {}, "int", "Atomically read the value."})) ||
        !qn::add_method(t, {"store", atomic_counter_store, {{"value"}}, nullptr, "Atomically replace the value."}) ||
        !qn::set_direct<atomic_counter_increment, 2, 1>(
            qn::add_method(t, {"increment", atomic_counter_increment, {{"delta", qn::dflt(kDefaultDelta)}}, "int",
                               "Atomically add delta; return the new value."})) ||
        !qn::set_direct<atomic_counter_decrement, 2, 1>(
            qn::add_method(t, {"decrement", atomic_counter_decrement, {{"delta", qn::dflt(kDefaultDelta)}}, "int",
                               "Atomically subtract delta; return the new value."})) ||
        !qn::add_method(t, {"compare_and_swap", atomic_counter_compare_and_swap, {{"expected"}, {"new_value"}}, "bool",
                            "Set the value to new_value if it equals expected; return whether it did."}) ||
        !qn::add_method(t, {"fetch_and_add", atomic_counter_fetch_and_add, {{"delta"}}, "int",
                            "Atomically add delta; return the previous value."}))
        return -1;
    for (const char* name : {"load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"}) {
        char alias[64];
        PyOS_snprintf(alias, sizeof alias, "py_%s", name);
        if (qn::add_alias(t, alias, name) < 0) return -1;
    }
    return qn::publish_native_ops(t, &atomic_counter_ops, QUARVEL_ATOMIC_COUNTER_OPS_NAME);
}

}  // namespace
