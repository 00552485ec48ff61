// Checks of the counter aggregator's core alone: the running sums and bounds of a record, the
// summary of an empty, a plain, a near-constant and a NaN-poisoned record, and the record array.
#include "counter_core.hpp"
#include "check.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>

using namespace quarvel::counter_fold;

namespace {

void test_fold_and_summary() {
    Record r;
    reset(r);
    Summary s = summarize(r);
    CHECK(s.count == 0 && s.mean == 0.0 && s.variance == 0.0 && s.std_dev == 0.0);
    CHECK(s.min == kPosInf && s.max == kNegInf);

    fold(r, 5.0);  // the first value sets both bounds
    CHECK(r.min == 5.0 && r.max == 5.0 && r.count == 1);
    reset(r);
    for (double v : {1.0, 2.0, 3.0, 4.0}) fold(r, v);
    s = summarize(r);
    CHECK(s.count == 4 && s.mean == 2.5 && s.variance == 1.25 && s.std_dev == std::pow(1.25, 0.5));
    CHECK(s.min == 1.0 && s.max == 4.0);

    // Equal values whose rounded variance falls below zero report 0.0, never a negative or NaN std.
    bool clamped = false;
    for (double v : {0.1, 0.3, 1.1, 3.3, 1e-3, 123.456}) {
        reset(r);
        for (int i = 0; i < 7; ++i) fold(r, v);
        clamped |= r.sum_sq / 7.0 - (r.sum / 7.0) * (r.sum / 7.0) < 0.0;
        s = summarize(r);
        CHECK(s.variance >= 0.0 && s.std_dev == std::pow(s.variance, 0.5) && !std::isnan(s.std_dev));
    }
    CHECK(clamped);  // at least one of them exercised the clamp

    // NaN poisons the sums but not the bounds, and the variance passes through as NaN.
    reset(r);
    fold(r, 2.0);
    fold(r, std::nan(""));
    fold(r, -1.0);
    s = summarize(r);
    CHECK(s.count == 3 && std::isnan(s.mean) && std::isnan(s.variance) && std::isnan(s.std_dev));
    CHECK(s.min == -1.0 && s.max == 2.0);
}

void test_records() {
    CHECK(allocate_records(-1) == nullptr);
    CHECK(allocate_records(INT32_MIN) == nullptr);
    Record* none = allocate_records(0);
    CHECK(none != nullptr);
    free_records(none);
    Record* rs = allocate_records(3);
    CHECK(rs != nullptr);
    if (rs == nullptr) return;
    for (int i = 0; i < 3; ++i) CHECK(rs[i].count == 0 && rs[i].min == kPosInf && rs[i].max == kNegInf);
    fold(rs[2], 7.0);
    reset_all(rs, 3);
    CHECK(rs[2].count == 0 && rs[2].sum == 0.0 && rs[2].max == kNegInf);
    free_records(rs);
    CHECK(in_range(0, 3) && in_range(2, 3) && !in_range(3, 3) && !in_range(-1, 3) && !in_range(INT32_MIN, 3));
    CHECK(!in_range(0, 0) && in_range(INT32_MAX - 1, INT32_MAX));
}

}  // namespace

int main() {
    test_fold_and_summary();
    test_records();
    return core_check::finish();
}
