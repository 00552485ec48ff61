// Pure arithmetic of the GPU memory planner: safe limits under a headroom, the three-tier allocation
// strategy, chunk counts and first-axis chunk plans, allocation estimates, out-of-memory recognition
// and GPU suitability. No Python objects here: the binding in device_fit.cpp converts arguments and
// builds results, everything in between lives in this header so it can be tested and timed alone.
//
// Every double-to-count conversion saturates (NaN gives 0, anything at or above the top of the
// target range gives its maximum) and every product of byte counts saturates instead of wrapping,
// so no input reaches undefined behaviour.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace quarvel::device_fit {

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint64_t kEstimateMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
inline constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();
inline constexpr double kTwoPow64 = 18446744073709551616.0;
inline constexpr double kMaxHeadroom = 0.99;

enum class Strategy : int { GpuDirect = 0, GpuChunked = 1, CpuFallback = 2 };

// ---------------------------------------------------------------------------------------------
// Saturating conversions and products

// Truncates toward zero; NaN and values at or below zero give 0, values at or above 2**64 give
// 2**64 - 1.
constexpr std::uint64_t to_u64_saturated(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= kTwoPow64) return kU64Max;
    return static_cast<std::uint64_t>(x);
}

// Truncates toward zero into [INT32_MIN, INT32_MAX]; NaN gives 0.
constexpr std::int32_t to_i32_saturated(double x) noexcept {
    if (x != x) return 0;
    if (x >= 2147483647.0) return kI32Max;
    if (x <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(x);
}

constexpr std::uint64_t mul_saturated(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return kU64Max;
    return r;
}

// ---------------------------------------------------------------------------------------------
// Safe limit

// Headroom kept in reserve, clamped to [0, 0.99] so at least 1 % of the memory is always offered.
// NaN is treated as the most cautious value.
constexpr double clamp_headroom(double h) noexcept {
    if (h != h) return kMaxHeadroom;
    if (h < 0.0) return 0.0;
    if (h > kMaxHeadroom) return kMaxHeadroom;
    return h;
}

constexpr std::uint64_t safe_limit(std::uint64_t available_bytes, double headroom_ratio) noexcept {
    return to_u64_saturated((1.0 - clamp_headroom(headroom_ratio)) * static_cast<double>(available_bytes));
}

// ---------------------------------------------------------------------------------------------
// Allocation estimate: elements are folded in one dimension at a time so the caller can stop
// converting dimensions as soon as the outcome is settled.

class ElementCount {
public:
    // Folds in one dimension. Returns false once the estimate is settled (a dimension of 0 or less
    // makes it 0, a product past 2**63 - 1 saturates there); later dimensions are then ignored.
    constexpr bool add(std::int32_t d) noexcept {
        if (settled_) return false;
        if (d <= 0) {
            value_ = 0;
            settled_ = true;
            return false;
        }
        const auto ud = static_cast<std::uint64_t>(d);
        if (value_ > kEstimateMax / ud) {
            value_ = kEstimateMax;
            settled_ = true;
            return false;
        }
        value_ *= ud;
        return true;
    }
    constexpr bool settled() const noexcept { return settled_; }
    constexpr std::uint64_t value() const noexcept { return value_; }

private:
    std::uint64_t value_ = 1;
    bool settled_ = false;
};

// Byte estimate for `count` elements of `element_size` bytes (element_size >= 0, checked by the
// caller). A factor above 1.0 scales the estimate up; 1.0 or less (and NaN) is ignored.
inline std::uint64_t allocation_bytes(const ElementCount& count, std::int32_t element_size,
                                      double overhead_factor) noexcept {
    if (count.settled()) return count.value();
    const std::uint64_t elements = count.value();
    if (element_size <= 0) return 0;  // a zero size gives zero bytes whatever the factor
    const auto es = static_cast<std::uint64_t>(element_size);
    if (elements > kEstimateMax / es) return kEstimateMax;
    std::uint64_t bytes = elements * es;
    if (overhead_factor > 1.0) bytes = to_u64_saturated(static_cast<double>(bytes) * overhead_factor);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Allocation strategy

enum class Reason { NoMemory, Fits, NotChunkable, Chunked };

struct StrategyDecision {
    Reason reason;
    std::uint64_t chunk_size;   // bytes per pass (the safe limit) when chunking, else 0
    std::uint64_t chunk_count;  // passes when chunking, else 1
};

// ceil(a / b) in double precision, saturated to an unsigned 64-bit count (b > 0).
inline std::uint64_t passes(std::uint64_t total, std::uint64_t per_pass) noexcept {
    return to_u64_saturated(std::ceil(static_cast<double>(total) / static_cast<double>(per_pass)));
}

inline StrategyDecision decide_strategy(std::uint64_t requested_bytes, std::uint64_t available_bytes,
                                        double headroom_ratio, bool is_chunkable) noexcept {
    const std::uint64_t safe = safe_limit(available_bytes, headroom_ratio);
    if (safe == 0) return {Reason::NoMemory, 0, 1};
    if (requested_bytes <= safe) return {Reason::Fits, 0, 1};
    if (!is_chunkable) return {Reason::NotChunkable, 0, 1};
    return {Reason::Chunked, safe, passes(requested_bytes, safe)};
}

constexpr Strategy strategy_of(Reason r) noexcept {
    switch (r) {
        case Reason::Fits:
            return Strategy::GpuDirect;
        case Reason::Chunked:
            return Strategy::GpuChunked;
        case Reason::NoMemory:
        case Reason::NotChunkable:
            break;
    }
    return Strategy::CpuFallback;
}

// ---------------------------------------------------------------------------------------------
// Chunk counts and first-axis chunk plans

inline std::int32_t optimal_chunks(std::uint64_t total_bytes, std::uint64_t available_bytes, double headroom_ratio,
                                   std::int32_t min_chunks, std::int32_t max_chunks) noexcept {
    const std::uint64_t safe = safe_limit(available_bytes, headroom_ratio);
    if (safe == 0) return max_chunks;
    const std::int32_t count =
        to_i32_saturated(std::ceil(static_cast<double>(total_bytes) / static_cast<double>(safe)));
    if (count < min_chunks) return min_chunks;
    return count < max_chunks ? count : max_chunks;
}

// How a first axis of `first_dim` rows (> 0) is cut: `full_chunks` chunks of `rows_per_chunk`
// rows, then one chunk of `tail_rows` rows when that is not 0.
struct ChunkPlan {
    std::int32_t rows_per_chunk;
    std::int32_t full_chunks;
    std::int32_t tail_rows;
    constexpr std::int32_t chunk_count() const noexcept { return full_chunks + (tail_rows != 0 ? 1 : 0); }
};

// Rows per chunk for rows of `row_bytes` under `max_chunk_bytes` (> 0): at least one row, at most
// 2**31 - 1 rows; rows of 0 bytes put the whole axis in one chunk.
constexpr std::int32_t rows_per_chunk(std::uint64_t row_bytes, std::uint64_t max_chunk_bytes,
                                      std::int32_t first_dim) noexcept {
    if (row_bytes == 0) return first_dim > 0 ? first_dim : 1;
    if (max_chunk_bytes < row_bytes) return 1;
    const std::uint64_t q = max_chunk_bytes / row_bytes;  // >= 1 here
    return q > static_cast<std::uint64_t>(kI32Max) ? kI32Max : static_cast<std::int32_t>(q);
}

constexpr ChunkPlan plan_chunks(std::uint64_t row_bytes, std::uint64_t max_chunk_bytes,
                                std::int32_t first_dim) noexcept {
    if (first_dim <= 0) return {1, 0, 0};
    const std::int32_t rows = rows_per_chunk(row_bytes, max_chunk_bytes, first_dim);
    return {rows, first_dim / rows, first_dim % rows};
}

// ---------------------------------------------------------------------------------------------
// Operation names

enum class OpKind { Chunkable, NotChunkable, Unknown };

inline constexpr std::string_view kChunkableOps[] = {
    "zeros",          "ones",        "empty",         "full",
    "random.randn",   "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange",      "linspace"};
inline constexpr std::string_view kNotChunkableOps[] = {"matmul", "dot",     "fft",   "ifft", "fft2", "ifft2",  "svd",
                                                        "eig",    "eigvals", "solve", "inv",  "sort", "argsort"};

// Exact, case-sensitive lookup of an operation name (given as its bytes).
constexpr OpKind classify_operation(std::string_view name) noexcept {
    for (std::string_view op : kChunkableOps)
        if (op == name) return OpKind::Chunkable;
    for (std::string_view op : kNotChunkableOps)
        if (op == name) return OpKind::NotChunkable;
    return OpKind::Unknown;
}

// ---------------------------------------------------------------------------------------------
// Out-of-memory recognition, over already lower-cased text

// Whether `hay` (n code units of any width) contains the ASCII `needle`.
template <class CharT>
inline bool contains_ascii(const CharT* hay, std::size_t n, std::string_view needle) noexcept {
    const std::size_t m = needle.size();
    if (m > n) return false;
    if constexpr (sizeof(CharT) == 1) {
        return std::string_view(reinterpret_cast<const char*>(hay), n).find(needle) != std::string_view::npos;
    } else {
        const auto first = static_cast<unsigned char>(needle[0]);
        for (std::size_t i = 0; i + m <= n; ++i) {
            if (hay[i] != first) continue;
            std::size_t k = 1;
            while (k < m && hay[i + k] == static_cast<unsigned char>(needle[k])) ++k;
            if (k == m) return true;
        }
        return false;
    }
}

// The recognition rules; `msg` and `type` answer whether the lower-cased message or type name
// contains a needle.
template <class MsgContains, class TypeContains>
inline bool is_oom(MsgContains&& msg, TypeContains&& type) {
    if (msg("out of memory")) return true;
    if (type("outofmemoryerror")) return true;
    const bool memory = msg("memory");
    if (memory && msg("cuda")) return true;
    if (msg("allocat") && msg("failed")) return true;
    if (memory && msg("insufficient")) return true;
    if (memory && msg("gpu")) return true;
    return false;
}

inline bool is_oom_lowered(std::string_view message, std::string_view type) noexcept {
    return is_oom([&](std::string_view n) { return contains_ascii(message.data(), message.size(), n); },
                  [&](std::string_view n) { return contains_ascii(type.data(), type.size(), n); });
}

// Lower-cases ASCII text (only 'A'..'Z' change), as str.lower does for ASCII strings.
inline void ascii_lower(const char* src, std::size_t n, char* dst) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(src[i]);
        dst[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c + ('a' - 'A') : c);
    }
}

