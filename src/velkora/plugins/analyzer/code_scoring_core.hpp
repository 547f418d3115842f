// Workload analysis: indicator word lists, a single-pass multi-literal matcher, and the scalar
// classification and estimate formulas. Pure C++; the binding lives in code_scoring.cpp.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace code_scoring::core {

// Lower bound first, then the smaller of value and upper bound. A NaN value passes through, as the
// comparisons of a Python `min` would let it.
inline double clamp(double value, double min_val, double max_val) {
    if (value < min_val) return min_val;
    return max_val < value ? max_val : value;
}

// ---- word lists --------------------------------------------------------------------------------
// Every entry is tested as a plain substring of lower-cased text; an entry counts once however
// often it occurs. A word set is several ordered lists stored back to back.

template <std::size_t NWords, std::size_t NLists>
struct WordSet {
    std::array<std::string_view, NWords> words;
    std::array<std::size_t, NLists> ends;  // exclusive end of each list within `words`
};

// cpu, memory, parallel, gpu_op, large_data, embarrassing, sequential.
inline constexpr WordSet<101, 7> kIndicators{
    {
        // cpu (15)
        "for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm",
        "sum", "prod", "dot", "matmul", "fft", "linalg",
        // memory (10)
        "array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append",
        "extend",
        // parallel (11)
        "multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker",
        "chunk", "batch", "processpoolexecutor", "threadpoolexecutor",
        // gpu_op (36)
        "matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum",
        "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract",
        "multiply", "divide", "/", "*", "+", "-", "linalg", "linear_algebra", "array", "asarray",
        "zeros", "ones", "empty", "full",
        // large_data (13)
        "reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9",
        "1024", "megabyte", "mb",
        // embarrassing (8)
        "workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize",
        "broadcast",
        // sequential (8)
        "global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered",
        "dependencies",
    },
    {15, 25, 36, 72, 85, 93, 101},
};
enum IndicatorList : std::size_t {
    kCpuList, kMemoryList, kParallelList, kGpuOpList, kLargeDataList, kEmbarrassingList,
    kSequentialList,
};

// numpy, pandas, sklearn.
inline constexpr WordSet<61, 3> kFrameworks{
    {
        // numpy (25)
        "numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot",
        "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin",
        "reshape", "transpose", "concatenate", "stack", "split",
        // pandas (18)
        "pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge",
        "join", "concat", "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values",
        // sklearn (18)
        "sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv",
        "randomizedsearchcv", "pipeline", "featureunion", "train_test_split", "classification",
        "regression", "clustering", "preprocessing", "model_selection", "metrics", "ensemble",
    },
    {25, 43, 61},
};

// ---- compile-time Aho-Corasick construction -----------------------------------------------------

namespace build {

template <class WS>
constexpr std::size_t total_chars(const WS& ws) {
    std::size_t n = 0;
    for (auto w : ws.words) n += w.size();
    return n;
}

// Distinct characters used by the literals; class 0 stands for every other character.
template <class WS>
constexpr std::array<std::uint8_t, 128> char_classes(const WS& ws) {
    std::array<std::uint8_t, 128> cls{};
    std::uint8_t next = 1;
    for (auto w : ws.words) {
        for (char ch : w) {
            const auto c = static_cast<unsigned char>(ch);
            if (cls[c] == 0) cls[c] = next++;
        }
    }
    return cls;
}

template <class WS>
constexpr std::size_t class_count(const WS& ws) {
    std::size_t n = 1;
    for (auto c : char_classes(ws)) n = c + 1u > n ? c + 1u : n;
    return n;
}

// Index of the first entry equal to words[i]: entries that are equal share one match bit.
template <class WS>
constexpr std::size_t first_equal(const WS& ws, std::size_t i) {
    for (std::size_t j = 0; j < i; ++j) {
        if (ws.words[j] == ws.words[i]) return j;
    }
    return i;
}

template <class WS>
constexpr std::size_t unique_count(const WS& ws) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < ws.words.size(); ++i) n += first_equal(ws, i) == i;
    return n;
}

// A list that named one literal twice would count it twice under separate substring tests but
// once under a mask popcount.
template <class WS>
constexpr bool lists_free_of_duplicates(const WS& ws) {
    std::size_t begin = 0;
    for (std::size_t end : ws.ends) {
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t j = begin; j < i; ++j) {
                if (ws.words[i] == ws.words[j]) return false;
            }
        }
        begin = end;
    }
    return begin == ws.words.size();
}

