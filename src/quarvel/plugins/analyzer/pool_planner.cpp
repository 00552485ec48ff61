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
PyObject* g_no_change = nullptr;         // (False, 0.0, 0.0, 0.0)
PyObject* g_empty_prediction = nullptr;  // (0, 0, 0.0)
PyObject* g_mixed = nullptr;             // "mixed"
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

constexpr auto kDetectPerformanceDegradation =
    qn::params(qn::arg("performance_history", "list"), qn::arg("baseline_performance", "double"),
               qn::arg("threshold", "double"), qn::arg("window_start_time", "double"));

PyObject* detect_performance_degradation(qn::Function*, qn::Args<kDetectPerformanceDegradation> a) {
    PyObject* history;
    double baseline, threshold, window_start;
    if (!a.list<"performance_history">(history) || !a.get<"baseline_performance">(baseline) ||
        !a.get<"threshold">(threshold) || !a.get<"window_start_time">(window_start))
        return nullptr;
    if (history == Py_None || PyList_GET_SIZE(history) == 0 || baseline <= 0.0) Py_RETURN_FALSE;
    if (PyList_GET_SIZE(history) < core::kMinDegradationSamples) Py_RETURN_FALSE;
    core::WindowMean window(window_start);
    if (!walk_pairs(history, [&](double t, double m) { window.add(t, m); })) return nullptr;
    return qn::boolean(core::degradation_exceeds(window, baseline, threshold));
}

constexpr auto kCalculatePerformanceTrend =
    qn::params(qn::arg("performance_history", "list"), qn::arg("window_start_time", "double"));

