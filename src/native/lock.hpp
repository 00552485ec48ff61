// threading.Lock objects driven from native code.
//
//   PyObject* lock = qn::new_lock();          // a real threading.Lock (new reference)
//   {
//       qn::LockGuard g(lock);
//       if (!g) return nullptr;               // acquiring failed (exception set)
//       ...                                   // locked section: no Python code here
//   }                                         // released on every exit path
//   g.unlock();                               // or release early, explicitly
//
// The lock is acquired and released through the lock type's own acquire/release functions,
// called directly (no attribute lookup, no bound method, no call overhead of the interpreter), so
// it behaves exactly like `with lock:`: the interpreter lock is released only while the call has
// to wait, and the lock's locked() state stays correct. Locks are never re-entered: acquiring a
// lock the current thread holds blocks forever, as with `with lock:`; do not do it.
// Releasing preserves an exception that is already set (an error path that unlocks).
//
// On the 3.11 lock layout (checked once at run time against the lock's own methods), the
// uncontended acquire and the release are done on the lock's native mutex exactly as those
// methods do them (a non-blocking attempt first, the `locked` flag kept), which skips their
// argument parsing; a contended acquire always goes through the lock's own acquire.
#pragma once

#include "ref.hpp"

#include <pythread.h>

namespace qn {

namespace detail {

struct LockApi {
    PyTypeObject* type = nullptr;
    PyCFunctionWithKeywords acquire = nullptr;
    PyCFunction release = nullptr;
    PyObject* empty = nullptr;
    bool direct = false;  // the layout below was verified
};

// The lock object's layout in 3.11.
struct LockLayout311 {
    PyObject_HEAD
    PyThread_type_lock lock_lock;
    PyObject* in_weakreflist;
    char locked;
};

// Verifies on a fresh lock that LockLayout311 matches what the lock's own methods do.
inline bool verify_direct_layout(LockApi& api, PyObject* lock_type_obj) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(lock_type_obj);
    if (t->tp_basicsize != static_cast<Py_ssize_t>(sizeof(LockLayout311))) return false;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref probe = Ref::steal(threading ? PyObject_CallMethod(threading.get(), "Lock", nullptr) : nullptr);
    if (!probe || Py_TYPE(probe.get()) != t) {
        PyErr_Clear();
        return false;
    }
    auto* l = reinterpret_cast<LockLayout311*>(probe.get());
    if (l->locked != 0 || l->lock_lock == nullptr) return false;
    Ref r = Ref::steal(api.acquire(probe.get(), api.empty, nullptr));
    if (!r) {
        PyErr_Clear();
        return false;
    }
    bool ok = l->locked == 1 && PyThread_acquire_lock_timed(l->lock_lock, 0, 0) == PY_LOCK_FAILURE;
    r = Ref::steal(api.release(probe.get(), nullptr));
    if (!r) {
        PyErr_Clear();
        return false;
    }
    ok = ok && l->locked == 0;
    if (ok && PyThread_acquire_lock_timed(l->lock_lock, 0, 0) == PY_LOCK_ACQUIRED) {
        PyThread_release_lock(l->lock_lock);
        return true;
    }
    return false;
#else
    (void)api;
    (void)lock_type_obj;
    return false;
#endif
}

inline LockApi& lock_api() {
    static LockApi api;
    return api;
}

inline bool lock_api_for(PyObject* lock) {
    LockApi& api = lock_api();
    if (api.type == Py_TYPE(lock)) return true;
    if (api.type != nullptr) return false;
    PyTypeObject* t = Py_TYPE(lock);
    Ref acq = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "acquire"));
    Ref rel = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "release"));
    if (!acq || !rel) {
        PyErr_Clear();
        return false;
    }
    if (!Py_IS_TYPE(acq.get(), &PyMethodDescr_Type) || !Py_IS_TYPE(rel.get(), &PyMethodDescr_Type)) return false;
    PyMethodDef* a = reinterpret_cast<PyMethodDescrObject*>(acq.get())->d_method;
    PyMethodDef* r = reinterpret_cast<PyMethodDescrObject*>(rel.get())->d_method;
    if ((a->ml_flags & ~METH_COEXIST) != (METH_VARARGS | METH_KEYWORDS)) return false;
    if ((r->ml_flags & ~METH_COEXIST) != METH_NOARGS) return false;
    api.empty = PyTuple_New(0);
    if (api.empty == nullptr) {
        PyErr_Clear();
        return false;
    }
    api.acquire = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(a->ml_meth));
    api.release = r->ml_meth;
    api.direct = verify_direct_layout(api, reinterpret_cast<PyObject*>(t));
    api.type = t;
    return true;
}

}  // namespace detail

// A new threading.Lock.
inline PyObject* new_lock() {
    static PyObject* factory = nullptr;
    if (factory == nullptr) {
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        if (!threading) return nullptr;
        factory = PyObject_GetAttrString(threading.get(), "Lock");
        if (factory == nullptr) return nullptr;
    }
    return PyObject_CallNoArgs(factory);
}

// Acquires `lock` (blocking); false with an exception set on failure.
inline bool lock_acquire(PyObject* lock) {
    PyObject* r;
    if (detail::lock_api_for(lock)) {
        if (detail::lock_api().direct) {
            auto* l = reinterpret_cast<detail::LockLayout311*>(lock);
            if (PyThread_acquire_lock_timed(l->lock_lock, 0, 0) == PY_LOCK_ACQUIRED) {
                l->locked = 1;
                return true;
            }
        }
        r = detail::lock_api().acquire(lock, detail::lock_api().empty, nullptr);
    } else {
        r = PyObject_CallMethod(lock, "acquire", nullptr);
    }
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// Releases `lock`, keeping any exception that is already set.
inline bool lock_release(PyObject* lock) {
    if (detail::lock_api().type == Py_TYPE(lock) && detail::lock_api().direct) {
        auto* l = reinterpret_cast<detail::LockLayout311*>(lock);
        if (l->locked) {
            l->locked = 0;
            PyThread_release_lock(l->lock_lock);
            return true;
        }
    }
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyObject* r;
    if (detail::lock_api_for(lock)) {
        r = detail::lock_api().release(lock, nullptr);
    } else {
        r = PyObject_CallMethod(lock, "release", nullptr);
    }
    bool ok = r != nullptr;
    Py_XDECREF(r);
    if (et != nullptr) {
        if (!ok) PyErr_WriteUnraisable(lock);
        PyErr_Restore(et, ev, tb);
    }
    return ok;
}

class LockGuard {
public:
    explicit LockGuard(PyObject* lock) : lock_(lock), held_(lock_acquire(lock)) {}
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() {
        if (held_ && !lock_release(lock_)) PyErr_WriteUnraisable(lock_);
    }
    explicit operator bool() const { return held_; }
    // Releases now; false (exception set) if the release failed.
    bool unlock() {
        if (!held_) return true;
        held_ = false;
        return lock_release(lock_);
    }

private:
    PyObject* lock_;
    bool held_;
};

}  // namespace qn
