// velkora.plugins.analyzer.pool_adaptation: whether, how urgently and when the framework should
// switch its memory pools. Stateless functions over the orchestrator's histories and scores.
#include "vkbind/vkbind.hpp"

#include <cstring>
#include <new>

#include "pool_adaptation_core.hpp"

namespace pool_adaptation {
namespace {

// Interned names, created at exec: the neutral pattern name and the characteristics' keys.
#define POOL_ADAPTATION_NAMES(X)                                                              \
    X(mixed, "mixed") X(parallelization_potential, "parallelization_potential")               \
    X(cpu_intensity, "cpu_intensity") X(memory_intensity, "memory_intensity")

VK_NAMES(POOL_ADAPTATION_NAMES);

struct ModuleState {
    PyObject* no_change_characteristics = nullptr;  // (False, 0.0, 0.0, 0.0)
    PyObject* no_change_prediction = nullptr;       // (0, 0, 0.0)
    Names names;

    auto owned() { return std::tie(no_change_characteristics, no_change_prediction, names); }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

// ---- reading history entries -------------------------------------------------------------------

// The interpreter's float conversion.
inline bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Converting these runs no Python code, so nothing can change under us meanwhile.
inline bool plain_number(PyObject* o) { return PyFloat_CheckExact(o) || PyLong_CheckExact(o); }

[[gnu::cold]] void err_too_many(PyObject* entry) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_CheckExact(entry) || PyTuple_CheckExact(entry) || PyDict_CheckExact(entry)) {
        const Py_ssize_t size = PyDict_CheckExact(entry) ? PyDict_GET_SIZE(entry) : Py_SIZE(entry);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
        return;
    }
#else
    (void)entry;
#endif
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
}

[[gnu::cold]] void err_not_enough(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
}

// `first, second = entry` for anything but an exact tuple or list: by iteration, as the
// interpreter does it, errors included.
[[gnu::noinline]] bool read_pair_iter(PyObject* entry, double& first, double& second) {
    vk::Ref it = vk::Ref::steal(PyObject_GetIter(entry));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(entry)->tp_iter == nullptr &&
            !PySequence_Check(entry)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(entry)->tp_name);
        }
        return false;
    }
    vk::Ref values[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        values[k] = vk::Ref::steal(PyIter_Next(it.get()));
        if (!values[k]) {
            if (!PyErr_Occurred()) err_not_enough(k);
            return false;
        }
    }
    vk::Ref extra = vk::Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        err_too_many(entry);
        return false;
    }
    if (PyErr_Occurred()) return false;
    return to_double(values[0].get(), first) && to_double(values[1].get(), second);
}

// Unpacks one history entry into exactly two values and converts both to doubles. The caller
// holds a reference to `entry`.
inline bool read_pair(PyObject* entry, double& first, double& second) {
    if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
        const Py_ssize_t size = Py_SIZE(entry);
        if (size != 2) [[unlikely]] {
            if (size < 2) {
                err_not_enough(size);
            } else {
                err_too_many(entry);
            }
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(entry);
        if (plain_number(items[0]) && plain_number(items[1])) [[likely]] {
            return to_double(items[0], first) && to_double(items[1], second);
        }
        // A __float__ may mutate a list entry: keep both values alive while converting.
        vk::Ref a = vk::Ref::borrow(items[0]);
        vk::Ref b = vk::Ref::borrow(items[1]);
        return to_double(a.get(), first) && to_double(b.get(), second);
    }
    return read_pair_iter(entry, first, second);
}

// Feeds every (timestamp, value) entry of `history` to `sink`, in order. Walks the live list the
// way a for loop does, so a callback that shortens or grows it is seen and nothing dangles.
template <class Sink>
inline bool for_each_pair(PyObject* history, Sink&& sink) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(history); ++i) {
        PyObject* e = PyList_GET_ITEM(history, i);
        // The common entry, a tuple of two floats, is read without running any Python code.
        if (PyTuple_CheckExact(e) && PyTuple_GET_SIZE(e) == 2) [[likely]] {
            PyObject* a = PyTuple_GET_ITEM(e, 0);
            PyObject* b = PyTuple_GET_ITEM(e, 1);
            if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) [[likely]] {
                sink(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b));
                continue;
            }
        }
        vk::Ref entry = vk::Ref::borrow(e);
        double first, second;
        if (!read_pair(entry.get(), first, second)) return false;
        sink(first, second);
    }
    return true;
}

