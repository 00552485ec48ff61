// Checks of the compile gate's threshold arithmetic alone: the compile decision at its integer and
// time edges, the threshold step in its exact order of operations, the clamp with sane, crossing
// and NaN inputs, and the exactly-rounded mean.
#include "compile_gate_core.hpp"
#include "check.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

using namespace quarvel::compile_gate;

namespace {

void test_decide() {
    CHECK(!decide_compile(100, 99, 0, 0.0, 0.0));
    CHECK(decide_compile(100, 100, 0, 0.0, 0.0));
    CHECK(decide_compile(0, 0, 0, 0.0, 0.0));
    CHECK(!decide_compile(-1, 1000000000000ull, 0, 0.0, 0.0));  // a negative threshold widens to 2**64 - 1
    CHECK(!decide_compile(10, 10, 1, 1000.0, 1599.0));          // within the recompile interval
    CHECK(decide_compile(10, 10, 1, 1000.0, 1600.0));
    CHECK(decide_compile(10, 10, 1, std::nan(""), 1000.0));     // NaN times allow the compilation
    CHECK(decide_compile(10, 10, 1, 1000.0, std::nan("")));
    CHECK(!decide_compile(10, 10, 1, 0.0, 5.0, 10.0) && decide_compile(10, 10, 1, 0.0, 10.0, 10.0));
}

void test_threshold_step() {
    const PolicyParams p = kDefaultPolicy;
    CHECK(p.initial_threshold == 100 && p.min_threshold == 10 && p.max_threshold == 10000);
    CHECK(raw_next_threshold(100, 0, 1.0, p) == 110.0);  // slow: raise by the full rate
    CHECK(raw_next_threshold(100, 5, 3.0, p) == 95.0);   // fast, half confident
    CHECK(raw_next_threshold(100, 20, 3.0, p) == 100.0); // fully confident: no move
    CHECK(raw_next_threshold(100, 0, 2.0, p) == 110.0);  // speedup at the target is not above it
    PolicyParams no_target = p;
    no_target.target_speedup = 0.0;  // read as 1.0
    CHECK(raw_next_threshold(100, 0, 1.5, no_target) == 90.0);
    // The written order, rounded step by step: (1 - 0.3) * (0.1 * 333) + 333.
    const double step = 0.1 * 333.0;
    CHECK(raw_next_threshold(333, 3, 1.0, p) == (1.0 - 3.0 / 10.0) * step + 333.0);
    CHECK(next_threshold(100, 0, 1.0, p) == 110);
    CHECK(next_threshold(10, 0, 5.0, p) == 10);            // 9.0 clamps to the minimum
    CHECK(next_threshold(10000, 0, 1.0, p) == 10000);      // 11000 clamps to the maximum
    CHECK(next_threshold(INT32_MAX, 0, 1.0, p) == 10000);
    CHECK(next_threshold(100, 0, std::nan(""), p) == 110);  // NaN / target > 1 is false
}

void test_clamp() {
    const PolicyParams p = kDefaultPolicy;
    CHECK(clamp_threshold(10.9, 50, p) == 10 && clamp_threshold(9.99, 50, p) == 10);
    CHECK(clamp_threshold(123.99, 50, p) == 123 && clamp_threshold(1e300, 50, p) == 10000);
    CHECK(clamp_threshold(-std::numeric_limits<double>::infinity(), 50, p) == 10);
    CHECK(clamp_threshold(std::nan(""), 77, p) == 77);
    PolicyParams crossed = p;
    crossed.min_threshold = 50;
    crossed.max_threshold = 10;
    CHECK(clamp_threshold(5.0, 0, crossed) == 50 && clamp_threshold(20.0, 0, crossed) == 50);  // below the minimum
    CHECK(clamp_threshold(50.0, 0, crossed) == 10 && clamp_threshold(60.0, 0, crossed) == 10);
}

void test_mean() {
    double m = 0.0;
    CHECK(!mean_of_sum(10, 0, &m));
    CHECK(mean_of_sum(7, 2, &m) && m == 3.5);
    CHECK(mean_of_sum(-(std::int64_t{1} << 53), 1, &m) && m == -9007199254740992.0);
    CHECK(!mean_of_sum((std::int64_t{1} << 53) + 1, 1, &m));
    CHECK(!mean_of_sum(1, (std::uint64_t{1} << 53) + 1, &m));
    CHECK(!mean_of_sum(INT64_MIN, 3, &m));
}

}  // namespace

int main() {
    test_decide();
    test_threshold_step();
    test_clamp();
    test_mean();
    return core_check::finish();
}
