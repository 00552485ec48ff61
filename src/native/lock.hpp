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
// A guard holds a strong reference to its lock for as long as it holds the lock, so another thread
// that re-runs the owner's __init__ (replacing the lock) cannot free it under the guard.
//
// Re-entry. Locks are never re-entrant. An object whose locked sections can be reached again from
// a callback on the same thread (an __eq__ that calls back into the container, a store whose
// method calls the gate) keeps a qn::LockOwner beside its lock and enters through
//
//   qn::LockGuard g(self->lock, self->owner, "FastRedBlackTree.insert");
//
// When the current thread is already inside a section of that object, the guard does not wait
// for itself: it raises RuntimeError "re-entrant call to FastRedBlackTree.insert: this thread is
// already inside a locked section of the same object" and holds nothing. Other threads wait as
// usual. `owner.held_by_me()` answers the same question for readers that take no lock.
//
// The lock is acquired and released through the lock type's own acquire/release method objects,
// called directly (no attribute lookup, no bound method), so it behaves exactly like `with lock:`:
// the interpreter lock is released only while the call has to wait, and the lock's locked() state
// stays correct. On 3.11 an uncontended acquire and the release take the verified direct path of
// compat.hpp. Releasing preserves an exception that is already set (an error path that unlocks).
//
// qn::WithBlock enters any context manager exactly as `with` does (for a lock that may have been
// rebound to any object): __enter__ first, then __exit__, both looked up on the type.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <atomic>
#include <pythread.h>

namespace qn {

namespace detail {

struct LockApi {
    PyTypeObject* type = nullptr;
    PyObject* acquire = nullptr;  // the type's method descriptors (owned)
    PyObject* release = nullptr;
    bool direct = false;          // the 3.11 direct path was verified
};

inline LockApi& lock_api() {
    static LockApi api;
    return api;
}

// First sight of a lock: caches the standard lock type and its methods (out of line: runs once).
[[gnu::noinline]] inline bool lock_api_setup(PyObject* lock) {
    LockApi& api = lock_api();
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref factory = Ref::steal(threading ? PyObject_GetAttrString(threading.get(), "Lock") : nullptr);
    Ref probe = Ref::steal(factory ? PyObject_CallNoArgs(factory.get()) : nullptr);
    if (!probe) {
        PyErr_Clear();
        return false;  // tried again at the next lock
    }
    PyTypeObject* t = Py_TYPE(probe.get());
    Ref acq = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "acquire"));
    Ref rel = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "release"));
    if (!acq || !rel || !PyCallable_Check(acq.get()) || !PyCallable_Check(rel.get())) {
        PyErr_Clear();
        return false;
    }
    api.direct = compat::lock_layout_verify(t, probe.get(), acq.get(), rel.get());
    api.acquire = acq.release();
    api.release = rel.release();
    api.type = t;
    return Py_TYPE(lock) == t;
}

