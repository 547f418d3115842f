// Module state of velkora.memory.sync_cells and the helpers its classes share. Included by the
// module unit only (after sync_cells_counter.hpp).
#pragma once

#include "vkbind/vkbind.hpp"

#include "sync_cells_counter.hpp"

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
            {&s_elapsed_ns, "elapsed_ns"}, {&s_time, "time"},
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
                             &s_update_peaks, &s_elapsed_ns, &s_time,
                             &s_perf_counter_ns, &s_ratio_format, &s_mode}) {
            Py_CLEAR(*s);
        }
        for (PyObject*& k : snapshot_keys) Py_CLEAR(k);
        Py_CLEAR(snapshot_template);
    }
};

extern PyModuleDef module_def;  // defined in sync_cells.cpp

// The state of the module that defines `type` (or one of its bases); nullptr with an exception set
// when there is none.
inline ModuleState* state_of_type(PyTypeObject* type) {
    PyObject* m = PyType_GetModuleByDef(type, &module_def);  // borrowed
    if (m == nullptr) return nullptr;
    return vk::state_of<ModuleState>(m);
}

// `threading.Lock()`, with the module global `threading` looked up now; `genuine` records whether
// the result is a genuine lock: every section of the cells guarded by one is pure, so such a lock
// is never entered (see vkbind/lock.hpp).
inline PyObject* new_lock(PyTypeObject* type, bool& genuine) {
    PyObject* m = PyType_GetModuleByDef(type, &module_def);
    if (m == nullptr) return nullptr;
    return vk::state_of<ModuleState>(m)->locks.new_lock(m, genuine);
}

// A section guarded by a cell's own lock, where every section of that lock is pure. An unset lock
// (a cell built without __init__) is entered as None, which fails as `with None:` does.
struct CellSection : vk::RecordedSection {
    CellSection(PyObject* owner, PyObject* lock, bool genuine)
        : vk::RecordedSection(
              lock, genuine,
              [owner]() -> const vk::LockSupport* {
                  ModuleState* st = state_of_type(Py_TYPE(owner));
                  return st != nullptr ? &st->locks : nullptr;
              },
              Py_None) {}
};

}  // namespace sync_cells
