// quarvel.plugins.analyzer.task_profiler: the scoring core of the workload analyser.
//
// Stateless module functions. The keyword scores scan the text once with the keyword automaton
// of task_profiler_core.hpp instead of lowering it into a new string and searching it once per
// keyword; the counts are the same. quick_framework_score counts the matches of the framework's
// compiled pattern: on ASCII text (the usual source text) natively, with the same matching rules,
// otherwise with the compiled pattern's own findall, so Unicode word characters and case
// equivalents behave exactly as the regular-expression engine defines them.
//
// Nothing here releases the interpreter lock: every call is short native work.
#include "native/qn.hpp"

#include "task_profiler_core.hpp"

#include <string>

namespace {

namespace core = quarvel::task_profiler;

// The framework pattern table (name -> compiled pattern), set once its three entries are in, and
// the bound findall of each pattern, in table order. Private to the module; owned references that
// live as long as the process (the module cannot be initialised twice).
PyObject* g_patterns = nullptr;
PyObject* g_findall[3] = {nullptr, nullptr, nullptr};

// The source of a framework's pattern: its literal alternatives, word-bounded. Built from the
// same table the ASCII counter matches with, so the two cannot drift apart.
template <std::size_t N>
std::string pattern_source(const std::string_view (&alts)[N]) {
    std::string src = "\\b(";
    for (std::size_t i = 0; i < N; ++i) {
        if (i) src += '|';
        for (char c : alts[i]) {
            if (c == '.') src += '\\';
            src += c;
        }
    }
    src += ")\\b";
    return src;
}

PyObject* new_float(double v) { return PyFloat_FromDouble(v); }

// Rejects a None code before any work (score_framework_patterns, score_indicators).
bool require_code(PyObject* code, const char* func) {
    if (code != Py_None) return true;
    PyErr_Format(PyExc_TypeError, "%s() argument 'code' must be str, not None", func);
    return false;
}

// Feeds every code unit of a str to an automaton.
template <class A>
void feed_str(const A& automaton, PyObject* s, typename A::Mask& seen) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            automaton.scan(static_cast<const Py_UCS1*>(data), static_cast<std::size_t>(n), seen);
            break;
        case PyUnicode_2BYTE_KIND:
            automaton.scan(static_cast<const Py_UCS2*>(data), static_cast<std::size_t>(n), seen);
            break;
        default:
            automaton.scan(static_cast<const Py_UCS4*>(data), static_cast<std::size_t>(n), seen);
            break;
    }
}

// Index of `framework` in the pattern table, or -1 when it is not a key (None included). The keys
// are ASCII, so an exact str equals one of them exactly when its ASCII bytes do.
int framework_index(PyObject* framework) {
    if (framework == Py_None || !PyUnicode_IS_ASCII(framework)) return -1;
    const std::string_view name(static_cast<const char*>(PyUnicode_DATA(framework)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(framework)));
    for (int i = 0; i < 3; ++i)
        if (name == core::kFrameworkNames[i]) return i;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Text scoring

constexpr auto kQuickFrameworkScore = qn::params(qn::arg("code", "str"), qn::arg("framework", "str"));

PyObject* quick_framework_score(qn::Function*, qn::Args<kQuickFrameworkScore> a) {
    PyObject *code, *framework;
    if (!a.str<"code">(code) || !a.str<"framework">(framework)) return nullptr;
    if ((framework != Py_None && PyUnicode_READY(framework) < 0) || (code != Py_None && PyUnicode_READY(code) < 0))
        return nullptr;
    const int index = framework_index(framework);
    if (index < 0) return new_float(0.0);
    std::size_t n;
    if (code != Py_None && PyUnicode_IS_ASCII(code)) {
        n = core::count_framework_ascii(static_cast<std::size_t>(index),
                                        static_cast<const unsigned char*>(PyUnicode_DATA(code)),
                                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(code)));
    } else {
        // Non-ASCII text, or None (which findall rejects with its own TypeError).
        qn::Ref found = qn::Ref::steal(PyObject_CallOneArg(g_findall[index], code));
        if (!found) return nullptr;
        if (!PyList_Check(found.get())) {
            PyErr_SetString(PyExc_TypeError, "findall() did not return a list");
            return nullptr;
        }
        n = static_cast<std::size_t>(PyList_GET_SIZE(found.get()));
    }
    return new_float(core::quick_score_from_count(n));
}

constexpr auto kScoreFrameworkPatterns = qn::params(qn::arg("code", "str"));

