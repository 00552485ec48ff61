// Checks of the compile policy's core alone: configuration validation in its order, the record's
// timestamp alias, the compile decision at its integer and time edges, the threshold step in its
// exact order of operations, the clamp with sane, crossing and NaN inputs, the statistics summary
// and its exactly-rounded mean, the clock's roundings and the per-thread re-entry marker.
#include "compile_gate_core.hpp"
#include "check.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>

using namespace quarvel::compile_gate;

namespace {

PolicyParams with(std::int32_t ini, std::int32_t lo, std::int32_t hi, double rate, double target) {
    PolicyParams p;
    p.initial_threshold = ini;
    p.min_threshold = lo;
    p.max_threshold = hi;
    p.learning_rate = rate;
    p.target_speedup = target;
    return p;
}

void test_validation() {
    const double nan = std::nan("");
    CHECK(check_policy(kDefaultPolicy) == PolicyFault::none);
    CHECK(fault_message(PolicyFault::none) == nullptr);
    // The first broken rule wins, in the written order.
    CHECK(check_policy(with(100, 0, 0, 0.1, 2.0)) == PolicyFault::min_not_positive);
    CHECK(check_policy(with(50, 50, 50, 0.1, 2.0)) == PolicyFault::max_not_above_min);
    CHECK(check_policy(with(5, 10, 10000, 0.0, 0.0)) == PolicyFault::rate_out_of_range);
    CHECK(check_policy(with(100, 10, 10000, 1.0, 2.0)) == PolicyFault::none);
    CHECK(check_policy(with(100, 10, 10000, 1.0000001, 2.0)) == PolicyFault::rate_out_of_range);
    CHECK(check_policy(with(100, 10, 10000, nan, 2.0)) == PolicyFault::rate_out_of_range);
    CHECK(check_policy(with(100, 10, 10000, 0.1, 0.0)) == PolicyFault::target_not_positive);
    CHECK(check_policy(with(100, 10, 10000, 0.1, nan)) == PolicyFault::none);  // NaN is not <= 0
    CHECK(check_policy(with(5, 10, 10000, 0.1, -1.0)) == PolicyFault::target_not_positive);
    CHECK(check_policy(with(5, 10, 10000, 0.1, 2.0)) == PolicyFault::initial_out_of_bounds);
    CHECK(check_policy(with(10001, 10, 10000, 0.1, 2.0)) == PolicyFault::initial_out_of_bounds);
    CHECK(check_policy(with(10, 10, 10000, 0.1, 2.0)) == PolicyFault::none);
    CHECK(check_policy(with(10000, 10, 10000, 0.1, 2.0)) == PolicyFault::none);
    CHECK(check_policy(with(INT32_MIN, INT32_MIN, INT32_MAX, 0.1, 2.0)) == PolicyFault::min_not_positive);
    CHECK(std::strcmp(fault_message(PolicyFault::rate_out_of_range), "learning_rate must be in (0, 1]") == 0);
    CHECK(std::strcmp(fault_message(PolicyFault::initial_out_of_bounds), "initial_threshold must be within bounds") ==
          0);
    static_assert(check_policy(kDefaultPolicy) == PolicyFault::none);
}

void test_timestamp_alias() {
    CHECK(record_timestamp(3.0, kLastCompiledAbsent) == 3.0);
    CHECK(record_timestamp(3.0, 5.0) == 5.0);
    CHECK(record_timestamp(3.0, -0.5) == 3.0);
    CHECK(record_timestamp(3.0, 0.0) == 0.0);
    CHECK(record_timestamp(3.0, std::nan("")) == 3.0);
    CHECK(std::signbit(record_timestamp(1.0, -0.0)));  // -0.0 >= 0: the alias was given
}

void test_decide() {
    CHECK(!decide_compile(100, 99, 0, 0.0, 0.0));
    CHECK(decide_compile(100, 100, 0, 0.0, 0.0));
    CHECK(decide_compile(0, 0, 0, 0.0, 0.0));
    CHECK(!decide_compile(-1, 1000000000000ull, 0, 0.0, 0.0));  // a negative threshold widens to 2**64 - 1
    CHECK(!decide_compile(10, 10, 1, 1000.0, 1599.0));          // within the recompile interval
    CHECK(decide_compile(10, 10, 1, 1000.0, 1600.0));
    CHECK(decide_compile(10, 10, 1, std::nan(""), 1000.0));  // NaN times allow the compilation
    CHECK(decide_compile(10, 10, 1, 1000.0, std::nan("")));
    CHECK(!decide_compile(10, 10, 1, 0.0, 5.0, 10.0) && decide_compile(10, 10, 1, 0.0, 10.0, 10.0));
}

void test_threshold_step() {
    const PolicyParams p = kDefaultPolicy;
    CHECK(p.initial_threshold == 100 && p.min_threshold == 10 && p.max_threshold == 10000);
    CHECK(raw_next_threshold(100, 0, 1.0, p) == 110.0);   // slow: raise by the full rate
    CHECK(raw_next_threshold(100, 5, 3.0, p) == 95.0);    // fast, half confident
    CHECK(raw_next_threshold(100, 20, 3.0, p) == 100.0);  // fully confident: no move
    CHECK(raw_next_threshold(100, 0, 2.0, p) == 110.0);   // speedup at the target is not above it
    PolicyParams no_target = p;
    no_target.target_speedup = 0.0;  // read as 1.0
    CHECK(raw_next_threshold(100, 0, 1.5, no_target) == 90.0);
    // The written order, rounded step by step: (1 - 0.3) * (0.1 * 333) + 333.
    const double step = 0.1 * 333.0;
    CHECK(raw_next_threshold(333, 3, 1.0, p) == (1.0 - 3.0 / 10.0) * step + 333.0);
    CHECK(next_threshold(100, 0, 1.0, p) == 110);
    CHECK(next_threshold(10, 0, 5.0, p) == 10);        // 9.0 clamps to the minimum
    CHECK(next_threshold(10000, 0, 1.0, p) == 10000);  // 11000 clamps to the maximum
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

void test_summary() {
    ThresholdSummary s;
    double m = 0.0;
    CHECK(s.count() == 0 && !s.mean(&m));
    for (std::int64_t v : {91, 109}) s.add(v);
    CHECK(s.count() == 2 && s.min() == 91 && s.max() == 109 && s.mean(&m) && m == 100.0);
    ThresholdSummary one;
    one.add(-5);
    CHECK(one.min() == -5 && one.max() == -5 && one.mean(&m) && m == -5.0);
    ThresholdSummary huge;  // a sum past 64 bits: min and max stay exact, the mean is left to the caller
    huge.add(INT64_MAX);
    huge.add(1);
    huge.add(INT64_MIN);
    CHECK(!huge.sum_exact() && !huge.mean(&m) && huge.min() == INT64_MIN && huge.max() == INT64_MAX);
    ThresholdSummary wide;  // exact in 64 bits, too wide for a correctly rounded double quotient
    wide.add(std::int64_t{1} << 60);
    CHECK(wide.sum_exact() && !wide.mean(&m));
}

void test_clock() {
    CHECK(seconds_from_ns(0) == 0.0);
    CHECK(seconds_from_ns(3000000000) == 3.0);
    CHECK(seconds_from_ns(-2000000000) == -2.0);
    CHECK(seconds_from_ns(1500000000) == 1.5);
    // Two roundings: the nanoseconds as a double, then divided; a whole second divides exactly.
    const std::int64_t ns = 1733788800123456789;
    CHECK(seconds_from_ns(ns) == static_cast<double>(ns) / 1e9);
    const double now = system_clock_seconds();
    CHECK(now > 1.6e9 && now < 1e11);
}

struct TagA;
struct TagB;

void test_thread_mark() {
    {
        ThreadMark<TagA> outer;
        CHECK(outer.enter() && ThreadMark<TagA>::inside());
        {
            ThreadMark<TagA> again;
            CHECK(!again.enter());  // re-entry on this thread is refused ...
        }
        CHECK(ThreadMark<TagA>::inside());  // (and the refused marker did not clear the outer one)
        ThreadMark<TagB> other;
        CHECK(other.enter());  // ... per tag
        bool elsewhere = false;
        std::thread([&] {
            ThreadMark<TagA> m;
            elsewhere = m.enter();  // and per thread
        }).join();
        CHECK(elsewhere);
    }
    CHECK(!ThreadMark<TagA>::inside() && !ThreadMark<TagB>::inside());
    ThreadMark<TagA> after;
    CHECK(after.enter());
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
    test_validation();
    test_timestamp_alias();
    test_decide();
    test_threshold_step();
    test_clamp();
    test_summary();
    test_mean();
    test_clock();
    test_thread_mark();
    return core_check::finish();
}
