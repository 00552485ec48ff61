// quarvel.jit.compile_gate: the compile policy.
//
// PolicyConfig and FunctionMetrics are plain native records. CompileGate keeps one learned
// call-count threshold per function and serialises every method on its own threading.Lock; the
// telemetry store handed to should_compile / update is called while that lock is held, so a
// decision never mixes a threshold and metrics from different moments. The interpreter lock is
// never released here except inside the lock's own acquire while it waits.
//
// Hot paths read exact PolicyConfig / FunctionMetrics instances through their native fields; any
// other object (a subclass, the store's own record type) is read by attribute, so overridden
// properties and foreign records behave exactly as attribute access would.
#include "native/qn.hpp"

#include "compile_gate_core.hpp"

#include <cstring>
#include <chrono>
#include <type_traits>

namespace {

namespace core = quarvel::compile_gate;

constexpr const char* kModuleName = "quarvel.jit.compile_gate";

// Module namespace (owned; the module state exists once per process) and the process-wide gate.
PyObject* module_dict = nullptr;
PyObject* gate_instance = nullptr;  // owned; None after load
PyTypeObject* logger_type = nullptr;  // logging.Logger, for the level pre-check
PyTypeObject* lock_type = nullptr;    // threading.Lock's type
PyObject* std_time_module = nullptr;  // the standard time module, its namespace and time.time
PyObject* std_time_dict = nullptr;
PyObject* std_time_fn = nullptr;

// ---------------------------------------------------------------------------------------------
// PolicyConfig

struct PolicyConfigObject {
    PyObject_HEAD
    int32_t initial_threshold;
    int32_t min_threshold;
    int32_t max_threshold;
    double learning_rate;
    double target_speedup;
};

PyTypeObject PolicyConfigType{};
PyObject* pc_init_fn = nullptr;

inline PolicyConfigObject* as_config(PyObject* o) { return reinterpret_cast<PolicyConfigObject*>(o); }
inline bool is_config(PyObject* o) { return PyObject_TypeCheck(o, &PolicyConfigType); }

inline void pc_set_defaults(PolicyConfigObject* c) {
    c->initial_threshold = 100;
    c->min_threshold = 10;
    c->max_threshold = 10000;
    c->learning_rate = 0.1;
    c->target_speedup = 2.0;
}

inline core::PolicyParams params_of(PyObject* config) {
    const PolicyConfigObject* c = as_config(config);
    return {c->min_threshold, c->max_threshold, c->learning_rate, c->target_speedup};
}

PyObject* pc_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o != nullptr) pc_set_defaults(as_config(o));
    return o;
}

// Converts all five values, validates them in order and only then stores them.
bool pc_configure(PyObject* self, PyObject* initial, PyObject* minimum, PyObject* maximum, PyObject* rate,
                  PyObject* target) {
    int32_t ini, lo, hi;
    double lr, ts;
    if (!qn::to_i32(initial, ini) || !qn::to_i32(minimum, lo) || !qn::to_i32(maximum, hi) ||
        !qn::to_double(rate, lr) || !qn::to_double(target, ts))
        return false;
    const char* error = nullptr;
    if (lo <= 0) {
        error = "min_threshold must be positive";
    } else if (hi <= lo) {
        error = "max_threshold must be greater than min_threshold";
    } else if (!(lr > 0.0 && lr <= 1.0)) {
        error = "learning_rate must be in (0, 1]";
    } else if (ts <= 0.0) {
        error = "target_speedup must be positive";
    } else if (!(lo <= ini && ini <= hi)) {
        error = "initial_threshold must be within bounds";
    }
    if (error != nullptr) {
        PyErr_SetString(PyExc_ValueError, error);
        return false;
    }
    PolicyConfigObject* c = as_config(self);
    c->initial_threshold = ini;
    c->min_threshold = lo;
    c->max_threshold = hi;
    c->learning_rate = lr;
    c->target_speedup = ts;
    return true;
}

PyObject* pc_init(qn::Function*, PyObject* const* a) {
    if (!pc_configure(a[0], a[1], a[2], a[3], a[4], a[5])) return nullptr;
    Py_RETURN_NONE;
}

int pc_tp_init(PyObject* self, PyObject* args, PyObject* kwds) { return qn::call_init(pc_init_fn, self, args, kwds); }

// A validated PolicyConfig of the exact type from five argument objects.
PyObject* pc_make(PyObject* initial, PyObject* minimum, PyObject* maximum, PyObject* rate, PyObject* target) {
    qn::Ref self = qn::Ref::steal(pc_tp_new(&PolicyConfigType, nullptr, nullptr));
    if (!self || !pc_configure(self.get(), initial, minimum, maximum, rate, target)) return nullptr;
    return self.release();
}

PyObject* pc_make_default() { return pc_tp_new(&PolicyConfigType, nullptr, nullptr); }

// Calls on PolicyConfig itself (never on a subclass: the slot is not inherited) skip the generic
// type call and parse straight into the initialiser.
PyObject* self_prepended_call(PyObject* init_fn, PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* stack[qn::kMaxParams + 1];
    if (1 + nargs + nkw > qn::kMaxParams) {
        qn::Ref tuple = qn::Ref::steal(PyTuple_New(1 + nargs));
        if (!tuple) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), 0, qn::newref(self));
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), 1 + i, qn::newref(args[i]));
        qn::Ref kw;
        if (nkw > 0) {
            kw = qn::Ref::steal(PyDict_New());
            if (!kw) return nullptr;
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
            }
        }
        return PyObject_Call(init_fn, tuple.get(), kw.get());
    }
    stack[0] = self;
    std::memcpy(stack + 1, args, sizeof(PyObject*) * static_cast<size_t>(nargs + nkw));
    return PyObject_Vectorcall(init_fn, stack, static_cast<size_t>(1 + nargs), kwnames);
}

PyObject* pc_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    qn::Ref self = qn::Ref::steal(pc_make_default());
    if (!self) return nullptr;
    if (PyVectorcall_NARGS(nargsf) == 0 && kwnames == nullptr) return self.release();
    qn::Ref r = qn::Ref::steal(self_prepended_call(pc_init_fn, self.get(), args, nargsf, kwnames));
    if (!r) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// FunctionMetrics

