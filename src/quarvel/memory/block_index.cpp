// quarvel.memory.block_index: FastRedBlackTree, the size-ordered index of free memory blocks.
//
// The tree itself (nodes, rebalancing, concurrent walks, node reclamation) is the pure C++ core in
// block_tree.hpp; this file binds it to Python objects:
//   * nodes come from the interpreter's allocator and hold one owned reference to their block;
//   * writers (insert, delete, clear, remove_ge) run under the tree's threading.Lock with the
//     interpreter lock held, bracketed by the sequence counter; the only Python code inside such a
//     section is the block comparison of delete. Blocks leaving the tree are released after the
//     section is closed and the lock released, so a finalizer may use the tree freely;
//   * readers (find_best_fit, find_all_exact) take no lock. On trees of at least
//     kReleaseWalkNodes tree nodes they walk with the interpreter lock released (so does
//     remove_ge, inside its section); below that the walk is cheaper than handing the interpreter
//     lock over and they walk with it held. Either way the result counts only when the sequence
//     counter was even and unchanged around the walk; otherwise the reader retries, backing off
//     while a write is in progress, up to MAX_RETRIES attempts.
//   * statistics are native counters, turned into the documented dictionary by get_stats.
#include "native/qn.hpp"

#include "block_tree.hpp"

#include <ctime>
#include <new>
#include <vector>

