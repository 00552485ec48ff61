// Threshold arithmetic of the compile gate, free of any interpreter object so that it can be tested
// and timed on its own. The binding reads the configuration and the metrics, calls these functions
// and stores the result.
#pragma once

#include <cmath>
#include <cstdint>

namespace quarvel::compile_gate {

// The tuning parameters of the policy. The member initialisers are the defaults, written only
// here: the configuration record, its constructor, its factory and the reading of a foreign
// configuration object all take them from kDefaultPolicy. Setters on the configuration record do
// not validate, so nothing here may assume the construction-time invariants (min < max,
// 0 < rate <= 1, ...).
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

// Seconds that must pass between two compilations of one function.
inline constexpr double kRecompileInterval = 600.0;

// Whether a function whose figures were read under the gate's lock should be compiled now.
// The call count is compared as unsigned 64-bit after widening the signed threshold, exactly as
// the integer types imply (a negative threshold widens to a huge value and so never fires).
// NaN timestamps make the interval test false, which allows the compilation.
inline bool decide_compile(std::int32_t threshold, std::uint64_t call_count,
                           std::uint32_t compile_count, double last_compiled, double current_time,
                           double recompile_interval = kRecompileInterval) noexcept {
    if (call_count < static_cast<std::uint64_t>(static_cast<std::int64_t>(threshold))) return false;
    if (compile_count == 0) return true;
    if (current_time - last_compiled < recompile_interval) return false;
    return true;
}

// The unclamped value an update moves the threshold to. The expression is evaluated in this exact
// order, two roundings and no fused multiply-add, so that results agree bit for bit with the same
// arithmetic done in Python.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("fp-contract=off")))
#endif
inline double raw_next_threshold(std::int32_t current, std::uint32_t compile_count,
                                 double avg_speedup, const PolicyParams& p) noexcept {
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
inline std::int32_t clamp_threshold(double value, std::int32_t current,
                                    const PolicyParams& p) noexcept {
    if (std::isnan(value)) return current;
    if (static_cast<double>(p.min_threshold) > value) return p.min_threshold;
    if (value > static_cast<double>(p.max_threshold)) return p.max_threshold;
    return static_cast<std::int32_t>(value);
}

inline std::int32_t next_threshold(std::int32_t current, std::uint32_t compile_count,
                                   double avg_speedup, const PolicyParams& p) noexcept {
    return clamp_threshold(raw_next_threshold(current, compile_count, avg_speedup, p), current, p);
}

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

}  // namespace quarvel::compile_gate
