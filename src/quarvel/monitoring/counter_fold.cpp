// quarvel.monitoring.counter_fold: running statistics for a fixed set of numbered counters.
//
// CounterAggregator keeps one malloc'd array of records (counter_core.hpp) and folds every
// reported value into its record inside a section of the object's lock (qn::Lock, native unless the
// module's `threading.Lock` was substituted). The interpreter lock stays held throughout: the
// locked work is a handful of floating-point operations, and no Python code runs inside a section
// (dictionaries are built after it).
//
// The array, its size, the lock and the lock's holder form one reference-counted State. __init__
// (which may run again, on any thread, while other calls are waiting for the lock) builds a new
// State and swaps it in under the old lock; every call first takes its own reference to the State
// it found, so the lock it waits on and the array it folds into stay alive until it is done, even
// when a Python-level lock lets another thread re-initialise the object in the middle of the
// acquire. A call that was already under way when the swap happened finishes on the old array, as
// if it had completed just before the re-initialisation. States are released only after their
// sections, since releasing the last one releases its lock (a lock object may run Python code).
//
// The five methods are also entries of a native operation table. A call through the table on an
// instance of a Python subclass goes to the subclass's override when there is one; get_all_stats
// reaches get_stats that way, so an overriding get_stats shapes its result too.
#include "native/qn.hpp"

#include "counter_core.hpp"

#include <cstdint>
#include <new>

namespace {

using quarvel::counter_fold::Record;
namespace core = quarvel::counter_fold;

struct CounterAggregatorObject;

// Native operation table, in slot order. `dispatch` selects the override lookup for instances of
// subclasses; calls from the Python-visible methods pass false (they are the method).
struct CounterAggregatorOps {
    int (*update)(CounterAggregatorObject* self, int32_t counter_id, double value, bool dispatch);
    PyObject* (*get_stats)(CounterAggregatorObject* self, int32_t counter_id, bool dispatch);
    int (*reset)(CounterAggregatorObject* self, int32_t counter_id, bool dispatch);
    int (*reset_all)(CounterAggregatorObject* self, bool dispatch);
    PyObject* (*get_all_stats)(CounterAggregatorObject* self, bool dispatch);
};

// What one __init__ sets up. Shared by the object and the calls in progress on it; lives while
// any of them holds a reference.
// Recent get_stats results, by counter id modulo kRecentResults (a value is reused only when its
// bits are the same, whichever counter produced it).
constexpr int32_t kRecentResults = 16;

struct State : qn::Shared<State> {
    Record* counters = nullptr;  // malloc'd, num_counters records
    int32_t num_counters = 0;
    qn::Lock<qn::Sections::native> lock;
    qn::ResultDict<6> recent[kRecentResults];

    // The last reference gone: frees the array and releases the lock (never with a lock held).
    [[gnu::cold, gnu::noinline]] static void destroy(State* st) {
        core::free_records(st->counters);
        for (auto& r : st->recent) r.release();
        st->lock.dispose();  // nothing refers to the state any more
        delete st;
    }
};

struct CounterAggregatorObject {
    PyObject_HEAD
    const CounterAggregatorOps* ops;
    State* state;  // nullptr before __init__ (and after tp_clear): no counters
};

PyTypeObject CounterAggregatorType{};
PyObject* g_globals = nullptr;  // the module's namespace (owned)
qn::LockFactory g_locks;        // the states' locks, after the module's `threading.Lock`
qn::DictTemplate g_stats_keys;  // "count", "mean", "variance", "std", "min", "max"

// The Python-visible method objects, to recognise an inherited (not overridden) method.
PyObject* fn_init = nullptr;
PyObject* fn_update = nullptr;
PyObject* fn_get_stats = nullptr;
PyObject* fn_reset = nullptr;
PyObject* fn_reset_all = nullptr;
PyObject* fn_get_all_stats = nullptr;

inline CounterAggregatorObject* agg(PyObject* o) { return reinterpret_cast<CounterAggregatorObject*>(o); }

// ---- helpers --------------------------------------------------------------------------------

// The state a call works on (a new reference), or nullptr for an object that has no counters.
inline State* acquire_state(CounterAggregatorObject* self) {
    return self->state != nullptr ? qn::retain(self->state) : nullptr;
}

bool range_check(const State* st, int32_t id) {
    if (st != nullptr && core::in_range(id, st->num_counters)) return true;
    PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(id));
    return false;
}

