// Running statistics records (count, sum, sum of squares, extremes) without Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include <sys/mman.h>
#include <unistd.h>

namespace stat_counters::core {

// One series. An all-zero record is the empty state: while `count` is 0 the extremes are not read
// (they stand for +inf and -inf), so a zeroed block needs no initialising pass and its pages are
// only touched when a series is fed.
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

// The records of one aggregator. A large block is a private anonymous mapping: emptying it hands
// its pages back to the kernel, which reads them as zeros again, instead of writing (and so
// committing) every page, fed or not. A small block comes from calloc and is emptied by writing.
struct RecordBlock {
    AtomicCounter* records;
    std::size_t mapped;  // length of the mapping; 0 for a block from calloc
};

// From this size on, the system calls cost little next to writing the block. A series fed again
// after reset_all faults its page back in (about a microsecond per 4 KiB, 102 records).
inline constexpr std::size_t kMappedBlockBytes = std::size_t{1} << 20;

// One zeroed block of `n` records; false for a negative count or a size that cannot be represented
// or obtained. A count of 0 gives a valid empty block.
inline bool allocate_records(int32_t n, RecordBlock& out) {
    if (n < 0) return false;
    std::size_t bytes;
    if (__builtin_mul_overflow(static_cast<std::size_t>(n), sizeof(AtomicCounter), &bytes)) {
        return false;
    }
    if (bytes >= kMappedBlockBytes) {
        const long page = sysconf(_SC_PAGESIZE);
        if (page <= 0) return false;
        const std::size_t p = static_cast<std::size_t>(page);
        std::size_t length;
        if (__builtin_add_overflow(bytes, p - 1, &length)) return false;
        length -= length % p;
        // Accounted like any other allocation (no MAP_NORESERVE): a block the system cannot
        // promise fails here, not at first use.
        void* m = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return false;
        out = RecordBlock{static_cast<AtomicCounter*>(m), length};
        return true;
    }
    void* c = std::calloc(n == 0 ? 1 : static_cast<std::size_t>(n), sizeof(AtomicCounter));
    if (c == nullptr) return false;
    out = RecordBlock{static_cast<AtomicCounter*>(c), 0};
    return true;
}

inline void free_records(RecordBlock& b) {
    if (b.mapped != 0) {
        munmap(b.records, b.mapped);
    } else {
        std::free(b.records);
    }
    b = RecordBlock{nullptr, 0};
}

// Empties the block's `n` records. Should the kernel refuse to drop the pages, they are written.
inline void reset_records(RecordBlock& b, int32_t n) {
    if (b.mapped != 0 && madvise(b.records, b.mapped, MADV_DONTNEED) == 0) return;
    for (int32_t i = 0; i < n; ++i) record_reset(b.records[i]);
}

}  // namespace stat_counters::core
