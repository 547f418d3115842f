// velkora.gpu.device_memplan: GPU memory planning (allocation estimates, safe limits, the three-tier
// strategy, chunk counts and shapes, pressure, headroom, suitability, out-of-memory recognition).
#include "vkbind/vkbind.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "device_memplan_core.hpp"

namespace device_memplan {
using namespace core;  // the module's own pure C++, named unqualified here
namespace {

// Interned names, created at exec: the method looked up on str subclasses.
#define DEVICE_MEMPLAN_NAMES(X) X(lower, "lower")
VK_NAMES(DEVICE_MEMPLAN_NAMES);

struct ModuleState {
    // The fixed strategy results, returned as the same objects on every call.
    PyObject* no_gpu = nullptr;
    PyObject* fits = nullptr;
    PyObject* not_chunkable = nullptr;
    // Chunked-strategy messages for small counts, made on first use: the common counts then cost
    // no formatting and no string allocation. Strings are immutable, so sharing is unobservable
    // beyond identity.
    static constexpr uint64_t kCachedCounts = 256;
    PyObject* chunk_messages[kCachedCounts] = {};
    Names names;

    auto owned() { return std::tie(no_gpu, fits, not_chunkable, chunk_messages, names); }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

// ---- helpers ----------------------------------------------------------------------------------

// One item of a shape tuple, converted when it is read.
template <class T>
bool read_dim(PyObject* item, T& out, const char* func) {
    return vk::convert(item, vk::IntConv<T>{out}, vk::ArgCtx{func, "shape"});
}

// Exact-str operation names: non-ASCII text can never equal one of the (ASCII) names.
OpClass classify(PyObject* op) {
    if (op == Py_None || !PyUnicode_IS_ASCII(op)) return OpClass::Other;
    return classify_op(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(op)),
                                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(op))));
}

// ---- allocation estimate and strategy ---------------------------------------------------------

constexpr auto kEstimate = vk::sig("estimate_allocation_bytes", "shape", "element_size",
    vk::arg("overhead_factor") = 1.0);
constexpr auto kSafeLimit = vk::sig("calculate_safe_limit", "available_bytes", "headroom_ratio");
constexpr auto kDecide = vk::sig("decide_allocation_strategy", "requested_bytes",
    "available_bytes", "headroom_ratio", "is_chunkable");
constexpr auto kOptimal = vk::sig("calculate_optimal_chunks", "total_bytes", "available_bytes",
    "headroom_ratio", vk::arg("min_chunks") = 1, vk::arg("max_chunks") = 1000);
constexpr auto kShapes = vk::sig("compute_chunk_shapes", "shape", "element_size",
    "max_chunk_bytes");

PyObject* estimate_allocation_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    PyObject* shape = nullptr;
    int64_t element_size = 0;
    double overhead;
    if (!vk::parse(kEstimate, args, nargs, kwnames, vk::tuple_or_none(shape),
                   vk::i64(element_size), vk::f64(overhead))) {
        return nullptr;
    }
    if (shape == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    uint64_t total = 1;
    const Py_ssize_t n = PyTuple_GET_SIZE(shape);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int64_t dim = 0;
        if (!read_dim(PyTuple_GET_ITEM(shape, i), dim, kEstimate.name)) return nullptr;
        uint64_t ended;
        if (!fold_dimension(total, dim, ended)) return PyLong_FromUnsignedLongLong(ended);
    }
    return PyLong_FromUnsignedLongLong(finish_estimate(total, element_size, overhead));
}

PyObject* calculate_safe_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    uint64_t available = 0;
    double headroom = 0.0;
    if (!vk::parse(kSafeLimit, args, nargs, kwnames, vk::u64(available), vk::f64(headroom))) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(safe_limit(available, headroom));
}

PyObject* chunk_message(uint64_t count) {
    static constexpr char kHead[] = "Chunking into ";
    static constexpr char kTail[] = " GPU passes";
    char buf[sizeof(kHead) + 20 + sizeof(kTail)];
    char* p = buf;
    std::memcpy(p, kHead, sizeof(kHead) - 1);
    p += sizeof(kHead) - 1;
    p = std::to_chars(p, buf + sizeof(buf), count).ptr;
    std::memcpy(p, kTail, sizeof(kTail) - 1);
    p += sizeof(kTail) - 1;
    return vk::ascii_str(buf, static_cast<std::size_t>(p - buf));
}

