// LockFreeStatistics and PerformanceTimer of quarvel.memory.sync_kernel.
//
// LockFreeStatistics keeps two sets of counters: the core's twelve internal atomics (core::Stats,
// maintained only by py_record_allocation / py_record_deallocation / reset and reported by nothing
// but the native operation table below), and twelve public attributes, each an AtomicCounter by
// default but assignable with any object. Every operation on a public attribute means "call this
// method on whatever the attribute holds", and goes through one helper (`on_public`): when the
// attribute holds an exact AtomicCounter (an immutable type whose methods cannot be replaced) and
// the operand fits, the operation is carried out natively on its atomic value, which is the same
// behaviour without the call overhead; anything else (subclasses, stand-ins, None, operands beyond
// 64 bits) gets the real method call. On a subclass of LockFreeStatistics the attributes and
// `_update_peaks` are looked up on the instance, so overriding descriptors and methods are honoured.
//
// The interpreter lock stays held throughout: every native section is a handful of atomic
// instructions.
#pragma once

#include "native/qn.hpp"

#include <cstdint>
#include <new>

#include "sync_counter.hpp"
#include "sync_kernel_core.hpp"
#include "sync_module.hpp"

struct _object;

#define QUARVEL_LOCK_FREE_STATISTICS_OPS_NAME "quarvel.memory.sync_kernel.LockFreeStatistics.__native_ops__"

// Native operation table of LockFreeStatistics, published as a capsule of that name in the class
// attribute __native_ops__. Each entry raises an internal peak to at least `value` (a lock-free
// compare-and-swap loop) and returns the last value it read. Neither touches the interpreter lock
// nor raises.
struct LockFreeStatisticsOps {
    int64_t (*raise_peak_allocations)(_object* stats, int64_t value);
    int64_t (*raise_peak_bytes_allocated)(_object* stats, int64_t value);
};

namespace core = quarvel::sync_kernel;

