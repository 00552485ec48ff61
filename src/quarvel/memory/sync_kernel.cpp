// quarvel.memory.sync_kernel: the concurrency primitives of the memory layer.
//
// AtomicCounter is a signed 64-bit counter updated only by sequentially consistent atomic
// instructions (arithmetic wraps modulo 2**64). The interpreter lock stays held around the atomic
// instruction: releasing and retaking it would cost many times the instruction itself, and the
// instruction is atomic on its own.
#include "native/qn.hpp"

#include "atomic_counter_ops.hpp"

namespace {

// ---------------------------------------------------------------------------------------------
// AtomicCounter

struct AtomicCounterObject {
    PyObject_HEAD
    qn::Atomic64 value;
};

PyTypeObject AtomicCounterType{};

inline qn::Atomic64& counter_of(PyObject* o) { return reinterpret_cast<AtomicCounterObject*>(o)->value; }

// Native operation table.
int64_t op_load(PyObject* c) { return counter_of(c).load(); }
void op_store(PyObject* c, int64_t v) { counter_of(c).store(v); }
int64_t op_increment(PyObject* c, int64_t d) { return counter_of(c).add(d); }
int64_t op_decrement(PyObject* c, int64_t d) { return counter_of(c).sub(d); }
bool op_compare_and_swap(PyObject* c, int64_t e, int64_t n) { return counter_of(c).cas(e, n); }
int64_t op_fetch_and_add(PyObject* c, int64_t d) { return counter_of(c).fetch_add(d); }

const AtomicCounterOps counter_ops = {op_load, op_store, op_increment, op_decrement, op_compare_and_swap,
                                      op_fetch_and_add};

PyObject* counter_init_fn = nullptr;

PyObject* ac_init(qn::Function*, PyObject* const* a) {
    int64_t v;
    if (!qn::to_i64(a[1], v)) return nullptr;
    counter_of(a[0]).store(v);
    Py_RETURN_NONE;
}

PyObject* ac_load(qn::Function*, PyObject* const* a) { return PyLong_FromLongLong(counter_of(a[0]).load()); }

PyObject* ac_store(qn::Function*, PyObject* const* a) {
    int64_t v;
    if (!qn::to_i64(a[1], v)) return nullptr;
    counter_of(a[0]).store(v);
    Py_RETURN_NONE;
}

PyObject* ac_increment(qn::Function*, PyObject* const* a) {
    int64_t d;
    if (!qn::to_i64(a[1], d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a[0]).add(d));
}

PyObject* ac_decrement(qn::Function*, PyObject* const* a) {
    int64_t d;
    if (!qn::to_i64(a[1], d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a[0]).sub(d));
}

PyObject* ac_compare_and_swap(qn::Function*, PyObject* const* a) {
    int64_t expected, desired;
    if (!qn::to_i64(a[1], expected) || !qn::to_i64(a[2], desired)) return nullptr;
    return qn::boolean(counter_of(a[0]).cas(expected, desired));
}

PyObject* ac_fetch_and_add(qn::Function*, PyObject* const* a) {
    int64_t d;
    if (!qn::to_i64(a[1], d)) return nullptr;
    return PyLong_FromLongLong(counter_of(a[0]).fetch_add(d));
}

void counter_type_setup() {
    qn::type_init(AtomicCounterType, "quarvel.memory.sync_kernel.AtomicCounter", sizeof(AtomicCounterObject),
                  "Lock-free signed 64-bit counter; every operation is one sequentially consistent atomic "
                  "instruction and arithmetic wraps around.");
    AtomicCounterType.tp_new = PyType_GenericNew;
    AtomicCounterType.tp_init = qn::init_via<&counter_init_fn>;
}

int counter_methods_install() {
    PyTypeObject* t = &AtomicCounterType;
    counter_init_fn = qn::add_init(t, {"__init__", ac_init, {{"initial_value", qn::dflt(0)}}});
    if (counter_init_fn == nullptr) return -1;
    if (!qn::add_method(t, {"load", ac_load, {}, "int", "Atomically read the value."}) ||
        !qn::add_method(t, {"store", ac_store, {{"value"}}, nullptr, "Atomically replace the value."}) ||
        !qn::add_method(t, {"increment", ac_increment, {{"delta", qn::dflt(1)}}, "int",
                            "Atomically add delta; return the new value."}) ||
        !qn::add_method(t, {"decrement", ac_decrement, {{"delta", qn::dflt(1)}}, "int",
                            "Atomically subtract delta; return the new value."}) ||
        !qn::add_method(t, {"compare_and_swap", ac_compare_and_swap, {{"expected"}, {"new_value"}}, "bool",
                            "Set the value to new_value if it equals expected; return whether it did."}) ||
        !qn::add_method(t, {"fetch_and_add", ac_fetch_and_add, {{"delta"}}, "int",
                            "Atomically add delta; return the previous value."}))
        return -1;
    for (const char* name : {"load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"}) {
        char alias[64];
        PyOS_snprintf(alias, sizeof alias, "py_%s", name);
        if (qn::add_alias(t, alias, name) < 0) return -1;
    }
    return qn::publish_native_ops(t, &counter_ops, QUARVEL_ATOMIC_COUNTER_OPS_NAME);
}

// ---------------------------------------------------------------------------------------------
// AtomicCounterWrapper: a plain Python class kept for the older interface; every method forwards
// to the py_ alias of the wrapped counter.

constexpr const char* kWrapper = "AtomicCounterWrapper";
constexpr const char* kModule = "quarvel.memory.sync_kernel";

PyObject* wrapped_counter(PyObject* self) { return PyObject_GetAttr(self, QN_STR("_counter")); }

// self._counter.<alias>(*args) with the given (already converted) arguments.
PyObject* forward(PyObject* self, PyObject* alias, PyObject* const* args, size_t nargs) {
    qn::Ref counter = qn::Ref::steal(wrapped_counter(self));
    if (!counter) return nullptr;
    PyObject* stack[3] = {counter.get(), nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    return PyObject_VectorcallMethod(alias, stack, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* w_init(qn::Function*, PyObject* const* a) {
    qn::Ref v = qn::Ref::steal(qn::arg_int(a[1], "initial_value"));
    if (!v) return nullptr;
    PyObject* argv[1] = {v.get()};
    qn::Ref counter = qn::Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&AtomicCounterType), argv, 1, nullptr));
    if (!counter || PyObject_SetAttr(a[0], QN_STR("_counter"), counter.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* w_load(qn::Function*, PyObject* const* a) { return forward(a[0], QN_STR("py_load"), nullptr, 0); }

template <int N>
PyObject* forward_ints(PyObject* const* a, PyObject* alias, const char* const* names) {
    qn::Ref conv[N];
    PyObject* args[N];
    for (int i = 0; i < N; ++i) {
        conv[i] = qn::Ref::steal(qn::arg_int(a[1 + i], names[i]));
        if (!conv[i]) return nullptr;
        args[i] = conv[i].get();
    }
    return forward(a[0], alias, args, N);
}

PyObject* w_store(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"value"};
    qn::Ref r = qn::Ref::steal(forward_ints<1>(a, QN_STR("py_store"), names));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}
PyObject* w_increment(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"delta"};
    return forward_ints<1>(a, QN_STR("py_increment"), names);
}
PyObject* w_decrement(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"delta"};
    return forward_ints<1>(a, QN_STR("py_decrement"), names);
}
PyObject* w_compare_and_swap(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"expected", "new_value"};
    return forward_ints<2>(a, QN_STR("py_compare_and_swap"), names);
}
PyObject* w_fetch_and_add(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"delta"};
    return forward_ints<1>(a, QN_STR("py_fetch_and_add"), names);
}

