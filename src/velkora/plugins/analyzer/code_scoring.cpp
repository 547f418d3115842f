// velkora.plugins.analyzer.code_scoring: indicator scoring of source text, workload classification,
// GPU suitability and speedup estimates. Every function is pure; the module keeps only read-only
// tables built at import.
#include <cstring>
#include <iterator>

#include "vkbind/vkbind.hpp"

#include "code_scoring_core.hpp"

namespace code_scoring {
namespace {

constexpr const char* kFrameworkNames[3] = {"numpy", "pandas", "sklearn"};
constexpr const char* kFrameworkPatterns[3] = {
    R"(\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b)",
    R"(\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b)",
    R"(\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b)",
};

struct ModuleState {
    PyObject* patterns[3] = {};  // compiled with re.IGNORECASE, in kFrameworkNames order
    PyObject* findall[3] = {};   // their bound `findall` methods
    PyObject* str_lower = nullptr;
    // One-byte strings are lowered while they are scanned; checked against str.lower at import.
    bool fold_one_byte = false;

    auto owned() { return std::tie(findall, patterns, str_lower); }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

// ---- text scanning ------------------------------------------------------------------------------

inline bool ensure_ready([[maybe_unused]] PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    return true;
#endif
}

template <class M>
void scan_lowered_str(const M& m, PyObject* s, typename M::Mask& found) {
    const void* data = PyUnicode_DATA(s);
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            m.scan_lowered(static_cast<const Py_UCS1*>(data), n, found);
            break;
        case PyUnicode_2BYTE_KIND:
            m.scan_lowered(static_cast<const Py_UCS2*>(data), n, found);
            break;
        default:
            m.scan_lowered(static_cast<const Py_UCS4*>(data), n, found);
            break;
    }
}

// Marks the literals of `m` that occur in `text` lower-cased as str.lower() would. `text` is an
// exact str; wider strings go through str.lower() itself (full mappings, final sigma).
template <class M>
bool scan_text(const ModuleState* st, const M& m, PyObject* text, typename M::Mask& found) {
    if (!ensure_ready(text)) return false;
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && st->fold_one_byte) {
        m.scan_folding(static_cast<const std::uint8_t*>(PyUnicode_DATA(text)),
                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), found);
        return true;
    }
    vk::Ref lowered = vk::Ref::steal(PyObject_CallOneArg(st->str_lower, text));
    if (!lowered) return false;
    if (!PyUnicode_Check(lowered.get())) {
        PyErr_SetString(PyExc_TypeError, "str.lower() returned a non-string");
        return false;
    }
    if (!ensure_ready(lowered.get())) return false;
    scan_lowered_str(m, lowered.get(), found);
    return true;
}

// Lower-casing None fails exactly as str.lower(None) does.
[[gnu::cold]] PyObject* lower_none_error(const ModuleState* st) {
    vk::Ref r = vk::Ref::steal(PyObject_CallOneArg(st->str_lower, Py_None));
    if (r) PyErr_SetString(PyExc_TypeError, "cannot lower-case None");
    return nullptr;
}

// Whether lowering each one-byte code unit on its own, through the matchers' fold tables, gives the
// same classes as str.lower() does.
template <class M>
bool folding_agrees(const M& m, PyObject* const (&lowered)[256]) {
    for (int c = 0; c < 256; ++c) {
        PyObject* l = lowered[c];
        const Py_ssize_t n = PyUnicode_GET_LENGTH(l);
        const int kind = PyUnicode_KIND(l);
        const void* data = PyUnicode_DATA(l);
        auto class_of = [&](Py_ssize_t i) -> int {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            return ch < 128 ? m.exact_class[ch] : 0;
        };
        if (m.fold_class[c] != 0) {
            if (n != 1 || class_of(0) != m.fold_class[c]) return false;
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (class_of(i) != 0) return false;
            }
        }
    }
    return true;
}

