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

// The `int` parameter N of a wrapper method, converted (int() of anything else but an exact int).
template <qn::Name N, class A>
inline PyObject* wrapper_int(const A& a) {
    return qn::arg_int(a.template get<N>(), A::table.at[A::template index<N>].name);
}

constexpr auto kAtomicCounterWrapperInit = qn::params(qn::opt("initial_value", "int", 0));

PyObject* atomic_counter_wrapper_init(qn::MethodArgs<kAtomicCounterWrapperInit> a) {
    qn::Ref v = qn::Ref::steal(wrapper_int<"initial_value">(a));
    if (!v) return nullptr;
    PyObject* argv[1] = {v.get()};
    qn::Ref counter =
        qn::Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&AtomicCounterType), argv, 1, nullptr));
    if (!counter || PyObject_SetAttr(a.self(), QN_STR("_counter"), counter.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* atomic_counter_wrapper_load(qn::MethodArgs<qn::no_params> a) {
    return forward(a.self(), QN_STR("py_load"), nullptr, 0);
}

// self._counter.<alias>(...) with the `int` parameters N..., converted in their order.
template <qn::Name... N, class A>
PyObject* forward_ints(const A& a, PyObject* alias) {
    constexpr std::size_t n = sizeof...(N);
    qn::Ref conv[n];
    PyObject* args[n];
    std::size_t i = 0;
    const bool converted =
        ((conv[i] = qn::Ref::steal(wrapper_int<N>(a)), args[i] = conv[i].get(), args[i++] != nullptr) && ...);
    if (!converted) return nullptr;
    return forward(a.self(), alias, args, n);
}

constexpr auto kAtomicCounterWrapperStore = qn::params(qn::arg("value", "int"));

PyObject* atomic_counter_wrapper_store(qn::MethodArgs<kAtomicCounterWrapperStore> a) {
    qn::Ref r = qn::Ref::steal(forward_ints<"value">(a, QN_STR("py_store")));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto kAtomicCounterWrapperStep = qn::params(qn::opt("delta", "int", 1));

PyObject* atomic_counter_wrapper_increment(qn::MethodArgs<kAtomicCounterWrapperStep> a) {
    return forward_ints<"delta">(a, QN_STR("py_increment"));
}
PyObject* atomic_counter_wrapper_decrement(qn::MethodArgs<kAtomicCounterWrapperStep> a) {
    return forward_ints<"delta">(a, QN_STR("py_decrement"));
}

constexpr auto kAtomicCounterWrapperCompareAndSwap =
    qn::params(qn::arg("expected", "int"), qn::arg("new_value", "int"));

PyObject* atomic_counter_wrapper_compare_and_swap(qn::MethodArgs<kAtomicCounterWrapperCompareAndSwap> a) {
    return forward_ints<"expected", "new_value">(a, QN_STR("py_compare_and_swap"));
}

constexpr auto kAtomicCounterWrapperFetchAndAdd = qn::params(qn::arg("delta", "int"));

PyObject* atomic_counter_wrapper_fetch_and_add(qn::MethodArgs<kAtomicCounterWrapperFetchAndAdd> a) {
    return forward_ints<"delta">(a, QN_STR("py_fetch_and_add"));
}

int wrapper_install(PyObject* m) {
    qn::Ref ns = qn::Ref::steal(PyDict_New());
    if (!ns) return -1;
    auto put = [&](const char* name, PyObject* made) {
        qn::Ref f = qn::Ref::steal(made);
        return f && PyDict_SetItemString(ns.get(), name, f.get()) == 0;
    };
    qn::Ref mod = qn::Ref::steal(PyUnicode_FromString(kModule));
    qn::Ref doc =
        qn::Ref::steal(PyUnicode_FromString("Python wrapper for Cython AtomicCounter (backward compatibility)."));
    qn::Ref qual = qn::Ref::steal(PyUnicode_FromString(kWrapper));
    if (!mod || !doc || !qual || PyDict_SetItemString(ns.get(), "__module__", mod.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return -1;
    if (!put("__init__", qn::new_method<atomic_counter_wrapper_init>("__init__", kWrapper, kModule)) ||
        !put("load", qn::new_method<atomic_counter_wrapper_load>("load", kWrapper, kModule, "int")) ||
        !put("store", qn::new_method<atomic_counter_wrapper_store>("store", kWrapper, kModule)) ||
        !put("increment", qn::new_method<atomic_counter_wrapper_increment>("increment", kWrapper, kModule, "int")) ||
        !put("decrement", qn::new_method<atomic_counter_wrapper_decrement>("decrement", kWrapper, kModule, "int")) ||
        !put("compare_and_swap",
             qn::new_method<atomic_counter_wrapper_compare_and_swap>("compare_and_swap", kWrapper, kModule, "bool")) ||
        !put("fetch_and_add",
             qn::new_method<atomic_counter_wrapper_fetch_and_add>("fetch_and_add", kWrapper, kModule, "int")))
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
