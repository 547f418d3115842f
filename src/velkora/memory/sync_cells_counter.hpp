// AtomicCounter: a signed 64-bit counter whose every operation is one sequentially consistent atomic
// instruction. Included by the sync_cells module unit only; the other classes of that module call
// the counter_* functions directly when they hold an exact AtomicCounter.
#pragma once

#include <cstdint>

#include "vkbind/vkbind.hpp"

#include "sync_cells_core.hpp"

namespace sync_cells {

struct CounterObject {
    PyObject_HEAD
    int64_t value;  // touched only through std::atomic_ref after construction
};

// The native operations (the Python methods of the same name without the prefix): the counter's
// cell under sync_cells_core.hpp's atomic operations.
inline int64_t counter_load(CounterObject* c) { return core::cell_load(c->value); }
inline void counter_store(CounterObject* c, int64_t v) { core::cell_store(c->value, v); }
inline int64_t counter_fetch_and_add(CounterObject* c, int64_t d) {
    return core::cell_fetch_add(c->value, d);
}
inline int64_t counter_increment(CounterObject* c, int64_t d) {
    return core::cell_add(c->value, d);
}
inline int64_t counter_decrement(CounterObject* c, int64_t d) {
    return core::cell_sub(c->value, d);
}
inline bool counter_compare_and_swap(CounterObject* c, int64_t expected, int64_t desired) {
    return core::cell_compare_and_swap(c->value, expected, desired);
}

// ---- Python binding ----------------------------------------------------------------------------
// The interpreter lock stays held: one atomic instruction costs far less than releasing it.

inline CounterObject* as_counter(PyObject* self) { return reinterpret_cast<CounterObject*>(self); }

constexpr auto kCounterInit = vk::sig("AtomicCounter", vk::arg("initial_value") = 0);
constexpr auto kCounterStore = vk::sig("store", "value");
constexpr auto kCounterIncrement = vk::sig("increment", vk::arg("delta") = 1);
constexpr auto kCounterDecrement = vk::sig("decrement", vk::arg("delta") = 1);
constexpr auto kCounterCas = vk::sig("compare_and_swap", "expected", "new_value");
constexpr auto kCounterFetchAdd = vk::sig("fetch_and_add", "delta");

inline int counter_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t initial;
    if (!vk::parse_tuple(kCounterInit, args, kwargs, vk::i64(initial))) return -1;
    as_counter(self)->value = initial;  // not shared yet
    return 0;
}

inline PyObject* counter_py_load(PyObject* self, PyObject*) {
    return PyLong_FromLongLong(counter_load(as_counter(self)));
}

inline PyObject* counter_py_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    int64_t v;
    if (!vk::parse(kCounterStore, args, nargs, kwnames, vk::i64(v))) return nullptr;
    counter_store(as_counter(self), v);
    Py_RETURN_NONE;
}

inline PyObject* counter_py_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    int64_t d;
    if (!vk::parse(kCounterIncrement, args, nargs, kwnames, vk::i64(d))) return nullptr;
    return PyLong_FromLongLong(counter_increment(as_counter(self), d));
}

inline PyObject* counter_py_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    int64_t d;
    if (!vk::parse(kCounterDecrement, args, nargs, kwnames, vk::i64(d))) return nullptr;
    return PyLong_FromLongLong(counter_decrement(as_counter(self), d));
}

inline PyObject* counter_py_compare_and_swap(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
    int64_t expected, desired;
    if (!vk::parse(kCounterCas, args, nargs, kwnames, vk::i64(expected), vk::i64(desired))) {
        return nullptr;
    }
    return vk::boolean(counter_compare_and_swap(as_counter(self), expected, desired));
}

inline PyObject* counter_py_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    int64_t d;
    if (!vk::parse(kCounterFetchAdd, args, nargs, kwnames, vk::i64(d))) return nullptr;
    return PyLong_FromLongLong(counter_fetch_and_add(as_counter(self), d));
}

inline PyMethodDef counter_methods[] = {
    vk::def_method("load", counter_py_load, "The current value."),
    vk::def_method(kCounterStore, counter_py_store, "Set the value."),
    vk::def_method(kCounterIncrement, counter_py_increment,
                   "Add delta atomically; return the value after adding."),
    vk::def_method(kCounterDecrement, counter_py_decrement,
                   "Subtract delta atomically; return the value after subtracting."),
    vk::def_method(kCounterCas, counter_py_compare_and_swap,
                   "Set new_value if the value equals expected; return whether it did."),
    vk::def_method(kCounterFetchAdd, counter_py_fetch_and_add,
                   "Add delta atomically; return the value before adding."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

inline const vk::TypeDef counter_type{
    .name = "velkora.memory.sync_cells.AtomicCounter", .size = sizeof(CounterObject),
    .doc = vk::class_doc(kCounterInit,
                         "Signed 64-bit counter updated by single atomic instructions; "
                         "arithmetic wraps modulo 2**64."),
    .init = counter_init, .methods = counter_methods};

// Binds the py_ names to the very same method objects.
inline bool counter_add_aliases(PyTypeObject* type) {
    return vk::alias_attributes(type, {{"py_load", "load"},
                                       {"py_store", "store"},
                                       {"py_increment", "increment"},
                                       {"py_decrement", "decrement"},
                                       {"py_compare_and_swap", "compare_and_swap"},
                                       {"py_fetch_and_add", "fetch_and_add"}});
}

}  // namespace sync_cells
