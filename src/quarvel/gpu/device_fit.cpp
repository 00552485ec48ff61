// quarvel.gpu.device_fit: the arithmetic of the GPU memory manager as stateless module functions.
// The rules live in device_fit_core.hpp; this file converts arguments, raises the documented
// errors and builds the result objects. Nothing here keeps state beyond the three fixed strategy
// answers built at load, and nothing releases the interpreter lock (every call is short).
#include "native/qn.hpp"

#include "device_fit_core.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

namespace core = quarvel::device_fit;

namespace {

// The three fixed strategy answers, built once at load and handed out as they are. The module can
// only be initialised once per process, so plain statics own them for its lifetime.
PyObject* g_no_memory = nullptr;
PyObject* g_fits = nullptr;
PyObject* g_not_chunkable = nullptr;
PyObject* g_lower = nullptr;  // "lower", interned at load (a failure there fails the import)

PyObject* make_strategy(long code, const char* message) { return Py_BuildValue("(liis)", code, 0, 1, message); }

PyObject* u64_result(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// ---------------------------------------------------------------------------------------------

constexpr auto kEstimateAllocationBytes =
    qn::params(qn::arg("shape"), qn::arg("element_size"), qn::opt("overhead_factor", nullptr, 1.0));

PyObject* estimate_allocation_bytes(qn::Function*, qn::Args<kEstimateAllocationBytes> a) {
    PyObject* shape;
    std::int32_t element_size;
    double factor;
    if (!a.tuple<"shape">(shape) || !a.get<"element_size">(element_size) || !a.get<"overhead_factor">(factor))
        return nullptr;
    if (element_size < 0) {
        PyErr_SetString(PyExc_ValueError, "element_size must not be negative");
        return nullptr;
    }
    if (shape == Py_None) return qn::none_has_no_len();
    core::ElementCount count;
    const Py_ssize_t n = PyTuple_GET_SIZE(shape);
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::int32_t d;
        if (!qn::to_i32(PyTuple_GET_ITEM(shape, i), d)) return nullptr;
        if (!count.add(d)) break;
    }
    return u64_result(core::allocation_bytes(count, element_size, factor));
}

constexpr auto kCalculateSafeLimit = qn::params(qn::arg("available_bytes"), qn::arg("headroom_ratio"));

PyObject* calculate_safe_limit(qn::Function*, qn::Args<kCalculateSafeLimit> a) {
    std::uint64_t available;
    double headroom;
    if (!a.get<"available_bytes">(available) || !a.get<"headroom_ratio">(headroom)) return nullptr;
    return u64_result(core::safe_limit(available, headroom));
}

constexpr auto kDecideAllocationStrategy = qn::params(qn::arg("requested_bytes"), qn::arg("available_bytes"),
                                                      qn::arg("headroom_ratio"), qn::arg("is_chunkable"));

PyObject* decide_allocation_strategy(qn::Function*, qn::Args<kDecideAllocationStrategy> a) {
    std::uint64_t requested, available;
    double headroom;
    bool chunkable;
    if (!a.get<"requested_bytes">(requested) || !a.get<"available_bytes">(available) ||
        !a.get<"headroom_ratio">(headroom) || !a.get<"is_chunkable">(chunkable))
        return nullptr;
    const core::StrategyDecision d = core::decide_strategy(requested, available, headroom, chunkable);
    switch (d.reason) {
        case core::Reason::NoMemory:
            return qn::newref(g_no_memory);
        case core::Reason::Fits:
            return qn::newref(g_fits);
        case core::Reason::NotChunkable:
            return qn::newref(g_not_chunkable);
        case core::Reason::Chunked:
            break;
    }
    static constexpr char kHead[] = "Chunking into ";
    static constexpr char kTail[] = " GPU passes";
    char text[sizeof kHead + qn::kFormatU64Size + sizeof kTail];
    std::size_t len = sizeof kHead - 1;
    std::memcpy(text, kHead, len);
    len += qn::format_u64(d.chunk_count, text + len);
    std::memcpy(text + len, kTail, sizeof kTail - 1);
    len += sizeof kTail - 1;

    qn::Ref out = qn::Ref::steal(PyTuple_New(4));
    if (!out) return nullptr;
    PyObject* items[4] = {PyLong_FromLong(static_cast<long>(core::strategy_of(d.reason))), u64_result(d.chunk_size),
                          u64_result(d.chunk_count), PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(len))};
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        if (items[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(out.get(), i, items[i]);  // a NULL slot is fine for the tuple's release
    }
    return ok ? out.release() : nullptr;
}

constexpr auto kComputeChunkShapes = qn::params(qn::arg("shape"), qn::arg("element_size"), qn::arg("max_chunk_bytes"));

PyObject* compute_chunk_shapes(qn::Function*, qn::Args<kComputeChunkShapes> a) {
    PyObject* shape;
    std::int32_t element_size;
    std::uint64_t max_chunk_bytes;
    if (!a.tuple<"shape">(shape) || !a.get<"element_size">(element_size) || !a.get<"max_chunk_bytes">(max_chunk_bytes))
        return nullptr;
    if (element_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "element_size must be positive");
        return nullptr;
    }
    if (max_chunk_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
        return nullptr;
    }
    if (shape == Py_None) return qn::none_has_no_len();
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    if (ndim == 0) {
        PyObject* list = PyList_New(1);
        if (list != nullptr) PyList_SET_ITEM(list, 0, qn::newref(shape));
        return list;
    }
    std::uint64_t row_bytes = static_cast<std::uint64_t>(element_size);
    for (Py_ssize_t i = 1; i < ndim; ++i) {
        std::uint64_t d;
        if (!qn::to_u64(PyTuple_GET_ITEM(shape, i), d)) return nullptr;
        row_bytes = core::mul_saturated(row_bytes, d);
    }
    std::int32_t first;
    if (!qn::to_i32(PyTuple_GET_ITEM(shape, 0), first)) return nullptr;
    const core::ChunkPlan plan = core::plan_chunks(row_bytes, max_chunk_bytes, first);
    const Py_ssize_t nchunks = plan.chunk_count();

