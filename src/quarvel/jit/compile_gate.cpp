// quarvel.jit.compile_gate: the compile policy.
//
// The binding: it converts arguments, reads records and the telemetry store's metrics, calls the
// policy's rules and arithmetic in compile_gate_core.hpp (validation, the compile decision, the
// threshold step, the statistics, the clock) and builds the results.
//
// PolicyConfig and FunctionMetrics are plain native records. CompileGate keeps one learned
// call-count threshold per function and serialises every method on its own lock (qn::Lock, made
// after the module's `threading.Lock` when the gate is initialised: native unless that factory was
// substituted); the telemetry store handed to should_compile / update is called inside the
// section, so a decision never mixes a threshold and metrics from different moments. The
// interpreter lock is never released here except while a thread waits for a lock.
//
// Re-entry. A store (or a configuration property, or anything else that runs while a gate's lock is
// held) that calls back into the same gate on the same thread gets RuntimeError instead of waiting
// for itself forever; the gate is left as it was. The process-wide gate's functions do the same for
// a call made while this thread is inside `_policy_lock` (a finalizer run by a collection while the
// gate is created, a rebound lock's __enter__ / __exit__, a rebound `threading.Lock`).
//
// Hot paths read exact PolicyConfig / FunctionMetrics instances through their native fields; any
// other object (a subclass, the store's own record type) is read by attribute, so overridden
// properties and foreign records behave exactly as attribute access would.
#include "native/qn.hpp"

#include "compile_gate_core.hpp"

#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

namespace {

namespace core = quarvel::compile_gate;

// ---------------------------------------------------------------------------------------------
// Module state. Made once by the module's initialisation (which may be retried after a failure);
// raw owned pointers that are never released: they live as long as the process.

PyObject* module_dict = nullptr;         // the module's namespace, for globals read at call time
PyObject* gate_instance = nullptr;       // the process-wide gate, or None
PyObject* logger_class = nullptr;        // logging.Logger, for the level pre-check
PyObject* std_is_enabled_for = nullptr;  // logging.Logger.isEnabledFor as loaded
qn::StdFunction std_clock;               // is the module's `time.time` the standard clock?
qn::LockFactory gate_locks;              // the gates' locks, after the module's `threading.Lock`
qn::DictTemplate stats_keys;             // get_statistics' result

// Interned names.
struct Names {
    PyObject *_cache, *_policy_lock, *avg_speedup, *call_count, *compile_count, *debug, *disabled, *get_metrics,
        *initial_threshold, *isEnabledFor, *last_compiled, *learning_rate, *logger, *max_threshold, *min_threshold,
        *target_speedup, *time;
} N;

// Constant objects.
struct Constants {
    PyObject* int_zero;    // 0
    PyObject* float_zero;  // 0.0, a missing `last_compiled`
    PyObject* last_compiled_absent;
    PyObject* debug_level;         // logging.DEBUG
    PyObject* policy_defaults[5];  // getattr defaults for a foreign configuration object
} K;

int make_constants() {
    const std::pair<PyObject**, const char*> names[] = {
        {&N._cache, "_cache"},
        {&N._policy_lock, "_policy_lock"},
        {&N.avg_speedup, "avg_speedup"},
        {&N.call_count, "call_count"},
        {&N.compile_count, "compile_count"},
        {&N.debug, "debug"},
        {&N.disabled, "disabled"},
        {&N.get_metrics, "get_metrics"},
        {&N.initial_threshold, "initial_threshold"},
        {&N.isEnabledFor, "isEnabledFor"},
        {&N.last_compiled, "last_compiled"},
        {&N.learning_rate, "learning_rate"},
        {&N.logger, "logger"},
        {&N.max_threshold, "max_threshold"},
        {&N.min_threshold, "min_threshold"},
        {&N.target_speedup, "target_speedup"},
        {&N.time, "time"},
    };
    for (const auto& [slot, text] : names) {
        if (*slot == nullptr && (*slot = PyUnicode_InternFromString(text)) == nullptr) return -1;
    }
    const std::pair<PyObject**, PyObject* (*)()> values[] = {
        {&K.int_zero, [] { return PyLong_FromLong(0); }},
        {&K.float_zero, [] { return PyFloat_FromDouble(0.0); }},
        {&K.last_compiled_absent, [] { return PyFloat_FromDouble(core::kLastCompiledAbsent); }},
        {&K.debug_level, [] { return PyLong_FromLong(10); }},
        {&K.policy_defaults[0], [] { return PyLong_FromLong(core::kDefaultPolicy.initial_threshold); }},
        {&K.policy_defaults[1], [] { return PyLong_FromLong(core::kDefaultPolicy.min_threshold); }},
        {&K.policy_defaults[2], [] { return PyLong_FromLong(core::kDefaultPolicy.max_threshold); }},
        {&K.policy_defaults[3], [] { return PyFloat_FromDouble(core::kDefaultPolicy.learning_rate); }},
        {&K.policy_defaults[4], [] { return PyFloat_FromDouble(core::kDefaultPolicy.target_speedup); }},
    };
    for (const auto& [slot, make] : values) {
        if (*slot == nullptr && (*slot = make()) == nullptr) return -1;
    }
    return 0;
}

// The vectorcall of a record type: runs its __init__ function with the new instance prepended to
// the caller's arguments. A caller that leaves the slot before its arguments free lends it for the
// call; otherwise the arguments are copied behind the instance (a bound method does it for more
// arguments than any initialiser takes, so that the parser reports them).
PyObject* call_init_vector(PyObject* init_fn, PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        PyObject** slot = const_cast<PyObject**>(args) - 1;
        PyObject* saved = *slot;
        *slot = self;
        PyObject* r = PyObject_Vectorcall(init_fn, slot, static_cast<size_t>(nargs + 1), kwnames);
        *slot = saved;
        return r;
    }
    const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    if (total < qn::kMaxParams) {
        PyObject* stack[qn::kMaxParams];
        stack[0] = self;
        for (Py_ssize_t i = 0; i < total; ++i) stack[1 + i] = args[i];
        return PyObject_Vectorcall(init_fn, stack, static_cast<size_t>(nargs + 1), kwnames);
    }
    qn::Ref bound = qn::Ref::steal(PyMethod_New(init_fn, self));
    return bound ? PyObject_Vectorcall(bound.get(), args, nargsf, kwnames) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// The two records: an object header followed by the plain figures of the core header.

template <class Fields>
struct RecordObject {
    PyObject_HEAD
    Fields f;
};
using PolicyConfigObject = RecordObject<core::PolicyParams>;
using FunctionMetricsObject = RecordObject<core::MetricsFigures>;

PyTypeObject PolicyConfigType{};
PyTypeObject FunctionMetricsType{};
PyObject* policy_config_init_fn = nullptr;  // the records' __init__ functions
PyObject* function_metrics_init_fn = nullptr;

template <class Fields>
inline Fields& fields(PyObject* o) {
    return reinterpret_cast<RecordObject<Fields>*>(o)->f;
}
inline const core::PolicyParams& config_fields(PyObject* o) { return fields<core::PolicyParams>(o); }
inline const core::MetricsFigures& metrics_fields(PyObject* o) { return fields<core::MetricsFigures>(o); }
inline bool is_config(PyObject* o) { return PyObject_TypeCheck(o, &PolicyConfigType); }

// A new record holding the defaults.
template <class Fields, const Fields& Defaults>
PyObject* record_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o != nullptr) fields<Fields>(o) = Defaults;
    return o;
}

