// Stand-alone checks of the block tree core: randomized comparison against a map-of-vectors model
// with the red-black invariants verified along the way, and a reader/writer stress run in which a
// mutex plays the part of the interpreter lock. Built and run by tests/test_cores.py (under the
// address/undefined and, for the argument "concurrent", the thread sanitizers). Prints "OK" on
// success.
#include "block_tree.hpp"
#include "check.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

using quarvel::block_index::BlockTree;
using quarvel::block_index::kBlack;
using quarvel::block_index::kRed;

namespace {

// Allocator whose failure can be switched on, to check that a failed allocation changes nothing.
struct FlakyAllocator {
    static inline bool fail = false;
    static void* allocate(std::size_t n) noexcept { return fail ? nullptr : std::malloc(n); }
    static void deallocate(void* p) noexcept { std::free(p); }
};

using Tree = BlockTree<std::uint64_t, FlakyAllocator>;
using Node = Tree::Node;
// Model: size -> blocks in the tree's order (head, then newest to oldest).
using Model = std::map<std::uint64_t, std::vector<std::uint64_t>>;

// Returns the black height; checks order, parent links, colours and chain contents.
int check_subtree(const Node* n, const Node* parent, const std::uint64_t* lo, const std::uint64_t* hi,
                  const Model& model, std::uint64_t& nodes, std::uint64_t& blocks) {
    if (n == nullptr) return 1;
    ++nodes;
    CHECK(n->parent == parent);
    CHECK(n->color == kRed || n->color == kBlack);
    if (lo) CHECK(n->size > *lo);
    if (hi) CHECK(n->size < *hi);
    if (n->color == kRed) {
        CHECK(parent != nullptr);
        CHECK(n->left.load() == nullptr || n->left.load()->color == kBlack);
        CHECK(n->right.load() == nullptr || n->right.load()->color == kBlack);
    }
    auto it = model.find(n->size);
    CHECK(it != model.end());
    std::vector<std::uint64_t> chain{n->block};
    for (const Node* c = n->next; c != nullptr; c = c->next) {
        CHECK(c->size == n->size);
        CHECK(c->parent == nullptr && c->left.load() == nullptr && c->right.load() == nullptr);
        chain.push_back(c->block);
    }
    if (it != model.end()) CHECK(chain == it->second);
    blocks += chain.size();
    const int bl = check_subtree(n->left.load(), n, lo, &n->size, model, nodes, blocks);
    const int br = check_subtree(n->right.load(), n, &n->size, hi, model, nodes, blocks);
    CHECK(bl == br);
    return bl + (n->color == kBlack ? 1 : 0);
}

void check_tree(const Tree& t, const Model& model) {
    std::uint64_t nodes = 0, blocks = 0, expect_blocks = 0;
    for (const auto& kv : model) expect_blocks += kv.second.size();
    const Node* r = t.root();
    CHECK(r == nullptr || r->color == kBlack);
    check_subtree(r, nullptr, nullptr, nullptr, model, nodes, blocks);
    CHECK(nodes == model.size());
    CHECK(nodes == t.tree_node_count());
    CHECK(blocks == expect_blocks);
    CHECK(t.block_count() == expect_blocks);
    CHECK(t.height() <= 2.0 * std::log2(double(nodes) + 1.0) + 1e-9);
}

void insert(Tree& t, Model& m, std::uint64_t size, std::uint64_t block) {
    Node* n = Tree::make_node(size, block, 0);
    CHECK(n != nullptr);
    t.begin_write();
    t.link(n);
    t.end_write();
    auto& v = m[size];
    v.insert(v.empty() ? v.end() : v.begin() + 1, block);
}

void randomized_against_model() {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 4; ++round) {
        Tree t;
        Model m;
        const std::uint64_t span = round == 0 ? 16 : round == 1 ? 300 : round == 2 ? 5000 : ~0ull;
        std::uint64_t next_block = 1;
        for (int step = 0; step < 12000; ++step) {
            const unsigned op = rng() % 10;
            std::uint64_t size = round == 3 && rng() % 8 == 0 ? ~0ull - rng() % 4 : rng() % span;
            if (op < 5) {
                insert(t, m, size, next_block++);
            } else if (op < 8) {  // best fit removal
                Node* n = t.lower_bound(size);
                auto it = m.lower_bound(size);
                CHECK((n == nullptr) == (it == m.end()));
                if (n != nullptr && it != m.end()) {
                    CHECK(n->size == it->first);
                    t.begin_write();
                    const std::uint64_t got = t.take_head(n);
                    t.end_write();
                    CHECK(got == it->second.front());
                    it->second.erase(it->second.begin());
                    if (it->second.empty()) m.erase(it);
                }
            } else {  // removal of one particular block of a size, wherever it is in the chain
                auto it = m.lower_bound(size);
                if (it == m.end()) continue;
                Node* n = t.find_exact(it->first);
                CHECK(n != nullptr);
                if (n == nullptr) continue;
                const std::size_t pos = rng() % it->second.size();
                const std::uint64_t want = it->second[pos];
                t.begin_write();
                std::uint64_t got;
                if (pos == 0) {
                    got = t.take_head(n);
                } else {
                    Node* prev = n;
                    while (prev->next->block != want) prev = prev->next;
                    got = t.take_after(prev);
                }
                t.end_write();
                t.reclaim();
                CHECK(got == want);
                it->second.erase(it->second.begin() + static_cast<std::ptrdiff_t>(pos));
                if (it->second.empty()) m.erase(it);
            }
            if (step % 61 == 0 || span == 16) check_tree(t, m);
            if (step % 13 == 0) t.reclaim();
        }
        check_tree(t, m);
        CHECK(t.sequence() % 2 == 0);
        // Disposal hands out every block: subtrees first, then each chain in order, then the head.
        std::vector<std::uint64_t> seen;
        t.begin_write();
        Node* old = t.detach_all();
        t.end_write();
        t.dispose_detached(old, [&](std::uint64_t b) { seen.push_back(b); });
        t.reclaim();
        CHECK(t.retired_count() == 0);
        std::uint64_t expect = 0;
        for (const auto& kv : m) expect += kv.second.size();
        CHECK(seen.size() == expect);
        m.clear();
        check_tree(t, m);
    }
}

