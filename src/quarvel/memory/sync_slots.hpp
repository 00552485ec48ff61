// AtomicPointer and LockFreeStack of quarvel.memory.sync_kernel: the slot and the stack of the core
// (sync_kernel_core.hpp) holding object references.
//
// Both hold owned references in native storage, guarded by a per-object lock (qn::Lock: native
// unless the module's `threading.Lock` was substituted). A reference held natively must not be
// released while another thread may still read it, so every read and write of that storage
// happens inside a section of the lock, and every reference that leaves it is released only after
// the section (a finalizer run by that release may use the object again). The interpreter lock
// stays held throughout and the sections are native work only, so each operation costs what its
// work costs: a load is a read and an incref, a store a swap, push and pop link or unlink one node.
//
// The storage is consistent whenever Python code can run (before and after each locked section,
// including inside the acquire and release of a lock that is not a real threading.Lock), so the
// cycle collector may visit and clear it at any of those points: both types report what they
// hold, and clearing detaches the storage first and releases the references afterwards.
#pragma once

#include "native/qn.hpp"

#include <cstdint>
#include <new>

#include "sync_kernel_core.hpp"
#include "sync_module.hpp"

namespace core = quarvel::sync_kernel;

namespace {

// ---------------------------------------------------------------------------------------------
// AtomicPointer: one object reference (nullptr = empty, which reads as None) and a version that
// counts successful writes and wraps around.

struct AtomicPointerObject {
    PyObject_HEAD
    core::Slot<PyObject*> slot;
    qn::Lock<qn::Sections::native> lock;
};

PyTypeObject AtomicPointerType{};
PyObject* atomic_pointer_init_fn = nullptr;

inline AtomicPointerObject* pointer_of(PyObject* o) { return reinterpret_cast<AtomicPointerObject*>(o); }

// nullptr for None, else a new reference.
inline PyObject* slot_content(PyObject* o) { return o == Py_None ? nullptr : qn::newref(o); }

PyObject* pointer_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        new (&pointer_of(self)->slot) core::Slot<PyObject*>();
        return qn::make_lock(pointer_of(self)->lock, g_locks);
    });
}

int pointer_traverse(PyObject* self, visitproc visit, void* arg) {
    AtomicPointerObject* p = pointer_of(self);
    Py_VISIT(p->slot.value);
    return p->lock.traverse(visit, arg);
}

// Empties the slot (the version stays). The lock is kept, so the object stays usable.
int pointer_clear(PyObject* self) {
    Py_XDECREF(pointer_of(self)->slot.take());
    return 0;
}

void pointer_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, pointer_dealloc)
        AtomicPointerObject* p = pointer_of(self);
        Py_XDECREF(p->slot.take());
        p->lock.dispose();
        Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// Puts `content` (owned, may be nullptr) into the slot and releases the previous content after the
// section; counts a write when `count` is set. None, or nullptr with an exception.
[[gnu::noinline]] PyObject* pointer_put_slow(AtomicPointerObject* p, PyObject* content, bool count, const char* what);

inline PyObject* pointer_put(AtomicPointerObject* p, PyObject* content, bool count, const char* what) {
    if (p->lock.native()) [[likely]] {
        PyObject* old;
        {
            qn::NativeSection g(p->lock);
            old = p->slot.replace(content, count);
        }
        Py_XDECREF(old);
        Py_RETURN_NONE;
    }
    return pointer_put_slow(p, content, count, what);
}