// `entry[0]` converted to a double.
bool first_item(PyObject* entry, double& out) {
    if ((PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) && Py_SIZE(entry) > 0) {
        vk::Ref item = vk::Ref::borrow(PySequence_Fast_ITEMS(entry)[0]);
        return to_double(item.get(), out);
    }
    vk::Ref zero = vk::Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    vk::Ref item = vk::Ref::steal(PyObject_GetItem(entry, zero.get()));
    return item && to_double(item.get(), out);
}

// `len(None)` as the interpreter reports it.
PyObject* err_len_of_none() {
    (void)PyObject_Length(Py_None);
    return nullptr;
}

// Exact str equality without calling back into Python (both are exact str or None).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (a == Py_None || b == Py_None) return false;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(len) * PyUnicode_KIND(a)) == 0;
}

PyObject* new_float(double v) { return PyFloat_FromDouble(v); }

// ---- history detectors -------------------------------------------------------------------------

constexpr auto kDegradation = vk::sig("detect_performance_degradation", "performance_history",
    "baseline_performance", "threshold", "window_start_time");

PyObject* detect_performance_degradation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    PyObject* history = nullptr;
    double baseline = 0.0, threshold = 0.0, window_start = 0.0;
    if (!vk::parse(kDegradation, args, nargs, kwnames, vk::list_or_none(history),
                   vk::f64(baseline), vk::f64(threshold), vk::f64(window_start))) {
        return nullptr;
    }
    if (history == Py_None || PyList_GET_SIZE(history) == 0 || baseline <= 0.0) Py_RETURN_FALSE;
    if (static_cast<std::size_t>(PyList_GET_SIZE(history)) < core::kMinDegradationSamples) {
        Py_RETURN_FALSE;
    }
    core::DegradationWindow window{window_start};
    if (!for_each_pair(history, [&](double ts, double metric) { window.add(ts, metric); })) {
        return nullptr;
    }
    return vk::boolean(window.degraded(baseline, threshold));
}

constexpr auto kTrend = vk::sig("calculate_performance_trend", "performance_history",
    "window_start_time");

PyObject* calculate_performance_trend(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    PyObject* history = nullptr;
    double window_start = 0.0;
    if (!vk::parse(kTrend, args, nargs, kwnames, vk::list_or_none(history),
                   vk::f64(window_start))) {
        return nullptr;
    }
    if (history == Py_None ||
        static_cast<std::size_t>(PyList_GET_SIZE(history)) < core::kMinTrendSamples) {
        return new_float(0.0);
    }
    core::TrendWindow window{window_start};
    if (!for_each_pair(history, [&](double ts, double metric) { window.add(ts, metric); })) {
        return nullptr;
    }
    return new_float(window.trend());
}

// A running sum with the interpreter's addition, starting at 0.0: native while every addend is a
// plain int or float (which float addition converts exactly like this), a Python object after
// the first other addend.
class PySum {
public:
    bool add(PyObject* v) {
        if (!obj_ && plain_number(v)) {
            double d;
            if (!to_double(v, d)) return false;
            value_ += d;
            return true;
        }
        if (!obj_) {
            obj_ = vk::Ref::steal(PyFloat_FromDouble(value_));
            if (!obj_) return false;
        }
        obj_ = vk::Ref::steal(PyNumber_Add(obj_.get(), v));
        return static_cast<bool>(obj_);
    }
    bool native() const { return !obj_; }
    double value() const { return value_; }
    PyObject* object() {  // new reference
        return obj_ ? Py_NewRef(obj_.get()) : PyFloat_FromDouble(value_);
    }

private:
    double value_ = 0.0;
    vk::Ref obj_;
};

// |(recent - older) * (1/3)|, in native arithmetic when both sums are floats, else with the
// interpreter's operators.
bool mean_shift(PySum& recent, PySum& older, double& out) {
    if (recent.native() && older.native()) {
        out = core::mean_shift(recent.value(), older.value());
        return true;
    }
    vk::Ref r = vk::Ref::steal(recent.object());
    vk::Ref o = r ? vk::Ref::steal(older.object()) : vk::Ref();
    if (!o) return false;
    vk::Ref diff = vk::Ref::steal(PyNumber_Subtract(r.get(), o.get()));
    if (!diff) return false;
    vk::Ref third = vk::Ref::steal(PyFloat_FromDouble(0.3333333333333333));
    if (!third) return false;
    vk::Ref scaled = vk::Ref::steal(PyNumber_Multiply(diff.get(), third.get()));
    if (!scaled) return false;
    vk::Ref magnitude = vk::Ref::steal(PyNumber_Absolute(scaled.get()));
    return magnitude && to_double(magnitude.get(), out);
}

