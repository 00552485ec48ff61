// Running statistics for a fixed array of numbered counters.
//
// Pure C++ (no Python.h): the record layout, the fold of one value, the summary of a record and
// the malloc'd record array. The extension module wraps this with the range check, the lock and
// the Python conversions; keeping it here lets the arithmetic be tested and timed on its own.
//
// The arithmetic is deliberately the naive running-sums form (count, sum, sum of squares), done
// in double precision in a fixed order of operations, so results are bit-for-bit those of the
// same formula evaluated by the interpreter:
//     mean = sum / n;  variance = sum_sq / n - mean * mean;  std = variance ** 0.5
// with one mend: rounding can drive the variance of (nearly) equal values slightly below zero,
// which is reported as 0.0 (and its std as 0.0). NaN is not touched by that clamp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace quarvel::counter_fold {

struct Record {
    std::uint64_t count;
    double sum;
    double sum_sq;
    double min;
    double max;
};

inline constexpr double kPosInf = std::numeric_limits<double>::infinity();
inline constexpr double kNegInf = -std::numeric_limits<double>::infinity();

inline void reset(Record& r) noexcept {
    r.count = 0;
    r.sum = 0.0;
    r.sum_sq = 0.0;
    r.min = kPosInf;
    r.max = kNegInf;
}

// Fold one value in. Two separate comparisons, so the first value sets both bounds; a NaN fails
// both comparisons and leaves the bounds as they were (while poisoning the sums). The count wraps
// as unsigned arithmetic; 2**64 updates are out of reach in practice.
inline void fold(Record& r, double value) noexcept {
    r.count += 1;
    r.sum += value;
    const double sq = value * value;  // kept as its own rounding step (no fused multiply-add)
    r.sum_sq += sq;
    if (value < r.min) r.min = value;
    if (value > r.max) r.max = value;
}

struct Summary {
    std::uint64_t count;
    double mean;
    double variance;
    double std_dev;
    double min;
    double max;
};

// The statistics of one record. An empty record reports 0.0 for mean, variance and std and the
// untouched infinities for min and max.
inline Summary summarize(const Record& r) noexcept {
    Summary s{r.count, 0.0, 0.0, 0.0, r.min, r.max};
    if (r.count == 0) return s;
    const double n = static_cast<double>(r.count);
    const double mean = r.sum / n;
    const double mean_sq = mean * mean;
    double variance = r.sum_sq / n - mean_sq;
    // Rounding only ever undershoots by a few ulps of the mean square; a true variance is never
    // negative. `variance < 0.0` is false for NaN, which therefore passes through as NaN.
    if (variance < 0.0) variance = 0.0;
    s.mean = mean;
    s.variance = variance;
    // pow rather than sqrt: this is what `variance ** 0.5` evaluates to, and the two differ in the
    // last bit for a small fraction of inputs.
    s.std_dev = std::pow(variance, 0.5);
    return s;
}

// The record array, one malloc'd block owned by whoever holds the pointer.
// Returns nullptr when `n` is negative, when the byte size does not fit size_t, or when the heap
// refuses; zero records is a valid (empty) array backed by a minimal allocation so that a non-null
// pointer always means success.
inline Record* allocate_records(std::int32_t n) noexcept {
    if (n < 0) return nullptr;
    const std::size_t count = static_cast<std::size_t>(n);
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(Record)) return nullptr;
    const std::size_t bytes = count == 0 ? sizeof(Record) : count * sizeof(Record);
    auto* records = static_cast<Record*>(std::malloc(bytes));
    if (records == nullptr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) reset(records[i]);
    return records;
}

inline void free_records(Record* records) noexcept { std::free(records); }

inline void reset_all(Record* records, std::int32_t n) noexcept {
    for (std::int32_t i = 0; i < n; ++i) reset(records[i]);
}

inline bool in_range(std::int32_t id, std::int32_t n) noexcept { return id >= 0 && id < n; }

}  // namespace quarvel::counter_fold
