// quarvel.memory.block_index: FastRedBlackTree, the size-ordered index of free memory blocks.
//
// The tree itself (nodes, rebalancing, concurrent walks, node reclamation) is the pure C++ core in
// block_tree.hpp; this file binds it to Python objects:
//   * nodes come from the interpreter's allocator and hold one owned reference to their block;
//   * writers (insert, delete, clear, remove_ge) run in sections of the tree's writer lock (a
//     qn::Lock: native unless the module's `threading.Lock` was substituted) with the interpreter
//     lock held, bracketed by the sequence counter; the only Python code inside such a section is
//     the block comparison of delete, and remove_ge's walk may give the interpreter lock up. Blocks
//     leaving the tree are released after the section is closed, so a finalizer may use the tree
//     freely;
//   * readers (find_best_fit, find_all_exact) take no lock. On trees of at least
//     kReleaseWalkNodes tree nodes they walk with the interpreter lock released (so does
//     remove_ge, inside its section); below that the walk is cheaper than handing the interpreter
//     lock over and they walk with it held. Either way the result counts only when the sequence
//     counter was even and unchanged around the walk; otherwise the reader retries, backing off
//     while a write is in progress, up to MAX_RETRIES attempts.
//   * re-entry: every lock section records the thread inside it. A call from that same thread (a
//     block's __eq__ during delete, a finalizer run by a comparison) that would wait for the
//     section, or a reader that would back off for it, raises RuntimeError instead; other threads
//     wait as usual;
//   * the tree reports every block it holds to the garbage collector and can be cleared by it;
//   * statistics are native counters, turned into the documented dictionary by get_stats.
//
// Threads ended at interpreter exit. A thread that wants the interpreter lock back while the
// interpreter is finalising is ended where it waits, by a forced unwind that runs the destructors
// of every C++ frame on its stack, without the interpreter lock. So across every point where the
// interpreter lock can be given up (the released walks, waiting for a lock, time.sleep, and any
// Python code: a block's __eq__, a subclass's _sanitize_size, a counter method) the frames of this
// file keep no object whose destructor touches Python: references held across such calls are
// plain pointers released by hand, and a section guard (qn::Section) touches no object when its
// thread is ended that way. Unwound at exit, such a frame leaks its references and may leave a
// lock held, which is harmless then. No noexcept function may be on the stack there either (the
// unwind cannot pass it and the process terminates), hence the local conversions below.
#include "native/qn.hpp"

#include "block_tree.hpp"

#include <ctime>
#include <new>
#include <type_traits>
#include <vector>