struct FunctionMetricsObject {
    PyObject_HEAD
    uint64_t call_count;
    uint32_t compile_count;
    double avg_speedup;
    double total_execution_time_ms;
    double last_compile_time;
};

PyTypeObject FunctionMetricsType{};
PyObject* fm_init_fn = nullptr;

inline FunctionMetricsObject* as_metrics(PyObject* o) { return reinterpret_cast<FunctionMetricsObject*>(o); }

PyObject* fm_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o != nullptr) {
        FunctionMetricsObject* m = as_metrics(o);
        m->call_count = 0;
        m->compile_count = 0;
        m->avg_speedup = 1.0;
        m->total_execution_time_ms = 0.0;
        m->last_compile_time = 0.0;
    }
    return o;
}

bool fm_configure(PyObject* self, PyObject* const* v) {
    uint64_t calls;
    uint32_t compiles;
    double speedup, total_ms, last_time, last_alias;
    if (!qn::to_u64(v[0], calls) || !qn::to_u32(v[1], compiles) || !qn::to_double(v[2], speedup) ||
        !qn::to_double(v[3], total_ms) || !qn::to_double(v[4], last_time) || !qn::to_double(v[5], last_alias))
        return false;
    FunctionMetricsObject* m = as_metrics(self);
    m->call_count = calls;
    m->compile_count = compiles;
    m->avg_speedup = speedup;
    m->total_execution_time_ms = total_ms;
    // A negative alias (the default -1.0) stands for "not given".
    m->last_compile_time = last_alias >= 0.0 ? last_alias : last_time;
    return true;
}

PyObject* fm_init(qn::Function*, PyObject* const* a) {
    if (!fm_configure(a[0], a + 1)) return nullptr;
    Py_RETURN_NONE;
}

int fm_tp_init(PyObject* self, PyObject* args, PyObject* kwds) { return qn::call_init(fm_init_fn, self, args, kwds); }

PyObject* fm_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    qn::Ref self = qn::Ref::steal(fm_tp_new(&FunctionMetricsType, nullptr, nullptr));
    if (!self) return nullptr;
    if (PyVectorcall_NARGS(nargsf) == 0 && kwnames == nullptr) return self.release();
    qn::Ref r = qn::Ref::steal(self_prepended_call(fm_init_fn, self.get(), args, nargsf, kwnames));
    if (!r) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// Record properties: one getter/setter pair per native field. Setters convert, never validate.

int refuse_delete() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

template <class Obj, class T, T Obj::*Field>
PyObject* get_int_field(PyObject* self, void*) {
    const T v = reinterpret_cast<Obj*>(self)->*Field;
    if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(static_cast<long long>(v));
    } else {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
    }
}

template <class Obj, class T, T Obj::*Field>
int set_int_field(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    T v{};
    bool ok;
    if constexpr (std::is_same_v<T, int32_t>) {
        ok = qn::to_i32(value, v);
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        ok = qn::to_u32(value, v);
    } else {
        static_assert(std::is_same_v<T, uint64_t>);
        ok = qn::to_u64(value, v);
    }
    if (!ok) return -1;
    reinterpret_cast<Obj*>(self)->*Field = v;
    return 0;
}

template <class Obj, double Obj::*Field>
PyObject* get_double_field(PyObject* self, void*) {
    return PyFloat_FromDouble(reinterpret_cast<Obj*>(self)->*Field);
}

template <class Obj, double Obj::*Field>
int set_double_field(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    double v;
    if (!qn::to_double(value, v)) return -1;
    reinterpret_cast<Obj*>(self)->*Field = v;
    return 0;
}

