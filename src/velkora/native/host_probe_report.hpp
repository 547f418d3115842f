// detect_capabilities: the combined report of every probe, and the report made when a probe fails.
// Part of host_probe.cpp, which includes it after the probes and the helpers used here.
#pragma once

#include <utility>

namespace host_probe {
namespace {

// ---- detect_capabilities -----------------------------------------------------------------------

// Seconds from time.perf_counter() of the module namespace's `time`; false with an error set.
bool perf_counter(PyObject* module, ModuleState* st, double& seconds) {
    Ref time = Ref::steal(vk::lookup_global(module, st->names[s_time]));
    Ref now = time ? Ref::steal(vk::call_method(time.get(), st->names[s_perf_counter])) : Ref();
    if (!now) return false;
    seconds = PyFloat_AsDouble(now.get());
    return !(seconds == -1.0 && PyErr_Occurred());
}

Ref elapsed_ms(PyObject* module, ModuleState* st, double start) {
    double now = 0.0;
    if (!perf_counter(module, st, now)) return Ref();
    return Ref::steal(PyFloat_FromDouble((now - start) * 1000.0));
}

// `(a, b) = value`, the interpreter's unpacking of a pair.
bool unpack_pair(PyObject* value, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref* slots[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

Ref call_probe(PyObject* module, ModuleState* st, Name name) {
    Ref probe = Ref::steal(vk::lookup_global(module, st->names[name]));
    return probe ? call0(probe.get()) : Ref();
}

bool fill_report(PyObject* module, ModuleState* st, PyObject* caps, double start) {
    Ref cores = call_probe(module, st, s_detect_physical_cores);
    if (!vk::dict_set_steal(caps, st->names[s_physical_cores], cores.release())) return false;
    Ref nodes = call_probe(module, st, s_detect_numa_nodes);
    if (!vk::dict_set_steal(caps, st->names[s_numa_nodes], nodes.release())) return false;

    Ref backend_info = call_probe(module, st, s_detect_gpu_backends);
    if (!backend_info) return false;
    for (Name key : kBackendKeys) {
        Ref v = Ref::steal(PyObject_GetItem(backend_info.get(), st->names[key]));
        if (!vk::dict_set_steal(caps, st->names[key], v.release())) return false;
    }

    Ref version = call_probe(module, st, s_detect_python_version);
    Ref py_version, has_subinterp;
    if (!version || !unpack_pair(version.get(), py_version, has_subinterp)) return false;
    if (!vk::dict_set_steal(caps, st->names[s_python_version], py_version.release()) ||
        !vk::dict_set_steal(caps, st->names[s_subinterpreter_support],
                            has_subinterp.release())) {
        return false;
    }

    Ref sys = Ref::steal(vk::lookup_global(module, st->names[s_sys]));
    Ref platform = sys ? attr(sys.get(), st->names[s_platform]) : Ref();
    if (!vk::dict_set_steal(caps, st->names[s_platform], platform.release())) return false;
    Ref time = Ref::steal(vk::lookup_global(module, st->names[s_time]));
    Ref now = time ? Ref::steal(vk::call_method(time.get(), st->names[s_time])) : Ref();
    if (!vk::dict_set_steal(caps, st->names[s_detected_at], now.release()) ||
        !vk::dict_set_steal(caps, st->names[s_detector], Py_NewRef(st->names[s_native]))) {
        return false;
    }
    return vk::dict_set_steal(caps, st->names[s_detection_time_ms],
                              elapsed_ms(module, st, start).release());
}

// The report when a probe failed: safe minimums, the error text, the time taken.
PyObject* fallback_report(PyObject* module, ModuleState* st, PyObject* exc, double start) {
    Ref os = Ref::steal(vk::lookup_global(module, st->names[s_os]));
    Ref count = os ? Ref::steal(vk::call_method(os.get(), st->names[s_cpu_count])) : Ref();
    const int truthy = count ? PyObject_IsTrue(count.get()) : -1;
    if (truthy < 0) return nullptr;
    if (!truthy) count = Ref::borrow(st->one);

    Ref sys = Ref::steal(vk::lookup_global(module, st->names[s_sys]));
    Ref info = sys ? attr(sys.get(), st->names[s_version_info]) : Ref();
    Ref version = info ? version_text(info.get(), st, 2) : Ref();
    if (!version) return nullptr;
    sys = Ref::steal(vk::lookup_global(module, st->names[s_sys]));
    Ref platform = sys ? attr(sys.get(), st->names[s_platform]) : Ref();
    Ref time = platform ? Ref::steal(vk::lookup_global(module, st->names[s_time])) : Ref();
    Ref now = time ? Ref::steal(vk::call_method(time.get(), st->names[s_time])) : Ref();
    Ref error = now ? Ref::steal(PyObject_Str(exc)) : Ref();
    Ref took = error ? elapsed_ms(module, st, start) : Ref();
    if (!took) return nullptr;

    Ref caps = Ref::steal(PyDict_New());
    if (!caps) return nullptr;
    const std::pair<Name, PyObject*> items[] = {
        {s_physical_cores, count.get()},
        {s_numa_nodes, st->one},
        {s_has_gpu, Py_False},
        {s_gpu_count, st->zero},
        {s_gpu_memory_mb, st->zero},
        {s_cuda_available, Py_False},
        {s_rocm_available, Py_False},
        {s_oneapi_available, Py_False},
        {s_active_backend, st->names[s_cpu]},
        {s_backend_version, st->names[s_empty]},
        {s_python_version, version.get()},
        {s_subinterpreter_support, Py_False},
        {s_platform, platform.get()},
        {s_detected_at, now.get()},
        {s_detector, st->names[s_native_fallback]},
        {s_error, error.get()},
        {s_detection_time_ms, took.get()},
    };
    for (const auto& [key, value] : items) {
        if (!vk::dict_set_steal(caps.get(), st->names[key], Py_XNewRef(value))) return nullptr;
    }
    return caps.release();
}

PyObject* detect_capabilities(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    Ref caps = Ref::steal(PyDict_New());
    if (!caps) return nullptr;
    double start = 0.0;
    if (!perf_counter(module, st, start)) return nullptr;
    if (fill_report(module, st, caps.get(), start)) return caps.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = Ref::steal(vk::take_exception());
    caps.reset();
    vk::Handling handling(exc.get());
    return fallback_report(module, st, exc.get(), start);
}

}  // namespace
}  // namespace host_probe