// Calls on the record type itself (never on a subclass: the slot is not inherited) skip the generic
// type call and parse straight into the initialiser.
template <PyObject** InitFn>
PyObject* record_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    qn::Ref self = qn::Ref::steal(t->tp_new(t, nullptr, nullptr));
    if (!self) return nullptr;
    if (PyVectorcall_NARGS(nargsf) == 0 && kwnames == nullptr) return self.release();
    qn::Ref r = qn::Ref::steal(call_init_vector(*InitFn, self.get(), args, nargsf, kwnames));
    return r ? self.release() : nullptr;
}

PyObject* policy_config_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return record_new<core::PolicyParams, core::kDefaultPolicy>(type, args, kwds);
}
PyObject* function_metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return record_new<core::MetricsFigures, core::kDefaultMetrics>(type, args, kwds);
}
PyObject* policy_config_make_default() { return policy_config_new(&PolicyConfigType, nullptr, nullptr); }

constexpr core::PolicyParams kPolicy = core::kDefaultPolicy;
constexpr auto kPolicyConfigInit = qn::params(qn::opt("initial_threshold", nullptr, kPolicy.initial_threshold),
                                              qn::opt("min_threshold", nullptr, kPolicy.min_threshold),
                                              qn::opt("max_threshold", nullptr, kPolicy.max_threshold),
                                              qn::opt("learning_rate", nullptr, kPolicy.learning_rate),
                                              qn::opt("target_speedup", nullptr, kPolicy.target_speedup));

// The values a PolicyConfig is made from, by name: the constructor's own arguments, or an array
// laid out as its parameter list (the factory's, a foreign configuration object's).
using PolicyValues = qn::Args<kPolicyConfigInit>;

// Converts all five values, validates them in order and only then stores them.
template <class Values>
bool policy_config_configure(PyObject* self, const Values& v) {
    core::PolicyParams p;
    if (!qn::to_i32(v.template get<"initial_threshold">(), p.initial_threshold) ||
        !qn::to_i32(v.template get<"min_threshold">(), p.min_threshold) ||
        !qn::to_i32(v.template get<"max_threshold">(), p.max_threshold) ||
        !qn::to_double(v.template get<"learning_rate">(), p.learning_rate) ||
        !qn::to_double(v.template get<"target_speedup">(), p.target_speedup))
        return false;
    if (const core::PolicyFault fault = core::check_policy(p); fault != core::PolicyFault::none) {
        PyErr_SetString(PyExc_ValueError, core::fault_message(fault));
        return false;
    }
    fields<core::PolicyParams>(self) = p;
    return true;
}

PyObject* policy_config_init(qn::MethodArgs<kPolicyConfigInit> a) {
    if (!policy_config_configure(a.self(), a)) return nullptr;
    Py_RETURN_NONE;
}

// A validated PolicyConfig of the exact type.
PyObject* policy_config_make(const PolicyValues& values) {
    qn::Ref self = qn::Ref::steal(policy_config_make_default());
    if (!self || !policy_config_configure(self.get(), values)) return nullptr;
    return self.release();
}

constexpr core::MetricsFigures kMetrics = core::kDefaultMetrics;
constexpr auto kFunctionMetricsInit = qn::params(
    qn::opt("call_count", nullptr, kMetrics.call_count), qn::opt("compile_count", nullptr, kMetrics.compile_count),
    qn::opt("avg_speedup", nullptr, kMetrics.avg_speedup),
    qn::opt("total_execution_time_ms", nullptr, kMetrics.total_execution_time_ms),
    qn::opt("last_compile_time", nullptr, kMetrics.last_compile_time),
    qn::opt("last_compiled", nullptr, core::kLastCompiledAbsent));

// The values a FunctionMetrics is made from, by name (`last_compiled` is the timestamp's alias).
using MetricsValues = qn::Args<kFunctionMetricsInit>;

// Converts all six, then stores.
template <class Values>
bool function_metrics_configure(PyObject* self, const Values& v) {
    core::MetricsFigures m;
    double last_alias;
    if (!qn::to_u64(v.template get<"call_count">(), m.call_count) ||
        !qn::to_u32(v.template get<"compile_count">(), m.compile_count) ||
        !qn::to_double(v.template get<"avg_speedup">(), m.avg_speedup) ||
        !qn::to_double(v.template get<"total_execution_time_ms">(), m.total_execution_time_ms) ||
        !qn::to_double(v.template get<"last_compile_time">(), m.last_compile_time) ||
        !qn::to_double(v.template get<"last_compiled">(), last_alias))
        return false;
    m.last_compile_time = core::record_timestamp(m.last_compile_time, last_alias);
    fields<core::MetricsFigures>(self) = m;
    return true;
}

