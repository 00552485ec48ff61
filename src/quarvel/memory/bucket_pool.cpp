// quarvel.memory.bucket_pool: the native fast paths of the runtime's memory pools.
//
//   FastBucketAllocator  size-class buckets of free block offsets, guarded by a lock
//   FastSlabHeaderOps    one slab's 16-byte header (CRC-16 checked) and its free-object bitmap
//   FastStatsCollector   allocation counters, guarded by a lock
//   fast_align_size, fast_get_bucket_size, fast_bitmap_operations, fast_can_fit_aligned
//
// The integer work lives in bucket_core.hpp; this file converts arguments, takes the locks and
// builds results. Every argument is converted before a section is entered or a field changes,
// result objects are built and the corrupt-header warning is logged after the section, so the
// sections are native work only (qn::Sections::native); a rebound lock type's own acquire/release
// is the only Python code that can run while one is entered or left, and a call from there back
// into the same object gets RuntimeError instead of waiting for itself.
//
// The locks follow the module's own `threading.Lock` at construction (qn::LockFactory), so a
// rebound `threading` gives new objects its lock type.
#include "native/qn.hpp"

#include "bucket_core.hpp"

#include <cstdio>
#include <new>

namespace {

namespace core = quarvel::bucket_pool;

core::Crc16Table g_crc_table{};
PyObject* g_module_dict = nullptr;  // owned; `logger` is looked up here at call time
qn::LockFactory g_locks;            // the objects' locks, after the module's `threading.Lock`

// Names used at call time, interned at load so that no call depends on creating them.
enum Name { kLogger, kWarning, kInitBuckets, kIsSet, kSet, kClear, kFindFirst, kNameCount };
constexpr const char* kNameText[kNameCount] = {"logger", "warning", "_init_buckets", "is_set",
                                               "set",    "clear",   "find_first"};
PyObject* g_names[kNameCount] = {};

int intern_names() {
    for (int k = 0; k < kNameCount; ++k)
        if (g_names[k] == nullptr && (g_names[k] = PyUnicode_InternFromString(kNameText[k])) == nullptr) return -1;
    return 0;
}

PyObject* zero_division() {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The two locked classes (FastBucketAllocator, FastStatsCollector) begin with this head: the lock
// their operations take.

struct LockedHead {
    PyObject_HEAD
    qn::Lock<qn::Sections::native> lock;
};

inline LockedHead* head(PyObject* o) { return reinterpret_cast<LockedHead*>(o); }

// Sets up the head of a new (zeroed) instance; false with an exception set.
bool head_new(PyObject* self) { return qn::make_lock(head(self)->lock, g_locks); }

void head_dealloc(PyObject* self) { head(self)->lock.dispose(); }

int head_traverse(PyObject* self, visitproc visit, void* arg) { return head(self)->lock.traverse(visit, arg); }

// A lock object written in Python may refer back to its owner: dropped, the object goes on with
// the native lock.
int head_clear(PyObject* self) {
    head(self)->lock.clear();
    return 0;
}

void locked_type_setup(PyTypeObject& t, const char* name, Py_ssize_t size, const char* doc, newfunc new_fn,
                       initproc init_fn, destructor dealloc_fn) {
    qn::gc_type_init(t, name, size, doc, {new_fn, init_fn, dealloc_fn, head_traverse, head_clear});
}

// ---------------------------------------------------------------------------------------------
// Module functions

constexpr auto kFastAlignSize = qn::params(qn::arg("size"), qn::arg("alignment"));

PyObject* fast_align_size(qn::Args<kFastAlignSize> a) {
    int32_t size, alignment;
    if (!a.get<"size">(size) || !a.get<"alignment">(alignment)) return nullptr;
    if (!core::is_power_of_two(alignment)) {
        PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
        return nullptr;
    }
    return PyLong_FromLong(core::align_size(size, alignment));
}

constexpr auto kFastGetBucketSize = qn::params(qn::arg("size"), qn::opt("step", nullptr, 8));

PyObject* fast_get_bucket_size(qn::Args<kFastGetBucketSize> a) {
    int32_t size, step;
    if (!a.get<"size">(size) || !a.get<"step">(step)) return nullptr;
    if (step == 0) return zero_division();
    return PyLong_FromLong(core::bucket_size(size, step));
}

enum class BitmapOp { is_set, set, clear, find_first, unknown };

// The operation named by an exact str: identity with the interned names first (literals in
// Python code are interned), then a compare of the characters.
BitmapOp bitmap_op_of(PyObject* op) {
    for (int k = 0; k < 4; ++k)
        if (op == g_names[kIsSet + k]) return static_cast<BitmapOp>(k);
    for (int k = 0; k < 4; ++k)
        if (PyUnicode_CompareWithASCIIString(op, kNameText[kIsSet + k]) == 0) return static_cast<BitmapOp>(k);
    return BitmapOp::unknown;
}

constexpr auto kFastBitmapOperations = qn::params(qn::arg("bitmap"), qn::arg("index"), qn::arg("operation"));

PyObject* fast_bitmap_operations(qn::Args<kFastBitmapOperations> a) {
    uint64_t bitmap;
    int32_t index;
    PyObject* op;
    if (!a.get<"bitmap">(bitmap) || !a.get<"index">(index) || !a.str<"operation">(op)) return nullptr;
    switch (op == Py_None ? BitmapOp::unknown : bitmap_op_of(op)) {
        case BitmapOp::is_set:
            return qn::boolean(core::bitmap_is_set(bitmap, index));
        case BitmapOp::set:
            return PyLong_FromUnsignedLongLong(core::bitmap_set(bitmap, index));
        case BitmapOp::clear:
            return PyLong_FromUnsignedLongLong(core::bitmap_clear(bitmap, index));
        case BitmapOp::find_first:
            return PyLong_FromLong(core::bitmap_find_first(bitmap));
        case BitmapOp::unknown:
            break;
    }
    PyErr_Format(PyExc_ValueError, "Unknown operation: %S", op);
    return nullptr;
}

constexpr auto kFastCanFitAligned =
    qn::params(qn::arg("block_offset"), qn::arg("block_size"), qn::arg("alloc_size"), qn::arg("alignment"));

PyObject* fast_can_fit_aligned(qn::Args<kFastCanFitAligned> a) {
    int32_t offset, size, alloc, alignment;
    if (!a.get<"block_offset">(offset) || !a.get<"block_size">(size) || !a.get<"alloc_size">(alloc) ||
        !a.get<"alignment">(alignment))
        return nullptr;
    return qn::boolean(core::can_fit_aligned(offset, size, alloc, alignment));
}

// ---------------------------------------------------------------------------------------------
// FastBucketAllocator

struct FastBucketAllocatorObject {
    LockedHead head;
    int32_t bucket_size_step;
    int32_t small_block_max;
    int32_t medium_block_max;
    core::BucketTable table;
};

PyTypeObject FastBucketAllocatorType{};
PyObject* fast_bucket_allocator_init_fn = nullptr;

inline FastBucketAllocatorObject* allocator(PyObject* o) { return reinterpret_cast<FastBucketAllocatorObject*>(o); }

PyObject* fast_bucket_allocator_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        new (&allocator(self)->table) core::BucketTable();
        return head_new(self);
    });
}