namespace {

namespace core = quarvel::block_index;

struct PyMemAllocator {
    static void* allocate(std::size_t n) noexcept { return PyMem_Malloc(n); }
    static void deallocate(void* p) noexcept { PyMem_Free(p); }
};

using Tree = core::BlockTree<PyObject*, PyMemAllocator>;
using Node = Tree::Node;
static_assert(sizeof(Node) == 64, "one node record per 64-byte allocation class");

constexpr int MAX_RETRIES = 100;
constexpr double kBackoffSeconds = 0.0001;

// Tree-node count from which walks run with the interpreter lock released. Releasing and taking
// it back costs about 40 ns on an idle interpreter and more when other threads wait for it, while
// a walk costs about 30 ns at 2,000 nodes, 105 ns at 16,000, 225 ns at 64,000 and 560 ns at
// 128,000 (its nodes then no longer fit in the caches). From this size on the switch is a small
// part of the call; below it, the walk is done with the interpreter lock held.
constexpr std::uint64_t kReleaseWalkNodes = 65536;

struct Stats {
    std::uint64_t total_blocks = 0;
    std::uint64_t total_insertions = 0;
    std::uint64_t total_deletions = 0;
    std::uint64_t total_searches = 0;
    std::uint64_t operation_count = 0;
    bool has_circuit_breaker_trips = false;  // present once reset_circuit_breaker has run
};

struct FastRedBlackTreeObject {
    PyObject_HEAD
    Tree tree;
    qn::Lock<qn::Sections::any> lock;           // the writer lock; lives as long as the tree
    PyObject* op_counter;                       // AtomicCounter or None
    PyObject* sample_counter;                   // AtomicCounter or None
    qn::Lock<qn::Sections::native> stats_lock;  // guards `stats` against reset_circuit_breaker
    std::uint32_t sample_rate;
    bool atomic_available;
    Stats stats;
};

PyTypeObject FastRedBlackTreeType{};
PyObject* g_module_dict = nullptr;  // the module's namespace, for globals read at call time
qn::LockFactory g_locks;            // the trees' locks, after the module's `threading.Lock`
PyObject* g_backoff = nullptr;      // 0.0001 as a float
qn::StdFunction g_clock;            // is `time.perf_counter_ns` as the module sees it the standard one?
qn::DictTemplate g_stats_keys;      // get_stats before any reset_circuit_breaker
qn::DictTemplate g_stats_keys_cb;   // ... and after it

// Interned names, all made at load so that no call depends on creating them.
#define BLOCK_INDEX_NAMES(X) \
    X(ATOMIC_AVAILABLE) X(AtomicCounter) X(_sanitize_size) X(increment) X(load) X(size) X(sleep) X(time)

struct Names {
#define X(n) PyObject* n = nullptr;
    BLOCK_INDEX_NAMES(X)
#undef X
};
Names S;

int intern_names() {
#define X(n) \
    if ((S.n = PyUnicode_InternFromString(#n)) == nullptr) return -1;
    BLOCK_INDEX_NAMES(X)
#undef X
    return 0;
}

inline FastRedBlackTreeObject* as_tree(PyObject* o) { return reinterpret_cast<FastRedBlackTreeObject*>(o); }

// Module global `name` (borrowed), read when it is used; NameError if it was deleted.
PyObject* module_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_module_dict, name);
    if (v == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

// obj.<name>() (a new reference or nullptr); `obj` is held for the call.
PyObject* call_method0(PyObject* obj, PyObject* name) {
    Py_INCREF(obj);
    PyObject* stack[1] = {obj};
    PyObject* r = PyObject_VectorcallMethod(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(obj);
    return r;
}

// ---- write sections -------------------------------------------------------------------------

// A section of the writer lock with the sequence counter odd while it is open. Closing makes the
// counter even again and frees retired nodes when no walker needs them; every path closes it by
// hand (freeing nodes needs the interpreter, which a thread unwound at exit does not have: such
// a thread leaves the counter odd, which is harmless then). Entering raises the re-entry
// RuntimeError for operation `what` instead of waiting when this thread is already inside a
// section of the same tree.
class WriteSection {
public:
    WriteSection(FastRedBlackTreeObject* t, const char* what) : t_(t), section_(t->lock, what) {
        if (section_) t->tree.begin_write();
    }
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;
    explicit operator bool() const { return static_cast<bool>(section_); }
    // false (exception set) when releasing a Python-level lock failed; the write is complete.
    bool close() {
        t_->tree.end_write();
        t_->tree.reclaim();
        return section_.unlock();
    }

private:
    FastRedBlackTreeObject* t_;
    qn::Section<qn::Sections::any> section_;
};

// Whether this thread is inside a section of the tree's writer lock (or entering one through a
// Python-level lock); settled without looking up the thread's identity when no thread is.
inline bool writer_is_me(const FastRedBlackTreeObject* t) {
    if (t->lock.owner.thread.load(std::memory_order_relaxed) == 0 &&
        qn::detail::transits_in_progress().load(std::memory_order_relaxed) == 0)
        return false;
    return t->lock.owner.held_by_me();
}

// ---- size validation ------------------------------------------------------------------------

enum class SizeResult { ok, invalid, error };

// The rule of _sanitize_size on an int: 0 and positive values pass, negative ones are invalid.
PyObject* sanitize_int(PyObject* size) {
    if (qn::compat::long_sign(size) < 0) {
        PyErr_Format(PyExc_ValueError, "Invalid size: %S", size);
        return nullptr;
    }
    return qn::newref(size);
}

// Converts a `size` argument: the int parameter convention, then self._sanitize_size, then
// unsigned 64-bit. `invalid` is returned (with no exception set) when _sanitize_size raised
// ValueError and `value_error_is_invalid` is set; otherwise that ValueError propagates.
SizeResult size_arg(PyObject* self, PyObject* arg, bool value_error_is_invalid, std::uint64_t& out) {
    PyObject* num;  // owned
    if (PyLong_CheckExact(arg)) {
        if (Py_IS_TYPE(self, &FastRedBlackTreeType)) {
            // The class's own _sanitize_size (immutable type, instances without a __dict__). One
            // conversion settles the usual case; a failure means negative or too large, told
            // apart (and reported) below.
            using Wide = std::conditional_t<sizeof(unsigned long) == 8, unsigned long, unsigned long long>;
            Wide v;
            if constexpr (sizeof(unsigned long) == 8)
                v = PyLong_AsUnsignedLong(arg);  // a plain digit loop
            else
                v = PyLong_AsUnsignedLongLong(arg);
            if (v != static_cast<Wide>(-1) || !PyErr_Occurred()) {
                out = v;
                return SizeResult::ok;
            }
            PyErr_Clear();
            if (qn::compat::long_sign(arg) >= 0) return qn::to_u64(arg, out) ? SizeResult::ok : SizeResult::error;
            if (value_error_is_invalid) return SizeResult::invalid;
            sanitize_int(arg);
            return SizeResult::error;
        }
        num = qn::newref(arg);
    } else {
        num = qn::arg_int(arg, "size");
        if (num == nullptr) return SizeResult::error;
    }
    if (Py_IS_TYPE(self, &FastRedBlackTreeType)) {
        if (qn::compat::long_sign(num) < 0) {
            if (!value_error_is_invalid) sanitize_int(num);
            Py_DECREF(num);
            return value_error_is_invalid ? SizeResult::invalid : SizeResult::error;
        }
    } else {
        PyObject* stack[2] = {self, num};
        PyObject* checked =
            PyObject_VectorcallMethod(S._sanitize_size, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        Py_DECREF(num);
        if (checked == nullptr) {
            if (value_error_is_invalid && PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                return SizeResult::invalid;
            }
            return SizeResult::error;
        }
        num = checked;
    }
    const bool ok = qn::to_u64(num, out);  // _sanitize_size may return any object
    Py_DECREF(num);
    return ok ? SizeResult::ok : SizeResult::error;
}

// ---- walks and the reader protocol ----------------------------------------------------------

// A walk with the interpreter lock released. Only native data lives in this frame, and its
// callers hold no object with a destructor across it (see the note at the top of the file).
// Readers register as walkers so that nodes unlinked meanwhile stay allocated.
template <bool LowerBound>
Node* released_walk(Tree& tree, std::uint64_t size, bool as_reader, bool& complete) {
    Node* n;
    if (as_reader) tree.walk_enter();
    PyThreadState* ts = PyEval_SaveThread();
    n = LowerBound ? tree.concurrent_lower_bound(size, complete) : tree.concurrent_find_exact(size, complete);
    if (as_reader) tree.walk_leave();
    PyEval_RestoreThread(ts);
    return n;
}

// Lower-bound or exact walk by a reader or by remove_ge, with the interpreter lock released on
// large trees.
template <bool LowerBound>
Node* walk(Tree& tree, std::uint64_t size, bool as_reader, bool& complete) {
    if (tree.tree_node_count() < kReleaseWalkNodes)
        return LowerBound ? tree.concurrent_lower_bound(size, complete) : tree.concurrent_find_exact(size, complete);
    return released_walk<LowerBound>(tree, size, as_reader, complete);
}

// time.sleep(0.0001) through the module global `time`.
//
// A thread that the interpreter ends at exit while it sleeps here is unwound from inside the call
// (see the top of the file). The address sanitizer cannot follow that kind of unwind: its own
// bookkeeping on the way out lands in the red zones it put around this frame's argument array and
// reports a stack underflow that is not one. So this frame carries no red zones.
[[gnu::no_sanitize_address]] bool back_off() {
    PyObject* time_mod = module_global(S.time);
    if (time_mod == nullptr) return false;
    Py_INCREF(time_mod);
    PyObject* stack[2] = {time_mod, g_backoff};
    PyObject* r = PyObject_VectorcallMethod(S.sleep, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(time_mod);
    Py_XDECREF(r);
    return r != nullptr;
}

enum class ReadResult { found, gave_up, error };

// The reader protocol for operation `what`. On `found`, `node` is the node found (nullptr for
// none), confirmed by the sequence counter; `gave_up` after MAX_RETRIES attempts; `error` with an
// exception set. A reader on the thread that holds the tree's write section (a block's __eq__
// searching the tree during delete) could only wait for itself: it raises RuntimeError.
template <bool LowerBound>
ReadResult read(FastRedBlackTreeObject* t, std::uint64_t size, const char* what, Node*& node) {
    node = nullptr;
    for (int attempt = 0; attempt < MAX_RETRIES; ++attempt) {
        const std::uint64_t start = t->tree.read_begin();
        if (start & 1) {
            // Called from inside the open section itself (a block's __eq__ during delete): the
            // section could only close after this call returns, so waiting is pointless.
            if (t->lock.owner.held_by_me()) {
                qn::reentry_error(what);
                return ReadResult::error;
            }
            if (!back_off()) return ReadResult::error;
            continue;
        }
        bool complete = false;
        Node* n = walk<LowerBound>(t->tree, size, true, complete);
        if (complete && t->tree.read_validate(start)) {
            t->tree.reclaim();
            node = n;
            return ReadResult::found;
        }
    }
    t->tree.reclaim();
    return ReadResult::gave_up;
}

// Releases blocks taken out of a tree; runs only after the section is closed.
inline void release_block(PyObject* b) { Py_DECREF(b); }

// ---- construction, garbage collection and deallocation --------------------------------------

// Two new AtomicCounter(0) objects from the module global `AtomicCounter`, read now (new
// references in op / sample; both nullptr on failure).
bool make_counters(PyObject*& op, PyObject*& sample) {
    op = sample = nullptr;
    PyObject* cls = module_global(S.AtomicCounter);
    if (cls == nullptr) return false;
    PyObject* zero = PyLong_FromLong(0);
    if (zero == nullptr) return false;
    Py_INCREF(cls);
    PyObject* argv[1] = {zero};
    op = PyObject_Vectorcall(cls, argv, 1, nullptr);
    if (op != nullptr) {
        sample = PyObject_Vectorcall(cls, argv, 1, nullptr);
        if (sample == nullptr) Py_CLEAR(op);
    }
    Py_DECREF(cls);
    Py_DECREF(zero);
    return op != nullptr;
}

// Construction: the locks, and both counters when the module globals ATOMIC_AVAILABLE and
// AtomicCounter (read now) are true.
bool fast_red_black_tree_setup(FastRedBlackTreeObject* t) {
    t->sample_rate = 100;
    if (!qn::make_lock(t->lock, g_locks)) return false;
    int use;
    {
        PyObject* available = module_global(S.ATOMIC_AVAILABLE);
        if (available == nullptr) return false;
        Py_INCREF(available);
        use = PyObject_IsTrue(available);
        Py_DECREF(available);
    }
    if (use > 0) {
        PyObject* cls = module_global(S.AtomicCounter);
        if (cls == nullptr) return false;
        Py_INCREF(cls);
        use = PyObject_IsTrue(cls);
        Py_DECREF(cls);
    }
    if (use < 0) return false;
    if (use > 0) {
        if (!make_counters(t->op_counter, t->sample_counter)) return false;
        t->atomic_available = true;
    } else {
        t->op_counter = qn::newref(Py_None);
        t->sample_counter = qn::newref(Py_None);
    }
    return qn::make_lock(t->stats_lock, g_locks);
}

// The tree is out of the collector's sight until it is complete: making its locks and counters
// may run Python code (a substituted lock factory, AtomicCounter), which must not find it
// half-made through the collector (gc.get_objects, gc.get_referrers).
PyObject* fast_red_black_tree_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        FastRedBlackTreeObject* t = as_tree(self);
        ::new (&t->tree) Tree();
        return fast_red_black_tree_setup(t);
    });
}

PyObject* fast_red_black_tree_init_fn = nullptr;

constexpr auto kFastRedBlackTreeInit = qn::params(qn::opt("sample_rate", nullptr, 100));

PyObject* fast_red_black_tree_init(qn::MethodArgs<kFastRedBlackTreeInit> a) {
    std::uint32_t rate;
    if (!a.get<"sample_rate">(rate)) return nullptr;
    as_tree(a.self())->sample_rate = rate;
    Py_RETURN_NONE;
}

// Every block held by a tree node or a chain entry, besides the locks and the counters. The tree
// is complete whenever the interpreter lock is held (the collector runs with it): mutations never
// give it up half-way, and the Python code a write section runs (a block's __eq__) runs before
// anything is unlinked.
int traverse_subtree(const Node* n, visitproc visit, void* arg) {
    for (; n != nullptr; n = n->right.load(std::memory_order_relaxed)) {
        for (const Node* c = n; c != nullptr; c = c->next) Py_VISIT(c->block);
        if (int r = traverse_subtree(n->left.load(std::memory_order_relaxed), visit, arg)) return r;
    }
    return 0;
}

int fast_red_black_tree_tp_traverse(PyObject* self, visitproc visit, void* arg) {
    FastRedBlackTreeObject* t = as_tree(self);
    if (int r = t->lock.traverse(visit, arg)) return r;
    Py_VISIT(t->op_counter);
    Py_VISIT(t->sample_counter);
    if (int r = t->stats_lock.traverse(visit, arg)) return r;
    return traverse_subtree(t->tree.root(), visit, arg);
}

// Breaks reference cycles through a tree that the collector found unreachable: the blocks are
// taken out (the sequence counter bracketing the change, as for any write) and released only
// then, so a block's finalizer sees a consistent, empty tree; the counters (which may be objects
// of any class the module global named) become None. The locks cannot refer back to anything and
// stay until deallocation, so a tree resurrected by a finalizer remains usable. No lock is taken:
// nothing else can be using an unreachable tree.
int fast_red_black_tree_tp_clear(PyObject* self) {
    FastRedBlackTreeObject* t = as_tree(self);
    t->tree.begin_write();
    Node* old = t->tree.detach_all();
    t->stats.total_blocks = 0;
    PyObject* op = t->op_counter;
    PyObject* sample = t->sample_counter;
    t->op_counter = qn::newref(Py_None);
    t->sample_counter = qn::newref(Py_None);
    t->atomic_available = false;
    t->tree.end_write();
    t->tree.dispose_detached(old, release_block);
    t->tree.reclaim();
    Py_XDECREF(op);
    Py_XDECREF(sample);
    return 0;
}

// Deallocation goes through the interpreter's trashcan: a tree holding a tree holding a tree ...
// is released iteratively instead of one nested call per level.
void fast_red_black_tree_tp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, fast_red_black_tree_tp_dealloc)
        FastRedBlackTreeObject* t = as_tree(self);
        PyObject *et, *ev, *tb;
        PyErr_Fetch(&et, &ev, &tb);
        Node* old = t->tree.detach_all();
        t->tree.dispose_detached(old, release_block);
        if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
        PyErr_Restore(et, ev, tb);
        t->lock.dispose();
        Py_CLEAR(t->op_counter);
        Py_CLEAR(t->sample_counter);
        t->stats_lock.dispose();
        t->tree.~Tree();  // no walker can be in progress: each one holds a reference to the tree
        Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// ---- methods: the write side ----------------------------------------------------------------

constexpr auto kFastRedBlackTreeSanitizeSize = qn::params(qn::arg("size", "int"));

PyObject* fast_red_black_tree__sanitize_size(qn::Args<kFastRedBlackTreeSanitizeSize> a) {
    PyObject* num = qn::arg_int(a.get<"size">(), "size");
    if (num == nullptr) return nullptr;
    PyObject* r = sanitize_int(num);
    Py_DECREF(num);
    return r;
}

// alloc_ns for a new record: time.perf_counter_ns() through the module global `time`. While that
// is the standard function, the clock it reads is read directly (the same monotonic clock on
// Linux, without creating and converting an int); anything else is called as found.
bool perf_counter_ns(std::int64_t& out) {
#if defined(__linux__)
    const int standard = g_clock.is_standard();
    if (standard < 0) return false;
    struct timespec ts;
    if (standard && clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
        out = static_cast<std::int64_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
                                        static_cast<std::uint64_t>(ts.tv_nsec));
        return true;
    }
#endif
    PyObject* time_mod = module_global(S.time);
    if (time_mod == nullptr) return false;
    PyObject* r = call_method0(time_mod, g_clock.attr_name());
    if (r == nullptr) return false;
    const bool ok = qn::to_i64(r, out);
    Py_DECREF(r);
    return ok;
}

// counter.<name>() for the tree's AtomicCounter objects. The method found on a type whose whole
// MRO is immutable stays the same (and stays referenced by that type's dictionary while the type
// lives), so the lookup is done once per type and name; other types are looked up each time. The
// cache owns its type, so a type's address is not taken for another's. The counter is held for the
// call (clear() on another thread may replace the tree's counters meanwhile), which keeps its type,
// and with it the cached method, alive.
struct MethodCache {
    PyTypeObject* type = nullptr;  // owned
    PyObject* fn = nullptr;        // owned; both kept until replaced (module-level state)
};
MethodCache g_increment_cache, g_load_cache;

bool immutable_mro(PyTypeObject* tp) {
    PyObject* mro = tp->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* t = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(t) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(t), Py_TPFLAGS_IMMUTABLETYPE))
            return false;
    }
    return true;
}

