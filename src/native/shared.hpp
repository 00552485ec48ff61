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
// with that lock, the lock already orders every change and the count is a plain integer (the hot
// calls take and drop a reference each time, at the cost of one add and one subtract). On a build
// without it (Py_GIL_DISABLED) the count is atomic: read-modify-writes, the last release acquiring
// what every other holder did before its own release.
#pragma once

#include <Python.h>

#include <atomic>

namespace qn {

#ifdef Py_GIL_DISABLED
using SharedCount = std::atomic<Py_ssize_t>;
#else
using SharedCount = Py_ssize_t;
#endif

template <class T>
struct Shared {
    SharedCount refs{1};

    // True when the caller's reference is the only one (no call is using the state).
    bool only_reference() const noexcept { return refs == 1; }
};

namespace detail {
#ifdef Py_GIL_DISABLED
inline void count_up(SharedCount& n) noexcept { n.fetch_add(1, std::memory_order_relaxed); }
inline bool count_down(SharedCount& n) noexcept {
    if (n.fetch_sub(1, std::memory_order_release) != 1) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
}
#else
inline void count_up(SharedCount& n) noexcept { ++n; }
inline bool count_down(SharedCount& n) noexcept { return --n == 0; }
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