PyObject* tuple4(bool changed, double a, double b, double c) {
    PyObject* t = PyTuple_New(4);
    if (t == nullptr) return nullptr;
    PyObject* items[3] = {PyFloat_FromDouble(a), PyFloat_FromDouble(b), PyFloat_FromDouble(c)};
    PyTuple_SET_ITEM(t, 0, vk::boolean(changed));
    for (Py_ssize_t k = 0; k < 3; ++k) PyTuple_SET_ITEM(t, k + 1, items[k]);
    if (!items[0] || !items[1] || !items[2]) {
        Py_DECREF(t);
        return nullptr;
    }
    return t;
}

constexpr auto kCharacteristics = vk::sig("detect_workload_characteristics_change",
    "pattern_history", vk::arg("change_threshold") = 0.3);

PyObject* detect_workload_characteristics_change(PyObject* module, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* history = nullptr;
    double change_threshold;
    if (!vk::parse(kCharacteristics, args, nargs, kwnames, vk::list_or_none(history),
                   vk::f64(change_threshold))) {
        return nullptr;
    }
    if (history == Py_None) return err_len_of_none();
    ModuleState* st = state(module);
    constexpr Py_ssize_t kWindow = static_cast<Py_ssize_t>(core::kCharacteristicsWindow);
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < kWindow) return Py_NewRef(st->no_change_characteristics);

    // Key lookups and additions may run Python code; the six entries stay as read here.
    vk::Ref entries[kWindow];
    for (Py_ssize_t k = 0; k < kWindow; ++k) {
        entries[k] = vk::Ref::borrow(PyList_GET_ITEM(history, n - kWindow + k));
    }
    PyObject* const keys[3] = {st->names[s_parallelization_potential], st->names[s_cpu_intensity],
                              st->names[s_memory_intensity]};
    for (Py_ssize_t k = 0; k < kWindow; ++k) {
        PyObject* entry = entries[k].get();
        if (!PyDict_CheckExact(entry)) {
            if (entry == Py_None) {
                PyErr_SetString(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
            } else {
                PyErr_Format(PyExc_TypeError, "pattern_history entries must be dict, not %.200s",
                             Py_TYPE(entry)->tp_name);
            }
            return nullptr;
        }
        for (PyObject* key : keys) {
            const int has = PyDict_Contains(entry, key);
            if (has < 0) return nullptr;
            if (has == 0) return Py_NewRef(st->no_change_characteristics);
        }
    }

    PySum recent[3], older[3];
    for (Py_ssize_t k = kWindow / 2; k < kWindow + kWindow / 2; ++k) {
        // Entries n-3 .. n-1 first, then n-6 .. n-4.
        const Py_ssize_t at = k % kWindow;
        PySum* sums = at >= kWindow / 2 ? recent : older;
        for (Py_ssize_t j = 0; j < 3; ++j) {
            PyObject* v = PyDict_GetItemWithError(entries[at].get(), keys[j]);
            if (v == nullptr) {
                // Only reachable when a callback removed the key after it was checked.
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, keys[j]);
                return nullptr;
            }
            vk::Ref value = vk::Ref::borrow(v);
            if (!sums[j].add(value.get())) return nullptr;
        }
    }
    double change[3];
    for (Py_ssize_t j = 0; j < 3; ++j) {
        if (!mean_shift(recent[j], older[j], change[j])) return nullptr;
    }
    const bool changed = change[0] > change_threshold || change[1] > change_threshold ||
                         change[2] > change_threshold;
    return tuple4(changed, change[0], change[1], change[2]);
}

// None hashes like any object; a fixed value is enough, it only ever equals itself.
constexpr uint64_t kNoneHash = 0x9e3779b97f4a7c15ull;

constexpr auto kDominant = vk::sig("detect_dominant_pattern", "patterns",
    vk::arg("window_size") = 5);