void fast_bucket_allocator_tp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    head_dealloc(self);
    allocator(self)->table.~BucketTable();
    Py_TYPE(self)->tp_free(self);
}

constexpr auto kFastBucketAllocatorInit =
    qn::params(qn::opt("bucket_size_step", nullptr, 8), qn::opt("small_block_max", nullptr, 256),
               qn::opt("medium_block_max", nullptr, 4096));

PyObject* fast_bucket_allocator_init(qn::MethodArgs<kFastBucketAllocatorInit> a) {
    int32_t step, small_max, medium_max;
    if (!a.get<"bucket_size_step">(step) || !a.get<"small_block_max">(small_max) ||
        !a.get<"medium_block_max">(medium_max))
        return nullptr;
    FastBucketAllocatorObject* o = allocator(a.self());
    o->bucket_size_step = step;
    o->small_block_max = small_max;
    o->medium_block_max = medium_max;
    // Looked up on the instance: a subclass may provide its own table set-up.
    qn::Ref r = qn::Ref::steal(PyObject_CallMethodNoArgs(a.self(), g_names[kInitBuckets]));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// Takes no lock: the new table replaces the old one in a single native step (no Python code runs
// and the interpreter lock is held throughout), and the locked sections are native steps as well.
PyObject* fast_bucket_allocator__init_buckets(qn::MethodArgs<qn::no_params> a) {
    FastBucketAllocatorObject* o = allocator(a.self());
    if (o->bucket_size_step == 0) {
        PyErr_SetString(PyExc_ValueError, "range() arg 3 must not be zero");
        return nullptr;
    }
    if (o->table.init(o->bucket_size_step, o->small_block_max, o->medium_block_max) != core::BucketTable::Status::ok)
        return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// The bucket for `size`: -1 above both maxima, else size rounded up to the step. false with
// ZeroDivisionError for a zero step (possible only when a subclass skipped the table set-up).
inline bool allocator_bucket_of(const FastBucketAllocatorObject* o, int32_t size, int32_t& bucket) {
    if (size > o->small_block_max && size > o->medium_block_max) {
        bucket = -1;
        return true;
    }
    if (o->bucket_size_step == 0) {
        zero_division();
        return false;
    }
    bucket = core::bucket_size(size, o->bucket_size_step);
    return true;
}

constexpr auto kFastBucketAllocatorAddToBucket = qn::params(qn::arg("offset"), qn::arg("size"));

PyObject* fast_bucket_allocator_add_to_bucket(qn::MethodArgs<kFastBucketAllocatorAddToBucket> a) {
    int32_t offset, size, bucket;
    if (!a.get<"offset">(offset) || !a.get<"size">(size)) return nullptr;
    FastBucketAllocatorObject* o = allocator(a.self());
    if (!allocator_bucket_of(o, size, bucket)) return nullptr;
    if (bucket <= 0 || bucket != size) Py_RETURN_FALSE;
    core::BucketTable::Status status = core::BucketTable::Status::ok;
    bool added = false;
    if (!qn::locked(head(a.self())->lock, "FastBucketAllocator.add_to_bucket",
                    [&] { added = o->table.push(bucket, offset, status); }))
        return nullptr;
    if (status != core::BucketTable::Status::ok) return PyErr_NoMemory();
    return qn::boolean(added);
}

constexpr auto kFastBucketAllocatorRemoveFromBucket = qn::params(qn::arg("size"));

PyObject* fast_bucket_allocator_remove_from_bucket(qn::MethodArgs<kFastBucketAllocatorRemoveFromBucket> a) {
    int32_t size, bucket, offset = 0;
    if (!a.get<"size">(size)) return nullptr;
    FastBucketAllocatorObject* o = allocator(a.self());
    if (!allocator_bucket_of(o, size, bucket)) return nullptr;
    if (bucket <= 0) Py_RETURN_NONE;
    bool found = false;
    if (!qn::locked(head(a.self())->lock, "FastBucketAllocator.remove_from_bucket",
                    [&] { found = o->table.pop(bucket, offset); }))
        return nullptr;
    if (!found) Py_RETURN_NONE;
    return PyLong_FromLong(offset);
}

constexpr auto kFastBucketAllocatorFindBestFitBucket = qn::params(qn::arg("size"), qn::arg("alignment"));

PyObject* fast_bucket_allocator_find_best_fit_bucket(qn::MethodArgs<kFastBucketAllocatorFindBestFitBucket> a) {
    int32_t size, alignment, bucket, offset = 0;
    if (!a.get<"size">(size) || !a.get<"alignment">(alignment)) return nullptr;
    FastBucketAllocatorObject* o = allocator(a.self());
    if (!allocator_bucket_of(o, size, bucket)) return nullptr;
    if (bucket <= 0) Py_RETURN_NONE;
    bool found = false;
    if (!qn::locked(head(a.self())->lock, "FastBucketAllocator.find_best_fit_bucket",
                    [&] { found = o->table.take_best_fit(bucket, size, alignment, offset); }))
        return nullptr;
    if (!found) Py_RETURN_NONE;
    return PyLong_FromLong(offset);
}

void fast_bucket_allocator_type_setup() {
    locked_type_setup(
        FastBucketAllocatorType, "quarvel.memory.bucket_pool.FastBucketAllocator", sizeof(FastBucketAllocatorObject),
        "Size-class buckets of free block offsets; each bucket hands out its most recently added "
        "offset first.",
        fast_bucket_allocator_tp_new, qn::init_via<&fast_bucket_allocator_init_fn>, fast_bucket_allocator_tp_dealloc);
}

int fast_bucket_allocator_methods_install() {
    PyTypeObject* t = &FastBucketAllocatorType;
    fast_bucket_allocator_init_fn = qn::add_method<fast_bucket_allocator_init>(t, "__init__", nullptr);
    if (fast_bucket_allocator_init_fn == nullptr ||
        !qn::add_method<fast_bucket_allocator__init_buckets>(t, "_init_buckets", nullptr,
                                                             "Initialize size-class buckets.") ||
        !qn::add_method<fast_bucket_allocator_add_to_bucket>(t, "add_to_bucket", nullptr,
                                                             "Add block to appropriate bucket.") ||
        !qn::add_method<fast_bucket_allocator_remove_from_bucket>(t, "remove_from_bucket", nullptr,
                                                                  "Remove block from appropriate bucket.") ||
        !qn::add_method<fast_bucket_allocator_find_best_fit_bucket>(t, "find_best_fit_bucket", nullptr,
                                                                    "Find best fit bucket for allocation."))
        return -1;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// FastSlabHeaderOps

struct FastSlabHeaderOpsObject {
    PyObject_HEAD
    core::SlabHeader header;
};

PyTypeObject FastSlabHeaderOpsType{};
PyObject* fast_slab_header_ops_init_fn = nullptr;

inline core::SlabHeader& header_of(PyObject* o) { return reinterpret_cast<FastSlabHeaderOpsObject*>(o)->header; }

constexpr auto kFastSlabHeaderOpsInit = qn::params(qn::arg("size_class_index"), qn::arg("objects_per_slab"));

PyObject* fast_slab_header_ops_init(qn::MethodArgs<kFastSlabHeaderOpsInit> a) {
    int32_t size_class, objects;
    if (!a.get<"size_class_index">(size_class) || !a.get<"objects_per_slab">(objects)) return nullptr;
    header_of(a.self()).init(size_class, objects);
    Py_RETURN_NONE;
}

PyObject* fast_slab_header_ops_pack_header(qn::MethodArgs<qn::no_params> a) {
    uint8_t bytes[core::kHeaderBytes];
    header_of(a.self()).pack(g_crc_table, bytes);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), core::kHeaderBytes);
}

PyObject* log_corruption(const core::SlabHeader::UnpackResult& crc) {
    char text[96];
    std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x",
                  static_cast<unsigned>(crc.stored), static_cast<unsigned>(crc.computed));
    // The logger is held for the call, which may rebind the module global (plain pointers: see
    // head_new).
    PyObject* logger = qn::lookup_global(g_module_dict, g_names[kLogger]);
    if (logger == nullptr) return nullptr;
    PyObject* msg = PyUnicode_FromString(text);
    PyObject* r = msg ? PyObject_CallMethodOneArg(logger, g_names[kWarning], msg) : nullptr;
    Py_XDECREF(msg);
    Py_DECREF(logger);
    return r;
}

