// quarvel.plugins.analyzer.pool_planner: the decision core of the adaptive orchestrator, as
// stateless module functions over the histories and figures the orchestrator keeps.
//
// The arithmetic lives in pool_planner_core.hpp; this file reads the Python arguments, walks the
// histories and builds the results. Nothing keeps state beyond the constant answers built at load,
// no lock is taken and the interpreter lock is never released (every call is short).
//
// History entries are read the way `a, b = entry` and float() read them, so odd entries (lists,
// iterators, objects with __float__) work and malformed ones fail with the interpreter's own
// errors. Such entries can run Python code in the middle of a walk, which may even change the list
// being walked: every walk re-reads the list's length and holds its own reference to the entry in
// hand.
#include "native/qn.hpp"

#include "pool_planner_core.hpp"

#include <cstdint>
#include <cstring>
#include <new>

namespace core = quarvel::pool_planner;

namespace {

// Constant answers, made once at load (the module initialises once per process, so plain statics
// own them for its lifetime).
PyObject* g_no_change = nullptr;        // (False, 0.0, 0.0, 0.0)
PyObject* g_empty_prediction = nullptr;  // (0, 0, 0.0)
PyObject* g_mixed = nullptr;            // "mixed"
PyObject* g_profile_keys[core::kProfileKeys] = {};

PyObject* list_index_error() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Reading history entries

// `first, second = entry` followed by float() of both (in that order), with the interpreter's
// messages. `entry` is borrowed and must stay alive for the call (the caller holds it).
bool unpack_pair_slow(PyObject* entry, double& first, double& second) {
    qn::Ref a, b;
    return qn::unpack2(entry, a, b) && qn::to_double(a.get(), first) && qn::to_double(b.get(), second);
}

// The common entry, a tuple of two floats, is read without touching reference counts: nothing in
// that path can run Python code.
inline bool unpack_pair(PyObject* entry, double& first, double& second) {
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
        PyObject* a = PyTuple_GET_ITEM(entry, 0);
        PyObject* b = PyTuple_GET_ITEM(entry, 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
            first = PyFloat_AS_DOUBLE(a);
            second = PyFloat_AS_DOUBLE(b);
            return true;
        }
    }
    qn::Ref hold = qn::Ref::borrow(entry);
    return unpack_pair_slow(entry, first, second);
}

// Walks every entry of `list` in order (as `for entry in list`), unpacking each into two floats
// handed to `sink`.
template <class Sink>
bool walk_pairs(PyObject* list, Sink&& sink) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        double a, b;
        if (!unpack_pair(PyList_GET_ITEM(list, i), a, b)) return false;
        sink(a, b);
    }
    return true;
}

// float(entry[0]) for an allocation entry. A tuple or list is indexed directly (with the
// interpreter's IndexError when it is empty); anything else through its __getitem__.
bool first_item_as_double(PyObject* entry, double& out) {
    qn::Ref hold = qn::Ref::borrow(entry);
    qn::Ref item;
    if (PyTuple_CheckExact(entry)) {
        if (PyTuple_GET_SIZE(entry) == 0) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        item = qn::Ref::borrow(PyTuple_GET_ITEM(entry, 0));
    } else if (PyList_CheckExact(entry)) {
        if (PyList_GET_SIZE(entry) == 0) {
            list_index_error();
            return false;
        }
        item = qn::Ref::borrow(PyList_GET_ITEM(entry, 0));
    } else {
        qn::Ref zero = qn::Ref::steal(PyLong_FromLong(0));
        if (!zero) return false;
        item = qn::Ref::steal(PyObject_GetItem(entry, zero.get()));
        if (!item) return false;
    }
    return qn::to_double(item.get(), out);
}

// ---------------------------------------------------------------------------------------------
// Detectors

PyObject* detect_performance_degradation(qn::Function*, PyObject* const* a) {
    double baseline, threshold, window_start;
    if (!qn::arg_exact(a[0], &PyList_Type, "performance_history") || !qn::to_double(a[1], baseline) ||
        !qn::to_double(a[2], threshold) || !qn::to_double(a[3], window_start))
        return nullptr;
    PyObject* history = a[0];
    if (history == Py_None || PyList_GET_SIZE(history) == 0 || baseline <= 0.0) Py_RETURN_FALSE;
    if (PyList_GET_SIZE(history) < core::kMinDegradationSamples) Py_RETURN_FALSE;
    core::WindowMean window(window_start);
    if (!walk_pairs(history, [&](double t, double m) { window.add(t, m); })) return nullptr;
    return qn::boolean(core::degradation_exceeds(window, baseline, threshold));
}

