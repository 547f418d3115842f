// LockFreeStatistics: allocation statistics kept in twelve public counter attributes. Every
// recording step is one call on the counter that is in its attribute at that moment; an exact
// AtomicCounter is updated natively (its methods can only be our own code), anything else through
// the method looked up by name. Recordings are sequences of atomic steps, not transactions.
#pragma once

#include <cstdint>
#include <cstring>

#include "sync_cells_core.hpp"
#include "sync_cells_state.hpp"

namespace sync_cells {

struct StatsObject {
    PyObject_HEAD
    PyObject* update_lock;                   // threading.Lock serialising reset()
    PyObject* counters[kStatsCounterCount];  // the public attributes; nullptr reads as None

    auto owned() { return std::tie(update_lock, counters); }
};

inline StatsObject* as_stats(PyObject* o) { return reinterpret_cast<StatsObject*>(o); }

namespace stats_detail {

// What a step hands to increment/decrement: no argument, a Python int, or a native value.
struct Amount {
    bool given;
    PyObject* obj;  // the Python int, or nullptr when `value` holds the amount
    int64_t value;
};
inline constexpr Amount kNoAmount{false, nullptr, 1};
inline Amount py_amount(PyObject* o) { return {true, o, 0}; }
inline Amount native_amount(int64_t v) { return {true, nullptr, v}; }

inline CounterObject* exact_counter(const ModuleState* st, PyObject* o) {
    return o != nullptr && Py_IS_TYPE(o, st->AtomicCounter) ? as_counter(o) : nullptr;
}

// counter.increment(...) or counter.decrement(...) on the object in slot `idx` now.
inline bool add_step(const ModuleState* st, StatsObject* s, int idx, bool up, Amount a) {
    PyObject* c = s->counters[idx];
    if (CounterObject* cc = exact_counter(st, c)) {
        int64_t d = a.value;
        // The range check the counter's own method applies, with its message.
        if (a.obj != nullptr &&
            !vk::convert(a.obj, vk::i64(d), vk::ArgCtx{up ? "increment" : "decrement", "delta"})) {
            return false;
        }
        if (up) {
            counter_increment(cc, d);
        } else {
            counter_decrement(cc, d);
        }
        return true;
    }
    PyObject* name = up ? st->names[s_increment] : st->names[s_decrement];
    vk::Ref r;
    if (!a.given) {
        r = vk::Ref::steal(vk::call_method(c, name));
    } else if (a.obj != nullptr) {
        r = vk::Ref::steal(vk::call_method(c, name, a.obj));
    } else {
        vk::Ref v = vk::Ref::steal(PyLong_FromLongLong(a.value));
        if (!v) return false;
        r = vk::Ref::steal(vk::call_method(c, name, v.get()));
    }
    return static_cast<bool>(r);
}

// A counter value: native when read from an exact AtomicCounter, else whatever load() returned.
struct Loaded {
    vk::Ref obj;
    int64_t value = 0;
    bool native = false;