template <class WS>
constexpr bool all_lower_ascii(const WS& ws) {
    for (auto w : ws.words) {
        if (w.empty()) return false;
        for (char ch : w) {
            const auto c = static_cast<unsigned char>(ch);
            if (c >= 128 || (c >= 'A' && c <= 'Z')) return false;
        }
    }
    return true;
}

// Trie of the literals, as a flat child table over character classes.
template <std::size_t MaxNodes, std::size_t NClasses>
struct Trie {
    std::array<std::array<std::uint16_t, NClasses>, MaxNodes> child{};  // 0: none (root is 0)
    std::array<std::size_t, MaxNodes> word_end{};                       // 1 + bit index, or 0
    std::size_t nodes = 1;
};

template <std::size_t MaxNodes, std::size_t NClasses, class WS>
constexpr Trie<MaxNodes, NClasses> make_trie(const WS& ws) {
    Trie<MaxNodes, NClasses> t{};
    const auto cls = char_classes(ws);
    std::size_t bit = 0;
    for (std::size_t i = 0; i < ws.words.size(); ++i) {
        const bool fresh = first_equal(ws, i) == i;
        std::size_t node = 0;
        for (char ch : ws.words[i]) {
            const auto k = cls[static_cast<unsigned char>(ch)];
            if (t.child[node][k] == 0) t.child[node][k] = static_cast<std::uint16_t>(t.nodes++);
            node = t.child[node][k];
        }
        if (fresh) t.word_end[node] = ++bit;
    }
    return t;
}

template <class WS>
constexpr std::size_t node_count(const WS& ws) {
    constexpr std::size_t kMax = 1024;
    constexpr std::size_t kClasses = 64;
    if (total_chars(ws) + 1 > kMax || class_count(ws) > kClasses) return 0;
    return make_trie<kMax, kClasses>(ws).nodes;
}

}  // namespace build

// A deterministic automaton over character classes: `next` already folds in the failure links, so
// a scan is one table step per character; `out[s]` holds the bits of every literal ending at s,
// suffix matches included.
template <std::size_t NStates, std::size_t NClasses, std::size_t MaskWords, std::size_t NLists>
struct Matcher {
    using Mask = std::array<std::uint64_t, MaskWords>;

    std::array<std::uint8_t, 128> exact_class{};  // a code point below 128 of lowered text
    std::array<std::uint8_t, 256> fold_class{};   // a code unit of ASCII/Latin-1 text, lowered here
    // Row-major transitions; an entry is the next state's row offset (state * NClasses).
    std::array<std::uint16_t, NStates * NClasses> next{};
    std::array<Mask, NStates> out{};
    std::array<Mask, NLists> list_mask{};

    static constexpr std::size_t kStates = NStates;
    static constexpr std::size_t kClasses = NClasses;
    static constexpr std::size_t kLists = NLists;

    // Scans code units that are lowered with `fold_class` on the way (one-byte strings).
    void scan_folding(const std::uint8_t* p, std::size_t n, Mask& found) const {
        std::size_t off = 0;
        Mask acc{};
        for (std::size_t i = 0; i < n; ++i) {
            off = next[off + fold_class[p[i]]];
            const Mask& o = out[off / NClasses];
            for (std::size_t w = 0; w < MaskWords; ++w) acc[w] |= o[w];
        }
        for (std::size_t w = 0; w < MaskWords; ++w) found[w] |= acc[w];
    }

    // Scans code points of text that is already lower-cased.
    template <class Ch>
    void scan_lowered(const Ch* p, std::size_t n, Mask& found) const {
        std::size_t off = 0;
        Mask acc{};
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t c = p[i];
            off = next[off + (c < 128 ? exact_class[c] : 0u)];
            const Mask& o = out[off / NClasses];
            for (std::size_t w = 0; w < MaskWords; ++w) acc[w] |= o[w];
        }
        for (std::size_t w = 0; w < MaskWords; ++w) found[w] |= acc[w];
    }

    // Number of entries of list `l` whose bit is set in `found`.
    int count(std::size_t l, const Mask& found) const {
        int n = 0;
        for (std::size_t w = 0; w < MaskWords; ++w) n += std::popcount(found[w] & list_mask[l][w]);
        return n;
    }
};

