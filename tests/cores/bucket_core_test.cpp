// Checks of the bucket allocator's integer core alone: the size formulas at the 32-bit edges, the
// CRC-16, the level bitset and the bucket table against ordered-map models. Prints "OK" on
// success.
#include "bucket_core.hpp"
#include "check.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <vector>

using namespace quarvel::bucket_pool;

// Compile-time: the formulas, including wrap-around at the 32-bit edges.
static_assert(bucket_size(1, 8) == 8 && bucket_size(8, 8) == 8 && bucket_size(0, 8) == 0);
static_assert(bucket_size(100, 64) == 128 && bucket_size(-20, 8) == -8);
static_assert(bucket_size(INT32_MIN + 2, -1) == INT32_MIN);  // INT32_MIN % -1 is 0, no trap
static_assert(bucket_size(INT32_MAX, 8) == INT32_MIN + 8);   // wraps
static_assert(align_size(13, 8) == 16 && align_size(16, 8) == 16);
static_assert(align_size(INT32_MAX, 8) == INT32_MIN);
static_assert(is_power_of_two(1) && is_power_of_two(1 << 30) && !is_power_of_two(0) && !is_power_of_two(12));
static_assert(!is_power_of_two(INT32_MIN) && !is_power_of_two(-8));
static_assert(!can_fit_aligned(0, 64, 64, 8) && can_fit_aligned(0, 64, 63, 8) && can_fit_aligned(1, 64, 56, 8));
static_assert(can_fit_aligned(0, 0, 0, INT32_MIN) == false);
static_assert(bitmap_is_set(10, 1) && !bitmap_is_set(10, 2) && !bitmap_is_set(~0ull, 64));
static_assert(bitmap_set(0, -1) == (1ull << 63) && bitmap_set(0, -64) == 1 && bitmap_set(0, 70) == 0);
static_assert(bitmap_set(0, INT32_MIN) == 1 && bitmap_clear(~0ull, 63) == (~0ull >> 1));
static_assert(bitmap_find_first(8) == 3 && bitmap_find_first(0) == -1 && bitmap_find_first(1ull << 63) == 63);
static_assert(full_mask(0) == 0 && full_mask(8) == 0xFF && full_mask(63) == (~0ull >> 1));
static_assert(full_mask(64) == ~0ull && full_mask(INT32_MAX) == ~0ull && full_mask(-1) == 0 &&
              full_mask(INT32_MIN) == 0);

static void test_crc() {
    Crc16Table table{};
    build_crc16_table(table);
    const std::uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    CHECK(crc16(table, text, 9) == 0x4B37);
}

static void test_level_bitset() {
    std::mt19937_64 rng(5);
    for (std::uint64_t bits : {1ull, 63ull, 64ull, 65ull, 4095ull, 4096ull, 4097ull, 300000ull}) {
        LevelBitset b;
        CHECK(b.allocate(bits));
        std::set<std::uint64_t> model;
        for (int op = 0; op < 4000; ++op) {
            const std::uint64_t i = rng() % bits;
            if (rng() % 3) {
                b.set(i);
                model.insert(i);
            } else {
                b.reset(i);
                model.erase(i);
            }
            const std::uint64_t q = rng() % (bits + 2);
            auto it = model.lower_bound(q);
            CHECK(b.find_next(q) == (it == model.end() ? LevelBitset::npos : *it));
            CHECK(b.test(i) == (model.count(i) == 1));
        }
        std::uint64_t n = 0;
        for (std::uint64_t s = b.find_next(0); s != LevelBitset::npos; s = b.find_next(s + 1)) ++n;
        CHECK(n == model.size());
    }
    LevelBitset empty;
    CHECK(empty.allocate(0) && empty.find_next(0) == LevelBitset::npos);
}

// Reference: the keys enumerated as two ranges, buckets in an ordered map.
struct ModelTable {
    std::map<std::int32_t, std::vector<std::int32_t>> buckets;
    ModelTable(std::int32_t step, std::int32_t small_max, std::int32_t medium_max) {
        if (step <= 0) return;
        for (std::int64_t k = step; k <= small_max; k += step) buckets[static_cast<std::int32_t>(k)];
        for (std::int64_t k = std::int64_t{small_max} + step; k <= medium_max; k += step)
            buckets[static_cast<std::int32_t>(k)];
    }
    bool take_best_fit(std::int32_t bucket, std::int32_t size, std::int32_t alignment, std::int32_t& off) {
        auto own = buckets.find(bucket);
        if (own != buckets.end() && !own->second.empty() &&
            fits_in_block(own->second.back(), bucket, size, alignment)) {
            off = own->second.back();
            own->second.pop_back();
            return true;
        }
        for (auto it = buckets.upper_bound(bucket); it != buckets.end(); ++it) {
            auto& [key, list] = *it;
            if (!list.empty() && fits_in_block(list.back(), key, size, alignment)) {
                off = list.back();
                list.pop_back();
                return true;
            }
        }
        return false;
    }
};