// The value argument, as float(value) would convert a number (an int too large for a double
// raises OverflowError). Exact ints skip the temporary float object.
inline bool value_of(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        double d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out = d;
        return true;
    }
    return qn::to_double(o, out);
}

// True when `self` is an instance of a subclass whose attribute `name` is not the inherited
// method `native_fn`; `*override` then receives that attribute (new reference). On false with
// no exception set, the native implementation applies.
bool find_override(CounterAggregatorObject* self, PyObject* name, PyObject* native_fn, PyObject** override) {
    *override = nullptr;
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(self), &CounterAggregatorType)) return false;
    PyObject* attr = PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name);
    if (attr == nullptr) return true;  // exception set: the caller reports it
    if (PyMethod_Check(attr) && PyMethod_GET_FUNCTION(attr) == native_fn &&
        PyMethod_GET_SELF(attr) == reinterpret_cast<PyObject*>(self)) {
        Py_DECREF(attr);
        return false;
    }
    *override = attr;
    return true;
}

// ---- native operations ------------------------------------------------------------------------

int op_update(CounterAggregatorObject* self, int32_t id, double value, bool dispatch);
PyObject* op_get_stats(CounterAggregatorObject* self, int32_t id, bool dispatch);
int op_reset(CounterAggregatorObject* self, int32_t id, bool dispatch);
int op_reset_all(CounterAggregatorObject* self, bool dispatch);
PyObject* op_get_all_stats(CounterAggregatorObject* self, bool dispatch);

const CounterAggregatorOps kOps = {op_update, op_get_stats, op_reset, op_reset_all, op_get_all_stats};

// Calls an override with the given (new-reference) arguments; nullptr args mean a failed build.
PyObject* call_override(PyObject* override, std::initializer_list<PyObject*> args) {
    qn::Ref hold = qn::Ref::steal(override);
    PyObject* stack[3] = {nullptr, nullptr, nullptr};
    size_t n = 0;
    bool ok = true;
    for (PyObject* a : args) {
        if (a == nullptr) ok = false;
        stack[1 + n++] = a;
    }
    PyObject* r = ok ? PyObject_Vectorcall(override, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr) : nullptr;
    for (size_t i = 0; i < n; ++i) Py_XDECREF(stack[1 + i]);
    return r;
}

int discard(PyObject* r) {
    if (r == nullptr) return -1;
    Py_DECREF(r);
    return 0;
}

// Runs body(State&) inside a section of the object's current state, on a reference of its own to
// that state. With `check`, `id` is range-checked against that state first (IndexError). 0, or -1
// with an exception set. No Python code runs inside the section; the state is released only
// after it. No destructor that releases a reference is alive while the acquire waits. Flattened:
// the section belongs inline in every hot call.
template <class F>
__attribute__((flatten)) int in_state(CounterAggregatorObject* self, bool check, int32_t id, const char* what,
                                      F&& body) {
    State* st = acquire_state(self);
    if (check && !range_check(st, id)) {
        qn::release(st);
        return -1;
    }
    if (st == nullptr) return 0;  // no counters: nothing to do
    const int rc = qn::locked(st->lock, what, [&] { body(*st); }) ? 0 : -1;
    qn::release(st);
    return rc;
}

int op_update(CounterAggregatorObject* self, int32_t id, double value, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("update"), fn_update, &ov)) {
            if (ov == nullptr) return -1;
            return discard(call_override(ov, {PyLong_FromLong(id), PyFloat_FromDouble(value)}));
        }
    }
    return in_state(self, true, id, "CounterAggregator.update", [&](State& st) { core::fold(st.counters[id], value); });
}

PyObject* stats_dict(qn::ResultDict<6>& recent, const core::Summary& s) {
    const double values[6] = {0.0, s.mean, s.variance, s.std_dev, s.min, s.max};
    const std::uint64_t stamps[6] = {s.count,          qn::stamp(s.mean), qn::stamp(s.variance), qn::stamp(s.std_dev),
                                     qn::stamp(s.min), qn::stamp(s.max)};
    return recent.make(g_stats_keys, stamps, [&](std::size_t i) {
        return i == 0 ? PyLong_FromUnsignedLongLong(s.count) : PyFloat_FromDouble(values[i]);
    });
}

PyObject* op_get_stats(CounterAggregatorObject* self, int32_t id, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("get_stats"), fn_get_stats, &ov)) {
            if (ov == nullptr) return nullptr;
            return call_override(ov, {PyLong_FromLong(id)});
        }
    }
    // The state is held until the result is made: its recent results serve this one.
    State* st = acquire_state(self);
    if (!range_check(st, id)) {
        qn::release(st);
        return nullptr;
    }
    Record copy;
    PyObject* r = nullptr;
    if (qn::locked(st->lock, "CounterAggregator.get_stats", [&] { copy = st->counters[id]; }))
        r = stats_dict(st->recent[id % kRecentResults], core::summarize(copy));
    qn::release(st);
    return r;
}

