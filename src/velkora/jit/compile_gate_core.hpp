// The compile gate's arithmetic on plain native records: policy validation, the compile decision
// and the threshold update. No Python here; the binding converts values in and out.
#pragma once

#include <cmath>
#include <cstdint>

namespace compile_gate::core {

struct CPolicyConfig {
    int32_t initial_threshold = 100;
    int32_t min_threshold = 10;
    int32_t max_threshold = 10000;
    double learning_rate = 0.1;
    double target_speedup = 2.0;
};

struct CFunctionMetrics {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 1.0;
    double total_execution_time_ms = 0.0;
    double last_compiled = 0.0;  // time.time() seconds; 0.0 means never
};

// The first failed validation test's message, or nullptr when the configuration is acceptable.
// Plain comparisons: a NaN rate passes.
inline const char* validate(const CPolicyConfig& c) {
    if (c.min_threshold <= 0) return "min_threshold must be positive";
    if (c.min_threshold >= c.max_threshold) return "max_threshold must be greater than min_threshold";
    if (c.learning_rate <= 0.0 || c.learning_rate > 1.0) return "learning_rate must be in (0, 1]";
    if (c.target_speedup <= 0.0) return "target_speedup must be positive";
    if (c.initial_threshold < c.min_threshold || c.initial_threshold > c.max_threshold) {
        return "initial_threshold must be within bounds";
    }
    return nullptr;
}

// `last_compiled` given and not negative (NaN included) wins over `last_compile_time`.
inline double stored_last_compiled(double last_compile_time, double last_compiled) {
    return last_compiled < 0.0 ? last_compile_time : last_compiled;
}

constexpr double kRecompileInterval = 600.0;

// A negative threshold sign-extends to a huge unsigned value, so it admits no call count.
inline bool should_compile(int32_t threshold, uint64_t call_count, uint32_t compile_count,
                           double last_compiled, double now, double recompile_interval) {
    if (call_count < static_cast<uint64_t>(static_cast<int64_t>(threshold))) return false;
    if (compile_count == 0) return true;
    return recompile_interval <= now - last_compiled;  // NaN: false
}

// The learned threshold after a compilation with the given history. The two fused multiply-adds
// are part of the result's definition (one rounding each); everything else rounds per operation.
inline int32_t next_threshold(int32_t current, uint32_t compile_count, double avg_speedup,
                              const CPolicyConfig& c) {
    const double cur = static_cast<double>(current);
    const double ratio = c.target_speedup > 0.0 ? avg_speedup / c.target_speedup : avg_speedup;
    const double step = c.learning_rate * cur;
    const double adjustment = ratio > 1.0 ? -step : step;
    double value = cur;
    if (compile_count <= 10) {
        const double confidence = std::fma(-static_cast<double>(compile_count), 0.1, 1.0);
        value = std::fma(adjustment, confidence, cur);
    }
    if (value < static_cast<double>(c.min_threshold)) return c.min_threshold;
    // Here min <= value <= max, both 32-bit bounds, so truncation is in range. NaN fails both
    // comparisons and lands on max.
    if (value <= static_cast<double>(c.max_threshold)) return static_cast<int32_t>(value);
    return c.max_threshold;
}

// Running aggregate of the learned thresholds for the statistics.
struct ThresholdSummary {
    int64_t count = 0;
    int64_t sum = 0;  // 32-bit values: no overflow below 2^32 entries
    int32_t min = 0;
    int32_t max = 0;

    void add(int32_t v) {
        if (count == 0 || v < min) min = v;
        if (count == 0 || v > max) max = v;
        sum += v;
        ++count;
    }
    // sum / count correctly rounded, as integer true division gives, when both are exact doubles.
    bool mean_is_exact() const {
        constexpr int64_t kExact = int64_t{1} << 53;
        return sum > -kExact && sum < kExact && count < kExact;
    }
    double mean() const { return static_cast<double>(sum) / static_cast<double>(count); }
};

}  // namespace compile_gate::core
