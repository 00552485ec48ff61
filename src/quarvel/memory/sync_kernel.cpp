// quarvel.memory.sync_kernel: the concurrency primitives of the memory layer. Each group of types
// has its binding header over the pure core in sync_kernel_core.hpp:
//   sync_counter.hpp   AtomicCounter
//   sync_slots.hpp     AtomicPointer, LockFreeStack
//   sync_stats.hpp     LockFreeStatistics, PerformanceTimer
// and this file adds the older wrapper class and the module frame. Each group provides
//   <group>_type(s)_setup()      fills its static type objects (before they are readied)
//   <group>_methods_install()    installs the Python methods (after `typing` is imported)
#include "native/qn.hpp"

#include "sync_counter.hpp"
#include "sync_module.hpp"
#include "sync_slots.hpp"
#include "sync_stats.hpp"

namespace {

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

PyObject* atomic_counter_wrapper_init(qn::Function*, PyObject* const* a) {
    qn::Ref v = qn::Ref::steal(qn::arg_int(a[1], "initial_value"));
    if (!v) return nullptr;
    PyObject* argv[1] = {v.get()};
    qn::Ref counter = qn::Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&AtomicCounterType), argv, 1, nullptr));
    if (!counter || PyObject_SetAttr(a[0], QN_STR("_counter"), counter.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* atomic_counter_wrapper_load(qn::Function*, PyObject* const* a) { return forward(a[0], QN_STR("py_load"), nullptr, 0); }

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

PyObject* atomic_counter_wrapper_store(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"value"};
    qn::Ref r = qn::Ref::steal(forward_ints<1>(a, QN_STR("py_store"), names));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}
PyObject* atomic_counter_wrapper_increment(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"delta"};
    return forward_ints<1>(a, QN_STR("py_increment"), names);
}
PyObject* atomic_counter_wrapper_decrement(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"delta"};
    return forward_ints<1>(a, QN_STR("py_decrement"), names);
}
PyObject* atomic_counter_wrapper_compare_and_swap(qn::Function*, PyObject* const* a) {
    static const char* const names[] = {"expected", "new_value"};
    return forward_ints<2>(a, QN_STR("py_compare_and_swap"), names);
}
PyObject* atomic_counter_wrapper_fetch_and_add(qn::Function*, PyObject* const* a) {
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
    if (!put({"__init__", atomic_counter_wrapper_init, {{"initial_value", qn::dflt(0), "int"}}}) ||
        !put({"load", atomic_counter_wrapper_load, {}, "int"}) ||
        !put({"store", atomic_counter_wrapper_store, {{"value", nullptr, "int"}}}) ||
        !put({"increment", atomic_counter_wrapper_increment, {{"delta", qn::dflt(1), "int"}}, "int"}) ||
        !put({"decrement", atomic_counter_wrapper_decrement, {{"delta", qn::dflt(1), "int"}}, "int"}) ||
        !put({"compare_and_swap", atomic_counter_wrapper_compare_and_swap,
              {{"expected", nullptr, "int"}, {"new_value", nullptr, "int"}}, "bool"}) ||
        !put({"fetch_and_add", atomic_counter_wrapper_fetch_and_add, {{"delta", nullptr, "int"}}, "int"}))
        return -1;
    PyObject* cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", kWrapper,
                                          reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
    return qn::bind(m, kWrapper, cls);
}

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
