// Pure C++ core of quarvel.plugins.analyzer.task_profiler: the keyword tables, the keyword
// matcher, the ASCII framework-pattern counter and the arithmetic of the workload estimates.
// No Python objects here; the binding (task_profiler.cpp) feeds it code units and numbers.
//
// Keyword scoring works on the lower-cased text.  Every keyword is lower-case ASCII, so a keyword
// is a substring of text.lower() exactly when it is a substring of the projection that keeps each
// ASCII character of the lowered text and replaces every other character by a separator that no
// keyword contains.  Lower-casing an ASCII character gives ASCII; the only non-ASCII code points
// whose lower-case form holds ASCII characters are U+0130 (to "i" + U+0307) and U+212A (to "k")
// (the tests check this against the running interpreter over every code point).  The projection is
// fed, one code unit at a time, to a deterministic multi-keyword automaton built at compile time,
// which collects the set of keyword entries seen as a bit mask: one pass over the text (in four
// interleaved lanes for a long text), whatever the number of keywords, and each entry counts at
// most once.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quarvel::task_profiler {

// ---------------------------------------------------------------------------------------------
// Keyword tables, in their documented order.  The sizes are the score divisors.

inline constexpr std::string_view kNumpyKeywords[] = {
    "numpy",  "np.",    "ndarray", "array",     "matrix",      "vectorize", "broadcast", "ufunc", "dot",
    "matmul", "linalg", "fft",     "sum",       "mean",        "std",       "var",       "min",   "max",
    "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",     "split"};
inline constexpr std::string_view kPandasKeywords[] = {
    "pandas", "pd.",    "dataframe", "series", "groupby", "apply", "agg",     "transform", "merge",
    "join",   "concat", "pivot",     "melt",   "query",   "eval",  "rolling", "resample",  "sort_values"};
inline constexpr std::string_view kSklearnKeywords[] = {
    "sklearn",    "fit",          "predict",          "transform",
    "score",      "cross_val",    "gridsearchcv",     "randomizedsearchcv",
    "pipeline",   "featureunion", "train_test_split", "classification",
    "regression", "clustering",   "preprocessing",    "model_selection",
    "metrics",    "ensemble"};

inline constexpr std::string_view kCpuIndicators[] = {"for",  "while",       "range",   "numpy",     "scipy",
                                                      "math", "calculation", "compute", "algorithm", "sum",
                                                      "prod", "dot",         "matmul",  "fft",       "linalg"};
inline constexpr std::string_view kMemoryIndicators[] = {"array",    "list",   "dict",  "pandas", "dataframe",
                                                         "allocate", "buffer", "cache", "append", "extend"};
inline constexpr std::string_view kParallelIndicators[] = {
    "multiprocessing", "threading",           "concurrent",        "async", "parallel", "pool", "worker", "chunk",
    "batch",           "processpoolexecutor", "threadpoolexecutor"};
inline constexpr std::string_view kGpuOpIndicators[] = {
    "matmul", "dot",      "tensordot", "@",      "fft",   "ifft", "rfft", "convolve", "correlate", "sum",
    "mean",   "std",      "var",       "sin",    "cos",   "exp",  "log",  "sqrt",     "power",     "**",
    "add",    "subtract", "multiply",  "divide", "/",     "*",    "+",    "-",        "linalg",    "linear_algebra",
    "array",  "asarray",  "zeros",     "ones",   "empty", "full"};
inline constexpr std::string_view kLargeDataIndicators[] = {"reshape", "resize",   "huge",    "large", "gigabyte",
                                                            "gb",      "million",  "billion", "1e6",   "1e9",
                                                            "1024",    "megabyte", "mb"};
inline constexpr std::string_view kEmbarrassingIndicators[] = {"workload", "benchmark", "intensive", "chunk_workload",
                                                               "map",      "apply",     "vectorize", "broadcast"};
inline constexpr std::string_view kSequentialIndicators[] = {"global",       "nonlocal",   "lock",    "mutex",
                                                             "synchronized", "sequential", "ordered", "dependencies"};