PyObject* call_counter(PyObject* counter, PyObject* name, MethodCache& cache) {
    PyTypeObject* tp = Py_TYPE(counter);
    if (tp != cache.type && tp->tp_dictoffset == 0 && immutable_mro(tp)) {
        PyObject* fn = qn::compat::type_lookup(tp, name);  // new reference
        if (fn == nullptr && PyErr_Occurred()) return nullptr;
        if (fn != nullptr && PyType_HasFeature(Py_TYPE(fn), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            PyObject* old_fn = cache.fn;
            PyTypeObject* old_type = cache.type;
            Py_INCREF(tp);
            cache.fn = fn;
            cache.type = tp;
            Py_XDECREF(old_fn);
            Py_XDECREF(reinterpret_cast<PyObject*>(old_type));
        } else {
            Py_XDECREF(fn);
        }
    }
    if (tp == cache.type) {
        PyObject* fn = cache.fn;
        Py_INCREF(counter);
        // Straight to the method's vectorcall entry: PyObject_Vectorcall would only look it up and
        // check the result's consistency with the error state (about 45 instructions on 3.13).
        const vectorcallfunc vc = PyVectorcall_Function(fn);
        PyObject* r = vc != nullptr ? vc(fn, &counter, 1, nullptr) : PyObject_Vectorcall(fn, &counter, 1, nullptr);
        Py_DECREF(counter);
        return r;
    }
    return call_method0(counter, name);
}

constexpr auto kFastRedBlackTreeInsert = qn::params(qn::arg("size", "int"), qn::arg("block", "MemoryBlock"));

[[gnu::flatten]] PyObject* fast_red_black_tree_insert(qn::MethodArgs<kFastRedBlackTreeInsert> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    PyObject* block = a.get<"block">();
    // A call from inside one of this tree's sections changes nothing, not even the counter.
    if (writer_is_me(t)) {
        qn::reentry_error("FastRedBlackTree.insert");
        return nullptr;
    }
    std::uint64_t size;
    if (size_arg(a.self(), a.get<"size">(), false, size) != SizeResult::ok) return nullptr;

    bool sample = false;
    if (t->atomic_available) {
        PyObject* r = call_counter(t->op_counter, S.increment, g_increment_cache);
        if (r == nullptr) return nullptr;
        std::int64_t count;
        const bool ok = qn::to_i64(r, count);
        Py_DECREF(r);
        if (!ok) return nullptr;
        // count % rate == 0 with rate >= 1: the remainder is zero for either sign convention.
        if (t->sample_rate != 0) sample = count % static_cast<std::int64_t>(t->sample_rate) == 0;
    }

    // The record is made before the section opens: a failure leaves the tree untouched.
    Node* node = Tree::make_node(size, nullptr, 0);
    if (node == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
        return nullptr;
    }
    if (!perf_counter_ns(node->alloc_ns)) {
        Tree::free_node(node);
        return nullptr;
    }
    node->block = qn::newref(block);

    WriteSection w(t, "FastRedBlackTree.insert");
    if (!w) {
        Py_DECREF(node->block);
        Tree::free_node(node);
        return nullptr;
    }
    t->tree.link(node);
    ++t->stats.total_blocks;
    ++t->stats.total_insertions;
    ++t->stats.operation_count;
    PyObject* sampled = sample && t->atomic_available ? qn::newref(t->sample_counter) : nullptr;
    if (!w.close()) {
        Py_XDECREF(sampled);
        return nullptr;
    }
    if (sampled != nullptr) {
        PyObject* r = call_counter(sampled, S.increment, g_increment_cache);
        Py_DECREF(sampled);
        if (r == nullptr) return nullptr;
        Py_DECREF(r);
    }
    Py_RETURN_TRUE;
}

// `stored == block` followed by its truth value: 1, 0, or -1 with an exception. Runs Python code,
// except when both types keep object's own comparison: `==` is then identity.
int blocks_equal(PyObject* stored, PyObject* block) {
    const richcmpfunc plain = PyBaseObject_Type.tp_richcompare;
    if (Py_TYPE(stored)->tp_richcompare == plain && Py_TYPE(block)->tp_richcompare == plain) return stored == block;
    Py_INCREF(stored);
    PyObject* r = PyObject_RichCompare(stored, block, Py_EQ);
    Py_DECREF(stored);
    if (r == nullptr) return -1;
    const int eq = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
    Py_DECREF(r);
    return eq;
}

constexpr auto kFastRedBlackTreeDelete = qn::params(qn::arg("size", "int"), qn::arg("block", "MemoryBlock"));

[[gnu::flatten]] PyObject* fast_red_black_tree_delete(qn::MethodArgs<kFastRedBlackTreeDelete> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    PyObject* block = a.get<"block">();
    std::uint64_t size;
    const SizeResult checked = size_arg(a.self(), a.get<"size">(), true, size);
    if (checked != SizeResult::ok) return checked == SizeResult::invalid ? qn::newref(Py_False) : nullptr;
    WriteSection w(t, "FastRedBlackTree.delete");
    if (!w) return nullptr;
    // Nothing else can change the tree while `==` runs: every writer on another thread waits for
    // the lock we hold, and one on this thread (called from __eq__) raises instead.
    PyObject* removed = nullptr;  // owned; released after the section
    int eq = 0;
    Node* node = t->tree.find_exact(size);
    if (node != nullptr) {
        eq = blocks_equal(node->block, block);
        if (eq > 0) {
            removed = t->tree.take_head(node);
        } else {
            for (Node* prev = node; eq == 0 && prev->next != nullptr; prev = prev->next) {
                eq = blocks_equal(prev->next->block, block);
                if (eq > 0) removed = t->tree.take_after(prev);
            }
        }
    }
    if (removed != nullptr) {
        --t->stats.total_blocks;
        ++t->stats.total_deletions;
    }
    if (!w.close() || eq < 0) {
        Py_XDECREF(removed);
        return nullptr;
    }
    if (removed == nullptr) Py_RETURN_FALSE;
    release_block(removed);
    Py_RETURN_TRUE;
}

PyObject* fast_red_black_tree_clear(qn::MethodArgs<qn::no_params> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    if (writer_is_me(t)) {
        qn::reentry_error("FastRedBlackTree.clear");
        return nullptr;
    }
    // New counters are made before the section (AtomicCounter looked up now), so a failure
    // changes nothing and no Python code runs inside it.
    PyObject* new_op = nullptr;
    PyObject* new_sample = nullptr;
    if (t->atomic_available && !make_counters(new_op, new_sample)) return nullptr;
    WriteSection w(t, "FastRedBlackTree.clear");
    if (!w) {
        Py_XDECREF(new_op);
        Py_XDECREF(new_sample);
        return nullptr;
    }
    Node* old = t->tree.detach_all();
    t->stats = Stats{};
    if (t->atomic_available) {
        // The previous counters are released after the section.
        std::swap(t->op_counter, new_op);
        std::swap(t->sample_counter, new_sample);
    }
    w.close();  // a failing release leaves its exception set; the tree is already empty
    Py_XDECREF(new_op);
    Py_XDECREF(new_sample);
    t->tree.dispose_detached(old, release_block);
    t->tree.reclaim();
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fast_red_black_tree_size(qn::MethodArgs<qn::no_params> a) {
    return PyLong_FromUnsignedLongLong(as_tree(a.self())->tree.block_count());
}

// ---- methods: searches ----------------------------------------------------------------------

constexpr auto kFastRedBlackTreeFindBestFit = qn::params(qn::arg("size", "int"), qn::opt("alignment", "int", 1));

PyObject* fast_red_black_tree_find_best_fit(qn::MethodArgs<kFastRedBlackTreeFindBestFit> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    std::uint64_t size;
    // Both parameters are converted before the size is checked; neither conversion is kept past
    // this point.
    SizeResult checked;
    if (PyLong_CheckExact(a.get<"size">()) && PyLong_CheckExact(a.get<"alignment">())) {
        checked = size_arg(a.self(), a.get<"size">(), true, size);
    } else {
        PyObject* size_num = qn::arg_int(a.get<"size">(), "size");
        if (size_num == nullptr) return nullptr;
        if (!PyLong_CheckExact(a.get<"alignment">())) {
            PyObject* alignment = qn::arg_int(a.get<"alignment">(), "alignment");  // has no other effect
            if (alignment == nullptr) {
                Py_DECREF(size_num);
                return nullptr;
            }
            Py_DECREF(alignment);
        }
        checked = size_arg(a.self(), size_num, true, size);
        Py_DECREF(size_num);
    }
    if (checked != SizeResult::ok) return checked == SizeResult::invalid ? qn::newref(Py_None) : nullptr;
    Node* n;
    const ReadResult outcome = read<true>(t, size, "FastRedBlackTree.find_best_fit", n);
    if (outcome != ReadResult::found) return outcome == ReadResult::gave_up ? qn::newref(Py_None) : nullptr;
    ++t->stats.total_searches;
    return qn::newref(n != nullptr ? n->block : Py_None);
}

constexpr auto kFastRedBlackTreeFindAllExact = qn::params(qn::arg("size", "int"));

PyObject* fast_red_black_tree_find_all_exact(qn::MethodArgs<kFastRedBlackTreeFindAllExact> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    std::uint64_t size;
    const SizeResult checked = size_arg(a.self(), a.get<"size">(), true, size);
    if (checked != SizeResult::ok) return checked == SizeResult::invalid ? PyList_New(0) : nullptr;
    Node* n;
    const ReadResult outcome = read<false>(t, size, "FastRedBlackTree.find_all_exact", n);
    if (outcome != ReadResult::found) return outcome == ReadResult::gave_up ? PyList_New(0) : nullptr;
    ++t->stats.total_searches;
    if (n == nullptr) return PyList_New(0);
    // Take references to the blocks before allocating the list: allocating can run the garbage
    // collector, whose finalizers may change the tree.
    PyObject* inline_buf[16];
    std::vector<PyObject*> heap_buf;
    PyObject** blocks = inline_buf;
    const std::uint64_t count = Tree::chain_length(n);
    if (count > 16) {
        try {
            heap_buf.resize(static_cast<std::size_t>(count));
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        blocks = heap_buf.data();
    }
    std::size_t k = 0;
    for (const Node* c = n; c != nullptr; c = c->next) blocks[k++] = qn::newref(c->block);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(k));
    if (list == nullptr) {
        for (std::size_t i = 0; i < k; ++i) Py_DECREF(blocks[i]);
        return nullptr;
    }
    for (std::size_t i = 0; i < k; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), blocks[i]);
    return list;
}

PyObject* none_pair() { return PyTuple_Pack(2, Py_None, Py_None); }

constexpr auto kFastRedBlackTreeRemoveGe = qn::params(qn::arg("size", "int"));

[[gnu::flatten]] PyObject* fast_red_black_tree_remove_ge(qn::MethodArgs<kFastRedBlackTreeRemoveGe> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    std::uint64_t size;
    const SizeResult checked = size_arg(a.self(), a.get<"size">(), true, size);
    if (checked != SizeResult::ok) return checked == SizeResult::invalid ? none_pair() : nullptr;
    if (writer_is_me(t)) {
        qn::reentry_error("FastRedBlackTree.remove_ge");
        return nullptr;
    }
    // The result tuple is made first: allocating it may run the garbage collector, which must not
    // happen inside the section. It is a plain pointer while the walk below may give up the
    // interpreter lock.
    PyObject* result = PyTuple_New(2);
    if (result == nullptr) return nullptr;
    WriteSection w(t, "FastRedBlackTree.remove_ge");
    if (!w) {
        Py_DECREF(result);
        return nullptr;
    }
    bool complete = false;
    Node* n = walk<true>(t->tree, size, false, complete);  // no writer can run: complete is true
    PyObject* found_size = nullptr;
    PyObject* block = nullptr;
    if (n != nullptr) {
        found_size = PyLong_FromUnsignedLongLong(n->size);  // an int, not a tracked object
        if (found_size != nullptr) {
            block = t->tree.take_head(n);  // the node's reference passes to the result
            --t->stats.total_blocks;
            ++t->stats.total_deletions;
        }
    }
    const bool failed = n != nullptr && found_size == nullptr;
    if (!w.close() || failed) {
        Py_XDECREF(found_size);
        Py_XDECREF(block);
        Py_DECREF(result);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, found_size ? found_size : qn::newref(Py_None));
    PyTuple_SET_ITEM(result, 1, block ? block : qn::newref(Py_None));
    return result;
}

// ---- methods: statistics --------------------------------------------------------------------

PyObject* fast_red_black_tree_get_size_distribution(qn::MethodArgs<qn::no_params> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    // Holds the writer lock (so no write is in progress) without opening a write section.
    qn::Section section(t->lock, "FastRedBlackTree.get_size_distribution");
    if (!section) return nullptr;
    bool no_memory = false;
    try {
        entries.reserve(static_cast<std::size_t>(t->tree.tree_node_count()));
        Tree::preorder(t->tree.root(), [&](const Node* n) { entries.emplace_back(n->size, Tree::chain_length(n)); });
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    if (!section.unlock()) return nullptr;
    if (no_memory) return PyErr_NoMemory();
    PyObject* dict = PyDict_New();
    for (std::size_t i = 0; dict != nullptr && i < entries.size(); ++i) {
        PyObject* k = PyLong_FromUnsignedLongLong(entries[i].first);
        PyObject* v = k != nullptr ? PyLong_FromUnsignedLongLong(entries[i].second) : nullptr;
        if (v == nullptr || PyDict_SetItem(dict, k, v) < 0) Py_CLEAR(dict);
        Py_XDECREF(k);
        Py_XDECREF(v);
    }
    return dict;
}

PyObject* fast_red_black_tree_get_stats(qn::MethodArgs<qn::no_params> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    Stats snap;
    std::uint64_t node_count;
    unsigned height;
    PyObject* sample_counter = nullptr;  // held while load() runs
    qn::Section section(t->stats_lock, "FastRedBlackTree.get_stats");
    if (!section) return nullptr;
    snap = t->stats;
    node_count = t->tree.block_count();
    height = t->tree.height();  // the tree is complete whenever the interpreter lock is held
    if (t->atomic_available) sample_counter = qn::newref(t->sample_counter);
    if (!section.unlock()) {
        Py_XDECREF(sample_counter);
        return nullptr;
    }
    PyObject* sampled;
    if (sample_counter != nullptr) {
        sampled = call_counter(sample_counter, S.load, g_load_cache);
        Py_DECREF(sample_counter);
        if (sampled == nullptr) return nullptr;
    } else {
        sampled = PyLong_FromLong(0);
    }
    auto u64 = [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); };
    if (snap.has_circuit_breaker_trips)
        return g_stats_keys_cb.make({u64(snap.total_blocks), u64(snap.total_insertions), u64(snap.total_deletions),
                                     u64(snap.total_searches), u64(0), u64(0), u64(snap.operation_count), u64(0),
                                     u64(node_count), u64(height), sampled, qn::newref(Py_True)});
    return g_stats_keys.make({u64(snap.total_blocks), u64(snap.total_insertions), u64(snap.total_deletions),
                              u64(snap.total_searches), u64(0), u64(0), u64(snap.operation_count), u64(node_count),
                              u64(height), sampled, qn::newref(Py_True)});
}

PyObject* fast_red_black_tree_get_statistics(qn::MethodArgs<qn::no_params>) { return PyDict_New(); }

PyObject* fast_red_black_tree_reset_circuit_breaker(qn::MethodArgs<qn::no_params> a) {
    FastRedBlackTreeObject* t = as_tree(a.self());
    qn::Section section(t->stats_lock, "FastRedBlackTree.reset_circuit_breaker");
    if (!section) return nullptr;
    t->stats.has_circuit_breaker_trips = true;
    t->stats.operation_count = 0;
    if (!section.unlock()) return nullptr;
    Py_RETURN_NONE;
}

// ---- slots ----------------------------------------------------------------------------------

// self.size(), looked up on the instance so that a subclass may replace it.
PyObject* call_size(PyObject* self) {
    if (Py_IS_TYPE(self, &FastRedBlackTreeType)) return PyLong_FromUnsignedLongLong(as_tree(self)->tree.block_count());
    return call_method0(self, S.size);
}

Py_ssize_t fast_red_black_tree_sq_length(PyObject* self) {
    if (Py_IS_TYPE(self, &FastRedBlackTreeType)) {
        const std::uint64_t n = as_tree(self)->tree.block_count();
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
            return -1;
        }
        return static_cast<Py_ssize_t>(n);
    }
    PyObject* r = call_size(self);
    if (r == nullptr) return -1;
    PyObject* idx = PyNumber_Index(r);
    Py_DECREF(r);
    if (idx == nullptr) return -1;
    const Py_ssize_t n = PyLong_AsSsize_t(idx);
    Py_DECREF(idx);
    if (n == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        }
        return -1;
    }
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