int op_reset(CounterAggregatorObject* self, int32_t id, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("reset"), fn_reset, &ov)) {
            if (ov == nullptr) return -1;
            return discard(call_override(ov, {PyLong_FromLong(id)}));
        }
    }
    return in_state(self, true, id, "CounterAggregator.reset", [&](State& st) { core::reset(st.counters[id]); });
}

int op_reset_all(CounterAggregatorObject* self, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("reset_all"), fn_reset_all, &ov)) {
            if (ov == nullptr) return -1;
            return discard(call_override(ov, {}));
        }
    }
    return in_state(self, false, 0, "CounterAggregator.reset_all",
                    [](State& st) { core::reset_all(st.counters, st.num_counters); });
}

PyObject* op_get_all_stats(CounterAggregatorObject* self, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("get_all_stats"), fn_get_all_stats, &ov)) {
            if (ov == nullptr) return nullptr;
            return call_override(ov, {});
        }
    }
    qn::Ref out = qn::Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    // The count test reads without the lock (every writer holds the interpreter lock as well).
    // get_stats may run Python code (an override) that re-initialises the object, so the state
    // is read afresh on every step and used only before that call.
    for (int32_t id = 0;; ++id) {
        const State* st = self->state;
        if (st == nullptr) break;
        const int32_t n = st->num_counters;
        const Record* counters = st->counters;
        while (id < n && counters[id].count == 0) ++id;
        if (id >= n) break;
        qn::Ref stats = qn::Ref::steal(self->ops->get_stats(self, id, true));
        if (!stats) return nullptr;
        qn::Ref key = qn::Ref::steal(PyLong_FromLong(id));
        if (!key) return nullptr;
        qn::Ref item = qn::Ref::steal(PyTuple_Pack(2, key.get(), stats.get()));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

// ---- Python-visible methods -------------------------------------------------------------------

// A new state for `n` records (taken over), its lock made now; nullptr with an exception set.
State* state_new(Record* records, int32_t n) {
    State* st = new (std::nothrow) State;
    if (st == nullptr) {
        core::free_records(records);
        PyErr_NoMemory();
        return nullptr;
    }
    st->counters = records;
    st->num_counters = n;
    if (!qn::make_lock(st->lock, g_locks)) {
        qn::release(st);
        return nullptr;
    }
    return st;
}

constexpr auto kCounterAggregatorInit = qn::params(qn::opt("num_counters", nullptr, 1000));

PyObject* counter_aggregator_init(qn::MethodArgs<kCounterAggregatorInit> a) {
    CounterAggregatorObject* self = agg(a.self());
    int32_t n;
    if (!a.get<"num_counters">(n)) return nullptr;
    Record* records = core::allocate_records(n);
    if (records == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return nullptr;
    }
    // Making the lock may run Python code, even re-initialise this object.
    State* fresh = state_new(records, n);
    if (fresh == nullptr) return nullptr;
    State* old = acquire_state(self);
    if (old == nullptr) {  // first initialisation (or after tp_clear): nothing to swap out
        self->state = fresh;
        Py_RETURN_NONE;
    }
    // Swap under the lock of the state found here, so that no locked section on it is cut short.
    // Another __init__ may have swapped in the meantime (while this one waited for the lock): the
    // state to drop is whichever the object holds at the swap.
    bool swapped = false, ok = false;
    State* dropped = nullptr;
    ok = qn::locked(old->lock, "CounterAggregator.__init__", [&] {
        dropped = self->state;
        self->state = fresh;
        swapped = true;
    });
    if (!swapped) qn::release(fresh);
    qn::release(dropped);
    qn::release(old);
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto kCounterAggregatorUpdate = qn::params(qn::arg("counter_id"), qn::arg("value"));

PyObject* counter_aggregator_update(qn::MethodArgs<kCounterAggregatorUpdate> a) {
    int32_t id;
    double value;
    if (!a.get<"counter_id">(id) || !value_of(a.get<"value">(), value)) return nullptr;
    if (kOps.update(agg(a.self()), id, value, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto kCounterAggregatorGetStats = qn::params(qn::arg("counter_id"));

PyObject* counter_aggregator_get_stats(qn::MethodArgs<kCounterAggregatorGetStats> a) {
    int32_t id;
    if (!a.get<"counter_id">(id)) return nullptr;
    return kOps.get_stats(agg(a.self()), id, false);
}

constexpr auto kCounterAggregatorReset = qn::params(qn::arg("counter_id"));

PyObject* counter_aggregator_reset(qn::MethodArgs<kCounterAggregatorReset> a) {
    int32_t id;
    if (!a.get<"counter_id">(id)) return nullptr;
    if (kOps.reset(agg(a.self()), id, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* counter_aggregator_reset_all(qn::MethodArgs<qn::no_params> a) {
    if (kOps.reset_all(agg(a.self()), false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* counter_aggregator_get_all_stats(qn::MethodArgs<qn::no_params> a) {
    return kOps.get_all_stats(agg(a.self()), false);
}

// ---- type slots -------------------------------------------------------------------------------

PyObject* counter_aggregator_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {  // zeroed: no state, no counters
        agg(self)->ops = &kOps;
        return true;
    });
}

int counter_aggregator_tp_traverse(PyObject* o, visitproc visit, void* arg) {
    if (const State* st = agg(o)->state) return st->lock.traverse(visit, arg);
    return 0;
}

// Drops the object's state: a lock written in Python may refer back to the object. Calls still in
// progress keep their own references; the object afterwards has no counters.
int counter_aggregator_tp_clear(PyObject* o) {
    State* st = agg(o)->state;
    agg(o)->state = nullptr;
    qn::release(st);
    return 0;
}

void counter_aggregator_tp_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    counter_aggregator_tp_clear(o);
    Py_TYPE(o)->tp_free(o);
}

// ---- module ---------------------------------------------------------------------------------

constexpr auto kCreateAggregator = qn::params(qn::opt("num_counters", nullptr, 1000));

PyObject* create_aggregator(qn::Args<kCreateAggregator> a) {
    PyObject* args[1] = {a.get<"num_counters">()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&CounterAggregatorType), args, 1, nullptr);
}

int install_methods() {
    PyTypeObject* t = &CounterAggregatorType;
    fn_init = qn::add_method<counter_aggregator_init>(t, "__init__", nullptr,
                                                      "Create num_counters counters, every one empty.");
    if (fn_init == nullptr) return -1;
    fn_update = qn::add_method<counter_aggregator_update>(t, "update", nullptr, "Fold value into counter counter_id.");
    fn_get_stats = qn::add_method<counter_aggregator_get_stats>(
        t, "get_stats", nullptr, "Statistics of one counter: count, mean, variance, std, min, max.");
    fn_reset =
        qn::add_method<counter_aggregator_reset>(t, "reset", nullptr, "Return one counter to its initial state.");
    fn_reset_all = qn::add_method<counter_aggregator_reset_all>(t, "reset_all", nullptr,
                                                                "Return every counter to its initial state.");
    fn_get_all_stats = qn::add_method<counter_aggregator_get_all_stats>(
        t, "get_all_stats", nullptr, "List of (counter_id, stats) for every counter that has values, by id.");
    if (!fn_update || !fn_get_stats || !fn_reset || !fn_reset_all || !fn_get_all_stats) return -1;
    return 0;
}

int exec_counter_fold(PyObject* m) {
    g_globals = qn::newref(PyModule_GetDict(m));
    if (qn::import_into(m, "threading") < 0 || g_locks.setup(g_globals) < 0) return -1;
    if (g_stats_keys.size() == 0 && g_stats_keys.setup({"count", "mean", "variance", "std", "min", "max"}) < 0)
        return -1;
    PyTypeObject& t = CounterAggregatorType;
    qn::gc_type_init(t, "quarvel.monitoring.counter_fold.CounterAggregator", sizeof(CounterAggregatorObject),
                     "Running count, mean, variance, standard deviation, minimum and maximum for a fixed\n"
                     "number of counters kept in one native array, each update taken under a lock.",
                     {counter_aggregator_tp_new, qn::init_via<&fn_init>, counter_aggregator_tp_dealloc,
                      counter_aggregator_tp_traverse, counter_aggregator_tp_clear});
    if (qn::type_ready(m, t) < 0 || install_methods() < 0) return -1;
    if (!qn::add_function<create_aggregator>(m, "create_aggregator", nullptr,
                                             "Create a new CounterAggregator instance."))
        return -1;
    return 0;
}

}  // namespace

QN_MODULE(counter_fold, "Running statistics for monitoring counters, aggregated in native storage.", exec_counter_fold)
