// Decision arithmetic of the executor-pool planner, free of any Python object.
//
// Every function here reproduces one fixed order of floating-point operations: the orchestrator
// compares the results against thresholds and against values computed elsewhere, so they must be
// bit-for-bit those of the written expression. Do not "simplify" an expression (no fused
// multiply-add, no reassociation, no shared subexpressions computed in another order). The build
// compiles in ISO C++ mode (no GNU extensions), where GCC does not contract a*b+c into a fused
// multiply-add, and uses no -ffast-math; the pragma below does the same for clang.
//
// The binding (pool_planner.cpp) reads the Python arguments, feeds the accumulators below and
// turns their results into Python values.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace quarvel::pool_planner {

// ------------------------------------------------------------------------------------------------
// Clamping

// Input clamp of the scoring functions: anything not below 1.0 (NaN included) becomes 1.0, then
// anything not above 0.0 becomes 0.0.
constexpr double unit_clamp(double v) noexcept {
    if (!(v < 1.0)) v = 1.0;
    if (!(v > 0.0)) v = 0.0;
    return v;
}

// Result clamp: below 0 gives 0, above 1 gives 1, anything else (NaN cannot occur after
// unit_clamp'd inputs) stays.
constexpr double clamp_result(double v) noexcept {
    if (v < 0.0) return 0.0;
    if (v > 1.0) return 1.0;
    return v;
}

