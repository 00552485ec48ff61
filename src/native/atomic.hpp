// Sequentially consistent signed 64-bit atomics whose arithmetic wraps (two's complement modulo
// 2**64): std::atomic<int64_t> arithmetic is defined to wrap, so no signed overflow can occur.
// Pure C++; usable without the interpreter.
#pragma once

#include <atomic>
#include <cstdint>

namespace qn {

struct Atomic64 {
    std::atomic<int64_t> v{0};

    // Read as a compare-and-exchange of 0 against 0: never changes the value, full barrier.
    int64_t load() noexcept {
        int64_t expected = 0;
        v.compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
        return expected;
    }
    void store(int64_t x) noexcept { v.exchange(x, std::memory_order_seq_cst); }
    int64_t fetch_add(int64_t d) noexcept { return v.fetch_add(d, std::memory_order_seq_cst); }
    int64_t add(int64_t d) noexcept {
        return static_cast<int64_t>(static_cast<uint64_t>(fetch_add(d)) + static_cast<uint64_t>(d));
    }
    int64_t sub(int64_t d) noexcept {
        return static_cast<int64_t>(static_cast<uint64_t>(v.fetch_sub(d, std::memory_order_seq_cst)) -
                                    static_cast<uint64_t>(d));
    }
    bool cas(int64_t expected, int64_t desired) noexcept {
        return v.compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
    }
    // A sequentially consistent read without a locked instruction (reads what load() reads), for
    // paths that read many counters per call.
    int64_t read() const noexcept { return v.load(std::memory_order_seq_cst); }
    // Raises the value to at least `x`; returns the last value read. Starts from a plain read: a
    // failed swap reads again anyway.
    int64_t raise_to(int64_t x) noexcept {
        int64_t cur = read();
        while (x > cur && !v.compare_exchange_weak(cur, x, std::memory_order_seq_cst)) {
        }
        return cur;
    }
};

}  // namespace qn
