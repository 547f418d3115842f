// Pure numeric core of velkora.plugins.analyzer.pool_adaptation: the trend and change detectors'
// accumulators, the resource prediction, the adaptation scores and an insertion-ordered counter.
// No Python here; the binding reads the caller's histories and feeds these.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace pool_adaptation::core {

// ---- shared arithmetic -------------------------------------------------------------------------

// Lower bound first, then the smaller of the value and the upper bound (a NaN passes through).
inline double at_most_one(double x) { return 1.0 < x ? 1.0 : x; }
inline double clamp_unit(double x) { return at_most_one(x < 0.0 ? 0.0 : x); }

// Truncation toward zero into int32_t, saturating at the range ends; NaN gives 0. A plain cast is
// undefined for anything outside the range.
inline int32_t saturating_i32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// ---- history detectors -------------------------------------------------------------------------

inline constexpr std::size_t kMinDegradationSamples = 5;
inline constexpr std::size_t kMinTrendSamples = 3;
inline constexpr std::size_t kCharacteristicsWindow = 6;
inline constexpr std::size_t kMinPredictionSamples = 10;

// Average of the metrics inside the window against the baseline.
struct DegradationWindow {
    double window_start;
    double total = 0.0;
    std::size_t count = 0;

    void add(double timestamp, double metric) {
        if (timestamp >= window_start) {
            total += metric;
            ++count;
        }
    }
    // The baseline is known to be positive here.
    bool degraded(double baseline, double threshold) const {
        if (count < kMinDegradationSamples) return false;
        const double current_avg = total / static_cast<double>(count);
        const double degradation = (baseline - current_avg) / baseline;
        return degradation > threshold;
    }
};

// Least-squares slope of the metric over time inside the window, relative to the mean metric.
// Timestamps are taken relative to the first one in the window, which keeps the sums small.
struct TrendWindow {
    double window_start;
    double t0 = 0.0;
    double sum_x = 0.0, sum_y = 0.0, sum_xx = 0.0, sum_xy = 0.0;
    std::size_t count = 0;

    void add(double timestamp, double metric) {
        if (!(timestamp >= window_start)) return;
        if (count == 0) t0 = timestamp;
        const double x = timestamp - t0;
        sum_x += x;
        sum_y += metric;
        sum_xx += x * x;
        sum_xy += x * metric;
        ++count;
    }
    double trend() const {
        if (count < kMinTrendSamples) return 0.0;
        const double n = static_cast<double>(count);
        const double mean_x = sum_x / n;
        const double denominator = sum_xx - n * mean_x * mean_x;
        if (std::fabs(denominator) < 1e-10) return 0.0;  // every timestamp equal
        const double mean_y = sum_y / n;
        if (std::fabs(mean_y) < 1e-10) return 0.0;
        const double trend = (sum_xy - n * mean_x * mean_y) / (mean_y * denominator);
        return trend <= -1.0 ? -1.0 : at_most_one(trend);
    }
};

// Absolute difference of two three-entry means, given their sums.
inline double mean_shift(double recent_sum, double older_sum) {
    return std::fabs((recent_sum - older_sum) * 0.3333333333333333);
}

struct Prediction {
    int32_t allocations;
    int32_t bytes;
    double confidence;
};

// `count` entries spanning `duration` (> 0) seconds whose sizes sum to `total_size`.
inline Prediction predict(std::size_t count, double duration, double total_size, double horizon) {
    const double n = static_cast<double>(count);
    const double allocations_per_second = n / duration;
    const int32_t allocations = saturating_i32(allocations_per_second * horizon);
    const double avg_size = total_size / n;
    const int32_t bytes = saturating_i32(avg_size * static_cast<double>(allocations));
    const double confidence = count < 100 ? n * 0.008 : 0.8;
    return {allocations, bytes, confidence};
}

// ---- adaptation decisions ----------------------------------------------------------------------

inline bool is_beneficial(bool same_pool, double score, double confidence, double current_estimate,
                          int32_t trigger_code, double min_improvement_ratio,
                          double min_confidence) {
    if (same_pool) return false;
    if (confidence < min_confidence) return false;
    if (trigger_code == 0) return score > 0.5;
    if (current_estimate <= 0.0) return score > 0.6;
    return score > min_improvement_ratio * current_estimate;
}

inline bool should_skip(double last_time, double current_time, double min_interval) {
    return current_time - last_time < min_interval;
}

inline bool memory_pressure(double current_usage, double peak_usage, double threshold) {
    if (peak_usage <= 0.0 || current_usage < 0.0) return false;
    return current_usage / peak_usage > threshold;
}

inline bool fragmented(double ratio, double threshold) { return ratio >= 0.0 && ratio > threshold; }