// Truncation toward zero into a signed 64-bit integer with a defined result for every double:
// NaN gives 0, values beyond the range saturate at its bounds.
constexpr std::int64_t saturating_trunc_i64(double v) noexcept {
    if (v != v) return 0;
    // 2^63 is exactly representable; every double below it (and at or above -2^63) truncates
    // into range.
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// ------------------------------------------------------------------------------------------------
// Detectors

// Mean metric of the samples at or after the window start.
struct WindowMean {
    double window_start;
    double total = 0.0;
    std::int64_t count = 0;

    explicit constexpr WindowMean(double start) noexcept : window_start(start) {}

    constexpr void add(double timestamp, double metric) noexcept {
        if (timestamp >= window_start) {
            total += metric;
            ++count;
        }
    }
};

inline constexpr std::int64_t kMinDegradationSamples = 5;

// Relative drop of the window mean below the baseline, compared strictly with the threshold.
// The caller has already answered False for an empty history or a baseline <= 0.
constexpr bool degradation_exceeds(const WindowMean& w, double baseline, double threshold) noexcept {
    if (w.count < kMinDegradationSamples) return false;
    const double average = w.total / static_cast<double>(w.count);
    const double degradation = (baseline - average) / baseline;
    return degradation > threshold;
}

// Least-squares slope of metric over time within the window, relative to the window's mean
// metric, capped to [-1, 1]. Times are taken relative to the first sample in the window.
class TrendAccumulator {
public:
    explicit constexpr TrendAccumulator(double window_start) noexcept : start_(window_start) {}

    constexpr void add(double timestamp, double metric) noexcept {
        if (!(timestamp >= start_)) return;
        if (n_ == 0) t0_ = timestamp;
        const double x = timestamp - t0_;
        sum_x_ += x;
        sum_y_ += metric;
        sum_xy_ += x * metric;
        sum_xx_ += x * x;
        ++n_;
    }

    constexpr std::size_t count() const noexcept { return n_; }

    constexpr double trend() const noexcept {
        if (n_ < 3) return 0.0;
        const double n = static_cast<double>(n_);
        const double x_mean = sum_x_ / n;
        const double denominator = sum_xx_ - (x_mean * n) * x_mean;
        if (std::fabs(denominator) < 1e-10) return 0.0;
        const double y_mean = sum_y_ / n;
        if (std::fabs(y_mean) < 1e-10) return 0.0;
        const double numerator = sum_xy_ - (x_mean * n) * y_mean;
        double trend = (numerator / denominator) / y_mean;
        if (!(trend < 1.0)) trend = 1.0;
        if (!(trend > -1.0)) trend = -1.0;
        return trend;
    }

private:
    double start_;
    double t0_ = 0.0;
    double sum_x_ = 0.0;
    double sum_y_ = 0.0;
    double sum_xy_ = 0.0;
    double sum_xx_ = 0.0;
    std::size_t n_ = 0;
};

// Workload profile comparison: mean of the newest three profiles against the three before them,
// per characteristic (parallelisation potential, CPU intensity, memory intensity, in this order).
inline constexpr std::size_t kProfileKeys = 3;
inline constexpr std::size_t kProfileWindow = 6;  // three older, three recent

struct ProfileChange {
    bool changed;
    double change[kProfileKeys];
};

constexpr ProfileChange profile_change(const double (&recent_sum)[kProfileKeys],
                                       const double (&older_sum)[kProfileKeys], double change_threshold) noexcept {
    ProfileChange r{false, {0.0, 0.0, 0.0}};
    for (std::size_t k = 0; k < kProfileKeys; ++k) {
        r.change[k] = std::fabs(recent_sum[k] / 3.0 - older_sum[k] / 3.0);
    }
    for (std::size_t k = 0; k < kProfileKeys; ++k) {
        if (r.change[k] > change_threshold) r.changed = true;
    }
    return r;
}

constexpr bool memory_pressure(double current_usage, double peak_usage, double threshold) noexcept {
    if (peak_usage <= 0.0 || current_usage < 0.0) return false;
    return current_usage / peak_usage > threshold;
}

constexpr bool fragmentation_exceeds(double ratio, double threshold) noexcept {
    if (ratio < 0.0) return false;
    return ratio > threshold;
}

// First index of the pattern window over a history of n names: n - window_size when positive,
// else 0; a window_size <= 0 gives n (an empty window). Computed in 64 bits, so no overflow for
// any list length and any 32-bit window size.
constexpr std::int64_t pattern_window_start(std::int64_t n, std::int32_t window_size) noexcept {
    const std::int64_t start = n - static_cast<std::int64_t>(window_size);
    return start > 0 ? start : 0;
}

// Frequency count over a window of keys that keeps the order of first occurrence and answers the
// most frequent key, the earliest-seen one winning a tie (only a strictly greater count replaces
// the current best).
//
// Key is a trivially copyable handle; Traits provides
//   static bool same(Key a, Key b)   equality of the named values (never throws)
// and the caller passes each key's hash. Up to kLinear distinct keys are found by a linear scan
// of the entries (the usual case: a handful of pattern names); past that an open-addressing index
// is built. Allocation failure throws std::bad_alloc; the table is left usable-but-incomplete, so
// the caller must abandon the count.
template <class Key, class Traits>
class FirstSeenTally {
public:
    struct Entry {
        Key key;
        std::size_t hash;
        std::size_t count;
    };

    FirstSeenTally() = default;
    FirstSeenTally(const FirstSeenTally&) = delete;
    FirstSeenTally& operator=(const FirstSeenTally&) = delete;

    void add(Key key, std::size_t hash) {
        if (index_.empty()) {
            for (std::size_t i = 0; i < size_; ++i) {
                Entry& e = at(i);
                if (e.hash == hash && Traits::same(e.key, key)) {
                    ++e.count;
                    return;
                }
            }
            if (size_ < kLinear) {
                inline_[size_++] = Entry{key, hash, 1};
                return;
            }
            build_index();  // the key is new: fall through to insertion below
        } else {
            const std::size_t mask = index_.size() - 1;
            for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
                const std::uint32_t ref = index_[slot];
                if (ref == 0) break;
                Entry& e = at(ref - 1);
                if (e.hash == hash && Traits::same(e.key, key)) {
                    ++e.count;
                    return;
                }
            }
        }
        insert_new(key, hash);
    }

    std::size_t size() const noexcept { return size_; }

    const Entry& entry(std::size_t i) const noexcept { return i < kLinear ? inline_[i] : spill_[i - kLinear]; }

    // Index of the most frequent entry, or size() when the table is empty.
    std::size_t best() const noexcept {
        std::size_t best = size_;
        std::size_t best_count = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (entry(i).count > best_count) {
                best = i;
                best_count = entry(i).count;
            }
        }
        return best;
    }

