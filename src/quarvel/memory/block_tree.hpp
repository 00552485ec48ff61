// Size-keyed red-black tree of free blocks: one tree node per distinct size, further blocks of a
// size chained behind that node. Pure C++ (no interpreter headers); the payload type and the
// allocator are template parameters so the Python binding can store object references in nodes
// obtained from the interpreter's allocator, and the tests can use plain values and malloc.
//
// Threading model (the binding's contract):
//   * Every mutation runs under one outer exclusion that the caller provides (in the binding: the
//     tree's writer lock plus the interpreter lock). The retired-node list, the counters and all
//     non-link fields are owned by that exclusion.
//   * Readers may walk the tree concurrently with a writer (`concurrent_lower_bound`,
//     `concurrent_find_exact`). They must bracket the walk with `walk_enter()` / `walk_leave()`,
//     and `walk_enter()` must be called while the caller holds the exclusion that guards frees
//     (the interpreter lock in the binding): this is what lets a writer that holds that exclusion
//     know no new walker can start, so a bounded wait for the current walkers always ends.
//     A walk touches only `root`, `left`, `right` and the immutable `size`; links are atomics, so
//     an overlapping walk is free of data races. Its result is trusted only when the sequence
//     counter read before it is even and unchanged after it (`read_begin` / `read_validate`).
//   * A tree node unlinked while walkers may be active is retired, not freed; retired nodes are
//     freed by `reclaim()` once no walker is in progress. Chain entries are never reached by a
//     walk and are freed at once.
//
// Shape: inserts follow the textbook algorithm (new node red, recolour/rotate upwards). Deletion
// is the textbook algorithm as well, including the repair when the child that moves up is missing
// (the parent of that position is tracked), so the height stays within 2*log2(n + 1) for n tree
// nodes under any mix of inserts and removals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

namespace quarvel::block_index {

inline constexpr std::uint32_t kRed = 0;
inline constexpr std::uint32_t kBlack = 1;

// A walk longer than this cannot happen on a stable tree (height <= 2*log2(2^64) = 128), so a walk
// that gets this far has raced a writer; it gives up and the reader retries.
inline constexpr unsigned kMaxWalkSteps = 160;

// Retired tree nodes above this count make the next writer wait for the walkers in progress
// (bounded: see the threading model) so that memory cannot pile up under continuous reading.
inline constexpr std::size_t kRetiredDrainLimit = 4096;

// Field order: what a walk reads (size, left, right) is kept together in 24 bytes at offset 16, so
// that it falls within one cache line for the usual 16-byte aligned records; the rest follows.
template <class Payload>
struct RBNode {
    RBNode* parent;              // tree nodes only; null at the root and in chain entries
    RBNode* next;                // next entry of this size's chain; retired-list link after unlinking
    std::uint64_t size;          // the key; immutable once the record is published
    std::atomic<RBNode*> left;   // smaller sizes
    std::atomic<RBNode*> right;  // larger sizes
    Payload block;               // the indexed block
    std::int64_t alloc_ns;       // creation time, kept for diagnostics only
    std::uint32_t color;         // kRed / kBlack; chain entries keep 0

    RBNode(std::uint64_t s, Payload b, std::int64_t ns) noexcept
        : parent(nullptr),
          next(nullptr),
          size(s),
          left(nullptr),
          right(nullptr),
          block(std::move(b)),
          alloc_ns(ns),
          color(kRed) {}
};

// Allocator used by the stand-alone tests: Alloc must provide allocate(bytes) returning nullptr on
// failure and deallocate(ptr).
struct MallocAllocator {
    static void* allocate(std::size_t n) noexcept { return std::malloc(n); }
    static void deallocate(void* p) noexcept { std::free(p); }
};

template <class Payload, class Alloc>
class BlockTree {
public:
    using Node = RBNode<Payload>;

    BlockTree() noexcept = default;
    BlockTree(const BlockTree&) = delete;
    BlockTree& operator=(const BlockTree&) = delete;