bool check_one_byte_folding(ModuleState* st, bool& agrees) {
    PyObject* lowered[256] = {};
    bool ok = true;
    for (int c = 0; c < 256 && ok; ++c) {
        vk::Ref ch = vk::Ref::steal(PyUnicode_FromOrdinal(c));
        lowered[c] = ch ? PyObject_CallOneArg(st->str_lower, ch.get()) : nullptr;
        ok = lowered[c] != nullptr && PyUnicode_Check(lowered[c]) && ensure_ready(lowered[c]);
    }
    if (ok) {
        agrees = folding_agrees(core::kIndicatorMatcher, lowered) &&
                 folding_agrees(core::kFrameworkMatcher, lowered);
    }
    for (PyObject* l : lowered) Py_XDECREF(l);
    if (!ok && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "str.lower() returned a non-string");
    }
    return ok;
}

// ---- functions ----------------------------------------------------------------------------------

PyObject* make_float_tuple(const double* v, Py_ssize_t n) {
    vk::Ref t = vk::Ref::steal(PyTuple_New(n));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (f == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, f);
    }
    return t.release();
}

// Index into kFrameworkNames, -1 for any other name, -2 with an exception set. Exact and
// case-sensitive; the three names differ in length.
int framework_index(PyObject* framework) {
    if (framework == Py_None) return -1;
    if (!ensure_ready(framework)) return -2;
    if (!PyUnicode_IS_ASCII(framework)) return -1;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(framework);
    const int idx = n == 5 ? 0 : n == 6 ? 1 : n == 7 ? 2 : -1;
    if (idx < 0 || std::memcmp(PyUnicode_DATA(framework), kFrameworkNames[idx],
                               static_cast<std::size_t>(n)) != 0) {
        return -1;
    }
    return idx;
}

constexpr auto kQuick = vk::sig("quick_framework_score", "code", "framework");

PyObject* quick_framework_score(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* code = nullptr;
    PyObject* framework = nullptr;
    if (!vk::parse(kQuick, args, nargs, kwnames, vk::str_or_none(code),
                   vk::str_or_none(framework))) {
        return nullptr;
    }
    const int idx = framework_index(framework);
    if (idx == -2) return nullptr;
    if (idx < 0) return PyFloat_FromDouble(0.0);
    PyObject* argv[2] = {nullptr, code};
    vk::Ref found = vk::Ref::steal(PyObject_Vectorcall(
        state(module)->findall[idx], argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!found) return nullptr;
    const Py_ssize_t matches =
        PyList_CheckExact(found.get()) ? PyList_GET_SIZE(found.get()) : PyObject_Size(found.get());
    if (matches < 0) return nullptr;
    return PyFloat_FromDouble(core::quick_score(static_cast<std::size_t>(matches)));
}

constexpr auto kScoreIndicators = vk::sig("score_indicators", "code", "function_name");

PyObject* score_indicators(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* code = nullptr;
    PyObject* function_name = nullptr;
    if (!vk::parse(kScoreIndicators, args, nargs, kwnames, vk::str_or_none(code),
                   vk::str_or_none(function_name))) {
        return nullptr;
    }
    const ModuleState* st = state(module);
    const auto& m = core::kIndicatorMatcher;
    if (code == Py_None) return lower_none_error(st);
    core::IndicatorMask in_code{}, in_either{};
    if (!scan_text(st, m, code, in_code)) return nullptr;
    in_either = in_code;
    if (function_name != Py_None && !scan_text(st, m, function_name, in_either)) {
        return nullptr;
    }
    // The name feeds the GPU-operation and embarrassingly-parallel counts only.
    const int counts[7] = {
        m.count(core::kCpuList, in_code),         m.count(core::kMemoryList, in_code),
        m.count(core::kParallelList, in_code),    m.count(core::kGpuOpList, in_either),
        m.count(core::kLargeDataList, in_code),   m.count(core::kEmbarrassingList, in_either),
        m.count(core::kSequentialList, in_code),
    };
    vk::Ref t = vk::Ref::steal(PyTuple_New(7));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < 7; ++i) {
        PyObject* v = PyLong_FromLong(counts[i]);
        if (v == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, v);
    }
    return t.release();
}