static void test_bucket_table(std::int32_t step, std::int32_t small_max, std::int32_t medium_max, std::uint64_t salt) {
    BucketTable t;
    CHECK(t.init(step, small_max, medium_max) == BucketTable::Status::ok);
    ModelTable m(step, small_max, medium_max);
    CHECK(t.bucket_count() == m.buckets.size());
    std::vector<std::int32_t> keys;
    for (auto& kv : m.buckets) keys.push_back(kv.first);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        CHECK(t.slot_of(keys[i]) == i);
        CHECK(t.key_of(i) == keys[i]);
    }
    std::mt19937_64 rng(salt);
    const std::int64_t lo = small_max < 0 ? small_max : -8;
    const std::int64_t hi = std::min<std::int64_t>(INT32_MAX, std::int64_t{medium_max} + 2 * (step > 0 ? step : 1));
    auto pick = [&]() -> std::int32_t {
        if (!keys.empty() && rng() % 2) return keys[rng() % keys.size()];
        return static_cast<std::int32_t>(lo +
                                         static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1)));
    };
    for (int i = 0; i < 200; ++i) {
        const std::int32_t x = pick();
        auto it = m.buckets.upper_bound(x);
        const std::uint64_t expect = static_cast<std::uint64_t>(std::distance(m.buckets.begin(), it));
        CHECK(t.first_slot_above(x) == expect);
        CHECK((t.slot_of(x) != BucketTable::npos) == (m.buckets.count(x) == 1));
    }
    for (int op = 0; op < 3000; ++op) {
        const std::int32_t key = pick();
        const int kind = static_cast<int>(rng() % 3);
        if (kind == 0) {
            const std::int32_t off = static_cast<std::int32_t>(rng() % 4096);
            BucketTable::Status st;
            const bool got = t.push(key, off, st);
            auto it = m.buckets.find(key);
            CHECK(got == (it != m.buckets.end()));
            if (it != m.buckets.end()) it->second.push_back(off);
        } else if (kind == 1) {
            std::int32_t a = 0, b = 0;
            const bool got = t.pop(key, a);
            auto it = m.buckets.find(key);
            const bool want = it != m.buckets.end() && !it->second.empty();
            if (want) {
                b = it->second.back();
                it->second.pop_back();
            }
            CHECK(got == want && a == b);
        } else {
            const std::int32_t size = static_cast<std::int32_t>(rng() % 96);
            const std::int32_t alignment = std::int32_t{1} << (rng() % 7);
            std::int32_t a = 0, b = 0;
            const bool got = t.take_best_fit(key, size, alignment, a);
            const bool want = m.take_best_fit(key, size, alignment, b);
            CHECK(got == want && a == b);
        }
    }
    for (auto& [key, list] : m.buckets) CHECK(t.bucket_length(key) == list.size());
    // Setting up again empties every bucket.
    CHECK(t.init(step, small_max, medium_max) == BucketTable::Status::ok);
    for (auto& kv : m.buckets) CHECK(t.bucket_length(kv.first) == 0);
}

int main() {
    test_crc();
    test_level_bitset();
    test_bucket_table(8, 256, 4096, 1);
    test_bucket_table(8, 100, 300, 2);                              // second range off the step grid
    test_bucket_table(7, 20, 20, 3);                                // no second range
    test_bucket_table(16, -5, 200, 4);                              // no first range, second starts at 11
    test_bucket_table(-8, 256, 4096, 5);                            // no keys at all
    test_bucket_table(3, 5000, 100, 6);                             // medium below small
    test_bucket_table(1, 5000, 9000, 7);                            // three bitset levels
    test_bucket_table(INT32_MAX / 4, INT32_MAX - 3, INT32_MAX, 8);  // sums beyond 32 bits
    BucketTable none;
    std::int32_t off = 0;
    BucketTable::Status st;
    CHECK(!none.has_keys() && !none.push(8, 1, st) && !none.pop(8, off) && !none.take_best_fit(8, 1, 1, off));
    return core_check::finish();
}
