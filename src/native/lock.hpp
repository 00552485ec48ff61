// Locked sections: one lock per guarded state, entered through one guard.
//
//   struct Thing { PyObject_HEAD ...; qn::Lock<qn::Sections::native> lock; };
//
//   qn::LockFactory g_locks;                      // once per module, after `import threading`:
//   g_locks.setup(module_dict);                   //   follows the module's `threading.Lock`
//   if (!qn::make_lock(self->lock, g_locks)) ...  // at construction (exception set on failure)
//   {
//       qn::Section s(self->lock, "Thing.method");   // the name is for the re-entry error
//       if (!s) return nullptr;                       // not entered (exception set)
//       ...                                           // the section
//       if (!s.unlock()) return nullptr;              // or let the destructor release it
//   }
//   if (!qn::locked(self->lock, "Thing.method", [&] { ... })) return nullptr;   // the same, shorter
//   self->lock.traverse(visit, arg);              // tp_traverse
//   self->lock.dispose();                         // tp_dealloc
//
// Which lock. While the module's `threading.Lock` is the standard one, no lock object is made and
// the lock is native (below). A substituted factory (the module's `threading` rebound, or
// `threading.Lock` itself replaced) is called instead, and the sections then acquire and release
// the object it returned exactly as `with lock:` would (its acquire/release may run Python code).
//
// What a section may do is fixed per lock, for all of its sections, by the template argument:
//   Sections::native  native work only: no Python code runs inside and the interpreter lock is
//                     kept from entry to exit;
//   Sections::any     may run Python code (a comparison, a callback into a store) or give the
//                     interpreter lock up (a walk with it released).
//
// The native lock, and where the sections rely on the interpreter lock: on a build with an
// interpreter lock, a section of a Sections::native lock takes no mutex at all. Its thread holds the
// interpreter lock from entry to exit, and so does every other section of that lock, so no two of
// them can overlap. On a free-threaded build (Py_GIL_DISABLED) those sections take the mutex as
// well; nothing else differs. Sections::any sections always take the mutex: PyMutex on 3.13+
// (which detaches the thread state while it parks), on 3.11/3.12 an atomic count tried without
// blocking first and a PyThread lock waited on with the interpreter lock released. Either way a
// thread waiting for a section lets the holder, which may need the interpreter lock to finish, run.
//
// Everything else that still relies on the interpreter lock, listed here for whoever builds for a
// free-threaded interpreter (each place says so where it stands as well):
//   - qn::ResultDict (dict.hpp) updates and copies its private dict of the last result without a
//     lock of its own; a Py_GIL_DISABLED build already builds every result afresh;
//   - sync_kernel's statistics read their public attributes as borrowed references, which another
//     thread's setattr cannot release meanwhile (sync_stats.hpp);
//   - block_index: the tree is complete whenever the interpreter lock is held (the collector's
//     traversal and the height in get_stats read it so), readers start a walk under it, which
//     bounds a writer's wait for them, and the counters' method cache is filled and read under it;
//   - counter_fold's get_all_stats tests the count of states without the aggregator's lock;
//   - the shared layer's process-wide caches (the standard-function cache, interned names) are
//     filled under it.
//
// Re-entry. Locks are never re-entrant. A Sections::any section records the thread inside it; that
// thread entering again (from a comparison calling back into the container, say) gets
// RuntimeError "re-entrant call to Thing.method: this thread is already inside a locked section of
// the same object" instead of waiting for itself; other threads wait. `lock.owner.held_by_me()`
// answers the same question for code that takes no lock. Sections on a Python-level lock record
// the thread the same way, also while that lock's own acquire/release run (they may call back).
//
// Exits. The destructor releases a section that is still held; it keeps an exception that is
// set. A thread that the interpreter ends at exit while it waits for the interpreter lock is
// unwound through its C++ frames without it: the destructor then releases a native lock (which
// needs no interpreter) and leaves a Python-level lock alone. Nothing on the paths that may wait
// is noexcept, so such an unwind can pass.
//
// A guard holds a strong reference to a Python-level lock for as long as it holds it. A native
// lock lives in its owner's storage, which the caller keeps alive for the call (the object, or a
// counted reference to the state a re-initialisation may replace).
//
// qn::WithBlock enters any context manager exactly as `with` does (for a lock that may have been
// rebound to any object): __enter__ first, then __exit__, both looked up on the type.
#pragma once