#define QN_INT_PROP(Obj, T, f, doc) \
    {#f, get_int_field<Obj, T, &Obj::f>, set_int_field<Obj, T, &Obj::f>, doc, nullptr}
#define QN_DBL_PROP(Obj, name, f, doc) \
    {name, get_double_field<Obj, &Obj::f>, set_double_field<Obj, &Obj::f>, doc, nullptr}

PyGetSetDef pc_getset[] = {
    QN_INT_PROP(PolicyConfigObject, int32_t, initial_threshold, nullptr),
    QN_INT_PROP(PolicyConfigObject, int32_t, min_threshold, nullptr),
    QN_INT_PROP(PolicyConfigObject, int32_t, max_threshold, nullptr),
    QN_DBL_PROP(PolicyConfigObject, "learning_rate", learning_rate, nullptr),
    QN_DBL_PROP(PolicyConfigObject, "target_speedup", target_speedup, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef fm_getset[] = {
    QN_INT_PROP(FunctionMetricsObject, uint64_t, call_count, nullptr),
    QN_INT_PROP(FunctionMetricsObject, uint32_t, compile_count, nullptr),
    QN_DBL_PROP(FunctionMetricsObject, "avg_speedup", avg_speedup, nullptr),
    QN_DBL_PROP(FunctionMetricsObject, "total_execution_time_ms", total_execution_time_ms, nullptr),
    QN_DBL_PROP(FunctionMetricsObject, "last_compiled", last_compile_time,
                "Timestamp of last compilation (matches TelemetryStore interface)."),
    QN_DBL_PROP(FunctionMetricsObject, "last_compile_time", last_compile_time,
                "Alias for last_compiled for backward compatibility."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QN_INT_PROP
#undef QN_DBL_PROP

// ---------------------------------------------------------------------------------------------
// Entering a lock object the way `with` does. Real threading.Lock objects go straight to the
// lock's own acquire/release; anything else (a lock rebound in the module namespace) is driven
// through __enter__ / __exit__.

// The protocol method `name` of `obj` as the interpreter finds it: looked up on the type and bound
// to the object; nullptr without an exception when the type has none.
PyObject* lookup_on_type(PyObject* obj, PyObject* name) {
    qn::Ref attr = qn::Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!attr) return nullptr;
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    if (get == nullptr) return attr.release();
    return get(attr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

class WithBlock {
public:
    explicit WithBlock(PyObject* mgr) : mgr_(qn::Ref::borrow(mgr)) {
        if (Py_IS_TYPE(mgr, lock_type)) {
            fast_ = true;
            entered_ = qn::lock_acquire(mgr);
            return;
        }
        // As `with` does: __enter__ first, then __exit__, both looked up on the type and bound.
        qn::Ref enter = qn::Ref::steal(lookup_on_type(mgr, QN_STR("__enter__")));
        if (!enter) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                             Py_TYPE(mgr)->tp_name);
            return;
        }
        exit_ = qn::Ref::steal(lookup_on_type(mgr, QN_STR("__exit__")));
        if (!exit_) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError,
                             "'%.200s' object does not support the context manager protocol (missed __exit__ "
                             "method)",
                             Py_TYPE(mgr)->tp_name);
            return;
        }
        qn::Ref r = qn::Ref::steal(PyObject_CallNoArgs(enter.get()));
        entered_ = static_cast<bool>(r);
    }
    WithBlock(const WithBlock&) = delete;
    WithBlock& operator=(const WithBlock&) = delete;
    explicit operator bool() const { return entered_; }

    // Leaves the block. With an exception set, __exit__ sees it; returns +1 if __exit__ swallowed
    // it, 0 on a normal exit, -1 with an exception set.
    int leave() {
        if (!entered_) return PyErr_Occurred() ? -1 : 0;
        entered_ = false;
        if (fast_) {
            const bool had_error = PyErr_Occurred() != nullptr;
            if (!qn::lock_release(mgr_.get())) return -1;
            return had_error ? -1 : 0;
        }
        PyObject *et, *ev, *tb;
        PyErr_Fetch(&et, &ev, &tb);
        if (et == nullptr) {
            PyObject* argv[3] = {Py_None, Py_None, Py_None};
            qn::Ref r = qn::Ref::steal(PyObject_Vectorcall(exit_.get(), argv, 3, nullptr));
            return r ? 0 : -1;
        }
        PyErr_NormalizeException(&et, &ev, &tb);
        if (tb != nullptr && ev != nullptr) PyException_SetTraceback(ev, tb);
        PyObject* argv[3] = {et, ev ? ev : Py_None, tb ? tb : Py_None};
        qn::Ref r = qn::Ref::steal(PyObject_Vectorcall(exit_.get(), argv, 3, nullptr));
        if (!r) {
            Py_XDECREF(et);
            Py_XDECREF(ev);
            Py_XDECREF(tb);
            return -1;
        }
        int swallow = PyObject_IsTrue(r.get());
        if (swallow < 0) {
            Py_XDECREF(et);
            Py_XDECREF(ev);
            Py_XDECREF(tb);
            return -1;
        }
        if (swallow) {
            Py_XDECREF(et);
            Py_XDECREF(ev);
            Py_XDECREF(tb);
            return 1;
        }
        PyErr_Restore(et, ev, tb);
        return -1;
    }
    ~WithBlock() {
        if (entered_ && leave() < 0 && !PyErr_Occurred()) PyErr_WriteUnraisable(mgr_.get());
    }

private:
    qn::Ref mgr_;
    qn::Ref exit_;
    bool fast_ = false;
    bool entered_ = false;
};

// ---------------------------------------------------------------------------------------------
// CompileGate

struct CompileGateObject {
    PyObject_HEAD
    PyObject* config;      // PolicyConfig (or subclass), shared with the caller
    PyObject* thresholds;  // dict: str / None -> int
    PyObject* lock;        // threading.Lock
    double recompile_interval;
    bool initialised;
    // The entry of `thresholds` read or written last, so that a driver asking about the same
    // function again (the same identifier object) skips the dictionary lookup. Kept under `lock`
    // and only for the current `thresholds`; `memo_value` is null for "no entry".
    PyObject* memo_key;    // owned str or None, or null when empty
    PyObject* memo_value;  // owned int, or null
    int32_t memo_threshold;
};

PyTypeObject CompileGateType{};
PyObject* gate_init_fn = nullptr;

inline CompileGateObject* as_gate(PyObject* o) { return reinterpret_cast<CompileGateObject*>(o); }

int gate_traverse(PyObject* o, visitproc visit, void* arg) {
    CompileGateObject* g = as_gate(o);
    Py_VISIT(g->config);
    Py_VISIT(g->thresholds);
    Py_VISIT(g->lock);
    return 0;
}

void memo_forget(CompileGateObject* g) {
    Py_CLEAR(g->memo_key);
    Py_CLEAR(g->memo_value);
}

int gate_clear(PyObject* o) {
    CompileGateObject* g = as_gate(o);
    memo_forget(g);
    Py_CLEAR(g->config);
    Py_CLEAR(g->thresholds);
    Py_CLEAR(g->lock);
    return 0;
}

void gate_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    gate_clear(o);
    Py_TYPE(o)->tp_free(o);
}

// A fresh gate already holds a working default state, so that a subclass whose __init__ does
// not chain up still has a usable object.
PyObject* gate_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    qn::Ref self = qn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    CompileGateObject* g = as_gate(self.get());
    g->recompile_interval = core::kRecompileInterval;
    g->initialised = false;
    g->memo_key = g->memo_value = nullptr;
    g->memo_threshold = 0;
    g->config = pc_make_default();
    g->thresholds = PyDict_New();
    g->lock = qn::new_lock();
    if (g->config == nullptr || g->thresholds == nullptr || g->lock == nullptr) return nullptr;
    return self.release();
}

// getattr(obj, name, default) for the five configuration attributes.
PyObject* attr_or(PyObject* obj, PyObject* name, PyObject* dflt) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (v != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    return qn::newref(dflt);
}

PyObject* resolve_config(PyObject* config) {
    if (config == Py_None) return pc_make_default();
    if (is_config(config)) return qn::newref(config);
    static PyObject* defaults[5] = {PyLong_FromLong(100), PyLong_FromLong(10), PyLong_FromLong(10000),
                                    PyFloat_FromDouble(0.1), PyFloat_FromDouble(2.0)};
    PyObject* names[5] = {QN_STR("initial_threshold"), QN_STR("min_threshold"), QN_STR("max_threshold"),
                          QN_STR("learning_rate"), QN_STR("target_speedup")};
    qn::Ref values[5];
    for (int i = 0; i < 5; ++i) {
        if (defaults[i] == nullptr || names[i] == nullptr) return nullptr;
        values[i] = qn::Ref::steal(attr_or(config, names[i], defaults[i]));
        if (!values[i]) return nullptr;
    }
    return pc_make(values[0].get(), values[1].get(), values[2].get(), values[3].get(), values[4].get());
}