namespace build {

template <std::size_t NStates, std::size_t NClasses, std::size_t MaskWords, class WS>
constexpr auto make_matcher(const WS& ws) {
    constexpr std::size_t NLists = std::tuple_size_v<decltype(ws.ends)>;
    Matcher<NStates, NClasses, MaskWords, NLists> m{};
    const auto trie = make_trie<NStates, NClasses>(ws);

    m.exact_class = char_classes(ws);
    for (std::size_t c = 0; c < 256; ++c) {
        std::size_t lowered = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
        m.fold_class[c] = lowered < 128 ? m.exact_class[lowered] : 0;
    }

    // Breadth-first over the trie: fail[s] is the longest proper suffix of s that is a trie node.
    std::array<std::size_t, NStates> fail{};
    std::array<std::size_t, NStates> queue{};
    std::size_t head = 0, tail = 0;
    for (std::size_t k = 0; k < NClasses; ++k) {
        const std::size_t c = trie.child[0][k];
        m.next[k] = static_cast<std::uint16_t>(c * NClasses);
        if (c != 0) queue[tail++] = c;
    }
    auto set_bit = [&](std::size_t s, std::size_t word_end) {
        if (word_end == 0) return;
        m.out[s][(word_end - 1) / 64] |= std::uint64_t{1} << ((word_end - 1) % 64);
    };
    while (head < tail) {
        const std::size_t s = queue[head++];
        set_bit(s, trie.word_end[s]);
        for (std::size_t w = 0; w < MaskWords; ++w) m.out[s][w] |= m.out[fail[s]][w];
        for (std::size_t k = 0; k < NClasses; ++k) {
            const std::size_t c = trie.child[s][k];
            if (c != 0) {
                fail[c] = m.next[fail[s] * NClasses + k] / NClasses;
                queue[tail++] = c;
                m.next[s * NClasses + k] = static_cast<std::uint16_t>(c * NClasses);
            } else {
                m.next[s * NClasses + k] = m.next[fail[s] * NClasses + k];
            }
        }
    }

    // Per-list masks over the shared literal bits.
    std::size_t begin = 0, l = 0;
    for (std::size_t end : ws.ends) {
        for (std::size_t i = begin; i < end; ++i) {
            std::size_t node = 0;
            for (char ch : ws.words[i]) {
                node = trie.child[node][m.exact_class[static_cast<unsigned char>(ch)]];
            }
            const std::size_t b = trie.word_end[node] - 1;
            m.list_mask[l][b / 64] |= std::uint64_t{1} << (b % 64);
        }
        begin = end;
        ++l;
    }
    return m;
}

template <const auto& WS>
constexpr auto matcher_for() {
    static_assert(all_lower_ascii(WS), "literals are matched against lower-cased ASCII classes");
    static_assert(lists_free_of_duplicates(WS));
    constexpr std::size_t states = node_count(WS);
    static_assert(states > 0 && states * class_count(WS) <= 65536);
    return make_matcher<states, class_count(WS), (unique_count(WS) + 63) / 64>(WS);
}

}  // namespace build

inline constexpr auto kIndicatorMatcher = build::matcher_for<kIndicators>();
inline constexpr auto kFrameworkMatcher = build::matcher_for<kFrameworks>();

using IndicatorMask = decltype(kIndicatorMatcher)::Mask;
using FrameworkMask = decltype(kFrameworkMatcher)::Mask;

// ---- scalar formulas ----------------------------------------------------------------------------

// Counts of the first five indicator lists times the nearest doubles to 1/15, 1/10, 1/11, 1/36 and
// 1/13, each clamped to [0, 1].
inline std::array<double, 5> normalize_scores(std::int32_t cpu, std::int32_t memory,
                                              std::int32_t parallel, std::int32_t gpu_op,
                                              std::int32_t large_data) {
    return {
        clamp(cpu * 0.06666666666666667, 0.0, 1.0),
        clamp(memory * 0.1, 0.0, 1.0),
        clamp(parallel * 0.09090909090909091, 0.0, 1.0),
        clamp(gpu_op * 0.027777777777777776, 0.0, 1.0),
        clamp(large_data * 0.07692307692307693, 0.0, 1.0),
    };
}

inline std::array<double, 3> framework_norms(int numpy, int pandas, int sklearn) {
    return {
        clamp(numpy * 0.04, 0.0, 1.0),
        clamp(pandas * 0.05555555555555555, 0.0, 1.0),
        clamp(sklearn * 0.05555555555555555, 0.0, 1.0),
    };
}

// More than ten matches saturate; otherwise a tenth per match (a multiplication by 0.1).
inline double quick_score(std::size_t matches) {
    return matches > 10 ? 1.0 : static_cast<double>(matches) * 0.1;
}

// Workload pattern codes.
enum Pattern : int {
    kMixed = 0,
    kCpuIntensive = 1,
    kMemoryIntensive = 2,
    kParallelFriendly = 3,
    kSequential = 4,
    kGpuSuitable = 5,
    kGpuComputeIntensive = 6,
    kGpuMemoryBound = 7,
    kNumpyVectorized = 8,
    kPandasDataframe = 10,
    kSklearnTraining = 12,
};