PyObject* score_framework_patterns(qn::Function*, qn::Args<kScoreFrameworkPatterns> a) {
    PyObject* code;
    if (!a.str<"code">(code) || !require_code(code, "score_framework_patterns")) return nullptr;
    if (PyUnicode_READY(code) < 0) return nullptr;
    decltype(core::kFrameworkAutomaton)::Mask seen{};
    feed_str(core::kFrameworkAutomaton, code, seen);
    const core::FrameworkScores s = core::framework_scores(seen);
    qn::Ref t = qn::Ref::steal(PyTuple_New(3));
    if (!t) return nullptr;
    const double v[3] = {s.numpy, s.pandas, s.sklearn};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* f = new_float(v[i]);
        if (f == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, f);
    }
    return t.release();
}

constexpr auto kScoreIndicators = qn::params(qn::arg("code", "str"), qn::arg("function_name", "str"));

PyObject* score_indicators(qn::Function*, qn::Args<kScoreIndicators> a) {
    PyObject *code, *name;
    if (!a.str<"code">(code) || !a.str<"function_name">(name) || !require_code(code, "score_indicators"))
        return nullptr;
    if (PyUnicode_READY(code) < 0) return nullptr;
    decltype(core::kIndicatorAutomaton)::Mask text{}, in_name{};
    feed_str(core::kIndicatorAutomaton, code, text);
    if (name != Py_None) {
        if (PyUnicode_READY(name) < 0) return nullptr;
        feed_str(core::kIndicatorAutomaton, name, in_name);
    }
    const auto counts = core::indicator_counts(text, in_name);
    qn::Ref t = qn::Ref::steal(PyTuple_New(core::kIndicatorLists));
    if (!t) return nullptr;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        PyObject* v = PyLong_FromLong(counts[i]);
        if (v == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v);
    }
    return t.release();
}

constexpr auto kNormalizeScores =
    qn::params(qn::arg("cpu_score", "int"), qn::arg("memory_score", "int"), qn::arg("parallel_score", "int"),
               qn::arg("gpu_op_score", "int"), qn::arg("large_data_score", "int"));

PyObject* normalize_scores(qn::Function*, qn::Args<kNormalizeScores> a) {
    std::int32_t cpu, memory, parallel, gpu_op, large;
    if (!a.get<"cpu_score">(cpu) || !a.get<"memory_score">(memory) || !a.get<"parallel_score">(parallel) ||
        !a.get<"gpu_op_score">(gpu_op) || !a.get<"large_data_score">(large))
        return nullptr;
    const core::NormalizedScores s = core::normalize_scores(cpu, memory, parallel, gpu_op, large);
    const double out[5] = {s.cpu, s.memory, s.parallel, s.gpu_op, s.large};
    qn::Ref t = qn::Ref::steal(PyTuple_New(5));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject* f = new_float(out[i]);
        if (f == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, f);
    }
    return t.release();
}

// ---------------------------------------------------------------------------------------------
// Estimates

constexpr auto kCalculateParallelizationPotential =
    qn::params(qn::arg("base_parallel_score", "double"), qn::arg("embarrassing_bonus", "double"),
               qn::arg("sequential_penalty", "double"), qn::arg("loop_chunking_potential", "double"));

PyObject* calculate_parallelization_potential(qn::Function*, qn::Args<kCalculateParallelizationPotential> a) {
    double base, bonus, penalty, chunking;
    if (!a.get<"base_parallel_score">(base) || !a.get<"embarrassing_bonus">(bonus) ||
        !a.get<"sequential_penalty">(penalty) || !a.get<"loop_chunking_potential">(chunking))
        return nullptr;
    return new_float(core::parallelization_potential(base, bonus, penalty, chunking));
}

// Multiplier for a non-empty capability string: int() of the text before the first ".", as a
// 32-bit major version. A ValueError from int() leaves the multiplier at 1.0; an OverflowError
// for a major version beyond 32 bits propagates. Returns false with an exception set.
bool capability_multiplier(PyObject* cap, double& mult) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(cap);
    const int kind = PyUnicode_KIND(cap);
    const void* data = PyUnicode_DATA(cap);
    Py_ssize_t dot = 0;
    while (dot < len && PyUnicode_READ(kind, data, dot) != '.') ++dot;
    // Plain decimal digits (the usual "8.6") are read here; anything else goes through int().
    if (dot > 0 && dot <= 9) {
        std::int32_t major = 0;
        Py_ssize_t i = 0;
        for (; i < dot; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c < '0' || c > '9') break;
            major = major * 10 + static_cast<std::int32_t>(c - '0');
        }
        if (i == dot) {
            mult = core::capability_multiplier(major);
            return true;
        }
    }
    qn::Ref piece = qn::Ref::steal(PyUnicode_Substring(cap, 0, dot));
    if (!piece) return false;
    qn::Ref number = qn::Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        mult = 1.0;
        return true;
    }
    std::int32_t major;
    if (!qn::to_i32(number.get(), major)) return false;
    mult = core::capability_multiplier(major);
    return true;
}