int fast_red_black_tree_nb_bool(PyObject* self) {
    if (Py_IS_TYPE(self, &FastRedBlackTreeType)) return as_tree(self)->tree.block_count() > 0;
    PyObject* r = call_size(self);
    if (r == nullptr) return -1;
    PyObject* zero = PyLong_FromLong(0);
    const int gt = zero == nullptr ? -1 : PyObject_RichCompareBool(r, zero, Py_GT);
    Py_DECREF(r);
    Py_XDECREF(zero);
    return gt;
}

PyObject* fast_red_black_tree_tp_repr(PyObject* self) {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(self)->tree.block_count()));
}

PySequenceMethods fast_red_black_tree_as_sequence{};
PyNumberMethods fast_red_black_tree_as_number{};

void fast_red_black_tree_type_setup() {
    qn::gc_type_init(FastRedBlackTreeType, "quarvel.memory.block_index.FastRedBlackTree",
                     sizeof(FastRedBlackTreeObject),
                     "Red-black tree of free memory blocks keyed by size, with equal sizes chained on one node.\n\n"
                     "Writers serialise on a lock and bracket each change with a sequence counter (even = stable,\n"
                     "odd = write in progress); readers search without the lock and accept a result only when the\n"
                     "counter was even and unchanged around their search.",
                     {fast_red_black_tree_tp_new, qn::init_via<&fast_red_black_tree_init_fn>,
                      fast_red_black_tree_tp_dealloc, fast_red_black_tree_tp_traverse, fast_red_black_tree_tp_clear});
    FastRedBlackTreeType.tp_repr = fast_red_black_tree_tp_repr;
    fast_red_black_tree_as_sequence.sq_length = fast_red_black_tree_sq_length;
    FastRedBlackTreeType.tp_as_sequence = &fast_red_black_tree_as_sequence;
    fast_red_black_tree_as_number.nb_bool = fast_red_black_tree_nb_bool;
    FastRedBlackTreeType.tp_as_number = &fast_red_black_tree_as_number;
}