PyObject* calculate_performance_trend(qn::Function*, PyObject* const* a) {
    double window_start;
    if (!qn::arg_exact(a[0], &PyList_Type, "performance_history") || !qn::to_double(a[1], window_start))
        return nullptr;
    PyObject* history = a[0];
    if (history == Py_None || PyList_GET_SIZE(history) < 3) return PyFloat_FromDouble(0.0);
    core::TrendAccumulator trend(window_start);
    if (!walk_pairs(history, [&](double t, double m) { trend.add(t, m); })) return nullptr;
    return PyFloat_FromDouble(trend.trend());
}

// running = float(running + value) with the interpreter's `+` on a float. Numbers the float
// addition handles itself (floats, ints, bools) are added natively with the same result.
bool add_to_sum(double& running, PyObject* value) {
    if (PyFloat_CheckExact(value)) {
        running += PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_Check(value)) {
        // float + int converts the int exactly as PyLong_AsDouble does (OverflowError when huge),
        // and an int subclass never gets the reflected call.
        const double v = PyLong_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) return false;
        running += v;
        return true;
    }
    qn::Ref boxed = qn::Ref::steal(PyFloat_FromDouble(running));
    if (!boxed) return false;
    qn::Ref sum = qn::Ref::steal(PyNumber_Add(boxed.get(), value));
    return sum && qn::to_double(sum.get(), running);
}

// The three profile values of `profile` in key order, as new references: returns 1 when all three
// are there, 0 when a key is missing, -1 with an exception set.
int profile_values(PyObject* profile, qn::Ref (&values)[core::kProfileKeys]) {
    if (PyDict_CheckExact(profile)) {
        for (std::size_t k = 0; k < core::kProfileKeys; ++k) {
            // The lookup may run a key's __eq__, which may change the dict: hold each value found.
            PyObject* v = PyDict_GetItemWithError(profile, g_profile_keys[k]);
            if (v == nullptr) return PyErr_Occurred() ? -1 : 0;
            values[k] = qn::Ref::borrow(v);
        }
        return 1;
    }
    // A dict subclass answers `in` and `[]` through its own methods.
    for (std::size_t k = 0; k < core::kProfileKeys; ++k) {
        const int has = PySequence_Contains(profile, g_profile_keys[k]);
        if (has <= 0) return has;
    }
    for (std::size_t k = 0; k < core::kProfileKeys; ++k) {
        values[k] = qn::Ref::steal(PyObject_GetItem(profile, g_profile_keys[k]));
        if (!values[k]) return -1;
    }
    return 1;
}

PyObject* detect_workload_characteristics_change(qn::Function*, PyObject* const* a) {
    double change_threshold;
    if (!qn::arg_exact(a[0], &PyList_Type, "pattern_history") || !qn::to_double(a[1], change_threshold))
        return nullptr;
    PyObject* history = a[0];
    if (history == Py_None) return qn::none_has_no_len();
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < static_cast<Py_ssize_t>(core::kProfileWindow)) return qn::newref(g_no_change);

    double recent[core::kProfileKeys] = {0.0, 0.0, 0.0};
    double older[core::kProfileKeys] = {0.0, 0.0, 0.0};
    for (Py_ssize_t i = n - static_cast<Py_ssize_t>(core::kProfileWindow); i < n; ++i) {
        // Adding an exotic value runs Python code that may shrink the list.
        if (i >= PyList_GET_SIZE(history)) return list_index_error();
        qn::Ref profile = qn::Ref::borrow(PyList_GET_ITEM(history, i));
        if (!PyDict_Check(profile.get())) {
            PyErr_Format(PyExc_TypeError, "Expected dict, got %.200s", Py_TYPE(profile.get())->tp_name);
            return nullptr;
        }
        qn::Ref values[core::kProfileKeys];
        const int found = profile_values(profile.get(), values);
        if (found < 0) return nullptr;
        if (found == 0) return qn::newref(g_no_change);
        double* sums = i >= n - 3 ? recent : older;
        for (std::size_t k = 0; k < core::kProfileKeys; ++k) {
            if (!add_to_sum(sums[k], values[k].get())) return nullptr;
        }
    }
    const core::ProfileChange r = core::profile_change(recent, older, change_threshold);
    qn::Ref out = qn::Ref::steal(PyTuple_New(4));
    if (!out) return nullptr;
    PyTuple_SET_ITEM(out.get(), 0, qn::boolean(r.changed));
    for (std::size_t k = 0; k < core::kProfileKeys; ++k) {
        PyObject* v = PyFloat_FromDouble(r.change[k]);
        if (v == nullptr) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k + 1), v);
    }
    return out.release();
}