constexpr auto kCalculateGpuSuitability = qn::params(
    qn::arg("gpu_operation_score", "double"), qn::arg("gpu_data_size_score", "double"),
    qn::arg("cpu_intensity", "double"), qn::arg("gpu_available", "bool"), qn::arg("compute_capability", "str"));

PyObject* calculate_gpu_suitability(qn::Function*, qn::Args<kCalculateGpuSuitability> a) {
    double operation, data_size, cpu;
    bool available;
    PyObject* cap;
    if (!a.get<"gpu_operation_score">(operation) || !a.get<"gpu_data_size_score">(data_size) ||
        !a.get<"cpu_intensity">(cpu) || !a.get<"gpu_available">(available) || !a.str<"compute_capability">(cap))
        return nullptr;
    if (!available) return new_float(0.0);
    double mult = 1.0;
    if (cap != Py_None) {
        if (PyUnicode_READY(cap) < 0) return nullptr;
        if (PyUnicode_GET_LENGTH(cap) > 0 && !capability_multiplier(cap, mult)) return nullptr;
    }
    return new_float(core::gpu_suitability(operation, data_size, cpu, mult));
}

constexpr auto kEstimateGpuSpeedup =
    qn::params(qn::arg("gpu_operation_score", "double"), qn::arg("gpu_data_size_score", "double"),
               qn::arg("gpu_available", "bool"));

PyObject* estimate_gpu_speedup(qn::Function*, qn::Args<kEstimateGpuSpeedup> a) {
    double operation, data_size;
    bool available;
    if (!a.get<"gpu_operation_score">(operation) || !a.get<"gpu_data_size_score">(data_size) ||
        !a.get<"gpu_available">(available))
        return nullptr;
    return new_float(core::gpu_speedup(operation, data_size, available));
}

constexpr auto kDetermineWorkloadPattern = qn::params(
    qn::arg("cpu_intensity", "double"), qn::arg("memory_intensity", "double"),
    qn::arg("parallelization_potential", "double"), qn::arg("gpu_suitability", "double"),
    qn::arg("gpu_operation_score", "double"), qn::arg("numpy_score", "double"), qn::arg("pandas_score", "double"),
    qn::arg("sklearn_score", "double"), qn::arg("sequential_count", "int"), qn::arg("embarrassing_count", "int"),
    qn::arg("cpu_threshold", "double"), qn::arg("memory_threshold", "double"), qn::arg("gpu_threshold", "double"),
    qn::arg("numpy_threshold", "double"), qn::arg("pandas_threshold", "double"), qn::arg("sklearn_threshold", "double"),
    qn::arg("gpu_available", "bool"));

PyObject* determine_workload_pattern(qn::Function*, qn::Args<kDetermineWorkloadPattern> a) {
    core::WorkloadInputs in;
    if (!a.get<"cpu_intensity">(in.cpu_intensity) || !a.get<"memory_intensity">(in.memory_intensity) ||
        !a.get<"parallelization_potential">(in.parallelization_potential) ||
        !a.get<"gpu_suitability">(in.gpu_suitability) || !a.get<"gpu_operation_score">(in.gpu_operation_score) ||
        !a.get<"numpy_score">(in.numpy_score) || !a.get<"pandas_score">(in.pandas_score) ||
        !a.get<"sklearn_score">(in.sklearn_score) || !a.get<"sequential_count">(in.sequential_count) ||
        !a.get<"embarrassing_count">(in.embarrassing_count) || !a.get<"cpu_threshold">(in.cpu_threshold) ||
        !a.get<"memory_threshold">(in.memory_threshold) || !a.get<"gpu_threshold">(in.gpu_threshold) ||
        !a.get<"numpy_threshold">(in.numpy_threshold) || !a.get<"pandas_threshold">(in.pandas_threshold) ||
        !a.get<"sklearn_threshold">(in.sklearn_threshold) || !a.get<"gpu_available">(in.gpu_available))
        return nullptr;
    return PyLong_FromLong(core::workload_pattern(in));
}

