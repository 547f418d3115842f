// GPU memory arithmetic without Python: safe limits, estimate steps, strategy and chunk counts,
// pressure and headroom, suitability, operation classes and out-of-memory text recognition.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace device_memplan::core {

inline constexpr uint64_t kMaxSafe = 9223372036854775807ULL;  // 2^63 - 1
inline constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
inline constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();  // == kMaxSafe
inline constexpr double kTwo64 = 18446744073709551616.0;  // 2^64, the first double beyond uint64
inline constexpr double kHeadroomCap = 0.99;

// A non-negative double truncated toward zero into uint64: NaN gives 0, 2^64 and above saturate.
inline uint64_t trunc_u64(double v) {
    if (!(v > 0.0)) return 0;  // NaN, zero, negatives
    if (v >= kTwo64) return kU64Max;
    return static_cast<uint64_t>(v);
}

// A non-negative double truncated into an int64 count: NaN gives 0, 2^63 and above saturate.
inline int64_t trunc_count(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 9223372036854775808.0) return kI64Max;
    return static_cast<int64_t>(v);
}

// Usable bytes after keeping a headroom fraction free. The fraction is capped at 0.99 first and
// floored at 0.0 second; a NaN fraction makes nothing usable (a NaN count of bytes is no count).
inline uint64_t safe_limit(uint64_t available, double headroom) {
    double h = headroom > kHeadroomCap ? kHeadroomCap : headroom;
    h = h < 0.0 ? 0.0 : h;
    return trunc_u64((1.0 - h) * static_cast<double>(available));
}

// ---- estimate_allocation_bytes ------------------------------------------------------------------

// One dimension folded into the element count. Returns false when the estimate ends here, with the
// final result in `result` (0 for an empty dimension, kMaxSafe when the product would exceed it).
inline bool fold_dimension(uint64_t& total, int64_t dim, uint64_t& result) {
    if (dim < 1) {
        result = 0;
        return false;
    }
    const uint64_t d = static_cast<uint64_t>(dim);
    if (kMaxSafe / d < total) {
        result = kMaxSafe;
        return false;
    }
    total *= d;
    return true;
}

// Bytes for `total` elements of `element_size` with an overhead factor that never shrinks. A
// negative element size has no bytes (0). An overhead product beyond 2^64 - 1 saturates there.
inline uint64_t finish_estimate(uint64_t total, int64_t element_size, double overhead) {
    if (element_size < 1) return 0;
    const uint64_t es = static_cast<uint64_t>(element_size);
    if (total > kMaxSafe / es) return kMaxSafe;
    const uint64_t base = es * total;
    if (overhead > 1.0) return trunc_u64(static_cast<double>(base) * overhead);
    return base;
}

// ---- strategy and chunk counts ------------------------------------------------------------------

// ceil(requested / limit) in double precision for a chunked strategy (limit >= 1, requested >
// limit); the only quotient beyond uint64 is 2^64 itself (from rounding), which saturates.
inline uint64_t chunk_count(uint64_t requested, uint64_t limit) {
    return trunc_u64(std::ceil(static_cast<double>(requested) / static_cast<double>(limit)));
}

inline int64_t optimal_chunks(uint64_t total, uint64_t available, double headroom,
                              int64_t min_chunks, int64_t max_chunks) {
    const uint64_t limit = safe_limit(available, headroom);
    if (limit == 0) return max_chunks;
    const int64_t chunks =
        trunc_count(std::ceil(static_cast<double>(total) / static_cast<double>(limit)));
    if (chunks < min_chunks) return min_chunks;
    if (chunks > max_chunks) return max_chunks;
    return chunks;
}

// The bytes of one slice along the first axis, folded one trailing dimension at a time. A zero
// dimension makes the slice empty whatever else overflowed; otherwise overflow saturates.
struct RowSize {
    uint64_t bytes;
    bool saturated = false;
    bool empty = false;

    explicit RowSize(int64_t element_size) : bytes(static_cast<uint64_t>(element_size)) {}
    void fold(uint64_t dim) {
        if (dim == 0) {
            empty = true;
            return;
        }
        if (!saturated && __builtin_mul_overflow(bytes, dim, &bytes)) saturated = true;
    }
    uint64_t value() const { return empty ? 0 : saturated ? kU64Max : bytes; }
};

// Rows per chunk: at least one slice even when it alone exceeds the limit; an empty slice puts every
// row into one chunk.
inline uint64_t rows_per_chunk(uint64_t row_size, uint64_t max_chunk_bytes) {
    if (row_size == 0) return kU64Max;
    if (row_size > max_chunk_bytes) return 1;
    return max_chunk_bytes / row_size;
}

// Number of chunks covering `first_dim` rows (0 for no rows).
inline uint64_t chunks_for(int64_t first_dim, uint64_t rows) {
    if (first_dim <= 0) return 0;
    const uint64_t n = static_cast<uint64_t>(first_dim);
    return n / rows + (n % rows != 0);
}

// What a list of `count` chunk tuples of `dims` items costs the interpreter, near enough: per chunk
// a list slot, the tuple's header with its collector link, and one pointer per item (the row
// counts and trailing dimensions are shared objects). Saturates at 2^64 - 1.
inline uint64_t chunk_list_bytes(uint64_t count, uint64_t dims, uint64_t tuple_header) {
    const uint64_t per_chunk = 8 + tuple_header + 8 * dims;
    uint64_t total;
    return __builtin_mul_overflow(count, per_chunk, &total) ? kU64Max : total;
}