constexpr const char* kInsertDoc =
    "Insert a block under its size.\n\n"
    "Args:\n"
    "    size: block size in bytes (a number; negative sizes raise ValueError)\n"
    "    block: the block to index (any object)\n\n"
    "Returns:\n"
    "    True on success";
constexpr const char* kDeleteDoc =
    "Delete one block of the given size.\n\n"
    "The head of the size is compared first, then its chain in order; the first block equal (==)\n"
    "to `block` is removed.\n\n"
    "Args:\n"
    "    size: block size in bytes\n"
    "    block: the block to remove\n\n"
    "Returns:\n"
    "    True if deleted";
constexpr const char* kFindBestFitDoc =
    "Find the block of the smallest indexed size that is at least `size`, without locking.\n\n"
    "Seqlock protocol: the sequence counter is even while the tree is stable and odd while a write\n"
    "is in progress; the search is repeated until the counter was even and unchanged around it.\n\n"
    "Args:\n"
    "    size: minimum size in bytes\n"
    "    alignment: accepted for compatibility; has no effect\n\n"
    "Returns:\n"
    "    The head block of the best-fitting size, or None";
constexpr const char* kFindAllExactDoc =
    "Find all blocks of exactly `size`, without locking.\n\n"
    "Seqlock protocol: the sequence counter is even while the tree is stable and odd while a write\n"
    "is in progress; the search is repeated until the counter was even and unchanged around it.\n\n"
    "Args:\n"
    "    size: size in bytes\n\n"
    "Returns:\n"
    "    A new list: the head block of the size, then its chain in order (empty if none)";