PyObject* function_metrics_init(qn::MethodArgs<kFunctionMetricsInit> a) {
    if (!function_metrics_configure(a.self(), a)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Record properties: one getter/setter pair per native field. Setters convert, never validate.

template <class T>
bool convert_field(PyObject* value, T& out) {
    if constexpr (std::is_same_v<T, int32_t>) {
        return qn::to_i32(value, out);
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return qn::to_u32(value, out);
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        return qn::to_u64(value, out);
    } else {
        static_assert(std::is_same_v<T, double>);
        return qn::to_double(value, out);
    }
}

template <class Fields, class T, T Fields::* Field>
PyObject* get_field(PyObject* self, void*) {
    const T v = fields<Fields>(self).*Field;
    if constexpr (std::is_same_v<T, double>) {
        return PyFloat_FromDouble(v);
    } else if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(static_cast<long long>(v));
    } else {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
    }
}

template <class Fields, class T, T Fields::* Field>
int set_field(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    T v{};
    if (!convert_field(value, v)) return -1;
    fields<Fields>(self).*Field = v;
    return 0;
}

#define QN_FIELD_PROP(Fields, name, field, doc)                        \
    {name, get_field<Fields, decltype(Fields::field), &Fields::field>, \
     set_field<Fields, decltype(Fields::field), &Fields::field>, doc, nullptr}

PyGetSetDef policy_config_getset[] = {
    QN_FIELD_PROP(core::PolicyParams, "initial_threshold", initial_threshold, nullptr),
    QN_FIELD_PROP(core::PolicyParams, "min_threshold", min_threshold, nullptr),
    QN_FIELD_PROP(core::PolicyParams, "max_threshold", max_threshold, nullptr),
    QN_FIELD_PROP(core::PolicyParams, "learning_rate", learning_rate, nullptr),
    QN_FIELD_PROP(core::PolicyParams, "target_speedup", target_speedup, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef function_metrics_getset[] = {
    QN_FIELD_PROP(core::MetricsFigures, "call_count", call_count, nullptr),
    QN_FIELD_PROP(core::MetricsFigures, "compile_count", compile_count, nullptr),
    QN_FIELD_PROP(core::MetricsFigures, "avg_speedup", avg_speedup, nullptr),
    QN_FIELD_PROP(core::MetricsFigures, "total_execution_time_ms", total_execution_time_ms, nullptr),
    QN_FIELD_PROP(core::MetricsFigures, "last_compiled", last_compile_time,
                  "Timestamp of last compilation (matches TelemetryStore interface)."),
    QN_FIELD_PROP(core::MetricsFigures, "last_compile_time", last_compile_time,
                  "Alias for last_compiled for backward compatibility."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QN_FIELD_PROP

// ---------------------------------------------------------------------------------------------
// CompileGate

// Everything a gate's calls work on. __init__ replaces it as a whole, so a call holds the one it
// started with (a counted reference, below) until it returns: the lock it entered, the owner record
// that goes with that lock, the dictionary and the configuration it reads all stay alive and
// belong together even when another thread re-initialises the gate meanwhile.
struct GateState : qn::Shared<GateState> {
    PyObject* config = nullptr;        // PolicyConfig (or subclass), shared with the caller
    PyObject* thresholds = nullptr;    // dict: str / None -> int
    qn::Lock<qn::Sections::any> lock;  // serialises the gate's methods (their sections run Python code)
    // The entry of `thresholds` read or written last, so that a driver asking about the same
    // function again (the same identifier object) skips the dictionary lookup. Kept under `lock`;
    // `memo_value` is null for "no entry".
    PyObject* memo_key = nullptr;    // owned str or None, or null when empty
    PyObject* memo_value = nullptr;  // owned int, or null
    int32_t memo_threshold = 0;

    // The last reference gone: releases the objects (which may run their finalizers: never with a
    // native lock held).
    static void destroy(GateState* c);
};

void memo_forget(GateState* c) {
    Py_CLEAR(c->memo_key);
    Py_CLEAR(c->memo_value);
}

void GateState::destroy(GateState* c) {
    memo_forget(c);
    Py_CLEAR(c->config);
    Py_CLEAR(c->thresholds);
    c->lock.dispose();
    delete c;
}

// A counted reference to a gate's state, held by a call for its whole duration.
using StateRef = qn::Held<GateState>;

struct CompileGateObject {
    PyObject_HEAD
    GateState* state;  // owned reference; null only after tp_clear
    double recompile_interval;
    bool initialised;
};

PyTypeObject CompileGateType{};
PyObject* compile_gate_init_fn = nullptr;

inline CompileGateObject* as_gate(PyObject* o) { return reinterpret_cast<CompileGateObject*>(o); }

int compile_gate_traverse(PyObject* o, visitproc visit, void* arg) {
    GateState* c = as_gate(o)->state;
    if (c != nullptr) {
        Py_VISIT(c->config);
        Py_VISIT(c->thresholds);
        return c->lock.traverse(visit, arg);
    }
    return 0;
}

int compile_gate_clear(PyObject* o) {
    CompileGateObject* g = as_gate(o);
    GateState* c = g->state;
    g->state = nullptr;
    if (c != nullptr) qn::release(c);
    return 0;
}

void compile_gate_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    Py_TRASHCAN_BEGIN(o, compile_gate_dealloc)
        compile_gate_clear(o);
        Py_TYPE(o)->tp_free(o);
    Py_TRASHCAN_END
}

// A fresh state for `config` (taken over), its lock made after `threading.Lock` as the module sees
// it now; nullptr with an exception set.
GateState* new_state(PyObject* config) {
    qn::Ref hold = qn::Ref::steal(config);
    if (!hold) return nullptr;
    qn::Ref thresholds = qn::Ref::steal(PyDict_New());
    if (!thresholds) return nullptr;
    GateState* c = new (std::nothrow) GateState;
    if (c == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    c->config = hold.release();
    c->thresholds = thresholds.release();
    if (!qn::make_lock(c->lock, gate_locks)) {
        qn::release(c);
        return nullptr;
    }
    return c;
}

// A fresh gate already holds a working default state, so that a subclass whose __init__ does
// not chain up still has a usable object.
// Making its lock may run Python code (a substituted factory): the collector does not see the
// gate until it is complete.
PyObject* compile_gate_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        CompileGateObject* g = as_gate(self);
        g->recompile_interval = core::kRecompileInterval;
        g->initialised = false;
        g->state = new_state(policy_config_make_default());
        return g->state != nullptr;
    });
}

// getattr(obj, name, default).
PyObject* attr_or(PyObject* obj, PyObject* name, PyObject* dflt) {
    PyObject* v;
    const int found = PyObject_GetOptionalAttr(obj, name, &v);
    if (found < 0) return nullptr;
    return found ? v : qn::newref(dflt);
}

// The configuration a gate uses for the constructor's `config` argument (new reference).
PyObject* resolve_config(PyObject* config) {
    if (config == Py_None) return policy_config_make_default();
    if (is_config(config)) return qn::newref(config);
    // The five attributes, read in this order, each with its default, into the constructor's places.
    struct Field {
        PyObject* name;
        PyObject* dflt;
        std::size_t at;
    };
    const Field fields[] = {{N.initial_threshold, K.policy_defaults[0], PolicyValues::index<"initial_threshold">},
                            {N.min_threshold, K.policy_defaults[1], PolicyValues::index<"min_threshold">},
                            {N.max_threshold, K.policy_defaults[2], PolicyValues::index<"max_threshold">},
                            {N.learning_rate, K.policy_defaults[3], PolicyValues::index<"learning_rate">},
                            {N.target_speedup, K.policy_defaults[4], PolicyValues::index<"target_speedup">}};
    static_assert(std::size(fields) == PolicyValues::table.size);
    qn::Ref held[std::size(fields)];
    PyObject* values[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        held[i] = qn::Ref::steal(attr_or(config, fields[i].name, fields[i].dflt));
        if (!held[i]) return nullptr;
        values[fields[i].at] = held[i].get();
    }
    return policy_config_make(PolicyValues(values));
}

constexpr auto kCompileGateInit = qn::params(qn::opt("config", nullptr, qn::none_default));

PyObject* compile_gate_init(qn::MethodArgs<kCompileGateInit> a) {
    CompileGateObject* g = a.self<CompileGateObject>();
    qn::Ref config = qn::Ref::steal(resolve_config(a.get<"config">()));
    if (!config) return nullptr;
    GateState* c = g->state;
    if (!g->initialised && c != nullptr && c->only_reference()) {
        // The first initialisation of a gate that no call is using: keep the dictionary and the
        // lock made with it and take the configuration.
        PyObject* old = c->config;
        c->config = config.release();
        g->initialised = true;
        Py_DECREF(old);
        Py_RETURN_NONE;
    }
    // Initialising again starts over with no learned thresholds and a lock of its own; calls still
    // running on the old state keep it until they return. Making the lock may run Python code (a
    // rebound threading.Lock), during which another thread may initialise the gate too: the state
    // replaced is the one current after that.
    GateState* fresh = new_state(config.release());
    if (fresh == nullptr) return nullptr;
    c = g->state;
    g->state = fresh;
    g->recompile_interval = core::kRecompileInterval;
    g->initialised = true;
    if (c != nullptr) qn::release(c);
    Py_RETURN_NONE;
}

PyObject* make_default_gate() {
    qn::Ref gate = qn::Ref::steal(compile_gate_new(&CompileGateType, nullptr, nullptr));
    if (!gate) return nullptr;
    as_gate(gate.get())->initialised = true;
    return gate.release();
}

// Holds the gate's current state for the call.
bool hold_state(PyObject* self, StateRef& out) {
    GateState* c = as_gate(self)->state;
    if (c == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "CompileGate is not initialised");
        return false;
    }
    out.hold(c);
    return true;
}

// Remembers `value` (null: no entry) as the entry of `func_id`. Caller holds the state's lock. The
// references are plain str / None / int: releasing the old ones runs no Python code.
void memo_remember(GateState* c, PyObject* func_id, PyObject* value, int32_t threshold) {
    Py_INCREF(func_id);
    Py_XINCREF(value);
    memo_forget(c);
    c->memo_key = func_id;
    c->memo_value = value;
    c->memo_threshold = threshold;
}

// The entry of `func_id` in the thresholds: `value` is the stored int (borrowed, null when there is
// none) and `threshold` its native value. Caller holds the state's lock.
bool lookup_threshold(GateState* c, PyObject* func_id, PyObject*& value, int32_t& threshold) {
    if (func_id == c->memo_key) {
        value = c->memo_value;
        threshold = c->memo_threshold;
        return true;
    }
    PyObject* v = PyDict_GetItemWithError(c->thresholds, func_id);
    int32_t t = 0;
    if (v == nullptr ? PyErr_Occurred() != nullptr : !qn::to_i32(v, t)) return false;
    value = v;
    threshold = t;
    memo_remember(c, func_id, v, t);
    return true;
}

// Whether the entry of `func_id` is known to hold `value` already (the entry read or written last).
// Caller holds the state's lock.
inline bool entry_holds(const GateState* c, PyObject* func_id, int32_t value) {
    return func_id == c->memo_key && c->memo_value != nullptr && c->memo_threshold == value;
}

// The learned threshold of `func_id`, or the configuration's initial threshold read from its
// native field. Caller holds the state's lock.
bool threshold_fast(GateState* c, PyObject* func_id, int32_t& out) {
    PyObject* v;
    int32_t t;
    if (!lookup_threshold(c, func_id, v, t)) return false;
    out = v != nullptr ? t : config_fields(c->config).initial_threshold;
    return true;
}

// The three hot methods are flattened ([[gnu::flatten]]): everything they call that the compiler can
// see is inlined into them, so how each compiler weighs the lock guard, the reference holders and
// the helpers below against its inlining budget does not decide their cost.
//
// Runs `body` inside a section of the gate's lock. `body` returns false with an exception set when it
// fails; the section is then left as a `with` block left by that exception. False, with an
// exception set, also when the section could not be entered or left.
template <class Body>
bool in_gate_section(GateState* c, const char* what, Body&& body) {
    qn::Section guard(c->lock, what);
    if (!guard || !body()) return false;
    return guard.unlock();
}

// The start of every method that takes a function identifier: the identifier must be exactly a str
// or None (checked before anything else happens); then the gate's current state is held.
template <class Args>
bool begin_call(const Args& a, PyObject*& func_id, StateRef& c) {
    return a.template str<"func_id">(func_id) && hold_state(a.self(), c);
}

PyObject* call_get_metrics(PyObject* store, PyObject* func_id) {
    PyObject* argv[2] = {store, func_id};
    return PyObject_VectorcallMethod(N.get_metrics, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

template <class T, bool (*Conv)(PyObject*, T&)>
bool read_attr(PyObject* obj, PyObject* name, T& out) {
    qn::Ref v = qn::Ref::steal(PyObject_GetAttr(obj, name));
    return v && Conv(v.get(), out);
}

// time.time() with `time` looked up in the module namespace at call time. While both the
// module's `time` and that module's `time` function are the originals, the clock is read directly;
// a rebound module or function is called like any other.
bool current_time(double& out) {
    const int standard = std_clock.is_standard();
    if (standard < 0) return false;
    if (standard) {
        out = core::system_clock_seconds();
        return true;
    }
    qn::Ref time_mod = qn::Ref::steal(qn::lookup_global(module_dict, N.time));
    if (!time_mod) return false;
    qn::Ref now = qn::Ref::steal(PyObject_CallMethodNoArgs(time_mod.get(), N.time));
    return now && qn::to_double(now.get(), out);
}

constexpr auto kCompileGateGetThreshold = qn::params(qn::arg("func_id"));

[[gnu::flatten]] PyObject* compile_gate_get_threshold(qn::MethodArgs<kCompileGateGetThreshold> a) {
    PyObject* func_id;
    StateRef c;
    if (!begin_call(a, func_id, c)) return nullptr;
    qn::Ref result;
    const bool done = in_gate_section(c.get(), "CompileGate.get_threshold", [&] {
        PyObject* v;
        int32_t t;
        if (!lookup_threshold(c.get(), func_id, v, t)) return false;
        if (v != nullptr) {
            result = qn::Ref::borrow(v);
        } else if (Py_IS_TYPE(c->config, &PolicyConfigType)) {
            // The exact type's property is the field itself.
            result = qn::Ref::steal(PyLong_FromLong(config_fields(c->config).initial_threshold));
        } else {
            result = qn::Ref::steal(PyObject_GetAttr(c->config, N.initial_threshold));
        }
        return static_cast<bool>(result);
    });
    return done ? result.release() : nullptr;
}

constexpr auto kCompileGateShouldCompile = qn::params(qn::arg("func_id"), qn::arg("telemetry_store"));

[[gnu::flatten]] PyObject* compile_gate_should_compile(qn::MethodArgs<kCompileGateShouldCompile> a) {
    PyObject* func_id;
    PyObject* store = a.get<"telemetry_store">();
    StateRef c;
    if (!begin_call(a, func_id, c)) return nullptr;
    double now = 0.0;
    if (!current_time(now)) return nullptr;
    int32_t threshold = 0;
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 0.0, last_compiled = 0.0;
    qn::Ref metrics;
    const bool read = in_gate_section(c.get(), "CompileGate.should_compile", [&] {
        if (!threshold_fast(c.get(), func_id, threshold)) return false;
        metrics = qn::Ref::steal(call_get_metrics(store, func_id));
        if (!metrics) return false;
        PyObject* m = metrics.get();
        if (Py_IS_TYPE(m, &FunctionMetricsType)) {
            const core::MetricsFigures& fm = metrics_fields(m);
            call_count = fm.call_count;
            compile_count = fm.compile_count;
            avg_speedup = fm.avg_speedup;
            last_compiled = fm.last_compile_time;
            return true;
        }
        if (!read_attr<uint64_t, qn::to_u64>(m, N.call_count, call_count) ||
            !read_attr<uint32_t, qn::to_u32>(m, N.compile_count, compile_count) ||
            !read_attr<double, qn::to_double>(m, N.avg_speedup, avg_speedup))
            return false;
        qn::Ref last = qn::Ref::steal(attr_or(m, N.last_compiled, K.float_zero));
        return last && qn::to_double(last.get(), last_compiled);
    });
    if (!read) return nullptr;
    (void)avg_speedup;  // read for the record's sake; it does not change the decision
    return qn::boolean(core::decide_compile(threshold, call_count, compile_count, last_compiled, now,
                                            a.self<CompileGateObject>()->recompile_interval));
}

// Whether `fn` is logging's own Logger.isEnabledFor (false with an exception on a failed read).
bool is_stdlib_is_enabled_for(PyObject* fn) {
    if (!PyFunction_Check(fn)) return false;
    qn::Ref module = qn::Ref::steal(PyObject_GetAttrString(fn, "__module__"));
    qn::Ref qualname = module ? qn::Ref::steal(PyObject_GetAttrString(fn, "__qualname__")) : qn::Ref();
    if (!qualname) return false;
    return PyUnicode_Check(module.get()) && PyUnicode_Check(qualname.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "logging") == 0 &&
           PyUnicode_CompareWithASCIIString(qualname.get(), "Logger.isEnabledFor") == 0;
}

// logger.isEnabledFor(DEBUG) for a logger of the standard Logger class: 1 or 0, or -1 with an
// exception. While the class's isEnabledFor is the standard method, the answer is read where that
// method reads it: false for a disabled logger, else the logger's own per-level cache; the method
// itself is called only when the cache holds no plain answer (the first call after the logging
// configuration changed, which fills it) or when the class's method was replaced.
// The method reads that way in the logging module of CPython 3.11 to 3.15 (each one checked); a
// later version calls the method until its logging module has been checked as well.
constexpr bool kKnownLoggingCache = PY_VERSION_HEX < 0x03100000;

int debug_enabled(PyObject* logger) {
    qn::Ref method = qn::Ref::steal(qn::compat::type_lookup(Py_TYPE(logger), N.isEnabledFor));
    if (!method && PyErr_Occurred()) return -1;
    if (kKnownLoggingCache && method && method.get() == std_is_enabled_for) {
        qn::Ref disabled = qn::Ref::steal(PyObject_GetAttr(logger, N.disabled));
        if (!disabled) return -1;
        const int off = PyObject_IsTrue(disabled.get());
        if (off != 0) return off < 0 ? -1 : 0;
        PyObject* cache = nullptr;
        if (PyObject_GetOptionalAttr(logger, N._cache, &cache) < 0) return -1;
        qn::Ref hold = qn::Ref::steal(cache);
        if (cache != nullptr && PyDict_CheckExact(cache)) {
            PyObject* answer = PyDict_GetItemWithError(cache, K.debug_level);  // borrowed: only compared
            if (answer == Py_True) return 1;
            if (answer == Py_False) return 0;
            if (answer == nullptr && PyErr_Occurred()) return -1;
        }
    }
    qn::Ref enabled = qn::Ref::steal(PyObject_CallMethodOneArg(logger, N.isEnabledFor, K.debug_level));
    return enabled ? PyObject_IsTrue(enabled.get()) : -1;
}

// logger.debug(text) on the module's `logger`, looked up at call time. A real Logger is asked
// isEnabledFor(DEBUG) first so that the line is only formatted when it will be emitted.
int log_update(PyObject* func_id, int32_t old_value, int32_t new_value, double speedup) {
    qn::Ref logger = qn::Ref::steal(qn::lookup_global(module_dict, N.logger));
    if (!logger) return -1;
    if (logger_class != nullptr && Py_IS_TYPE(logger.get(), reinterpret_cast<PyTypeObject*>(logger_class))) {
        const int on = debug_enabled(logger.get());
        if (on <= 0) return on;
    }
    char* digits = PyOS_double_to_string(speedup, 'f', 2, 0, nullptr);
    if (digits == nullptr) return -1;
    qn::Ref text =
        qn::Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)", func_id,
                                            static_cast<int>(old_value), static_cast<int>(new_value), digits));
    PyMem_Free(digits);
    if (!text) return -1;
    qn::Ref r = qn::Ref::steal(PyObject_CallMethodOneArg(logger.get(), N.debug, text.get()));
    return r ? 0 : -1;
}

