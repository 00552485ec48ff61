// `a, b = value` from native code: the same items, exceptions and messages as the interpreter's
// own two-name unpacking on the version the module is built for.
//
//   qn::Ref a, b;
//   if (!qn::unpack2(value, a, b)) return nullptr;   // a and b own the two items
//
// An exact tuple or list is read directly; anything else is iterated (which may run Python code:
// the caller keeps `value` alive for the call). The errors:
//   TypeError  "cannot unpack non-iterable int object" (no iteration protocol; an iterator that
//              fails to start keeps its own error)
//   ValueError "not enough values to unpack (expected 2, got 1)"
//   ValueError "too many values to unpack (expected 2)", or, from 3.14 on and for an exact list,
//              tuple or dict, "too many values to unpack (expected 2, got 3)"
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace qn {

namespace detail {

inline bool unpack_too_many(PyObject* value, int expected) {
    if constexpr (compat::kUnpackNamesLength) {
        Py_ssize_t n = -1;
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            n = Py_SIZE(value);
        } else if (PyDict_CheckExact(value)) {
            n = PyDict_GET_SIZE(value);
        }
        if (n > expected) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", expected, n);
            return false;
        }
    }
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
    return false;
}

}  // namespace detail

// Returns true with new references in `a` and `b`, or false with the exception set (and `a`, `b`
// possibly holding items already taken; the caller's Refs release them).
inline bool unpack2(PyObject* value, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t n = Py_SIZE(value);
        if (n == 2) {
            a = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
            b = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
            return true;
        }
        if (n > 2) return detail::unpack_too_many(value, 2);
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref* slots[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        extra.reset();
        return detail::unpack_too_many(value, 2);
    }
    return !PyErr_Occurred();
}

}  // namespace qn