PyObject* detect_dominant_pattern(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* patterns = nullptr;
    int32_t window_size;
    if (!vk::parse(kDominant, args, nargs, kwnames, vk::list_or_none(patterns),
                   vk::i32(window_size))) {
        return nullptr;
    }
    if (patterns == Py_None) return err_len_of_none();
    const Py_ssize_t n = PyList_GET_SIZE(patterns);
    const int64_t from = static_cast<int64_t>(n) - window_size;
    const Py_ssize_t start = from < 0 ? 0 : static_cast<Py_ssize_t>(from);
    if (start >= n) return Py_NewRef(state(module)->names[s_mixed]);

    // Hashing and comparing exact str runs no Python code: the list cannot change meanwhile,
    // so its items need no references of their own.
    try {
        core::OrderedCounter<PyObject*> counts;
        for (Py_ssize_t i = start; i < n; ++i) {
            PyObject* p = PyList_GET_ITEM(patterns, i);
            uint64_t hash;
            if (PyUnicode_CheckExact(p)) {
                hash = static_cast<uint64_t>(PyObject_Hash(p));
            } else if (p == Py_None) {
                hash = kNoneHash;
            } else {
                PyErr_Format(PyExc_TypeError, "patterns entries must be str or None, not %.200s",
                             Py_TYPE(p)->tp_name);
                return nullptr;
            }
            counts.add(p, hash, same_text);
        }
        return Py_NewRef(counts[counts.most_common()].key);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* tuple3(int32_t a, int32_t b, double c) {
    PyObject* t = PyTuple_New(3);
    if (t == nullptr) return nullptr;
    PyObject* items[3] = {PyLong_FromLong(a), PyLong_FromLong(b), PyFloat_FromDouble(c)};
    for (Py_ssize_t k = 0; k < 3; ++k) PyTuple_SET_ITEM(t, k, items[k]);
    if (!items[0] || !items[1] || !items[2]) {
        Py_DECREF(t);
        return nullptr;
    }
    return t;
}

constexpr auto kPredict = vk::sig("predict_resource_requirements", "allocation_history",
    "prediction_horizon_seconds");

PyObject* predict_resource_requirements(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    PyObject* history = nullptr;
    double horizon = 0.0;
    if (!vk::parse(kPredict, args, nargs, kwnames, vk::list_or_none(history), vk::f64(horizon))) {
        return nullptr;
    }
    if (history == Py_None) return err_len_of_none();
    ModuleState* st = state(module);
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (static_cast<std::size_t>(n) < core::kMinPredictionSamples) {
        return Py_NewRef(st->no_change_prediction);
    }
    double first_ts, last_ts;
    {
        vk::Ref first = vk::Ref::borrow(PyList_GET_ITEM(history, 0));
        if (!first_item(first.get(), first_ts)) return nullptr;
    }
    {
        // Converting the first timestamp may have run Python code: take the last entry now.
        const Py_ssize_t size = PyList_GET_SIZE(history);
        if (size == 0) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return nullptr;
        }
        vk::Ref last = vk::Ref::borrow(PyList_GET_ITEM(history, size - 1));
        if (!first_item(last.get(), last_ts)) return nullptr;
    }
    const double duration = last_ts - first_ts;
    if (duration <= 0.0) return Py_NewRef(st->no_change_prediction);
    double total_size = 0.0;
    if (!for_each_pair(history, [&](double, double size) { total_size += size; })) return nullptr;
    const core::Prediction p =
        core::predict(static_cast<std::size_t>(n), duration, total_size, horizon);
    return tuple3(p.allocations, p.bytes, p.confidence);
}

// ---- adaptation decisions ----------------------------------------------------------------------

constexpr auto kBeneficial = vk::sig("is_adaptation_beneficial", "current_pool",
    "recommended_pool", "recommendation_score", "recommendation_confidence",
    "current_performance_estimate", "trigger_code", vk::arg("min_improvement_ratio") = 1.1,
    vk::arg("min_confidence") = 0.6);

PyObject* is_adaptation_beneficial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    PyObject *current = nullptr, *recommended = nullptr;
    double score = 0.0, confidence = 0.0, estimate = 0.0;
    int32_t trigger = 0;
    double min_ratio, min_confidence;
    if (!vk::parse(kBeneficial, args, nargs, kwnames, vk::str_or_none(current),
                   vk::str_or_none(recommended), vk::f64(score), vk::f64(confidence),
                   vk::f64(estimate), vk::i32(trigger), vk::f64(min_ratio),
                   vk::f64(min_confidence))) {
        return nullptr;
    }
    return vk::boolean(core::is_beneficial(same_text(current, recommended), score, confidence,
                                           estimate, trigger, min_ratio, min_confidence));
}

constexpr auto kSkip = vk::sig("should_skip_adaptation", "last_adaptation_time", "current_time",
    "min_interval");

PyObject* should_skip_adaptation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    double last = 0.0, now = 0.0, interval = 0.0;
    if (!vk::parse(kSkip, args, nargs, kwnames, vk::f64(last), vk::f64(now), vk::f64(interval))) {
        return nullptr;
    }
    return vk::boolean(core::should_skip(last, now, interval));
}

constexpr auto kPressure = vk::sig("detect_memory_pressure", "current_usage", "peak_usage",
    vk::arg("pressure_threshold") = 0.8);