    // The value as an object (nullptr with an exception on allocation failure).
    PyObject* object() {
        if (!obj) obj = vk::Ref::steal(PyLong_FromLongLong(value));
        return obj.get();
    }
    // The value as int64 when it is an int in range.
    bool as_i64(int64_t& out) const {
        if (native) {
            out = value;
            return true;
        }
        if (!PyLong_CheckExact(obj.get())) return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj.get(), &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        out = v;
        return true;
    }
};

inline bool load_step(const ModuleState* st, StatsObject* s, int idx, Loaded& out) {
    PyObject* c = s->counters[idx];
    if (CounterObject* cc = exact_counter(st, c)) {
        out.value = counter_load(cc);
        out.native = true;
        return true;
    }
    out.obj = vk::Ref::steal(vk::call_method(c, st->names[s_load]));
    return static_cast<bool>(out.obj);
}

// loop { peak = counter.load(); if current <= peak: stop; if counter.compare_and_swap(peak, current):
// stop }. The attribute is read again for every call: a call may have replaced it.
inline bool raise_peak(const ModuleState* st, StatsObject* s, int idx, Loaded& current) {
    for (;;) {
        int64_t cur;
        if (CounterObject* cc = exact_counter(st, s->counters[idx]); cc && current.as_i64(cur)) {
            core::raise_to(cc->value, cur);
            return true;
        }
        PyObject* cur_obj = current.object();
        if (cur_obj == nullptr) return false;
        vk::Ref peak = vk::Ref::steal(vk::call_method(s->counters[idx], st->names[s_load]));
        if (!peak) return false;
        const int done = PyObject_RichCompareBool(cur_obj, peak.get(), Py_LE);
        if (done != 0) return done > 0;
        vk::Ref swapped = vk::Ref::steal(
            vk::call_method(s->counters[idx], st->names[s_compare_and_swap], peak.get(), cur_obj));
        if (!swapped) return false;
        const int ok = PyObject_IsTrue(swapped.get());
        if (ok != 0) return ok > 0;
    }
}

inline bool update_peaks(const ModuleState* st, StatsObject* s, Loaded& allocs, Loaded& bytes) {
    return raise_peak(st, s, kPeakAllocations, allocs) &&
           raise_peak(st, s, kPeakBytesAllocated, bytes);
}

inline bool positive(PyObject* exact_int) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    return overflow > 0 || (overflow == 0 && v > 0);
}

// The totals every recording moves, in this order: the count, the live count, the live bytes.
inline bool count_allocation(const ModuleState* st, StatsObject* s, Amount size) {
    return add_step(st, s, kTotalAllocations, true, kNoAmount) &&
           add_step(st, s, kCurrentAllocations, true, kNoAmount) &&
           add_step(st, s, kBytesAllocated, true, size);
}
inline bool count_deallocation(const ModuleState* st, StatsObject* s, Amount size) {
    return add_step(st, s, kTotalDeallocations, true, kNoAmount) &&
           add_step(st, s, kCurrentAllocations, false, kNoAmount) &&
           add_step(st, s, kBytesAllocated, false, size);
}

// An optional amount (padding, a duration) is added only when it was passed and is positive.
inline bool add_if_positive(const ModuleState* st, StatsObject* s, int idx, const vk::Ref& amount) {
    return !amount || !positive(amount.get()) || add_step(st, s, idx, true, py_amount(amount.get()));
}

constexpr auto kUpdatePeaks = vk::sig("_update_peaks", "current_allocs", "current_bytes");

// self._update_peaks(allocs, bytes), looked up on the instance. For the exact type that lookup can
// only find our own method: convert as its parameters do and run it directly.
inline bool peaks_via_instance(const ModuleState* st, PyTypeObject* cls, PyObject* self,
                               Loaded& allocs, Loaded& bytes) {
    if (Py_TYPE(self) == cls) {
        Loaded* both[2] = {&allocs, &bytes};
        for (int i = 0; i < 2; ++i) {
            Loaded& l = *both[i];
            if (l.native) continue;
            vk::Ref conv;
            if (!vk::convert(l.obj.get(), vk::pyint(conv),
                             vk::ArgCtx{kUpdatePeaks.name, kUpdatePeaks.params[i]})) {
                return false;
            }
            l.obj = std::move(conv);
        }
        return update_peaks(st, as_stats(self), allocs, bytes);
    }
    PyObject* a = allocs.object();
    PyObject* b = a != nullptr ? bytes.object() : nullptr;
    if (b == nullptr) return false;
    vk::Ref r = vk::Ref::steal(vk::call_method(self, st->names[s_update_peaks], a, b));
    return static_cast<bool>(r);
}

// format(ratio, ".1f") + "%" for a native ratio.
inline PyObject* ratio_text(double ratio) {
    char* s = PyOS_double_to_string(ratio, 'f', 1, 0, nullptr);
    if (s == nullptr) return PyErr_NoMemory();
    char buf[64];
    const std::size_t n = std::strlen(s);
    PyObject* r;
    if (n + 1 < sizeof(buf)) {
        std::memcpy(buf, s, n);
        buf[n] = '%';
        r = PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n + 1));
    } else {
        r = PyUnicode_FromFormat("%s%%", s);
    }
    PyMem_Free(s);
    return r;
}

}  // namespace stats_detail

// ---- Python binding ----------------------------------------------------------------------------

constexpr auto kRecordAllocation = vk::sig("record_allocation", "size",
    vk::arg("is_bucketed") = true, vk::arg("padding") = 0, vk::arg("time_ns") = 0);
constexpr auto kRecordDeallocation = vk::sig("record_deallocation", "size", vk::arg("time_ns") = 0);
constexpr auto kPyRecordAllocation = vk::sig("py_record_allocation", "size", "is_bucketed",
    vk::arg("padding") = 0, vk::arg("time_ns") = 0);
constexpr auto kPyRecordDeallocation = vk::sig("py_record_deallocation", "size",
    vk::arg("time_ns") = 0);