    qn::Ref list = qn::Ref::steal(PyList_New(nchunks));
    if (!list || nchunks == 0) return list.release();
    // Every full-sized chunk is the same immutable tuple, so one object serves them all; the
    // trailing items are the caller's own objects, passed through unchanged.
    auto make_chunk = [&](std::int32_t rows) -> PyObject* {
        PyObject* n = PyLong_FromLong(rows);
        if (n == nullptr) return nullptr;
        PyObject* chunk = PyTuple_New(ndim);
        if (chunk == nullptr) {
            Py_DECREF(n);
            return nullptr;
        }
        PyTuple_SET_ITEM(chunk, 0, n);
        for (Py_ssize_t i = 1; i < ndim; ++i) PyTuple_SET_ITEM(chunk, i, qn::newref(PyTuple_GET_ITEM(shape, i)));
        return chunk;
    };
    Py_ssize_t c = 0;
    if (plan.full_chunks > 0) {
        PyObject* full = make_chunk(plan.rows_per_chunk);
        if (full == nullptr) return nullptr;
        for (; c < plan.full_chunks; ++c) PyList_SET_ITEM(list.get(), c, qn::newref(full));
        Py_DECREF(full);
    }
    if (plan.tail_rows != 0) {
        PyObject* tail = make_chunk(plan.tail_rows);
        if (tail == nullptr) return nullptr;  // the list releases what it holds and skips the empty slot
        PyList_SET_ITEM(list.get(), c, tail);
    }
    return list.release();
}

constexpr auto kCalculateOptimalChunks =
    qn::params(qn::arg("total_bytes"), qn::arg("available_bytes"), qn::arg("headroom_ratio"),
               qn::opt("min_chunks", nullptr, 1), qn::opt("max_chunks", nullptr, 1000));

PyObject* calculate_optimal_chunks(qn::Function*, qn::Args<kCalculateOptimalChunks> a) {
    std::uint64_t total, available;
    double headroom;
    std::int32_t min_chunks, max_chunks;
    if (!a.get<"total_bytes">(total) || !a.get<"available_bytes">(available) || !a.get<"headroom_ratio">(headroom) ||
        !a.get<"min_chunks">(min_chunks) || !a.get<"max_chunks">(max_chunks))
        return nullptr;
    return PyLong_FromLong(core::optimal_chunks(total, available, headroom, min_chunks, max_chunks));
}

// ---------------------------------------------------------------------------------------------
// Out-of-memory recognition. ASCII text (the usual case) is lower-cased natively, which is what
// str.lower does to it; any other text goes through str.lower itself so the full Unicode case
// mapping applies, and is then searched in its own code-unit width.

