// AtomicPointer and LockFreeStack of quarvel.memory.sync_kernel (included by sync_kernel.cpp).
// PLACEHOLDER: bare types so that the module loads; their implementation replaces this file.
#pragma once

namespace {

PyTypeObject AtomicPointerType{};
PyTypeObject LockFreeStackType{};

void slots_types_setup() {
    qn::type_init(AtomicPointerType, "quarvel.memory.sync_kernel.AtomicPointer", sizeof(PyObject), nullptr);
    AtomicPointerType.tp_new = PyType_GenericNew;
    qn::type_init(LockFreeStackType, "quarvel.memory.sync_kernel.LockFreeStack", sizeof(PyObject), nullptr);
    LockFreeStackType.tp_new = PyType_GenericNew;
}

int slots_methods_install(PyObject*) { return 0; }

}  // namespace