constexpr auto kNormalize = vk::sig("normalize_scores", "cpu_score", "memory_score",
    "parallel_score", "gpu_op_score", "large_data_score");

PyObject* normalize_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    int32_t cpu = 0, memory = 0, parallel = 0, gpu_op = 0, large_data = 0;
    if (!vk::parse(kNormalize, args, nargs, kwnames, vk::i32(cpu), vk::i32(memory),
                   vk::i32(parallel), vk::i32(gpu_op), vk::i32(large_data))) {
        return nullptr;
    }
    const auto v = core::normalize_scores(cpu, memory, parallel, gpu_op, large_data);
    return make_float_tuple(v.data(), 5);
}

constexpr auto kFrameworkPatternsSig = vk::sig("score_framework_patterns", "code");

PyObject* score_framework_patterns(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    PyObject* code = nullptr;
    if (!vk::parse(kFrameworkPatternsSig, args, nargs, kwnames, vk::str_or_none(code))) {
        return nullptr;
    }
    const ModuleState* st = state(module);
    if (code == Py_None) return lower_none_error(st);
    const auto& m = core::kFrameworkMatcher;
    core::FrameworkMask found{};
    if (!scan_text(st, m, code, found)) return nullptr;
    const auto v = core::framework_norms(m.count(0, found), m.count(1, found), m.count(2, found));
    return make_float_tuple(v.data(), 3);
}

[[gnu::cold]] bool err_major_range() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return false;
}

// The factor for a compute capability such as "8.6": from the integer before the first ".", parsed
// as int() parses a string. Unparsable text gives 1.0; a value beyond 32 bits raises OverflowError.
bool capability_factor(PyObject* capability, double& factor) {
    factor = 1.0;
    if (capability == Py_None) return true;
    if (!ensure_ready(capability)) return false;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(capability);
    if (len == 0) return true;
    int64_t major = 0;
    if (PyUnicode_IS_ASCII(capability)) {
        const auto* p = static_cast<const std::uint8_t*>(PyUnicode_DATA(capability));
        const void* dot = std::memchr(p, '.', static_cast<std::size_t>(len));
        const std::size_t end = dot ? static_cast<const std::uint8_t*>(dot) - p : len;
        if (core::parse_plain_int(p, end, major)) {
            if (major < INT32_MIN || major > INT32_MAX) return err_major_range();
            factor = core::capability_factor(static_cast<int32_t>(major));
            return true;
        }
    }
    // Everything else (whitespace, non-ASCII digits, malformed or long text) goes to int() itself.
    Py_ssize_t end = PyUnicode_FindChar(capability, '.', 0, len, 1);
    if (end == -2) return false;
    if (end == -1) end = len;
    vk::Ref piece = vk::Ref::steal(PyUnicode_Substring(capability, 0, end));
    if (!piece) return false;
    vk::Ref value = vk::Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        return true;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) return err_major_range();
    factor = core::capability_factor(static_cast<int32_t>(v));
    return true;
}

constexpr auto kGpuSuitability = vk::sig("calculate_gpu_suitability", "gpu_operation_score",
    "gpu_data_size_score", "cpu_intensity", "gpu_available", "compute_capability");

PyObject* calculate_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    double op = 0.0, data = 0.0, cpu = 0.0;
    bool available = false;
    PyObject* capability = nullptr;
    if (!vk::parse(kGpuSuitability, args, nargs, kwnames, vk::f64(op), vk::f64(data),
                   vk::f64(cpu), vk::flag(available), vk::str_or_none(capability))) {
        return nullptr;
    }
    if (!available) return PyFloat_FromDouble(0.0);
    double factor = 1.0;
    if (!capability_factor(capability, factor)) return nullptr;
    return PyFloat_FromDouble(core::gpu_suitability(op, data, cpu, factor));
}

constexpr auto kSpeedup = vk::sig("estimate_gpu_speedup", "gpu_operation_score",
    "gpu_data_size_score", "gpu_available");