struct PyMemFree {
    void operator()(char* p) const noexcept { PyMem_Free(p); }
};

class LoweredText {
public:
    bool init(PyObject* s) {
        if (PyUnicode_READY(s) < 0) return false;
        if (PyUnicode_IS_ASCII(s)) return init_ascii(s);
        lowered_ = qn::Ref::steal(PyObject_CallMethodNoArgs(s, g_lower));
        if (!lowered_) return false;
        if (!PyUnicode_Check(lowered_.get()) || PyUnicode_READY(lowered_.get()) < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "str.lower() returned a non-string");
            return false;
        }
        kind_ = PyUnicode_KIND(lowered_.get());
        data_ = PyUnicode_DATA(lowered_.get());
        n_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered_.get()));
        return true;
    }

    bool contains(std::string_view needle) const noexcept {
        switch (kind_) {
            case PyUnicode_2BYTE_KIND:
                return core::contains_ascii(static_cast<const Py_UCS2*>(data_), n_, needle);
            case PyUnicode_4BYTE_KIND:
                return core::contains_ascii(static_cast<const Py_UCS4*>(data_), n_, needle);
            default:
                return core::contains_ascii(static_cast<const char*>(data_), n_, needle);
        }
    }

private:
    bool init_ascii(PyObject* s) {
        n_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        char* dst = stack_;
        if (n_ > sizeof stack_) {
            heap_.reset(static_cast<char*>(PyMem_Malloc(n_)));
            if (!heap_) {
                PyErr_NoMemory();
                return false;
            }
            dst = heap_.get();
        }
        core::ascii_lower(static_cast<const char*>(PyUnicode_DATA(s)), n_, dst);
        data_ = dst;
        kind_ = PyUnicode_1BYTE_KIND;
        return true;
    }

    char stack_[256];
    std::unique_ptr<char, PyMemFree> heap_;  // text longer than stack_
    qn::Ref lowered_;
    const void* data_ = nullptr;
    std::size_t n_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
};

PyObject* none_has_no_lower() {
    PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'lower'");
    return nullptr;
}

constexpr auto kIsOomError = qn::params(qn::arg("error_message"), qn::arg("error_type"));

PyObject* is_oom_error(qn::Function*, qn::Args<kIsOomError> a) {
    PyObject *message_text, *type_name;
    if (!a.str<"error_message">(message_text) || !a.str<"error_type">(type_name)) return nullptr;
    if (message_text == Py_None || type_name == Py_None) return none_has_no_lower();
    LoweredText message, type;
    if (!message.init(message_text) || !type.init(type_name)) return nullptr;
    const bool oom = core::is_oom([&](std::string_view n) { return message.contains(n); },
                                  [&](std::string_view n) { return type.contains(n); });
    return qn::boolean(oom);
}

// Exact lookup of an operation name (None and non-ASCII names are in neither set).
[[gnu::always_inline]] inline bool classify(PyObject* name, core::OpKind& kind) {
    kind = core::OpKind::Unknown;
    if (name == Py_None) return true;
    if (PyUnicode_READY(name) < 0) return false;
    if (!PyUnicode_IS_ASCII(name)) return true;
    kind = core::classify_operation(std::string_view(static_cast<const char*>(PyUnicode_DATA(name)),
                                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(name))));
    return true;
}

constexpr auto kIsChunkableOperation = qn::params(qn::arg("operation"));

PyObject* is_chunkable_operation(qn::Function*, qn::Args<kIsChunkableOperation> a) {
    PyObject* operation;
    core::OpKind kind;
    if (!a.str<"operation">(operation) || !classify(operation, kind)) return nullptr;
    return qn::boolean(kind == core::OpKind::Chunkable);
}

constexpr auto kScoreGpuSuitability = qn::params(qn::arg("data_size_bytes"), qn::arg("operation_type"),
                                                 qn::arg("available_gpu_memory"), qn::arg("headroom_ratio"));

PyObject* score_gpu_suitability(qn::Function*, qn::Args<kScoreGpuSuitability> a) {
    std::uint64_t data_size, available;
    PyObject* operation;
    double headroom;
    if (!a.get<"data_size_bytes">(data_size) || !a.str<"operation_type">(operation) ||
        !a.get<"available_gpu_memory">(available) || !a.get<"headroom_ratio">(headroom))
        return nullptr;
    core::OpKind kind;
    if (!classify(operation, kind)) return nullptr;
    return PyFloat_FromDouble(core::gpu_suitability(data_size, kind, available, headroom));
}