// ---- pressure, headroom, suitability ------------------------------------------------------------

inline double memory_pressure(uint64_t used, uint64_t total) {
    if (total == 0) return 1.0;
    const double p = static_cast<double>(used) / static_cast<double>(total);
    return p > 1.0 ? 1.0 : p;
}

// Band 0.3-0.8. A NaN (from a NaN base) takes the widest headroom: never less than asked for.
inline double recommend_headroom(double pressure, double base) {
    if (pressure > 0.8) return 0.8;
    double v;
    if (pressure > 0.6) {
        v = std::fma(pressure - 0.5, 0.5, base);
    } else if (pressure <= 0.3) {
        if (base <= 0.4) return 0.3;
        v = base - 0.1;
    } else {
        v = base;
    }
    if (v < 0.3) return 0.3;
    if (std::isnan(v)) return 0.8;
    return v < 0.8 ? v : 0.8;
}

enum class OpClass { Other, Chunkable, NonChunkable };

inline double op_score(OpClass c) {
    switch (c) {
        case OpClass::Chunkable: return 0.9;
        case OpClass::NonChunkable: return 0.7;
        default: return 0.5;
    }
}

inline double size_score(uint64_t data, uint64_t limit) {
    if (limit == 0) return 0.0;
    if (data <= limit) {
        const double s = static_cast<double>(data) * 1.25 / static_cast<double>(limit);
        return s < 1.0 ? s : 1.0;
    }
    return static_cast<double>(limit) / static_cast<double>(data);
}

// ---- operation sets -----------------------------------------------------------------------------

inline constexpr std::string_view kChunkableOps[] = {
    "zeros",       "ones",          "empty",  "full",   "random.randn",
    "random.rand", "random.random", "random.standard_normal", "random.uniform",
    "arange",      "linspace",
};
inline constexpr std::string_view kNonChunkableOps[] = {
    "matmul", "dot", "fft", "ifft",  "fft2",  "ifft2",  "svd",
    "eig",    "eigvals", "solve", "inv", "sort", "argsort",
};

// Exact, case-sensitive membership. Lengths are compared before bytes.
inline OpClass classify_op(std::string_view name) {
    for (std::string_view op : kChunkableOps) {
        if (op.size() == name.size() && op == name) return OpClass::Chunkable;
    }
    for (std::string_view op : kNonChunkableOps) {
        if (op.size() == name.size() && op == name) return OpClass::NonChunkable;
    }
    return OpClass::Other;
}

// ---- out-of-memory text -------------------------------------------------------------------------
// The rules are a pure disjunction of substring tests, so they are evaluated cheapest first; the
// texts arrive lower-cased (see the binding).

// The shortest texts that can match: "gpu" with "memory", and the type's one word.
inline constexpr std::size_t kShortestMessage = 9;
inline constexpr std::size_t kShortestType = 16;

inline bool message_says_oom(std::string_view s) {
    constexpr auto npos = std::string_view::npos;
    if (s.find("memory") != npos) {  // every rule but one needs it ("out of memory" included)
        if (s.find("cuda") != npos || s.find("gpu") != npos || s.find("out of memory") != npos ||
            s.find("insufficient") != npos) {
            return true;
        }
    }
    return s.find("allocat") != npos && s.find("failed") != npos;
}

inline bool type_says_oom(std::string_view s) {
    return s.find("outofmemoryerror") != std::string_view::npos;
}

// ASCII text lower-cased into `out` (at least n bytes); equal to the interpreter's lower-casing
// for ASCII. Eight bytes at a time: every byte is below 0x80, so adding a bias per byte carries
// into no neighbour, and bit 7 of the sums marks the bytes in 'A'..'Z'.
inline std::string_view ascii_lower(const char* s, std::size_t n, char* out) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, s + i, 8);
        const uint64_t upper = (x + kOnes * (0x80 - 'A')) & ~(x + kOnes * (0x80 - 'Z' - 1)) &
                               (kOnes * 0x80);
        x |= upper >> 2;
        std::memcpy(out + i, &x, 8);
    }
    for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        out[i] = static_cast<char>(c | (static_cast<unsigned char>(c - 'A') < 26 ? 0x20 : 0));
    }
    return {out, n};
}

// Wide (UCS-2/UCS-4) text already lower-cased by the interpreter: the ASCII words can only match
// ASCII code units, so a plain search over the units does.
template <class Unit>
inline bool contains_units(const Unit* s, std::size_t n, std::string_view word) {
    if (word.size() > n) return false;
    for (std::size_t i = 0; i + word.size() <= n; ++i) {
        std::size_t k = 0;
        while (k < word.size() && s[i + k] == static_cast<Unit>(static_cast<unsigned char>(word[k]))) {
            ++k;
        }
        if (k == word.size()) return true;
    }
    return false;
}

template <class Unit>
inline bool message_says_oom(const Unit* s, std::size_t n) {
    auto has = [&](std::string_view w) { return contains_units(s, n, w); };
    return (has("memory") &&
            (has("cuda") || has("gpu") || has("out of memory") || has("insufficient"))) ||
           (has("allocat") && has("failed"));
}

template <class Unit>
inline bool type_says_oom(const Unit* s, std::size_t n) {
    return contains_units(s, n, "outofmemoryerror");
}

}  // namespace device_memplan::core