constexpr const char* kRemoveGeDoc =
    "Remove and return a block of the smallest indexed size that is at least `size`.\n\n"
    "Runs as a write section: under the writer lock, with the sequence counter odd (write in\n"
    "progress) until it is even again.\n\n"
    "Args:\n"
    "    size: minimum size in bytes\n\n"
    "Returns:\n"
    "    (actual_size, block) for the block taken out, or (None, None)";

int fast_red_black_tree_methods_install() {
    PyTypeObject* t = &FastRedBlackTreeType;
    fast_red_black_tree_init_fn = qn::add_method<fast_red_black_tree_init>(t, "__init__", nullptr);
    if (fast_red_black_tree_init_fn == nullptr) return -1;
    if (!qn::add_static<fast_red_black_tree__sanitize_size>(t, "_sanitize_size", "int", "Validate size.") ||
        !qn::add_method<fast_red_black_tree_insert>(t, "insert", "bool", kInsertDoc) ||
        !qn::add_method<fast_red_black_tree_delete>(t, "delete", "bool", kDeleteDoc) ||
        !qn::add_method<fast_red_black_tree_clear>(t, "clear", "None", "Clear all blocks.") ||
        !qn::add_method<fast_red_black_tree_size>(t, "size", "int", "Get total block count.") ||
        !qn::add_method<fast_red_black_tree_find_best_fit>(t, "find_best_fit", "Optional[MemoryBlock]",
                                                           kFindBestFitDoc) ||
        !qn::add_method<fast_red_black_tree_find_all_exact>(t, "find_all_exact", "List[MemoryBlock]",
                                                            kFindAllExactDoc) ||
        !qn::add_method<fast_red_black_tree_remove_ge>(t, "remove_ge", "Tuple[Optional[int], Optional[MemoryBlock]]",
                                                       kRemoveGeDoc) ||
        !qn::add_method<fast_red_black_tree_get_size_distribution>(t, "get_size_distribution", "Dict[int, int]",
                                                                   "Get size distribution.") ||
        !qn::add_method<fast_red_black_tree_get_stats>(t, "get_stats", "Dict[str, Any]", "Get tree statistics.") ||
        !qn::add_method<fast_red_black_tree_get_statistics>(t, "get_statistics", "Dict[int, List[float]]",
                                                            "Get timing statistics (empty for sampling mode).") ||
        !qn::add_method<fast_red_black_tree_reset_circuit_breaker>(t, "reset_circuit_breaker", "None",
                                                                   "Reset circuit breaker stats."))
        return -1;
    return 0;
}