PyObject* chunked_strategy(ModuleState* st, uint64_t limit, uint64_t count) {
    PyObject* message;
    if (count < ModuleState::kCachedCounts) {
        PyObject*& slot = st->chunk_messages[count];
        if (slot == nullptr) slot = chunk_message(count);
        message = Py_XNewRef(slot);
    } else {
        message = chunk_message(count);
    }
    PyObject* size = message ? PyLong_FromUnsignedLongLong(limit) : nullptr;
    PyObject* n = size ? PyLong_FromUnsignedLongLong(count) : nullptr;
    PyObject* t = n ? PyTuple_New(4) : nullptr;
    if (t == nullptr) {
        Py_XDECREF(message);
        Py_XDECREF(size);
        Py_XDECREF(n);
        return nullptr;
    }
    PyTuple_SET_ITEM(t, 0, PyLong_FromLong(1));  // a cached small int: cannot fail
    PyTuple_SET_ITEM(t, 1, size);
    PyTuple_SET_ITEM(t, 2, n);
    PyTuple_SET_ITEM(t, 3, message);
    return t;
}

PyObject* decide_allocation_strategy(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    uint64_t requested = 0, available = 0;
    double headroom = 0.0;
    bool chunkable = false;
    if (!vk::parse(kDecide, args, nargs, kwnames, vk::u64(requested), vk::u64(available),
                   vk::f64(headroom), vk::flag(chunkable))) {
        return nullptr;
    }
    ModuleState* st = state(module);
    const uint64_t limit = safe_limit(available, headroom);
    if (limit == 0) return Py_NewRef(st->no_gpu);
    if (requested <= limit) return Py_NewRef(st->fits);
    if (!chunkable) return Py_NewRef(st->not_chunkable);
    return chunked_strategy(st, limit, chunk_count(requested, limit));
}

PyObject* calculate_optimal_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    uint64_t total = 0, available = 0;
    double headroom = 0.0;
    int64_t min_chunks, max_chunks;
    if (!vk::parse(kOptimal, args, nargs, kwnames, vk::u64(total), vk::u64(available),
                   vk::f64(headroom), vk::i64(min_chunks), vk::i64(max_chunks))) {
        return nullptr;
    }
    return PyLong_FromLongLong(optimal_chunks(total, available, headroom, min_chunks, max_chunks));
}

// One chunk: (rows,) + shape[1:], the trailing dimension objects reused.
PyObject* chunk_tuple(PyObject* shape, Py_ssize_t n, PyObject* rows) {
    PyObject* t = PyTuple_New(n);
    if (t == nullptr) return nullptr;
    PyTuple_SET_ITEM(t, 0, Py_NewRef(rows));
    for (Py_ssize_t i = 1; i < n; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
    return t;
}

// The most memory this process can be given: the machine's physical memory, lowered by the
// process's address-space and data limits where it has them. 2^64 - 1 when nothing is known.
uint64_t obtainable_bytes() {
    uint64_t bound = kU64Max;
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) bound = std::min<uint64_t>(bound, status.ullTotalPhys);
#else
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    uint64_t phys;
    if (pages > 0 && page > 0 &&
        !__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &phys)) {
        bound = std::min(bound, phys);
    }
#endif
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit rl;
        if (getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
            bound = std::min<uint64_t>(bound, static_cast<uint64_t>(rl.rlim_cur));
        }
    }
#endif
    return bound;
}

// Lists below this size are built without asking: every machine that runs the interpreter has it.
constexpr uint64_t kAlwaysObtainable = uint64_t{64} << 20;

// False, with MemoryError naming the chunk count, when the list of chunk tuples would need more
// memory than this process can obtain: it is refused before anything is built.
bool chunk_list_buildable(uint64_t count, Py_ssize_t dims) {
    const uint64_t need = chunk_list_bytes(
        count, static_cast<uint64_t>(dims), sizeof(PyTupleObject) - sizeof(PyObject*) + 2 * sizeof(void*));
    if (need <= kAlwaysObtainable) return true;
    const uint64_t limit = obtainable_bytes();
    if (need <= limit && count <= static_cast<uint64_t>(PY_SSIZE_T_MAX / sizeof(PyObject*))) return true;
    PyErr_Format(PyExc_MemoryError,
                 "compute_chunk_shapes: %llu chunks would need about %llu bytes, more than the %llu "
                 "this process can obtain",
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(need),
                 static_cast<unsigned long long>(limit));
    return false;
}

