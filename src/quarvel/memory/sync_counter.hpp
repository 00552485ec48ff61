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

const AtomicCounterOps atomic_counter_ops = {
    counter_op_load,         counter_op_store, counter_op_increment, counter_op_decrement, counter_op_compare_and_swap,
    counter_op_fetch_and_add};

constexpr auto kAtomicCounterInit = qn::params(qn::opt("initial_value", nullptr, 0));

PyObject* atomic_counter_init(qn::MethodArgs<kAtomicCounterInit> a) {
    int64_t v;
    if (!a.get<"initial_value">(v)) return nullptr;
    counter_of(a.self()).store(v);
    Py_RETURN_NONE;
}

PyObject* atomic_counter_load(qn::MethodArgs<qn::no_params> a) {
    return PyLong_FromLongLong(counter_of(a.self()).load());
}

constexpr auto kAtomicCounterStore = qn::params(qn::arg("value"));

PyObject* atomic_counter_store(qn::MethodArgs<kAtomicCounterStore> a) {
    int64_t v;
    if (!a.get<"value">(v)) return nullptr;
    counter_of(a.self()).store(v);
    Py_RETURN_NONE;
}

// increment and decrement: `delta` reads nullptr when omitted on the direct path (qn::set_direct),
// meaning the table's default, applied natively.
constexpr auto kAtomicCounterStep = qn::params(qn::opt("delta", nullptr, 1));
constexpr int64_t kDefaultDelta = kAtomicCounterStep.at[0].integer;

inline bool delta_arg(qn::MethodArgs<kAtomicCounterStep> a, int64_t& d) {
    if (a.get<"delta">() == nullptr) {
        d = kDefaultDelta;
        return true;
    }
    return a.get<"delta">(d);
}

PyObject* atomic_counter_increment(qn::MethodArgs<kAtomicCounterStep> a) {
    int64_t d;
    if (!delta_arg(a, d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a.self()).add(d));
}

PyObject* atomic_counter_decrement(qn::MethodArgs<kAtomicCounterStep> a) {
    int64_t d;
    if (!delta_arg(a, d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a.self()).sub(d));
}

constexpr auto kAtomicCounterCompareAndSwap = qn::params(qn::arg("expected"), qn::arg("new_value"));

PyObject* atomic_counter_compare_and_swap(qn::MethodArgs<kAtomicCounterCompareAndSwap> a) {
    int64_t expected, desired;
    if (!a.get<"expected">(expected) || !a.get<"new_value">(desired)) return nullptr;
    return qn::boolean(counter_of(a.self()).cas(expected, desired));
}

constexpr auto kAtomicCounterFetchAndAdd = qn::params(qn::arg("delta"));

PyObject* atomic_counter_fetch_and_add(qn::MethodArgs<kAtomicCounterFetchAndAdd> a) {
    int64_t d;
    if (!a.get<"delta">(d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a.self()).fetch_add(d));
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
    atomic_counter_init_fn = qn::add_method<atomic_counter_init>(t, "__init__");
    if (atomic_counter_init_fn == nullptr) return -1;
    // load, increment and decrement get entry points with their bodies inlined (an omitted delta
    // then costs no conversion).
    if (!qn::set_direct<atomic_counter_load>(
            qn::add_method<atomic_counter_load>(t, "load", "int", "Atomically read the value.")) ||
        !qn::add_method<atomic_counter_store>(t, "store", nullptr, "Atomically replace the value.") ||
        !qn::set_direct<atomic_counter_increment>(qn::add_method<atomic_counter_increment>(
            t, "increment", "int", "Atomically add delta; return the new value.")) ||
        !qn::set_direct<atomic_counter_decrement>(qn::add_method<atomic_counter_decrement>(
            t, "decrement", "int", "Atomically subtract delta; return the new value.")) ||
        !qn::add_method<atomic_counter_compare_and_swap>(
            t, "compare_and_swap", "bool",
            "Set the value to new_value if it equals expected; return whether it did.") ||
        !qn::add_method<atomic_counter_fetch_and_add>(t, "fetch_and_add", "int",
                                                      "Atomically add delta; return the previous value."))
        return -1;
    for (const char* name : {"load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"}) {
        char alias[64];
        PyOS_snprintf(alias, sizeof alias, "py_%s", name);
        if (qn::add_alias(t, alias, name) < 0) return -1;
    }
    return qn::publish_native_ops(t, &atomic_counter_ops, QUARVEL_ATOMIC_COUNTER_OPS_NAME);
}

}  // namespace