// ---------------------------------------------------------------------------------------------
// Keyword automaton.  Entries of several lists are numbered consecutively (list 0 first); bit i of
// a match mask stands for entry i.  An entry that stands in two lists has two bits.

// A group of keyword lists, flattened.
template <std::size_t NEntries, std::size_t NLists>
struct KeywordSet {
    std::array<std::string_view, NEntries> entries{};
    std::array<std::size_t, NLists + 1> starts{};  // list k holds entries [starts[k], starts[k+1])
};

template <std::size_t... Sizes>
constexpr auto make_keyword_set(const std::string_view (&... lists)[Sizes]) {
    KeywordSet<(Sizes + ... + 0), sizeof...(Sizes)> set{};
    std::size_t pos = 0;
    std::size_t list = 0;
    auto add = [&](const auto& words) {
        set.starts[list++] = pos;
        for (std::string_view w : words) set.entries[pos++] = w;
    };
    (add(lists), ...);
    set.starts[list] = pos;
    return set;
}

inline constexpr auto kFrameworkSet = make_keyword_set(kNumpyKeywords, kPandasKeywords, kSklearnKeywords);
inline constexpr auto kIndicatorSet =
    make_keyword_set(kCpuIndicators, kMemoryIndicators, kParallelIndicators, kGpuOpIndicators, kLargeDataIndicators,
                     kEmbarrassingIndicators, kSequentialIndicators);

template <class Set>
constexpr std::size_t total_chars(const Set& set) {
    std::size_t n = 0;
    for (std::string_view w : set.entries) n += w.size();
    return n;
}

// Number of distinct characters over all entries, plus one class for "any other character".
template <class Set>
constexpr std::size_t class_count(const Set& set) {
    std::array<bool, 128> seen{};
    std::size_t n = 1;
    for (std::string_view w : set.entries)
        for (char c : w) {
            auto u = static_cast<unsigned char>(c);
            if (!seen[u]) {
                seen[u] = true;
                ++n;
            }
        }
    return n;
}

template <std::size_t MaxStates, std::size_t NClasses, std::size_t NWords>
struct Automaton {
    using Mask = std::array<std::uint64_t, NWords>;
    static constexpr std::size_t words = NWords;

    // Character class of each ASCII code unit after lower-casing (upper-case letters share the
    // class of their lower-case letter); class 0 is every character no keyword contains.
    std::array<std::uint8_t, 128> cls{};
    std::size_t states = 1;  // state 0 is the start
    std::array<std::array<std::uint16_t, NClasses>, MaxStates> next{};
    std::array<Mask, MaxStates> out{};  // entries that end at this state (with all suffixes)

    std::size_t longest = 0;  // length of the longest entry

    // One step on code unit `c` from state `s`, adding the entries that end there to `m`.
    constexpr std::uint16_t step(std::uint16_t s, std::uint32_t c, Mask& m) const {
        if (c < 128) {
            s = next[s][cls[c]];
        } else if (c == 0x130) {  // lower-cases to "i" followed by a combining dot
            s = next[s][cls['i']];
            for (std::size_t w = 0; w < NWords; ++w) m[w] |= out[s][w];
            s = 0;
        } else if (c == 0x212A) {  // KELVIN SIGN lower-cases to "k"
            s = next[s][cls['k']];
        } else {
            s = 0;  // every other non-ASCII character lower-cases to non-ASCII only
        }
        for (std::size_t w = 0; w < NWords; ++w) m[w] |= out[s][w];
        return s;
    }