PyObject* compute_chunk_shapes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* shape = nullptr;
    int64_t element_size = 0;
    uint64_t max_chunk_bytes = 0;
    if (!vk::parse(kShapes, args, nargs, kwnames, vk::tuple_or_none(shape),
                   vk::i64(element_size), vk::u64(max_chunk_bytes))) {
        return nullptr;
    }
    if (element_size < 1) {
        PyErr_SetString(PyExc_ValueError, "element_size must be positive");
        return nullptr;
    }
    if (max_chunk_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
        return nullptr;
    }
    if (shape == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(shape);
    if (n == 0) {  // a scalar: one chunk, the same empty tuple
        PyObject* list = PyList_New(1);
        if (list != nullptr) PyList_SET_ITEM(list, 0, Py_NewRef(shape));
        return list;
    }

    RowSize row(element_size);
    for (Py_ssize_t i = 1; i < n; ++i) {
        uint64_t dim = 0;
        if (!read_dim(PyTuple_GET_ITEM(shape, i), dim, kShapes.name)) return nullptr;
        row.fold(dim);
    }
    int64_t first_dim = 0;
    if (!read_dim(PyTuple_GET_ITEM(shape, 0), first_dim, kShapes.name)) return nullptr;

    const uint64_t rows = rows_per_chunk(row.value(), max_chunk_bytes);
    const uint64_t count = chunks_for(first_dim, rows);
    if (!chunk_list_buildable(count, n)) return nullptr;
    vk::Ref list = vk::Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list || count == 0) return list.release();

    // Every chunk but the last holds `rows` rows (then rows < first_dim fits in int64).
    const uint64_t first = static_cast<uint64_t>(first_dim);
    const uint64_t last_rows = first - rows * (count - 1);
    vk::Ref last = vk::Ref::steal(PyLong_FromUnsignedLongLong(last_rows));
    if (!last) return nullptr;
    if (count > 1) {
        vk::Ref full = vk::Ref::steal(PyLong_FromUnsignedLongLong(rows));
        if (!full) return nullptr;
        for (uint64_t k = 0; k + 1 < count; ++k) {
            PyObject* t = chunk_tuple(shape, n, full.get());
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), t);
        }
    }
    PyObject* t = chunk_tuple(shape, n, last.get());
    if (t == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(count - 1), t);
    return list.release();
}

// ---- pressure, suitability and out-of-memory heuristics ---------------------------------------

constexpr auto kPressure = vk::sig("calculate_memory_pressure", "used_bytes", "total_bytes");
constexpr auto kHeadroom = vk::sig("recommend_headroom", "current_pressure",
    vk::arg("base_headroom") = 0.5);
constexpr auto kSuitability = vk::sig("score_gpu_suitability", "data_size_bytes", "operation_type",
    "available_gpu_memory", "headroom_ratio");
constexpr auto kChunkable = vk::sig("is_chunkable_operation", "operation");
constexpr auto kOom = vk::sig("is_oom_error", "error_message", "error_type");

PyObject* calculate_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    uint64_t used = 0, total = 0;
    if (!vk::parse(kPressure, args, nargs, kwnames, vk::u64(used), vk::u64(total))) return nullptr;
    return PyFloat_FromDouble(memory_pressure(used, total));
}

PyObject* py_recommend_headroom(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    double pressure = 0.0, base;
    if (!vk::parse(kHeadroom, args, nargs, kwnames, vk::f64(pressure), vk::f64(base))) {
        return nullptr;
    }
    return PyFloat_FromDouble(recommend_headroom(pressure, base));
}

PyObject* score_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    uint64_t data = 0, available = 0;
    PyObject* op = nullptr;
    double headroom = 0.0;
    if (!vk::parse(kSuitability, args, nargs, kwnames, vk::u64(data), vk::str_or_none(op),
                   vk::u64(available), vk::f64(headroom))) {
        return nullptr;
    }
    const double size = size_score(data, safe_limit(available, headroom));
    return PyFloat_FromDouble(size * op_score(classify(op)));
}

PyObject* is_chunkable_operation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    PyObject* op = nullptr;
    if (!vk::parse(kChunkable, args, nargs, kwnames, vk::str_or_none(op))) return nullptr;
    return vk::boolean(classify(op) == OpClass::Chunkable);
}

// Applies `test` to the text lower-cased. ASCII text is folded into a buffer (on the stack for the
// usual short texts); other text is lower-cased by the interpreter, since full Unicode lower-casing
// can turn non-ASCII letters into ASCII ones (KELVIN SIGN into "k"). -1 on error.
template <class Test>
int test_lowered(const ModuleState* st, PyObject* text, std::size_t shortest, Test&& test) {
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    if (PyUnicode_IS_ASCII(text)) {
        if (n < shortest) return 0;  // ASCII keeps its length when lower-cased
        const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        char small[256];
        if (n <= sizeof(small)) return test(ascii_lower(data, n, small));
        std::unique_ptr<char[]> big(new (std::nothrow) char[n]);
        if (!big) {
            PyErr_NoMemory();
            return -1;
        }
        return test(ascii_lower(data, n, big.get()));
    }
    PyObject* self = text;
    vk::Ref lower = vk::Ref::steal(PyObject_VectorcallMethod(
        st->names[s_lower], &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!lower) return -1;
    PyObject* l = lower.get();
    const std::size_t ln = static_cast<std::size_t>(PyUnicode_GET_LENGTH(l));
    switch (PyUnicode_KIND(l)) {
        case PyUnicode_1BYTE_KIND:  // Latin-1 units above 0x7f never match an ASCII word
            return test(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(l)), ln));
        case PyUnicode_2BYTE_KIND: return test(PyUnicode_2BYTE_DATA(l), ln);
        default: return test(PyUnicode_4BYTE_DATA(l), ln);
    }
}