namespace {

namespace bt = quarvel::blocktree;

struct PyMemAllocator {
    static void* allocate(std::size_t n) noexcept { return PyMem_Malloc(n); }
    static void deallocate(void* p) noexcept { PyMem_Free(p); }
};

using Tree = bt::BlockTree<PyObject*, PyMemAllocator>;
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

struct TreeObject {
    PyObject_HEAD
    Tree tree;
    PyObject* lock;            // writer lock (threading.Lock)
    PyObject* op_counter;      // AtomicCounter or None
    PyObject* sample_counter;  // AtomicCounter or None
    PyObject* stats_lock;      // threading.Lock
    std::uint32_t sample_rate;
    bool atomic_available;
    Stats stats;
};

PyTypeObject TreeType{};
PyObject* g_module_dict = nullptr;  // the module's namespace, for globals read at call time
PyObject* g_backoff = nullptr;      // 0.0001 as a float

// Interned names, all made at load so that no call depends on creating them.
#define BLOCK_INDEX_NAMES(X) X(ATOMIC_AVAILABLE) X(AtomicCounter) X(_sanitize_size) X(bucket_hits) \
    X(circuit_breaker_trips) X(height) X(increment) X(is_valid) X(load) X(node_count) X(operation_count) \
    X(perf_counter_ns) X(sampled_operations) X(size) X(sleep) X(time) X(total_blocks) X(total_deletions) \
    X(total_insertions) X(total_searches) X(tree_hits)

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

inline TreeObject* as_tree(PyObject* o) { return reinterpret_cast<TreeObject*>(o); }

// Module global `name` (borrowed), read when it is used; NameError if it was deleted.
PyObject* module_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_module_dict, name);
    if (v == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

// ---- size validation ------------------------------------------------------------------------

enum class SizeResult { ok, invalid, error };

// The rule of _sanitize_size on an int: 0 and positive values pass, negative ones are invalid.
PyObject* sanitize_int(PyObject* size) {
    if (_PyLong_Sign(size) < 0) {
        PyErr_Format(PyExc_ValueError, "Invalid size: %S", size);
        return nullptr;
    }
    return qn::newref(size);
}

// Converts a `size` argument: the int parameter convention, then self._sanitize_size, then
// unsigned 64-bit. `invalid` is returned (with no exception set) when _sanitize_size raised
// ValueError and `value_error_is_invalid` is set; otherwise that ValueError propagates.
SizeResult size_arg(PyObject* self, PyObject* arg, bool value_error_is_invalid, std::uint64_t& out) {
    qn::Ref converted;
    PyObject* num = arg;
    if (!PyLong_CheckExact(arg)) {
        converted = qn::Ref::steal(qn::arg_int(arg, "size"));
        if (!converted) return SizeResult::error;
        num = converted.get();
    }
    qn::Ref checked;
    if (Py_IS_TYPE(self, &TreeType)) {
        // The class's own _sanitize_size (immutable type, instances without a __dict__).
        if (_PyLong_Sign(num) < 0) {
            if (value_error_is_invalid) return SizeResult::invalid;
            sanitize_int(num);
            return SizeResult::error;
        }
    } else {
        PyObject* stack[2] = {self, num};
        checked = qn::Ref::steal(PyObject_VectorcallMethod(S._sanitize_size, stack,
                                                           2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!checked) {
            if (value_error_is_invalid && PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                return SizeResult::invalid;
            }
            return SizeResult::error;
        }
        num = checked.get();
    }
    return qn::to_u64(num, out) ? SizeResult::ok : SizeResult::error;
}

// ---- write sections -------------------------------------------------------------------------

// Opens a write section under the writer lock; closing it (destructor or close()) makes the
// sequence counter even again, frees retired nodes when no walker needs them and releases the
// lock, keeping any exception that is set.
class WriteSection {
public:
    explicit WriteSection(TreeObject* t) : t_(t), guard_(t->lock) {
        if (guard_) t_->tree.begin_write();
    }
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;
    ~WriteSection() { close(); }
    explicit operator bool() const { return static_cast<bool>(guard_); }
    bool close() {
        if (!guard_ || closed_) return true;
        closed_ = true;
        t_->tree.end_write();
        t_->tree.reclaim();
        return guard_.unlock();
    }

private:
    TreeObject* t_;
    qn::LockGuard guard_;
    bool closed_ = false;
};

// Lower-bound or exact walk by a reader or by remove_ge, with the interpreter lock released on
// large trees. Readers register as walkers so that nodes unlinked meanwhile stay allocated.
template <bool LowerBound>
Node* walk(TreeObject* t, std::uint64_t size, bool as_reader, bool& complete) {
    Tree& tree = t->tree;
    if (tree.tree_node_count() < kReleaseWalkNodes) {
        return LowerBound ? tree.concurrent_lower_bound(size, complete) : tree.concurrent_find_exact(size, complete);
    }
    if (as_reader) tree.walk_enter();
    Node* n;
    Py_BEGIN_ALLOW_THREADS
    n = LowerBound ? tree.concurrent_lower_bound(size, complete) : tree.concurrent_find_exact(size, complete);
    if (as_reader) tree.walk_leave();
    Py_END_ALLOW_THREADS
    return n;
}

// time.sleep(0.0001) through the module global `time`.
bool back_off() {
    PyObject* time_mod = module_global(S.time);
    if (time_mod == nullptr) return false;
    qn::Ref hold = qn::Ref::borrow(time_mod);
    PyObject* stack[2] = {time_mod, g_backoff};
    qn::Ref r = qn::Ref::steal(
        PyObject_VectorcallMethod(S.sleep, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

// The reader protocol. Returns the node found (nullptr for none) with `valid` set when the walk
// was confirmed by the sequence counter; `valid` false after MAX_RETRIES attempts. nullptr with an
// exception set (valid false) on error.
template <bool LowerBound>
Node* read(TreeObject* t, std::uint64_t size, bool& valid, bool& error) {
    valid = false;
    error = false;
    for (int attempt = 0; attempt < MAX_RETRIES; ++attempt) {
        const std::uint64_t start = t->tree.read_begin();
        if (start & 1) {
            if (!back_off()) {
                error = true;
                return nullptr;
            }
            continue;
        }
        bool complete = false;
        Node* n = walk<LowerBound>(t, size, true, complete);
        if (complete && t->tree.read_validate(start)) {
            t->tree.reclaim();
            valid = true;
            return n;
        }
    }
    t->tree.reclaim();
    return nullptr;
}

// Releases blocks taken out of a tree; runs only after the section is closed.
inline void release_block(PyObject* b) { Py_DECREF(b); }

// ---- construction and deallocation ------------------------------------------------------------

// Two new AtomicCounter(0) objects from the module global `AtomicCounter`, read now.
bool make_counters(qn::Ref& op, qn::Ref& sample) {
    PyObject* cls = module_global(S.AtomicCounter);
    if (cls == nullptr) return false;
    qn::Ref hold = qn::Ref::borrow(cls);
    qn::Ref zero = qn::Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    PyObject* argv[1] = {zero.get()};
    op = qn::Ref::steal(PyObject_Vectorcall(cls, argv, 1, nullptr));
    if (!op) return false;
    sample = qn::Ref::steal(PyObject_Vectorcall(cls, argv, 1, nullptr));
    return static_cast<bool>(sample);
}

// Construction: the locks, and both counters when the module globals ATOMIC_AVAILABLE and
// AtomicCounter (read now) are true.
bool tree_setup(TreeObject* t) {
    t->sample_rate = 100;
    t->lock = qn::new_lock();
    if (t->lock == nullptr) return false;
    PyObject* available = module_global(S.ATOMIC_AVAILABLE);
    int use = available == nullptr ? -1 : PyObject_IsTrue(available);
    if (use > 0) {
        PyObject* cls = module_global(S.AtomicCounter);
        use = cls == nullptr ? -1 : PyObject_IsTrue(cls);
    }
    if (use < 0) return false;
    if (use > 0) {
        qn::Ref op, sample;
        if (!make_counters(op, sample)) return false;
        t->op_counter = op.release();
        t->sample_counter = sample.release();
        t->atomic_available = true;
    } else {
        t->op_counter = qn::newref(Py_None);
        t->sample_counter = qn::newref(Py_None);
    }
    t->stats_lock = qn::new_lock();
    return t->stats_lock != nullptr;
}

PyObject* tree_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ::new (&as_tree(self)->tree) Tree();
    if (!tree_setup(as_tree(self))) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

PyObject* tree_init_fn = nullptr;

PyObject* tree_init(qn::Function*, PyObject* const* a) {
    std::uint32_t rate;
    if (!qn::to_u32(a[1], rate)) return nullptr;
    as_tree(a[0])->sample_rate = rate;
    Py_RETURN_NONE;
}

int tree_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return qn::call_init(tree_init_fn, self, args, kwds);
}

int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    TreeObject* t = as_tree(self);
    Py_VISIT(t->lock);
    Py_VISIT(t->op_counter);
    Py_VISIT(t->sample_counter);
    Py_VISIT(t->stats_lock);
    return 0;
}

void tree_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    TreeObject* t = as_tree(self);
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    Node* old = t->tree.detach_all();
    t->tree.dispose_detached(old, release_block);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    PyErr_Restore(et, ev, tb);
    Py_CLEAR(t->lock);
    Py_CLEAR(t->op_counter);
    Py_CLEAR(t->sample_counter);
    Py_CLEAR(t->stats_lock);
    t->tree.~Tree();  // no walker can be in progress: each one holds a reference to the tree
    Py_TYPE(self)->tp_free(self);
}

// ---- methods: Part of the write side ----------------------------------------------------------

PyObject* m_sanitize_size(qn::Function*, PyObject* const* a) {
    qn::Ref num = qn::Ref::steal(qn::arg_int(a[0], "size"));
    if (!num) return nullptr;
    return sanitize_int(num.get());
}

// The `time` module and its perf_counter_ns as found at load: while the module global `time` and
// its attribute are still these objects, the clock is read directly (the same monotonic clock,
// without creating and converting an int); anything else is called as found. The check is
// repeated only when one of the two namespaces has changed since (dict version tags).
PyObject* g_time_module = nullptr;
PyObject* g_perf_counter_ns = nullptr;
struct ClockCheck {
    std::uint64_t module_version = 0;  // 0: not checked yet (versions of live dicts are never 0)
    std::uint64_t time_version = 0;
    bool direct = false;
};
ClockCheck g_clock_check;

inline std::uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }

bool clock_is_direct() {
#if !defined(__linux__)
    return false;  // perf_counter_ns reads CLOCK_MONOTONIC on Linux; elsewhere it is always called
#endif
    if (g_time_module == nullptr) return false;
    PyObject* time_dict = PyModule_GetDict(g_time_module);
    ClockCheck& c = g_clock_check;
    if (c.module_version == dict_version(g_module_dict) && c.time_version == dict_version(time_dict)) return c.direct;
    PyObject* time_mod = PyDict_GetItemWithError(g_module_dict, S.time);
    PyObject* fn = time_mod == g_time_module ? PyDict_GetItemWithError(time_dict, S.perf_counter_ns) : nullptr;
    if (PyErr_Occurred()) {
        PyErr_Clear();  // the ordinary path below reports it
        return false;
    }
    c.direct = fn != nullptr && fn == g_perf_counter_ns;
    c.module_version = dict_version(g_module_dict);
    c.time_version = dict_version(time_dict);
    return c.direct;
}

// alloc_ns for a new record: time.perf_counter_ns() through the module global `time`.
bool perf_counter_ns(std::int64_t& out) {
    struct timespec ts;
    if (clock_is_direct() && clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
        out = static_cast<std::int64_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
                                        static_cast<std::uint64_t>(ts.tv_nsec));
        return true;
    }
    PyObject* time_mod = module_global(S.time);
    if (time_mod == nullptr) return false;
    qn::Ref hold = qn::Ref::borrow(time_mod);
    PyObject* stack[1] = {time_mod};
    qn::Ref r = qn::Ref::steal(PyObject_VectorcallMethod(S.perf_counter_ns, stack,
                                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return r && qn::to_i64(r.get(), out);
}

// counter.<name>() for the tree's AtomicCounter objects. The method found on an immutable type
// stays the same, so the lookup is done once per type and name; other types are looked up each time.
struct MethodCache {
    PyTypeObject* type = nullptr;
    PyObject* fn = nullptr;  // owned
};
MethodCache g_increment_cache, g_load_cache;

PyObject* call_counter(PyObject* counter, PyObject* name, MethodCache& cache) {
    PyTypeObject* tp = Py_TYPE(counter);
    if (tp != cache.type && PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) && tp->tp_dictoffset == 0) {
        PyObject* fn = _PyType_Lookup(tp, name);  // borrowed
        if (fn != nullptr && PyType_HasFeature(Py_TYPE(fn), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            Py_INCREF(fn);
            Py_XSETREF(cache.fn, fn);
            cache.type = tp;
        }
    }
    if (tp == cache.type) {
        qn::Ref hold_fn = qn::Ref::borrow(cache.fn);
        qn::Ref hold = qn::Ref::borrow(counter);
        return PyObject_Vectorcall(hold_fn.get(), &counter, 1, nullptr);
    }
    qn::Ref hold = qn::Ref::borrow(counter);
    PyObject* stack[1] = {counter};
    return PyObject_VectorcallMethod(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* m_insert(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    PyObject* block = a[2];
    std::uint64_t size;
    if (size_arg(a[0], a[1], false, size) != SizeResult::ok) return nullptr;

    bool sample = false;
    if (t->atomic_available) {
        qn::Ref r = qn::Ref::steal(call_counter(t->op_counter, S.increment, g_increment_cache));
        std::int64_t count;
        if (!r || !qn::to_i64(r.get(), count)) return nullptr;
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

    qn::Ref sampled;
    {
        WriteSection ws(t);
        if (!ws) {
            Py_DECREF(node->block);
            Tree::free_node(node);
            return nullptr;
        }
        t->tree.link(node);
        ++t->stats.total_blocks;
        ++t->stats.total_insertions;
        ++t->stats.operation_count;
        if (sample && t->atomic_available) sampled = qn::Ref::borrow(t->sample_counter);
        if (!ws.close()) return nullptr;
    }
    if (sampled) {
        qn::Ref r = qn::Ref::steal(call_counter(sampled.get(), S.increment, g_increment_cache));
        if (!r) return nullptr;
    }
    Py_RETURN_TRUE;
}

// `stored == block` followed by its truth value: 1, 0, or -1 with an exception.
int blocks_equal(PyObject* stored, PyObject* block) {
    qn::Ref hold = qn::Ref::borrow(stored);
    qn::Ref r = qn::Ref::steal(PyObject_RichCompare(stored, block, Py_EQ));
    if (!r) return -1;
    if (r.get() == Py_True) return 1;
    if (r.get() == Py_False) return 0;
    return PyObject_IsTrue(r.get());
}

PyObject* m_delete(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    PyObject* block = a[2];
    std::uint64_t size;
    switch (size_arg(a[0], a[1], true, size)) {
        case SizeResult::ok: break;
        case SizeResult::invalid: Py_RETURN_FALSE;
        case SizeResult::error: return nullptr;
    }
    PyObject* removed = nullptr;  // owned; released after the section
    {
        WriteSection ws(t);
        if (!ws) return nullptr;
        // Nothing else can change the tree while `==` runs: every writer needs the lock we hold.
        Node* node = t->tree.find_exact(size);
        if (node != nullptr) {
            int eq = blocks_equal(node->block, block);
            if (eq < 0) return nullptr;
            if (eq) {
                removed = t->tree.take_head(node);
            } else {
                for (Node* prev = node; prev->next != nullptr; prev = prev->next) {
                    eq = blocks_equal(prev->next->block, block);
                    if (eq < 0) return nullptr;
                    if (eq) {
                        removed = t->tree.take_after(prev);
                        break;
                    }
                }
            }
        }
        if (removed != nullptr) {
            --t->stats.total_blocks;
            ++t->stats.total_deletions;
        }
        if (!ws.close()) {
            Py_XDECREF(removed);
            return nullptr;
        }
    }
    if (removed == nullptr) Py_RETURN_FALSE;
    release_block(removed);
    Py_RETURN_TRUE;
}

PyObject* m_clear(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    // New counters are made before the section (AtomicCounter looked up now), so a failure
    // changes nothing and no Python code runs inside it.
    qn::Ref new_op, new_sample;
    if (t->atomic_available && !make_counters(new_op, new_sample)) return nullptr;
    Node* old;
    {
        WriteSection ws(t);
        if (!ws) return nullptr;
        old = t->tree.detach_all();
        t->stats = Stats{};
        if (t->atomic_available) {
            // The previous counters are released with new_op / new_sample below.
            PyObject* prev_op = t->op_counter;
            PyObject* prev_sample = t->sample_counter;
            t->op_counter = new_op.release();
            t->sample_counter = new_sample.release();
            new_op = qn::Ref::steal(prev_op);
            new_sample = qn::Ref::steal(prev_sample);
        }
        ws.close();  // a failing release leaves its exception set; the tree is already empty
    }
    t->tree.dispose_detached(old, release_block);
    t->tree.reclaim();
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_size(qn::Function*, PyObject* const* a) {
    return PyLong_FromUnsignedLongLong(as_tree(a[0])->tree.block_count());
}

// ---- methods: searches ----------------------------------------------------------------------

PyObject* m_find_best_fit(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    std::uint64_t size;
    PyObject* size_arg_obj = a[1];
    // Both parameters are converted before the size is checked.
    qn::Ref size_num;
    if (!PyLong_CheckExact(size_arg_obj)) {
        size_num = qn::Ref::steal(qn::arg_int(size_arg_obj, "size"));
        if (!size_num) return nullptr;
        size_arg_obj = size_num.get();
    }
    if (!PyLong_CheckExact(a[2])) {
        qn::Ref alignment = qn::Ref::steal(qn::arg_int(a[2], "alignment"));
        if (!alignment) return nullptr;  // has no other effect
    }
    switch (size_arg(a[0], size_arg_obj, true, size)) {
        case SizeResult::ok: break;
        case SizeResult::invalid: Py_RETURN_NONE;
        case SizeResult::error: return nullptr;
    }
    bool valid, error;
    Node* n = read<true>(t, size, valid, error);
    if (error) return nullptr;
    if (!valid) Py_RETURN_NONE;
    ++t->stats.total_searches;
    return qn::newref(n != nullptr ? n->block : Py_None);
}

PyObject* m_find_all_exact(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    std::uint64_t size;
    switch (size_arg(a[0], a[1], true, size)) {
        case SizeResult::ok: break;
        case SizeResult::invalid: return PyList_New(0);
        case SizeResult::error: return nullptr;
    }
    bool valid, error;
    Node* n = read<false>(t, size, valid, error);
    if (error) return nullptr;
    if (!valid) return PyList_New(0);
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

PyObject* m_remove_ge(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    std::uint64_t size;
    switch (size_arg(a[0], a[1], true, size)) {
        case SizeResult::ok: break;
        case SizeResult::invalid: return none_pair();
        case SizeResult::error: return nullptr;
    }
    // The result tuple is made first: allocating it may run the garbage collector, which must not
    // happen inside the section.
    qn::Ref result = qn::Ref::steal(PyTuple_New(2));
    if (!result) return nullptr;
    PyObject* found_size = nullptr;
    PyObject* block = nullptr;
    {
        WriteSection ws(t);
        if (!ws) return nullptr;
        bool complete = false;
        Node* n = walk<true>(t, size, false, complete);  // no writer can run: complete is true
        if (n != nullptr) {
            found_size = PyLong_FromUnsignedLongLong(n->size);  // an int, not a tracked object
            if (found_size == nullptr) return nullptr;
            block = t->tree.take_head(n);  // the node's reference passes to the result
            --t->stats.total_blocks;
            ++t->stats.total_deletions;
        }
        if (!ws.close()) {
            Py_XDECREF(found_size);
            Py_XDECREF(block);
            return nullptr;
        }
    }
    PyTuple_SET_ITEM(result.get(), 0, found_size ? found_size : qn::newref(Py_None));
    PyTuple_SET_ITEM(result.get(), 1, block ? block : qn::newref(Py_None));
    return result.release();
}

// ---- methods: statistics --------------------------------------------------------------------

PyObject* m_get_size_distribution(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    {
        qn::LockGuard g(t->lock);
        if (!g) return nullptr;
        try {
            entries.reserve(static_cast<std::size_t>(t->tree.tree_node_count()));
            Tree::preorder(t->tree.root(),
                           [&](const Node* n) { entries.emplace_back(n->size, Tree::chain_length(n)); });
        } catch (const std::bad_alloc&) {
            g.unlock();
            return PyErr_NoMemory();
        }
        if (!g.unlock()) return nullptr;
    }
    qn::Ref dict = qn::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [sz, count] : entries) {
        qn::Ref k = qn::Ref::steal(PyLong_FromUnsignedLongLong(sz));
        qn::Ref v = qn::Ref::steal(PyLong_FromUnsignedLongLong(count));
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

int set_u64(PyObject* d, PyObject* key, std::uint64_t v) {
    qn::Ref o = qn::Ref::steal(PyLong_FromUnsignedLongLong(v));
    return o ? PyDict_SetItem(d, key, o.get()) : -1;
}

PyObject* m_get_stats(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    Stats snap;
    std::uint64_t node_count;
    unsigned height;
    qn::Ref sample_counter;
    {
        qn::LockGuard g(t->stats_lock);
        if (!g) return nullptr;
        snap = t->stats;
        node_count = t->tree.block_count();
        height = t->tree.height();  // the tree is complete whenever the interpreter lock is held
        if (t->atomic_available) sample_counter = qn::Ref::borrow(t->sample_counter);
        if (!g.unlock()) return nullptr;
    }
    qn::Ref sampled;
    if (sample_counter) {
        sampled = qn::Ref::steal(call_counter(sample_counter.get(), S.load, g_load_cache));
        if (!sampled) return nullptr;
    } else {
        sampled = qn::Ref::steal(PyLong_FromLong(0));
        if (!sampled) return nullptr;
    }
    qn::Ref d = qn::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    if (set_u64(dict, S.total_blocks, snap.total_blocks) < 0 ||
        set_u64(dict, S.total_insertions, snap.total_insertions) < 0 ||
        set_u64(dict, S.total_deletions, snap.total_deletions) < 0 ||
        set_u64(dict, S.total_searches, snap.total_searches) < 0 ||
        set_u64(dict, S.bucket_hits, 0) < 0 || set_u64(dict, S.tree_hits, 0) < 0 ||
        set_u64(dict, S.operation_count, snap.operation_count) < 0 ||
        (snap.has_circuit_breaker_trips && set_u64(dict, S.circuit_breaker_trips, 0) < 0) ||
        set_u64(dict, S.node_count, node_count) < 0 || set_u64(dict, S.height, height) < 0 ||
        PyDict_SetItem(dict, S.sampled_operations, sampled.get()) < 0 ||
        PyDict_SetItem(dict, S.is_valid, Py_True) < 0)
        return nullptr;
    return d.release();
}

PyObject* m_get_statistics(qn::Function*, PyObject* const*) { return PyDict_New(); }

PyObject* m_reset_circuit_breaker(qn::Function*, PyObject* const* a) {
    TreeObject* t = as_tree(a[0]);
    qn::LockGuard g(t->stats_lock);
    if (!g) return nullptr;
    t->stats.has_circuit_breaker_trips = true;
    t->stats.operation_count = 0;
    if (!g.unlock()) return nullptr;
    Py_RETURN_NONE;
}

// ---- slots ----------------------------------------------------------------------------------

// self.size(), looked up on the instance so that a subclass may replace it.
PyObject* call_size(PyObject* self) {
    if (Py_IS_TYPE(self, &TreeType)) return PyLong_FromUnsignedLongLong(as_tree(self)->tree.block_count());
    PyObject* stack[1] = {self};
    return PyObject_VectorcallMethod(S.size, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

Py_ssize_t tree_len(PyObject* self) {
    if (Py_IS_TYPE(self, &TreeType)) {
        const std::uint64_t n = as_tree(self)->tree.block_count();
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
            return -1;
        }
        return static_cast<Py_ssize_t>(n);
    }
    qn::Ref r = qn::Ref::steal(call_size(self));
    if (!r) return -1;
    qn::Ref idx = qn::Ref::steal(PyNumber_Index(r.get()));
    if (!idx) return -1;
    const Py_ssize_t n = PyLong_AsSsize_t(idx.get());
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

int tree_bool(PyObject* self) {
    if (Py_IS_TYPE(self, &TreeType)) return as_tree(self)->tree.block_count() > 0;
    qn::Ref r = qn::Ref::steal(call_size(self));
    if (!r) return -1;
    qn::Ref zero = qn::Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    return PyObject_RichCompareBool(r.get(), zero.get(), Py_GT);
}

PyObject* tree_repr(PyObject* self) {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(self)->tree.block_count()));
}

PySequenceMethods tree_as_sequence{};
PyNumberMethods tree_as_number{};

void tree_type_setup() {
    qn::type_init(TreeType, "quarvel.memory.block_index.FastRedBlackTree", sizeof(TreeObject),
                  "Red-black tree of free memory blocks keyed by size, with equal sizes chained on one node.\n\n"
                  "Writers serialise on a lock and bracket each change with a sequence counter (even = stable,\n"
                  "odd = write in progress); readers search without the lock and accept a result only when the\n"
                  "counter was even and unchanged around their search.",
                  Py_TPFLAGS_HAVE_GC);
    TreeType.tp_new = tree_tp_new;
    TreeType.tp_init = tree_tp_init;
    TreeType.tp_dealloc = tree_dealloc;
    TreeType.tp_traverse = tree_traverse;
    TreeType.tp_repr = tree_repr;
    tree_as_sequence.sq_length = tree_len;
    TreeType.tp_as_sequence = &tree_as_sequence;
    tree_as_number.nb_bool = tree_bool;
    TreeType.tp_as_number = &tree_as_number;
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

int tree_methods_install() {
    PyTypeObject* t = &TreeType;
    tree_init_fn = qn::add_init(t, {"__init__", tree_init, {{"sample_rate", qn::dflt(100)}}});
    if (tree_init_fn == nullptr) return -1;
    if (!qn::add_static(t, {"_sanitize_size", m_sanitize_size, {{"size", nullptr, "int"}}, "int", "Validate size."}) ||
        !qn::add_method(t, {"insert", m_insert, {{"size", nullptr, "int"}, {"block", nullptr, "MemoryBlock"}}, "bool",
                            kInsertDoc}) ||
        !qn::add_method(t, {"delete", m_delete, {{"size", nullptr, "int"}, {"block", nullptr, "MemoryBlock"}}, "bool",
                            kDeleteDoc}) ||
        !qn::add_method(t, {"clear", m_clear, {}, "None", "Clear all blocks."}) ||
        !qn::add_method(t, {"size", m_size, {}, "int", "Get total block count."}) ||
        !qn::add_method(t, {"find_best_fit", m_find_best_fit,
                            {{"size", nullptr, "int"}, {"alignment", qn::dflt(1), "int"}}, "Optional[MemoryBlock]",
                            kFindBestFitDoc}) ||
        !qn::add_method(t, {"find_all_exact", m_find_all_exact, {{"size", nullptr, "int"}}, "List[MemoryBlock]",
                            kFindAllExactDoc}) ||
        !qn::add_method(t, {"remove_ge", m_remove_ge, {{"size", nullptr, "int"}},
                            "Tuple[Optional[int], Optional[MemoryBlock]]", kRemoveGeDoc}) ||
        !qn::add_method(t, {"get_size_distribution", m_get_size_distribution, {}, "Dict[int, int]",
                            "Get size distribution."}) ||
        !qn::add_method(t, {"get_stats", m_get_stats, {}, "Dict[str, Any]", "Get tree statistics."}) ||
        !qn::add_method(t, {"get_statistics", m_get_statistics, {}, "Dict[int, List[float]]",
                            "Get timing statistics (empty for sampling mode)."}) ||
        !qn::add_method(t, {"reset_circuit_breaker", m_reset_circuit_breaker, {}, "None",
                            "Reset circuit breaker stats."}))
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
    // The direct clock path needs the genuine module; anything else is always called as found.
    PyObject* time_mod = PyDict_GetItemWithError(g_module_dict, S.time);
    if (time_mod != nullptr && PyModule_CheckExact(time_mod)) {
        g_perf_counter_ns = PyDict_GetItemWithError(PyModule_GetDict(time_mod), S.perf_counter_ns);
        if (g_perf_counter_ns != nullptr) {
            Py_INCREF(g_perf_counter_ns);
            g_time_module = qn::newref(time_mod);
        }
    }
    if (PyErr_Occurred()) return -1;
    // 2. from .memory_block import MemoryBlock (a failure fails the import).
    {
        qn::Ref fromlist = qn::Ref::steal(Py_BuildValue("(s)", "MemoryBlock"));
        if (!fromlist) return -1;
        qn::Ref mod = qn::Ref::steal(
            PyImport_ImportModuleLevel("memory_block", g_module_dict, nullptr, fromlist.get(), 1));
        if (!mod || qn::bind(m, "MemoryBlock", PyObject_GetAttrString(mod.get(), "MemoryBlock")) < 0) return -1;
    }
    // 3. AtomicCounter, guarded: without it the trees keep no counters.
    {
        qn::Ref fromlist = qn::Ref::steal(Py_BuildValue("(s)", "AtomicCounter"));
        if (!fromlist) return -1;
        qn::Ref mod = qn::Ref::steal(
            PyImport_ImportModuleLevel("sync_kernel", g_module_dict, nullptr, fromlist.get(), 1));
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
    tree_type_setup();
    if (qn::type_ready(m, TreeType) < 0 || tree_methods_install() < 0) return -1;
    return qn::bind(m, "MAX_RETRIES", PyLong_FromLong(MAX_RETRIES));
}

}  // namespace

QN_MODULE(block_index, "Size-ordered index of free memory blocks with best-fit search and lock-free readers.",
          exec_block_index)