PyObject* gate_init(qn::Function*, PyObject* const* a) {
    CompileGateObject* g = as_gate(a[0]);
    qn::Ref config = qn::Ref::steal(resolve_config(a[1]));
    if (!config) return nullptr;
    qn::Ref old_config, old_thresholds, old_lock;
    if (g->initialised || g->thresholds == nullptr || g->lock == nullptr) {
        // Initialising again starts over with no learned thresholds and a lock of its own; calls
        // still running on the old state keep their own references to it.
        qn::Ref thresholds = qn::Ref::steal(PyDict_New());
        qn::Ref lock = qn::Ref::steal(qn::new_lock());
        if (!thresholds || !lock) return nullptr;
        memo_forget(g);
        old_thresholds = qn::Ref::steal(g->thresholds);
        old_lock = qn::Ref::steal(g->lock);
        g->thresholds = thresholds.release();
        g->lock = lock.release();
    }
    old_config = qn::Ref::steal(g->config);
    g->config = config.release();
    g->recompile_interval = core::kRecompileInterval;
    g->initialised = true;
    Py_RETURN_NONE;
}

int gate_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return qn::call_init(gate_init_fn, self, args, kwds);
}

PyObject* make_default_gate() {
    qn::Ref gate = qn::Ref::steal(gate_tp_new(&CompileGateType, nullptr, nullptr));
    if (!gate) return nullptr;
    as_gate(gate.get())->initialised = true;
    return gate.release();
}

// The state one call works on, held strongly for the duration of the call: the lock may be
// waited on with the interpreter lock released and the store runs arbitrary code, during which
// another thread could re-initialise the gate.
struct GateState {
    qn::Ref config, thresholds, lock;
    CompileGateObject* gate = nullptr;

    bool load(PyObject* self) {
        CompileGateObject* g = as_gate(self);
        gate = g;
        if (g->config == nullptr || g->thresholds == nullptr || g->lock == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "CompileGate is not initialised");
            return false;
        }
        config = qn::Ref::borrow(g->config);
        thresholds = qn::Ref::borrow(g->thresholds);
        lock = qn::Ref::borrow(g->lock);
        return true;
    }
};

// The entry of `func_id` in the thresholds: `value` is the stored int (borrowed, null when there is
// none) and `threshold` its native value. Caller holds the gate's lock.
bool lookup_threshold(const GateState& s, PyObject* func_id, PyObject*& value, int32_t& threshold) {
    CompileGateObject* g = s.gate;
    const bool current = s.thresholds.get() == g->thresholds;  // not re-initialised meanwhile
    if (current && func_id == g->memo_key) {
        value = g->memo_value;
        threshold = g->memo_threshold;
        return true;
    }
    PyObject* v = PyDict_GetItemWithError(s.thresholds.get(), func_id);
    int32_t t = 0;
    if (v == nullptr ? PyErr_Occurred() != nullptr : !qn::to_i32(v, t)) return false;
    value = v;
    threshold = t;
    if (current) {
        // Plain str / None / int references: releasing the old ones runs no Python code.
        Py_INCREF(func_id);
        Py_XINCREF(v);
        memo_forget(g);
        g->memo_key = func_id;
        g->memo_value = v;
        g->memo_threshold = t;
    }
    return true;
}

// Records the value just stored for `func_id`. Caller holds the gate's lock.
void memo_stored(const GateState& s, PyObject* func_id, PyObject* value, int32_t threshold) {
    CompileGateObject* g = s.gate;
    if (s.thresholds.get() != g->thresholds) return;
    Py_INCREF(func_id);
    Py_INCREF(value);
    memo_forget(g);
    g->memo_key = func_id;
    g->memo_value = value;
    g->memo_threshold = threshold;
}

// The learned threshold of `func_id`, or the configuration's initial threshold read from its
// native field. Caller holds the gate's lock.
bool threshold_fast(const GateState& s, PyObject* func_id, int32_t& out) {
    PyObject* v;
    int32_t t;
    if (!lookup_threshold(s, func_id, v, t)) return false;
    out = v != nullptr ? t : as_config(s.config.get())->initial_threshold;
    return true;
}

inline bool check_func_id(PyObject* func_id) { return qn::arg_exact(func_id, &PyUnicode_Type, "func_id"); }

