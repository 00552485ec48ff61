// Checks of the memory layer's concurrency primitives alone: the counter's wrap-around at both ends
// of the signed range, the peak loop, the statistics' record and reset arithmetic (also with
// recorders on several threads: no count is lost and the peaks hold), the snapshot quotients at the
// edge of exact doubles, and the slot and stack storage. Prints "OK" on success.
#include "sync_kernel_core.hpp"
#include "check.hpp"

#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

using namespace quarvel::sync_kernel;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

static_assert(wrap_add(kMax, 1) == kMin && wrap_sub(kMin, 1) == kMax && wrap_add(kMin, kMin) == 0);

void test_counter() {
    Counter c;
    c.store(kMax);
    CHECK(c.add(1) == kMin && c.load() == kMin);
    CHECK(c.sub(1) == kMax);
    CHECK(c.fetch_add(kMax) == kMax && c.read() == -2);
    CHECK(!c.cas(0, 5) && c.cas(-2, 5) && c.load() == 5);
    CHECK(c.raise_to(3) == 5 && c.read() == 5);  // never lowers
    CHECK(c.raise_to(9) == 5 && c.read() == 9);
    c.store(kMin);
    CHECK(c.sub(kMax) == 1);
}

void test_stats_records() {
    Stats s;
    s.record_allocation(100, true, 8, 50);
    s.record_allocation(200, false, 0, 150);
    s.record_deallocation(100, 40);
    s.record_allocation(1, true, -3, -7);  // padding and time at or below 0 count nothing
    s.record_deallocation(1, 0);
    const std::int64_t want[kStatCount] = {3, 2, 1, 200, 0, 2, 300, 2, 1, 8, 200, 40};
    for (int i = 0; i < kStatCount; ++i) CHECK(s.c[i].read() == want[i]);
    s.reset();
    for (int i = 0; i < kStatCount; ++i) CHECK(s.c[i].read() == 0);

    // Byte totals wrap like every counter; the peak follows the wrapped sum.
    s.record_allocation(kMax, true, 0, 0);
    s.record_allocation(2, true, 0, 0);
    CHECK(s.c[kCurrentBytes].read() == wrap_add(kMax, 2) && s.c[kPeakBytes].read() == kMax);
}

void test_stats_threads() {
    Stats s;
    constexpr int kThreads = 4, kEach = 20000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&s, t] {
            for (int i = 0; i < kEach; ++i) {
                s.record_allocation(16, (i + t) % 2 == 0, 1, 2);
                if (i % 2) s.record_deallocation(16, 3);
            }
        });
    }
    for (auto& t : ts) t.join();
    const std::int64_t n = std::int64_t{kThreads} * kEach, d = n / 2;
    CHECK(s.c[kTotalAllocs].read() == n && s.c[kTotalDeallocs].read() == d);
    CHECK(s.c[kCurrentAllocs].read() == n - d && s.c[kCurrentBytes].read() == (n - d) * 16);
    CHECK(s.c[kBucketed].read() + s.c[kFallback].read() == n);
    CHECK(s.c[kPadding].read() == n && s.c[kAllocTime].read() == 2 * n && s.c[kDeallocTime].read() == 3 * d);
    // Each thread's own allocations are live when it records them, so the peaks reach at least one
    // thread's high-water mark and never more than everything allocated.
    const std::int64_t peak = s.c[kPeakAllocs].read();
    CHECK(peak >= s.c[kCurrentAllocs].read() && peak <= n);
    const std::int64_t peak_bytes = s.c[kPeakBytes].read();
    CHECK(peak_bytes >= s.c[kCurrentBytes].read() && peak_bytes <= n * 16);
}

void test_quotients() {
    constexpr std::int64_t k53 = std::int64_t{1} << 53;
    double q = 0;
    CHECK(exact_quotient(1, 3, q) && q == 1.0 / 3.0);
    CHECK(exact_quotient(k53, k53, q) && q == 1.0);
    CHECK(exact_quotient(-k53, 2, q) && q == -4503599627370496.0);
    CHECK(!exact_quotient(k53 + 1, 1, q) && !exact_quotient(1, -k53 - 1, q));
    CHECK(!exact_quotient(5, 0, q) && !exact_quotient(kMin, -1, q));
}

void test_slot_and_stack() {
    int a = 1, b = 2;
    Slot<int*> slot;
    CHECK(slot.replace(&a, false) == nullptr && slot.version == 0);
    CHECK(slot.replace(&b, true) == &a && slot.version == 1);
    int* release = nullptr;
    CHECK(!slot.compare_and_swap(&a, nullptr, release) && release == nullptr && slot.value == &b);
    CHECK(slot.compare_and_swap(&b, &a, release) && release == &b && slot.value == &a && slot.version == 2);
    slot.version = std::numeric_limits<std::uint64_t>::max();
    slot.replace(&b, true);
    CHECK(slot.version == 0);
    CHECK(slot.take() == &b && slot.value == nullptr && slot.version == 0);

    Stack<int> st;
    StackNode<int> n1{1, nullptr}, n2{2, nullptr}, n3{3, nullptr};
    CHECK(st.empty() && st.pop() == nullptr && st.size.read() == 0);
    st.push(&n1);
    st.push(&n2);
    st.push(&n3);
    CHECK(st.size.read() == 3 && st.pop() == &n3 && st.size.read() == 2 && !st.empty());
    StackNode<int>* chain = st.detach();
    CHECK(chain == &n2 && chain->next == &n1 && n1.next == nullptr);
    CHECK(st.empty() && st.size.read() == 0 && st.pop() == nullptr);
}

}  // namespace

int main() {
    test_counter();
    test_stats_records();
    test_stats_threads();
    test_quotients();
    test_slot_and_stack();
    return core_check::finish();
}
