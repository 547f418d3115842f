// Exact call accounting without Python: per-thread call stacks, per-function records (calls, total,
// own time, the spread of one call's duration) and a pointer-keyed table that finds a record in a
// few loads.
#pragma once

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "stat_counters_core.hpp"

namespace call_trace::core {

// ---- clock --------------------------------------------------------------------------------------

// The time-stamp counter where there is one (a third of a clock_gettime call), else the steady
// clock in nanoseconds; Clock converts ticks to nanoseconds against the steady clock over the whole
// measured interval.
inline int64_t ticks() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return static_cast<int64_t>(__rdtsc());
#elif defined(__aarch64__)
    uint64_t v;
    asm volatile("mrs %0, cntvct_el0" : "=r"(v));
    return static_cast<int64_t>(v);
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

inline int64_t steady_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Clock {
    int64_t tick0 = 0, ns0 = 0;
    void start() noexcept {
        ns0 = steady_ns();
        tick0 = ticks();
    }
    // Nanoseconds per tick, measured from start() to now; 1.0 when too little time has passed to
    // tell (or the counter did not move).
    double ns_per_tick() const noexcept {
        const int64_t dt = ticks() - tick0;
        const int64_t dn = steady_ns() - ns0;
        if (dt <= 0 || dn <= 0) return 1.0;
        return static_cast<double>(dn) / static_cast<double>(dt);
    }
};

// ---- records ------------------------------------------------------------------------------------

// One function's figures, in ticks. `active` counts its frames on all stacks, so that a recursive
// function's total time counts only its outermost call. The spread of single-call durations goes to
// a statistics record fed relative to the first duration seen: its one-pass variance cancels
// catastrophically on large values, and durations of a slow function are large.
struct Record {
    uint64_t calls = 0;
    int64_t total = 0;
    int64_t own = 0;
    int64_t active = 0;
    int64_t ref = 0;
    bool has_ref = false;
    int ref_offset = 0;  // a generator's lowest entry offset: entries there are calls
    uint64_t stamp = 0;  // the last sampled stack it was found on (counted once per stack)
    bool checked = false;    // asked whether its calls are to be counted
    bool uncounted = false;  // not: entries after the first are not seen (sampled times still are)
    stat_counters::core::AtomicCounter spread{};
};

inline void record_duration(Record& r, int64_t d) {
    if (!r.has_ref) {
        r.ref = d;
        r.has_ref = true;
    }
    stat_counters::core::record_update(r.spread, static_cast<double>(d - r.ref));
}

// Mean, standard deviation, minimum and maximum of one call's duration, in ticks.
struct Spread {
    double mean, std, min, max;
};

inline Spread record_spread(const Record& r) {
    const stat_counters::core::Stats s = stat_counters::core::record_stats(r.spread);
    if (s.count == 0) return Spread{0.0, 0.0, 0.0, 0.0};
    const double ref = static_cast<double>(r.ref);
    return Spread{s.mean + ref, s.std, s.min + ref, s.max + ref};
}

// ---- pointer-keyed table ------------------------------------------------------------------------

// Open addressing with linear probing over a power-of-two array; keys are never removed while a
// measurement runs. kNone marks an empty slot.
class Table {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    Table() { slots_.assign(1024, Slot{nullptr, kNone}); }

    // The record index of `key`, or kNone.
    uint32_t find(const void* key) const noexcept {
        std::size_t i = hash(key) & (slots_.size() - 1);
        for (;;) {
            const Slot& s = slots_[i];
            if (s.key == key) return s.index;
            if (s.index == kNone) return kNone;
            i = (i + 1) & (slots_.size() - 1);
        }
    }

    // Adds `key` (not present) with the next record index, which it returns.
    uint32_t add(const void* key) {
        if ((records.size() + 1) * 2 > slots_.size()) grow();
        const uint32_t index = static_cast<uint32_t>(records.size());
        records.emplace_back();
        place(key, index);
        return index;
    }

    void clear() {
        slots_.assign(1024, Slot{nullptr, kNone});
        records.clear();
    }

    std::vector<Record> records;

private:
    struct Slot {
        const void* key;
        uint32_t index;
    };
    static std::size_t hash(const void* key) noexcept {
        // Objects are 16-byte aligned: drop the low bits, then mix.
        uint64_t v = reinterpret_cast<uintptr_t>(key) >> 4;
        v *= 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(v >> 20);
    }
    void place(const void* key, uint32_t index) {
        std::size_t i = hash(key) & (slots_.size() - 1);
        while (slots_[i].index != kNone) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = Slot{key, index};
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2, Slot{nullptr, kNone});
        old.swap(slots_);
        for (const Slot& s : old) {
            if (s.index != kNone) place(s.key, s.index);
        }
    }
    std::vector<Slot> slots_;
};

// ---- sampled time -------------------------------------------------------------------------------

// One sampled stack, innermost frame first: `dt` ticks go to the innermost record's own time and,
// once per stack however deep the recursion, to the total of every record on it.
inline void charge(Table& t, const uint32_t* records, std::size_t n, uint64_t stamp, int64_t dt) {
    for (std::size_t k = 0; k < n; ++k) {
        if (records[k] == Table::kNone) continue;
        Record& r = t.records[records[k]];
        if (k == 0) r.own += dt;
        if (r.stamp != stamp) {
            r.stamp = stamp;
            r.total += dt;
        }
    }
}

// ---- call stacks --------------------------------------------------------------------------------

struct Frame {
    const void* key;  // what the entry and exit events name (a code object, a C function)
    uint32_t record;
    int64_t start;
    int64_t child;  // time in calls made from this frame
};

struct Stack {
    std::vector<Frame> frames;
    bool ignored = false;  // a thread of the measuring machinery: its events change nothing
};

inline void enter(Table& t, Stack& s, const void* key, uint32_t record, bool counted, int64_t now) {
    Record& r = t.records[record];
    if (counted) r.calls += 1;
    r.active += 1;
    s.frames.push_back(Frame{key, record, now, 0});
}

// Ends the innermost frame when it is `key`'s; an exit of a frame that began before the
// measurement (or whose entry went unseen) changes nothing. Returns whether a frame ended.
inline bool leave(Table& t, Stack& s, const void* key, int64_t now) {
    if (s.frames.empty() || s.frames.back().key != key) return false;
    const Frame f = s.frames.back();
    s.frames.pop_back();
    const int64_t d = now - f.start;
    Record& r = t.records[f.record];
    r.own += d - f.child;
    r.active -= 1;
    if (r.active == 0) r.total += d;
    record_duration(r, d);
    if (!s.frames.empty()) s.frames.back().child += d;
    return true;
}

// Ends every open frame at `now`, innermost first (the measurement stops while they run).
inline void unwind(Table& t, Stack& s, int64_t now) {
    while (!s.frames.empty()) leave(t, s, s.frames.back().key, now);
}

}  // namespace call_trace::core