PyObject* estimate_gpu_speedup(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    double op = 0.0, data = 0.0;
    bool available = false;
    if (!vk::parse(kSpeedup, args, nargs, kwnames, vk::f64(op), vk::f64(data),
                   vk::flag(available))) {
        return nullptr;
    }
    return PyFloat_FromDouble(core::estimate_gpu_speedup(op, data, available));
}

constexpr auto kParallel = vk::sig("calculate_parallelization_potential", "base_parallel_score",
    "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential");

PyObject* calculate_parallelization_potential(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    double base = 0.0, bonus = 0.0, penalty = 0.0, chunking = 0.0;
    if (!vk::parse(kParallel, args, nargs, kwnames, vk::f64(base), vk::f64(bonus),
                   vk::f64(penalty), vk::f64(chunking))) {
        return nullptr;
    }
    return PyFloat_FromDouble(core::parallelization_potential(base, bonus, penalty, chunking));
}

constexpr auto kWorkload = vk::sig("determine_workload_pattern", "cpu_intensity",
    "memory_intensity", "parallelization_potential", "gpu_suitability", "gpu_operation_score",
    "numpy_score", "pandas_score", "sklearn_score", "sequential_count", "embarrassing_count",
    "cpu_threshold", "memory_threshold", "gpu_threshold", "numpy_threshold", "pandas_threshold",
    "sklearn_threshold", "gpu_available");

PyObject* determine_workload_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    core::WorkloadInputs in{};
    if (!vk::parse(kWorkload, args, nargs, kwnames, vk::f64(in.cpu_intensity),
                   vk::f64(in.memory_intensity), vk::f64(in.parallelization_potential),
                   vk::f64(in.gpu_suitability), vk::f64(in.gpu_operation_score),
                   vk::f64(in.numpy_score), vk::f64(in.pandas_score), vk::f64(in.sklearn_score),
                   vk::i32(in.sequential_count), vk::i32(in.embarrassing_count),
                   vk::f64(in.cpu_threshold), vk::f64(in.memory_threshold),
                   vk::f64(in.gpu_threshold), vk::f64(in.numpy_threshold),
                   vk::f64(in.pandas_threshold), vk::f64(in.sklearn_threshold),
                   vk::flag(in.gpu_available))) {
        return nullptr;
    }
    return PyLong_FromLong(core::determine_workload_pattern(in));
}

constexpr auto kThreshold = vk::sig("update_adaptive_threshold", "current_threshold",
    "success_rate", "learning_rate", "min_threshold", "max_threshold");

PyObject* update_adaptive_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    double current = 0.0, success = 0.0, rate = 0.0, lo = 0.0, hi = 0.0;
    if (!vk::parse(kThreshold, args, nargs, kwnames, vk::f64(current), vk::f64(success),
                   vk::f64(rate), vk::f64(lo), vk::f64(hi))) {
        return nullptr;
    }
    return PyFloat_FromDouble(core::update_adaptive_threshold(current, success, rate, lo, hi));
}