    // Frees node memory only. Payloads must have been taken out (dispose_detached) before; the
    // tests' payloads are trivially destructible.
    ~BlockTree() {
        Node* r = root_.load(std::memory_order_relaxed);
        root_.store(nullptr, std::memory_order_relaxed);
        free_subtree_nodes(r);
        drain_retired();
    }

    // ---- record allocation -------------------------------------------------------------------

    // A fresh, unlinked record; nullptr when the allocator fails (nothing else happens then).
    static Node* make_node(std::uint64_t size, Payload block, std::int64_t alloc_ns) noexcept {
        void* mem = Alloc::allocate(sizeof(Node));
        if (mem == nullptr) return nullptr;
        return ::new (mem) Node(size, std::move(block), alloc_ns);
    }

    // Releases a record that was never linked (or a chain entry already unlinked).
    static void free_node(Node* n) noexcept {
        n->~Node();
        Alloc::deallocate(n);
    }

    // ---- write sections ----------------------------------------------------------------------

    void begin_write() noexcept {
        const std::uint64_t s = seq_.load(std::memory_order_relaxed);
        seq_.store(s + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }

    void end_write() noexcept {
        const std::uint64_t s = seq_.load(std::memory_order_relaxed);
        seq_.store(s + 1, std::memory_order_release);
    }

    std::uint64_t sequence() const noexcept { return seq_.load(std::memory_order_acquire); }

    // Indexes a record made by make_node: chained behind the node of its size (second entry,
    // right after the head) when that size is present, else linked as a new tree node. One walk
    // serves both: it ends at the node of that size or at the parent of the new leaf.
    void link(Node* n) noexcept {
        const std::uint64_t size = n->size;
        Node* p = root();
        if (p == nullptr) {
            n->color = kBlack;
            set_root(n);
            ++tree_nodes_;
            ++block_count_;
            return;
        }
        for (;;) {
            if (size == p->size) {
                n->next = p->next;
                p->next = n;
                ++block_count_;
                return;
            }
            Node* c = size < p->size ? L(p) : R(p);
            if (c == nullptr) break;
            p = c;
        }
        n->parent = p;
        if (size < p->size)
            set_left(p, n);
        else
            set_right(p, n);
        fixup_insert(n);
        ++tree_nodes_;
        ++block_count_;
    }

    // Takes the head block out of a tree node. With a chain the next entry's block moves into the
    // node (which keeps its place, size and colour) and that entry is freed; without one the node
    // is unlinked and retired. Returns the removed block.
    Payload take_head(Node* node) noexcept {
        Payload out = std::move(node->block);
        Node* replacement = node->next;
        if (replacement != nullptr) {
            node->next = replacement->next;
            node->block = std::move(replacement->block);
            free_node(replacement);
        } else {
            delete_tree_node(node);
            --tree_nodes_;
            retire(node);
        }
        --block_count_;
        return out;
    }

    // Takes the chain entry after `prev` (a tree node or a chain entry; prev->next must exist).
    Payload take_after(Node* prev) noexcept {
        Node* cur = prev->next;
        prev->next = cur->next;
        Payload out = std::move(cur->block);
        free_node(cur);
        --block_count_;
        return out;
    }

    // Empties the tree and hands back the old root; the caller must pass it to dispose_detached.
    Node* detach_all() noexcept {
        Node* r = root_.load(std::memory_order_relaxed);
        root_.store(nullptr, std::memory_order_release);
        block_count_ = 0;
        tree_nodes_ = 0;
        return r;
    }

    // Disposes of a detached tree: left subtree, right subtree, then the chain entries in chain
    // order, then the node itself; `on_block(Payload&&)` receives every block in that order and may
    // run arbitrary code that uses this tree (the detached nodes are no longer reachable from it).
    // Tree nodes are retired, since walkers that started before the detach may still read them.
    template <class F>
    void dispose_detached(Node* n, F&& on_block) {
        if (n == nullptr) return;
        dispose_detached(n->left.load(std::memory_order_relaxed), on_block);
        dispose_detached(n->right.load(std::memory_order_relaxed), on_block);
        Node* c = n->next;
        n->next = nullptr;
        while (c != nullptr) {
            Node* following = c->next;
            Payload b = std::move(c->block);
            free_node(c);
            on_block(std::move(b));
            c = following;
        }
        Payload b = std::move(n->block);
        retire(n);
        on_block(std::move(b));
    }

    // ---- lookups under the writer's exclusion (or any point where no mutation can interleave) --

    Node* find_exact(std::uint64_t size) const noexcept {
        Node* n = root_.load(std::memory_order_relaxed);
        while (n != nullptr) {
            if (size == n->size) return n;
            n = size < n->size ? n->left.load(std::memory_order_relaxed) : n->right.load(std::memory_order_relaxed);
        }
        return nullptr;
    }

    // Tree node of the smallest size that is at least `size`; nullptr if none.
    Node* lower_bound(std::uint64_t size) const noexcept {
        Node* candidate = nullptr;
        Node* n = root_.load(std::memory_order_relaxed);
        while (n != nullptr) {
            if (n->size < size) {
                n = n->right.load(std::memory_order_relaxed);
            } else {
                candidate = n;
                n = n->left.load(std::memory_order_relaxed);
            }
        }
        return candidate;
    }

    // ---- concurrent readers --------------------------------------------------------------------

    // Call with the free-guarding exclusion held (see the threading model).
    void walk_enter() noexcept {
        walkers_.fetch_add(1, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    void walk_leave() noexcept { walkers_.fetch_sub(1, std::memory_order_release); }

    // Sequence value to compare after the walk; odd means a write is in progress.
    std::uint64_t read_begin() const noexcept { return seq_.load(std::memory_order_acquire); }
    bool read_validate(std::uint64_t start) const noexcept {
        std::atomic_thread_fence(std::memory_order_acquire);
        return seq_.load(std::memory_order_relaxed) == start;
    }

    // Walks that may overlap a writer. `complete` is false when the walk gave up (it can only do
    // so while racing a writer, and then the sequence check fails as well).
    Node* concurrent_lower_bound(std::uint64_t size, bool& complete) const noexcept {
        Node* candidate = nullptr;
        Node* n = root_.load(std::memory_order_acquire);
        for (unsigned steps = 0; n != nullptr; ++steps) {
            if (steps == kMaxWalkSteps) {
                complete = false;
                return nullptr;
            }
            if (n->size < size) {
                n = n->right.load(std::memory_order_acquire);
            } else {
                candidate = n;
                n = n->left.load(std::memory_order_acquire);
            }
        }
        complete = true;
        return candidate;
    }

    Node* concurrent_find_exact(std::uint64_t size, bool& complete) const noexcept {
        Node* n = root_.load(std::memory_order_acquire);
        for (unsigned steps = 0; n != nullptr; ++steps) {
            if (steps == kMaxWalkSteps) {
                complete = false;
                return nullptr;
            }
            if (size == n->size) break;
            n = size < n->size ? n->left.load(std::memory_order_acquire) : n->right.load(std::memory_order_acquire);
        }
        complete = true;
        return n;
    }

    // ---- reclamation ---------------------------------------------------------------------------

    // Frees retired nodes if no walk is in progress. When too many have piled up, waits for the
    // walks in progress to end; the caller must then hold the exclusion under which walks start.
    void reclaim() noexcept {
        if (retired_ == nullptr) return;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (walkers_.load(std::memory_order_seq_cst) != 0) {
            if (retired_count_ < kRetiredDrainLimit) return;
            while (walkers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        drain_retired();
    }

    std::size_t retired_count() const noexcept { return retired_count_; }

    // ---- inspection ----------------------------------------------------------------------------

    Node* root() const noexcept { return root_.load(std::memory_order_relaxed); }
    std::uint64_t block_count() const noexcept { return block_count_; }
    std::uint64_t tree_node_count() const noexcept { return tree_nodes_; }

    // Nodes on the longest root-to-leaf path; 0 when empty.
    static unsigned height(const Node* n) noexcept {
        if (n == nullptr) return 0;
        const unsigned l = height(n->left.load(std::memory_order_relaxed));
        const unsigned r = height(n->right.load(std::memory_order_relaxed));
        return 1 + (l > r ? l : r);
    }
    unsigned height() const noexcept { return height(root()); }

    // Root first, then the left subtree, then the right subtree.
    template <class F>
    static void preorder(const Node* n, F&& f) {
        if (n == nullptr) return;
        f(n);
        preorder(n->left.load(std::memory_order_relaxed), f);
        preorder(n->right.load(std::memory_order_relaxed), f);
    }

    static std::uint64_t chain_length(const Node* n) noexcept {
        std::uint64_t k = 1;
        for (const Node* c = n->next; c != nullptr; c = c->next) ++k;
        return k;
    }

private:
    static bool is_red(const Node* n) noexcept { return n != nullptr && n->color == kRed; }
    static bool is_black(const Node* n) noexcept { return n == nullptr || n->color == kBlack; }
    static Node* L(const Node* n) noexcept { return n->left.load(std::memory_order_relaxed); }
    static Node* R(const Node* n) noexcept { return n->right.load(std::memory_order_relaxed); }
    static void set_left(Node* n, Node* c) noexcept { n->left.store(c, std::memory_order_release); }
    static void set_right(Node* n, Node* c) noexcept { n->right.store(c, std::memory_order_release); }
    void set_root(Node* n) noexcept { root_.store(n, std::memory_order_release); }

    // The balancing below is written once for both mirror images: `d` names a side (kLeft or
    // kRight) and `!d` the other one. It is a template argument, so that each image compiles to
    // the plain code of its own side.
    static constexpr bool kLeft = false;
    static constexpr bool kRight = true;
    template <bool d>
    static Node* child(const Node* n) noexcept {
        return d ? R(n) : L(n);
    }
    template <bool d>
    static void set_child(Node* n, Node* c) noexcept {
        d ? set_right(n, c) : set_left(n, c);
    }

    // Rotates x down to side d: its child on the other side takes its place.
    template <bool d>
    void rotate(Node* x) noexcept {
        Node* y = child<!d>(x);
        Node* inner = child<d>(y);
        set_child<!d>(x, inner);
        if (inner != nullptr) inner->parent = x;
        y->parent = x->parent;
        if (x->parent == nullptr)
            set_root(y);
        else if (x == child<d>(x->parent))
            set_child<d>(x->parent, y);
        else
            set_child<!d>(x->parent, y);
        set_child<d>(y, x);
        x->parent = y;
    }

    // One step of the insert fix-up for red z under red p, where p hangs on side d of g; returns
    // the node to look at next.
    template <bool d>
    Node* insert_step(Node* z, Node* p, Node* g) noexcept {
        Node* u = child<!d>(g);
        if (is_red(u)) {
            p->color = kBlack;
            u->color = kBlack;
            g->color = kRed;
            return g;
        }
        if (z == child<!d>(p)) {
            z = p;
            rotate<d>(z);
        }
        z->parent->color = kBlack;
        z->parent->parent->color = kRed;
        rotate<!d>(z->parent->parent);
        return z;
    }

    void fixup_insert(Node* z) noexcept {
        while (z->parent != nullptr && z->parent->color == kRed) {
            Node* p = z->parent;
            Node* g = p->parent;  // a red node is never the root, so g exists
            z = (p == L(g)) ? insert_step<kLeft>(z, p, g) : insert_step<kRight>(z, p, g);
        }
        root()->color = kBlack;
    }

    // Replaces the subtree rooted at u by the one rooted at v (v may be null).
    void transplant(Node* u, Node* v) noexcept {
        if (u->parent == nullptr)
            set_root(v);
        else if (u == L(u->parent))
            set_left(u->parent, v);
        else
            set_right(u->parent, v);
        if (v != nullptr) v->parent = u->parent;
    }

    static Node* minimum(Node* n) noexcept {
        for (Node* l = L(n); l != nullptr; l = L(n)) n = l;
        return n;
    }

    // Unlinks tree node z (its memory stays valid; the caller retires it).
    void delete_tree_node(Node* z) noexcept {
        std::uint32_t removed_color = z->color;
        Node* x;
        Node* xp;  // parent of x's position, also when x is null
        if (L(z) == nullptr) {
            x = R(z);
            xp = z->parent;
            transplant(z, x);
        } else if (R(z) == nullptr) {
            x = L(z);
            xp = z->parent;
            transplant(z, x);
        } else {
            Node* y = minimum(R(z));
            removed_color = y->color;
            x = R(y);
            if (y->parent == z) {
                xp = y;
            } else {
                xp = y->parent;
                transplant(y, x);
                set_right(y, R(z));
                R(y)->parent = y;
            }
            transplant(z, y);
            set_left(y, L(z));
            L(y)->parent = y;
            y->color = z->color;
        }
        if (removed_color == kBlack) fixup_delete(x, xp);
    }

    // One step of the delete fix-up for the doubly black x on side d of its parent xp (x may be
    // null); moves x and xp on.
    template <bool d>
    void delete_step(Node*& x, Node*& xp) noexcept {
        Node* w = child<!d>(xp);
        if (is_red(w)) {
            w->color = kBlack;
            xp->color = kRed;
            rotate<d>(xp);
            w = child<!d>(xp);
        }
        if (w == nullptr) {  // cannot happen in a valid tree; stop rather than fault
            x = xp;
            xp = x->parent;
            return;
        }
        if (is_black(L(w)) && is_black(R(w))) {
            w->color = kRed;
            x = xp;
            xp = x->parent;
            return;
        }
        if (is_black(child<!d>(w))) {
            child<d>(w)->color = kBlack;  // red, since not both children are black
            w->color = kRed;
            rotate<!d>(w);
            w = child<!d>(xp);
        }
        w->color = xp->color;
        xp->color = kBlack;
        if (Node* far = child<!d>(w)) far->color = kBlack;
        rotate<d>(xp);
        x = root();
        xp = nullptr;
    }

    void fixup_delete(Node* x, Node* xp) noexcept {
        while (x != root() && is_black(x) && xp != nullptr) {
            if (x == L(xp))
                delete_step<kLeft>(x, xp);
            else
                delete_step<kRight>(x, xp);
        }
        if (x != nullptr) x->color = kBlack;
    }

    void retire(Node* n) noexcept {
        n->next = retired_;
        retired_ = n;
        ++retired_count_;
    }

    void drain_retired() noexcept {
        Node* n = retired_;
        retired_ = nullptr;
        retired_count_ = 0;
        while (n != nullptr) {
            Node* following = n->next;
            free_node(n);
            n = following;
        }
    }

    static void free_subtree_nodes(Node* n) noexcept {
        if (n == nullptr) return;
        free_subtree_nodes(L(n));
        free_subtree_nodes(R(n));
        for (Node* c = n->next; c != nullptr;) {
            Node* following = c->next;
            free_node(c);
            c = following;
        }
        free_node(n);
    }

    std::atomic<Node*> root_{nullptr};
    std::uint64_t block_count_ = 0;
    std::uint64_t tree_nodes_ = 0;
    std::atomic<std::uint64_t> seq_{0};
    std::atomic<std::uint64_t> walkers_{0};
    Node* retired_ = nullptr;
    std::size_t retired_count_ = 0;
};

}  // namespace quarvel::block_index