// ---------------------------------------------------------------------------------------------
// Suitability, pressure, headroom

inline double size_score(std::uint64_t data_size_bytes, std::uint64_t safe) noexcept {
    if (safe == 0) return 0.0;
    if (safe < data_size_bytes) return static_cast<double>(safe) / static_cast<double>(data_size_bytes);
    const double s = static_cast<double>(data_size_bytes) / (static_cast<double>(safe) * 0.8);
    return s > 1.0 ? 1.0 : s;
}

constexpr double operation_score(OpKind k) noexcept {
    switch (k) {
        case OpKind::Chunkable:
            return 0.9;
        case OpKind::NotChunkable:
            return 0.7;
        case OpKind::Unknown:
            break;
    }
    return 0.5;
}

inline double gpu_suitability(std::uint64_t data_size_bytes, OpKind op, std::uint64_t available_bytes,
                              double headroom_ratio) noexcept {
    const double size = size_score(data_size_bytes, safe_limit(available_bytes, headroom_ratio));
    return operation_score(op) * size;
}

inline double memory_pressure(std::uint64_t used_bytes, std::uint64_t total_bytes) noexcept {
    if (total_bytes == 0) return 1.0;
    const double p = static_cast<double>(used_bytes) / static_cast<double>(total_bytes);
    return p > 1.0 ? 1.0 : p;
}

constexpr double recommend_headroom(double p, double base) noexcept {
    double h;
    if (p > 0.8) {
        h = 0.8;
    } else if (p > 0.6) {
        h = (p - 0.5) * 0.5 + base;
    } else if (p > 0.3) {
        h = base;
    } else {
        h = base - 0.1;
        if (!(h > 0.3)) h = 0.3;
    }
    if (h < 0.3) return 0.3;
    if (h > 0.8) return 0.8;
    return h;
}

}  // namespace quarvel::device_fit