// True when `lock` is of the (one) lock type whose methods are cached.
inline bool lock_api_for(PyObject* lock) {
    LockApi& api = lock_api();
    if (api.type == Py_TYPE(lock)) return true;
    if (api.type != nullptr) return false;
    return lock_api_setup(lock);
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
        if (detail::lock_api().direct && compat::lock_try_acquire_direct(lock)) return true;
        r = PyObject_Vectorcall(detail::lock_api().acquire, &lock, 1, nullptr);
    } else {
        r = PyObject_CallMethod(lock, "acquire", nullptr);
    }
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// Releases `lock`, keeping any exception that is already set.
inline bool lock_release(PyObject* lock) {
    if (detail::lock_api().type == Py_TYPE(lock) && detail::lock_api().direct &&
        compat::lock_release_direct(lock))
        return true;
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyObject* r;
    if (detail::lock_api_for(lock)) {
        r = PyObject_Vectorcall(detail::lock_api().release, &lock, 1, nullptr);
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

// Which thread is inside an object's locked sections (0: none).
//
// A lock that is not a standard threading.Lock runs Python code in its acquire() and release(); a
// callback from there into the same object is a re-entry too, although the section is not (or no
// longer) recorded as held. Such calls are marked on the calling thread for their duration.
struct LockOwner;

namespace detail {
inline std::atomic<int>& transits_in_progress() {
    static std::atomic<int> n{0};
    return n;
}
struct TransitMark {
    const LockOwner* owner;
    TransitMark* outer;
};
inline TransitMark*& transit_top() {
    static thread_local TransitMark* top = nullptr;
    return top;
}
// Marks `owner` as being entered or left by this thread while a Python-level lock runs.
class Transit {
public:
    explicit Transit(const LockOwner* owner) : mark_{owner, transit_top()} {
        transit_top() = &mark_;
        transits_in_progress().fetch_add(1, std::memory_order_relaxed);
    }
    ~Transit() {
        transit_top() = mark_.outer;
        transits_in_progress().fetch_sub(1, std::memory_order_relaxed);
    }
    Transit(const Transit&) = delete;
    Transit& operator=(const Transit&) = delete;

private:
    TransitMark mark_;
};
}  // namespace detail

struct LockOwner {
    std::atomic<unsigned long> thread{0};

    bool held_by_me() const noexcept { return held_by(PyThread_get_thread_ident()); }
    bool held_by(unsigned long me) const noexcept {
        if (thread.load(std::memory_order_relaxed) == me) return true;
        if (detail::transits_in_progress().load(std::memory_order_relaxed) == 0) return false;
        for (const detail::TransitMark* m = detail::transit_top(); m != nullptr; m = m->outer)
            if (m->owner == this) return true;
        return false;
    }
};

// Raises the re-entry RuntimeError for operation `what` ("Class.method"); returns false.
inline bool reentry_error(const char* what) {
    PyErr_Format(PyExc_RuntimeError,
                 "re-entrant call to %s: this thread is already inside a locked section of the same object", what);
    return false;
}

class LockGuard {
public:
    explicit LockGuard(PyObject* lock) : lock_(lock) { enter(); }
    LockGuard(PyObject* lock, LockOwner& owner, const char* what)
        : lock_(lock), owner_(&owner), me_(PyThread_get_thread_ident()) {
        if (owner.held_by(me_)) {
            reentry_error(what);
            return;
        }
        enter();
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() {
        if (held_ && !unlock()) PyErr_WriteUnraisable(lock_);
    }
    explicit operator bool() const { return held_; }
    // Releases now; false (exception set) if the release failed.
    bool unlock() {
        if (!held_) return true;
        held_ = false;
        if (owner_ != nullptr) owner_->thread.store(0, std::memory_order_relaxed);
        bool ok;
        if (owner_ != nullptr && !detail::lock_api_for(lock_)) {
            detail::Transit transit(owner_);
            ok = lock_release(lock_);
        } else {
            ok = lock_release(lock_);
        }
        Py_DECREF(lock_);
        return ok;
    }

private:
    // The reference taken here is released by unlock() only: while the acquire waits (with the
    // interpreter lock released) no destructor on this frame would touch an object, so a thread
    // that is ended there during interpreter shutdown unwinds harmlessly (the reference leaks).
    void enter() {
        Py_INCREF(lock_);
        bool acquired;
        if (owner_ != nullptr && !detail::lock_api_for(lock_)) {
            detail::Transit transit(owner_);
            acquired = lock_acquire(lock_);
        } else {
            acquired = lock_acquire(lock_);
        }
        if (!acquired) {
            Py_DECREF(lock_);
            return;
        }
        held_ = true;
        if (owner_ != nullptr) owner_->thread.store(me_, std::memory_order_relaxed);
    }

    PyObject* lock_;
    LockOwner* owner_ = nullptr;
    unsigned long me_ = 0;
    bool held_ = false;
};

// Runs `body` (native work only) with `lock` held; false with an exception set when the lock
// could not be taken or released.
template <class F>
inline bool with_lock(PyObject* lock, F&& body) {
    LockGuard guard(lock);
    if (!guard) return false;
    body();
    return guard.unlock();
}

// The special method `name` of `obj` as the interpreter finds it: looked up on the type and bound
// to the object; nullptr without an exception when the type has none.
inline PyObject* special_method(PyObject* obj, PyObject* name) {
    Ref attr = Ref::steal(compat::type_lookup(Py_TYPE(obj), name));
    if (!attr) return nullptr;
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    if (get == nullptr) return attr.release();
    return get(attr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

// `with mgr:` from native code. A standard threading.Lock goes straight to its acquire/release;
// anything else is driven through __enter__ / __exit__ as the `with` statement does.
//
//   qn::WithBlock block(lock);
//   if (!block) return nullptr;       // entering failed
//   ...                               // the body (may run Python code)
//   if (block.leave() < 0) return nullptr;   // 1: __exit__ swallowed the exception set
class WithBlock {
public:
    explicit WithBlock(PyObject* mgr) : mgr_(Ref::borrow(mgr)) {
        if (detail::lock_api_for(mgr)) {
            fast_ = true;
            entered_ = lock_acquire(mgr);
            return;
        }
        if (PyErr_Occurred()) return;
        static PyObject* s_enter = nullptr;
        static PyObject* s_exit = nullptr;
        if (s_enter == nullptr) s_enter = PyUnicode_InternFromString("__enter__");
        if (s_exit == nullptr && s_enter != nullptr) s_exit = PyUnicode_InternFromString("__exit__");
        if (s_enter == nullptr || s_exit == nullptr) return;
        Ref enter = Ref::steal(special_method(mgr, s_enter));
        if (!enter) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                             Py_TYPE(mgr)->tp_name);
            return;
        }
        exit_ = Ref::steal(special_method(mgr, s_exit));
        if (!exit_) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError,
                             "'%.200s' object does not support the context manager protocol (missed __exit__ "
                             "method)",
                             Py_TYPE(mgr)->tp_name);
            return;
        }
        Ref r = Ref::steal(PyObject_CallNoArgs(enter.get()));
        entered_ = static_cast<bool>(r);
    }
    WithBlock(const WithBlock&) = delete;
    WithBlock& operator=(const WithBlock&) = delete;
    explicit operator bool() const { return entered_; }

    // Leaves the block. With an exception set, __exit__ sees it; returns +1 if __exit__ swallowed
    // it, 0 on a normal exit, -1 with an exception set.
    int leave() {
        if (!entered_) return PyErr_Occurred() ? -1 : 0;
        entered_ = false;
        if (fast_) {
            const bool had_error = PyErr_Occurred() != nullptr;
            if (!lock_release(mgr_.get())) return -1;
            return had_error ? -1 : 0;
        }
        PyObject *et, *ev, *tb;
        PyErr_Fetch(&et, &ev, &tb);
        if (et == nullptr) {
            PyObject* argv[3] = {Py_None, Py_None, Py_None};
            Ref r = Ref::steal(PyObject_Vectorcall(exit_.get(), argv, 3, nullptr));
            return r ? 0 : -1;
        }
        PyErr_NormalizeException(&et, &ev, &tb);
        if (tb != nullptr && ev != nullptr) PyException_SetTraceback(ev, tb);
        PyObject* argv[3] = {et, ev ? ev : Py_None, tb ? tb : Py_None};
        Ref r = Ref::steal(PyObject_Vectorcall(exit_.get(), argv, 3, nullptr));
        int swallow = r ? PyObject_IsTrue(r.get()) : -1;
        if (swallow != 0) {
            Py_XDECREF(et);
            Py_XDECREF(ev);
            Py_XDECREF(tb);
            return swallow > 0 ? 1 : -1;
        }
        PyErr_Restore(et, ev, tb);
        return -1;
    }
    ~WithBlock() {
        if (entered_ && leave() < 0 && !PyErr_Occurred()) PyErr_WriteUnraisable(mgr_.get());
    }

private:
    Ref mgr_;
    Ref exit_;
    bool fast_ = false;
    bool entered_ = false;
};

}  // namespace qn
