// The compile policy's rules and arithmetic, free of any interpreter object so that they can be
// tested and timed on their own: the configuration's defaults and validation, the metrics record's
// timestamp alias, the compile decision, the threshold a compilation's outcome moves a function to,
// the statistics of the learned thresholds, the wall clock in seconds and the per-thread marker of
// the process-wide instance's section. The binding (compile_gate.cpp) converts arguments, reads a
// configuration's and a record's fields into the plain structs below, calls these functions and
// builds the Python results.
//
// Threading contract (the binding's):
//   * Everything here except ThreadMark is a value or a pure function of its arguments: no static
//     state, no allocation, nothing that blocks. Any thread may call it at any time.
//   * Consistency is the caller's: a gate reads its configuration's fields, a function's learned
//     threshold and the store's figures under the gate's lock and passes copies in, so one decision
//     or update never mixes values from different moments. The configuration record has no lock
//     of its own (its setters do not take the gate's lock), so nothing here may assume that a
//     PolicyParams still satisfies the construction-time invariants: every function is total over
//     any field values, NaN and crossing bounds included.
//   * ThresholdSummary is an accumulator owned by one caller for one pass over a table.
//   * ThreadMark<Tag> is one flag per thread and tag; it tells a thread that it is already inside the
//     section it marks (re-entry), and says nothing about other threads, which the caller's real
//     lock serialises.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