// Sum of value * weight over the terms, accumulated in order with fused multiply-adds (the first
// term a plain product), each value first clamped to 0.0 .. 1.0; the sum is capped at 1.0.
inline double weighted_score(std::initializer_list<std::pair<double, double>> terms) {
    double s = 0.0;
    bool first = true;
    for (const auto& [value, weight] : terms) {
        s = first ? clamp_unit(value) * weight : std::fma(clamp_unit(value), weight, s);
        first = false;
    }
    return at_most_one(s);
}

inline double urgency(double performance_degradation, double memory_pressure,
                      double fragmentation_ratio, bool workload_changed) {
    const double u = weighted_score(
        {{memory_pressure, 0.3}, {performance_degradation, 0.4}, {fragmentation_ratio, 0.15}});
    // The weights sum to 0.85, so the cap above never bites and the bonus adds to the exact sum.
    return workload_changed ? at_most_one(u + 0.15) : u;
}

inline double recommendation(double workload_fit, double memory_fit, double thread_count_fit,
                             double historical_success_rate) {
    return weighted_score({{memory_fit, 0.3},
                           {workload_fit, 0.35},
                           {thread_count_fit, 0.2},
                           {historical_success_rate, 0.15}});
}

// ---- insertion-ordered counting ----------------------------------------------------------------

// Counts occurrences of keys, remembering the order in which each key first appeared. Open
// addressing over a dense entry array; the first few distinct keys need no heap memory. `Key` is
// an opaque handle; the caller supplies its hash and an equality test. Growth may throw
// std::bad_alloc.
template <class Key>
class OrderedCounter {
public:
    struct Entry {
        Key key;
        uint64_t hash;
        std::size_t count;
    };

    OrderedCounter() { std::memset(inline_slots_, 0xff, sizeof(inline_slots_)); }
    OrderedCounter(const OrderedCounter&) = delete;
    OrderedCounter& operator=(const OrderedCounter&) = delete;

    template <class Eq>
    void add(Key key, uint64_t hash, Eq&& eq) {
        std::size_t i = hash & mask_;
        for (;;) {
            const uint32_t at = slots_[i];
            if (at == kEmpty) break;
            Entry& e = entries_[at];
            if (e.hash == hash && eq(e.key, key)) {
                ++e.count;
                return;
            }
            i = (i + 1) & mask_;
        }
        if (size_ == capacity_) {
            grow();
            i = hash & mask_;
            while (slots_[i] != kEmpty) i = (i + 1) & mask_;
        }
        entries_[size_] = Entry{key, hash, 1};
        slots_[i] = static_cast<uint32_t>(size_++);
    }

    std::size_t size() const { return size_; }
    const Entry& operator[](std::size_t i) const { return entries_[i]; }

    // Index of the first key whose count is strictly greater than every earlier one's, so ties
    // go to the key seen first; size() when nothing was counted.
    std::size_t most_common() const {
        std::size_t best = size_, best_count = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (entries_[i].count > best_count) {
                best = i;
                best_count = entries_[i].count;
            }
        }
        return best;
    }

private:
    static constexpr uint32_t kEmpty = 0xffffffffu;
    static constexpr std::size_t kInlineEntries = 16;  // a handful of pattern names is the norm

    void grow() {
        const std::size_t capacity = capacity_ * 2;
        const std::size_t slot_count = capacity * 2;  // load factor at most one half
        if (capacity > kEmpty) throw std::bad_alloc();
        std::unique_ptr<Entry[]> entries(new Entry[capacity]);
        std::unique_ptr<uint32_t[]> slots(new uint32_t[slot_count]);
        std::memset(slots.get(), 0xff, slot_count * sizeof(uint32_t));
        std::memcpy(static_cast<void*>(entries.get()), entries_, size_ * sizeof(Entry));
        const std::size_t mask = slot_count - 1;
        for (std::size_t k = 0; k < size_; ++k) {
            std::size_t i = entries[k].hash & mask;
            while (slots[i] != kEmpty) i = (i + 1) & mask;
            slots[i] = static_cast<uint32_t>(k);
        }
        heap_entries_ = std::move(entries);
        heap_slots_ = std::move(slots);
        entries_ = heap_entries_.get();
        slots_ = heap_slots_.get();
        capacity_ = capacity;
        mask_ = mask;
    }

    Entry inline_entries_[kInlineEntries];
    uint32_t inline_slots_[kInlineEntries * 2];
    std::unique_ptr<Entry[]> heap_entries_;
    std::unique_ptr<uint32_t[]> heap_slots_;
    Entry* entries_ = inline_entries_;
    uint32_t* slots_ = inline_slots_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineEntries;
    std::size_t mask_ = kInlineEntries * 2 - 1;
};

}  // namespace pool_adaptation::core