    // Adds to `seen` every entry that occurs in the lowered text of `n` code units of any width.
    //
    // Each step waits for the previous state, so a long text is cut into four lanes walked side
    // by side, each lane starting `longest - 1` units before its share so that an occurrence
    // crossing a cut lies whole in the next lane.  Only the set of entries is wanted, so an
    // occurrence seen by two lanes does no harm.
    // Always inlined: left to the compiler's budget, whether it was inlined (and how fast the
    // loop came out, up to 2% per character) changed with unrelated edits elsewhere in a binding.
    template <class Unit>
    [[gnu::always_inline]] constexpr void scan(const Unit* p, std::size_t n, Mask& seen) const {
        Mask m = seen;
        const std::size_t overlap = longest - 1;
        std::size_t done = 0;
        if (n >= 4 * (overlap + 16)) {
            const std::size_t share = n / 4;
            const Unit* l0 = p;
            const Unit* l1 = p + share - overlap;
            const Unit* l2 = p + 2 * share - overlap;
            const Unit* l3 = p + 3 * share - overlap;
            std::uint16_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            for (std::size_t i = 0; i < share; ++i) {
                s0 = step(s0, static_cast<std::uint32_t>(l0[i]), m);
                s1 = step(s1, static_cast<std::uint32_t>(l1[i]), m);
                s2 = step(s2, static_cast<std::uint32_t>(l2[i]), m);
                s3 = step(s3, static_cast<std::uint32_t>(l3[i]), m);
            }
            // Lanes 1 and 2 end where the next share begins; lane 3 runs on to the end.
            for (std::size_t i = share; i < share + overlap; ++i) {
                s1 = step(s1, static_cast<std::uint32_t>(l1[i]), m);
                s2 = step(s2, static_cast<std::uint32_t>(l2[i]), m);
                s3 = step(s3, static_cast<std::uint32_t>(l3[i]), m);
            }
            for (const Unit* q = l3 + share + overlap; q < p + n; ++q) s3 = step(s3, static_cast<std::uint32_t>(*q), m);
            done = n;
        }
        std::uint16_t s = 0;
        for (std::size_t i = done; i < n; ++i) s = step(s, static_cast<std::uint32_t>(p[i]), m);
        seen = m;
    }
};

// Builds the automaton of a keyword set (trie, failure links, full transition table).
template <std::size_t MaxStates, std::size_t NClasses, std::size_t NWords, class Set>
constexpr Automaton<MaxStates, NClasses, NWords> build_automaton(const Set& set) {
    Automaton<MaxStates, NClasses, NWords> a{};
    constexpr std::uint16_t kNone = 0xFFFF;
    std::uint8_t ncls = 1;
    for (std::string_view w : set.entries)
        for (char c : w) {
            auto u = static_cast<unsigned char>(c);
            if (a.cls[u] == 0) a.cls[u] = ncls++;
        }
    for (unsigned c = 'A'; c <= 'Z'; ++c) a.cls[c] = a.cls[c - 'A' + 'a'];

    std::array<std::array<std::uint16_t, NClasses>, MaxStates> trie{};
    for (auto& row : trie)
        for (auto& t : row) t = kNone;
    std::size_t states = 1;
    for (std::size_t e = 0; e < set.entries.size(); ++e) {
        std::size_t s = 0;
        for (char c : set.entries[e]) {
            auto k = a.cls[static_cast<unsigned char>(c)];
            if (trie[s][k] == kNone) trie[s][k] = static_cast<std::uint16_t>(states++);
            s = trie[s][k];
        }
        a.out[s][e / 64] |= std::uint64_t{1} << (e % 64);
        if (set.entries[e].size() > a.longest) a.longest = set.entries[e].size();
    }
    a.states = states;

    // Breadth-first: each state's transitions and output follow from its failure state, which
    // is shallower and therefore already complete.
    std::array<std::uint16_t, MaxStates> fail{};
    std::array<std::uint16_t, MaxStates> queue{};
    std::size_t head = 0;
    std::size_t tail = 0;
    for (std::size_t k = 0; k < NClasses; ++k) {
        if (trie[0][k] == kNone || k == 0) {
            a.next[0][k] = 0;
        } else {
            a.next[0][k] = trie[0][k];
            fail[trie[0][k]] = 0;
            queue[tail++] = trie[0][k];
        }
    }
    while (head < tail) {
        const std::uint16_t s = queue[head++];
        for (std::size_t w = 0; w < NWords; ++w) a.out[s][w] |= a.out[fail[s]][w];
        for (std::size_t k = 0; k < NClasses; ++k) {
            const std::uint16_t t = trie[s][k];
            if (k != 0 && t != kNone) {
                a.next[s][k] = t;
                fail[t] = a.next[fail[s]][k];
                queue[tail++] = t;
            } else {
                a.next[s][k] = a.next[fail[s]][k];
            }
        }
    }
    return a;
}

