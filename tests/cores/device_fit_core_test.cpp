// Checks of the GPU planner's arithmetic alone: the saturation edges of every conversion and
// product, and (with the argument "format") the number formatter, whose output the harness
// compares with what the interpreter writes. Prints "OK" on success.
#include "device_fit_core.hpp"
#include "check.hpp"
#include "native/format.hpp"
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
using namespace quarvel::device_fit;

static_assert(to_u64_saturated(-1.0) == 0 && to_u64_saturated(0.99) == 0);
static_assert(to_u64_saturated(18446744073709551616.0) == kU64Max);
static_assert(to_u64_saturated(18446744073709549568.0) == 18446744073709549568ull);
static_assert(to_i32_saturated(3e9) == kI32Max && to_i32_saturated(-3e9) == -2147483647 - 1);
static_assert(mul_saturated(1ull << 32, 1ull << 32) == kU64Max && mul_saturated(kU64Max, 0) == 0);
static_assert(safe_limit(kU64Max, 0.0) == kU64Max);
static_assert(safe_limit(1000, 1.5) == 10 && safe_limit(1000, -0.5) == 1000);

// "format": each input line is "u<decimal>" (written back with qn::format_u64) or the bits of a
// double in hex (written back with qn::format_percent1).
static int format_lines() {
    char line[64];
    char out[qn::kFormatPercent1Size];
    while (std::fgets(line, sizeof line, stdin)) {
        std::size_t n;
        if (line[0] == 'u')
            n = qn::format_u64(std::strtoull(line + 1, nullptr, 10), out);
        else
            n = qn::format_percent1(std::bit_cast<double>(std::strtoull(line, nullptr, 16)), out);
        std::fwrite(out, 1, n, stdout);
        std::putchar('\n');
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "format") == 0) return format_lines();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    CHECK(to_u64_saturated(nan) == 0 && to_u64_saturated(inf) == kU64Max && to_u64_saturated(-inf) == 0);
    CHECK(to_i32_saturated(nan) == 0);
    CHECK(safe_limit(1000, nan) == 10 && safe_limit(1000, inf) == 10 && safe_limit(1000, -inf) == 1000);

    ElementCount big;
    for (int i = 0; i < 3; ++i) big.add(kI32Max);
    CHECK(big.settled() && big.value() == kEstimateMax);
    CHECK(allocation_bytes(big, 8, 10.0) == kEstimateMax);
    ElementCount one;
    one.add(1 << 20);
    CHECK(allocation_bytes(one, 1 << 30, 1.0) == (1ull << 50));
    CHECK(allocation_bytes(one, 1 << 30, inf) == kU64Max);
    CHECK(allocation_bytes(one, 1 << 30, 1e300) == kU64Max);
    CHECK(allocation_bytes(one, 1 << 30, nan) == (1ull << 50));
    CHECK(allocation_bytes(one, 0, inf) == 0);
    CHECK(allocation_bytes(ElementCount{}, 4, 1.5) == 6);

    CHECK(passes(kU64Max, 1) == kU64Max);
    StrategyDecision d = decide_strategy(kU64Max, 1, 0.0, true);
    CHECK(d.reason == Reason::Chunked && d.chunk_size == 1 && d.chunk_count == kU64Max);
    d = decide_strategy(kU64Max, kU64Max, 0.0, false);
    CHECK(d.reason == Reason::Fits);

    CHECK(optimal_chunks(kU64Max, 1, 0.0, 1, kI32Max) == kI32Max);
    CHECK(optimal_chunks(kU64Max, 1, 0.0, 1, 1000) == 1000);
    CHECK(optimal_chunks(1, 1000, 0.0, 5, 2) == 5);

    CHECK(rows_per_chunk(1, kU64Max, 10) == kI32Max);
    CHECK(rows_per_chunk(kU64Max, kU64Max - 1, 10) == 1);
    ChunkPlan p = plan_chunks(0, 1, kI32Max);
    CHECK(p.rows_per_chunk == kI32Max && p.full_chunks == 1 && p.tail_rows == 0 && p.chunk_count() == 1);
    p = plan_chunks(8, 24, 10);
    CHECK(p.rows_per_chunk == 3 && p.full_chunks == 3 && p.tail_rows == 1 && p.chunk_count() == 4);
    p = plan_chunks(8, 24, -5);
    CHECK(p.chunk_count() == 0);
    p = plan_chunks(1, 1, kI32Max);
    CHECK(p.full_chunks == kI32Max && p.tail_rows == 0);

    CHECK(classify_operation("random.standard_normal") == OpKind::Chunkable);
    CHECK(classify_operation("argsort") == OpKind::NotChunkable);
    CHECK(classify_operation("Zeros") == OpKind::Unknown && classify_operation("") == OpKind::Unknown);
    CHECK(classify_operation(std::string_view("zeros\0", 6)) == OpKind::Unknown);

    char low[64];
    const char* msg = "CUDA Error: MEMORY @[Z]`";
    ascii_lower(msg, std::strlen(msg), low);
    CHECK(std::string(low, std::strlen(msg)) == "cuda error: memory @[z]`");

    CHECK(is_oom_lowered("cuda error: allocation failed", "runtimeerror"));
    CHECK(!is_oom_lowered("memory", "memoryerror") && is_oom_lowered("", "x.outofmemoryerror"));
    const char32_t wide[] = U"\u00e9chec gpu: memory";
    CHECK(contains_ascii(wide, 19, "gpu") && contains_ascii(wide, 19, "memory"));
    CHECK(!contains_ascii(wide, 19, "memoryx") && !contains_ascii(wide, 2, "gpu"));
    const char16_t mixed[] = u"gp\u0075\u0155";
    CHECK(contains_ascii(mixed, 4, "gpu") && !contains_ascii(mixed, 4, "gpuu"));
    const char16_t trap[] = {u'g', u'p', static_cast<char16_t>(0x0175), 0};  // 0x75 in its low byte
    CHECK(!contains_ascii(trap, 3, "gpu"));
    CHECK(recommend_headroom(0.5, nan) != recommend_headroom(0.5, nan));
    CHECK(recommend_headroom(0.1, nan) == 0.3 && recommend_headroom(nan, 0.5) == 0.4);
    CHECK(memory_pressure(kU64Max, 1) == 1.0 && memory_pressure(0, 0) == 1.0);
    CHECK(size_score(0, 1) == 0.0 && size_score(kU64Max, 1) > 0.0);
    return core_check::finish();
}