int wrapper_install(PyObject* m) {
    qn::Ref ns = qn::Ref::steal(PyDict_New());
    if (!ns) return -1;
    auto put = [&](const qn::FuncSpec& fdef) {
        qn::Ref f = qn::Ref::steal(qn::new_method(fdef, kWrapper, kModule));
        return f && PyDict_SetItemString(ns.get(), fdef.name, f.get()) == 0;
    };
    qn::Ref mod = qn::Ref::steal(PyUnicode_FromString(kModule));
    qn::Ref doc = qn::Ref::steal(PyUnicode_FromString("Python wrapper for Cython AtomicCounter (backward compatibility)."));
    qn::Ref qual = qn::Ref::steal(PyUnicode_FromString(kWrapper));
    if (!mod || !doc || !qual || PyDict_SetItemString(ns.get(), "__module__", mod.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return -1;
    if (!put({"__init__", w_init, {{"initial_value", qn::dflt(0), "int"}}}) ||
        !put({"load", w_load, {}, "int"}) || !put({"store", w_store, {{"value", nullptr, "int"}}}) ||
        !put({"increment", w_increment, {{"delta", qn::dflt(1), "int"}}, "int"}) ||
        !put({"decrement", w_decrement, {{"delta", qn::dflt(1), "int"}}, "int"}) ||
        !put({"compare_and_swap", w_compare_and_swap, {{"expected", nullptr, "int"}, {"new_value", nullptr, "int"}},
              "bool"}) ||
        !put({"fetch_and_add", w_fetch_and_add, {{"delta", nullptr, "int"}}, "int"}))
        return -1;
    PyObject* cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", kWrapper,
                                          reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
    return qn::bind(m, kWrapper, cls);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// What the other four types share.

namespace {

// Reads and raises of the statistics counters: qn::Atomic64::read / raise_to.
inline int64_t read_sc(const qn::Atomic64& a) { return a.read(); }
inline int64_t raise_peak(qn::Atomic64& a, int64_t x) { return a.raise_to(x); }

// The module's namespace (owned for the process) and the maker of the objects' locks, which
// follows the module's `threading.Lock` (a caller may rebind `threading`, to a lock class of its
// own for instance); both set up at load.
PyObject* g_module_dict = nullptr;
qn::LockFactory g_locks;

}  // namespace

// ---------------------------------------------------------------------------------------------
// The other four types of the module live in their own headers; each provides
//   <group>_types_setup()            fills its static type objects (before they are readied)
//   <group>_methods_install()        installs the Python methods (after `typing` is imported)
#include "sync_slots.hpp"
#include "sync_stats.hpp"

namespace {

int exec_sync_kernel(PyObject* m) {
    g_module_dict = qn::newref(PyModule_GetDict(m));
    counter_type_setup();
    slots_types_setup();
    stats_types_setup();
    // 1. The five extension types, in this order.
    if (qn::type_ready(m, AtomicCounterType) < 0 || qn::type_ready(m, AtomicPointerType) < 0 ||
        qn::type_ready(m, LockFreeStackType) < 0 || qn::type_ready(m, LockFreeStatisticsType) < 0 ||
        qn::type_ready(m, PerformanceTimerType) < 0)
        return -1;
    // 2. Standard modules.
    if (qn::import_into(m, "threading") < 0 || qn::import_into(m, "time") < 0 ||
        qn::import_from(m, "typing", {"Optional", "TypeVar", "Generic"}) < 0)
        return -1;
    if (g_locks.setup(g_module_dict) < 0) return -1;
    // 3. Methods, type by type in the order above.
    if (counter_methods_install() < 0 || slots_methods_install(m) < 0 || stats_methods_install() < 0) return -1;
    // 4. The wrapper class.
    if (wrapper_install(m) < 0) return -1;
    // 5. Logging.
    if (qn::log_loaded(m, "Quarvel Cython Sync Kernel loaded - C11 atomics active (10-20\xC3\x97 speedup)") < 0)
        return -1;
    // 6.
    return qn::bind(m, "CYTHON_ATOMICS_AVAILABLE", qn::newref(Py_True));
}

}  // namespace

QN_MODULE(sync_kernel, "Lock-free concurrency primitives of the memory layer.", exec_sync_kernel)