private:
    static constexpr std::size_t kLinear = 16;
    // Entry references in the index are 1-based uint32 (0 marks a free slot).
    static constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint32_t>::max() / 2;

    Entry& at(std::size_t i) noexcept { return i < kLinear ? inline_[i] : spill_[i - kLinear]; }

    void build_index() { grow_index(64); }

    void grow_index(std::size_t want) {
        std::vector<std::uint32_t> fresh(want, 0);
        const std::size_t mask = want - 1;
        for (std::size_t i = 0; i < size_; ++i) {
            std::size_t slot = at(i).hash & mask;
            while (fresh[slot] != 0) slot = (slot + 1) & mask;
            fresh[slot] = static_cast<std::uint32_t>(i + 1);
        }
        index_.swap(fresh);
    }

    void insert_new(Key key, std::size_t hash) {
        if (size_ >= kMaxEntries) throw std::bad_alloc();
        // Keep the load factor at or below one half.
        if ((size_ + 1) * 2 > index_.size()) grow_index(index_.size() * 2);
        spill_.push_back(Entry{key, hash, 1});
        ++size_;
        const std::size_t mask = index_.size() - 1;
        std::size_t slot = hash & mask;
        while (index_[slot] != 0) slot = (slot + 1) & mask;
        index_[slot] = static_cast<std::uint32_t>(size_);
    }

    Entry inline_[kLinear]{};
    std::vector<Entry> spill_;
    std::vector<std::uint32_t> index_;
    std::size_t size_ = 0;
};

// ------------------------------------------------------------------------------------------------
// Pool recommendation and adaptation gating

constexpr double pool_score(double workload_fit, double memory_fit, double thread_count_fit,
                            double historical_success_rate) noexcept {
    workload_fit = unit_clamp(workload_fit);
    memory_fit = unit_clamp(memory_fit);
    thread_count_fit = unit_clamp(thread_count_fit);
    historical_success_rate = unit_clamp(historical_success_rate);
    const double score =
        ((memory_fit * 0.3 + workload_fit * 0.35) + thread_count_fit * 0.2) + historical_success_rate * 0.15;
    return clamp_result(score);
}

// The gate after the pool names were found to differ.
constexpr bool adaptation_pays_off(double recommendation_score, double recommendation_confidence,
                                   double current_performance_estimate, std::int32_t trigger_code,
                                   double min_improvement_ratio, double min_confidence) noexcept {
    if (recommendation_confidence < min_confidence) return false;
    if (trigger_code == 0) return recommendation_score > 0.5;
    if (current_performance_estimate > 0.0) {
        return recommendation_score > min_improvement_ratio * current_performance_estimate;
    }
    return recommendation_score > 0.6;
}

constexpr bool skip_adaptation(double last_adaptation_time, double current_time, double min_interval) noexcept {
    return min_interval > (current_time - last_adaptation_time);
}

constexpr double adaptation_urgency(double performance_degradation, double memory_pressure, double fragmentation_ratio,
                                    bool workload_changed) noexcept {
    performance_degradation = unit_clamp(performance_degradation);
    memory_pressure = unit_clamp(memory_pressure);
    fragmentation_ratio = unit_clamp(fragmentation_ratio);
    double urgency = ((0.0 + performance_degradation * 0.4) + memory_pressure * 0.3) + fragmentation_ratio * 0.15;
    if (workload_changed) urgency += 0.15;
    return clamp_result(urgency);
}

inline constexpr std::size_t kMinPredictionEntries = 10;

struct Prediction {
    std::int64_t allocations;
    std::int64_t total_bytes;
    double confidence;
};

// Forecast of the allocations made over the horizon from n entries spanning time_span seconds
// (> 0) whose sizes add up to total_size.
constexpr Prediction predict(std::size_t n, double time_span, double total_size, double horizon) noexcept {
    const double count = static_cast<double>(n);
    const double rate = count / time_span;
    const double average_size = total_size / count;
    const std::int64_t allocations = saturating_trunc_i64(rate * horizon);
    const std::int64_t total_bytes = saturating_trunc_i64(average_size * static_cast<double>(allocations));
    double share = count / 100.0;
    if (1.0 < share) share = 1.0;
    return Prediction{allocations, total_bytes, share * 0.8};
}

}  // namespace quarvel::pool_planner
