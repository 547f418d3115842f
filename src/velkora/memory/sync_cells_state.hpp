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

// Interned names, created at exec: methods called on cells and subclasses, then the snapshot's keys
// in result order.
#define SYNC_CELLS_NAMES(X)                                                                   \
    X(increment, "increment") X(decrement, "decrement") X(load, "load") X(store, "store")     \
    X(compare_and_swap, "compare_and_swap") X(update_peaks, "_update_peaks")                 \
    X(elapsed_ns, "elapsed_ns") X(time, "time") X(perf_counter_ns, "perf_counter_ns")        \
    X(ratio_format, ".1f") X(mode, "lock-free C11 atomics")                                  \
    X(total_allocations, "total_allocations") X(total_deallocations, "total_deallocations")  \
    X(current_allocations, "current_allocations") X(bytes_allocated, "bytes_allocated")      \
    X(bytes_reserved, "bytes_reserved") X(peak_allocations, "peak_allocations")              \
    X(peak_bytes_allocated, "peak_bytes_allocated")                                          \
    X(bucketed_allocations, "bucketed_allocations")                                          \
    X(fallback_allocations, "fallback_allocations")                                          \
    X(bucketed_allocation_ratio, "bucketed_allocation_ratio")                                \
    X(alignment_padding_bytes, "alignment_padding_bytes")                                    \
    X(average_allocation_time_ns, "average_allocation_time_ns")                              \
    X(average_deallocation_time_ns, "average_deallocation_time_ns")                          \
    X(allocation_mode, "allocation_mode")

VK_NAMES(SYNC_CELLS_NAMES);

inline constexpr int kSnapshotFirstKey = s_total_allocations;
inline constexpr int kSnapshotKeyCount = s_allocation_mode - kSnapshotFirstKey + 1;

struct ModuleState {
    PyTypeObject* AtomicCounter = nullptr;
    PyTypeObject* AtomicPointer = nullptr;
    PyTypeObject* LockFreeStack = nullptr;
    PyTypeObject* LockFreeStatistics = nullptr;
    PyTypeObject* PerformanceTimer = nullptr;
    vk::LockSupport locks;
    Names names;
    // The snapshot's keys in order, all mapped to None: copying it and replacing the values is
    // cheaper than growing a new dict key by key.
    PyObject* snapshot_template = nullptr;

    bool init() {
        if (!locks.init() || !names.init()) return false;
        snapshot_template = PyDict_New();
        if (snapshot_template == nullptr) return false;
        for (int i = 0; i < kSnapshotKeyCount; ++i) {
            if (PyDict_SetItem(snapshot_template, names[kSnapshotFirstKey + i], Py_None) < 0) {
                return false;
            }
        }
        return true;
    }

    auto owned() {
        return std::tie(AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics,
                        PerformanceTimer, locks, names, snapshot_template);
    }
};

extern PyModuleDef module_def;  // defined at the end of sync_cells.cpp, by VK_MODULE

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

// tp_new of a cell guarded by its own lock (a `lock` and a `genuine_lock` member): the lock is made
// here so that every instance has one, whatever a subclass's __init__ does.
template <class Cell>
PyObject* cell_new(PyTypeObject* type, PyObject*, PyObject*) {
    vk::Ref self = vk::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Cell* c = reinterpret_cast<Cell*>(self.get());
    c->lock = new_lock(type, c->genuine_lock);
    if (c->lock == nullptr) return nullptr;
    return self.release();
}

}  // namespace sync_cells