constexpr auto kFastSlabHeaderOpsUnpackHeader = qn::params(qn::arg("data"));

PyObject* fast_slab_header_ops_unpack_header(qn::MethodArgs<kFastSlabHeaderOpsUnpackHeader> a) {
    PyObject* data;
    if (!a.exact<"data">(&PyBytes_Type, data)) return nullptr;
    if (data == Py_None) return qn::none_has_no_len();
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n != static_cast<Py_ssize_t>(core::kHeaderBytes)) {
        PyErr_Format(PyExc_ValueError, "Invalid header size: expected %zu bytes, got %zd", core::kHeaderBytes, n);
        return nullptr;
    }
    const auto r = header_of(a.self()).unpack(g_crc_table, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)));
    if (r.corrupt()) {
        qn::Ref logged = qn::Ref::steal(log_corruption(r));
        if (!logged) return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr auto kFastSlabHeaderOpsPyIsObjectFree = qn::params(qn::arg("object_index"));

PyObject* fast_slab_header_ops_py_is_object_free(qn::MethodArgs<kFastSlabHeaderOpsPyIsObjectFree> a) {
    int32_t i;
    if (!a.get<"object_index">(i)) return nullptr;
    return qn::boolean(header_of(a.self()).is_object_free(i));
}

PyObject* fast_slab_header_ops_py_find_free_object(qn::MethodArgs<qn::no_params> a) {
    return PyLong_FromLong(header_of(a.self()).find_free_object());
}

constexpr auto kFastSlabHeaderOpsPyAllocateObjectAt = qn::params(qn::arg("object_index"));

PyObject* fast_slab_header_ops_py_allocate_object_at(qn::MethodArgs<kFastSlabHeaderOpsPyAllocateObjectAt> a) {
    int32_t i;
    if (!a.get<"object_index">(i)) return nullptr;
    header_of(a.self()).allocate_object(i);
    Py_RETURN_NONE;
}

constexpr auto kFastSlabHeaderOpsPyDeallocateObjectAt = qn::params(qn::arg("object_index"));

PyObject* fast_slab_header_ops_py_deallocate_object_at(qn::MethodArgs<kFastSlabHeaderOpsPyDeallocateObjectAt> a) {
    int32_t i;
    if (!a.get<"object_index">(i)) return nullptr;
    header_of(a.self()).deallocate_object(i);
    Py_RETURN_NONE;
}

void fast_slab_header_ops_type_setup() {
    qn::type_init(FastSlabHeaderOpsType, "quarvel.memory.bucket_pool.FastSlabHeaderOps",
                  sizeof(FastSlabHeaderOpsObject),
                  "Header of one slab: size class, flags, change counter, CRC-16 checksum and the bitmap of "
                  "free objects, packed into 16 little-endian bytes.");
    FastSlabHeaderOpsType.tp_new = PyType_GenericNew;
    FastSlabHeaderOpsType.tp_init = qn::init_via<&fast_slab_header_ops_init_fn>;
}

int fast_slab_header_ops_methods_install() {
    PyTypeObject* t = &FastSlabHeaderOpsType;
    fast_slab_header_ops_init_fn = qn::add_method<fast_slab_header_ops_init>(t, "__init__", nullptr);
    if (fast_slab_header_ops_init_fn == nullptr ||
        !qn::add_method<fast_slab_header_ops_pack_header>(t, "pack_header", nullptr,
                                                          "Pack header into bytes for storage.") ||
        !qn::add_method<fast_slab_header_ops_unpack_header>(t, "unpack_header", nullptr, "Unpack header from bytes.") ||
        !qn::add_method<fast_slab_header_ops_py_is_object_free>(
            t, "py_is_object_free", nullptr, "Check if object at index is free (Python interface).") ||
        !qn::add_method<fast_slab_header_ops_py_find_free_object>(t, "py_find_free_object", nullptr,
                                                                  "Find first free object index (Python interface).") ||
        !qn::add_method<fast_slab_header_ops_py_allocate_object_at>(t, "py_allocate_object_at", nullptr,
                                                                    "Mark object as allocated (Python interface).") ||
        !qn::add_method<fast_slab_header_ops_py_deallocate_object_at>(t, "py_deallocate_object_at", nullptr,
                                                                      "Mark object as free (Python interface)."))
        return -1;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// FastStatsCollector

struct FastStatsCollectorObject {
    LockedHead head;
    uint64_t total_allocations;
    uint64_t total_deallocations;
    uint64_t bucketed_allocations;
    uint64_t fallback_allocations;
    uint64_t alignment_padding_bytes;
    qn::ResultDict<6> last_stats;  // the last get_stats result
};

PyTypeObject FastStatsCollectorType{};
PyObject* fast_stats_collector_init_fn = nullptr;

inline FastStatsCollectorObject* stats(PyObject* o) { return reinterpret_cast<FastStatsCollectorObject*>(o); }

PyObject* fast_stats_collector_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return qn::gc_new(type, [](PyObject* self) {
        new (&stats(self)->last_stats) qn::ResultDict<6>();
        return head_new(self);
    });
}

void fast_stats_collector_tp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    head_dealloc(self);
    stats(self)->last_stats.release();
    Py_TYPE(self)->tp_free(self);
}

