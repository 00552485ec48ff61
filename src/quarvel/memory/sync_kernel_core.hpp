// The concurrency primitives of the memory layer without their Python objects: the wrapping 64-bit
// atomic counter, the allocation statistics kept in such counters, the quotients of a statistics
// snapshot, and the storage of the versioned slot and of the stack. Pure C++ (no interpreter
// headers): the binding in sync_kernel.cpp converts arguments, takes the locks and owns the object
// references; it stores them here as opaque payloads.
//
// Threading model (the binding's contract):
//   * `Counter` is safe from any number of threads: every operation is one sequentially
//     consistent atomic instruction, or a compare-and-swap loop (`raise_to`) that only ever
//     raises the value. Arithmetic wraps modulo 2**64 (two's complement), so no input overflows.
//   * `Stats` is a row of counters: each update is atomic on its own, a whole record is not (a
//     concurrent reader may see some of its steps and not others). `reset` stores the zeros one by
//     one; the binding serialises resets against each other with its lock.
//   * `Slot` and `Stack` are not thread-safe on their own: every read and write of their storage
//     runs under one exclusion the caller provides (the object's lock). The one exception is
//     `Stack::size`, an atomic counter read without it. A payload that leaves the storage (an old
//     slot value, a popped node, a detached chain) belongs to the caller, who releases it after
//     leaving the exclusion.
#pragma once

#include <atomic>
#include <cstdint>

namespace quarvel::sync_kernel {

// ---------------------------------------------------------------------------------------------
// Wrapping arithmetic

constexpr std::int64_t wrap_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wrap_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// A signed 64-bit counter updated only by sequentially consistent atomic instructions.
// std::atomic<int64_t> arithmetic is defined to wrap, so no signed overflow can occur.
struct Counter {
    std::atomic<std::int64_t> v{0};

    // Read as a compare-and-exchange of 0 against 0: never changes the value, full barrier.
    std::int64_t load() noexcept {
        std::int64_t expected = 0;
        v.compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
        return expected;
    }
    void store(std::int64_t x) noexcept { v.exchange(x, std::memory_order_seq_cst); }
    // The value before adding.
    std::int64_t fetch_add(std::int64_t d) noexcept { return v.fetch_add(d, std::memory_order_seq_cst); }
    // The value after adding / subtracting.
    std::int64_t add(std::int64_t d) noexcept { return wrap_add(fetch_add(d), d); }
    std::int64_t sub(std::int64_t d) noexcept { return wrap_sub(v.fetch_sub(d, std::memory_order_seq_cst), d); }
    bool cas(std::int64_t expected, std::int64_t desired) noexcept {
        return v.compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
    }
    // A sequentially consistent read without a locked instruction (reads what load() reads), for
    // paths that read many counters per call.
    std::int64_t read() const noexcept { return v.load(std::memory_order_seq_cst); }
    // Raises the value to at least `x`; returns the last value read. Starts from a plain read: a
    // failed swap reads again anyway.
    std::int64_t raise_to(std::int64_t x) noexcept {
        std::int64_t cur = read();
        while (x > cur && !v.compare_exchange_weak(cur, x, std::memory_order_seq_cst)) {}
        return cur;
    }
};

// ---------------------------------------------------------------------------------------------
// Allocation statistics

enum Stat : int {
    kTotalAllocs,
    kTotalDeallocs,
    kCurrentAllocs,
    kCurrentBytes,
    kBytesReserved,
    kPeakAllocs,
    kPeakBytes,
    kBucketed,
    kFallback,
    kPadding,
    kAllocTime,
    kDeallocTime,
    kStatCount
};

// The name each counter has as a public attribute, in the same order.
inline constexpr const char* kStatNames[kStatCount] = {
    "total_allocations",    "total_deallocations",     "current_allocations",      "bytes_allocated",
    "bytes_reserved",       "peak_allocations",        "peak_bytes_allocated",     "bucketed_allocations",
    "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

struct Stats {
    Counter c[kStatCount];

    // One allocation: the counts, the bucket split, padding and time when positive, and the peaks
    // raised to what this allocation made them (the values before its own additions, plus them).
    void record_allocation(std::int64_t size, bool bucketed, std::int64_t padding, std::int64_t time_ns) noexcept {
        c[kTotalAllocs].fetch_add(1);
        const std::int64_t allocs_before = c[kCurrentAllocs].fetch_add(1);
        const std::int64_t bytes_before = c[kCurrentBytes].fetch_add(size);
        c[bucketed ? kBucketed : kFallback].fetch_add(1);
        if (padding > 0) c[kPadding].fetch_add(padding);
        if (time_ns > 0) c[kAllocTime].fetch_add(time_ns);
        c[kPeakAllocs].raise_to(wrap_add(allocs_before, 1));
        c[kPeakBytes].raise_to(wrap_add(bytes_before, size));
    }

    void record_deallocation(std::int64_t size, std::int64_t time_ns) noexcept {
        c[kTotalDeallocs].fetch_add(1);
        c[kCurrentAllocs].sub(1);
        c[kCurrentBytes].sub(size);
        if (time_ns > 0) c[kDeallocTime].fetch_add(time_ns);
    }

    void reset() noexcept {
        for (auto& x : c) x.store(0);
    }
};

// a / b as the interpreter's true division of two integers gives it, when that is one correctly
// rounded division of doubles: both operands within 2**53 (exact as doubles) and b non-zero.
// Returns false otherwise (the caller divides the integers themselves).
constexpr bool exact_quotient(std::int64_t a, std::int64_t b, double& out) noexcept {
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (b == 0 || a < -kExact || a > kExact || b < -kExact || b > kExact) return false;
    out = static_cast<double>(a) / static_cast<double>(b);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Versioned slot: one payload (`T{}` = empty) and a count of successful writes that wraps around.

template <class T>
struct Slot {
    T value{};
    std::uint64_t version = 0;

    // Puts `content` in; returns the previous payload. Counts a write when `count` is set.
    T replace(T content, bool count) noexcept {
        T old = value;
        value = content;
        if (count) ++version;  // unsigned: wraps from its maximum to 0
        return old;
    }
    // Puts `content` in if the payload is `expected` (by value); `release` receives the payload the
    // caller now owns: the previous one on success, `content` otherwise.
    bool compare_and_swap(T expected, T content, T& release) noexcept {
        if (value != expected) {
            release = content;
            return false;
        }
        release = value;
        value = content;
        ++version;
        return true;
    }
    // Empties the slot (the version stays) and returns the payload.
    T take() noexcept { return replace(T{}, false); }
};

// ---------------------------------------------------------------------------------------------
// Stack: a singly linked list of caller-allocated nodes, with an atomic size.

template <class T>
struct StackNode {
    T item;
    StackNode* next;
};

template <class T>
struct Stack {
    using Node = StackNode<T>;
    Node* head = nullptr;
    Counter size;

    void push(Node* node) noexcept {
        node->next = head;
        head = node;
        size.fetch_add(1);
    }
    // The top node, unlinked (nullptr when empty).
    Node* pop() noexcept {
        Node* node = head;
        if (node != nullptr) {
            head = node->next;
            size.fetch_add(-1);
        }
        return node;
    }
    bool empty() const noexcept { return head == nullptr; }
    // Unlinks the whole chain (the size brought back by its length) and returns it.
    Node* detach() noexcept {
        Node* chain = head;
        head = nullptr;
        std::int64_t n = 0;
        for (Node* node = chain; node != nullptr; node = node->next) ++n;
        size.fetch_add(-n);
        return chain;
    }
};

}  // namespace quarvel::sync_kernel