PyMethodDef module_functions[] = {
    vk::def_function(kQuick, quick_framework_score,
                     "Framework pattern matches in code, a tenth each, 1.0 above ten; 0.0 for an "
                     "unknown framework."),
    vk::def_function(kScoreIndicators, score_indicators,
                     "Counts of the cpu, memory, parallel, gpu_op, large_data, embarrassing and "
                     "sequential indicators present in the lower-cased code (and name, for "
                     "gpu_op and embarrassing)."),
    vk::def_function(kNormalize, normalize_scores,
                     "The first five indicator counts scaled by their list lengths and clamped "
                     "to 0.0-1.0."),
    vk::def_function(kFrameworkPatternsSig, score_framework_patterns,
                     "Fractions of the numpy, pandas and sklearn indicators present in the "
                     "lower-cased code."),
    vk::def_function(kWorkload, determine_workload_pattern,
                     "The workload pattern code (0-13) chosen by a fixed-priority decision list."),
    vk::def_function(kParallel, calculate_parallelization_potential,
                     "Parallel evidence combined into one score in 0.0-1.0."),
    vk::def_function(kSpeedup, estimate_gpu_speedup,
                     "Estimated GPU speedup factor (1.0 without a GPU or GPU operations)."),
    vk::def_function(kGpuSuitability, calculate_gpu_suitability,
                     "GPU suitability in 0.0-1.0 from code scores and the device's compute "
                     "capability."),
    vk::def_function(kThreshold, update_adaptive_threshold,
                     "The threshold moved by learning_rate after a high or low success rate, "
                     "clamped."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- module -------------------------------------------------------------------------------------

// The word lists as read-only attributes, {list name: (word, ...)} in list order, so that a caller that
// hands the scorer words can check they are ones it counts.
constexpr const char* kIndicatorListNames[] = {"cpu", "memory", "parallel", "gpu_op", "large_data",
                                               "embarrassing", "sequential"};
constexpr const char* kFrameworkListNames[] = {"numpy", "pandas", "sklearn"};
static_assert(std::size(kIndicatorListNames) == core::kIndicators.ends.size());
static_assert(std::size(kFrameworkListNames) == core::kFrameworks.ends.size());

template <class WS, std::size_t N>
bool add_word_lists(PyObject* m, const char* attribute, const WS& ws, const char* const (&names)[N]) {
    vk::Ref lists = vk::Ref::steal(PyDict_New());
    if (!lists) return false;
    std::size_t begin = 0;
    for (std::size_t l = 0; l < N; ++l) {
        const std::size_t end = ws.ends[l];
        vk::Ref words = vk::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(end - begin)));
        if (!words) return false;
        for (std::size_t i = begin; i < end; ++i) {
            PyObject* w = PyUnicode_FromStringAndSize(ws.words[i].data(),
                                                      static_cast<Py_ssize_t>(ws.words[i].size()));
            if (w == nullptr) return false;
            PyTuple_SET_ITEM(words.get(), static_cast<Py_ssize_t>(i - begin), w);
        }
        if (PyDict_SetItemString(lists.get(), names[l], words.get()) < 0) return false;
        begin = end;
    }
    vk::Ref view = vk::Ref::steal(PyDictProxy_New(lists.get()));
    return view && PyModule_AddObjectRef(m, attribute, view.get()) == 0;
}

bool compile_patterns(PyObject* m, ModuleState* st) {
    vk::Ref re = vk::Ref::steal(PyObject_GetAttrString(m, "re"));
    if (!re) return false;
    vk::Ref compile = vk::Ref::steal(PyObject_GetAttrString(re.get(), "compile"));
    if (!compile) return false;
    vk::Ref ignorecase = vk::Ref::steal(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!ignorecase) return false;
    for (int i = 0; i < 3; ++i) {
        st->patterns[i] =
            PyObject_CallFunction(compile.get(), "sO", kFrameworkPatterns[i], ignorecase.get());
        if (st->patterns[i] == nullptr) return false;
        st->findall[i] = PyObject_GetAttrString(st->patterns[i], "findall");
        if (st->findall[i] == nullptr) return false;
    }
    return true;
}

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    st->str_lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (st->str_lower == nullptr) return -1;
    bool agrees = false;
    if (!check_one_byte_folding(st, agrees)) return -1;
    st->fold_one_byte = agrees;

    if (!vk::import_module(m, "re") || !compile_patterns(m, st)) return -1;
    if (PyModule_AddFunctions(m, module_functions) < 0) return -1;
    if (!add_word_lists(m, "INDICATOR_WORDS", core::kIndicators, kIndicatorListNames) ||
        !add_word_lists(m, "FRAMEWORK_WORDS", core::kFrameworks, kFrameworkListNames)) {
        return -1;
    }
    return vk::log_loaded(m, "Native code scoring loaded: single-pass indicator scoring "
                             "and precompiled framework patterns active") ? 0 : -1;
}

}  // namespace
}  // namespace code_scoring

// The functions are added in exec, after the pattern table exists.
VK_MODULE(code_scoring, "velkora.plugins.analyzer.code_scoring",
          "Workload analysis: indicator scoring of source text, workload classification, GPU "
          "suitability and speedup estimates.")