constexpr auto kUpdateAdaptiveThreshold = qn::params(
    qn::arg("current_threshold", "double"), qn::arg("success_rate", "double"), qn::arg("learning_rate", "double"),
    qn::arg("min_threshold", "double"), qn::arg("max_threshold", "double"));

PyObject* update_adaptive_threshold(qn::Function*, qn::Args<kUpdateAdaptiveThreshold> a) {
    double current, success, learning, lo, hi;
    if (!a.get<"current_threshold">(current) || !a.get<"success_rate">(success) || !a.get<"learning_rate">(learning) ||
        !a.get<"min_threshold">(lo) || !a.get<"max_threshold">(hi))
        return nullptr;
    return new_float(core::adaptive_threshold(current, success, learning, lo, hi));
}

// ---------------------------------------------------------------------------------------------
// Module

int build_pattern_table(PyObject* re) {
    qn::Ref flag = qn::Ref::steal(PyObject_GetAttrString(re, "IGNORECASE"));
    qn::Ref compile = qn::Ref::steal(PyObject_GetAttrString(re, "compile"));
    qn::Ref table = qn::Ref::steal(PyDict_New());
    if (!flag || !compile || !table) return -1;
    qn::Ref findall[3];
    const std::string sources[3] = {pattern_source(core::kNumpyPattern), pattern_source(core::kPandasPattern),
                                    pattern_source(core::kSklearnPattern)};
    for (int i = 0; i < 3; ++i) {
        qn::Ref pattern = qn::Ref::steal(PyObject_CallFunction(compile.get(), "sO", sources[i].c_str(), flag.get()));
        if (!pattern) return -1;
        if (PyDict_SetItemString(table.get(), core::kFrameworkNames[i].data(), pattern.get()) < 0) return -1;
        findall[i] = qn::Ref::steal(PyObject_GetAttrString(pattern.get(), "findall"));
        if (!findall[i]) return -1;
    }
    for (int i = 0; i < 3; ++i) g_findall[i] = findall[i].release();
    g_patterns = table.release();
    return 0;
}

int exec_task_profiler(PyObject* m) {
    qn::Ref re = qn::Ref::steal(PyImport_ImportModule("re"));
    if (!re || qn::bind(m, "re", qn::newref(re.get())) < 0 || build_pattern_table(re.get()) < 0) return -1;

    const bool ok =
        qn::add_function<quick_framework_score>(
            m, "quick_framework_score", "float",
            "Share of matches of the framework's pattern in the text: matches / 10, at most 1.0; 0.0 for "
            "an unknown framework.") &&
        qn::add_function<calculate_gpu_suitability>(
            m, "calculate_gpu_suitability", "float",
            "GPU suitability in [0.0, 1.0], weighted by the compute capability's major version.") &&
        qn::add_function<estimate_gpu_speedup>(m, "estimate_gpu_speedup", "float",
                                               "Expected GPU speedup; 1.0 when none is expected.") &&
        qn::add_function<calculate_parallelization_potential>(m, "calculate_parallelization_potential", "float",
                                                              "Parallelisation potential in [0.0, 1.0].") &&
        qn::add_function<score_indicators>(
            m, "score_indicators", "tuple",
            "Workload indicator counts of the source text (and, for the GPU operation and embarrassingly "
            "parallel indicators, the function name): (cpu, memory, parallel, gpu_op, large_data, "
            "embarrassing, sequential).") &&
        qn::add_function<normalize_scores>(m, "normalize_scores", "tuple",
                                           "The first five indicator counts as scores in [0.0, 1.0].") &&
        qn::add_function<score_framework_patterns>(
            m, "score_framework_patterns", "tuple",
            "Framework keyword scores of the source text: (numpy, pandas, sklearn), each in [0.0, 1.0].") &&
        qn::add_function<determine_workload_pattern>(
            m, "determine_workload_pattern", "int",
            "Workload pattern code: the first rule that holds, framework rules first.") &&
        qn::add_function<update_adaptive_threshold>(
            m, "update_adaptive_threshold", "float",
            "Detection threshold moved by the success rate, within [min_threshold, max_threshold].");
    if (!ok) return -1;

    return qn::log_loaded(m, "Quarvel Task Profiler Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(task_profiler,
          "Scoring core of the workload analyser: framework and indicator scores and workload "
          "estimates.",
          exec_task_profiler)
