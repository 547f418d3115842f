// Module state of velkora.memory.sync_cells and the helpers its classes share. Included by the
// module unit only (after atomic_counter.hpp).
#pragma once

#include <optional>

#include "vkbind/vkbind.hpp"

#include "atomic_counter.hpp"

namespace sync_cells {

// The twelve public counters of LockFreeStatistics, in attribute-table order.
enum StatsCounter : int {
    kTotalAllocations,
    kTotalDeallocations,
    kCurrentAllocations,
    kBytesAllocated,
    kBytesReserved,
    kPeakAllocations,
    kPeakBytesAllocated,
    kBucketedAllocations,
    kFallbackAllocations,
    kAlignmentPaddingBytes,
    kTotalAllocationTimeNs,
    kTotalDeallocationTimeNs,
    kStatsCounterCount,
};

inline constexpr const char* kStatsCounterNames[kStatsCounterCount] = {
    "total_allocations",    "total_deallocations",   "current_allocations",
    "bytes_allocated",      "bytes_reserved",        "peak_allocations",
    "peak_bytes_allocated", "bucketed_allocations",  "fallback_allocations",
    "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

inline constexpr int kSnapshotKeyCount = 14;
inline constexpr const char* kSnapshotKeys[kSnapshotKeyCount] = {
    "total_allocations",      "total_deallocations",         "current_allocations",
    "bytes_allocated",        "bytes_reserved",              "peak_allocations",
    "peak_bytes_allocated",   "bucketed_allocations",        "fallback_allocations",
    "bucketed_allocation_ratio", "alignment_padding_bytes",  "average_allocation_time_ns",
    "average_deallocation_time_ns", "allocation_mode",
};

struct ModuleState {
    PyTypeObject* AtomicCounter = nullptr;
    PyTypeObject* AtomicPointer = nullptr;
    PyTypeObject* LockFreeStack = nullptr;
    PyTypeObject* LockFreeStatistics = nullptr;
    PyTypeObject* PerformanceTimer = nullptr;
    vk::LockSupport locks;

    // Interned names, created at exec.
    PyObject* s_increment = nullptr;
    PyObject* s_decrement = nullptr;
    PyObject* s_load = nullptr;
    PyObject* s_store = nullptr;
    PyObject* s_compare_and_swap = nullptr;
    PyObject* s_update_peaks = nullptr;
    PyObject* s_elapsed_ns = nullptr;
    PyObject* s_threading = nullptr;
    PyObject* s_Lock = nullptr;
    PyObject* s_time = nullptr;
    PyObject* s_perf_counter_ns = nullptr;
    PyObject* s_ratio_format = nullptr;  // ".1f"
    PyObject* s_mode = nullptr;          // the snapshot's allocation mode
    PyObject* snapshot_keys[kSnapshotKeyCount] = {};
    // The snapshot's keys in order, all mapped to None: copying it and replacing the values is
    // cheaper than growing a new dict key by key.
    PyObject* snapshot_template = nullptr;

    bool init_strings() {
        struct Item {
            PyObject** slot;
            const char* text;
        };
        const Item items[] = {
            {&s_increment, "increment"},   {&s_decrement, "decrement"},
            {&s_load, "load"},             {&s_store, "store"},
            {&s_compare_and_swap, "compare_and_swap"},
            {&s_update_peaks, "_update_peaks"},
            {&s_elapsed_ns, "elapsed_ns"}, {&s_threading, "threading"},
            {&s_Lock, "Lock"},             {&s_time, "time"},
            {&s_perf_counter_ns, "perf_counter_ns"},
            {&s_ratio_format, ".1f"},      {&s_mode, "lock-free C11 atomics"},
        };
        for (const Item& it : items) {
            *it.slot = PyUnicode_InternFromString(it.text);
            if (*it.slot == nullptr) return false;
        }
        for (int i = 0; i < kSnapshotKeyCount; ++i) {
            snapshot_keys[i] = PyUnicode_InternFromString(kSnapshotKeys[i]);
            if (snapshot_keys[i] == nullptr) return false;
        }
        snapshot_template = PyDict_New();
        if (snapshot_template == nullptr) return false;
        for (PyObject* k : snapshot_keys) {
            if (PyDict_SetItem(snapshot_template, k, Py_None) < 0) return false;
        }
        return true;
    }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(AtomicCounter);
        Py_VISIT(AtomicPointer);
        Py_VISIT(LockFreeStack);
        Py_VISIT(LockFreeStatistics);
        Py_VISIT(PerformanceTimer);
        return locks.traverse(visit, arg);
    }

    void clear() {
        Py_CLEAR(AtomicCounter);
        Py_CLEAR(AtomicPointer);
        Py_CLEAR(LockFreeStack);
        Py_CLEAR(LockFreeStatistics);
        Py_CLEAR(PerformanceTimer);
        locks.clear();
        for (PyObject** s : {&s_increment, &s_decrement, &s_load, &s_store, &s_compare_and_swap,
                             &s_update_peaks, &s_elapsed_ns, &s_threading, &s_Lock, &s_time,
                             &s_perf_counter_ns, &s_ratio_format, &s_mode}) {
            Py_CLEAR(*s);
        }
        for (PyObject*& k : snapshot_keys) Py_CLEAR(k);
        Py_CLEAR(snapshot_template);
    }
};

// Binding of a callable without parameters that is not METH_NOARGS (METH_METHOD ones), with the
// binding layer's messages.
inline bool no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 0 && nkw == 0) [[likely]] return true;
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, nargs + nkw);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
    }
    return false;
}