PyObject* call_get_metrics(PyObject* store, PyObject* func_id) {
    PyObject* argv[2] = {store, func_id};
    return PyObject_VectorcallMethod(QN_STR("get_metrics"), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

template <class T, bool (*Conv)(PyObject*, T&)>
bool read_attr(PyObject* obj, PyObject* name, T& out) {
    qn::Ref v = qn::Ref::steal(PyObject_GetAttr(obj, name));
    return v && Conv(v.get(), out);
}

// time.time() as the standard module computes it: the system clock in nanoseconds, converted to
// seconds with the same two roundings.
bool system_clock_seconds(double& out) {
    // The system clock (CLOCK_REALTIME) in nanoseconds since the epoch.
    using namespace std::chrono;
    const auto since_epoch = system_clock::now().time_since_epoch();
    const int64_t ns = static_cast<int64_t>(duration_cast<nanoseconds>(since_epoch).count());
    constexpr int64_t kNs = 1000000000;
    if (ns % kNs == 0) {
        out = static_cast<double>(ns / kNs);
    } else {
        volatile double d = static_cast<double>(ns);
        d = d / 1e9;
        out = d;
    }
    return true;
}

// Whether `time.time` as seen from the module namespace is still the standard clock. Lookups are
// redone only when the module namespace or the time module's namespace changed since the last
// check (every change to a dictionary gives it a new version tag).
struct ClockCache {
    uint64_t module_version = 0;
    uint64_t time_version = 0;
    bool standard = false;
};
ClockCache clock_cache;

#if PY_VERSION_HEX < 0x030C0000
inline uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
constexpr bool kHaveDictVersions = true;
#else
// Later interpreters no longer promise a version tag per change: look up every time.
inline uint64_t dict_version(PyObject*) { return 0; }
constexpr bool kHaveDictVersions = false;
#endif

bool clock_is_standard(bool& standard) {
    if (kHaveDictVersions && clock_cache.module_version != 0 &&
        dict_version(module_dict) == clock_cache.module_version &&
        dict_version(std_time_dict) == clock_cache.time_version) {
        standard = clock_cache.standard;
        return true;
    }
    PyObject* time_mod = PyDict_GetItemWithError(module_dict, QN_STR("time"));
    if (time_mod == nullptr && PyErr_Occurred()) return false;
    PyObject* fn = nullptr;
    if (time_mod == std_time_module) {
        fn = PyDict_GetItemWithError(std_time_dict, QN_STR("time"));
        if (fn == nullptr && PyErr_Occurred()) return false;
    }
    standard = fn != nullptr && fn == std_time_fn;
    clock_cache = {dict_version(module_dict), dict_version(std_time_dict), standard};
    return true;
}

// time.time() with `time` looked up in the module namespace at call time. While both the
// module's `time` and that module's `time` function are the originals, the clock is read directly;
// a rebound module or function is called like any other.
bool current_time(double& out) {
    bool standard = false;
    if (!clock_is_standard(standard)) return false;
    if (standard && system_clock_seconds(out)) return true;
    PyObject* time_mod = PyDict_GetItemWithError(module_dict, QN_STR("time"));
    if (time_mod == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'time' is not defined");
        return false;
    }
    qn::Ref hold = qn::Ref::borrow(time_mod);
    qn::Ref now = qn::Ref::steal(PyObject_CallMethodNoArgs(time_mod, QN_STR("time")));
    return now && qn::to_double(now.get(), out);
}

PyObject* gate_get_threshold(qn::Function*, PyObject* const* a) {
    PyObject* func_id = a[1];
    if (!check_func_id(func_id)) return nullptr;
    GateState s;
    if (!s.load(a[0])) return nullptr;
    qn::Ref result;
    {
        qn::LockGuard guard(s.lock.get());
        if (!guard) return nullptr;
        PyObject* v;
        int32_t t;
        if (!lookup_threshold(s, func_id, v, t)) return nullptr;
        if (v != nullptr) {
            result = qn::Ref::borrow(v);
        } else if (Py_IS_TYPE(s.config.get(), &PolicyConfigType)) {
            // The exact type's property is the field itself.
            result = qn::Ref::steal(PyLong_FromLong(as_config(s.config.get())->initial_threshold));
        } else {
            result = qn::Ref::steal(PyObject_GetAttr(s.config.get(), QN_STR("initial_threshold")));
        }
        if (!result) return nullptr;
        if (!guard.unlock()) return nullptr;
    }
    return result.release();
}

PyObject* gate_should_compile(qn::Function*, PyObject* const* a) {
    PyObject* func_id = a[1];
    PyObject* store = a[2];
    if (!check_func_id(func_id)) return nullptr;
    GateState s;
    if (!s.load(a[0])) return nullptr;
    double now = 0.0;
    if (!current_time(now)) return nullptr;
    int32_t threshold = 0;
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 0.0, last_compiled = 0.0;
    qn::Ref metrics;
    {
        qn::LockGuard guard(s.lock.get());
        if (!guard) return nullptr;
        if (!threshold_fast(s, func_id, threshold)) return nullptr;
        metrics = qn::Ref::steal(call_get_metrics(store, func_id));
        if (!metrics) return nullptr;
        PyObject* m = metrics.get();
        if (Py_IS_TYPE(m, &FunctionMetricsType)) {
            const FunctionMetricsObject* fm = as_metrics(m);
            call_count = fm->call_count;
            compile_count = fm->compile_count;
            avg_speedup = fm->avg_speedup;
            last_compiled = fm->last_compile_time;
        } else {
            if (!read_attr<uint64_t, qn::to_u64>(m, QN_STR("call_count"), call_count) ||
                !read_attr<uint32_t, qn::to_u32>(m, QN_STR("compile_count"), compile_count) ||
                !read_attr<double, qn::to_double>(m, QN_STR("avg_speedup"), avg_speedup))
                return nullptr;
            static PyObject* zero = PyFloat_FromDouble(0.0);
            if (zero == nullptr) return nullptr;
            qn::Ref last = qn::Ref::steal(attr_or(m, QN_STR("last_compiled"), zero));
            if (!last || !qn::to_double(last.get(), last_compiled)) return nullptr;
        }
        if (!guard.unlock()) return nullptr;
    }
    (void)avg_speedup;  // read for the record's sake; it does not change the decision
    return qn::boolean(core::decide_compile(threshold, call_count, compile_count, last_compiled, now,
                                            as_gate(a[0])->recompile_interval));
}

// logger.debug(text) on the module's `logger`, looked up at call time. A real Logger is asked
// isEnabledFor(DEBUG) first so that the line is only formatted when it will be emitted.
int log_update(PyObject* func_id, int32_t old_value, int32_t new_value, double speedup) {
    PyObject* logger = PyDict_GetItemWithError(module_dict, QN_STR("logger"));
    if (logger == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'logger' is not defined");
        return -1;
    }
    qn::Ref hold = qn::Ref::borrow(logger);
    if (logger_type != nullptr && Py_IS_TYPE(logger, logger_type)) {
        static PyObject* debug_level = PyLong_FromLong(10);
        if (debug_level == nullptr) return -1;
        qn::Ref enabled = qn::Ref::steal(PyObject_CallMethodOneArg(logger, QN_STR("isEnabledFor"), debug_level));
        if (!enabled) return -1;
        int on = PyObject_IsTrue(enabled.get());
        if (on <= 0) return on;
    }
    char* digits = PyOS_double_to_string(speedup, 'f', 2, 0, nullptr);
    if (digits == nullptr) return -1;
    qn::Ref text = qn::Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)", func_id,
                                                       static_cast<int>(old_value), static_cast<int>(new_value),
                                                       digits));
    PyMem_Free(digits);
    if (!text) return -1;
    qn::Ref r = qn::Ref::steal(PyObject_CallMethodOneArg(logger, QN_STR("debug"), text.get()));
    return r ? 0 : -1;
}

