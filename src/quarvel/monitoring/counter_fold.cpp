// quarvel.monitoring.counter_fold: running statistics for a fixed set of numbered counters.
//
// CounterAggregator keeps one malloc'd array of records (counter_core.hpp) and folds every
// reported value into its record under the object's threading.Lock. The interpreter lock stays
// held throughout: the locked work is a handful of floating-point operations, and no Python code
// runs while the lock is held (dictionaries are built after it is released).
//
// The five methods are also entries of a native operation table. A call through the table on an
// instance of a Python subclass goes to the subclass's override when there is one; get_all_stats
// reaches get_stats that way, so an overriding get_stats shapes its result too.
#include "native/qn.hpp"

#include "counter_core.hpp"

#include <cstdint>

namespace {

using quarvel::counters::Record;
namespace cc = quarvel::counters;

struct AggregatorObject;

// Native operation table, in slot order. `dispatch` selects the override lookup for instances of
// subclasses; calls from the Python-visible methods pass false (they are the method).
struct CounterAggregatorOps {
    int (*update)(AggregatorObject* self, int32_t counter_id, double value, bool dispatch);
    PyObject* (*get_stats)(AggregatorObject* self, int32_t counter_id, bool dispatch);
    int (*reset)(AggregatorObject* self, int32_t counter_id, bool dispatch);
    int (*reset_all)(AggregatorObject* self, bool dispatch);
    PyObject* (*get_all_stats)(AggregatorObject* self, bool dispatch);
};

struct AggregatorObject {
    PyObject_HEAD
    const CounterAggregatorOps* ops;
    Record* counters;      // malloc'd, num_counters records (nullptr before __init__)
    int32_t num_counters;  // 0 before __init__: every id is out of range
    PyObject* lock;        // threading.Lock (nullptr before __init__)
};

PyTypeObject CounterAggregatorType{};
PyObject* g_globals = nullptr;  // the module's namespace (owned)

// The Python-visible method objects, to recognise an inherited (not overridden) method.
PyObject* fn_init = nullptr;
PyObject* fn_update = nullptr;
PyObject* fn_get_stats = nullptr;
PyObject* fn_reset = nullptr;
PyObject* fn_reset_all = nullptr;
PyObject* fn_get_all_stats = nullptr;

inline AggregatorObject* agg(PyObject* o) { return reinterpret_cast<AggregatorObject*>(o); }

// ---- helpers --------------------------------------------------------------------------------

// `name` as the module's code sees it: its globals, then the builtins.
PyObject* lookup_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_globals, name);
    if (v == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (v == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return v == nullptr ? nullptr : qn::newref(v);
}

bool range_check(const AggregatorObject* self, int32_t id) {
    if (cc::in_range(id, self->num_counters)) return true;
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
bool find_override(AggregatorObject* self, PyObject* name, PyObject* native_fn, PyObject** override) {
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

int op_update(AggregatorObject* self, int32_t id, double value, bool dispatch);
PyObject* op_get_stats(AggregatorObject* self, int32_t id, bool dispatch);
int op_reset(AggregatorObject* self, int32_t id, bool dispatch);
int op_reset_all(AggregatorObject* self, bool dispatch);
PyObject* op_get_all_stats(AggregatorObject* self, bool dispatch);

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
    PyObject* r = ok ? PyObject_Vectorcall(override, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                     : nullptr;
    for (size_t i = 0; i < n; ++i) Py_XDECREF(stack[1 + i]);
    return r;
}

int discard(PyObject* r) {
    if (r == nullptr) return -1;
    Py_DECREF(r);
    return 0;
}

int op_update(AggregatorObject* self, int32_t id, double value, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("update"), fn_update, &ov)) {
            if (ov == nullptr) return -1;
            return discard(call_override(ov, {PyLong_FromLong(id), PyFloat_FromDouble(value)}));
        }
    }
    if (!range_check(self, id)) return -1;
    qn::LockGuard guard(self->lock);
    if (!guard) return -1;
    // Re-read under the lock: a concurrent re-initialisation swaps the array while holding it.
    if (!range_check(self, id)) return -1;
    cc::fold(self->counters[id], value);
    return 0;
}