namespace {

// ---------------------------------------------------------------------------------------------
// LockFreeStatistics

constexpr std::size_t kSnapshotKeys = 14;

struct LockFreeStatisticsObject {
    PyObject_HEAD
    core::Stats core;
    qn::Lock<qn::Sections::native> lock;
    PyObject* pub[core::kStatCount];              // never NULL once constructed (None after deletion or clearing)
    qn::ResultDict<kSnapshotKeys> last_snapshot;  // the last get_snapshot result made from native values
};

PyTypeObject LockFreeStatisticsType{};
PyObject* lock_free_statistics_init_fn = nullptr;
PyObject* g_public_names[core::kStatCount];  // interned attribute names
PyObject* g_zero = nullptr;                  // 0 and 100.0, made at load
PyObject* g_hundred = nullptr;

inline LockFreeStatisticsObject* stats_of(PyObject* o) { return reinterpret_cast<LockFreeStatisticsObject*>(o); }

// An exact int argument read as a native value when it fits; `sign` is its sign either way.
struct IntArg {
    int64_t v = 0;
    bool fits = false;
    int sign = 0;
    // Always inlined: it sits on the statistics' hot path, three times per call.
    [[gnu::always_inline]] explicit IntArg(PyObject* exact_int) {
        long long x;
        if (qn::compat::small_long(exact_int, x)) {  // the usual case for sizes and times
            v = x;
            fits = true;
            sign = (x > 0) - (x < 0);
            return;
        }
        int overflow = 0;
        x = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
        if (overflow == 0) {
            v = x;
            fits = true;
            sign = (x > 0) - (x < 0);
        } else {
            sign = overflow;
        }
    }
    constexpr explicit IntArg(int64_t x) : v(x), fits(true), sign((x > 0) - (x < 0)) {}
};

// The operand of an increment or decrement of a public counter: its native reading and the
// argument a method call passes (`obj`; when nullptr, an int made from the native value, or no
// argument at all, the method's own default of 1, when `omitted`).
struct Delta {
    IntArg n;
    PyObject* obj = nullptr;
    bool omitted = false;
};

constexpr Delta kDefaultOne{IntArg(int64_t{1}), nullptr, true};

// A value read from a counter: native when the attribute is an exact AtomicCounter, otherwise the
// object its load() returned.
struct Reading {
    int64_t v = 0;
    qn::Ref obj;
    bool native() const { return !obj; }
    PyObject* new_object() const { return obj ? qn::newref(obj.get()) : PyLong_FromLongLong(v); }
};

// The public attribute `i`, as `self.<name>` would find it (new reference).
inline qn::Ref stat_attr(PyObject* self, int i) {
    if (Py_IS_TYPE(self, &LockFreeStatisticsType)) return qn::Ref::borrow(stats_of(self)->pub[i]);
    return qn::Ref::steal(PyObject_GetAttr(self, g_public_names[i]));
}

// The public attributes of `self` as its operations reach them: an exact LockFreeStatistics
// (immutable static type, so neither its methods nor the type of an instance can change, and no
// instance dict) is read from its storage, anything else by name. `self` is the caller's argument
// and outlives the call.
struct Public {
    PyObject* self;
    PyObject* const* slots;  // nullptr: by name
    explicit Public(PyObject* s)
        : self(s), slots(Py_IS_TYPE(s, &LockFreeStatisticsType) ? stats_of(s)->pub : nullptr) {}
};

// One operation on the public attribute `i`. `native(counter)` carries it out on an exact
// AtomicCounter and returns false when it cannot (an operand beyond 64 bits); `call(attr)` makes
// the method call. An attribute read from the storage is borrowed: no Python code runs before the
// native operation, and a reference is taken before any call. This borrowed read relies on the
// interpreter lock (another thread's setattr cannot release the attribute meanwhile); a
// free-threaded build needs a strong reference or a critical section of the object here.
template <class Native, class Call>
[[gnu::always_inline]] inline bool on_public(const Public& p, int i, Native&& native, Call&& call) {
    if (p.slots != nullptr) [[likely]] {
        PyObject* attr = p.slots[i];
        if (is_exact_counter(attr) && native(counter_of(attr))) return true;
        qn::Ref held = qn::Ref::borrow(attr);
        return call(held.get());
    }
    qn::Ref attr = qn::Ref::steal(PyObject_GetAttr(p.self, g_public_names[i]));
    if (!attr) return false;
    if (is_exact_counter(attr.get()) && native(counter_of(attr.get()))) return true;
    return call(attr.get());
}

// attr.increment(...) / attr.decrement(...) as a method call.
[[gnu::noinline]] bool call_add(PyObject* attr, bool up, const Delta& d) {
    qn::Ref made;
    PyObject* arg = d.obj;
    if (arg == nullptr && !d.omitted) {
        made = qn::Ref::steal(PyLong_FromLongLong(d.n.v));
        if (!made) return false;
        arg = made.get();
    }
    PyObject* args[2] = {attr, arg};
    qn::Ref r = qn::Ref::steal(PyObject_VectorcallMethod(up ? QN_STR("increment") : QN_STR("decrement"), args,
                                                         (arg ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

// self.<attr>.increment(delta) / .decrement(delta)
[[gnu::always_inline]] inline bool public_add(const Public& p, int i, bool up, const Delta& d) {
    return on_public(
        p, i,
        [&](core::Counter& c) __attribute__((always_inline)) {
            if (!d.n.fits) return false;
            if (up) {
                c.add(d.n.v);
            } else {
                c.sub(d.n.v);
            }
            return true;
        },
        [&](PyObject* attr) { return call_add(attr, up, d); });
}

// self.<attr>.increment(v) / .decrement(v) for a native value (a converted argument): the int is
// made only for a method call.
[[gnu::noinline]] bool call_add_value(PyObject* attr, bool up, int64_t v) {
    return call_add(attr, up, Delta{IntArg(v)});
}

[[gnu::always_inline]] inline bool public_add_value(const Public& p, int i, bool up, int64_t v) {
    return on_public(
        p, i,
        [&](core::Counter& c) __attribute__((always_inline)) {
            if (up) {
                c.add(v);
            } else {
                c.sub(v);
            }
            return true;
        },
        [&](PyObject* attr) { return call_add_value(attr, up, v); });
}

// self.<attr>.load() into a fresh reading
[[gnu::always_inline]] inline bool public_load(const Public& p, int i, Reading& out) {
    return on_public(
        p, i,
        [&](core::Counter& c) __attribute__((always_inline)) {
            out.v = c.read();
            return true;
        },
        [&](PyObject* attr) {
            PyObject* args[1] = {attr};
            out.obj = qn::Ref::steal(
                PyObject_VectorcallMethod(QN_STR("load"), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            return static_cast<bool>(out.obj);
        });
}

// self.<attr>.store(0)
inline bool public_store_zero(const Public& p, int i) {
    return on_public(
        p, i,
        [](core::Counter& c) __attribute__((always_inline)) {
            c.store(0);
            return true;
        },
        [](PyObject* attr) {
            PyObject* args[2] = {attr, g_zero};
            qn::Ref r = qn::Ref::steal(
                PyObject_VectorcallMethod(QN_STR("store"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            return static_cast<bool>(r);
        });
}

// An `int` parameter of _update_peaks: a native reading stays native; an object goes through the
// int convention and becomes native when it fits.
[[gnu::noinline]] bool peak_arg_object(Reading& r, const char* name) {
    qn::Ref n = qn::Ref::steal(qn::arg_int(r.obj.get(), name));
    if (!n) return false;
    IntArg d(n.get());
    if (d.fits) {
        r.v = d.v;
        r.obj.reset();
    } else {
        r.obj = std::move(n);
    }
    return true;
}

[[gnu::always_inline]] inline bool peak_arg(Reading& r, const char* name) {
    return r.native() || peak_arg_object(r, name);
}

// The raise-to-at-least loop by method calls, the attribute looked up at each call:
//   while True: peak = attr.load(); if value <= peak or attr.compare_and_swap(peak, value): break
[[gnu::noinline]] bool raise_public_peak_by_calls(PyObject* self, int i, const Reading& value) {
    qn::Ref val = qn::Ref::steal(value.new_object());
    if (!val) return false;
    for (;;) {
        qn::Ref attr = stat_attr(self, i);
        if (!attr) return false;
        PyObject* largs[1] = {attr.get()};
        qn::Ref peak = qn::Ref::steal(
            PyObject_VectorcallMethod(QN_STR("load"), largs, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!peak) return false;
        int le = PyObject_RichCompareBool(val.get(), peak.get(), Py_LE);
        if (le < 0) return false;
        if (le) return true;
        attr = stat_attr(self, i);
        if (!attr) return false;
        PyObject* cargs[3] = {attr.get(), peak.get(), val.get()};
        qn::Ref swapped = qn::Ref::steal(
            PyObject_VectorcallMethod(QN_STR("compare_and_swap"), cargs, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!swapped) return false;
        int t = PyObject_IsTrue(swapped.get());
        if (t < 0) return false;
        if (t) return true;
    }
}

// Raise-to-at-least on the public attribute `i`: natively when both the value and the attribute
// allow it (the same loop on the atomic value), else by method calls.
[[gnu::always_inline]] inline bool raise_public_peak(const Public& p, int i, const Reading& value) {
    if (!value.native()) return raise_public_peak_by_calls(p.self, i, value);
    return on_public(
        p, i,
        [&](core::Counter& c) __attribute__((always_inline)) {
            c.raise_to(value.v);
            return true;
        },
        [&](PyObject*) { return raise_public_peak_by_calls(p.self, i, value); });
}

// The body of _update_peaks once its arguments are in hand (both converted before either loop).
[[gnu::always_inline]] inline bool update_peaks(const Public& p, Reading& allocs, Reading& bytes) {
    if (!peak_arg(allocs, "current_allocs") || !peak_arg(bytes, "current_bytes")) return false;
    return raise_public_peak(p, core::kPeakAllocs, allocs) && raise_public_peak(p, core::kPeakBytes, bytes);
}

// self._update_peaks(allocs, bytes), by name unless self is an exact LockFreeStatistics (whose
// immutable type and missing instance dict leave no other method to find).
[[gnu::always_inline]] inline bool call_update_peaks(const Public& p, Reading& allocs, Reading& bytes) {
    if (p.slots != nullptr) return update_peaks(p, allocs, bytes);
    PyObject* self = p.self;
    qn::Ref a = qn::Ref::steal(allocs.new_object());
    if (!a) return false;
    qn::Ref b = qn::Ref::steal(bytes.new_object());
    if (!b) return false;
    PyObject* args[3] = {self, a.get(), b.get()};
    qn::Ref r = qn::Ref::steal(
        PyObject_VectorcallMethod(QN_STR("_update_peaks"), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

// ---- construction and lifetime ----

PyObject* stats_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        LockFreeStatisticsObject* s = stats_of(self);
        new (&s->core) core::Stats();
        new (&s->last_snapshot) qn::ResultDict<kSnapshotKeys>();
        if (!qn::make_lock(s->lock, g_locks)) return false;
        for (int i = 0; i < core::kStatCount; ++i) {
            // A fresh AtomicCounter(0): zeroed memory is a counter at 0.
            s->pub[i] = AtomicCounterType.tp_alloc(&AtomicCounterType, 0);
            if (s->pub[i] == nullptr) return false;
        }
        return true;
    });
}

int stats_traverse(PyObject* self, visitproc visit, void* arg) {
    LockFreeStatisticsObject* s = stats_of(self);
    if (int r = s->lock.traverse(visit, arg)) return r;
    for (PyObject* p : s->pub) Py_VISIT(p);
    return 0;
}

// Breaks cycles through the public attributes (they read None afterwards). The lock is kept: it
// holds no references, and reset() stays usable.
int stats_clear(PyObject* self) {
    LockFreeStatisticsObject* s = stats_of(self);
    for (PyObject*& p : s->pub) {
        if (p != nullptr && p != Py_None) Py_SETREF(p, qn::newref(Py_None));
    }
    return 0;
}

void stats_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, stats_dealloc)
        LockFreeStatisticsObject* s = stats_of(self);
        for (PyObject*& p : s->pub) Py_CLEAR(p);
        s->last_snapshot.release();
        s->lock.dispose();
        Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* stats_get_public(PyObject* self, void* closure) {
    PyObject* v = stats_of(self)->pub[reinterpret_cast<intptr_t>(closure)];
    return qn::newref(v ? v : Py_None);
}

int stats_set_public(PyObject* self, PyObject* value, void* closure) {
    PyObject*& slot = stats_of(self)->pub[reinterpret_cast<intptr_t>(closure)];
    Py_XSETREF(slot, qn::newref(value ? value : Py_None));  // deleting stores None
    return 0;
}

// ---- methods ----

PyObject* lock_free_statistics_init(qn::MethodArgs<qn::no_params>) { Py_RETURN_NONE; }

// An `int` parameter: the argument itself when it is an exact int, else int() of it (held in `hold`).
template <qn::Name N, class A>
inline PyObject* int_param(const A& a, qn::Ref& hold) {
    PyObject* o = a.template get<N>();
    if (PyLong_CheckExact(o)) return o;
    hold = qn::Ref::steal(qn::arg_int(o, A::table.at[A::template index<N>].name));
    return hold.get();
}

constexpr auto kLockFreeStatisticsRecordAllocation =
    qn::params(qn::arg("size", "int"), qn::opt("is_bucketed", "bool", true), qn::opt("padding", "int", 0),
               qn::opt("time_ns", "int", 0));

[[gnu::flatten]] PyObject* lock_free_statistics_record_allocation(
    qn::MethodArgs<kLockFreeStatisticsRecordAllocation> a) {
    PyObject* self = a.self();
    qn::Ref hold_size, hold_padding, hold_time;
    PyObject* size = int_param<"size">(a, hold_size);
    if (size == nullptr) return nullptr;
    bool bucketed;
    if (!a.get<"is_bucketed">(bucketed)) return nullptr;
    PyObject* padding = int_param<"padding">(a, hold_padding);
    if (padding == nullptr) return nullptr;
    PyObject* time_ns = int_param<"time_ns">(a, hold_time);
    if (time_ns == nullptr) return nullptr;
    const Delta sz{IntArg(size), size}, pad{IntArg(padding), padding}, tm{IntArg(time_ns), time_ns};

    const Public p(self);
    if (!public_add(p, core::kTotalAllocs, true, kDefaultOne) ||
        !public_add(p, core::kCurrentAllocs, true, kDefaultOne) || !public_add(p, core::kCurrentBytes, true, sz) ||
        !public_add(p, bucketed ? core::kBucketed : core::kFallback, true, kDefaultOne))
        return nullptr;
    if (pad.n.sign > 0 && !public_add(p, core::kPadding, true, pad)) return nullptr;
    if (tm.n.sign > 0 && !public_add(p, core::kAllocTime, true, tm)) return nullptr;
    Reading allocs, bytes;
    if (!public_load(p, core::kCurrentAllocs, allocs) || !public_load(p, core::kCurrentBytes, bytes) ||
        !call_update_peaks(p, allocs, bytes))
        return nullptr;
    Py_RETURN_NONE;
}

// record_deallocation and py_record_deallocation.
constexpr auto kLockFreeStatisticsRecordDeallocation = qn::params(qn::arg("size", "int"), qn::opt("time_ns", "int", 0));

[[gnu::flatten]] PyObject* lock_free_statistics_record_deallocation(
    qn::MethodArgs<kLockFreeStatisticsRecordDeallocation> a) {
    PyObject* self = a.self();
    qn::Ref hold_size, hold_time;
    PyObject* size = int_param<"size">(a, hold_size);
    if (size == nullptr) return nullptr;
    PyObject* time_ns = int_param<"time_ns">(a, hold_time);
    if (time_ns == nullptr) return nullptr;
    const Delta sz{IntArg(size), size}, tm{IntArg(time_ns), time_ns};

    const Public p(self);
    if (!public_add(p, core::kTotalDeallocs, true, kDefaultOne) ||
        !public_add(p, core::kCurrentAllocs, false, kDefaultOne) || !public_add(p, core::kCurrentBytes, false, sz))
        return nullptr;
    if (tm.n.sign > 0 && !public_add(p, core::kDeallocTime, true, tm)) return nullptr;
    Py_RETURN_NONE;
}

// The internal counters first (all conversions done before), then three public counters.
constexpr auto kLockFreeStatisticsPyRecordAllocation = qn::params(
    qn::arg("size", "int"), qn::arg("is_bucketed", "bool"), qn::opt("padding", "int", 0), qn::opt("time_ns", "int", 0));

[[gnu::flatten]] PyObject* lock_free_statistics_py_record_allocation(
    qn::MethodArgs<kLockFreeStatisticsPyRecordAllocation> a) {
    PyObject* self = a.self();
    int64_t size, padding, time_ns;
    bool bucketed;
    if (!a.as_int<"size">(size) || !a.get<"is_bucketed">(bucketed) || !a.as_int<"padding">(padding) ||
        !a.as_int<"time_ns">(time_ns))
        return nullptr;
    stats_of(self)->core.record_allocation(size, bucketed, padding, time_ns);
    const Public p(self);
    if (!public_add(p, core::kTotalAllocs, true, kDefaultOne) ||
        !public_add(p, core::kCurrentAllocs, true, kDefaultOne) ||
        !public_add_value(p, core::kCurrentBytes, true, size))
        return nullptr;
    Py_RETURN_NONE;
}

[[gnu::flatten]] PyObject* lock_free_statistics_py_record_deallocation(
    qn::MethodArgs<kLockFreeStatisticsRecordDeallocation> a) {
    PyObject* self = a.self();
    int64_t size, time_ns;
    if (!a.as_int<"size">(size) || !a.as_int<"time_ns">(time_ns)) return nullptr;
    stats_of(self)->core.record_deallocation(size, time_ns);
    const Public p(self);
    if (!public_add(p, core::kTotalDeallocs, true, kDefaultOne) ||
        !public_add(p, core::kCurrentAllocs, false, kDefaultOne) ||
        !public_add_value(p, core::kCurrentBytes, false, size))
        return nullptr;
    Py_RETURN_NONE;
}

constexpr auto kLockFreeStatisticsUpdatePeaks =
    qn::params(qn::arg("current_allocs", "int"), qn::arg("current_bytes", "int"));

PyObject* lock_free_statistics_update_peaks(qn::MethodArgs<kLockFreeStatisticsUpdatePeaks> a) {
    Reading allocs, bytes;
    allocs.obj = qn::Ref::borrow(a.get<"current_allocs">());
    bytes.obj = qn::Ref::borrow(a.get<"current_bytes">());
    if (!update_peaks(Public(a.self()), allocs, bytes)) return nullptr;
    Py_RETURN_NONE;
}

// ---- snapshot arithmetic: Python's semantics, natively where the operands allow ----

// A float result or, when an operand was not a plain counter value, whatever Python produced.
struct Num {
    double d = 0.0;
    qn::Ref obj;
};

inline bool positive(const Reading& r, int& out) {
    if (r.native()) {
        out = r.v > 0;
        return true;
    }
    out = PyObject_RichCompareBool(r.obj.get(), g_zero, Py_GT);
    return out >= 0;
}

// a / b (true division): natively when both readings are native and the core's quotient is exact,
// else the interpreter's division.
inline bool true_div(const Reading& a, const Reading& b, Num& out) {
    if (a.native() && b.native() && core::exact_quotient(a.v, b.v, out.d)) return true;
    qn::Ref x = qn::Ref::steal(a.new_object());
    qn::Ref y = qn::Ref::steal(b.new_object());
    if (!x || !y) return false;
    out.obj = qn::Ref::steal(PyNumber_TrueDivide(x.get(), y.get()));
    if (!out.obj) return false;
    if (PyFloat_CheckExact(out.obj.get())) {
        out.d = PyFloat_AS_DOUBLE(out.obj.get());
        out.obj.reset();
    }
    return true;
}

inline PyObject* num_object(const Num& n) { return n.obj ? qn::newref(n.obj.get()) : PyFloat_FromDouble(n.d); }

// format(ratio, ".1f") + "%"
inline PyObject* ratio_string(const Num& ratio) {
    if (!ratio.obj) {
        char text[qn::kFormatPercent1Size];
        const std::size_t len = qn::format_percent1(ratio.d, text);
        return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(len));
    }
    qn::Ref s = qn::Ref::steal(PyObject_Format(ratio.obj.get(), QN_STR(".1f")));
    if (!s) return nullptr;
    return PyUnicode_Concat(s.get(), QN_STR("%"));
}

qn::DictTemplate g_snapshot;  // the fourteen keys in order
constexpr std::size_t kSnapshotRatio = 9, kSnapshotAvgAlloc = 11, kSnapshotAvgDealloc = 12, kSnapshotBackend = 13;
constexpr int kSnapshotStat[kSnapshotKeys] = {core::kTotalAllocs,
                                              core::kTotalDeallocs,
                                              core::kCurrentAllocs,
                                              core::kCurrentBytes,
                                              core::kBytesReserved,
                                              core::kPeakAllocs,
                                              core::kPeakBytes,
                                              core::kBucketed,
                                              core::kFallback,
                                              -1,
                                              core::kPadding,
                                              -1,
                                              -1,
                                              -1};

PyObject* lock_free_statistics_get_snapshot(qn::MethodArgs<qn::no_params> a) {
    PyObject* self = a.self();
    Reading r[core::kStatCount];
    const Public p(self);
    for (int i = 0; i < core::kStatCount; ++i) {
        if (!public_load(p, i, r[i])) return nullptr;
    }
    int pos;
    Num ratio, avg_alloc, avg_dealloc;
    if (!positive(r[core::kTotalAllocs], pos)) return nullptr;
    if (pos) {
        if (!true_div(r[core::kBucketed], r[core::kTotalAllocs], ratio)) return nullptr;
        if (ratio.obj) {
            ratio.obj = qn::Ref::steal(PyNumber_Multiply(ratio.obj.get(), g_hundred));
            if (!ratio.obj) return nullptr;
            if (PyFloat_CheckExact(ratio.obj.get())) {
                ratio.d = PyFloat_AS_DOUBLE(ratio.obj.get());
                ratio.obj.reset();
            }
        } else {
            ratio.d *= 100.0;
        }
    }
    if (!positive(r[core::kTotalAllocs], pos)) return nullptr;
    if (pos && !true_div(r[core::kAllocTime], r[core::kTotalAllocs], avg_alloc)) return nullptr;
    if (!positive(r[core::kTotalDeallocs], pos)) return nullptr;
    if (pos && !true_div(r[core::kDeallocTime], r[core::kTotalDeallocs], avg_dealloc)) return nullptr;

    // The value under key i, a new reference.
    auto value = [&](std::size_t i) -> PyObject* {
        switch (i) {
            case kSnapshotRatio:
                return ratio_string(ratio);
            case kSnapshotAvgAlloc:
                return num_object(avg_alloc);
            case kSnapshotAvgDealloc:
                return num_object(avg_dealloc);
            case kSnapshotBackend:
                return qn::newref(QN_STR("lock-free C11 atomics"));
            default:
                return r[kSnapshotStat[i]].new_object();
        }
    };
    bool native = !ratio.obj && !avg_alloc.obj && !avg_dealloc.obj;
    for (int i = 0; i < core::kStatCount; ++i) native = native && r[i].native();
    if (native) {
        // Every value follows from native numbers: stamped by their bits, only changed ones are made.
        std::uint64_t stamps[kSnapshotKeys];
        for (std::size_t i = 0; i < kSnapshotKeys; ++i)
            stamps[i] = kSnapshotStat[i] >= 0 ? static_cast<std::uint64_t>(r[kSnapshotStat[i]].v) : 0;
        stamps[kSnapshotRatio] = qn::stamp(ratio.d);
        stamps[kSnapshotAvgAlloc] = qn::stamp(avg_alloc.d);
        stamps[kSnapshotAvgDealloc] = qn::stamp(avg_dealloc.d);
        return stats_of(self)->last_snapshot.make(g_snapshot, stamps, value);
    }
    PyObject* values[kSnapshotKeys];
    for (std::size_t i = 0; i < kSnapshotKeys; ++i) values[i] = value(i);
    return g_snapshot.make(values, kSnapshotKeys);
}

// The lock covers the internal counters only. The public counters are reset after it is released,
// each as `self.<name>.store(0)` in attribute order: a stand-in's store() (or an attribute found
// through a subclass) may run any Python code, another reset of this object included, and no
// Python code runs under the lock. The result is the same: concurrent resets all store zeros.
PyObject* lock_free_statistics_reset(qn::MethodArgs<qn::no_params> a) {
    PyObject* self = a.self();
    LockFreeStatisticsObject* s = stats_of(self);
    {
        qn::Section g(s->lock, "LockFreeStatistics.reset");
        if (!g) return nullptr;
        s->core.reset();
        if (!g.unlock()) return nullptr;
    }
    const Public p(self);
    for (int i = 0; i < core::kStatCount; ++i) {
        if (!public_store_zero(p, i)) return nullptr;
    }
    Py_RETURN_NONE;
}

// Native operation table.
int64_t statistics_op_raise_peak_allocations(PyObject* o, int64_t v) {
    return stats_of(o)->core.c[core::kPeakAllocs].raise_to(v);
}
int64_t statistics_op_raise_peak_bytes(PyObject* o, int64_t v) {
    return stats_of(o)->core.c[core::kPeakBytes].raise_to(v);
}
const LockFreeStatisticsOps lock_free_statistics_ops = {statistics_op_raise_peak_allocations,
                                                        statistics_op_raise_peak_bytes};

// ---------------------------------------------------------------------------------------------
// PerformanceTimer

struct PerformanceTimerObject {
    PyObject_HEAD
    int64_t start;
};

PyTypeObject PerformanceTimerType{};
PyObject* performance_timer_init_fn = nullptr;
inline PerformanceTimerObject* timer_of(PyObject* o) { return reinterpret_cast<PerformanceTimerObject*>(o); }

// time.perf_counter_ns(), with `time` looked up among the module's globals at each call.
inline PyObject* clock_reading() {
    qn::Ref mod = qn::Ref::steal(qn::lookup_global(g_module_dict, QN_STR("time")));
    if (!mod) return nullptr;
    PyObject* args[1] = {mod.get()};
    return PyObject_VectorcallMethod(QN_STR("perf_counter_ns"), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* performance_timer_init(qn::MethodArgs<qn::no_params>) { Py_RETURN_NONE; }

PyObject* performance_timer_start(qn::MethodArgs<qn::no_params> a) {
    qn::Ref now = qn::Ref::steal(clock_reading());
    if (!now) return nullptr;
    int64_t v;
    if (!qn::to_i64(now.get(), v)) return nullptr;
    a.self<PerformanceTimerObject>()->start = v;
    Py_RETURN_NONE;
}

PyObject* timer_elapsed_ns(PyObject* self) {
    qn::Ref now = qn::Ref::steal(clock_reading());
    if (!now) return nullptr;
    const int64_t start = timer_of(self)->start;
    if (PyLong_CheckExact(now.get())) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(now.get(), &overflow);
        long long diff;
        if (overflow == 0 && !__builtin_sub_overflow(v, start, &diff)) return PyLong_FromLongLong(diff);
    }
    qn::Ref s = qn::Ref::steal(PyLong_FromLongLong(start));
    if (!s) return nullptr;
    return PyNumber_Subtract(now.get(), s.get());
}

PyObject* performance_timer_elapsed_ns(qn::MethodArgs<qn::no_params> a) { return timer_elapsed_ns(a.self()); }

// self.elapsed_ns() / divisor
inline PyObject* elapsed_scaled(PyObject* self, double divisor) {
    qn::Ref ns;
    if (Py_IS_TYPE(self, &PerformanceTimerType)) {
        ns = qn::Ref::steal(timer_elapsed_ns(self));
    } else {
        PyObject* args[1] = {self};
        ns = qn::Ref::steal(
            PyObject_VectorcallMethod(QN_STR("elapsed_ns"), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!ns) return nullptr;
    if (PyLong_CheckExact(ns.get())) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(ns.get(), &overflow);
        // Below 2**53 the conversion to double is exact, as in int / float.
        if (overflow == 0 && v >= -(1LL << 53) && v <= (1LL << 53))
            return PyFloat_FromDouble(static_cast<double>(v) / divisor);
    }
    qn::Ref div = qn::Ref::steal(PyFloat_FromDouble(divisor));
    if (!div) return nullptr;
    return PyNumber_TrueDivide(ns.get(), div.get());
}

PyObject* performance_timer_elapsed_us(qn::MethodArgs<qn::no_params> a) { return elapsed_scaled(a.self(), 1000.0); }
PyObject* performance_timer_elapsed_ms(qn::MethodArgs<qn::no_params> a) { return elapsed_scaled(a.self(), 1000000.0); }

// ---------------------------------------------------------------------------------------------
// Setup and installation

PyGetSetDef stats_getset[core::kStatCount + 1];

void stats_types_setup() {
    qn::gc_type_init(
        LockFreeStatisticsType, "quarvel.memory.sync_kernel.LockFreeStatistics", sizeof(LockFreeStatisticsObject),
        "Allocation statistics kept in atomic counters: recording takes no lock.",
        {stats_tp_new, qn::init_via<&lock_free_statistics_init_fn>, stats_dealloc, stats_traverse, stats_clear});
    for (int i = 0; i < core::kStatCount; ++i) {
        stats_getset[i] = {core::kStatNames[i], stats_get_public, stats_set_public, nullptr,
                           reinterpret_cast<void*>(static_cast<intptr_t>(i))};
    }
    stats_getset[core::kStatCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    LockFreeStatisticsType.tp_getset = stats_getset;

    qn::type_init(PerformanceTimerType, "quarvel.memory.sync_kernel.PerformanceTimer", sizeof(PerformanceTimerObject),
                  "High-resolution timer for performance measurement.");
    PerformanceTimerType.tp_new = PyType_GenericNew;
    PerformanceTimerType.tp_init = qn::init_via<&performance_timer_init_fn>;
}

int stats_methods_install() {
    for (int i = 0; i < core::kStatCount; ++i) {
        g_public_names[i] = PyUnicode_InternFromString(core::kStatNames[i]);
        if (g_public_names[i] == nullptr) return -1;
    }

    g_zero = PyLong_FromLong(0);
    g_hundred = PyFloat_FromDouble(100.0);
    if (g_zero == nullptr || g_hundred == nullptr) return -1;
    if (g_snapshot.setup({"total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                          "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
                          "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes",
                          "average_allocation_time_ns", "average_deallocation_time_ns", "allocation_mode"}) < 0)
        return -1;

    PyTypeObject* t = &LockFreeStatisticsType;
    lock_free_statistics_init_fn = qn::add_method<lock_free_statistics_init>(t, "__init__");
    if (lock_free_statistics_init_fn == nullptr) return -1;
    // The py_ functions are installed first under the plain names, bound to their py_ aliases,
    // and then replaced under the plain names by the versions that use the public counters.
    if (!qn::add_method<lock_free_statistics_py_record_allocation>(
            t, "record_allocation", nullptr,
            "Record one allocation in the internal counters and in the total, current and byte counters.") ||
        !qn::add_method<lock_free_statistics_py_record_deallocation>(
            t, "record_deallocation", nullptr,
            "Record one deallocation in the internal counters and in the total, current and byte counters."))
        return -1;
    if (qn::add_alias(t, "py_record_allocation", "record_allocation") < 0 ||
        qn::add_alias(t, "py_record_deallocation", "record_deallocation") < 0)
        return -1;
    if (!qn::add_method<lock_free_statistics_record_allocation>(t, "record_allocation", "None",
                                                                "Record one allocation and update the peaks.") ||
        !qn::add_method<lock_free_statistics_record_deallocation>(t, "record_deallocation", "None",
                                                                  "Record one deallocation.") ||
        !qn::add_method<lock_free_statistics_update_peaks>(t, "_update_peaks", "None",
                                                           "Raise the peak counters to at least the given values.") ||
        !qn::add_method<lock_free_statistics_get_snapshot>(
            t, "get_snapshot", "dict", "The statistics as a new dictionary, with derived ratio and averages.") ||
        !qn::add_method<lock_free_statistics_reset>(t, "reset", nullptr, "Zero every counter."))
        return -1;
    if (qn::publish_native_ops(t, &lock_free_statistics_ops, QUARVEL_LOCK_FREE_STATISTICS_OPS_NAME) < 0) return -1;

    PyTypeObject* pt = &PerformanceTimerType;
    performance_timer_init_fn = qn::add_method<performance_timer_init>(pt, "__init__");
    if (performance_timer_init_fn == nullptr) return -1;
    if (!qn::add_method<performance_timer_start>(pt, "start", nullptr, "Take the start reading now.") ||
        !qn::add_method<performance_timer_elapsed_ns>(pt, "elapsed_ns", "int",
                                                      "Nanoseconds since the start reading.") ||
        !qn::add_method<performance_timer_elapsed_us>(pt, "elapsed_us", "float",
                                                      "Microseconds since the start reading.") ||
        !qn::add_method<performance_timer_elapsed_ms>(pt, "elapsed_ms", "float",
                                                      "Milliseconds since the start reading."))
        return -1;
    return 0;
}

}  // namespace