template <const auto& Set>
constexpr auto build_for() {
    constexpr std::size_t states = total_chars(Set) + 1;
    constexpr std::size_t classes = class_count(Set);
    constexpr std::size_t words = (Set.entries.size() + 63) / 64;
    return build_automaton<states, classes, words>(Set);
}

inline constexpr auto kFrameworkAutomaton = build_for<kFrameworkSet>();
inline constexpr auto kIndicatorAutomaton = build_for<kIndicatorSet>();

static_assert(kFrameworkAutomaton.states <= 0xFFFF && kIndicatorAutomaton.states <= 0xFFFF);

// Number of entries of list `list` present in `seen`.
template <class Set, class Mask>
constexpr int count_list(const Set& set, const Mask& seen, std::size_t list) {
    int n = 0;
    for (std::size_t e = set.starts[list]; e < set.starts[list + 1]; ++e)
        n += static_cast<int>((seen[e / 64] >> (e % 64)) & 1u);
    return n;
}

// Mask of the entries of the given lists (the lists that also look at the function name).
template <class Set, std::size_t NWords>
constexpr std::array<std::uint64_t, NWords> list_mask(const Set& set, std::initializer_list<std::size_t> lists) {
    std::array<std::uint64_t, NWords> m{};
    for (std::size_t list : lists)
        for (std::size_t e = set.starts[list]; e < set.starts[list + 1]; ++e) m[e / 64] |= std::uint64_t{1} << (e % 64);
    return m;
}

enum IndicatorList : std::size_t {
    kListCpu = 0,
    kListMemory,
    kListParallel,
    kListGpuOp,
    kListLargeData,
    kListEmbarrassing,
    kListSequential,
    kIndicatorLists
};

inline constexpr auto kNameListsMask =
    list_mask<decltype(kIndicatorSet), kIndicatorAutomaton.words>(kIndicatorSet, {kListGpuOp, kListEmbarrassing});

