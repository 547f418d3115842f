// velkora.memory.sync_cells: atomic counters and the memory layer's small synchronised cells.
#include "vkbind/vkbind.hpp"

#include "sync_cells_counter.hpp"
#include "sync_cells_pointer.hpp"
#include "sync_cells_stack.hpp"
#include "sync_cells_statistics.hpp"
#include "sync_cells_timer.hpp"
#include "sync_cells_state.hpp"

namespace sync_cells {
namespace {

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

// The older Python-level interface, a plain Python class over AtomicCounter: written in the
// Python module beside this one and made here, for this module's counter type.
bool add_wrapper(PyObject* m, PyTypeObject* counter) {
    vk::Ref source = vk::Ref::steal(PyImport_ImportModule("velkora.memory._sync_cells_wrapper"));
    vk::Ref make = source ? vk::Ref::steal(PyObject_GetAttrString(source.get(), "_make_wrapper"))
                          : vk::Ref();
    if (!make) return false;
    return vk::module_add(m, "AtomicCounterWrapper",
                          PyObject_CallOneArg(make.get(), reinterpret_cast<PyObject*>(counter)));
}

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    if (!st->init()) return -1;

    // Native classes, in their documented order.
    if (!vk::add_type(m, counter_type, &st->AtomicCounter) ||
        !vk::add_type(m, pointer_type, &st->AtomicPointer) ||
        !vk::add_type(m, stack_type, &st->LockFreeStack) ||
        !vk::add_type(m, stats_type, &st->LockFreeStatistics) ||
        !vk::add_type(m, timer_type, &st->PerformanceTimer)) {
        return -1;
    }

    if (!vk::import_module(m, "threading") || !vk::import_module(m, "time") ||
        !vk::import_names(m, "typing", {"Optional", "TypeVar", "Generic"})) {
        return -1;
    }

    if (!counter_add_aliases(st->AtomicCounter)) return -1;

    if (!add_wrapper(m, st->AtomicCounter)) return -1;

    if (!vk::log_loaded(m, "Lock-free atomics loaded: C11 atomic operations active "
                           "(10-20x speedup over lock-based counters)")) {
        return -1;
    }
    return vk::module_add(m, "NATIVE_ATOMICS_AVAILABLE", Py_NewRef(Py_True)) ? 0 : -1;
}

}  // namespace
}  // namespace sync_cells

VK_MODULE(sync_cells, "velkora.memory.sync_cells",
          "Atomic counters, lock-free allocation statistics and small synchronised cells.")
