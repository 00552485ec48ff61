// LockFreeStatistics and PerformanceTimer of quarvel.memory.sync_kernel (included by sync_kernel.cpp).
// PLACEHOLDER: bare types so that the module loads; their implementation replaces this file.
#pragma once

namespace {

PyTypeObject LockFreeStatisticsType{};
PyTypeObject PerformanceTimerType{};

void stats_types_setup() {
    qn::type_init(LockFreeStatisticsType, "quarvel.memory.sync_kernel.LockFreeStatistics", sizeof(PyObject), nullptr);
    LockFreeStatisticsType.tp_new = PyType_GenericNew;
    qn::type_init(PerformanceTimerType, "quarvel.memory.sync_kernel.PerformanceTimer", sizeof(PyObject), nullptr);
    PerformanceTimerType.tp_new = PyType_GenericNew;
}

int stats_methods_install(PyObject*) { return 0; }

}  // namespace
