// PerformanceTimer: a nanosecond stopwatch on time.perf_counter_ns(), with `time` imported and the
// function looked up at each call (so a replaced clock is honoured). No locking: concurrent start()
// calls race benignly, the last writer wins.
#pragma once

#include <cstdint>

#include "sync_cells_core.hpp"
#include "sync_cells_state.hpp"

namespace sync_cells {

struct TimerObject {
    PyObject_HEAD
    int64_t start_time_ns;  // the clock at the last start(); 0 before the first
};

inline TimerObject* as_timer(PyObject* o) { return reinterpret_cast<TimerObject*>(o); }

// `import time; time.perf_counter_ns()` as a signed 64-bit value.
inline bool read_clock(const ModuleState* st, int64_t& out) {
    vk::Ref time = vk::Ref::steal(PyImport_GetModule(st->names[s_time]));
    if (!time || time.get() == Py_None) {
        if (PyErr_Occurred()) return false;
        time = vk::Ref::steal(PyImport_Import(st->names[s_time]));
        if (!time) return false;
    }
    vk::Ref now = vk::Ref::steal(vk::call_method(time.get(), st->names[s_perf_counter_ns]));
    if (!now) return false;
    const long long v = PyLong_AsLongLong(now.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

constexpr const char* kTimerStart = "start";
constexpr const char* kTimerElapsedNs = "elapsed_ns";
constexpr const char* kTimerElapsedUs = "elapsed_us";
constexpr const char* kTimerElapsedMs = "elapsed_ms";

inline PyObject* timer_start(PyObject* self, PyTypeObject* cls, PyObject* const*,
                             Py_ssize_t nargs, PyObject* kwnames) {
    if (!vk::no_arguments(kTimerStart, nargs, kwnames)) return nullptr;
    int64_t now;
    if (!read_clock(vk::state_of_type<ModuleState>(cls), now)) return nullptr;
    as_timer(self)->start_time_ns = now;
    Py_RETURN_NONE;
}

// now - start as an int; beyond 64 bits (only with a replaced clock) in the interpreter's integers.
inline PyObject* elapsed_object(int64_t now, int64_t start) {
    int64_t diff;
    if (core::checked_sub(now, start, diff)) return PyLong_FromLongLong(diff);
    vk::Ref a = vk::Ref::steal(PyLong_FromLongLong(now));
    vk::Ref b = a ? vk::Ref::steal(PyLong_FromLongLong(start)) : vk::Ref();
    return b ? PyNumber_Subtract(a.get(), b.get()) : nullptr;
}

inline PyObject* timer_elapsed_ns(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    if (!vk::no_arguments(kTimerElapsedNs, nargs, kwnames)) return nullptr;
    int64_t now;
    if (!read_clock(vk::state_of_type<ModuleState>(cls), now)) return nullptr;
    return elapsed_object(now, as_timer(self)->start_time_ns);
}

// self.elapsed_ns() (looked up on the instance; for the exact type that is our own method) scaled
// by `factor`; an int or float result is multiplied, any other type is divided by `divisor`.
inline PyObject* elapsed_scaled(PyObject* self, PyTypeObject* cls, double factor, double divisor) {
    const ModuleState* st = vk::state_of_type<ModuleState>(cls);
    vk::Ref ns;
    if (Py_TYPE(self) == cls) {
        int64_t now, diff;
        if (!read_clock(st, now)) return nullptr;
        if (core::checked_sub(now, as_timer(self)->start_time_ns, diff)) {
            return PyFloat_FromDouble(static_cast<double>(diff) * factor);
        }
        ns = vk::Ref::steal(elapsed_object(now, as_timer(self)->start_time_ns));
    } else {
        ns = vk::Ref::steal(vk::call_method(self, st->names[s_elapsed_ns]));
    }
    if (!ns) return nullptr;
    if (PyLong_Check(ns.get())) {
        const double d = PyLong_AsDouble(ns.get());
        if (d == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(d * factor);
    }
    if (PyFloat_Check(ns.get())) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(ns.get()) * factor);
    vk::Ref div = vk::Ref::steal(PyFloat_FromDouble(divisor));
    return div ? PyNumber_TrueDivide(ns.get(), div.get()) : nullptr;
}

inline PyObject* timer_elapsed_us(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    if (!vk::no_arguments(kTimerElapsedUs, nargs, kwnames)) return nullptr;
    return elapsed_scaled(self, cls, core::kNsToUs, 1000.0);
}

inline PyObject* timer_elapsed_ms(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    if (!vk::no_arguments(kTimerElapsedMs, nargs, kwnames)) return nullptr;
    return elapsed_scaled(self, cls, core::kNsToMs, 1e6);
}

inline PyObject* timer_new(PyTypeObject* type, PyObject*, PyObject*) {
    return type->tp_alloc(type, 0);  // not started: _start_time_ns 0
}

inline int timer_init(PyObject*, PyObject*, PyObject*) { return 0; }  // arguments are ignored

inline PyMethodDef timer_methods[] = {
    vk::def_method("start", timer_start, "(Re)start the timer at time.perf_counter_ns()."),
    vk::def_method("elapsed_ns", timer_elapsed_ns,
                   "Nanoseconds since start() (the raw counter before any start)."),
    vk::def_method("elapsed_us", timer_elapsed_us, "self.elapsed_ns() * 0.001, a float."),
    vk::def_method("elapsed_ms", timer_elapsed_ms, "self.elapsed_ns() * 1e-6, a float."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

inline const vk::TypeDef timer_type{
    .name = "velkora.memory.sync_cells.PerformanceTimer", .size = sizeof(TimerObject),
    .doc = "PerformanceTimer(*args, **kwargs)\n--\n\n"
           "A nanosecond stopwatch on time.perf_counter_ns(); arguments are ignored.",
    .new_ = timer_new, .init = timer_init, .methods = timer_methods};

}  // namespace sync_cells