// Through a substituted Python-level lock (out of line: the native path needs no frame).
PyObject* pointer_put_slow(AtomicPointerObject* p, PyObject* content, bool count, const char* what) {
    PyObject* old;
    {
        qn::Section g(p->lock, what);
        if (!g) {
            Py_XDECREF(content);
            return nullptr;
        }
        old = p->slot.replace(content, count);
    }
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

constexpr auto kAtomicPointerInit = qn::params(qn::opt("initial_value", nullptr, qn::none_default));

PyObject* atomic_pointer_init(qn::MethodArgs<kAtomicPointerInit> a) {
    return pointer_put(a.self<AtomicPointerObject>(), slot_content(a.get<"initial_value">()), false,
                       "AtomicPointer.__init__");
}

// Through a substituted Python-level lock (out of line: the native path needs no frame).
[[gnu::noinline]] PyObject* pointer_load_slow(AtomicPointerObject* p) {
    qn::Section g(p->lock, "AtomicPointer.load");
    if (!g) return nullptr;
    return qn::newref(p->slot.value ? p->slot.value : Py_None);
}

PyObject* atomic_pointer_load(qn::MethodArgs<qn::no_params> a) {
    AtomicPointerObject* p = a.self<AtomicPointerObject>();
    if (p->lock.native()) [[likely]] {
        qn::NativeSection g(p->lock);
        return qn::newref(p->slot.value ? p->slot.value : Py_None);
    }
    return pointer_load_slow(p);
}

constexpr auto kAtomicPointerStore = qn::params(qn::arg("value"));

PyObject* atomic_pointer_store(qn::MethodArgs<kAtomicPointerStore> a) {
    return pointer_put(a.self<AtomicPointerObject>(), slot_content(a.get<"value">()), true, "AtomicPointer.store");
}

constexpr auto kAtomicPointerCompareAndSwap = qn::params(qn::arg("expected"), qn::arg("new_value"));

PyObject* atomic_pointer_compare_and_swap(qn::MethodArgs<kAtomicPointerCompareAndSwap> a) {
    AtomicPointerObject* p = a.self<AtomicPointerObject>();
    PyObject* expected = a.get<"expected">() == Py_None ? nullptr : a.get<"expected">();
    PyObject* content = slot_content(a.get<"new_value">());
    PyObject* release;  // the old content on success, the unused new reference otherwise
    bool swapped;
    {
        qn::Section g(p->lock, "AtomicPointer.compare_and_swap");
        if (!g) {
            Py_XDECREF(content);
            return nullptr;
        }
        swapped = p->slot.compare_and_swap(expected, content, release);
    }
    Py_XDECREF(release);
    return qn::boolean(swapped);
}

PyObject* atomic_pointer_get_version(qn::MethodArgs<qn::no_params> a) {
    AtomicPointerObject* p = a.self<AtomicPointerObject>();
    uint64_t v;
    {
        qn::Section g(p->lock, "AtomicPointer.get_version");
        if (!g) return nullptr;
        v = p->slot.version;
    }
    return PyLong_FromUnsignedLongLong(v);
}

// ---------------------------------------------------------------------------------------------
// LockFreeStack: the core's linked stack of owned references, guarded by the lock, with an atomic
// size that is read without it.

using StackNode = core::StackNode<PyObject*>;  // `item` owned

struct LockFreeStackObject {
    PyObject_HEAD
    core::Stack<PyObject*> stack;
    qn::Lock<qn::Sections::native> lock;
};

PyTypeObject LockFreeStackType{};
PyObject* lock_free_stack_init_fn = nullptr;

inline LockFreeStackObject* stack_of(PyObject* o) { return reinterpret_cast<LockFreeStackObject*>(o); }

PyObject* stack_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        LockFreeStackObject* s = stack_of(self);
        new (&s->stack) core::Stack<PyObject*>();
        return qn::make_lock(s->lock, g_locks);
    });
}

int stack_traverse(PyObject* self, visitproc visit, void* arg) {
    LockFreeStackObject* s = stack_of(self);
    for (StackNode* node = s->stack.head; node != nullptr; node = node->next) Py_VISIT(node->item);
    return s->lock.traverse(visit, arg);
}

// Releases a detached chain of nodes from the top: each node is freed, then its item's reference
// released. Releasing an item may run any code (this stack's own methods included): the chain is
// no longer reachable from the stack.
void free_chain(StackNode* node) {
    while (node != nullptr) {
        StackNode* next = node->next;
        PyObject* item = node->item;
        PyMem_Free(node);
        Py_DECREF(item);
        node = next;
    }
}

// Empties the stack: the whole chain is detached (and the size brought back by its length) before
// any item is released. The lock is kept, so the object stays usable.
int stack_clear(PyObject* self) {
    free_chain(stack_of(self)->stack.detach());
    return 0;
}

void stack_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, stack_dealloc)
        LockFreeStackObject* s = stack_of(self);
        free_chain(s->stack.detach());
        s->lock.dispose();
        Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* lock_free_stack_init(qn::MethodArgs<qn::no_params>) { Py_RETURN_NONE; }

constexpr auto kLockFreeStackPush = qn::params(qn::arg("item"));