constexpr const char* kGetSnapshot = "get_snapshot";
constexpr const char* kReset = "reset";

inline PyObject* stats_record_allocation(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    using namespace stats_detail;
    vk::Ref size, padding, time_ns;
    bool bucketed;
    // The truth test of is_bucketed runs here, before any counter call.
    if (!vk::parse(kRecordAllocation, args, nargs, kwnames, vk::pyint(size), vk::flag(bucketed),
                   vk::pyint(padding), vk::pyint(time_ns))) {
        return nullptr;
    }
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    StatsObject* s = as_stats(self);
    if (!count_allocation(st, s, py_amount(size.get())) ||
        !add_step(st, s, bucketed ? kBucketedAllocations : kFallbackAllocations, true, kNoAmount) ||
        !add_if_positive(st, s, kAlignmentPaddingBytes, padding) ||
        !add_if_positive(st, s, kTotalAllocationTimeNs, time_ns)) {
        return nullptr;
    }
    Loaded allocs, bytes;  // fresh loads, not the values the steps above returned
    if (!load_step(st, s, kCurrentAllocations, allocs) ||
        !load_step(st, s, kBytesAllocated, bytes) ||
        !peaks_via_instance(st, cls, self, allocs, bytes)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

inline PyObject* stats_record_deallocation(PyObject* self, PyTypeObject* cls,
                                           PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    using namespace stats_detail;
    vk::Ref size, time_ns;
    if (!vk::parse(kRecordDeallocation, args, nargs, kwnames, vk::pyint(size),
                   vk::pyint(time_ns))) {
        return nullptr;
    }
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    StatsObject* s = as_stats(self);
    if (!count_deallocation(st, s, py_amount(size.get())) ||
        !add_if_positive(st, s, kTotalDeallocationTimeNs, time_ns)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The older interface: every argument is range-checked before anything changes, and only the three
// totals are updated (the bucket split, padding, times and peaks stay as they are).
inline PyObject* stats_py_record_allocation(PyObject* self, PyTypeObject* cls,
                                            PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    using namespace stats_detail;
    int64_t size = 0, padding, time_ns;
    bool bucketed = false;
    if (!vk::parse(kPyRecordAllocation, args, nargs, kwnames, vk::i64(size), vk::flag(bucketed),
                   vk::i64(padding), vk::i64(time_ns))) {
        return nullptr;
    }
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    StatsObject* s = as_stats(self);
    if (!count_allocation(st, s, native_amount(size))) return nullptr;
    Py_RETURN_NONE;
}

inline PyObject* stats_py_record_deallocation(PyObject* self, PyTypeObject* cls,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    using namespace stats_detail;
    int64_t size = 0, time_ns;
    if (!vk::parse(kPyRecordDeallocation, args, nargs, kwnames, vk::i64(size), vk::i64(time_ns))) {
        return nullptr;
    }
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    StatsObject* s = as_stats(self);
    if (!count_deallocation(st, s, native_amount(size))) return nullptr;
    Py_RETURN_NONE;
}

inline PyObject* stats_update_peaks(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    using namespace stats_detail;
    Loaded allocs, bytes;
    if (!vk::parse(stats_detail::kUpdatePeaks, args, nargs, kwnames, vk::pyint(allocs.obj),
                   vk::pyint(bytes.obj))) {
        return nullptr;
    }
    if (!update_peaks(vk::state_of_type<ModuleState>(cls), as_stats(self), allocs, bytes)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

inline PyObject* stats_get_snapshot(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    using namespace stats_detail;
    if (!vk::no_arguments(kGetSnapshot, nargs, kwnames)) return nullptr;
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    StatsObject* s = as_stats(self);

    Loaded v[kStatsCounterCount];
    for (int i = 0; i < kStatsCounterCount; ++i) {
        if (!load_step(st, s, i, v[i])) return nullptr;
    }

    Loaded& total = v[kTotalAllocations];
    Loaded& deallocs = v[kTotalDeallocations];
    Loaded& bucketed = v[kBucketedAllocations];
    Loaded& alloc_time = v[kTotalAllocationTimeNs];
    Loaded& dealloc_time = v[kTotalDeallocationTimeNs];

    vk::Ref ratio_str, avg_alloc, avg_dealloc;
    int64_t t, d, b, at, dt;
    if (total.as_i64(t) && deallocs.as_i64(d) && bucketed.as_i64(b) && alloc_time.as_i64(at) &&
        dealloc_time.as_i64(dt) && core::exact_in_double(t) && core::exact_in_double(d) &&
        core::exact_in_double(b) && core::exact_in_double(at) && core::exact_in_double(dt)) {
        ratio_str = vk::Ref::steal(ratio_text(core::bucketed_ratio_percent(b, t)));
        avg_alloc = vk::Ref::steal(PyFloat_FromDouble(core::average(at, t)));
        avg_dealloc = vk::Ref::steal(PyFloat_FromDouble(core::average(dt, d)));
    } else {
        // The same expressions on whatever the counters returned (huge ints, replaced counters).
        vk::Ref zero = vk::Ref::steal(PyLong_FromLong(0));
        PyObject* tobj = total.object();
        PyObject* dobj = deallocs.object();
        PyObject* bobj = bucketed.object();
        PyObject* atobj = alloc_time.object();
        PyObject* dtobj = dealloc_time.object();
        if (!zero || !tobj || !dobj || !bobj || !atobj || !dtobj) return nullptr;
        auto quotient_if_positive = [&](PyObject* num, PyObject* den, vk::Ref& out) {
            const int pos = PyObject_RichCompareBool(den, zero.get(), Py_GT);
            if (pos < 0) return false;
            out = vk::Ref::steal(pos ? PyNumber_TrueDivide(num, den) : PyFloat_FromDouble(0.0));
            return static_cast<bool>(out);
        };
        // ratio = bucketed / total * 100.0 if total > 0 else 0.0
        const int tpos = PyObject_RichCompareBool(tobj, zero.get(), Py_GT);
        if (tpos < 0) return nullptr;
        vk::Ref ratio;
        if (tpos) {
            vk::Ref q = vk::Ref::steal(PyNumber_TrueDivide(bobj, tobj));
            vk::Ref hundred = q ? vk::Ref::steal(PyFloat_FromDouble(100.0)) : vk::Ref();
            if (hundred) ratio = vk::Ref::steal(PyNumber_Multiply(q.get(), hundred.get()));
        } else {
            ratio = vk::Ref::steal(PyFloat_FromDouble(0.0));
        }
        if (!ratio || !quotient_if_positive(atobj, tobj, avg_alloc) ||
            !quotient_if_positive(dtobj, dobj, avg_dealloc)) {
            return nullptr;
        }
        // Formatting belongs to building the result, after the averages.
        vk::Ref text = vk::Ref::steal(PyObject_Format(ratio.get(), st->names[s_ratio_format]));
        if (!text) return nullptr;
        ratio_str = vk::Ref::steal(PyUnicode_FromFormat("%U%%", text.get()));
    }
    if (!ratio_str || !avg_alloc || !avg_dealloc) return nullptr;

    // Values in key order; the counts are the loaded counter values.
    PyObject* values[kSnapshotKeyCount];
    for (int i = 0; i <= kFallbackAllocations; ++i) {
        if ((values[i] = v[i].object()) == nullptr) return nullptr;
    }
    values[9] = ratio_str.get();
    if ((values[10] = v[kAlignmentPaddingBytes].object()) == nullptr) return nullptr;
    values[11] = avg_alloc.get();
    values[12] = avg_dealloc.get();
    values[13] = st->names[s_mode];
    vk::Ref dict = vk::Ref::steal(PyDict_Copy(st->snapshot_template));
    if (!dict) return nullptr;
    for (int i = 0; i < kSnapshotKeyCount; ++i) {
        if (PyDict_SetItem(dict.get(), st->names[kSnapshotFirstKey + i], values[i]) < 0) return nullptr;
    }
    return dict.release();
}

inline PyObject* stats_reset(PyObject* self, PyTypeObject* cls, PyObject* const*,
                             Py_ssize_t nargs, PyObject* kwnames) {
    using namespace stats_detail;
    if (!vk::no_arguments(kReset, nargs, kwnames)) return nullptr;
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    StatsObject* s = as_stats(self);
    // Replaced counters run Python code inside this section, so the lock is always entered.
    vk::Ref lock = vk::Ref::borrow(s->update_lock != nullptr ? s->update_lock : Py_None);
    vk::LockGuard guard(st->locks, lock.get(), vk::Section::Python);
    if (!guard.ok()) return nullptr;
    vk::Ref zero;
    for (int i = 0; i < kStatsCounterCount; ++i) {
        if (CounterObject* cc = exact_counter(st, s->counters[i])) {
            counter_store(cc, 0);
            continue;
        }
        if (!zero && !(zero = vk::Ref::steal(PyLong_FromLong(0)))) return nullptr;
        vk::Ref r = vk::Ref::steal(vk::call_method(s->counters[i], st->names[s_store], zero.get()));
        if (!r) return nullptr;
    }
    if (!guard.release()) return nullptr;
    Py_RETURN_NONE;
}

// ---- attributes and lifecycle ------------------------------------------------------------------

inline PyObject* stats_get_counter(PyObject* self, void* closure) {
    PyObject* v = as_stats(self)->counters[reinterpret_cast<intptr_t>(closure)];
    return Py_NewRef(v != nullptr ? v : Py_None);
}

// Any object may be assigned; deleting stores None.
inline int stats_set_counter(PyObject* self, PyObject* value, void* closure) {
    PyObject*& slot = as_stats(self)->counters[reinterpret_cast<intptr_t>(closure)];
    PyObject* old = slot;
    slot = Py_NewRef(value != nullptr ? value : Py_None);
    Py_XDECREF(old);  // last: its finalizer may read the attribute again
    return 0;
}

// Arguments are ignored. The lock and the twelve counters are created here rather than in
// __init__, so a subclass whose __init__ skips ours still gets a working object.
inline PyObject* stats_new(PyTypeObject* type, PyObject*, PyObject*) {
    ModuleState* st = state_of_type(type);
    if (st == nullptr) return nullptr;
    vk::Ref self = vk::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    StatsObject* s = as_stats(self.get());
    bool genuine = false;
    s->update_lock = new_lock(type, genuine);
    if (s->update_lock == nullptr) return nullptr;
    for (PyObject*& c : s->counters) {
        c = st->AtomicCounter->tp_alloc(st->AtomicCounter, 0);  // AtomicCounter(0)
        if (c == nullptr) return nullptr;
    }
    return self.release();
}

inline int stats_init(PyObject*, PyObject*, PyObject*) { return 0; }

inline PyMethodDef stats_methods[] = {
    vk::def_method(kRecordAllocation, stats_record_allocation,
                   "Record one allocation; updates the peaks through self._update_peaks."),
    vk::def_method(kRecordDeallocation, stats_record_deallocation, "Record one deallocation."),
    vk::def_method(kPyRecordAllocation, stats_py_record_allocation,
                   "Older interface: range-checks everything first, then updates the three "
                   "totals only."),
    vk::def_method(kPyRecordDeallocation, stats_py_record_deallocation,
                   "Older interface: range-checks everything first, then updates the three "
                   "totals only."),
    vk::def_method(stats_detail::kUpdatePeaks, stats_update_peaks,
                   "Raise the two peak counters to the given values (never lowers them)."),
    vk::def_method("get_snapshot", stats_get_snapshot,
                   "A dict of the counters, the bucketed ratio and the averages."),
    vk::def_method("reset", stats_reset, "Store 0 into every counter."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

#define VK_STATS_COUNTER(i)                                                                   \
    {kStatsCounterNames[i], stats_get_counter, stats_set_counter, nullptr,                   \
     reinterpret_cast<void*>(static_cast<intptr_t>(i))}

inline PyGetSetDef stats_getset[] = {
    VK_STATS_COUNTER(0), VK_STATS_COUNTER(1), VK_STATS_COUNTER(2),  VK_STATS_COUNTER(3),
    VK_STATS_COUNTER(4), VK_STATS_COUNTER(5), VK_STATS_COUNTER(6),  VK_STATS_COUNTER(7),
    VK_STATS_COUNTER(8), VK_STATS_COUNTER(9), VK_STATS_COUNTER(10), VK_STATS_COUNTER(11),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VK_STATS_COUNTER
static_assert(kStatsCounterCount == 12);

inline const vk::TypeDef stats_type{
    .name = "velkora.memory.sync_cells.LockFreeStatistics", .size = sizeof(StatsObject),
    .doc = "LockFreeStatistics(*args, **kwargs)\n--\n\n"
           "Allocation statistics in twelve AtomicCounter attributes; "
           "recording takes no lock. Arguments are ignored.",
    .new_ = stats_new, .init = stats_init, .traverse = vk::traverse_object<StatsObject>,
    .clear = vk::clear_object<StatsObject>,
    // A counter attribute may hold another LockFreeStatistics: the trashcan bounds the recursion of
    // a long chain
    .dealloc = vk::dealloc_gc_nested<vk::clear_object<StatsObject>>,
    .methods = stats_methods, .getset = stats_getset};

}  // namespace sync_cells