PyObject* fast_stats_collector_init(qn::MethodArgs<qn::no_params>) { Py_RETURN_NONE; }

constexpr auto kFastStatsCollectorPyRecordAllocation =
    qn::params(qn::arg("size"), qn::arg("padding"), qn::arg("is_bucketed"));

PyObject* fast_stats_collector_py_record_allocation(qn::MethodArgs<kFastStatsCollectorPyRecordAllocation> a) {
    int32_t size, padding;
    bool bucketed;
    if (!a.get<"size">(size) || !a.get<"padding">(padding) || !a.get<"is_bucketed">(bucketed)) return nullptr;
    FastStatsCollectorObject* s = stats(a.self());
    if (!qn::locked(head(a.self())->lock, "FastStatsCollector.py_record_allocation", [&] {
            ++s->total_allocations;
            // A negative padding lowers the sum (modulo 2**64).
            s->alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
            ++(bucketed ? s->bucketed_allocations : s->fallback_allocations);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* fast_stats_collector_py_record_deallocation(qn::MethodArgs<qn::no_params> a) {
    FastStatsCollectorObject* s = stats(a.self());
    if (!qn::locked(head(a.self())->lock, "FastStatsCollector.py_record_deallocation",
                    [&] { ++s->total_deallocations; }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* fast_stats_collector_reset_stats(qn::MethodArgs<qn::no_params> a) {
    FastStatsCollectorObject* s = stats(a.self());
    if (!qn::locked(head(a.self())->lock, "FastStatsCollector.reset_stats", [&] {
            s->total_allocations = s->total_deallocations = s->bucketed_allocations = s->fallback_allocations =
                s->alignment_padding_bytes = 0;
        }))
        return nullptr;
    Py_RETURN_NONE;
}

qn::DictTemplate g_stats_dict;

// "66.7%": the bucketed share in percent as format(ratio, ".1f") writes it, then "%".
double bucketed_percent(uint64_t bucketed, uint64_t total) {
    return total > 0 ? static_cast<double>(bucketed) / static_cast<double>(total) * 100.0 : 0.0;
}

PyObject* ratio_text(double ratio) {
    char text[qn::kFormatPercent1Size];
    const std::size_t n = qn::format_percent1(ratio, text);
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(n));
}

PyObject* fast_stats_collector_get_stats(qn::MethodArgs<qn::no_params> a) {
    FastStatsCollectorObject* s = stats(a.self());
    uint64_t total = 0, freed = 0, bucketed = 0, fallback = 0, padding = 0;
    if (!qn::locked(head(a.self())->lock, "FastStatsCollector.get_stats", [&] {
            total = s->total_allocations;
            freed = s->total_deallocations;
            bucketed = s->bucketed_allocations;
            fallback = s->fallback_allocations;
            padding = s->alignment_padding_bytes;
        }))
        return nullptr;
    const double ratio = bucketed_percent(bucketed, total);
    const uint64_t values[6] = {total,  freed, bucketed, fallback, qn::stamp(ratio),
                                padding};  // the ratio's text by its bits
    return s->last_stats.make(g_stats_dict, values, [&](std::size_t i) {
        return i == 4 ? ratio_text(ratio) : PyLong_FromUnsignedLongLong(values[i]);
    });
}

void fast_stats_collector_type_setup() {
    locked_type_setup(
        FastStatsCollectorType, "quarvel.memory.bucket_pool.FastStatsCollector", sizeof(FastStatsCollectorObject),
        "Allocation, free, bucketed and fallback counts and alignment padding of a memory pool.",
        fast_stats_collector_tp_new, qn::init_via<&fast_stats_collector_init_fn>, fast_stats_collector_tp_dealloc);
}

int fast_stats_collector_methods_install() {
    PyTypeObject* t = &FastStatsCollectorType;
    fast_stats_collector_init_fn = qn::add_method<fast_stats_collector_init>(t, "__init__", nullptr);
    if (fast_stats_collector_init_fn == nullptr ||
        g_stats_dict.setup({"total_allocations", "total_deallocations", "bucketed_allocations", "fallback_allocations",
                            "bucketed_allocation_ratio", "alignment_padding_bytes"}) < 0 ||
        !qn::add_method<fast_stats_collector_py_record_allocation>(
            t, "py_record_allocation", nullptr, "Record allocation statistics (Python interface).") ||
        !qn::add_method<fast_stats_collector_py_record_deallocation>(
            t, "py_record_deallocation", nullptr, "Record deallocation statistics (Python interface).") ||
        !qn::add_method<fast_stats_collector_get_stats>(t, "get_stats", nullptr, "Get statistics dictionary.") ||
        !qn::add_method<fast_stats_collector_reset_stats>(t, "reset_stats", nullptr, "Reset all statistics."))
        return -1;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Module

int exec_bucket_pool(PyObject* m) {
    // 1, 2. Standard modules and the logger.
    if (qn::import_into(m, "threading") < 0 || qn::import_into(m, "logging") < 0) return -1;
    PyObject* logger = qn::make_logger(m);
    if (logger == nullptr) return -1;
    g_module_dict = qn::newref(PyModule_GetDict(m));
    if (g_locks.setup(g_module_dict) < 0 || intern_names() < 0) return -1;
    // 3. The classes, then the functions.
    fast_slab_header_ops_type_setup();
    fast_bucket_allocator_type_setup();
    fast_stats_collector_type_setup();
    if (qn::type_ready(m, FastSlabHeaderOpsType) < 0 || fast_slab_header_ops_methods_install() < 0 ||
        qn::type_ready(m, FastBucketAllocatorType) < 0 || fast_bucket_allocator_methods_install() < 0 ||
        qn::type_ready(m, FastStatsCollectorType) < 0 || fast_stats_collector_methods_install() < 0)
        return -1;
    if (!qn::add_function<fast_align_size>(m, "fast_align_size", nullptr,
                                           "Fast alignment calculation (Python interface).") ||
        !qn::add_function<fast_get_bucket_size>(m, "fast_get_bucket_size", nullptr,
                                                "Fast bucket size calculation (Python interface).") ||
        !qn::add_function<fast_bitmap_operations>(m, "fast_bitmap_operations", nullptr,
                                                  "Fast bitmap operations (Python interface).") ||
        !qn::add_function<fast_can_fit_aligned>(m, "fast_can_fit_aligned", nullptr,
                                                "Fast alignment check with exclusive boundary (Python interface)."))
        return -1;
    // 4. The checksum table.
    core::build_crc16_table(g_crc_table);
    // 5. The loaded line.
    return qn::log(logger, "info",
                   "Quarvel Bucket Pool Cython module loaded - targeting 1.8-3\xC3\x97 performance improvement");
}

}  // namespace

QN_MODULE(bucket_pool, "Size-class buckets, slab headers and allocation statistics of the memory pools.",
          exec_bucket_pool)