PyObject* lock_free_stack_push(qn::MethodArgs<kLockFreeStackPush> a) {
    LockFreeStackObject* s = a.self<LockFreeStackObject>();
    // Allocated before the lock is taken, to keep the locked section short.
    auto* node = static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode)));
    if (node == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
        return nullptr;
    }
    node->item = qn::newref(a.get<"item">());
    {
        qn::Section g(s->lock, "LockFreeStack.push");
        if (!g) {
            PyObject* item = node->item;
            PyMem_Free(node);
            Py_DECREF(item);
            return nullptr;
        }
        s->stack.push(node);
    }
    Py_RETURN_NONE;
}

PyObject* lock_free_stack_pop(qn::MethodArgs<qn::no_params> a) {
    LockFreeStackObject* s = a.self<LockFreeStackObject>();
    StackNode* node;
    {
        qn::Section g(s->lock, "LockFreeStack.pop");
        if (!g) return nullptr;
        node = s->stack.pop();
    }
    if (node == nullptr) Py_RETURN_NONE;
    PyObject* item = node->item;  // the node's reference passes to the caller
    PyMem_Free(node);
    return item;
}

PyObject* lock_free_stack_is_empty(qn::MethodArgs<qn::no_params> a) {
    LockFreeStackObject* s = a.self<LockFreeStackObject>();
    bool empty;
    {
        qn::Section g(s->lock, "LockFreeStack.is_empty");
        if (!g) return nullptr;
        empty = s->stack.empty();
    }
    return qn::boolean(empty);
}

PyObject* lock_free_stack_size(qn::MethodArgs<qn::no_params> a) {
    return PyLong_FromLongLong(a.self<LockFreeStackObject>()->stack.size.read());
}

// ---------------------------------------------------------------------------------------------

void slots_types_setup() {
    qn::gc_type_init(
        AtomicPointerType, "quarvel.memory.sync_kernel.AtomicPointer", sizeof(AtomicPointerObject),
        "A slot holding one object reference, with a version that counts writes.",
        {pointer_tp_new, qn::init_via<&atomic_pointer_init_fn>, pointer_dealloc, pointer_traverse, pointer_clear});

    qn::gc_type_init(
        LockFreeStackType, "quarvel.memory.sync_kernel.LockFreeStack", sizeof(LockFreeStackObject),
        "Last-in-first-out stack of object references with an atomic size counter.",
        {stack_tp_new, qn::init_via<&lock_free_stack_init_fn>, stack_dealloc, stack_traverse, stack_clear});
}

int slots_methods_install(PyObject*) {
    PyTypeObject* t = &AtomicPointerType;
    atomic_pointer_init_fn = qn::add_method<atomic_pointer_init>(t, "__init__");
    if (atomic_pointer_init_fn == nullptr) return -1;
    // load and store get entry points with their bodies inlined (their native paths take no frame).
    if (!qn::set_direct<atomic_pointer_load>(
            qn::add_method<atomic_pointer_load>(t, "load", "Optional[object]", "The held object, or None.")) ||
        !qn::set_direct<atomic_pointer_store>(
            qn::add_method<atomic_pointer_store>(t, "store", nullptr, "Hold value (None empties the slot).")) ||
        !qn::add_method<atomic_pointer_compare_and_swap>(
            t, "compare_and_swap", "bool",
            "If the held object is expected (identity), hold new_value; return whether it did.") ||
        !qn::add_method<atomic_pointer_get_version>(t, "get_version", "int", "The number of successful writes."))
        return -1;

    PyTypeObject* st = &LockFreeStackType;
    lock_free_stack_init_fn = qn::add_method<lock_free_stack_init>(st, "__init__");
    if (lock_free_stack_init_fn == nullptr) return -1;
    if (!qn::add_method<lock_free_stack_push>(st, "push", nullptr, "Put item on top.") ||
        !qn::add_method<lock_free_stack_pop>(st, "pop", "Optional[object]",
                                             "Remove and return the top item, or None when the stack is empty.") ||
        !qn::add_method<lock_free_stack_is_empty>(st, "is_empty", "bool", "Whether the stack holds no item.") ||
        !qn::add_method<lock_free_stack_size>(st, "size", "int", "The number of items (read without the lock)."))
        return -1;
    return 0;
}

}  // namespace
