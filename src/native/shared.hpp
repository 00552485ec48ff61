// Native state shared by an object and the calls in progress on it, with a reference count.
//
//   struct Core : qn::Shared<Core> {
//       PyObject* config = nullptr;
//       static void destroy(Core* c) { Py_CLEAR(c->config); delete c; }   // the last release
//   };
//   Core* c = new (std::nothrow) Core;   // count 1: the creator's reference
//   qn::retain(c);                        // another holder
//   qn::release(c);                       // drops one (nullptr allowed); the last runs Core::destroy
//   qn::Held<Core> h; h.hold(c);          // one reference for a scope (a call's whole duration)
//
// An object replaces its state as a whole (a re-initialisation) while calls that started on the
// old one keep it, with the lock they entered, until they return. destroy() may release Python
// objects, so the last release must never happen with a native lock held.
//
// The count. Holders take and drop references with the interpreter lock held. On an interpreter
// with that lock the count is changed with plain (relaxed) loads and stores of an atomic: the lock
// already orders every change, and the hot calls that take a reference each time pay no locked
// instruction. On a build without it (Py_GIL_DISABLED) the changes are atomic read-modify-writes,
// the last release acquiring what every other holder did before its own release. Either way no
// access is a data race.
#pragma once

#include <Python.h>

#include <atomic>

namespace qn {

template <class T>
struct Shared {
    std::atomic<Py_ssize_t> refs{1};

    // True when the caller's reference is the only one (no call is using the state).
    bool only_reference() const noexcept { return refs.load(std::memory_order_acquire) == 1; }
};

namespace detail {
#ifdef Py_GIL_DISABLED
inline void count_up(std::atomic<Py_ssize_t>& n) noexcept { n.fetch_add(1, std::memory_order_relaxed); }
inline bool count_down(std::atomic<Py_ssize_t>& n) noexcept {
    if (n.fetch_sub(1, std::memory_order_release) != 1) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
}
#else
inline void count_up(std::atomic<Py_ssize_t>& n) noexcept {
    n.store(n.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
inline bool count_down(std::atomic<Py_ssize_t>& n) noexcept {
    const Py_ssize_t left = n.load(std::memory_order_relaxed) - 1;
    n.store(left, std::memory_order_relaxed);
    return left == 0;
}
#endif
}  // namespace detail

template <class T>
inline T* retain(T* s) noexcept {
    detail::count_up(s->refs);
    return s;
}

template <class T>
inline void release(T* s) {
    if (s != nullptr && detail::count_down(s->refs)) T::destroy(s);
}

// One reference held for a scope.
template <class T>
class Held {
public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { release(s_); }
    void hold(T* s) noexcept { s_ = retain(s); }
    T* operator->() const noexcept { return s_; }
    T* get() const noexcept { return s_; }

private:
    T* s_ = nullptr;
};

}  // namespace qn
