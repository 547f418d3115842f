// Pure C++ pieces of velkora.memory.sync_cells: the counter's atomic arithmetic, the lock-free peak
// update, the snapshot arithmetic and the timer's unit scaling. No Python here.
#pragma once

#include <atomic>
#include <cstdint>

namespace sync_cells::core {

// A signed 64-bit cell whose every operation is one sequentially consistent atomic instruction
// (AtomicCounter's value). They never fail and wrap modulo 2^64: atomic arithmetic on signed
// integers is two's complement in C++20, and the results are computed in unsigned arithmetic from
// the value the same instruction fetched.
inline int64_t cell_load(int64_t& cell) {
    return std::atomic_ref<int64_t>(cell).load(std::memory_order_seq_cst);
}
inline void cell_store(int64_t& cell, int64_t v) {
    std::atomic_ref<int64_t>(cell).store(v, std::memory_order_seq_cst);
}
// The value before adding.
inline int64_t cell_fetch_add(int64_t& cell, int64_t d) {
    return std::atomic_ref<int64_t>(cell).fetch_add(d, std::memory_order_seq_cst);
}
// The value after adding.
inline int64_t cell_add(int64_t& cell, int64_t d) {
    return static_cast<int64_t>(static_cast<uint64_t>(cell_fetch_add(cell, d)) +
                                static_cast<uint64_t>(d));
}
// The value after subtracting.
inline int64_t cell_sub(int64_t& cell, int64_t d) {
    const int64_t neg = static_cast<int64_t>(0 - static_cast<uint64_t>(d));
    return static_cast<int64_t>(static_cast<uint64_t>(cell_fetch_add(cell, neg)) -
                                static_cast<uint64_t>(d));
}
inline bool cell_compare_and_swap(int64_t& cell, int64_t expected, int64_t desired) {
    return std::atomic_ref<int64_t>(cell).compare_exchange_strong(expected, desired,
                                                                  std::memory_order_seq_cst);
}

// Raises `cell` to at least `current` with a compare-exchange loop: load, stop when the stored value
// is already >= current, else try to swap it in. A failed exchange means another thread moved the
// value (its fresh value comes back in `peak`), so the loop converges; an equal value writes nothing.
inline void raise_to(int64_t& cell, int64_t current) {
    std::atomic_ref<int64_t> a(cell);
    int64_t peak = a.load(std::memory_order_seq_cst);
    while (current > peak) {
        if (a.compare_exchange_strong(peak, current, std::memory_order_seq_cst)) return;
    }
}

// Integers of at most 53 significant bits convert to double exactly, so one IEEE division of two
// of them is the correctly rounded quotient, exactly what the interpreter's int / int gives.
inline constexpr int64_t kExactDoubleLimit = int64_t{1} << 53;
inline bool exact_in_double(int64_t v) { return v >= -kExactDoubleLimit && v <= kExactDoubleLimit; }

// bucketed / total * 100.0 (division first), 0.0 when there is no allocation.
inline double bucketed_ratio_percent(int64_t bucketed, int64_t total) {
    if (total <= 0) return 0.0;
    return static_cast<double>(bucketed) / static_cast<double>(total) * 100.0;
}

// sum / count as a float, 0.0 when the count is not positive.
inline double average(int64_t sum, int64_t count) {
    if (count <= 0) return 0.0;
    return static_cast<double>(sum) / static_cast<double>(count);
}

// Unit scaling of nanoseconds: multiplication by the reciprocal, not division (the last bit can
// differ from a true division, and callers compare against this form).
inline constexpr double kNsToUs = 0.001;
inline constexpr double kNsToMs = 1e-6;

// a - b when it fits in 64 bits.
inline bool checked_sub(int64_t a, int64_t b, int64_t& out) { return !__builtin_sub_overflow(a, b, &out); }

}  // namespace sync_cells::core