// Pattern and pool names are exact str or None; equality is the str value, None equal only to
// itself. Nothing here runs Python code. Both must have passed ready_name().
inline bool ready_name(PyObject* x) { return x == Py_None || PyUnicode_READY(x) == 0; }

inline bool same_name(PyObject* x, PyObject* y) {
    if (x == y) return true;
    if (x == Py_None || y == Py_None) return false;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
    if (len != PyUnicode_GET_LENGTH(y) || PyUnicode_KIND(x) != PyUnicode_KIND(y)) return false;
    return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<std::size_t>(len) * PyUnicode_KIND(x)) == 0;
}

struct NameTraits {
    static bool same(PyObject* x, PyObject* y) { return same_name(x, y); }
};

PyObject* detect_dominant_pattern(qn::Function*, PyObject* const* a) {
    std::int32_t window_size;
    if (!qn::arg_exact(a[0], &PyList_Type, "patterns") || !qn::to_i32(a[1], window_size)) return nullptr;
    PyObject* patterns = a[0];
    if (patterns == Py_None) return qn::none_has_no_len();
    const Py_ssize_t n = PyList_GET_SIZE(patterns);
    if (n == 0) return qn::newref(g_mixed);
    const std::int64_t start = core::pattern_window_start(n, window_size);
    try {
        core::FirstSeenTally<PyObject*, NameTraits> tally;
        for (std::int64_t i = start; i < n; ++i) {
            PyObject* name = PyList_GET_ITEM(patterns, static_cast<Py_ssize_t>(i));
            std::size_t hash;
            if (name == Py_None) {
                hash = 0;
            } else if (PyUnicode_CheckExact(name)) {
                if (!ready_name(name)) return nullptr;
                hash = static_cast<std::size_t>(PyObject_Hash(name));  // cannot fail for a str
            } else {
                PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(name)->tp_name);
                return nullptr;
            }
            tally.add(name, hash);
        }
        const std::size_t best = tally.best();
        return qn::newref(best < tally.size() ? tally.entry(best).key : g_mixed);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* detect_memory_pressure(qn::Function*, PyObject* const* a) {
    double current, peak, threshold;
    if (!qn::to_double(a[0], current) || !qn::to_double(a[1], peak) || !qn::to_double(a[2], threshold))
        return nullptr;
    return qn::boolean(core::memory_pressure(current, peak, threshold));
}

PyObject* detect_fragmentation_threshold(qn::Function*, PyObject* const* a) {
    double ratio, threshold;
    if (!qn::to_double(a[0], ratio) || !qn::to_double(a[1], threshold)) return nullptr;
    return qn::boolean(core::fragmentation_exceeds(ratio, threshold));
}

// ---------------------------------------------------------------------------------------------
// Pool recommendation and gating

PyObject* score_pool_recommendation(qn::Function*, PyObject* const* a) {
    double workload, memory, threads, history;
    if (!qn::to_double(a[0], workload) || !qn::to_double(a[1], memory) || !qn::to_double(a[2], threads) ||
        !qn::to_double(a[3], history))
        return nullptr;
    return PyFloat_FromDouble(core::pool_score(workload, memory, threads, history));
}

PyObject* is_adaptation_beneficial(qn::Function*, PyObject* const* a) {
    double score, confidence, estimate, min_improvement, min_confidence;
    std::int32_t trigger;
    if (!qn::arg_exact(a[0], &PyUnicode_Type, "current_pool") ||
        !qn::arg_exact(a[1], &PyUnicode_Type, "recommended_pool") || !qn::to_double(a[2], score) ||
        !qn::to_double(a[3], confidence) || !qn::to_double(a[4], estimate) || !qn::to_i32(a[5], trigger) ||
        !qn::to_double(a[6], min_improvement) || !qn::to_double(a[7], min_confidence))
        return nullptr;
    if (!ready_name(a[0]) || !ready_name(a[1])) return nullptr;
    if (same_name(a[0], a[1])) Py_RETURN_FALSE;
    return qn::boolean(core::adaptation_pays_off(score, confidence, estimate, trigger, min_improvement, min_confidence));
}

PyObject* should_skip_adaptation(qn::Function*, PyObject* const* a) {
    double last, now, interval;
    if (!qn::to_double(a[0], last) || !qn::to_double(a[1], now) || !qn::to_double(a[2], interval)) return nullptr;
    return qn::boolean(core::skip_adaptation(last, now, interval));
}

PyObject* calculate_adaptation_urgency(qn::Function*, PyObject* const* a) {
    double degradation, pressure, fragmentation;
    bool changed;
    if (!qn::to_double(a[0], degradation) || !qn::to_double(a[1], pressure) || !qn::to_double(a[2], fragmentation) ||
        !qn::arg_bool(a[3], changed))
        return nullptr;
    return PyFloat_FromDouble(core::adaptation_urgency(degradation, pressure, fragmentation, changed));
}

PyObject* predict_resource_requirements(qn::Function*, PyObject* const* a) {
    double horizon;
    if (!qn::arg_exact(a[0], &PyList_Type, "allocation_history") || !qn::to_double(a[1], horizon)) return nullptr;
    PyObject* history = a[0];
    if (history == Py_None) return qn::none_has_no_len();
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < static_cast<Py_ssize_t>(core::kMinPredictionEntries)) return qn::newref(g_empty_prediction);

    double first_time, last_time;
    if (!first_item_as_double(PyList_GET_ITEM(history, 0), first_time)) return nullptr;
    if (PyList_GET_SIZE(history) == 0) return list_index_error();  // emptied by a __float__
    if (!first_item_as_double(PyList_GET_ITEM(history, PyList_GET_SIZE(history) - 1), last_time)) return nullptr;
    const double time_span = last_time - first_time;
    if (time_span <= 0.0) return qn::newref(g_empty_prediction);

    // All n entries counted above are read, by position.
    double total = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= PyList_GET_SIZE(history)) return list_index_error();
        double timestamp, size;
        if (!unpack_pair(PyList_GET_ITEM(history, i), timestamp, size)) return nullptr;
        total += size;
    }
    const core::Prediction p = core::predict(static_cast<std::size_t>(n), time_span, total, horizon);
    qn::Ref out = qn::Ref::steal(PyTuple_New(3));
    if (!out) return nullptr;
    PyObject* items[3] = {PyLong_FromLongLong(p.allocations), PyLong_FromLongLong(p.total_bytes),
                          PyFloat_FromDouble(p.confidence)};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (items[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(out.get(), i, items[i]);  // a NULL slot is fine when the tuple is released
    }
    return ok ? out.release() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Module

int make_constants() {
    g_no_change = Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0);
    g_empty_prediction = Py_BuildValue("(iid)", 0, 0, 0.0);
    g_mixed = PyUnicode_InternFromString("mixed");
    static const char* const keys[core::kProfileKeys] = {"parallelization_potential", "cpu_intensity",
                                                         "memory_intensity"};
    for (std::size_t k = 0; k < core::kProfileKeys; ++k) {
        g_profile_keys[k] = PyUnicode_InternFromString(keys[k]);
        if (g_profile_keys[k] == nullptr) return -1;
    }
    return g_no_change && g_empty_prediction && g_mixed ? 0 : -1;
}

