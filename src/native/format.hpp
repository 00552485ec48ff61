// Number formatting shared by the modules: the exact text the interpreter itself produces, written
// into a caller's stack buffer without the interpreter. Pure C++; no Python object is touched.
//
//   char buf[qn::kFormatU64Size];
//   std::size_t n = qn::format_u64(v, buf);          // str(v) for 0 <= v < 2**64
//
//   char buf[qn::kFormatFixed1Size];
//   std::size_t n = qn::format_fixed1(x, buf);       // format(x, ".1f") for every double
//
//   char buf[qn::kFormatPercent1Size];
//   std::size_t n = qn::format_percent1(x, buf);     // format(x, ".1f") + "%"
//
// Each returns the number of characters written (no terminator). The one-decimal forms round the
// exact binary value of `x` half to even, as the interpreter's correctly rounded "%.1f" does: 0.25
// gives "0.2", 0.35 (really 0.34999...) gives "0.3", 0.05 (really 0.05000...03) gives "0.1". A set
// sign bit always gives "-" ("-0.0" for -0.0 and for -0.04); NaN of either sign gives "nan",
// infinities "inf" and "-inf"; values of 2**53 and above are whole numbers and are written out in
// full ("1e300" has 301 digits), as the interpreter does.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qn {

inline constexpr std::size_t kFormatU64Size = 20;
// The largest finite double has 309 integer digits; with the sign and ".0": 312.
inline constexpr std::size_t kFormatFixed1Size = 312;
inline constexpr std::size_t kFormatPercent1Size = kFormatFixed1Size + 1;

namespace detail {

// Writes the decimal digits of `v` ending just before `end`; returns where they start.
inline char* digits_backward(std::uint64_t v, char* end) noexcept {
    do {
        *--end = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return end;
}

// The whole number m * 2**k (m < 2**53, 1 <= k <= 971) in decimal at `out`; returns the length.
// Base-2**32 limbs, peeled nine digits at a time by long division by 10**9.
inline std::size_t big_whole(std::uint64_t m, int k, char* out) noexcept {
    constexpr int kLimbs = 33;  // 53 + 971 bits, with a spare limb for the shifted top
    std::uint32_t limb[kLimbs] = {};
    const int word = k / 32;
    const int bit = k % 32;
    // m << bit spans at most three limbs (53 + 31 bits).
    const std::uint64_t lo = m << bit;  // bits 0..63 of the shifted value
    const std::uint64_t hi = bit == 0 ? 0 : m >> (64 - bit);
    limb[word] = static_cast<std::uint32_t>(lo);
    limb[word + 1] = static_cast<std::uint32_t>(lo >> 32);
    limb[word + 2] = static_cast<std::uint32_t>(hi);
    int top = word + 2;
    while (top > 0 && limb[top] == 0) --top;

    std::uint32_t group[36];  // nine-digit groups, least significant first (309 digits < 36 * 9)
    int groups = 0;
    for (;;) {
        std::uint64_t rem = 0;
        for (int i = top; i >= 0; --i) {
            const std::uint64_t cur = (rem << 32) | limb[i];
            limb[i] = static_cast<std::uint32_t>(cur / 1000000000u);
            rem = cur % 1000000000u;
        }
        group[groups++] = static_cast<std::uint32_t>(rem);
        while (top > 0 && limb[top] == 0) --top;
        if (top == 0 && limb[0] == 0) break;
    }
    char tmp[kFormatU64Size];
    char* end = tmp + sizeof tmp;
    char* start = digits_backward(group[groups - 1], end);
    std::size_t len = static_cast<std::size_t>(end - start);
    std::memcpy(out, start, len);
    for (int g = groups - 2; g >= 0; --g) {
        std::uint32_t v = group[g];
        for (int i = 8; i >= 0; --i) {
            out[len + static_cast<std::size_t>(i)] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        len += 9;
    }
    return len;
}

}  // namespace detail

// str(v): the decimal digits of `v` (at most 20) at `out`; returns their count.
inline std::size_t format_u64(std::uint64_t v, char* out) noexcept {
    char tmp[kFormatU64Size];
    char* end = tmp + sizeof tmp;
    char* start = detail::digits_backward(v, end);
    const auto n = static_cast<std::size_t>(end - start);
    std::memcpy(out, start, n);
    return n;
}

// format(x, ".1f") at `out` (kFormatFixed1Size bytes suffice for every double); returns the length.
inline std::size_t format_fixed1(double x, char* out) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    std::size_t len = 0;
    if (biased == 0x7FF) {
        if (m != 0) {
            std::memcpy(out, "nan", 3);
            return 3;
        }
        if (bits >> 63) out[len++] = '-';
        std::memcpy(out + len, "inf", 3);
        return len + 3;
    }
    if (bits >> 63) out[len++] = '-';
    // |x| = m * 2**-shift exactly, m < 2**53.
    int shift;
    if (biased == 0) {
        shift = 1074;  // subnormal (or zero)
    } else {
        m |= std::uint64_t{1} << 52;
        shift = 1075 - biased;
    }
    if (shift < 0) {  // 2**53 and above: a whole number
        len += detail::big_whole(m, -shift, out + len);
        out[len++] = '.';
        out[len++] = '0';
        return len;
    }
    // |x| * 10 = t / 2**shift with t < 2**57; round that to the nearest integer, ties to even.
    const std::uint64_t t = m * 10;
    std::uint64_t tenths = 0;
    if (shift == 0) {
        tenths = t;
    } else if (shift < 64) {
        tenths = t >> shift;
        const std::uint64_t rest = t & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (tenths & 1u) != 0)) ++tenths;
    }  // else |x| * 10 < 2**-7: rounds to 0
    len += format_u64(tenths / 10, out + len);
    out[len++] = '.';
    out[len++] = static_cast<char>('0' + tenths % 10);
    return len;
}

// format(x, ".1f") + "%" at `out` (kFormatPercent1Size bytes); returns the length.
inline std::size_t format_percent1(double x, char* out) noexcept {
    std::size_t len = format_fixed1(x, out);
    out[len++] = '%';
    return len;
}

}  // namespace qn
