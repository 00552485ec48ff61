// Result dictionaries with fixed string keys in a fixed order.
//
//   static qn::DictTemplate stats;                          // module-level, lives for the process
//   if (stats.setup({"count", "mean", "min"}) < 0) return -1;   // at module load
//   return stats.make({PyLong_FromLong(n), PyFloat_FromDouble(m), PyFloat_FromDouble(lo)});
//
// `make` takes over the new references it is given (any may be nullptr after a failed
// constructor: then all are released and nullptr is returned with that exception set). Keys are
// interned with their hashes cached, so no key is hashed again. Up to kFreshMax keys the dict is
// built by inserting into a new empty dict (its first table holds five entries, so nothing is
// resized; this costs 35-75 instructions per key less on 3.11-3.13 than replacing the values of a
// copy); beyond that it is a copy of a keys-only template, which is sized for all keys at once.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace qn {

class DictTemplate {
public:
    int setup(std::initializer_list<const char*> keys) {
        if (template_ != nullptr) return 0;  // set up by an earlier initialisation that failed later
        if (keys.size() > kMaxKeys) {
            PyErr_SetString(PyExc_SystemError, "DictTemplate: too many keys");
            return -1;
        }
        // Nothing is kept unless every step succeeds: a failed module initialisation leaves the
        // template empty (size() 0), to be set up again by a later import.
        Ref t = Ref::steal(PyDict_New());
        if (!t) return -1;
        Ref made[kMaxKeys];
        std::size_t n = 0;
        for (const char* k : keys) {
            made[n] = Ref::steal(PyUnicode_InternFromString(k));
            if (!made[n] || PyDict_SetItem(t.get(), made[n].get(), Py_None) < 0) return -1;
            ++n;
        }
        for (std::size_t i = 0; i < n; ++i) keys_[i] = made[i].release();  // owned for the process
        n_ = n;
        template_ = t.release();
        return 0;
    }

    std::size_t size() const noexcept { return n_; }
    PyObject* key(std::size_t i) const noexcept { return keys_[i]; }

    // A new dict holding `values` (new references, taken over) under the keys in order.
    PyObject* make(std::initializer_list<PyObject*> values) const { return make(values.begin(), values.size()); }
    PyObject* make(PyObject* const* values, std::size_t n) const {
        bool ok = n == n_;
        for (std::size_t i = 0; i < n; ++i) ok = ok && values[i] != nullptr;
        PyObject* d = ok ? (n <= kFreshMax ? PyDict_New() : PyDict_Copy(template_)) : nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            if (d != nullptr && PyDict_SetItem(d, keys_[i], values[i]) < 0) Py_CLEAR(d);
            Py_XDECREF(values[i]);
        }
        if (d == nullptr && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "DictTemplate: wrong number of values");
        return d;
    }

private:
    static constexpr std::size_t kMaxKeys = 32;
    static constexpr std::size_t kFreshMax = 5;  // a new dict's first table: 8 slots, 5 usable
    PyObject* template_ = nullptr;
    PyObject* keys_[kMaxKeys] = {};
    std::size_t n_ = 0;
};

}  // namespace qn
