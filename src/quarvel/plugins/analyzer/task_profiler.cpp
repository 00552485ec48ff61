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

namespace core = quarvel::task_profiler_core;

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

PyObject* quick_framework_score(qn::Function*, PyObject* const* a) {
    PyObject* code = a[0];
    PyObject* framework = a[1];
    if (!qn::arg_exact(code, &PyUnicode_Type, "code") ||
        !qn::arg_exact(framework, &PyUnicode_Type, "framework"))
        return nullptr;
    if ((framework != Py_None && PyUnicode_READY(framework) < 0) ||
        (code != Py_None && PyUnicode_READY(code) < 0))
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

PyObject* score_framework_patterns(qn::Function*, PyObject* const* a) {
    PyObject* code = a[0];
    if (!qn::arg_exact(code, &PyUnicode_Type, "code") || !require_code(code, "score_framework_patterns"))
        return nullptr;
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

PyObject* score_indicators(qn::Function*, PyObject* const* a) {
    PyObject* code = a[0];
    PyObject* name = a[1];
    if (!qn::arg_exact(code, &PyUnicode_Type, "code") ||
        !qn::arg_exact(name, &PyUnicode_Type, "function_name") || !require_code(code, "score_indicators"))
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

PyObject* normalize_scores(qn::Function*, PyObject* const* a) {
    std::int32_t v[5];
    for (int i = 0; i < 5; ++i)
        if (!qn::to_i32(a[i], v[i])) return nullptr;
    const core::NormalizedScores s = core::normalize_scores(v[0], v[1], v[2], v[3], v[4]);
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

bool doubles(PyObject* const* a, int n, double* out) {
    for (int i = 0; i < n; ++i)
        if (!qn::arg_double(a[i], out[i])) return false;
    return true;
}

PyObject* calculate_parallelization_potential(qn::Function*, PyObject* const* a) {
    double v[4];
    if (!doubles(a, 4, v)) return nullptr;
    return new_float(core::parallelization_potential(v[0], v[1], v[2], v[3]));
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

PyObject* calculate_gpu_suitability(qn::Function*, PyObject* const* a) {
    double v[3];
    bool available;
    if (!doubles(a, 3, v) || !qn::arg_bool(a[3], available) ||
        !qn::arg_exact(a[4], &PyUnicode_Type, "compute_capability"))
        return nullptr;
    if (!available) return new_float(0.0);
    PyObject* cap = a[4];
    double mult = 1.0;
    if (cap != Py_None) {
        if (PyUnicode_READY(cap) < 0) return nullptr;
        if (PyUnicode_GET_LENGTH(cap) > 0 && !capability_multiplier(cap, mult)) return nullptr;
    }
    return new_float(core::gpu_suitability(v[0], v[1], v[2], mult));
}

PyObject* estimate_gpu_speedup(qn::Function*, PyObject* const* a) {
    double v[2];
    bool available;
    if (!doubles(a, 2, v) || !qn::arg_bool(a[2], available)) return nullptr;
    return new_float(core::gpu_speedup(v[0], v[1], available));
}

PyObject* determine_workload_pattern(qn::Function*, PyObject* const* a) {
    core::WorkloadInputs in;
    double first[8];
    double thresholds[6];
    if (!doubles(a, 8, first) || !qn::to_i32(a[8], in.sequential_count) || !qn::to_i32(a[9], in.embarrassing_count) ||
        !doubles(a + 10, 6, thresholds) || !qn::arg_bool(a[16], in.gpu_available))
        return nullptr;
    in.cpu_intensity = first[0];
    in.memory_intensity = first[1];
    in.parallelization_potential = first[2];
    in.gpu_suitability = first[3];
    in.gpu_operation_score = first[4];
    in.numpy_score = first[5];
    in.pandas_score = first[6];
    in.sklearn_score = first[7];
    in.cpu_threshold = thresholds[0];
    in.memory_threshold = thresholds[1];
    in.gpu_threshold = thresholds[2];
    in.numpy_threshold = thresholds[3];
    in.pandas_threshold = thresholds[4];
    in.sklearn_threshold = thresholds[5];
    return PyLong_FromLong(core::workload_pattern(in));
}

PyObject* update_adaptive_threshold(qn::Function*, PyObject* const* a) {
    double v[5];
    if (!doubles(a, 5, v)) return nullptr;
    return new_float(core::adaptive_threshold(v[0], v[1], v[2], v[3], v[4]));
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
        qn::Ref pattern = qn::Ref::steal(
            PyObject_CallFunction(compile.get(), "sO", sources[i].c_str(), flag.get()));
        if (!pattern) return -1;
        if (PyDict_SetItemString(table.get(), core::kFrameworkNames[i].data(), pattern.get()) < 0) return -1;
        findall[i] = qn::Ref::steal(PyObject_GetAttrString(pattern.get(), "findall"));
        if (!findall[i]) return -1;
    }
    for (int i = 0; i < 3; ++i) g_findall[i] = findall[i].release();
    g_patterns = table.release();
    return 0;
}

// Parameters by their declared type.
constexpr qn::Param str_param(const char* name) { return {name, nullptr, "str"}; }
constexpr qn::Param int_param(const char* name) { return {name, nullptr, "int"}; }
constexpr qn::Param double_param(const char* name) { return {name, nullptr, "double"}; }
constexpr qn::Param bool_param(const char* name) { return {name, nullptr, "bool"}; }

int exec_task_profiler(PyObject* m) {
    qn::Ref re = qn::Ref::steal(PyImport_ImportModule("re"));
    if (!re || qn::bind(m, "re", qn::newref(re.get())) < 0 || build_pattern_table(re.get()) < 0) return -1;

    const auto S = str_param;
    const auto I = int_param;
    const auto D = double_param;
    const auto B = bool_param;
    const qn::FuncSpec functions[] = {
        {"quick_framework_score", quick_framework_score, {S("code"), S("framework")}, "float",
         "Share of matches of the framework's pattern in the text: matches / 10, at most 1.0; 0.0 for "
         "an unknown framework."},
        {"calculate_gpu_suitability", calculate_gpu_suitability,
         {D("gpu_operation_score"), D("gpu_data_size_score"), D("cpu_intensity"), B("gpu_available"),
          S("compute_capability")},
         "float", "GPU suitability in [0.0, 1.0], weighted by the compute capability's major version."},
        {"estimate_gpu_speedup", estimate_gpu_speedup,
         {D("gpu_operation_score"), D("gpu_data_size_score"), B("gpu_available")}, "float",
         "Expected GPU speedup; 1.0 when none is expected."},
        {"calculate_parallelization_potential", calculate_parallelization_potential,
         {D("base_parallel_score"), D("embarrassing_bonus"), D("sequential_penalty"), D("loop_chunking_potential")},
         "float", "Parallelisation potential in [0.0, 1.0]."},
        {"score_indicators", score_indicators, {S("code"), S("function_name")}, "tuple",
         "Workload indicator counts of the source text (and, for the GPU operation and embarrassingly "
         "parallel indicators, the function name): (cpu, memory, parallel, gpu_op, large_data, "
         "embarrassing, sequential)."},
        {"normalize_scores", normalize_scores,
         {I("cpu_score"), I("memory_score"), I("parallel_score"), I("gpu_op_score"), I("large_data_score")}, "tuple",
         "The first five indicator counts as scores in [0.0, 1.0]."},
        {"score_framework_patterns", score_framework_patterns, {S("code")}, "tuple",
         "Framework keyword scores of the source text: (numpy, pandas, sklearn), each in [0.0, 1.0]."},
        {"determine_workload_pattern", determine_workload_pattern,
         {D("cpu_intensity"), D("memory_intensity"), D("parallelization_potential"), D("gpu_suitability"),
          D("gpu_operation_score"), D("numpy_score"), D("pandas_score"), D("sklearn_score"), I("sequential_count"),
          I("embarrassing_count"), D("cpu_threshold"), D("memory_threshold"), D("gpu_threshold"),
          D("numpy_threshold"), D("pandas_threshold"), D("sklearn_threshold"), B("gpu_available")},
         "int", "Workload pattern code: the first rule that holds, framework rules first."},
        {"update_adaptive_threshold", update_adaptive_threshold,
         {D("current_threshold"), D("success_rate"), D("learning_rate"), D("min_threshold"), D("max_threshold")},
         "float", "Detection threshold moved by the success rate, within [min_threshold, max_threshold]."},
    };
    for (const qn::FuncSpec& function : functions)
        if (qn::add_function(m, function) == nullptr) return -1;

    return qn::log_loaded(m, "Quarvel Task Profiler Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(task_profiler, "Scoring core of the workload analyser: framework and indicator scores and workload "
                         "estimates.", exec_task_profiler)