int exec_block_index(PyObject* m) {
    g_module_dict = PyModule_GetDict(m);  // borrowed: the module lives for the process
    g_backoff = PyFloat_FromDouble(kBackoffSeconds);
    if (g_backoff == nullptr || intern_names() < 0) return -1;
    // 1. Standard modules (math is imported for compatibility and not used).
    if (qn::import_into(m, "threading") < 0 || qn::import_into(m, "time") < 0 || qn::import_into(m, "math") < 0 ||
        qn::import_from(m, "typing", {"List", "Optional", "Tuple", "Dict", "Any"}) < 0)
        return -1;
    if (g_clock.setup(g_module_dict, "time", "perf_counter_ns") < 0 || g_locks.setup(g_module_dict) < 0) return -1;
    if (g_stats_keys.setup({"total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits",
                            "tree_hits", "operation_count", "node_count", "height", "sampled_operations", "is_valid"}) <
            0 ||
        g_stats_keys_cb.setup({"total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits",
                               "tree_hits", "operation_count", "circuit_breaker_trips", "node_count", "height",
                               "sampled_operations", "is_valid"}) < 0)
        return -1;
    // 2. from .memory_block import MemoryBlock (a failure fails the import).
    {
        qn::Ref fromlist = qn::Ref::steal(Py_BuildValue("(s)", "MemoryBlock"));
        if (!fromlist) return -1;
        qn::Ref mod =
            qn::Ref::steal(PyImport_ImportModuleLevel("memory_block", g_module_dict, nullptr, fromlist.get(), 1));
        if (!mod || qn::bind(m, "MemoryBlock", PyObject_GetAttrString(mod.get(), "MemoryBlock")) < 0) return -1;
    }
    // 3. AtomicCounter, guarded: without it the trees keep no counters.
    {
        qn::Ref fromlist = qn::Ref::steal(Py_BuildValue("(s)", "AtomicCounter"));
        if (!fromlist) return -1;
        qn::Ref mod =
            qn::Ref::steal(PyImport_ImportModuleLevel("sync_kernel", g_module_dict, nullptr, fromlist.get(), 1));
        PyObject* cls = nullptr;
        if (mod) {
            cls = PyObject_GetAttrString(mod.get(), "AtomicCounter");
            if (cls == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
                // `from m import name` reports a missing name as ImportError.
                PyErr_Clear();
                PyErr_SetString(PyExc_ImportError, "cannot import name 'AtomicCounter'");
            }
        }
        if (cls != nullptr) {
            if (qn::bind(m, "AtomicCounter", cls) < 0 || qn::bind(m, "ATOMIC_AVAILABLE", qn::newref(Py_True)) < 0)
                return -1;
        } else {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
            PyErr_Clear();
            if (qn::bind(m, "ATOMIC_AVAILABLE", qn::newref(Py_False)) < 0 ||
                qn::bind(m, "AtomicCounter", qn::newref(Py_None)) < 0)
                return -1;
        }
    }
    // 4. The class, then the readers' retry limit.
    fast_red_black_tree_type_setup();
    if (qn::type_ready(m, FastRedBlackTreeType) < 0 || fast_red_black_tree_methods_install() < 0) return -1;
    return qn::bind(m, "MAX_RETRIES", PyLong_FromLong(MAX_RETRIES));
}

}  // namespace

QN_MODULE(block_index, "Size-ordered index of free memory blocks with best-fit search and lock-free readers.",
          exec_block_index)