constexpr auto kCalculateMemoryPressure = qn::params(qn::arg("used_bytes"), qn::arg("total_bytes"));

PyObject* calculate_memory_pressure(qn::Function*, qn::Args<kCalculateMemoryPressure> a) {
    std::uint64_t used, total;
    if (!a.get<"used_bytes">(used) || !a.get<"total_bytes">(total)) return nullptr;
    return PyFloat_FromDouble(core::memory_pressure(used, total));
}

constexpr auto kRecommendHeadroom = qn::params(qn::arg("current_pressure"), qn::opt("base_headroom", nullptr, 0.5));

PyObject* recommend_headroom(qn::Function*, qn::Args<kRecommendHeadroom> a) {
    double pressure, base;
    if (!a.get<"current_pressure">(pressure) || !a.get<"base_headroom">(base)) return nullptr;
    return PyFloat_FromDouble(core::recommend_headroom(pressure, base));
}

// ---------------------------------------------------------------------------------------------

int exec_device_fit(PyObject* m) {
    g_no_memory = make_strategy(2, "No GPU memory available");
    g_fits = make_strategy(0, "Allocation fits in GPU memory");
    g_not_chunkable = make_strategy(2, "Operation not chunkable, falling back to CPU");
    g_lower = PyUnicode_InternFromString("lower");
    if (g_no_memory == nullptr || g_fits == nullptr || g_not_chunkable == nullptr || g_lower == nullptr) return -1;

    const bool ok =
        qn::add_function<estimate_allocation_bytes>(
            m, "estimate_allocation_bytes", nullptr,
            "Bytes needed for an array of `shape` with elements of `element_size` bytes,\n"
            "scaled up by `overhead_factor` when it is above 1.0; saturates at 2**63 - 1.") &&
        qn::add_function<calculate_safe_limit>(
            m, "calculate_safe_limit", nullptr,
            "Bytes of `available_bytes` that may be used when `headroom_ratio` (clamped\n"
            "to [0, 0.99]) is kept in reserve.") &&
        qn::add_function<decide_allocation_strategy>(
            m, "decide_allocation_strategy", nullptr,
            "(strategy, chunk_size, chunk_count, message): 0 allocates on the GPU in one\n"
            "piece, 1 runs on the GPU in chunk_count passes of chunk_size bytes, 2 runs\n"
            "on the CPU.") &&
        qn::add_function<compute_chunk_shapes>(
            m, "compute_chunk_shapes", nullptr,
            "Cuts `shape` along its first axis into chunks of at most `max_chunk_bytes`\n"
            "(at least one row each); returns the list of chunk shapes in order.") &&
        qn::add_function<calculate_optimal_chunks>(
            m, "calculate_optimal_chunks", nullptr,
            "Number of passes needed for `total_bytes` under the safe limit, within\n"
            "[min_chunks, max_chunks] (the minimum wins when the bounds cross).") &&
        qn::add_function<is_oom_error>(m, "is_oom_error", nullptr,
                                       "Whether an error's message and type name describe an out-of-memory failure.") &&
        qn::add_function<is_chunkable_operation>(m, "is_chunkable_operation", nullptr,
                                                 "Whether the array operation named `operation` can run in chunks.") &&
        qn::add_function<score_gpu_suitability>(m, "score_gpu_suitability", nullptr,
                                                "How well the data and operation suit the GPU, in [0.0, 0.9].") &&
        qn::add_function<calculate_memory_pressure>(
            m, "calculate_memory_pressure", nullptr,
            "Fraction of memory in use, in [0.0, 1.0] (1.0 when total_bytes is 0).") &&
        qn::add_function<recommend_headroom>(m, "recommend_headroom", nullptr,
                                             "Headroom ratio to keep in reserve at `current_pressure`, in [0.3, 0.8].");
    if (!ok) return -1;

    return qn::log_loaded(m, "Quarvel Device Fit Cython module loaded - IP protected");
}

}  // namespace

QN_MODULE(device_fit, "Memory and chunk planning for GPU array work.", exec_device_fit)
