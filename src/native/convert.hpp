// Conversions from Python objects to native numbers, and the parameter conventions of the
// Python-level functions.
//
// Native-width conversions (qn::to_i64, to_u64, to_i32, to_u32): an `int` (or `bool`) is taken as
// is; any other object goes through its integer conversion (`__int__`, else `__index__`), so a
// float truncates toward zero; an object without one raises TypeError "an integer is required"; a
// value outside the width raises OverflowError ("can't convert negative value to uint64_t" /
// "... uint32_t" for a negative value in an unsigned field). Each returns false with the exception
// set, and leaves `out` untouched on failure, so callers convert everything before changing state.
//
// None of these is noexcept: they may run Python code (__int__, __index__, __float__, __bool__), and
// a thread that the interpreter ends there at exit unwinds through them.
//
// qn::to_double: the float protocol (`__float__`, then `__index__`), as float() on a number does.
//
// Parameter conventions (the name is the parameter's, used in the TypeError message):
//   qn::arg_int(o, "size")          -> new reference: `o` if an exact int, int(o) for another
//                                      number; TypeError "Argument 'size' has incorrect type
//                                      (expected int, got str)" for a non-number
//   qn::arg_int_i64(o, "size", v)    arg_int followed by to_i64 (likewise _u64, _i32, _u32)
//   qn::arg_exact(o, &PyUnicode_Type, "code")   true if `o` is None or exactly that type
//                                      (subclasses rejected with the same TypeError)
//   qn::arg_bool(o, b)               truth value of any object
//   qn::arg_double(o, d)             to_double
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cstdint>
#include <limits>

namespace qn {

namespace detail {

inline bool has_int_conversion(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb != nullptr && (nb->nb_int != nullptr || nb->nb_index != nullptr);
}

// New reference to an int for `o` through its integer conversion, or nullptr with TypeError.
inline PyObject* integer_of(PyObject* o) {
    if (PyLong_Check(o)) return newref(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    PyObject* r = nullptr;
    if (nb != nullptr && nb->nb_int != nullptr) {
        r = nb->nb_int(o);
    } else if (nb != nullptr && nb->nb_index != nullptr) {
        r = nb->nb_index(o);
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (r != nullptr && !PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

// Reads an int object into a signed 64-bit value; `overflow` is -1/+1 when it does not fit.
inline bool long_to_ll(PyObject* num, long long& v, int& overflow) {
    v = PyLong_AsLongLongAndOverflow(num, &overflow);
    return !(v == -1 && overflow == 0 && PyErr_Occurred());
}

inline bool overflow_error(const char* what) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", what);
    return false;
}

inline bool negative_error(const char* what) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", what);
    return false;
}

inline bool signed_from_long(PyObject* num, long long lo, long long hi, const char* what, long long& out) {
    long long v;
    int overflow;
    if (!long_to_ll(num, v, overflow)) return false;
    if (overflow != 0 || v < lo || v > hi) return overflow_error(what);
    out = v;
    return true;
}

inline bool unsigned_from_long(PyObject* num, unsigned long long hi, const char* what, unsigned long long& out) {
    long long v;
    int overflow;
    if (!long_to_ll(num, v, overflow)) return false;
    if (overflow < 0 || (overflow == 0 && v < 0)) return negative_error(what);
    if (overflow == 0) {
        if (static_cast<unsigned long long>(v) > hi) return overflow_error(what);
        out = static_cast<unsigned long long>(v);
        return true;
    }
    unsigned long long u = PyLong_AsUnsignedLongLong(num);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return overflow_error(what);
    }
    if (u > hi) return overflow_error(what);
    out = u;
    return true;
}

template <class F>
inline bool via_integer(PyObject* o, F&& f) {
    if (PyLong_Check(o)) return f(o);
    PyObject* num = integer_of(o);
    if (num == nullptr) return false;
    bool ok = f(num);
    Py_DECREF(num);
    return ok;
}

// Exact ints that fit one internal digit (|v| < 2**30) are read without a call: the common case
// of every conversion. Returns false when `o` is not such an int (nothing is set then).
inline bool small_int(PyObject* o, long long& v) { return compat::small_long(o, v); }

}  // namespace detail

// Each conversion is an inlined test for a one-digit exact int (the common case, a few
// instructions and no call) in front of the general conversion, kept out of line so that the
// callers' fast paths stay small.

namespace detail {

[[gnu::noinline]] inline bool to_i64_general(PyObject* o, int64_t& out) {
    if (PyLong_CheckExact(o)) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            out = v;
            return true;
        }
        if (overflow == 0) return false;
        return detail::overflow_error("int64_t");
    }
    return detail::via_integer(o, [&](PyObject* num) {
        long long v;
        if (!detail::signed_from_long(num, std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max(),
                                      "int64_t", v))
            return false;
        out = v;
        return true;
    });
}

[[gnu::noinline]] inline bool to_i32_general(PyObject* o, int32_t& out) {
    return detail::via_integer(o, [&](PyObject* num) {
        long long v;
        if (!detail::signed_from_long(num, INT32_MIN, INT32_MAX, "int32_t", v)) return false;
        out = static_cast<int32_t>(v);
        return true;
    });
}

[[gnu::noinline]] inline bool to_u64_general(PyObject* o, uint64_t& out) {
    if constexpr (sizeof(unsigned long) == sizeof(uint64_t)) {
        // An exact int of several digits (bitmaps, sizes past 2**30): the interpreter's unsigned
        // read is a plain loop over the digits; its errors are replaced with ours.
        if (PyLong_CheckExact(o)) {
            const unsigned long v = PyLong_AsUnsignedLong(o);
            if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
                PyErr_Clear();
                return compat::long_sign(o) < 0 ? negative_error("uint64_t") : overflow_error("uint64_t");
            }
            out = v;
            return true;
        }
    }
    return detail::via_integer(o, [&](PyObject* num) {
        unsigned long long v;
        if (!detail::unsigned_from_long(num, UINT64_MAX, "uint64_t", v)) return false;
        out = v;
        return true;
    });
}