constexpr auto kCompileGateUpdate = qn::params(qn::arg("func_id"), qn::arg("telemetry_store"));

[[gnu::flatten]] PyObject* compile_gate_update(qn::MethodArgs<kCompileGateUpdate> a) {
    PyObject* func_id;
    PyObject* store = a.get<"telemetry_store">();
    StateRef c;
    if (!begin_call(a, func_id, c)) return nullptr;
    int32_t old_value = 0, new_value = 0;
    double avg_speedup = 0.0;
    qn::Ref metrics, count_obj, stored_value;
    bool compiled = true;  // false: no compilation yet, nothing to do
    const bool done = in_gate_section(c.get(), "CompileGate.update", [&] {
        metrics = qn::Ref::steal(call_get_metrics(store, func_id));
        if (!metrics) return false;
        PyObject* m = metrics.get();
        uint32_t compile_count = 0;
        if (Py_IS_TYPE(m, &FunctionMetricsType)) {
            const core::MetricsFigures& fm = metrics_fields(m);
            if (fm.compile_count == 0) {
                compiled = false;
                return true;
            }
            if (!threshold_fast(c.get(), func_id, old_value)) return false;
            compile_count = fm.compile_count;
            avg_speedup = fm.avg_speedup;
        } else {
            count_obj = qn::Ref::steal(PyObject_GetAttr(m, N.compile_count));
            if (!count_obj) return false;
            const int is_zero = PyObject_RichCompareBool(count_obj.get(), K.int_zero, Py_EQ);
            if (is_zero < 0) return false;
            if (is_zero) {
                compiled = false;
                return true;
            }
            if (!threshold_fast(c.get(), func_id, old_value) ||
                !read_attr<uint32_t, qn::to_u32>(m, N.compile_count, compile_count) ||
                !read_attr<double, qn::to_double>(m, N.avg_speedup, avg_speedup))
                return false;
        }
        new_value = core::next_threshold(old_value, compile_count, avg_speedup, config_fields(c->config));
        // The table is the gate's own (nothing outside reads it): an entry that already holds this
        // value stays as it is, which is what storing the value again would leave.
        if (entry_holds(c.get(), func_id, new_value)) return true;
        stored_value = qn::Ref::steal(PyLong_FromLong(new_value));
        if (!stored_value || PyDict_SetItem(c->thresholds, func_id, stored_value.get()) < 0) return false;
        memo_remember(c.get(), func_id, stored_value.get(), new_value);
        return true;
    });
    if (!done) return nullptr;
    if (!compiled) Py_RETURN_NONE;
    if (log_update(func_id, old_value, new_value, avg_speedup) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Count, mean, minimum and maximum of the learned thresholds. Caller holds the state's lock.
PyObject* learned_stats(PyObject* thresholds) {
    const Py_ssize_t n = PyDict_GET_SIZE(thresholds);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    core::ThresholdSummary summary;
    while (PyDict_Next(thresholds, &pos, &key, &value)) {
        const long long v = PyLong_AsLongLong(value);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        summary.add(v);
    }
    qn::Ref avg;
    double mean;
    if (summary.mean(&mean)) {
        avg = qn::Ref::steal(PyFloat_FromDouble(mean));
    } else {
        // Too large for a correctly rounded double quotient: divide exact integers.
        qn::Ref total = qn::Ref::borrow(K.int_zero);
        pos = 0;
        while (total && PyDict_Next(thresholds, &pos, &key, &value)) {
            total = qn::Ref::steal(PyNumber_Add(total.get(), value));
        }
        qn::Ref count = qn::Ref::steal(PyLong_FromSsize_t(n));
        if (!total || !count) return nullptr;
        avg = qn::Ref::steal(PyNumber_TrueDivide(total.get(), count.get()));
    }
    return stats_keys.make(
        {PyLong_FromSsize_t(n), avg.release(), PyLong_FromLongLong(summary.min()), PyLong_FromLongLong(summary.max())});
}

// The statistics of a gate with nothing learned: the configuration's values.
PyObject* configured_stats(PyObject* config) {
    if (Py_IS_TYPE(config, &PolicyConfigType)) {
        const core::PolicyParams& c = config_fields(config);
        return stats_keys.make({qn::newref(K.int_zero), PyLong_FromLong(c.initial_threshold),
                                PyLong_FromLong(c.min_threshold), PyLong_FromLong(c.max_threshold)});
    }
    qn::Ref ini = qn::Ref::steal(PyObject_GetAttr(config, N.initial_threshold));
    qn::Ref lo = ini ? qn::Ref::steal(PyObject_GetAttr(config, N.min_threshold)) : qn::Ref();
    qn::Ref hi = lo ? qn::Ref::steal(PyObject_GetAttr(config, N.max_threshold)) : qn::Ref();
    if (!hi) return nullptr;
    return stats_keys.make({qn::newref(K.int_zero), ini.release(), lo.release(), hi.release()});
}

PyObject* compile_gate_get_statistics(qn::MethodArgs<qn::no_params> a) {
    StateRef c;
    if (!hold_state(a.self(), c)) return nullptr;
    qn::Ref result;
    const bool done = in_gate_section(c.get(), "CompileGate.get_statistics", [&] {
        result = qn::Ref::steal(PyDict_GET_SIZE(c->thresholds) > 0 ? learned_stats(c->thresholds)
                                                                   : configured_stats(c->config));
        return static_cast<bool>(result);
    });
    return done ? result.release() : nullptr;
}

PyObject* compile_gate_config(PyObject* self, void*) {
    GateState* c = as_gate(self)->state;
    return qn::newref(c != nullptr ? c->config : Py_None);
}

PyGetSetDef compile_gate_getset[] = {
    {"config", compile_gate_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// The process-wide gate

// This thread is inside a `_policy_lock` section from before the lock is entered until after it
// is left, so that a call reaching get_compile_gate / reset_compile_gate again on this thread (a
// finalizer run while the gate is created, a rebound lock's own methods) is refused instead of
// waiting for itself. Other threads are not affected: they wait on the lock.
struct PolicyLockTag;
using PolicySection = core::ThreadMark<PolicyLockTag>;

// Runs `body` inside the section guarded by the lock bound to the module's `_policy_lock` (looked
// up now), entered as `with` enters it. `body` reports an error by leaving an exception set, which
// the lock's __exit__ then sees. Returns 0, +1 when a rebound lock's __exit__ swallowed the error,
// or -1 with an exception set.
template <class Body>
int with_policy_lock(const char* what, Body&& body) {
    PolicySection section;
    if (!section.enter()) {
        qn::reentry_error(what);
        return -1;
    }
    qn::Ref lock = qn::Ref::steal(qn::lookup_global(module_dict, N._policy_lock));
    if (!lock) return -1;
    qn::WithBlock block(lock.get());
    if (!block) return -1;
    body();
    return block.leave();
}

PyObject* get_compile_gate(qn::Args<qn::no_params>) {
    qn::Ref result;
    const int done = with_policy_lock("get_compile_gate", [&] {
        if (gate_instance == Py_None) {
            PyObject* gate = make_default_gate();
            if (gate == nullptr) return;
            PyObject* old = gate_instance;
            gate_instance = gate;
            Py_DECREF(old);  // None
        }
        result = qn::Ref::borrow(gate_instance);
    });
    if (done < 0) return nullptr;
    if (done > 0) Py_RETURN_NONE;  // as `with` would go on after a swallowed error
    return result.release();
}

PyObject* reset_compile_gate(qn::Args<qn::no_params>) {
    qn::Ref old;  // the old gate is dropped only after the section is over
    const int done = with_policy_lock("reset_compile_gate", [&] {
        old = qn::Ref::steal(gate_instance);
        gate_instance = qn::newref(Py_None);
    });
    if (done < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Factories

// A factory's `int` parameter: the argument itself when an exact int, int() of another number
// (TypeError naming the parameter otherwise).
template <qn::Name P, class Args>
bool int_param(const Args& a, qn::Ref& out) {
    out = qn::Ref::steal(qn::arg_int(a.template get<P>(), Args::table.at[Args::template index<P>].name));
    return static_cast<bool>(out);
}

// A factory's `float` parameter: converted to a float before the record sees it.
template <qn::Name P, class Args>
bool float_param(const Args& a, qn::Ref& out) {
    double d;
    if (!a.template get<P>(d)) return false;
    out = qn::Ref::steal(PyFloat_FromDouble(d));
    return static_cast<bool>(out);
}

constexpr auto kCreatePolicyConfig = qn::params(qn::opt("initial_threshold", "int", kPolicy.initial_threshold),
                                                qn::opt("min_threshold", "int", kPolicy.min_threshold),
                                                qn::opt("max_threshold", "int", kPolicy.max_threshold),
                                                qn::opt("learning_rate", "float", kPolicy.learning_rate),
                                                qn::opt("target_speedup", "float", kPolicy.target_speedup));

PyObject* create_policy_config(qn::Args<kCreatePolicyConfig> a) {
    qn::Ref ini, lo, hi, rate, target;
    if (!int_param<"initial_threshold">(a, ini) || !int_param<"min_threshold">(a, lo) ||
        !int_param<"max_threshold">(a, hi) || !float_param<"learning_rate">(a, rate) ||
        !float_param<"target_speedup">(a, target))
        return nullptr;
    PyObject* values[PolicyValues::table.size];
    values[PolicyValues::index<"initial_threshold">] = ini.get();
    values[PolicyValues::index<"min_threshold">] = lo.get();
    values[PolicyValues::index<"max_threshold">] = hi.get();
    values[PolicyValues::index<"learning_rate">] = rate.get();
    values[PolicyValues::index<"target_speedup">] = target.get();
    return policy_config_make(PolicyValues(values));
}

constexpr auto kCreateFunctionMetrics = qn::params(
    qn::opt("call_count", "int", kMetrics.call_count), qn::opt("compile_count", "int", kMetrics.compile_count),
    qn::opt("avg_speedup", "float", kMetrics.avg_speedup),
    qn::opt("total_execution_time_ms", "float", kMetrics.total_execution_time_ms),
    qn::opt("last_compile_time", "float", kMetrics.last_compile_time));

PyObject* create_function_metrics(qn::Args<kCreateFunctionMetrics> a) {
    qn::Ref calls, compiles, speedup, total, last;
    if (!int_param<"call_count">(a, calls) || !int_param<"compile_count">(a, compiles) ||
        !float_param<"avg_speedup">(a, speedup) || !float_param<"total_execution_time_ms">(a, total) ||
        !float_param<"last_compile_time">(a, last))
        return nullptr;
    qn::Ref self = qn::Ref::steal(function_metrics_new(&FunctionMetricsType, nullptr, nullptr));
    PyObject* values[MetricsValues::table.size];
    values[MetricsValues::index<"call_count">] = calls.get();
    values[MetricsValues::index<"compile_count">] = compiles.get();
    values[MetricsValues::index<"avg_speedup">] = speedup.get();
    values[MetricsValues::index<"total_execution_time_ms">] = total.get();
    values[MetricsValues::index<"last_compile_time">] = last.get();
    values[MetricsValues::index<"last_compiled">] = K.last_compiled_absent;  // the factory has no alias
    if (!self || !function_metrics_configure(self.get(), MetricsValues(values))) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// Setup

// The restore entry point refuses as __reduce__ does (qn::type_ready installs that one).
constexpr auto kSetState = qn::params(qn::arg("state"));

PyObject* refuse_setstate(qn::MethodArgs<kSetState>) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

// The slots of a record type: plain (uncollected) instances whose calls on the type itself parse
// straight into the initialiser.
template <PyObject** InitFn>
void record_slots(PyTypeObject& t, newfunc tp_new, PyGetSetDef* getset) {
    t.tp_new = tp_new;
    t.tp_init = qn::init_via<InitFn>;
    t.tp_vectorcall = record_vectorcall<InitFn>;
    t.tp_getset = getset;
}

void types_setup() {
    qn::type_init(PolicyConfigType, "quarvel.jit.compile_gate.PolicyConfig", sizeof(PolicyConfigObject),
                  "Configuration for compile gate.");
    record_slots<&policy_config_init_fn>(PolicyConfigType, policy_config_new, policy_config_getset);
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
    record_slots<&function_metrics_init_fn>(FunctionMetricsType, function_metrics_new, function_metrics_getset);
    qn::gc_type_init(CompileGateType, "quarvel.jit.compile_gate.CompileGate", sizeof(CompileGateObject),
                     "Compile policy with a learned call-count threshold per function.",
                     {compile_gate_new, qn::init_via<&compile_gate_init_fn>, compile_gate_dealloc,
                      compile_gate_traverse, compile_gate_clear});
    CompileGateType.tp_getset = compile_gate_getset;
}

int methods_install() {
    policy_config_init_fn = qn::add_method<policy_config_init>(&PolicyConfigType, "__init__");
    function_metrics_init_fn = qn::add_method<function_metrics_init>(&FunctionMetricsType, "__init__");
    compile_gate_init_fn = qn::add_method<compile_gate_init>(&CompileGateType, "__init__");
    if (policy_config_init_fn == nullptr || function_metrics_init_fn == nullptr || compile_gate_init_fn == nullptr)
        return -1;
    PyTypeObject* g = &CompileGateType;
    if (!qn::add_method<compile_gate_should_compile>(
            g, "should_compile", "bool",
            "Decide whether the function should be compiled now.\n\n"
            "Allows recompilation once the function reaches its current threshold and either\n"
            "was never compiled or enough time has passed since its last compilation. All\n"
            "state reads happen within the lock.") ||
        !qn::add_method<compile_gate_get_threshold>(g, "get_threshold", "int",
                                                    "Get the current threshold for a function (the call count at "
                                                    "which it is\ncompiled).") ||
        !qn::add_method<compile_gate_update>(g, "update", nullptr,
                                             "Update the policy from the outcome of a compilation.\n\n"
                                             "All reads and writes happen within a single lock.") ||
        !qn::add_method<compile_gate_get_statistics>(g, "get_statistics", "Dict", "Get policy statistics."))
        return -1;
    for (PyTypeObject* t : {&PolicyConfigType, &FunctionMetricsType, &CompileGateType}) {
        if (!qn::add_method<refuse_setstate>(t, "__setstate__")) return -1;
    }
    return 0;
}

int add_functions(PyObject* m) {
    const bool ok =
        qn::add_function<get_compile_gate>(m, "get_compile_gate", "CompileGate",
                                           "Get the process-wide compile gate.\n\n"
                                           "Always acquires the lock before checking or creating the single "
                                           "instance.") &&
        qn::add_function<reset_compile_gate>(m, "reset_compile_gate", nullptr,
                                             "Reset the process-wide compile gate.") &&
        qn::add_function<create_function_metrics>(m, "create_function_metrics", "FunctionMetrics",
                                                  "Factory function to create FunctionMetrics.\n\n"
                                                  "Provides a Python-friendly interface for creating metrics "
                                                  "objects.") &&
        qn::add_function<create_policy_config>(m, "create_policy_config", "PolicyConfig",
                                               "Factory function to create PolicyConfig.\n\n"
                                               "Provides a Python-friendly interface for creating config objects.");
    return ok ? 0 : -1;
}

// Replaces a module-state pointer (a retried initialisation sets it again).
void set_state(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    slot = value;
    Py_XDECREF(old);
}

int exec_compile_gate(PyObject* m) {
    if (make_constants() < 0 || (stats_keys.size() == 0 && stats_keys.setup({"tracked_functions", "avg_threshold",
                                                                             "min_threshold", "max_threshold"}) < 0))
        return -1;
    types_setup();
    // 1. The three classes.
    if (qn::type_ready(m, PolicyConfigType) < 0 || qn::type_ready(m, FunctionMetricsType) < 0 ||
        qn::type_ready(m, CompileGateType) < 0)
        return -1;
    PyObject* ns = PyModule_GetDict(m);
    if (ns == nullptr) return -1;
    set_state(module_dict, qn::newref(ns));
    // 2. Standard modules.
    if (qn::import_into(m, "time") < 0 || qn::import_into(m, "logging") < 0 || qn::import_into(m, "threading") < 0 ||
        qn::import_from(m, "typing", {"Dict", "Optional"}) < 0)
        return -1;
    if (std_clock.setup(module_dict, "time", "time") < 0 || gate_locks.setup(module_dict) < 0) return -1;
    if (methods_install() < 0) return -1;
    {
        qn::Ref logging = qn::Ref::steal(PyImport_ImportModule("logging"));
        qn::Ref cls = logging ? qn::Ref::steal(PyObject_GetAttrString(logging.get(), "Logger")) : qn::Ref();
        if (!cls) return -1;
        qn::Ref method =
            cls && PyType_Check(cls.get())
                ? qn::Ref::steal(qn::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), N.isEnabledFor))
                : qn::Ref();
        if (!method && PyErr_Occurred()) return -1;
        // Only the standard library's own method (not one that replaced it before this import) is
        // read around.
        if (method && !is_stdlib_is_enabled_for(method.get())) {
            if (PyErr_Occurred()) return -1;
            method = qn::Ref();
        }
        set_state(std_is_enabled_for, method.release());
        set_state(logger_class, PyType_Check(cls.get()) ? cls.release() : nullptr);
    }
    // 3. Logger, the instance lock and the instance slot.
    PyObject* logger = qn::make_logger(m);
    if (logger == nullptr) return -1;
    if (qn::bind(m, "_policy_lock", qn::new_lock()) < 0) return -1;
    set_state(gate_instance, qn::newref(Py_None));
    // 4. Functions.
    if (add_functions(m) < 0) return -1;
    return qn::log(logger, "info", "Quarvel Compile Gate Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(compile_gate, "Compile policy: per-function learned thresholds deciding when to compile.", exec_compile_gate)
