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
//
// A result that is asked for again and again (statistics polled while few of them change) keeps a
// private dict of its last values in a qn::ResultDict and hands out copies of it:
//
//   qn::ResultDict<6> last;                                   // in the object; last.release() in tp_dealloc
//   const std::uint64_t stamps[6] = {count, qn::stamp(mean), ...};   // the native values, bit for bit
//   return last.make(stats, stamps, [&](std::size_t i) { return value_object(i); });
//
// Only the values whose stamp changed since the last call are made and stored; the copy takes the
// others over as they are (equal bits, equal value: which object serves is not observable beyond
// identity, which the interpreter does not promise for numbers either). Storing a value into the
// private dict costs a key lookup (~190 instructions on 3.11, ~290 on 3.13) and copying it is a
// memcpy of its table, so a result where k of n values changed costs k stores and one copy, where
// building it afresh costs n stores and one copy.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The bits of a double, as a ResultDict stamp.
inline std::uint64_t stamp(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// The last result built from one DictTemplate, kept to serve the next one (see the top of the file).
//
// Threads: the private dict is read and updated with the interpreter lock held and without a lock
// of the owner's: between its stores and its copy no Python code runs (the values are ints, floats
// and strs, whose creation and release run none, and the collector does not run before the copy has
// taken its table). That relies on the interpreter lock; a free-threaded build (Py_GIL_DISABLED)
// builds every result afresh instead.
template <std::size_t N>
class ResultDict {
public:
    // A new dict under the template's keys; value i is make_value(i) (a new reference, or nullptr
    // with an exception set), asked for only when stamps[i] differs from the last result's.
    template <class MakeValue>
    PyObject* make(const DictTemplate& keys, [[maybe_unused]] const std::uint64_t (&stamps)[N],
                   MakeValue&& make_value) {
        PyObject* values[N];
#ifndef Py_GIL_DISABLED
        if (dict_ != nullptr) {
            for (std::size_t i = 0; i < N; ++i) {
                if (stamps[i] == stamps_[i]) continue;
                PyObject* v = make_value(i);
                if (v == nullptr) return nullptr;
                const int r = PyDict_SetItem(dict_, keys.key(i), v);
                Py_DECREF(v);
                if (r < 0) return nullptr;  // this value keeps its old stamp: stored again next time
                stamps_[i] = stamps[i];
            }
            return PyDict_Copy(dict_);
        }
#endif
        for (std::size_t i = 0; i < N; ++i) values[i] = make_value(i);
        PyObject* d = keys.make(values, N);
#ifndef Py_GIL_DISABLED
        if (d != nullptr) {
            PyObject* kept = PyDict_Copy(d);
            if (kept == nullptr) {
                Py_DECREF(d);
                return nullptr;
            }
            if (dict_ == nullptr) {  // not set meanwhile by a call from a finalizer the copy ran
                dict_ = kept;
                for (std::size_t i = 0; i < N; ++i) stamps_[i] = stamps[i];
            } else {
                Py_DECREF(kept);
            }
        }
#endif
        return d;
    }

    void release() noexcept { Py_CLEAR(dict_); }

private:
    [[maybe_unused]] PyObject* dict_ = nullptr;  // owned, never handed out; holds only ints, floats and strs
    [[maybe_unused]] std::uint64_t stamps_[N] = {};
};

}  // namespace qn
