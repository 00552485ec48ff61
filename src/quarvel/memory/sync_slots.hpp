// AtomicPointer and LockFreeStack of quarvel.memory.sync_kernel (included by sync_kernel.cpp).
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

#include <cstdint>
#include <new>

namespace {

// ---------------------------------------------------------------------------------------------
// AtomicPointer: one object reference (nullptr = empty, which reads as None) and a version that
// counts successful writes and wraps around.

struct AtomicPointerObject {
    PyObject_HEAD
    PyObject* value;
    uint64_t version;
    qn::Lock<qn::Sections::native> lock;
};

PyTypeObject AtomicPointerType{};
PyObject* pointer_init_fn = nullptr;

inline AtomicPointerObject* pointer_of(PyObject* o) { return reinterpret_cast<AtomicPointerObject*>(o); }

// nullptr for None, else a new reference.
inline PyObject* slot_content(PyObject* o) { return o == Py_None ? nullptr : qn::newref(o); }

PyObject* pointer_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) { return qn::make_lock(pointer_of(self)->lock, g_locks); });
}

int pointer_traverse(PyObject* self, visitproc visit, void* arg) {
    AtomicPointerObject* p = pointer_of(self);
    Py_VISIT(p->value);
    return p->lock.traverse(visit, arg);
}

// Empties the slot (the version stays). The lock is kept, so the object stays usable.
int pointer_clear(PyObject* self) {
    Py_CLEAR(pointer_of(self)->value);
    return 0;
}

void pointer_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, pointer_dealloc)
    AtomicPointerObject* p = pointer_of(self);
    Py_CLEAR(p->value);
    p->lock.dispose();
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// Puts `content` (owned, may be nullptr) into the slot; on success `old` receives the previous
// content for the caller to release after unlocking. Counts a write when `count` is set.
[[gnu::noinline]] bool pointer_replace_slow(AtomicPointerObject* p, PyObject* content, bool count, PyObject*& old,
                                            const char* what);

inline bool pointer_replace(AtomicPointerObject* p, PyObject* content, bool count, PyObject*& old,
                            const char* what) {
    if (p->lock.native()) [[likely]] {
        qn::NativeSection g(p->lock);
        old = p->value;
        p->value = content;
        if (count) ++p->version;  // unsigned: wraps from its maximum to 0
        return true;
    }
    return pointer_replace_slow(p, content, count, old, what);
}

// Through a substituted Python-level lock (out of line: the native path needs no frame).
bool pointer_replace_slow(AtomicPointerObject* p, PyObject* content, bool count, PyObject*& old, const char* what) {
    qn::Section g(p->lock, what);
    if (!g) {
        Py_XDECREF(content);
        return false;
    }
    old = p->value;
    p->value = content;
    if (count) ++p->version;  // unsigned: wraps from its maximum to 0
    return true;
}

PyObject* ap_init(qn::Function*, PyObject* const* a) {
    PyObject* old = nullptr;
    if (!pointer_replace(pointer_of(a[0]), slot_content(a[1]), false, old, "AtomicPointer.__init__")) return nullptr;
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

// Through a substituted Python-level lock (out of line: the native path needs no frame).
[[gnu::noinline]] PyObject* pointer_load_slow(AtomicPointerObject* p) {
    qn::Section g(p->lock, "AtomicPointer.load");
    if (!g) return nullptr;
    return qn::newref(p->value ? p->value : Py_None);
}

PyObject* ap_load(qn::Function*, PyObject* const* a) {
    AtomicPointerObject* p = pointer_of(a[0]);
    if (p->lock.native()) [[likely]] {
        qn::NativeSection g(p->lock);
        return qn::newref(p->value ? p->value : Py_None);
    }
    return pointer_load_slow(p);
}

PyObject* ap_store(qn::Function*, PyObject* const* a) {
    PyObject* old = nullptr;
    if (!pointer_replace(pointer_of(a[0]), slot_content(a[1]), true, old, "AtomicPointer.store")) return nullptr;
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

PyObject* ap_compare_and_swap(qn::Function*, PyObject* const* a) {
    AtomicPointerObject* p = pointer_of(a[0]);
    PyObject* expected = a[1] == Py_None ? nullptr : a[1];
    PyObject* content = slot_content(a[2]);
    PyObject* release;  // the old content on success, the unused new reference otherwise
    bool swapped;
    {
        qn::Section g(p->lock, "AtomicPointer.compare_and_swap");
        if (!g) {
            Py_XDECREF(content);
            return nullptr;
        }
        swapped = p->value == expected;
        if (swapped) {
            release = p->value;
            p->value = content;
            ++p->version;
        } else {
            release = content;
        }
    }
    Py_XDECREF(release);
    return qn::boolean(swapped);
}

PyObject* ap_get_version(qn::Function*, PyObject* const* a) {
    AtomicPointerObject* p = pointer_of(a[0]);
    uint64_t v;
    {
        qn::Section g(p->lock, "AtomicPointer.get_version");
        if (!g) return nullptr;
        v = p->version;
    }
    return PyLong_FromUnsignedLongLong(v);
}

// ---------------------------------------------------------------------------------------------
// LockFreeStack: a singly linked list of native nodes guarded by the lock, with an atomic size that
// is read without it.

struct StackNode {
    PyObject* item;  // owned
    StackNode* next;
};

struct LockFreeStackObject {
    PyObject_HEAD
    StackNode* head;
    qn::Atomic64 size;
    qn::Lock<qn::Sections::native> lock;
};

PyTypeObject LockFreeStackType{};
PyObject* stack_init_fn = nullptr;

inline LockFreeStackObject* stack_of(PyObject* o) { return reinterpret_cast<LockFreeStackObject*>(o); }

PyObject* stack_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        LockFreeStackObject* s = stack_of(self);
        new (&s->size) qn::Atomic64();
        return qn::make_lock(s->lock, g_locks);
    });
}

