// Checks of the pool planner's arithmetic alone: the saturating truncation and clamps at their
// edges and the first-seen tally against a map model with colliding hashes. Prints "OK" on
// success.
#include "pool_planner_core.hpp"
#include "check.hpp"
#include <cstdio>
#include <map>
#include <random>
using namespace quarvel::pool_planner;
struct IntTraits {
    static bool same(int a, int b) { return a == b; }
};
int main() {
    const double inf = __builtin_inf(), nan = __builtin_nan("");
    CHECK(saturating_trunc_i64(nan) == 0);
    CHECK(saturating_trunc_i64(inf) == INT64_MAX && saturating_trunc_i64(-inf) == INT64_MIN);
    CHECK(saturating_trunc_i64(9223372036854775808.0) == INT64_MAX);
    CHECK(saturating_trunc_i64(9223372036854774784.0) == 9223372036854774784LL);
    CHECK(saturating_trunc_i64(-9223372036854775808.0) == INT64_MIN);
    CHECK(saturating_trunc_i64(-2.9) == -2 && saturating_trunc_i64(2.9) == 2);
    CHECK(unit_clamp(nan) == 1.0 && unit_clamp(-0.0) == 0.0 && unit_clamp(0.25) == 0.25);
    CHECK(pattern_window_start(3, INT32_MIN) == 3 + 2147483648LL);
    CHECK(pattern_window_start(3, INT32_MAX) == 0);
    // tally against a map-based model, with hashes that collide on purpose
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        FirstSeenTally<int, IntTraits> t;
        std::map<int, std::size_t> count;
        std::vector<int> order;
        int len = int(rng() % 400), distinct = 1 + int(rng() % 120);
        for (int i = 0; i < len; ++i) {
            int k = int(rng() % distinct);
            t.add(k, std::size_t(k % 7));
            if (count[k]++ == 0) order.push_back(k);
        }
        CHECK(t.size() == order.size());
        std::size_t best = order.size(), best_count = 0;
        for (std::size_t i = 0; i < order.size(); ++i) {
            CHECK(t.entry(i).key == order[i] && t.entry(i).count == count[order[i]]);
            if (count[order[i]] > best_count) {
                best = i;
                best_count = count[order[i]];
            }
        }
        CHECK(t.best() == best);
    }
    return core_check::finish();
}