#include "compat.hpp"
#include "globals.hpp"
#include "interned.hpp"
#include "ref.hpp"

#include <atomic>
#include <optional>
#include <new>
#include <pythread.h>

namespace qn {

// ---- Python-level lock objects --------------------------------------------------------------------

namespace detail {

struct LockApi {
    PyTypeObject* type = nullptr;
    PyObject* acquire = nullptr;  // the type's method descriptors (owned, as the type)
    PyObject* release = nullptr;
};

inline LockApi& lock_api() {
    static LockApi api;
    return api;
}

// First sight of a lock object: caches the interpreter's lock type (from `_thread`, whatever
// `threading.Lock` may have been replaced with by now) and its methods (out of line: runs once).
[[gnu::noinline]] inline bool lock_api_setup(PyObject* lock) {
    LockApi& api = lock_api();
    Ref thread = Ref::steal(PyImport_Import(QN_STR("_thread")));
    Ref type = Ref::steal(thread ? PyObject_GetAttr(thread.get(), QN_STR("LockType")) : nullptr);
    if (!type || !PyType_Check(type.get())) {
        PyErr_Clear();
        return false;  // tried again at the next lock
    }
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.get());
    Ref acq = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(t), QN_STR("acquire")));
    Ref rel = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(t), QN_STR("release")));
    if (!acq || !rel || !PyCallable_Check(acq.get()) || !PyCallable_Check(rel.get())) {
        PyErr_Clear();
        return false;
    }
    api.acquire = acq.release();
    api.release = rel.release();
    api.type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process, as the methods
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

// A new threading.Lock object (for a lock that Python code sees, such as a module-level one). The
// factory is looked up at each call (module initialisation only), so it is whatever
// `threading.Lock` is then.
inline PyObject* new_lock() {
    Ref threading = Ref::steal(PyImport_Import(QN_STR("threading")));
    if (!threading) return nullptr;
    Ref factory = Ref::steal(PyObject_GetAttr(threading.get(), QN_STR("Lock")));
    if (!factory) return nullptr;
    return PyObject_CallNoArgs(factory.get());
}