PyObject* gate_update(qn::Function*, PyObject* const* a) {
    PyObject* func_id = a[1];
    PyObject* store = a[2];
    if (!check_func_id(func_id)) return nullptr;
    GateState s;
    if (!s.load(a[0])) return nullptr;
    int32_t old_value = 0, new_value = 0;
    double avg_speedup = 0.0;
    qn::Ref metrics, count_obj, stored_value;
    {
        qn::LockGuard guard(s.lock.get());
        if (!guard) return nullptr;
        metrics = qn::Ref::steal(call_get_metrics(store, func_id));
        if (!metrics) return nullptr;
        PyObject* m = metrics.get();
        uint32_t compile_count = 0;
        if (Py_IS_TYPE(m, &FunctionMetricsType)) {
            const FunctionMetricsObject* fm = as_metrics(m);
            if (fm->compile_count == 0) {
                if (!guard.unlock()) return nullptr;
                Py_RETURN_NONE;
            }
            if (!threshold_fast(s, func_id, old_value)) return nullptr;
            compile_count = fm->compile_count;
            avg_speedup = fm->avg_speedup;
        } else {
            count_obj = qn::Ref::steal(PyObject_GetAttr(m, QN_STR("compile_count")));
            if (!count_obj) return nullptr;
            static PyObject* zero = PyLong_FromLong(0);
            if (zero == nullptr) return nullptr;
            int is_zero = PyObject_RichCompareBool(count_obj.get(), zero, Py_EQ);
            if (is_zero < 0) return nullptr;
            if (is_zero) {
                if (!guard.unlock()) return nullptr;
                Py_RETURN_NONE;
            }
            if (!threshold_fast(s, func_id, old_value) ||
                !read_attr<uint32_t, qn::to_u32>(m, QN_STR("compile_count"), compile_count) ||
                !read_attr<double, qn::to_double>(m, QN_STR("avg_speedup"), avg_speedup))
                return nullptr;
        }
        new_value = core::next_threshold(old_value, compile_count, avg_speedup, params_of(s.config.get()));
        stored_value = qn::Ref::steal(PyLong_FromLong(new_value));
        if (!stored_value || PyDict_SetItem(s.thresholds.get(), func_id, stored_value.get()) < 0) return nullptr;
        memo_stored(s, func_id, stored_value.get(), new_value);
        if (!guard.unlock()) return nullptr;
    }
    if (log_update(func_id, old_value, new_value, avg_speedup) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stats_dict(PyObject* tracked, PyObject* avg, PyObject* lo, PyObject* hi) {
    qn::Ref d = qn::Ref::steal(PyDict_New());
    if (!d || !tracked || !avg || !lo || !hi || PyDict_SetItem(d.get(), QN_STR("tracked_functions"), tracked) < 0 ||
        PyDict_SetItem(d.get(), QN_STR("avg_threshold"), avg) < 0 ||
        PyDict_SetItem(d.get(), QN_STR("min_threshold"), lo) < 0 ||
        PyDict_SetItem(d.get(), QN_STR("max_threshold"), hi) < 0)
        return nullptr;
    return d.release();
}

// Mean, minimum and maximum of the learned thresholds. Caller holds the gate's lock.
PyObject* learned_stats(PyObject* thresholds) {
    const Py_ssize_t n = PyDict_GET_SIZE(thresholds);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    int64_t sum = 0;
    bool sum_exact = true;
    long lo = 0, hi = 0;
    bool first = true;
    while (PyDict_Next(thresholds, &pos, &key, &value)) {
        const long v = PyLong_AsLong(value);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (sum_exact && __builtin_add_overflow(sum, static_cast<int64_t>(v), &sum)) sum_exact = false;
        if (first || v < lo) lo = v;
        if (first || v > hi) hi = v;
        first = false;
    }
    qn::Ref avg;
    double mean;
    if (sum_exact && core::mean_of_sum(sum, static_cast<uint64_t>(n), &mean)) {
        avg = qn::Ref::steal(PyFloat_FromDouble(mean));
    } else {
        // Too large for a correctly rounded double quotient: divide exact integers.
        qn::Ref total = qn::Ref::steal(PyLong_FromLong(0));
        pos = 0;
        while (total && PyDict_Next(thresholds, &pos, &key, &value)) {
            total = qn::Ref::steal(PyNumber_Add(total.get(), value));
        }
        qn::Ref count = qn::Ref::steal(PyLong_FromSsize_t(n));
        if (!total || !count) return nullptr;
        avg = qn::Ref::steal(PyNumber_TrueDivide(total.get(), count.get()));
    }
    qn::Ref tracked = qn::Ref::steal(PyLong_FromSsize_t(n));
    qn::Ref lo_obj = qn::Ref::steal(PyLong_FromLong(lo));
    qn::Ref hi_obj = qn::Ref::steal(PyLong_FromLong(hi));
    return stats_dict(tracked.get(), avg.get(), lo_obj.get(), hi_obj.get());
}

PyObject* gate_get_statistics(qn::Function*, PyObject* const* a) {
    GateState s;
    if (!s.load(a[0])) return nullptr;
    qn::Ref result;
    {
        qn::LockGuard guard(s.lock.get());
        if (!guard) return nullptr;
        if (PyDict_GET_SIZE(s.thresholds.get()) > 0) {
            result = qn::Ref::steal(learned_stats(s.thresholds.get()));
        } else {
            PyObject* c = s.config.get();
            qn::Ref ini, lo, hi;
            if (Py_IS_TYPE(c, &PolicyConfigType)) {
                ini = qn::Ref::steal(PyLong_FromLong(as_config(c)->initial_threshold));
                lo = qn::Ref::steal(PyLong_FromLong(as_config(c)->min_threshold));
                hi = qn::Ref::steal(PyLong_FromLong(as_config(c)->max_threshold));
            } else if (!(ini = qn::Ref::steal(PyObject_GetAttr(c, QN_STR("initial_threshold")))) ||
                       !(lo = qn::Ref::steal(PyObject_GetAttr(c, QN_STR("min_threshold")))) ||
                       !(hi = qn::Ref::steal(PyObject_GetAttr(c, QN_STR("max_threshold"))))) {
                return nullptr;
            }
            qn::Ref zero = qn::Ref::steal(PyLong_FromLong(0));
            result = qn::Ref::steal(stats_dict(zero.get(), ini.get(), lo.get(), hi.get()));
        }
        if (!result) return nullptr;
        if (!guard.unlock()) return nullptr;
    }
    return result.release();
}

PyObject* gate_get_config(PyObject* self, void*) {
    PyObject* c = as_gate(self)->config;
    return qn::newref(c != nullptr ? c : Py_None);
}

PyGetSetDef gate_getset[] = {
    {"config", gate_get_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// The process-wide gate

PyObject* policy_lock() {
    PyObject* lock = PyDict_GetItemWithError(module_dict, QN_STR("_policy_lock"));
    if (lock == nullptr && !PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name '_policy_lock' is not defined");
    return lock;
}

PyObject* get_compile_gate(qn::Function*, PyObject* const*) {
    PyObject* lock = policy_lock();
    if (lock == nullptr) return nullptr;
    qn::Ref result;
    WithBlock block(lock);
    if (!block) return nullptr;
    if (gate_instance == Py_None) {
        PyObject* gate = make_default_gate();
        if (gate != nullptr) {
            PyObject* old = gate_instance;
            gate_instance = gate;
            Py_DECREF(old);  // None
        }
    }
    if (!PyErr_Occurred()) result = qn::Ref::borrow(gate_instance);
    const int left = block.leave();
    if (left < 0) return nullptr;
    if (left > 0) Py_RETURN_NONE;  // __exit__ of a rebound lock swallowed an error
    return result.release();
}

PyObject* reset_compile_gate(qn::Function*, PyObject* const*) {
    PyObject* lock = policy_lock();
    if (lock == nullptr) return nullptr;
    qn::Ref old;
    {
        WithBlock block(lock);
        if (!block) return nullptr;
        old = qn::Ref::steal(gate_instance);
        gate_instance = qn::newref(Py_None);
        if (block.leave() < 0) return nullptr;
    }
    old.reset();  // the old gate is dropped only after the lock is left
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Factories

PyObject* create_policy_config(qn::Function*, PyObject* const* a) {
    static const char* const int_names[3] = {"initial_threshold", "min_threshold", "max_threshold"};
    qn::Ref v[5];
    for (int i = 0; i < 3; ++i) {
        v[i] = qn::Ref::steal(qn::arg_int(a[i], int_names[i]));
        if (!v[i]) return nullptr;
    }
    for (int i = 3; i < 5; ++i) {
        double d;
        if (!qn::to_double(a[i], d)) return nullptr;
        v[i] = qn::Ref::steal(PyFloat_FromDouble(d));
        if (!v[i]) return nullptr;
    }
    return pc_make(v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get());
}

PyObject* create_function_metrics(qn::Function*, PyObject* const* a) {
    static const char* const int_names[2] = {"call_count", "compile_count"};
    static PyObject* absent = PyFloat_FromDouble(-1.0);
    if (absent == nullptr) return nullptr;
    qn::Ref v[5];
    for (int i = 0; i < 2; ++i) {
        v[i] = qn::Ref::steal(qn::arg_int(a[i], int_names[i]));
        if (!v[i]) return nullptr;
    }
    for (int i = 2; i < 5; ++i) {
        double d;
        if (!qn::to_double(a[i], d)) return nullptr;
        v[i] = qn::Ref::steal(PyFloat_FromDouble(d));
        if (!v[i]) return nullptr;
    }
    PyObject* values[6] = {v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get(), absent};
    qn::Ref self = qn::Ref::steal(fm_tp_new(&FunctionMetricsType, nullptr, nullptr));
    if (!self || !fm_configure(self.get(), values)) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// Setup

PyObject* refuse_setstate(qn::Function*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

void types_setup() {
    qn::type_init(PolicyConfigType, "quarvel.jit.compile_gate.PolicyConfig", sizeof(PolicyConfigObject),
                  "Configuration for compile gate.");
    PolicyConfigType.tp_new = pc_tp_new;
    PolicyConfigType.tp_init = pc_tp_init;
    PolicyConfigType.tp_vectorcall = pc_vectorcall;
    PolicyConfigType.tp_getset = pc_getset;

    qn::type_init(FunctionMetricsType, "quarvel.jit.compile_gate.FunctionMetrics", sizeof(FunctionMetricsObject),
                  "Per-function execution and compilation metrics.\n\n"
                  "Mirrors the interface of TelemetryStore's per-function metrics record for\n"
                  "compatibility, so that either can be handed to code that reads metrics by\n"
                  "attribute.\n\n"
                  "Attributes:\n"
                  "    call_count: Number of times the function has been called\n"
                  "    compile_count: Number of times the function has been compiled\n"
                  "    avg_speedup: Average speedup from compilation\n"
                  "    total_execution_time_ms: Total execution time in milliseconds\n"
                  "    last_compile_time: Timestamp of last compilation (older attribute name)\n"
                  "    last_compiled: Alias of last_compile_time (the name TelemetryStore uses)");
    FunctionMetricsType.tp_new = fm_tp_new;
    FunctionMetricsType.tp_init = fm_tp_init;
    FunctionMetricsType.tp_vectorcall = fm_vectorcall;
    FunctionMetricsType.tp_getset = fm_getset;

    qn::type_init(CompileGateType, "quarvel.jit.compile_gate.CompileGate", sizeof(CompileGateObject),
                  "Compile policy with a learned call-count threshold per function.", Py_TPFLAGS_HAVE_GC);
    CompileGateType.tp_new = gate_tp_new;
    CompileGateType.tp_init = gate_tp_init;
    CompileGateType.tp_dealloc = gate_dealloc;
    CompileGateType.tp_traverse = gate_traverse;
    CompileGateType.tp_clear = gate_clear;
    CompileGateType.tp_getset = gate_getset;
}

int refuse_restore(PyTypeObject* t) {
    return qn::add_method(t, {"__setstate__", refuse_setstate, {{"state"}}}) ? 0 : -1;
}

int methods_install() {
    pc_init_fn = qn::add_init(&PolicyConfigType, {"__init__",
                                                  pc_init,
                                                  {{"initial_threshold", qn::dflt(100)},
                                                   {"min_threshold", qn::dflt(10)},
                                                   {"max_threshold", qn::dflt(10000)},
                                                   {"learning_rate", qn::dflt(0.1)},
                                                   {"target_speedup", qn::dflt(2.0)}}});
    fm_init_fn = qn::add_init(&FunctionMetricsType, {"__init__",
                                                     fm_init,
                                                     {{"call_count", qn::dflt(0)},
                                                      {"compile_count", qn::dflt(0)},
                                                      {"avg_speedup", qn::dflt(1.0)},
                                                      {"total_execution_time_ms", qn::dflt(0.0)},
                                                      {"last_compile_time", qn::dflt(0.0)},
                                                      {"last_compiled", qn::dflt(-1.0)}}});
    gate_init_fn = qn::add_init(&CompileGateType, {"__init__", gate_init, {{"config", qn::dflt_none()}}});
    if (pc_init_fn == nullptr || fm_init_fn == nullptr || gate_init_fn == nullptr) return -1;
    PyTypeObject* g = &CompileGateType;
    if (!qn::add_method(g, {"should_compile", gate_should_compile, {{"func_id"}, {"telemetry_store"}}, "bool",
                            "Decide whether the function should be compiled now.\n\n"
                            "Allows recompilation once the function reaches its current threshold and either\n"
                            "was never compiled or enough time has passed since its last compilation. All\n"
                            "state reads happen within the lock."}) ||
        !qn::add_method(g, {"get_threshold", gate_get_threshold, {{"func_id"}}, "int",
                            "Get the current threshold for a function (the call count at which it is\n"
                            "compiled)."}) ||
        !qn::add_method(g, {"update", gate_update, {{"func_id"}, {"telemetry_store"}}, nullptr,
                            "Update the policy from the outcome of a compilation.\n\n"
                            "All reads and writes happen within a single lock."}) ||
        !qn::add_method(g, {"get_statistics", gate_get_statistics, {}, "Dict", "Get policy statistics."}))
        return -1;
    for (PyTypeObject* t : {&PolicyConfigType, &FunctionMetricsType, &CompileGateType}) {
        if (refuse_restore(t) < 0) return -1;
    }
    return 0;
}

int exec_compile_gate(PyObject* m) {
    types_setup();
    // 1. The three classes.
    if (qn::type_ready(m, PolicyConfigType) < 0 || qn::type_ready(m, FunctionMetricsType) < 0 ||
        qn::type_ready(m, CompileGateType) < 0)
        return -1;
    module_dict = qn::newref(PyModule_GetDict(m));
    // 2. Standard modules.
    if (qn::import_into(m, "time") < 0 || qn::import_into(m, "logging") < 0 || qn::import_into(m, "threading") < 0 ||
        qn::import_from(m, "typing", {"Dict", "Optional"}) < 0)
        return -1;
    std_time_module = PyDict_GetItemString(module_dict, "time");
    if (std_time_module == nullptr || !PyModule_Check(std_time_module)) {
        PyErr_SetString(PyExc_ImportError, "time is not a module");
        return -1;
    }
    Py_INCREF(std_time_module);
    std_time_dict = qn::newref(PyModule_GetDict(std_time_module));
    std_time_fn = PyDict_GetItemString(std_time_dict, "time");
    Py_XINCREF(std_time_fn);
    if (methods_install() < 0) return -1;
    // 3. Logger, the instance lock and the instance slot.
    PyObject* logger = qn::make_logger(m);
    if (logger == nullptr) return -1;
    {
        qn::Ref logging = qn::Ref::steal(PyImport_ImportModule("logging"));
        qn::Ref cls = logging ? qn::Ref::steal(PyObject_GetAttrString(logging.get(), "Logger")) : qn::Ref();
        if (!cls) return -1;
        if (PyType_Check(cls.get())) logger_type = reinterpret_cast<PyTypeObject*>(cls.release());
    }
    PyObject* lock = qn::new_lock();
    if (lock == nullptr) return -1;
    lock_type = Py_TYPE(lock);
    Py_INCREF(lock_type);
    if (qn::bind(m, "_policy_lock", lock) < 0) return -1;
    gate_instance = qn::newref(Py_None);
    // 4. Functions.
    if (!qn::add_function(m, {"get_compile_gate", get_compile_gate, {}, "CompileGate",
                              "Get the process-wide compile gate.\n\n"
                              "Always acquires the lock before checking or creating the single instance."}) ||
        !qn::add_function(m, {"reset_compile_gate", reset_compile_gate, {}, nullptr,
                              "Reset the process-wide compile gate."}) ||
        !qn::add_function(m, {"create_function_metrics",
                              create_function_metrics,
                              {{"call_count", qn::dflt(0), "int"},
                               {"compile_count", qn::dflt(0), "int"},
                               {"avg_speedup", qn::dflt(1.0), "float"},
                               {"total_execution_time_ms", qn::dflt(0.0), "float"},
                               {"last_compile_time", qn::dflt(0.0), "float"}},
                              "FunctionMetrics",
                              "Factory function to create FunctionMetrics.\n\n"
                              "Provides a Python-friendly interface for creating metrics objects."}) ||
        !qn::add_function(m, {"create_policy_config",
                              create_policy_config,
                              {{"initial_threshold", qn::dflt(100), "int"},
                               {"min_threshold", qn::dflt(10), "int"},
                               {"max_threshold", qn::dflt(10000), "int"},
                               {"learning_rate", qn::dflt(0.1), "float"},
                               {"target_speedup", qn::dflt(2.0), "float"}},
                              "PolicyConfig",
                              "Factory function to create PolicyConfig.\n\n"
                              "Provides a Python-friendly interface for creating config objects."}))
        return -1;
    return qn::log(logger, "info", "Quarvel Compile Gate Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(compile_gate, "Compile policy: per-function learned thresholds deciding when to compile.",
          exec_compile_gate)