extern PyModuleDef module_def;  // defined in sync_cells.cpp

// The state of the module that defines `type` (or one of its bases); nullptr with an exception set
// when there is none.
inline ModuleState* state_of_type(PyTypeObject* type) {
    PyObject* m = PyType_GetModuleByDef(type, &module_def);  // borrowed
    if (m == nullptr) return nullptr;
    return vk::state_of<ModuleState>(m);
}

// Calls obj.<name>(*args), looked up on the object. A reference to `obj` is held for the call, so a
// method that replaces the attribute it was read from cannot free its own receiver. `obj` nullptr
// stands for None.
inline PyObject* call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* argv[4];
    argv[0] = obj != nullptr ? obj : Py_None;
    std::size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    Py_INCREF(argv[0]);
    PyObject* self = argv[0];
    PyObject* r = PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(self);
    return r;
}

// `threading.Lock()`, with the module global `threading` looked up now. Also reports whether the
// result is a genuine lock: every section of the cells guarded by one is pure, so such a lock is
// never entered (see vkbind/lock.hpp).
inline PyObject* new_lock(PyTypeObject* type, bool& genuine) {
    PyObject* m = PyType_GetModuleByDef(type, &module_def);
    if (m == nullptr) return nullptr;
    ModuleState* st = vk::state_of<ModuleState>(m);
    vk::Ref threading = vk::Ref::steal(PyObject_GetAttr(m, st->s_threading));
    if (!threading) return nullptr;
    PyObject* lock = call_method(threading.get(), st->s_Lock, {});
    if (lock != nullptr) genuine = st->locks.is_genuine(lock);
    return lock;
}

// A section guarded by an object's own lock, where every section of that lock is pure: a genuine
// lock is skipped; anything else (an injected lock, or a missing one) sees __enter__ and __exit__.
class CellSection {
public:
    CellSection(PyObject* owner, PyObject* lock, bool genuine) {
        if (genuine) return;
        ModuleState* st = state_of_type(Py_TYPE(owner));
        if (st == nullptr) {
            failed_ = true;
            return;
        }
        guard_.emplace(st->locks, lock != nullptr ? lock : Py_None, vk::Section::Pure);
        failed_ = !guard_->ok();
    }
    CellSection(const CellSection&) = delete;
    CellSection& operator=(const CellSection&) = delete;

    // False: an exception is set and the lock is not held.
    bool ok() const { return !failed_; }
    // Leaves the section; false (exception set) when the lock's __exit__ raised.
    bool release() { return !guard_ || guard_->release(); }

private:
    std::optional<vk::LockGuard> guard_;
    bool failed_ = false;
};

}  // namespace sync_cells
