// Running statistics records (count, sum, sum of squares, extremes) without Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace stat_counters {

// One series. An all-zero record is the empty state: while `count` is 0 the extremes are not read
// (they stand for +inf and -inf), so a block from calloc needs no initialising pass and its pages
// are only touched when a series is fed.
struct AtomicCounter {
    uint64_t count;
    double sum;
    double sum_sq;
    double min_val;
    double max_val;
};

inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline void record_update(AtomicCounter& c, double value) {
    const double sq = value * value;
    if (c.count == 0) {
        // The first value replaces both infinite extremes whatever it is (NaN and +-inf included).
        c.count = 1;
        c.sum = value;
        c.sum_sq = sq;
        c.min_val = value;
        c.max_val = value;
        return;
    }
    c.count += 1;
    c.sum += value;
    c.sum_sq += sq;
    // Unordered comparisons fail, so a NaN value takes both extremes and the next value replaces
    // a NaN extreme.
    if (!(value >= c.min_val)) c.min_val = value;
    if (!(value <= c.max_val)) c.max_val = value;
}

inline void record_reset(AtomicCounter& c) { c = AtomicCounter{}; }

struct Stats {
    uint64_t count;
    double mean, variance, std, min, max;
};

// The one-pass moment formula with one rounding for mean * mean subtracted from sum_sq / count. A
// variance that rounding made negative has a standard deviation of 0.0.
inline Stats record_stats(const AtomicCounter& c) {
    if (c.count == 0) return Stats{0, 0.0, 0.0, 0.0, kInf, -kInf};
    const double n = static_cast<double>(c.count);
    const double mean = c.sum / n;
    const double variance = std::fma(-mean, mean, c.sum_sq / n);
    const double sd = variance < 0.0 ? 0.0 : std::sqrt(variance);
    return Stats{c.count, mean, variance, sd, c.min_val, c.max_val};
}

// One zeroed block of `n` records from the system allocator; nullptr for a negative count or a
// size that cannot be represented or obtained. A count of 0 gives a valid empty block.
inline AtomicCounter* allocate_records(int32_t n) {
    if (n < 0) return nullptr;
    std::size_t bytes;
    if (__builtin_mul_overflow(static_cast<std::size_t>(n), sizeof(AtomicCounter), &bytes)) {
        return nullptr;
    }
    return static_cast<AtomicCounter*>(std::calloc(n == 0 ? 1 : static_cast<std::size_t>(n),
                                                   sizeof(AtomicCounter)));
}

}  // namespace stat_counters