int stack_traverse(PyObject* self, visitproc visit, void* arg) {
    LockFreeStackObject* s = stack_of(self);
    for (StackNode* node = s->head; node != nullptr; node = node->next) Py_VISIT(node->item);
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
    LockFreeStackObject* s = stack_of(self);
    StackNode* chain = s->head;
    s->head = nullptr;
    int64_t n = 0;
    for (StackNode* node = chain; node != nullptr; node = node->next) ++n;
    s->size.fetch_add(-n);
    free_chain(chain);
    return 0;
}

void stack_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, stack_dealloc)
    LockFreeStackObject* s = stack_of(self);
    StackNode* chain = s->head;
    s->head = nullptr;
    free_chain(chain);
    s->lock.dispose();
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* ls_init(qn::Function*, PyObject* const*) { Py_RETURN_NONE; }

PyObject* ls_push(qn::Function*, PyObject* const* a) {
    LockFreeStackObject* s = stack_of(a[0]);
    // Allocated before the lock is taken, to keep the locked section short.
    auto* node = static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode)));
    if (node == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
        return nullptr;
    }
    node->item = qn::newref(a[1]);
    {
        qn::Section g(s->lock, "LockFreeStack.push");
        if (!g) {
            PyObject* item = node->item;
            PyMem_Free(node);
            Py_DECREF(item);
            return nullptr;
        }
        node->next = s->head;
        s->head = node;
        s->size.fetch_add(1);
    }
    Py_RETURN_NONE;
}

PyObject* ls_pop(qn::Function*, PyObject* const* a) {
    LockFreeStackObject* s = stack_of(a[0]);
    StackNode* node;
    {
        qn::Section g(s->lock, "LockFreeStack.pop");
        if (!g) return nullptr;
        node = s->head;
        if (node != nullptr) {
            s->head = node->next;
            s->size.fetch_add(-1);
        }
    }
    if (node == nullptr) Py_RETURN_NONE;
    PyObject* item = node->item;  // the node's reference passes to the caller
    PyMem_Free(node);
    return item;
}

PyObject* ls_is_empty(qn::Function*, PyObject* const* a) {
    LockFreeStackObject* s = stack_of(a[0]);
    bool empty;
    {
        qn::Section g(s->lock, "LockFreeStack.is_empty");
        if (!g) return nullptr;
        empty = s->head == nullptr;
    }
    return qn::boolean(empty);
}

PyObject* ls_size(qn::Function*, PyObject* const* a) { return PyLong_FromLongLong(read_sc(stack_of(a[0])->size)); }

// ---------------------------------------------------------------------------------------------

void slots_types_setup() {
    qn::gc_type_init(AtomicPointerType, "quarvel.memory.sync_kernel.AtomicPointer", sizeof(AtomicPointerObject),
                     "A slot holding one object reference, with a version that counts writes.",
                     {pointer_tp_new, qn::init_via<&pointer_init_fn>, pointer_dealloc, pointer_traverse, pointer_clear});

    qn::gc_type_init(LockFreeStackType, "quarvel.memory.sync_kernel.LockFreeStack", sizeof(LockFreeStackObject),
                     "Last-in-first-out stack of object references with an atomic size counter.",
                     {stack_tp_new, qn::init_via<&stack_init_fn>, stack_dealloc, stack_traverse, stack_clear});
}

int slots_methods_install(PyObject*) {
    PyTypeObject* t = &AtomicPointerType;
    pointer_init_fn = qn::add_init(t, {"__init__", ap_init, {{"initial_value", qn::dflt_none()}}});
    if (pointer_init_fn == nullptr) return -1;
    if (!qn::add_method(t, {"load", ap_load, {}, "Optional[object]", "The held object, or None."}) ||
        !qn::add_method(t, {"store", ap_store, {{"value"}}, nullptr, "Hold value (None empties the slot)."}) ||
        !qn::add_method(t, {"compare_and_swap", ap_compare_and_swap, {{"expected"}, {"new_value"}}, "bool",
                            "If the held object is expected (identity), hold new_value; return whether it did."}) ||
        !qn::add_method(t, {"get_version", ap_get_version, {}, "int", "The number of successful writes."}))
        return -1;

    PyTypeObject* st = &LockFreeStackType;
    stack_init_fn = qn::add_init(st, {"__init__", ls_init});
    if (stack_init_fn == nullptr) return -1;
    if (!qn::add_method(st, {"push", ls_push, {{"item"}}, nullptr, "Put item on top."}) ||
        !qn::add_method(st, {"pop", ls_pop, {}, "Optional[object]",
                             "Remove and return the top item, or None when the stack is empty."}) ||
        !qn::add_method(st, {"is_empty", ls_is_empty, {}, "bool", "Whether the stack holds no item."}) ||
        !qn::add_method(st, {"size", ls_size, {}, "int", "The number of items (read without the lock)."}))
        return -1;
    return 0;
}

}  // namespace