struct WorkloadInputs {
    double cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability,
        gpu_operation_score, numpy_score, pandas_score, sklearn_score;
    std::int32_t sequential_count, embarrassing_count;
    double cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold,
        sklearn_threshold;
    bool gpu_available;
};

// First rule that applies wins; every comparison is strict.
inline int determine_workload_pattern(const WorkloadInputs& in) {
    if (in.sklearn_score > in.sklearn_threshold) return kSklearnTraining;
    if (in.pandas_score > in.pandas_threshold) return kPandasDataframe;
    if (in.numpy_score > in.numpy_threshold) return kNumpyVectorized;
    if (in.gpu_available && in.gpu_suitability > in.gpu_threshold) {
        if (in.gpu_operation_score > 0.7 && in.cpu_intensity > 0.6) return kGpuComputeIntensive;
        if (in.memory_intensity > 0.5) return kGpuMemoryBound;
        return kGpuSuitable;
    }
    if (in.embarrassing_count > 0 || in.parallelization_potential > 0.6) return kParallelFriendly;
    if (in.cpu_intensity > in.cpu_threshold) return kCpuIntensive;
    if (in.memory_intensity > in.memory_threshold) return kMemoryIntensive;
    if (in.sequential_count > 2) return kSequential;
    return kMixed;
}

inline double capability_factor(std::int32_t major) {
    if (major > 7) return 1.2;
    if (major == 7) return 1.1;
    if (major == 6) return 1.0;
    return 0.8;
}

// GPU suitability for an available device; `factor` comes from the compute capability.
inline double gpu_suitability(double gpu_operation_score, double gpu_data_size_score,
                              double cpu_intensity, double factor) {
    double cpu_boost = cpu_intensity * 0.3;
    if (cpu_boost < 0.0) {
        cpu_boost = 0.0;
    } else if (0.3 < cpu_boost) {
        cpu_boost = 0.3;
    }
    const double base_score = gpu_data_size_score * 0.4 + (gpu_operation_score * 0.6 + cpu_boost);
    return clamp(base_score * factor, 0.0, 1.0);
}

inline double estimate_gpu_speedup(double gpu_operation_score, double gpu_data_size_score,
                                   bool gpu_available) {
    if (!gpu_available || gpu_operation_score == 0.0) return 1.0;
    double base_speedup = 2.0;
    if (gpu_operation_score > 0.8) {
        base_speedup = 15.0;
    } else if (gpu_operation_score > 0.6) {
        base_speedup = 8.0;
    } else if (gpu_operation_score > 0.3) {
        base_speedup = 4.0;
    }
    const double data_size_factor = std::fma(gpu_data_size_score, 0.5, 1.0);
    return base_speedup * data_size_factor;
}

inline double parallelization_potential(double base_parallel_score, double embarrassing_bonus,
                                         double sequential_penalty,
                                         double loop_chunking_potential) {
    const double bonus = clamp(embarrassing_bonus * 0.3, 0.0, 0.7);
    const double penalty = clamp(sequential_penalty * 0.2, 0.0, 0.5);
    double result = std::fma(loop_chunking_potential, 0.4, base_parallel_score);
    result = result + bonus;
    result = result - penalty;
    return clamp(result, 0.0, 1.0);
}

inline double update_adaptive_threshold(double current_threshold, double success_rate,
                                        double learning_rate, double min_threshold,
                                        double max_threshold) {
    double t = current_threshold;
    if (success_rate > 0.8) {
        t = current_threshold + learning_rate;
    } else if (success_rate < 0.4) {
        t = current_threshold - learning_rate;
    }
    return clamp(t, min_threshold, max_threshold);
}

// Parses the common spellings of a decimal integer the way int() does: an optional sign and ASCII
// digits with single underscores between them, at most 18 digits. Returns false for anything else
// (whitespace, other digits, malformed text, longer numbers); the caller then asks the interpreter.
inline bool parse_plain_int(const std::uint8_t* p, std::size_t n, std::int64_t& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
    if (i == n) return false;
    std::int64_t v = 0;
    int digits = 0;
    bool after_digit = false;
    for (; i < n; ++i) {
        const std::uint8_t c = p[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 18) return false;
            v = v * 10 + (c - '0');
            after_digit = true;
        } else if (c == '_' && after_digit) {
            after_digit = false;
        } else {
            return false;
        }
    }
    if (!after_digit) return false;
    out = negative ? -v : v;
    return true;
}

}  // namespace code_scoring::core
