// detect_gpu_backends: the framework's GPU registry, else a look for nvidia-smi. Part of
// host_probe.cpp, which includes it after the module state and the interpreter helpers used here.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "host_probe_core.hpp"

namespace host_probe {
namespace {

// ---- detect_gpu_backends -----------------------------------------------------------------------

Ref new_backend_info(ModuleState* st) {
    Ref info = Ref::steal(PyDict_New());
    if (!info) return info;
    PyObject* defaults[8] = {Py_False, st->zero,  st->zero,          Py_False,
                             Py_False, Py_False, st->names[s_cpu], st->names[s_empty]};
    for (int i = 0; i < 8; ++i) {
        if (!vk::dict_set_steal(info.get(), st->names[kBackendKeys[i]], Py_NewRef(defaults[i]))) {
            return Ref();
        }
    }
    return info;
}

// The framework's registry; false when it raised (keys already written stay written).
bool registry_path(PyObject* module, ModuleState* st, PyObject* info) {
    Ref mod = Ref::steal(vk::import_stmt(module, st->names[s_registry_module], st->registry_fromlist,
                                         st->builtin_import, st->names[s_dunder_import]));
    Ref registry =
        mod ? Ref::steal(vk::import_from(mod.get(), st->names[s_GPUAccelRegistry])) : Ref();
    Ref kinds =
        registry ? Ref::steal(vk::import_from(mod.get(), st->names[s_GPUBackendKind])) : Ref();
    if (!kinds) return false;

    Ref backends =
        Ref::steal(vk::call_method(registry.get(), st->names[s_detect_available_backends]));
    if (!backends) return false;
    const Name kinds_flags[3][2] = {{s_CUDA, s_cuda_available},
                                   {s_ROCm, s_rocm_available},
                                   {s_oneAPI, s_oneapi_available}};
    for (const auto& [kind_name, key] : kinds_flags) {
        Ref kind = attr(kinds.get(), st->names[kind_name]);
        const int found = kind ? PySequence_Contains(backends.get(), kind.get()) : -1;
        if (found < 0 || !vk::dict_set_steal(info, st->names[key], vk::boolean(found))) return false;
    }

    Ref best = Ref::steal(vk::call_method(registry.get(), st->names[s_get_best_available]));
    if (!best) return false;
    // best.info.kind, read afresh wherever it is used.
    auto best_kind = [&]() -> Ref {
        Ref best_info = attr(best.get(), st->names[s_info]);
        return best_info ? attr(best_info.get(), st->names[s_kind]) : Ref();
    };
    Ref kind = best_kind();
    Ref active = kind ? attr(kind.get(), st->names[s_value]) : Ref();
    if (!vk::dict_set_steal(info, st->names[s_active_backend], Py_XNewRef(active.get()))) {
        return false;
    }
    Ref best_info = attr(best.get(), st->names[s_info]);
    Ref version = best_info ? attr(best_info.get(), st->names[s_version]) : Ref();
    if (!vk::dict_set_steal(info, st->names[s_backend_version], version.release())) {
        return false;
    }

    Ref has_gpu = Ref::steal(PyObject_RichCompare(active.get(), st->names[s_cpu], Py_NE));
    if (!vk::dict_set_steal(info, st->names[s_has_gpu], Py_XNewRef(has_gpu.get()))) return false;
    int t = PyObject_IsTrue(has_gpu.get());
    if (t < 0) return false;
    if (t) {
        kind = best_kind();
        t = kind ? PySequence_Contains(backends.get(), kind.get()) : -1;
        if (t < 0) return false;
    }
    if (t) {
        kind = best_kind();
        Ref record = kind ? Ref::steal(PyObject_GetItem(backends.get(), kind.get())) : Ref();
        Ref count = record ? attr(record.get(), st->names[s_device_count]) : Ref();
        if (!vk::dict_set_steal(info, st->names[s_gpu_count], count.release())) return false;
        Ref gib = attr(record.get(), st->names[s_memory_gb]);
        Ref mib = gib ? Ref::steal(PyNumber_Multiply(gib.get(), st->k1024)) : Ref();
        Ref whole = mib ? Ref::steal(PyNumber_Long(mib.get())) : Ref();  // int(): toward zero
        if (!vk::dict_set_steal(info, st->names[s_gpu_memory_mb], whole.release())) return false;
    }
    return true;
}

// 1 when the genuine subprocess.run would only fail to start nvidia-smi (no candidate on the
// executable search path exists), 0 when it has to be run to know, -1 with a non-Exception
// error pending. Where subprocess.run, Popen or its spawning method has been replaced (as tests
// do), the replacement is called.
int smi_certainly_missing(ModuleState* st, PyObject* subprocess, PyObject* run) {
#if defined(__unix__) || defined(__APPLE__)
    if (!PyModule_Check(subprocess) || !PyFunction_Check(run)) return 0;
    PyObject* globals = PyModule_GetDict(subprocess);
    if (PyFunction_GetGlobals(run) != globals) return 0;
    auto answer = [&]() -> int {
        Ref popen = Ref::borrow(PyDict_GetItemWithError(globals, st->names[s_Popen]));
        if (!popen || !PyType_Check(popen.get())) return PyErr_Occurred() ? -1 : 0;
        Ref popen_module = attr(popen.get(), st->names[s_dunder_module]);
        if (!popen_module) return -1;
        const int genuine = compare(popen_module.get(), st->names[s_subprocess], Py_EQ);
        if (genuine <= 0) return genuine;
        Ref spawn = attr(popen.get(), st->names[s_execute_child]);
        if (!spawn) return -1;
        if (!PyFunction_Check(spawn.get()) || PyFunction_GetGlobals(spawn.get()) != globals) return 0;
        // The search subprocess itself does: its own os module's get_exec_path().
        Ref os = Ref::borrow(PyDict_GetItemWithError(globals, st->names[s_os]));
        if (!os) return PyErr_Occurred() ? -1 : 0;
        Ref dirs = Ref::steal(vk::call_method(os.get(), st->names[s_get_exec_path]));
        if (!dirs) return -1;
        Ref it = Ref::steal(PyObject_GetIter(dirs.get()));
        if (!it) return -1;
        std::string candidates;
        while (Ref dir = Ref::steal(PyIter_Next(it.get()))) {
            Ref raw;
            if (PyBytes_Check(dir.get())) {
                raw = std::move(dir);
            } else if (PyUnicode_Check(dir.get())) {
                raw = Ref::steal(PyUnicode_EncodeFSDefault(dir.get()));
                if (!raw) return -1;
            } else {
                return 0;
            }
            const std::string_view d(PyBytes_AS_STRING(raw.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(raw.get())));
            if (d.find('\0') != std::string_view::npos) return 0;
            core::append_candidate(candidates, d, "nvidia-smi");
        }
        if (PyErr_Occurred()) return -1;
        bool present;
        Py_BEGIN_ALLOW_THREADS
        present = core::any_candidate_present(candidates);
        Py_END_ALLOW_THREADS
        return present ? 0 : 1;
    };
    const int r = answer();
    if (r >= 0) return r;
    return swallow_exception() ? 0 : -1;  // in doubt, run it
#else
    (void)st;
    (void)subprocess;
    (void)run;
    return 0;
#endif
}

// nvidia-smi, when the registry could not answer; false when it raised.
bool smi_fallback(PyObject* module, ModuleState* st, PyObject* info) {
    Ref subprocess = Ref::steal(vk::import_stmt(module, st->names[s_subprocess], nullptr,
                                                st->builtin_import, st->names[s_dunder_import]));
    Ref run = subprocess ? attr(subprocess.get(), st->names[s_run]) : Ref();
    if (!run) return false;
    const int missing = smi_certainly_missing(st, subprocess.get(), run.get());
    if (missing < 0) return false;
    if (missing) return true;  // the run would raise FileNotFoundError, which is ignored here

    Ref cmd = Ref::steal(PyList_New(3));
    if (!cmd) return false;
    const Name words[3] = {s_nvidia_smi, s_query_gpu, s_format_csv};
    for (int i = 0; i < 3; ++i) PyList_SET_ITEM(cmd.get(), i, Py_NewRef(st->names[words[i]]));
    PyObject* argv[] = {cmd.get(), Py_True, st->half_second, Py_False};
    Ref result = Ref::steal(PyObject_Vectorcall(run.get(), argv, 1, st->run_kwnames));
    if (!result) return false;

    Ref code = attr(result.get(), st->names[s_returncode]);
    int t = code ? compare(code.get(), st->zero, Py_EQ) : -1;
    if (t <= 0) return t == 0;
    Ref out = attr(result.get(), st->names[s_stdout_]);
    t = out ? PyObject_IsTrue(out.get()) : -1;
    if (t <= 0) return t == 0;
    if (PyDict_SetItem(info, st->names[s_has_gpu], Py_True) < 0) return false;

    out = attr(result.get(), st->names[s_stdout_]);
    Ref text = out ? Ref::steal(vk::call_method(out.get(), st->names[s_decode], st->names[s_utf_8],
                                                st->names[s_ignore]))
                   : Ref();
    Ref stripped = text ? Ref::steal(vk::call_method(text.get(), st->names[s_strip])) : Ref();
    Ref parts = stripped ? Ref::steal(vk::call_method(stripped.get(), st->names[s_split],
                                                      st->names[s_newline])) : Ref();
    Ref it = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref();
    if (!it) return false;
    Py_ssize_t lines = 0;  // one non-blank line per GPU name
    while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
        Ref bare = Ref::steal(vk::call_method(part.get(), st->names[s_strip]));
        const int nonblank = bare ? PyObject_IsTrue(bare.get()) : -1;
        if (nonblank < 0) return false;
        lines += nonblank;
    }
    if (PyErr_Occurred()) return false;
    return vk::dict_set_steal(info, st->names[s_gpu_count], PyLong_FromSsize_t(lines));
}

PyObject* detect_gpu_backends(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    Ref info = new_backend_info(st);
    if (!info) return nullptr;
    if (registry_path(module, st, info.get())) return info.release();
    if (!swallow_exception()) return nullptr;
    if (!smi_fallback(module, st, info.get()) && !swallow_exception()) return nullptr;
    return info.release();
}

}  // namespace
}  // namespace host_probe
