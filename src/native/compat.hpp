// The one place that knows which interpreter version it is built for.
//
// Everything else in the code base uses the public C API only. This header
//   - backports public functions of newer interpreters to the older ones (PyObject_GetOptionalAttr,
//     PyThreadState_GetUnchecked),
//   - gives version-neutral names to the few things whose best public form differs per version
//     (type attribute lookup, compact int reads, "has this dict changed" stamps),
//   - says where an interpreter message that native code reproduces changed between versions,
//   - holds the one measured fast path that reads an interpreter object's layout, behind a
//     version check with a public fallback on every other version: one-digit int reads on 3.11
//     (3.12+ has the public compact-int functions).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

// ---- backports of public API -------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030D0000
// 1 and a new reference when found, 0 and nullptr when the attribute is missing (no exception),
// -1 with an exception on any other error.
static inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}
// The current thread state, or nullptr, without failing (public from 3.13 on; the older
// interpreters export it under its earlier name).
static inline PyThreadState* PyThreadState_GetUnchecked(void) { return _PyThreadState_UncheckedGet(); }
#endif

namespace qn::compat {

// ---- ints ---------------------------------------------------------------------------------------

// Reads an exact int that fits one internal digit (|v| < 2**30) without a call. Returns false,
// with nothing set, for anything else; callers then take the general conversion.
inline bool small_long(PyObject* o, long long& v) noexcept {
    if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    v = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
    return true;
#else
    const Py_ssize_t n = Py_SIZE(o);
    if (n == 0) {
        v = 0;
        return true;
    }
    if (n == 1 || n == -1) {
        const long long d = static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
        v = n < 0 ? -d : d;
        return true;
    }
    return false;
#endif
}

// The sign of an int object (any int subclass): -1, 0 or 1. Never fails.
inline int long_sign(PyObject* o) noexcept {
    long long v;
    if (small_long(o, v)) return (v > 0) - (v < 0);
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return overflow;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // not reachable for an int object
        return -1;
    }
    return (v > 0) - (v < 0);
}

// ---- types --------------------------------------------------------------------------------------

// The attribute `name` found along the type's MRO without invoking descriptors, as the interpreter
// finds special methods: a new reference, or nullptr with no exception when absent (nullptr with
// an exception only on an internal error).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    PyObject* hold_mro = Py_NewRef(mro);
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(hold_mro); i < n && found == nullptr; ++i) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(hold_mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* dict = PyType_GetDict(base);  // new reference
#else
        PyObject* dict = Py_XNewRef(base->tp_dict);
#endif
        if (dict == nullptr) continue;
        found = PyDict_GetItemWithError(dict, name);
        Py_XINCREF(found);
        Py_DECREF(dict);
        if (found == nullptr && PyErr_Occurred()) break;
    }
    Py_DECREF(hold_mro);
    return found;
}

// ---- dictionary change stamps ---------------------------------------------------------------------
//
// A cheap "may this dictionary have changed since I last looked?" test for caches over module
// namespaces:
//
//   if (qn::compat::watch_dict(d) < 0) ...          // once, at setup (d kept alive by the caller)
//   uint64_t s = qn::compat::dict_stamp(d);          // equal stamps: nothing changed in between
//
// 3.11: the dictionary's own version tag (never 0 for a live dict). 3.12+: the public dictionary
// watchers; every change to any dictionary watched moves one counter, which is a conservative
// stamp for each of them. A stamp of 0 means "unknown": compare nothing against it.
//
// One watcher serves every extension of the package. An interpreter has eight watcher slots, and
// each extension is a shared library of its own, with its own copy of every static this header
// defines: a watcher per extension would take one slot each. So the first extension to watch a
// dictionary registers the watcher and publishes its state (the watcher id and the change counter,
// a static of that library, which the interpreter never unloads) as a capsule in the interpreter's
// state dictionary (PyInterpreterState_GetDict: the place the C API gives extensions for data of
// one interpreter), under the capsule's own name; the others take the state found there. The
// layout below is what they share: change it only together with that name. The modules load into
// one interpreter per process, so this is one watcher per process.

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline constexpr const char kDictWatchName[] = "quarvel.native.dict_watch.v1";

struct DictWatch {
    int id = -1;                     // -1: not registered yet; -2: no slot was free
    std::atomic<uint64_t> epoch{1};  // moved by every change to a watched dictionary
};

inline DictWatch& own_dict_watch() {
    static DictWatch w;
    return w;
}

// This extension's view: the shared state once found, and the counter dict_stamp reads (a zero
// until a watcher is registered, so that stamps stay "unknown").
inline DictWatch*& dict_watch_ptr() {
    static DictWatch* p = nullptr;
    return p;
}

// The callback of the extension that registered the watcher; it found the shared state first.
inline int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    dict_watch_ptr()->epoch.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
inline const std::atomic<uint64_t>*& stamp_source() {
    static const std::atomic<uint64_t> unknown{0};
    static const std::atomic<uint64_t>* src = &unknown;
    return src;
}

// The interpreter's shared state, published by this extension when none is there yet; nullptr
// with an exception set.
inline DictWatch* dict_watch() {
    DictWatch*& p = dict_watch_ptr();
    if (p != nullptr) return p;
    PyObject* idict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (idict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter state dictionary");
        return nullptr;
    }
    PyObject* key = PyUnicode_InternFromString(kDictWatchName);
    if (key == nullptr) return nullptr;
    PyObject* mine = PyCapsule_New(&own_dict_watch(), kDictWatchName, nullptr);
    PyObject* found = mine != nullptr ? PyDict_SetDefault(idict, key, mine) : nullptr;  // borrowed
    void* w = found != nullptr ? PyCapsule_GetPointer(found, kDictWatchName) : nullptr;
    Py_XDECREF(mine);
    Py_DECREF(key);
    p = static_cast<DictWatch*>(w);
    return p;
}
}  // namespace detail

// When no slot is left the stamp stays 0 ("unknown") and callers simply look up every time.
inline int watch_dict(PyObject* d) {
    detail::DictWatch* w = detail::dict_watch();
    if (w == nullptr) return -1;
    if (w->id == -2) return 0;
    if (w->id < 0) {
        w->id = PyDict_AddWatcher(detail::on_dict_event);
        if (w->id < 0) {
            PyErr_Clear();
            w->id = -2;
            return 0;
        }
    }
    detail::stamp_source() = &w->epoch;
    w->epoch.fetch_add(1, std::memory_order_relaxed);
    return PyDict_Watch(w->id, d);
}
inline uint64_t dict_stamp(PyObject*) noexcept { return detail::stamp_source()->load(std::memory_order_relaxed); }
#else
inline int watch_dict(PyObject*) { return 0; }
inline uint64_t dict_stamp(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

// ---- interpreter messages ---------------------------------------------------------------------------

// From 3.14 on, "too many values to unpack" also names the length of an exact list, tuple or dict
// ("(expected 2, got 3)"); other iterables keep the short form.
inline constexpr bool kUnpackNamesLength = PY_VERSION_HEX >= 0x030E0000;

}  // namespace qn::compat