int exec_pool_planner(PyObject* m) {
    if (make_constants() < 0) return -1;
    using P = qn::Param;
    const bool ok =
        qn::add_function(m, {"detect_performance_degradation", detect_performance_degradation,
                             {P{"performance_history", nullptr, "list"}, P{"baseline_performance", nullptr, "double"},
                              P{"threshold", nullptr, "double"}, P{"window_start_time", nullptr, "double"}},
                             nullptr,
                             "Whether the mean metric of the samples at or after window_start_time (at least\n"
                             "five of them) lies more than `threshold` (a fraction) below the baseline."}) &&
        qn::add_function(m, {"calculate_performance_trend", calculate_performance_trend,
                             {P{"performance_history", nullptr, "list"}, P{"window_start_time", nullptr, "double"}},
                             nullptr,
                             "Least-squares slope of the metric over the window divided by its mean metric,\n"
                             "capped to [-1.0, 1.0]; negative means declining, 0.0 without enough data."}) &&
        qn::add_function(m, {"detect_workload_characteristics_change", detect_workload_characteristics_change,
                             {P{"pattern_history", nullptr, "list"}, P{"change_threshold", qn::dflt(0.3), "double"}},
                             nullptr,
                             "Compares the mean profile of the newest three workload profiles with the three\n"
                             "before them: (changed, parallel_change, cpu_change, memory_change)."}) &&
        qn::add_function(m, {"detect_dominant_pattern", detect_dominant_pattern,
                             {P{"patterns", nullptr, "list"}, P{"window_size", qn::dflt(5), "int"}}, nullptr,
                             "The most frequent name among the newest window_size patterns (the first seen\n"
                             "wins a tie); \"mixed\" for an empty window."}) &&
        qn::add_function(m, {"is_adaptation_beneficial", is_adaptation_beneficial,
                             {P{"current_pool", nullptr, "str"}, P{"recommended_pool", nullptr, "str"},
                              P{"recommendation_score", nullptr, "double"},
                              P{"recommendation_confidence", nullptr, "double"},
                              P{"current_performance_estimate", nullptr, "double"}, P{"trigger_code", nullptr, "int"},
                              P{"min_improvement_ratio", qn::dflt(1.1), "double"},
                              P{"min_confidence", qn::dflt(0.6), "double"}},
                             nullptr, "Whether switching to the recommended pool is worth it."}) &&
        qn::add_function(m, {"should_skip_adaptation", should_skip_adaptation,
                             {P{"last_adaptation_time", nullptr, "double"}, P{"current_time", nullptr, "double"},
                              P{"min_interval", nullptr, "double"}},
                             nullptr, "True while less than min_interval seconds have passed since the last adaptation."}) &&
        qn::add_function(m, {"detect_memory_pressure", detect_memory_pressure,
                             {P{"current_usage", nullptr, "double"}, P{"peak_usage", nullptr, "double"},
                              P{"pressure_threshold", qn::dflt(0.8), "double"}},
                             nullptr, "Whether current usage exceeds pressure_threshold of the peak."}) &&
        qn::add_function(m, {"detect_fragmentation_threshold", detect_fragmentation_threshold,
                             {P{"fragmentation_ratio", nullptr, "double"}, P{"threshold", qn::dflt(0.3), "double"}},
                             nullptr, "Whether the fragmentation ratio exceeds the threshold."}) &&
        qn::add_function(m, {"calculate_adaptation_urgency", calculate_adaptation_urgency,
                             {P{"performance_degradation", nullptr, "double"}, P{"memory_pressure", nullptr, "double"},
                              P{"fragmentation_ratio", nullptr, "double"}, P{"workload_changed", nullptr, "bool"}},
                             nullptr, "How urgent an adaptation is, in [0.0, 1.0]."}) &&
        qn::add_function(m, {"score_pool_recommendation", score_pool_recommendation,
                             {P{"workload_fit", nullptr, "double"}, P{"memory_fit", nullptr, "double"},
                              P{"thread_count_fit", nullptr, "double"}, P{"historical_success_rate", nullptr, "double"}},
                             nullptr, "Weighted score of a candidate pool, in [0.0, 1.0]."}) &&
        qn::add_function(m, {"predict_resource_requirements", predict_resource_requirements,
                             {P{"allocation_history", nullptr, "list"},
                              P{"prediction_horizon_seconds", nullptr, "double"}},
                             nullptr,
                             "Forecast of the allocations over the horizon: (predicted_allocations,\n"
                             "predicted_total_bytes, confidence), (0, 0, 0.0) without enough data."});
    if (!ok) return -1;
    return qn::log_loaded(m, "Quarvel Pool Planner Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(pool_planner, "Decision functions of the adaptive executor-pool orchestrator.", exec_pool_planner)