void shapes_and_failures() {
    Tree t;
    Model m;
    for (std::uint64_t s = 1; s <= 1000; ++s) insert(t, m, s, s);
    check_tree(t, m);
    CHECK(t.height() <= 19);

    // Equal sizes chain as head, newest..oldest, without adding tree nodes.
    Tree e;
    Model em;
    for (std::uint64_t b = 1; b <= 3; ++b) insert(e, em, 64, b);
    CHECK(e.tree_node_count() == 1 && e.block_count() == 3);
    CHECK(em[64] == (std::vector<std::uint64_t>{1, 3, 2}));
    check_tree(e, em);

    // Size 0 and the largest size are ordinary keys; comparisons are unsigned.
    Tree u;
    Model um;
    insert(u, um, 0, 1);
    insert(u, um, ~0ull, 2);
    insert(u, um, 1ull << 63, 3);
    check_tree(u, um);
    CHECK(u.lower_bound(1)->size == (1ull << 63));
    CHECK(u.lower_bound((1ull << 63) + 1)->size == ~0ull);
    CHECK(u.lower_bound(0)->size == 0);

    FlakyAllocator::fail = true;
    CHECK(Tree::make_node(5, 5, 0) == nullptr);
    FlakyAllocator::fail = false;
    check_tree(u, um);
}

// One writer and several readers; `gil` stands in for the interpreter lock. Readers walk with it
// released and must never touch freed memory (the address sanitizer would report it) nor race the
// writer (the thread sanitizer would), and a validated result must match the model exactly.
void concurrent_readers() {
    Tree t;
    Model m;
    std::mutex gil;
    std::atomic<bool> stop{false};
    std::atomic<long> validated{0}, retried{0};
    std::atomic<int> failures_seen{0};
    for (std::uint64_t s = 0; s < 2000; s += 2) insert(t, m, s, s + 1);

    auto reader = [&](unsigned which) {
        std::mt19937_64 rng(which * 7919 + 1);
        while (!stop.load(std::memory_order_relaxed)) {
            const std::uint64_t q = rng() % 2100;
            std::unique_lock<std::mutex> g(gil);
            const std::uint64_t s0 = t.read_begin();
            if (s0 & 1) {
                g.unlock();
                std::this_thread::yield();
                continue;
            }
            t.walk_enter();
            g.unlock();
            bool complete = false;
            Node* n = (q & 1) ? t.concurrent_lower_bound(q, complete) : t.concurrent_find_exact(q, complete);
            t.walk_leave();
            g.lock();
            if (!complete || !t.read_validate(s0)) {
                retried.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            validated.fetch_add(1, std::memory_order_relaxed);
            if (q & 1) {
                auto it = m.lower_bound(q);
                const bool ok =
                    (n == nullptr) == (it == m.end()) &&
                    (n == nullptr || (n->size == it->first && n->size >= q && n->block == it->second.front()));
                if (!ok) failures_seen.fetch_add(1);
            } else {
                auto it = m.find(q);
                const bool ok =
                    (n == nullptr) == (it == m.end()) && (n == nullptr || Tree::chain_length(n) == it->second.size());
                if (!ok) failures_seen.fetch_add(1);
            }
        }
    };

    std::vector<std::thread> readers;
    for (unsigned i = 0; i < 3; ++i) readers.emplace_back(reader, i);
    std::mt19937_64 rng(99);
    std::uint64_t next_block = 10000;
    for (int step = 0; step < 12000; ++step) {
        std::lock_guard<std::mutex> g(gil);
        const std::uint64_t size = rng() % 2100;
        if (rng() % 2) {
            insert(t, m, size, next_block++);
        } else if (Node* n = t.lower_bound(size)) {
            auto it = m.lower_bound(size);
            t.begin_write();
            t.take_head(n);
            t.end_write();
            it->second.erase(it->second.begin());
            if (it->second.empty()) m.erase(it);
        }
        if (step % 512 == 0) {  // occasionally empty everything while readers are walking
            t.begin_write();
            Node* old = t.detach_all();
            t.end_write();
            t.dispose_detached(old, [](std::uint64_t) {});
            m.clear();
        }
        t.reclaim();
    }
    stop = true;
    for (auto& th : readers) th.join();
    CHECK(failures_seen.load() == 0);
    CHECK(validated.load() > 0);
    std::lock_guard<std::mutex> g(gil);
    check_tree(t, m);
    t.reclaim();
    CHECK(t.retired_count() == 0);
    std::printf("validated=%ld retried=%ld\n", validated.load(), retried.load());
}

}  // namespace

int main(int argc, char** argv) {
    const bool only_concurrent = argc > 1 && std::string_view(argv[1]) == "concurrent";
    if (!only_concurrent) {
        randomized_against_model();
        shapes_and_failures();
    }
    concurrent_readers();
    return core_check::finish();
}