[[gnu::noinline]] inline bool to_u32_general(PyObject* o, uint32_t& out) {
    return detail::via_integer(o, [&](PyObject* num) {
        unsigned long long v;
        if (!detail::unsigned_from_long(num, UINT32_MAX, "uint32_t", v)) return false;
        out = static_cast<uint32_t>(v);
        return true;
    });
}

}  // namespace detail

inline bool to_i64(PyObject* o, int64_t& out) {
    long long small;
    if (detail::small_int(o, small)) [[likely]] {
        out = small;
        return true;
    }
    return detail::to_i64_general(o, out);
}

inline bool to_i32(PyObject* o, int32_t& out) {
    long long small;
    if (detail::small_int(o, small)) [[likely]] {
        out = static_cast<int32_t>(small);
        return true;
    }
    return detail::to_i32_general(o, out);
}

inline bool to_u64(PyObject* o, uint64_t& out) {
    long long small;
    if (detail::small_int(o, small) && small >= 0) [[likely]] {
        out = static_cast<uint64_t>(small);
        return true;
    }
    return detail::to_u64_general(o, out);
}

inline bool to_u32(PyObject* o, uint32_t& out) {
    long long small;
    if (detail::small_int(o, small) && small >= 0) [[likely]] {
        out = static_cast<uint32_t>(small);
        return true;
    }
    return detail::to_u32_general(o, out);
}

inline bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = d;
    return true;
}

// ---- parameter conventions of Python-level functions ----

inline bool arg_type_error(PyObject* o, const char* name, const char* expected) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(o)->tp_name);
    return false;
}

// True when `o` counts as a number for an `int` parameter.
inline bool is_number(PyObject* o) { return PyLong_Check(o) || PyFloat_Check(o) || detail::has_int_conversion(o); }

inline PyObject* arg_int(PyObject* o, const char* name) {
    if (PyLong_CheckExact(o)) return newref(o);
    if (!is_number(o)) {
        arg_type_error(o, name, "int");
        return nullptr;
    }
    return PyNumber_Long(o);
}

namespace detail {
template <class T, bool (*Conv)(PyObject*, T&)>
inline bool arg_int_as(PyObject* o, const char* name, T& out) {
    if (PyLong_CheckExact(o)) return Conv(o, out);
    PyObject* num = arg_int(o, name);
    if (num == nullptr) return false;
    bool ok = Conv(num, out);
    Py_DECREF(num);
    return ok;
}
}  // namespace detail

inline bool arg_int_i64(PyObject* o, const char* name, int64_t& out) {
    return detail::arg_int_as<int64_t, to_i64>(o, name, out);
}
inline bool arg_int_u64(PyObject* o, const char* name, uint64_t& out) {
    return detail::arg_int_as<uint64_t, to_u64>(o, name, out);
}
inline bool arg_int_i32(PyObject* o, const char* name, int32_t& out) {
    return detail::arg_int_as<int32_t, to_i32>(o, name, out);
}
inline bool arg_int_u32(PyObject* o, const char* name, uint32_t& out) {
    return detail::arg_int_as<uint32_t, to_u32>(o, name, out);
}

// `str`, `list`, `tuple` (or any exact type) parameter: that exact type or None.
inline bool arg_exact(PyObject* o, PyTypeObject* type, const char* name) {
    if (o == Py_None || Py_IS_TYPE(o, type)) return true;
    const char* expected = type->tp_name;
    return arg_type_error(o, name, expected);
}

inline bool arg_bool(PyObject* o, bool& out) {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False || o == Py_None) {
        out = false;
        return true;
    }
    int r = PyObject_IsTrue(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
}

inline bool arg_double(PyObject* o, double& out) { return to_double(o, out); }

// The error len(None) raises, for sequence parameters that accept None but need a length.
inline PyObject* none_has_no_len() {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
}

}  // namespace qn