PyObject* stats_dict(const cc::Summary& s) {
    qn::Ref d = qn::Ref::steal(_PyDict_NewPresized(6));
    if (!d) return nullptr;
    struct Item {
        PyObject* key;
        PyObject* value;
    } items[6] = {
        {QN_STR("count"), PyLong_FromUnsignedLongLong(s.count)},
        {QN_STR("mean"), PyFloat_FromDouble(s.mean)},
        {QN_STR("variance"), PyFloat_FromDouble(s.variance)},
        {QN_STR("std"), PyFloat_FromDouble(s.std_dev)},
        {QN_STR("min"), PyFloat_FromDouble(s.min)},
        {QN_STR("max"), PyFloat_FromDouble(s.max)},
    };
    bool ok = true;
    for (Item& it : items) {
        if (ok && (it.key == nullptr || it.value == nullptr || PyDict_SetItem(d.get(), it.key, it.value) < 0))
            ok = false;
        Py_XDECREF(it.value);
    }
    return ok ? d.release() : nullptr;
}

PyObject* op_get_stats(AggregatorObject* self, int32_t id, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("get_stats"), fn_get_stats, &ov)) {
            if (ov == nullptr) return nullptr;
            return call_override(ov, {PyLong_FromLong(id)});
        }
    }
    if (!range_check(self, id)) return nullptr;
    Record copy;
    {
        qn::LockGuard guard(self->lock);
        if (!guard) return nullptr;
        if (!range_check(self, id)) return nullptr;
        copy = self->counters[id];
    }
    return stats_dict(cc::summarize(copy));
}

int op_reset(AggregatorObject* self, int32_t id, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("reset"), fn_reset, &ov)) {
            if (ov == nullptr) return -1;
            return discard(call_override(ov, {PyLong_FromLong(id)}));
        }
    }
    if (!range_check(self, id)) return -1;
    qn::LockGuard guard(self->lock);
    if (!guard) return -1;
    if (!range_check(self, id)) return -1;
    cc::reset(self->counters[id]);
    return 0;
}

int op_reset_all(AggregatorObject* self, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("reset_all"), fn_reset_all, &ov)) {
            if (ov == nullptr) return -1;
            return discard(call_override(ov, {}));
        }
    }
    if (self->lock == nullptr) return 0;  // never initialised: no counters to reset
    qn::LockGuard guard(self->lock);
    if (!guard) return -1;
    cc::reset_all(self->counters, self->num_counters);
    return 0;
}