PyObject* is_oom_error(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject *message = nullptr, *type = nullptr;
    if (!vk::parse(kOom, args, nargs, kwnames, vk::str_or_none(message), vk::str_or_none(type))) {
        return nullptr;
    }
    // Both texts are lower-cased before any test, so None in either place fails first.
    if (message == Py_None || type == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
        return nullptr;
    }
    const ModuleState* st = state(module);
    const int by_type = test_lowered(st, type, kShortestType, [](auto... s) -> int { return type_says_oom(s...); });
    if (by_type != 0) return by_type < 0 ? nullptr : vk::boolean(true);
    const int by_message =
        test_lowered(st, message, kShortestMessage, [](auto... s) -> int { return message_says_oom(s...); });
    return by_message < 0 ? nullptr : vk::boolean(by_message != 0);
}

// ---- module -----------------------------------------------------------------------------------

PyMethodDef strategy_functions[] = {
    vk::def_function(kEstimate, estimate_allocation_bytes,
                     "Bytes needed by an array of `shape` and `element_size` (each a 64-bit "
                     "signed integer); saturates at 2**63 - 1 before the overhead factor, at 2**64 "
                     "- 1 after it."),
    vk::def_function(kSafeLimit, calculate_safe_limit,
                     "Usable bytes after keeping the headroom fraction (0.0 to 0.99) free."),
    vk::def_function(kDecide, decide_allocation_strategy,
                     "(strategy_code, chunk_size, chunk_count, message): strategy 0 direct, 1 "
                     "chunked, 2 CPU; chunk_size is the most bytes one chunk may take (the safe "
                     "limit) when chunked, else 0; chunk_count is 1 unless chunked."),
    vk::def_function(kOptimal, calculate_optimal_chunks,
                     "Number of chunks that fit the safe limit, clamped to the bounds (64-bit "
                     "signed integers); the quotient saturates at 2**63 - 1."),
    vk::def_function(kShapes, compute_chunk_shapes,
                     "Chunk shapes splitting `shape` along its first axis within max_chunk_bytes "
                     "each. MemoryError, before anything is built, when the list would need more "
                     "than the machine's physical memory or the process's memory limits; costs "
                     "about 8 * len(shape) + 48 bytes a chunk."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef heuristic_functions[] = {
    vk::def_function(kPressure, calculate_memory_pressure,
                     "Used fraction of the device, 0.0 to 1.0; an empty device counts as full."),
    vk::def_function(kHeadroom, py_recommend_headroom,
                     "Headroom fraction for the pressure, 0.3 to 0.8."),
    vk::def_function(kSuitability, score_gpu_suitability,
                     "Size score times operation score, 0.0 to 1.0."),
    vk::def_function(kChunkable, is_chunkable_operation,
                     "Whether the operation's result can be produced chunk by chunk."),
    vk::def_function(kOom, is_oom_error,
                     "Whether an exception's text and type name say the device ran out of memory."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* fixed_strategy(long code, const char* message) {
    return Py_BuildValue("(lkks)", code, 0UL, 1UL, message);
}

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    st->no_gpu = fixed_strategy(2, "No GPU memory available");
    st->fits = fixed_strategy(0, "Allocation fits in GPU memory");
    st->not_chunkable = fixed_strategy(2, "Operation not chunkable, falling back to CPU");
    if (!st->no_gpu || !st->fits || !st->not_chunkable || !st->names.init()) return -1;

    if (PyModule_AddFunctions(m, strategy_functions) < 0) return -1;
    if (PyModule_AddFunctions(m, heuristic_functions) < 0) return -1;

    return vk::log_loaded(m, "Native GPU memory planner loaded") ? 0 : -1;
}

}  // namespace
}  // namespace device_memplan

VK_MODULE(device_memplan, "velkora.gpu.device_memplan",
          "GPU memory planning: allocation estimates, strategy, chunking, pressure and out-of-memory "
          "heuristics.")
