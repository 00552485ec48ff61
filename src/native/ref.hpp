// Owned and borrowed object references.
//
//   qn::Ref r = qn::Ref::steal(PyLong_FromLong(1));   // takes over a new reference
//   qn::Ref s = qn::Ref::borrow(obj);                  // takes a new reference to a borrowed one
//   if (!r) return nullptr;                            // NULL means an exception is set
//   return r.release();                                // hands the reference to the caller
//
// A Ref releases its reference when it goes out of scope. Borrowed references are plain
// PyObject* and are never released by their holder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qn {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Drops the held reference (if any) and takes over `p`.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// New reference to `p` (for returning borrowed objects).
inline PyObject* newref(PyObject* p) noexcept {
    Py_INCREF(p);
    return p;
}

inline PyObject* none() noexcept { Py_RETURN_NONE; }

inline PyObject* boolean(bool b) noexcept {
    if (b) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

}  // namespace qn