PyObject* calculate_performance_trend(qn::Function*, qn::Args<kCalculatePerformanceTrend> a) {
    PyObject* history;
    double window_start;
    if (!a.list<"performance_history">(history) || !a.get<"window_start_time">(window_start)) return nullptr;
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

constexpr auto kDetectWorkloadCharacteristicsChange =
    qn::params(qn::arg("pattern_history", "list"), qn::opt("change_threshold", "double", 0.3));

PyObject* detect_workload_characteristics_change(qn::Function*, qn::Args<kDetectWorkloadCharacteristicsChange> a) {
    PyObject* history;
    double change_threshold;
    if (!a.list<"pattern_history">(history) || !a.get<"change_threshold">(change_threshold)) return nullptr;
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

constexpr auto kDetectDominantPattern = qn::params(qn::arg("patterns", "list"), qn::opt("window_size", "int", 5));

PyObject* detect_dominant_pattern(qn::Function*, qn::Args<kDetectDominantPattern> a) {
    PyObject* patterns;
    std::int32_t window_size;
    if (!a.list<"patterns">(patterns) || !a.get<"window_size">(window_size)) return nullptr;
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

constexpr auto kDetectMemoryPressure = qn::params(qn::arg("current_usage", "double"), qn::arg("peak_usage", "double"),
                                                  qn::opt("pressure_threshold", "double", 0.8));

PyObject* detect_memory_pressure(qn::Function*, qn::Args<kDetectMemoryPressure> a) {
    double current, peak, threshold;
    if (!a.get<"current_usage">(current) || !a.get<"peak_usage">(peak) || !a.get<"pressure_threshold">(threshold))
        return nullptr;
    return qn::boolean(core::memory_pressure(current, peak, threshold));
}

constexpr auto kDetectFragmentationThreshold =
    qn::params(qn::arg("fragmentation_ratio", "double"), qn::opt("threshold", "double", 0.3));

PyObject* detect_fragmentation_threshold(qn::Function*, qn::Args<kDetectFragmentationThreshold> a) {
    double ratio, threshold;
    if (!a.get<"fragmentation_ratio">(ratio) || !a.get<"threshold">(threshold)) return nullptr;
    return qn::boolean(core::fragmentation_exceeds(ratio, threshold));
}

// ---------------------------------------------------------------------------------------------
// Pool recommendation and gating

constexpr auto kScorePoolRecommendation =
    qn::params(qn::arg("workload_fit", "double"), qn::arg("memory_fit", "double"),
               qn::arg("thread_count_fit", "double"), qn::arg("historical_success_rate", "double"));

PyObject* score_pool_recommendation(qn::Function*, qn::Args<kScorePoolRecommendation> a) {
    double workload, memory, threads, history;
    if (!a.get<"workload_fit">(workload) || !a.get<"memory_fit">(memory) || !a.get<"thread_count_fit">(threads) ||
        !a.get<"historical_success_rate">(history))
        return nullptr;
    return PyFloat_FromDouble(core::pool_score(workload, memory, threads, history));
}

constexpr auto kIsAdaptationBeneficial =
    qn::params(qn::arg("current_pool", "str"), qn::arg("recommended_pool", "str"),
               qn::arg("recommendation_score", "double"), qn::arg("recommendation_confidence", "double"),
               qn::arg("current_performance_estimate", "double"), qn::arg("trigger_code", "int"),
               qn::opt("min_improvement_ratio", "double", 1.1), qn::opt("min_confidence", "double", 0.6));

PyObject* is_adaptation_beneficial(qn::Function*, qn::Args<kIsAdaptationBeneficial> a) {
    PyObject *current, *recommended;
    double score, confidence, estimate, min_improvement, min_confidence;
    std::int32_t trigger;
    if (!a.str<"current_pool">(current) || !a.str<"recommended_pool">(recommended) ||
        !a.get<"recommendation_score">(score) || !a.get<"recommendation_confidence">(confidence) ||
        !a.get<"current_performance_estimate">(estimate) || !a.get<"trigger_code">(trigger) ||
        !a.get<"min_improvement_ratio">(min_improvement) || !a.get<"min_confidence">(min_confidence))
        return nullptr;
    if (!ready_name(current) || !ready_name(recommended)) return nullptr;
    if (same_name(current, recommended)) Py_RETURN_FALSE;
    return qn::boolean(
        core::adaptation_pays_off(score, confidence, estimate, trigger, min_improvement, min_confidence));
}

constexpr auto kShouldSkipAdaptation = qn::params(qn::arg("last_adaptation_time", "double"),
                                                  qn::arg("current_time", "double"), qn::arg("min_interval", "double"));

PyObject* should_skip_adaptation(qn::Function*, qn::Args<kShouldSkipAdaptation> a) {
    double last, now, interval;
    if (!a.get<"last_adaptation_time">(last) || !a.get<"current_time">(now) || !a.get<"min_interval">(interval))
        return nullptr;
    return qn::boolean(core::skip_adaptation(last, now, interval));
}

constexpr auto kCalculateAdaptationUrgency =
    qn::params(qn::arg("performance_degradation", "double"), qn::arg("memory_pressure", "double"),
               qn::arg("fragmentation_ratio", "double"), qn::arg("workload_changed", "bool"));

PyObject* calculate_adaptation_urgency(qn::Function*, qn::Args<kCalculateAdaptationUrgency> a) {
    double degradation, pressure, fragmentation;
    bool changed;
    if (!a.get<"performance_degradation">(degradation) || !a.get<"memory_pressure">(pressure) ||
        !a.get<"fragmentation_ratio">(fragmentation) || !a.get<"workload_changed">(changed))
        return nullptr;
    return PyFloat_FromDouble(core::adaptation_urgency(degradation, pressure, fragmentation, changed));
}

constexpr auto kPredictResourceRequirements =
    qn::params(qn::arg("allocation_history", "list"), qn::arg("prediction_horizon_seconds", "double"));

PyObject* predict_resource_requirements(qn::Function*, qn::Args<kPredictResourceRequirements> a) {
    PyObject* history;
    double horizon;
    if (!a.list<"allocation_history">(history) || !a.get<"prediction_horizon_seconds">(horizon)) return nullptr;
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
    const bool ok =
        qn::add_function<detect_performance_degradation>(
            m, "detect_performance_degradation", nullptr,
            "Whether the mean metric of the samples at or after window_start_time (at least\n"
            "five of them) lies more than `threshold` (a fraction) below the baseline.") &&
        qn::add_function<calculate_performance_trend>(
            m, "calculate_performance_trend", nullptr,
            "Least-squares slope of the metric over the window divided by its mean metric,\n"
            "capped to [-1.0, 1.0]; negative means declining, 0.0 without enough data.") &&
        qn::add_function<detect_workload_characteristics_change>(
            m, "detect_workload_characteristics_change", nullptr,
            "Compares the mean profile of the newest three workload profiles with the three\n"
            "before them: (changed, parallel_change, cpu_change, memory_change).") &&
        qn::add_function<detect_dominant_pattern>(
            m, "detect_dominant_pattern", nullptr,
            "The most frequent name among the newest window_size patterns (the first seen\n"
            "wins a tie); \"mixed\" for an empty window.") &&
        qn::add_function<is_adaptation_beneficial>(m, "is_adaptation_beneficial", nullptr,
                                                   "Whether switching to the recommended pool is worth it.") &&
        qn::add_function<should_skip_adaptation>(
            m, "should_skip_adaptation", nullptr,
            "True while less than min_interval seconds have passed since the last adaptation.") &&
        qn::add_function<detect_memory_pressure>(m, "detect_memory_pressure", nullptr,
                                                 "Whether current usage exceeds pressure_threshold of the peak.") &&
        qn::add_function<detect_fragmentation_threshold>(m, "detect_fragmentation_threshold", nullptr,
                                                         "Whether the fragmentation ratio exceeds the threshold.") &&
        qn::add_function<calculate_adaptation_urgency>(m, "calculate_adaptation_urgency", nullptr,
                                                       "How urgent an adaptation is, in [0.0, 1.0].") &&
        qn::add_function<score_pool_recommendation>(m, "score_pool_recommendation", nullptr,
                                                    "Weighted score of a candidate pool, in [0.0, 1.0].") &&
        qn::add_function<predict_resource_requirements>(
            m, "predict_resource_requirements", nullptr,
            "Forecast of the allocations over the horizon: (predicted_allocations,\n"
            "predicted_total_bytes, confidence), (0, 0, 0.0) without enough data.");
    if (!ok) return -1;
    return qn::log_loaded(m, "Quarvel Pool Planner Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(pool_planner, "Decision functions of the adaptive executor-pool orchestrator.", exec_pool_planner)