// Acquires the lock object `lock` (blocking) through its acquire method; a standard lock's method
// is called directly (no attribute lookup, no bound method). False with an exception set on failure.
inline bool lock_acquire(PyObject* lock) {
    PyObject* r;
    if (detail::lock_api_for(lock)) {
        r = PyObject_Vectorcall(detail::lock_api().acquire, &lock, 1, nullptr);
    } else {
        r = PyObject_CallMethodNoArgs(lock, QN_STR("acquire"));
    }
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// Releases the lock object `lock`, keeping any exception that is already set (a failure is then
// reported as unraisable). False when the release failed.
inline bool lock_release(PyObject* lock) {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyObject* r;
    if (detail::lock_api_for(lock)) {
        r = PyObject_Vectorcall(detail::lock_api().release, &lock, 1, nullptr);
    } else {
        r = PyObject_CallMethodNoArgs(lock, QN_STR("release"));
    }
    bool ok = r != nullptr;
    Py_XDECREF(r);
    if (et != nullptr) {
        if (!ok) PyErr_WriteUnraisable(lock);
        PyErr_Restore(et, ev, tb);
    }
    return ok;
}

// ---- which thread is inside -------------------------------------------------------------------------
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

// The thread inside a lock's sections (0: none). Kept for Sections::any locks and for sections on a
// Python-level lock; a Sections::native section on the native lock cannot be re-entered and
// records nothing.
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

// ---- the native mutex ---------------------------------------------------------------------------------

// lock() is called with the interpreter lock held and gives it up while it waits. Neither lock()
// nor wait() is noexcept: a thread ended at exit while it takes the interpreter lock back is
// unwound from inside them.
class Mutex {
public:
#if PY_VERSION_HEX >= 0x030D0000
    bool create() noexcept { return true; }
    void destroy() noexcept {}
    void lock() { PyMutex_Lock(&m_); }
    void unlock() noexcept { PyMutex_Unlock(&m_); }

private:
    PyMutex m_{};
#else
    // A count of the threads holding or waiting for the mutex, and a PyThread lock used as a binary
    // semaphore that hands the mutex to one waiter. The count is the attempt without blocking
    // (PyThread's own non-blocking acquire reads the clock for a deadline even then). At most one
    // hand-over is pending at any time: the next one needs an unlock, which only the thread handed
    // to can do, after it has taken the hand-over.
    //
    // False with MemoryError set.
    bool create() {
        handover_ = PyThread_allocate_lock();
        if (handover_ != nullptr && PyThread_acquire_lock(handover_, NOWAIT_LOCK)) return true;
        destroy();
        PyErr_NoMemory();
        return false;
    }
    void destroy() noexcept {
        if (handover_ != nullptr) PyThread_free_lock(handover_);
        handover_ = nullptr;
    }
    void lock() {
        if (count_.fetch_add(1, std::memory_order_acquire) != 0) wait();
    }
    void unlock() noexcept {
        if (count_.fetch_sub(1, std::memory_order_release) != 1) PyThread_release_lock(handover_);
    }

private:
    [[gnu::noinline]] void wait() {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(handover_, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }

    std::atomic<long> count_{0};
    PyThread_type_lock handover_ = nullptr;
#endif
};

// The place for a mutex that a build never takes (Sections::native with an interpreter lock).
struct NoMutex {
    bool create() noexcept { return true; }
    void destroy() noexcept {}
    void lock() noexcept {}
    void unlock() noexcept {}
};

enum class Sections { native, any };

#ifdef Py_GIL_DISABLED
inline constexpr bool kInterpreterLock = false;
#else
inline constexpr bool kInterpreterLock = true;
#endif

template <Sections S>
using MutexFor = std::conditional_t<S == Sections::native && kInterpreterLock, NoMutex, Mutex>;

// ---- the lock of one guarded state ------------------------------------------------------------------

template <Sections S>
struct Lock {
    PyObject* py = nullptr;  // the lock object a substituted factory made (owned); nullptr: native
    LockOwner owner;
    [[no_unique_address]] MutexFor<S> mutex;

    // True when sections take the native lock (no Python-level lock was substituted).
    bool native() const noexcept { return py == nullptr; }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(py);
        return 0;
    }
    // Drops a Python-level lock (which may refer back to its owner) for the cycle collector; the
    // object goes on with the native lock. Only for Sections::native locks, whose native lock
    // needs no set-up (nothing is inside a section of an object the collector clears).
    void clear() {
        static_assert(S == Sections::native, "a Sections::any lock keeps its lock object");
        Py_CLEAR(py);
    }
    // Releases everything (deallocation; no section may be in progress).
    void dispose() {
        Py_CLEAR(py);
        mutex.destroy();
    }
};

// Makes the locks of a module's objects as its code would: `threading.Lock()`, `threading` being
// the module global as found at that moment.
class LockFactory {
public:
    // After the module has imported `threading`. 0, or -1 with an exception set.
    int setup(PyObject* module_dict) {
        module_dict_ = module_dict;
        return std_.setup(module_dict, "threading", "Lock");
    }

    // 1: the factory is the standard one (make no object); 0: `out` is the new lock object the
    // substituted factory returned; -1 with an exception set.
    int make(PyObject*& out) {
        out = nullptr;
        const int standard = std_.is_standard();
        if (standard != 0) return standard;
        Ref threading = Ref::steal(lookup_global(module_dict_, std_.global_name()));
        Ref factory = Ref::steal(threading ? PyObject_GetAttr(threading.get(), std_.attr_name()) : nullptr);
        out = factory ? PyObject_CallNoArgs(factory.get()) : nullptr;
        return out != nullptr ? 0 : -1;
    }

private:
    PyObject* module_dict_ = nullptr;  // borrowed (module lifetime)
    StdFunction std_;
};

// Constructs `lock` in the storage of a new object or state (any previous content is ignored).
// Making a Python-level lock may run Python code. False with an exception set.
template <Sections S>
bool make_lock(Lock<S>& lock, LockFactory& factory) {
    ::new (&lock) Lock<S>();
    PyObject* obj;
    const int standard = factory.make(obj);
    if (standard < 0) return false;
    if (standard == 0) {
        lock.py = obj;
        return true;
    }
    return lock.mutex.create();
}

// A native lock regardless of any factory (for state no Python code configures).
template <Sections S>
bool make_native_lock(Lock<S>& lock) {
    ::new (&lock) Lock<S>();
    return lock.mutex.create();
}

// ---- the guard ------------------------------------------------------------------------------------------

template <Sections S>
class Section {
public:
    Section(Lock<S>& lock, const char* what) : lock_(lock) {
        if (lock.py == nullptr) [[likely]] {
            if constexpr (S == Sections::any) {
                const unsigned long me = PyThread_get_thread_ident();
                if (lock.owner.thread.load(std::memory_order_relaxed) == me) {
                    reentry_error(what);
                    return;
                }
                lock.mutex.lock();
                lock.owner.thread.store(me, std::memory_order_relaxed);
            } else {
                lock.mutex.lock();
            }
            state_ = kNative;
        } else {
            enter_object(what);
        }
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    ~Section() noexcept(false) {
        if (state_ == kNative) {
            unlock();
        } else if (state_ == kObject && PyThreadState_GetUnchecked() == tstate_) {
            // (With another thread state current, this thread is being ended at exit: see above.)
            PyObject* obj = obj_;
            Py_INCREF(obj);
            const bool had_error = PyErr_Occurred() != nullptr;
            if (!unlock() && !had_error) PyErr_WriteUnraisable(obj);
            Py_DECREF(obj);
        }
    }

    explicit operator bool() const { return state_ != kNone; }

    // Leaves the section now; false (exception set) if releasing a Python-level lock failed.
    bool unlock() {
        if (state_ == kNative) {
            state_ = kNone;
            if constexpr (S == Sections::any) lock_.owner.thread.store(0, std::memory_order_relaxed);
            lock_.mutex.unlock();
            return true;
        }
        if (state_ == kObject) {
            state_ = kNone;
            return leave_object();
        }
        return true;
    }

private:
    enum State : unsigned char { kNone, kNative, kObject };

    // The reference taken here is released by leave_object() only: while the acquire waits (with
    // the interpreter lock released) no destructor on this frame touches an object.
    [[gnu::noinline]] void enter_object(const char* what) {
        PyObject* obj = lock_.py;
        const unsigned long me = PyThread_get_thread_ident();
        if (lock_.owner.held_by(me)) {
            reentry_error(what);
            return;
        }
        Py_INCREF(obj);
        std::optional<detail::Transit> transit;  // marked only while a lock written in Python runs
        if (!detail::lock_api_for(obj)) transit.emplace(&lock_.owner);
        const bool acquired = lock_acquire(obj);
        transit.reset();
        if (!acquired) {
            Py_DECREF(obj);
            return;
        }
        obj_ = obj;
        tstate_ = PyThreadState_Get();
        lock_.owner.thread.store(me, std::memory_order_relaxed);
        state_ = kObject;
    }

    [[gnu::noinline]] bool leave_object() {
        lock_.owner.thread.store(0, std::memory_order_relaxed);
        PyObject* obj = obj_;
        std::optional<detail::Transit> transit;
        if (!detail::lock_api_for(obj)) transit.emplace(&lock_.owner);
        const bool ok = lock_release(obj);
        transit.reset();
        Py_DECREF(obj);
        return ok;
    }

    Lock<S>& lock_;
    PyObject* obj_;          // kObject: the Python-level lock held (owned)
    PyThreadState* tstate_;  // kObject: the thread state that entered it
    State state_ = kNone;
};

// The fast path of a Sections::native section, for the hottest calls: when `lock.native()`, the
// caller may hold a NativeSection instead of a Section (no guard state to keep; the native lock is
// released on every way out of the scope). Otherwise it takes a Section as usual.
//
//   if (p->lock.native()) [[likely]] { qn::NativeSection s(p->lock); return read(p); }
//   qn::Section s(p->lock, "C.read");
//   ...
class NativeSection {
public:
    explicit NativeSection(Lock<Sections::native>& lock) : mutex_(lock.mutex) { mutex_.lock(); }
    NativeSection(const NativeSection&) = delete;
    NativeSection& operator=(const NativeSection&) = delete;
    ~NativeSection() { mutex_.unlock(); }

private:
    MutexFor<Sections::native>& mutex_;
};

// Runs `body` (native work, or what the lock's Sections allow) inside a section of `lock`; false
// with an exception set when the section could not be entered or left.
template <Sections S, class F>
inline bool locked(Lock<S>& lock, const char* what, F&& body) {
    Section<S> s(lock, what);
    if (!s) return false;
    body();
    return s.unlock();
}

// ---- `with` on any object -------------------------------------------------------------------------------

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
        Ref enter = Ref::steal(special_method(mgr, QN_STR("__enter__")));
        if (!enter) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                             Py_TYPE(mgr)->tp_name);
            return;
        }
        exit_ = Ref::steal(special_method(mgr, QN_STR("__exit__")));
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