PyObject* op_get_all_stats(AggregatorObject* self, bool dispatch) {
    if (dispatch) {
        PyObject* ov;
        if (find_override(self, QN_STR("get_all_stats"), fn_get_all_stats, &ov)) {
            if (ov == nullptr) return nullptr;
            return call_override(ov, {});
        }
    }
    qn::Ref out = qn::Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    // The count test reads without the lock (every writer holds the interpreter lock as well);
    // get_stats may run Python code (an override), so the bound and the array are read afresh
    // on every step.
    for (int32_t id = 0; id < self->num_counters; ++id) {
        if (self->counters[id].count == 0) continue;
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

PyObject* m_init(qn::Function*, PyObject* const* a) {
    AggregatorObject* self = agg(a[0]);
    int32_t n;
    if (!qn::to_i32(a[1], n)) return nullptr;
    Record* records = cc::allocate_records(n);
    if (records == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return nullptr;
    }
    PyObject* lock = nullptr;
    {
        qn::Ref threading = qn::Ref::steal(lookup_global(QN_STR("threading")));
        qn::Ref factory = threading ? qn::Ref::steal(PyObject_GetAttr(threading.get(), QN_STR("Lock"))) : qn::Ref();
        lock = factory ? PyObject_CallNoArgs(factory.get()) : nullptr;
    }
    if (lock == nullptr) {
        cc::free_records(records);
        return nullptr;
    }
    Record* old_records = self->counters;
    PyObject* old_lock = self->lock;
    if (old_lock != nullptr) {
        // Initialised before: swap under the old lock so no locked section sees the old array go.
        qn::LockGuard guard(old_lock);
        if (!guard) {
            cc::free_records(records);
            Py_DECREF(lock);
            return nullptr;
        }
        self->counters = records;
        self->num_counters = n;
        self->lock = lock;
    } else {
        self->counters = records;
        self->num_counters = n;
        self->lock = lock;
    }
    cc::free_records(old_records);
    Py_XDECREF(old_lock);
    Py_RETURN_NONE;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwds) { return qn::call_init(fn_init, self, args, kwds); }

PyObject* m_update(qn::Function*, PyObject* const* a) {
    int32_t id;
    double value;
    if (!qn::to_i32(a[1], id) || !value_of(a[2], value)) return nullptr;
    if (kOps.update(agg(a[0]), id, value, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_get_stats(qn::Function*, PyObject* const* a) {
    int32_t id;
    if (!qn::to_i32(a[1], id)) return nullptr;
    return kOps.get_stats(agg(a[0]), id, false);
}

PyObject* m_reset(qn::Function*, PyObject* const* a) {
    int32_t id;
    if (!qn::to_i32(a[1], id)) return nullptr;
    if (kOps.reset(agg(a[0]), id, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_reset_all(qn::Function*, PyObject* const* a) {
    if (kOps.reset_all(agg(a[0]), false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_get_all_stats(qn::Function*, PyObject* const* a) { return kOps.get_all_stats(agg(a[0]), false); }

// ---- type slots -------------------------------------------------------------------------------

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);  // zeroed: no counters, no lock
    if (o != nullptr) agg(o)->ops = &kOps;
    return o;
}

int tp_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(agg(o)->lock);
    return 0;
}

// The lock refers to nothing, so it never closes a cycle; it stays until deallocation so that
// the object remains usable (a subclass instance's __dict__ is cleared by the subclass's slot).
int tp_clear(PyObject*) { return 0; }

void tp_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    AggregatorObject* self = agg(o);
    cc::free_records(self->counters);
    self->counters = nullptr;
    self->num_counters = 0;
    Py_CLEAR(self->lock);
    Py_TYPE(o)->tp_free(o);
}

// ---- module ---------------------------------------------------------------------------------

PyObject* create_aggregator(qn::Function*, PyObject* const* a) {
    PyObject* args[1] = {a[0]};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&CounterAggregatorType), args, 1, nullptr);
}

int install_methods() {
    PyTypeObject* t = &CounterAggregatorType;
    fn_init = qn::add_init(t, {"__init__", m_init, {{"num_counters", qn::dflt(1000)}}, nullptr,
                               "Create num_counters counters, every one empty."});
    if (fn_init == nullptr) return -1;
    fn_update = qn::add_method(t, {"update", m_update, {{"counter_id"}, {"value"}}, nullptr,
                                   "Fold value into counter counter_id."});
    fn_get_stats = qn::add_method(t, {"get_stats", m_get_stats, {{"counter_id"}}, nullptr,
                                      "Statistics of one counter: count, mean, variance, std, min, max."});
    fn_reset = qn::add_method(t, {"reset", m_reset, {{"counter_id"}}, nullptr,
                                  "Return one counter to its initial state."});
    fn_reset_all = qn::add_method(t, {"reset_all", m_reset_all, {}, nullptr,
                                      "Return every counter to its initial state."});
    fn_get_all_stats =
        qn::add_method(t, {"get_all_stats", m_get_all_stats, {}, nullptr,
                           "List of (counter_id, stats) for every counter that has values, by id."});
    if (!fn_update || !fn_get_stats || !fn_reset || !fn_reset_all || !fn_get_all_stats) return -1;
    return 0;
}

int exec_counter_fold(PyObject* m) {
    g_globals = qn::newref(PyModule_GetDict(m));
    if (qn::import_into(m, "threading") < 0) return -1;
    PyTypeObject& t = CounterAggregatorType;
    qn::type_init(t, "quarvel.monitoring.counter_fold.CounterAggregator", sizeof(AggregatorObject),
                  "Running count, mean, variance, standard deviation, minimum and maximum for a fixed\n"
                  "number of counters kept in one native array, each update taken under a lock.",
                  Py_TPFLAGS_HAVE_GC);
    t.tp_new = tp_new;
    t.tp_init = tp_init;
    t.tp_dealloc = tp_dealloc;
    t.tp_traverse = tp_traverse;
    t.tp_clear = tp_clear;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_free = PyObject_GC_Del;
    if (qn::type_ready(m, t) < 0 || install_methods() < 0) return -1;
    if (!qn::add_function(m, {"create_aggregator", create_aggregator, {{"num_counters", qn::dflt(1000)}}, nullptr,
                              "Create a new CounterAggregator instance."}))
        return -1;
    return 0;
}

}  // namespace

QN_MODULE(counter_fold, "Running statistics for monitoring counters, aggregated in native storage.",
          exec_counter_fold)
