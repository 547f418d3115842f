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

// The older Python-level interface. Parameters are Python ints and the declared-int results pass
// through int(); lookups happen at call time so a replaced `_counter` redirects the wrapper.
constexpr const char kWrapperSource[] = R"PY(
def _make_wrapper(AtomicCounter):
    def _int(value):
        if type(value) is int:
            return value
        tp = type(value)
        if isinstance(value, (str, bytes, bytearray)) or not (
                hasattr(tp, "__int__") or hasattr(tp, "__index__")):
            raise TypeError(f"expected int, got {tp.__name__}")
        return int(value)

    class AtomicCounterWrapper:
        """Python wrapper around AtomicCounter, kept for backward compatibility."""

        def __init__(self, initial_value: int = 0):
            self._counter = AtomicCounter(_int(initial_value))

        def load(self) -> int:
            return _int(self._counter.py_load())

        def store(self, value: int):
            self._counter.py_store(_int(value))

        def increment(self, delta: int = 1) -> int:
            return _int(self._counter.py_increment(_int(delta)))

        def decrement(self, delta: int = 1) -> int:
            return _int(self._counter.py_decrement(_int(delta)))

        def compare_and_swap(self, expected: int, new_value: int) -> bool:
            return self._counter.py_compare_and_swap(_int(expected), _int(new_value))

        def fetch_and_add(self, delta: int) -> int:
            return _int(self._counter.py_fetch_and_add(_int(delta)))

    AtomicCounterWrapper.__module__ = "velkora.memory.sync_cells"
    AtomicCounterWrapper.__qualname__ = "AtomicCounterWrapper"
    return AtomicCounterWrapper

AtomicCounterWrapper = _make_wrapper(AtomicCounter)
del _make_wrapper
)PY";

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

    if (!vk::run_source(m, kWrapperSource)) return -1;

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