// Clamp as the callers define it: below lo gives lo, else above hi gives hi, else v (a NaN
// passes through unchanged).
constexpr double clamp(double v, double lo, double hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

struct FrameworkScores {
    double numpy, pandas, sklearn;
};

// Framework keyword scores from the mask of entries seen in the lowered text.
inline FrameworkScores framework_scores(const decltype(kFrameworkAutomaton)::Mask& seen) {
    return {clamp(count_list(kFrameworkSet, seen, 0) / 25.0, 0.0, 1.0),
            clamp(count_list(kFrameworkSet, seen, 1) / 18.0, 0.0, 1.0),
            clamp(count_list(kFrameworkSet, seen, 2) / 18.0, 0.0, 1.0)};
}

// Indicator counts from the masks of entries seen in the lowered text and in the lowered name.
inline std::array<int, kIndicatorLists> indicator_counts(const decltype(kIndicatorAutomaton)::Mask& text,
                                                         const decltype(kIndicatorAutomaton)::Mask& name) {
    decltype(kIndicatorAutomaton)::Mask all{};
    for (std::size_t w = 0; w < all.size(); ++w) all[w] = text[w] | (name[w] & kNameListsMask[w]);
    std::array<int, kIndicatorLists> counts{};
    for (std::size_t k = 0; k < kIndicatorLists; ++k) counts[k] = count_list(kIndicatorSet, all, k);
    return counts;
}

// ---------------------------------------------------------------------------------------------
// Framework patterns on ASCII text.  Each framework's pattern is a word-bounded alternation of
// literals matched without regard to case; on a text of ASCII characters only, word characters
// are [A-Za-z0-9_] and case folding is plain ASCII folding, so the matches are counted here
// exactly as the regular-expression engine finds them: the leftmost position first, the
// alternatives in order, each later search starting where the previous match ended.

inline constexpr std::string_view kNumpyPattern[] = {"numpy",     "np.",    "ndarray", "array",
                                                     "vectorize", "matmul", "linalg"};
inline constexpr std::string_view kPandasPattern[] = {"pandas",  "pd.",   "DataFrame", "Series",
                                                      "groupby", "merge", "pivot"};
inline constexpr std::string_view kSklearnPattern[] = {"sklearn",   "fit",          "predict",
                                                       "transform", "GridSearchCV", "RandomForest"};

// The framework table's keys, in order; the index is the `Framework` value.
inline constexpr std::string_view kFrameworkNames[] = {"numpy", "pandas", "sklearn"};

constexpr bool ascii_word_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

constexpr unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline constexpr auto kAsciiWord = [] {
    std::array<bool, 256> w{};
    for (unsigned c = 0; c < 256; ++c) w[c] = ascii_word_char(static_cast<unsigned char>(c));
    return w;
}();

// A word-bounded alternation with, for each lowered first character, the alternatives that
// start with it (bit i: alternative i, at most 8 alternatives).
template <std::size_t N>
struct AsciiPattern {
    static_assert(N <= 8);
    const std::string_view* alts;
    std::array<std::uint8_t, 128> starting{};
};

template <std::size_t N>
constexpr AsciiPattern<N> make_ascii_pattern(const std::string_view (&alts)[N]) {
    AsciiPattern<N> p{alts, {}};
    for (std::size_t i = 0; i < N; ++i) {
        const unsigned char first = ascii_lower(static_cast<unsigned char>(alts[i][0]));
        p.starting[first] |= static_cast<std::uint8_t>(1u << i);
    }
    return p;
}

inline constexpr auto kNumpyAscii = make_ascii_pattern(kNumpyPattern);
inline constexpr auto kPandasAscii = make_ascii_pattern(kPandasPattern);
inline constexpr auto kSklearnAscii = make_ascii_pattern(kSklearnPattern);

// Kept out of line: the scan loop then compiles the same whatever calls it (inlined into a
// binding, its register allocation varied with the surrounding code, by up to 7% per character).
template <std::size_t N>
[[gnu::noinline]] constexpr std::size_t count_pattern_ascii(const AsciiPattern<N>& pattern, const unsigned char* t,
                                                            std::size_t n) {
    std::size_t count = 0;
    std::size_t pos = 0;
    for (;;) {
        while (pos < n && !kAsciiWord[t[pos]]) ++pos;
        if (pos >= n) break;
        // A word starts here (the previous character, if any, is not a word character), so
        // the leading boundary holds; every alternative starts with a word character.
        std::size_t matched = 0;
        for (unsigned bits = pattern.starting[ascii_lower(t[pos]) & 0x7F]; bits != 0; bits &= bits - 1) {
            const std::string_view alt = pattern.alts[std::countr_zero(bits)];
            const std::size_t len = alt.size();
            if (len > n - pos) continue;
            std::size_t j = 1;
            while (j < len && ascii_lower(t[pos + j]) == ascii_lower(static_cast<unsigned char>(alt[j]))) ++j;
            if (j != len) continue;
            const bool before = kAsciiWord[t[pos + len - 1]];
            const bool after = pos + len < n && kAsciiWord[t[pos + len]];
            if (before != after) {
                matched = len;
                break;
            }
        }
        if (matched) {
            // The search goes on where the match ended: after a non-word character if the
            // match ends with a word character, else at the start of a word.
            ++count;
            pos += matched;
        } else {
            // No match starts inside a word.
            while (pos < n && kAsciiWord[t[pos]]) ++pos;
        }
    }
    return count;
}

// Number of matches of framework `index` (0 numpy, 1 pandas, 2 sklearn) in ASCII text.
constexpr std::size_t count_framework_ascii(std::size_t index, const unsigned char* t, std::size_t n) {
    switch (index) {
        case 0:
            return count_pattern_ascii(kNumpyAscii, t, n);
        case 1:
            return count_pattern_ascii(kPandasAscii, t, n);
        default:
            return count_pattern_ascii(kSklearnAscii, t, n);
    }
}

// Ten or more matches give 1.0.
constexpr double quick_score_from_count(std::size_t n) {
    const double x = static_cast<double>(n) / 10.0;
    return x > 1.0 ? 1.0 : x;
}

// ---------------------------------------------------------------------------------------------
// Scores and estimates.  Every expression keeps the documented order of operations.

struct NormalizedScores {
    double cpu, memory, parallel, gpu_op, large;
};

constexpr NormalizedScores normalize_scores(std::int32_t cpu, std::int32_t memory, std::int32_t parallel,
                                            std::int32_t gpu_op, std::int32_t large) {
    return {clamp(cpu / 15.0, 0.0, 1.0), clamp(memory / 10.0, 0.0, 1.0), clamp(parallel / 11.0, 0.0, 1.0),
            clamp(gpu_op / 36.0, 0.0, 1.0), clamp(large / 13.0, 0.0, 1.0)};
}

constexpr double parallelization_potential(double base, double embarrassing_bonus, double sequential_penalty,
                                           double loop_chunking) {
    const double bonus = clamp(embarrassing_bonus * 0.3, 0.0, 0.7);
    const double penalty = clamp(sequential_penalty * 0.2, 0.0, 0.5);
    const double score = ((base + bonus) - penalty) + loop_chunking * 0.4;
    return clamp(score, 0.0, 1.0);
}

// Multiplier for a compute capability's major version.
constexpr double capability_multiplier(std::int32_t major) {
    if (major >= 8) return 1.2;
    if (major == 7) return 1.1;
    if (major == 6) return 1.0;
    return 0.8;
}

// The score with a GPU present; `multiplier` is 1.0 when the capability gave no major version.
constexpr double gpu_suitability(double operation, double data_size, double cpu_intensity, double multiplier) {
    const double base = operation * 0.6 + data_size * 0.4;
    const double cpu_term = clamp(cpu_intensity * 0.3, 0.0, 0.3);
    return clamp((base + cpu_term) * multiplier, 0.0, 1.0);
}

constexpr double gpu_speedup(double operation, double data_size, bool gpu_available) {
    if (!gpu_available) return 1.0;
    if (operation == 0.0) return 1.0;
    double base;
    if (operation > 0.8)
        base = 15.0;
    else if (operation > 0.6)
        base = 8.0;
    else if (operation > 0.3)
        base = 4.0;
    else
        base = 2.0;
    return (data_size * 0.5 + 1.0) * base;
}

enum WorkloadPattern : int {
    kMixed = 0,
    kCpuIntensive = 1,
    kMemoryIntensive = 2,
    kParallelFriendly = 3,
    kSequential = 4,
    kGpuSuitable = 5,
    kGpuComputeIntensive = 6,
    kGpuMemoryBound = 7,
    kNumpyVectorized = 8,
    kNumpyLinalg = 9,
    kPandasDataframe = 10,
    kPandasGroupby = 11,
    kSklearnTraining = 12,
    kSklearnInference = 13,
};

struct WorkloadInputs {
    double cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability, gpu_operation_score,
        numpy_score, pandas_score, sklearn_score;
    std::int32_t sequential_count, embarrassing_count;
    double cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold;
    bool gpu_available;
};

constexpr int workload_pattern(const WorkloadInputs& in) {
    if (in.sklearn_score > in.sklearn_threshold) return kSklearnTraining;
    if (in.pandas_score > in.pandas_threshold) return kPandasDataframe;
    if (in.numpy_score > in.numpy_threshold) return kNumpyVectorized;
    if (in.gpu_available && in.gpu_suitability > in.gpu_threshold) {
        if (in.gpu_operation_score > 0.7 && in.cpu_intensity > 0.6) return kGpuComputeIntensive;
        if (in.memory_intensity > 0.5) return kGpuMemoryBound;
        return kGpuSuitable;
    }
    if (in.embarrassing_count > 0 || in.parallelization_potential > 0.6) return kParallelFriendly;
    if (in.cpu_intensity > in.cpu_threshold) return kCpuIntensive;
    if (in.memory_intensity > in.memory_threshold) return kMemoryIntensive;
    if (in.sequential_count >= 3) return kSequential;
    return kMixed;
}

constexpr double adaptive_threshold(double current, double success_rate, double learning_rate, double min_threshold,
                                    double max_threshold) {
    double next = current;
    if (success_rate > 0.8)
        next = current + learning_rate;
    else if (success_rate < 0.4)
        next = current - learning_rate;
    return clamp(next, min_threshold, max_threshold);
}

}  // namespace quarvel::task_profiler