namespace quarvel::compile_gate {

// ---------------------------------------------------------------------------------------------
// Records

// The tuning parameters of the policy. The member initialisers are the defaults, written only
// here: the configuration record, its constructor, its factory and the reading of a foreign
// configuration object all take them from kDefaultPolicy.
struct PolicyParams {
    std::int32_t initial_threshold = 100;
    std::int32_t min_threshold = 10;
    std::int32_t max_threshold = 10000;
    double learning_rate = 0.1;
    double target_speedup = 2.0;
};
inline constexpr PolicyParams kDefaultPolicy{};

// A function's figures as the metrics record starts them (the constructor's and the factory's
// defaults).
struct MetricsFigures {
    std::uint64_t call_count = 0;
    std::uint32_t compile_count = 0;
    double avg_speedup = 1.0;
    double total_execution_time_ms = 0.0;
    double last_compile_time = 0.0;
};
inline constexpr MetricsFigures kDefaultMetrics{};

// The constructor's `last_compiled` default: any negative value stands for "not given".
inline constexpr double kLastCompiledAbsent = -1.0;

// The timestamp a metrics record keeps when constructed with both names of the field: the alias
// `last_compiled` wins when it was given (>= 0); NaN and negative values count as not given.
constexpr double record_timestamp(double last_compile_time, double last_compiled) noexcept {
    return last_compiled >= 0.0 ? last_compiled : last_compile_time;
}

// Seconds that must pass between two compilations of one function.
inline constexpr double kRecompileInterval = 600.0;

// ---------------------------------------------------------------------------------------------
// Configuration validation (construction only: the setters store without checking)

enum class PolicyFault {
    none,
    min_not_positive,
    max_not_above_min,
    rate_out_of_range,
    target_not_positive,
    initial_out_of_bounds,
};

// The ValueError text of each fault.
constexpr const char* fault_message(PolicyFault f) noexcept {
    switch (f) {
        case PolicyFault::none:
            break;
        case PolicyFault::min_not_positive:
            return "min_threshold must be positive";
        case PolicyFault::max_not_above_min:
            return "max_threshold must be greater than min_threshold";
        case PolicyFault::rate_out_of_range:
            return "learning_rate must be in (0, 1]";
        case PolicyFault::target_not_positive:
            return "target_speedup must be positive";
        case PolicyFault::initial_out_of_bounds:
            return "initial_threshold must be within bounds";
    }
    return nullptr;
}

// The first rule a configuration breaks, tested in this order. A NaN learning rate fails its test
// (it is not inside (0, 1]); a NaN target speedup passes (it is not <= 0).
constexpr PolicyFault check_policy(const PolicyParams& p) noexcept {
    if (p.min_threshold <= 0) return PolicyFault::min_not_positive;
    if (p.max_threshold <= p.min_threshold) return PolicyFault::max_not_above_min;
    if (!(p.learning_rate > 0.0 && p.learning_rate <= 1.0)) return PolicyFault::rate_out_of_range;
    if (p.target_speedup <= 0.0) return PolicyFault::target_not_positive;
    if (!(p.min_threshold <= p.initial_threshold && p.initial_threshold <= p.max_threshold))
        return PolicyFault::initial_out_of_bounds;
    return PolicyFault::none;
}

// ---------------------------------------------------------------------------------------------
// The compile decision

// Whether a function whose figures were read under the gate's lock should be compiled now.
// The call count is compared as unsigned 64-bit after widening the signed threshold, exactly as
// the integer types imply (a negative threshold widens to a huge value and so never fires).
// NaN timestamps make the interval test false, which allows the compilation. The average speedup
// is read by the gate but never decides.
inline bool decide_compile(std::int32_t threshold, std::uint64_t call_count, std::uint32_t compile_count,
                           double last_compiled, double current_time,
                           double recompile_interval = kRecompileInterval) noexcept {
    if (call_count < static_cast<std::uint64_t>(static_cast<std::int64_t>(threshold))) return false;
    if (compile_count == 0) return true;
    if (current_time - last_compiled < recompile_interval) return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Learning: the threshold after a compilation

// The unclamped value an update moves the threshold to. The expression is evaluated in this exact
// order, two roundings and no fused multiply-add, so that results agree bit for bit with the same
// arithmetic done in Python.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("fp-contract=off")))
#endif
inline double raw_next_threshold(std::int32_t current, std::uint32_t compile_count, double avg_speedup,
                                 const PolicyParams& p) noexcept {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const double target = p.target_speedup <= 0.0 ? 1.0 : p.target_speedup;
    const double adjustment = (avg_speedup / target > 1.0) ? -p.learning_rate : p.learning_rate;
    double confidence = static_cast<double>(compile_count) / 10.0;
    if (confidence > 1.0) confidence = 1.0;
    const double cur = static_cast<double>(current);
    const double step = adjustment * cur;
    return (1.0 - confidence) * step + cur;
}

// Clamp a raw value into the configured bounds and truncate it toward zero. The minimum is tested
// first, so with bounds that cross (min > max) a value below the minimum yields the minimum and any
// other value yields the maximum; the truncation is only reached for min <= value <= max, where the
// value fits in 32 bits. A NaN value cannot be ordered against the bounds: the current threshold is
// kept rather than converting NaN to an integer.
inline std::int32_t clamp_threshold(double value, std::int32_t current, const PolicyParams& p) noexcept {
    if (std::isnan(value)) return current;
    if (static_cast<double>(p.min_threshold) > value) return p.min_threshold;
    if (value > static_cast<double>(p.max_threshold)) return p.max_threshold;
    return static_cast<std::int32_t>(value);
}

inline std::int32_t next_threshold(std::int32_t current, std::uint32_t compile_count, double avg_speedup,
                                   const PolicyParams& p) noexcept {
    return clamp_threshold(raw_next_threshold(current, compile_count, avg_speedup, p), current, p);
}

// ---------------------------------------------------------------------------------------------
// Statistics of the learned thresholds

// Mean of the learned thresholds as Python's int / int true division gives it (correctly rounded).
// Returns false when the exact sum is too large for the double quotient to be correctly rounded;
// the caller then divides with arbitrary-precision integers.
inline bool mean_of_sum(std::int64_t sum, std::uint64_t count, double* out) noexcept {
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (count == 0 || count > static_cast<std::uint64_t>(kExact)) return false;
    if (sum > kExact || sum < -kExact) return false;
    *out = static_cast<double>(sum) / static_cast<double>(count);
    return true;
}

// Count, sum, minimum and maximum of the values of one pass over a gate's table. The sum stops
// being tracked (sum_exact() turns false) at the first addition that would overflow 64 bits; the
// minimum and maximum are exact for any values.
class ThresholdSummary {
public:
    void add(std::int64_t v) noexcept {
        if (count_ == 0 || v < lo_) lo_ = v;
        if (count_ == 0 || v > hi_) hi_ = v;
        ++count_;
        if (sum_exact_ && __builtin_add_overflow(sum_, v, &sum_)) sum_exact_ = false;
    }
    std::uint64_t count() const noexcept { return count_; }
    std::int64_t min() const noexcept { return lo_; }  // 0 when empty
    std::int64_t max() const noexcept { return hi_; }
    bool sum_exact() const noexcept { return sum_exact_; }
    // The correctly rounded mean, or false when it needs arbitrary-precision division (or the
    // summary is empty).
    bool mean(double* out) const noexcept { return sum_exact_ && mean_of_sum(sum_, count_, out); }

private:
    std::uint64_t count_ = 0;
    std::int64_t sum_ = 0;
    std::int64_t lo_ = 0;
    std::int64_t hi_ = 0;
    bool sum_exact_ = true;
};

// ---------------------------------------------------------------------------------------------
// The wall clock, in seconds since the epoch as the standard `time.time()` gives it

// Nanoseconds to seconds with the standard clock's two roundings: an exact division for whole
// seconds, else the nanoseconds rounded to a double and then divided by 1e9 (kept as two steps:
// a fused or reassociated form would round differently).
inline double seconds_from_ns(std::int64_t ns) noexcept {
    constexpr std::int64_t kNs = 1000000000;
    if (ns % kNs == 0) return static_cast<double>(ns / kNs);
    volatile double d = static_cast<double>(ns);
    d = d / 1e9;
    return d;
}

// The system clock (CLOCK_REALTIME) now, in seconds.
inline double system_clock_seconds() noexcept {
    using namespace std::chrono;
    const auto since_epoch = system_clock::now().time_since_epoch();
    return seconds_from_ns(static_cast<std::int64_t>(duration_cast<nanoseconds>(since_epoch).count()));
}

// ---------------------------------------------------------------------------------------------
// Re-entry marker

// Marks this thread as inside the section named by Tag for the marker's lifetime, so that a call
// reaching the same section again on this thread (a callback made from inside it) is told so and
// can refuse instead of waiting for itself. enter() is false when the thread is already inside.
template <class Tag>
class ThreadMark {
public:
    ThreadMark() = default;
    ThreadMark(const ThreadMark&) = delete;
    ThreadMark& operator=(const ThreadMark&) = delete;
    ~ThreadMark() {
        if (entered_) inside_ = false;
    }
    [[nodiscard]] bool enter() noexcept {
        if (inside_) return false;
        inside_ = entered_ = true;
        return true;
    }
    static bool inside() noexcept { return inside_; }

private:
    static inline thread_local bool inside_ = false;
    bool entered_ = false;
};

}  // namespace quarvel::compile_gate