PyObject* detect_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    double current = 0.0, peak = 0.0, threshold;
    if (!vk::parse(kPressure, args, nargs, kwnames, vk::f64(current), vk::f64(peak),
                   vk::f64(threshold))) {
        return nullptr;
    }
    return vk::boolean(core::memory_pressure(current, peak, threshold));
}

constexpr auto kFragmentation = vk::sig("detect_fragmentation_threshold", "fragmentation_ratio",
    vk::arg("threshold") = 0.3);

PyObject* detect_fragmentation_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    double ratio = 0.0, threshold;
    if (!vk::parse(kFragmentation, args, nargs, kwnames, vk::f64(ratio), vk::f64(threshold))) {
        return nullptr;
    }
    return vk::boolean(core::fragmented(ratio, threshold));
}

constexpr auto kUrgency = vk::sig("calculate_adaptation_urgency", "performance_degradation",
    "memory_pressure", "fragmentation_ratio", "workload_changed");

PyObject* calculate_adaptation_urgency(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    double degradation = 0.0, pressure = 0.0, fragmentation = 0.0;
    bool changed = false;
    if (!vk::parse(kUrgency, args, nargs, kwnames, vk::f64(degradation), vk::f64(pressure),
                   vk::f64(fragmentation), vk::flag(changed))) {
        return nullptr;
    }
    return new_float(core::urgency(degradation, pressure, fragmentation, changed));
}

constexpr auto kRecommendation = vk::sig("score_pool_recommendation", "workload_fit", "memory_fit",
    "thread_count_fit", "historical_success_rate");

PyObject* score_pool_recommendation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    double workload = 0.0, memory = 0.0, threads = 0.0, history = 0.0;
    if (!vk::parse(kRecommendation, args, nargs, kwnames, vk::f64(workload), vk::f64(memory),
                   vk::f64(threads), vk::f64(history))) {
        return nullptr;
    }
    return new_float(core::recommendation(workload, memory, threads, history));
}

// ---- module ------------------------------------------------------------------------------------

// Definition order is the namespace order.
PyMethodDef module_functions[] = {
    vk::def_function(kDegradation, detect_performance_degradation,
                     "True when the mean metric since window_start_time fell below the baseline "
                     "by more than\nthreshold (a fraction of the baseline)."),
    vk::def_function(kTrend, calculate_performance_trend,
                     "Least-squares slope of the metric since window_start_time relative to its "
                     "mean, per\nsecond, clamped to -1.0 .. 1.0."),
    vk::def_function(kCharacteristics, detect_workload_characteristics_change,
                     "Compares the mean characteristics of the last three entries with the three "
                     "before:\n(changed, parallel_change, cpu_change, memory_change)."),
    vk::def_function(kDominant, detect_dominant_pattern,
                     "The most frequent pattern name among the last window_size entries (ties to "
                     "the first\nseen), or 'mixed'."),
    vk::def_function(kBeneficial, is_adaptation_beneficial,
                     "Whether switching to the recommended pool is worth it."),
    vk::def_function(kSkip, should_skip_adaptation,
                     "True while the cool-down since the last adaptation has not elapsed."),
    vk::def_function(kPressure, detect_memory_pressure,
                     "True when current usage exceeds pressure_threshold of the peak."),
    vk::def_function(kFragmentation, detect_fragmentation_threshold,
                     "True when a non-negative fragmentation ratio exceeds threshold."),
    vk::def_function(kUrgency, calculate_adaptation_urgency,
                     "Weighted urgency of an adaptation, 0.0 .. 1.0."),
    vk::def_function(kRecommendation, score_pool_recommendation,
                     "Weighted score of a candidate pool, 0.0 .. 1.0."),
    vk::def_function(kPredict, predict_resource_requirements,
                     "(predicted_allocations, predicted_bytes, confidence) over the horizon, "
                     "from the\nallocation rate and mean size so far; both counts saturate to "
                     "the int32 range."),
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    st->no_change_characteristics = Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0);
    st->no_change_prediction = Py_BuildValue("(iid)", 0, 0, 0.0);
    if (!st->no_change_characteristics || !st->no_change_prediction || !st->names.init()) {
        return -1;
    }
    if (PyModule_AddFunctions(m, module_functions) < 0) return -1;
    return vk::log_loaded(m, "Native pool adaptation module loaded: trend, change "
                             "detection and adaptation scoring active") ? 0 : -1;
}

}  // namespace
}  // namespace pool_adaptation

VK_MODULE(pool_adaptation, "velkora.plugins.analyzer.pool_adaptation",
          "Pool adaptation decisions: trend and change detection over the orchestrator's histories,\n"
          "and the scores that decide whether, when and how urgently to switch memory pools.")
