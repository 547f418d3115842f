// velkora.native.host_probe: what the host offers (processors, NUMA nodes, interpreter features,
// GPU backends) and the combined capability report.
//
// Every probe is stateless and looks `sys`, `os`, `time` (and, for the report, the probes themselves)
// up in the module namespace at each call, the way a function of this module written in Python
// would, so replacing a module attribute replaces what the probes use. Failures of the host's
// facilities are absorbed into safe minimums; exceptions outside `Exception` always propagate.
#include "vkbind/vkbind.hpp"

#include <charconv>
#include <climits>
#include <cstdint>
#include <string>

#include "host_probe_core.hpp"

namespace host_probe {
namespace {

using vk::Ref;

// Interned texts, created once at exec: names looked up at each call, dictionary keys, constants.
#define HOST_PROBE_STRINGS(X)                                        \
    X(sys, "sys")                                                    \
    X(os, "os")                                                      \
    X(time, "time")                                                  \
    X(path, "path")                                                  \
    X(exists, "exists")                                              \
    X(listdir, "listdir")                                            \
    X(sched_getaffinity, "sched_getaffinity")                        \
    X(cpu_count, "cpu_count")                                        \
    X(platform, "platform")                                          \
    X(linux_, "linux")                                               \
    X(win32, "win32")                                                \
    X(node_dir, "/sys/devices/system/node")                          \
    X(node, "node")                                                  \
    X(startswith, "startswith")                                      \
    X(isdigit, "isdigit")                                            \
    X(version_info, "version_info")                                  \
    X(major, "major")                                                \
    X(minor, "minor")                                                \
    X(micro, "micro")                                                \
    X(xxsubinterpreters, "_xxsubinterpreters")                       \
    X(interpreters_private, "_interpreters")                         \
    X(interpreters_public, "concurrent.interpreters")                \
    X(ctypes, "ctypes")                                              \
    X(wintypes, "wintypes")                                          \
    X(WinDLL, "WinDLL")                                              \
    X(kernel32, "kernel32")                                          \
    X(use_last_error, "use_last_error")                              \
    X(GetNumaHighestNodeNumber, "GetNumaHighestNodeNumber")          \
    X(restype, "restype")                                            \
    X(argtypes, "argtypes")                                          \
    X(BOOL, "BOOL")                                                  \
    X(POINTER, "POINTER")                                            \
    X(c_ulong, "c_ulong")                                            \
    X(byref, "byref")                                                \
    X(value, "value")                                                \
    X(registry_module, "velkora.gpu.accel_registry")                 \
    X(GPUAccelRegistry, "GPUAccelRegistry")                          \
    X(GPUBackendKind, "GPUBackendKind")                              \
    X(detect_available_backends, "detect_available_backends")        \
    X(get_best_available, "get_best_available")                      \
    X(CUDA, "CUDA")                                                  \
    X(ROCm, "ROCm")                                                  \
    X(oneAPI, "oneAPI")                                              \
    X(info, "info")                                                  \
    X(kind, "kind")                                                  \
    X(version, "version")                                            \
    X(device_count, "device_count")                                  \
    X(memory_gb, "memory_gb")                                        \
    X(cpu, "cpu")                                                    \
    X(empty, "")                                                     \
    X(subprocess, "subprocess")                                      \
    X(run, "run")                                                    \
    X(Popen, "Popen")                                                \
    X(dunder_module, "__module__")                                   \
    X(execute_child, "_execute_child")                               \
    X(dunder_import, "__import__")                                   \
    X(get_exec_path, "get_exec_path")                                \
    X(nvidia_smi, "nvidia-smi")                                      \
    X(query_gpu, "--query-gpu=name")                                 \
    X(format_csv, "--format=csv,noheader")                           \
    X(capture_output, "capture_output")                              \
    X(timeout, "timeout")                                            \
    X(check, "check")                                                \
    X(returncode, "returncode")                                      \
    X(stdout_, "stdout")                                             \
    X(decode, "decode")                                              \
    X(utf_8, "utf-8")                                                \
    X(ignore, "ignore")                                              \
    X(strip, "strip")                                                \
    X(split, "split")                                                \
    X(newline, "\n")                                                 \
    X(has_gpu, "has_gpu")                                            \
    X(gpu_count, "gpu_count")                                        \
    X(gpu_memory_mb, "gpu_memory_mb")                                \
    X(cuda_available, "cuda_available")                              \
    X(rocm_available, "rocm_available")                              \
    X(oneapi_available, "oneapi_available")                          \
    X(active_backend, "active_backend")                              \
    X(backend_version, "backend_version")                            \
    X(physical_cores, "physical_cores")                              \
    X(numa_nodes, "numa_nodes")                                      \
    X(python_version, "python_version")                              \
    X(subinterpreter_support, "subinterpreter_support")              \
    X(detected_at, "detected_at")                                    \
    X(detector, "detector")                                          \
    X(error, "error")                                                \
    X(detection_time_ms, "detection_time_ms")                        \
    X(native, "native")                                              \
    X(native_fallback, "native_fallback")                            \
    X(perf_counter, "perf_counter")                                  \
    X(detect_physical_cores, "detect_physical_cores")                \
    X(detect_numa_nodes, "detect_numa_nodes")                        \
    X(detect_gpu_backends, "detect_gpu_backends")                    \
    X(detect_python_version, "detect_python_version")

VK_NAMES(HOST_PROBE_STRINGS);

// The backend information keys, in the order they are inserted and copied into the report.
constexpr Name kBackendKeys[8] = {s_has_gpu,          s_gpu_count,      s_gpu_memory_mb,
                                 s_cuda_available,   s_rocm_available, s_oneapi_available,
                                 s_active_backend,   s_backend_version};

struct ModuleState {
    Names names;
    PyObject* zero;               // 0
    PyObject* one;                // 1
    PyObject* k1024;              // 1024
    PyObject* half_second;        // 0.5
    PyObject* py312;              // (3, 12)
    PyObject* registry_fromlist;  // ("GPUAccelRegistry", "GPUBackendKind")
    PyObject* wintypes_fromlist;  // ("wintypes",)
    PyObject* run_kwnames;        // ("capture_output", "timeout", "check")
    PyObject* windll_kwnames;     // ("use_last_error",)
    PyObject* builtin_import;     // builtins.__import__ as found at exec

    auto owned() {
        return std::tie(names, zero, one, k1024, half_second, py312, registry_fromlist,
                        wintypes_fromlist, run_kwnames, windll_kwnames, builtin_import);
    }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

// ---- small interpreter helpers -----------------------------------------------------------------

Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref call0(PyObject* callable) { return Ref::steal(PyObject_CallNoArgs(callable)); }

// `hasattr(o, name)`: 1, 0, or -1 with an exception other than AttributeError pending.
int has_attr(PyObject* o, PyObject* name) {
    PyObject* v = PyObject_GetAttr(o, name);
    if (v != nullptr) {
        Py_DECREF(v);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// The truth of `a == b` / `a != b` as the interpreter's operators give it (no identity shortcut).
int compare(PyObject* a, PyObject* b, int op) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// After a guarded step failed: an `Exception` is swallowed (true); anything else stays pending.
bool swallow_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// Counts the host returns, converted as a declared 32-bit parameter is: an int directly, other
// objects through __int__ (a float truncates); TypeError without a conversion, OverflowError out
// of range.
constexpr vk::ArgCtx kCpuCount{"detect_physical_cores", "os.cpu_count()"};
constexpr vk::ArgCtx kNodeCount{"detect_numa_nodes", "node count"};

// ---- detect_physical_cores ---------------------------------------------------------------------

// The affinity set's size, or the processor count where there is no affinity query; at least 1.
bool physical_cores(PyObject* module, ModuleState* st, int32_t& cores) {
    Ref os = Ref::steal(vk::lookup_global(module, st->names[s_os]));
    if (!os) return false;
    const int has = has_attr(os.get(), st->names[s_sched_getaffinity]);
    if (has < 0) return false;
    if (has) {
        Ref mask = Ref::steal(vk::call_method(os.get(), st->names[s_sched_getaffinity], st->zero));
        if (!mask) return false;
        const Py_ssize_t n = PyObject_Size(mask.get());
        if (n < 0) return false;
        if (n > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value out of range for a signed 32-bit integer");
            return false;
        }
        cores = static_cast<int32_t>(n);
    } else {
        Ref count = Ref::steal(vk::call_method(os.get(), st->names[s_cpu_count]));
        if (!count) return false;
        const int truthy = PyObject_IsTrue(count.get());
        if (truthy < 0) return false;
        cores = 1;
        if (truthy && !vk::convert(count.get(), vk::i32(cores), kCpuCount)) return false;
    }
    if (cores <= 0) cores = 1;
    return true;
}

PyObject* detect_physical_cores(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    int32_t cores = 1;
    if (physical_cores(module, st, cores)) return PyLong_FromLong(cores);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref handled = Ref::steal(vk::take_exception());
    vk::Handling handling(handled.get());
    // The fallback converts a truthy count but bounds nothing: it reports what the host says.
    int32_t count = 1;
    Ref os = Ref::steal(vk::lookup_global(module, st->names[s_os]));
    Ref raw = os ? Ref::steal(vk::call_method(os.get(), st->names[s_cpu_count])) : Ref();
    const int truthy = raw ? PyObject_IsTrue(raw.get()) : -1;
    if (truthy < 0 || (truthy && !vk::convert(raw.get(), vk::i32(count), kCpuCount))) return nullptr;
    return PyLong_FromLong(count);
}

// ---- detect_numa_nodes -------------------------------------------------------------------------

// Whether one directory entry names a node: "node" and digits after it (str.isdigit).
int is_node_entry(PyObject* name, ModuleState* st) {
    if (PyUnicode_CheckExact(name)) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(name);
        if (PyUnicode_IS_ASCII(name)) {
            return core::is_node_name(
                {static_cast<const char*>(PyUnicode_DATA(name)), static_cast<std::size_t>(len)});
        }
        if (len <= 4) return 0;
        const Py_ssize_t prefix = PyUnicode_Tailmatch(name, st->names[s_node], 0, 4, -1);
        if (prefix <= 0) return static_cast<int>(prefix);
        Ref rest = Ref::steal(PyUnicode_Substring(name, 4, len));
        Ref digits = rest ? Ref::steal(vk::call_method(rest.get(), st->names[s_isdigit])) : Ref();
        return digits ? PyObject_IsTrue(digits.get()) : -1;
    }
    // Anything else answers through its own methods: name.startswith("node") and name[4:].isdigit().
    Ref starts = Ref::steal(vk::call_method(name, st->names[s_startswith], st->names[s_node]));
    const int t = starts ? PyObject_IsTrue(starts.get()) : -1;
    if (t <= 0) return t;
    Ref four = Ref::steal(PyLong_FromLong(4));
    Ref slice = four ? Ref::steal(PySlice_New(four.get(), nullptr, nullptr)) : Ref();
    Ref rest = slice ? Ref::steal(PyObject_GetItem(name, slice.get())) : Ref();
    Ref digits = rest ? Ref::steal(vk::call_method(rest.get(), st->names[s_isdigit])) : Ref();
    return digits ? PyObject_IsTrue(digits.get()) : -1;
}

Py_ssize_t count_node_entries(PyObject* entries, ModuleState* st) {
    Py_ssize_t n = 0;
    if (PyList_CheckExact(entries)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(entries, i));  // a method call may shrink the list
            const int k = is_node_entry(item.get(), st);
            if (k < 0) return -1;
            n += k;
        }
        return n;
    }
    Ref it = Ref::steal(PyObject_GetIter(entries));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const int k = is_node_entry(item.get(), st);
        if (k < 0) return -1;
        n += k;
    }
    return PyErr_Occurred() ? -1 : n;
}

// kernel32's highest node number plus one; 1 when the call reports failure.
Ref windows_numa_nodes(PyObject* module, ModuleState* st) {
    Ref ctypes = Ref::steal(vk::import_stmt(module, st->names[s_ctypes], nullptr, st->builtin_import,
                                            st->names[s_dunder_import]));
    if (!ctypes) return Ref();
    Ref pkg = Ref::steal(vk::import_stmt(module, st->names[s_ctypes], st->wintypes_fromlist,
                                         st->builtin_import, st->names[s_dunder_import]));
    Ref wintypes = pkg ? Ref::steal(vk::import_from(pkg.get(), st->names[s_wintypes])) : Ref();
    if (!wintypes) return Ref();

    Ref windll = attr(ctypes.get(), st->names[s_WinDLL]);
    if (!windll) return Ref();
    PyObject* dll_argv[] = {st->names[s_kernel32], Py_True};
    Ref kernel32 = Ref::steal(PyObject_Vectorcall(windll.get(), dll_argv, 1, st->windll_kwnames));
    Ref fn = kernel32 ? attr(kernel32.get(), st->names[s_GetNumaHighestNodeNumber]) : Ref();
    if (!fn) return Ref();

    Ref bool_type = attr(wintypes.get(), st->names[s_BOOL]);
    if (!bool_type || PyObject_SetAttr(fn.get(), st->names[s_restype], bool_type.get()) < 0) return Ref();
    Ref c_ulong = attr(ctypes.get(), st->names[s_c_ulong]);
    Ref pointer = c_ulong ? Ref::steal(vk::call_method(ctypes.get(), st->names[s_POINTER],
                                                       c_ulong.get())) : Ref();
    Ref argtypes = pointer ? Ref::steal(PyList_New(1)) : Ref();
    if (!argtypes) return Ref();
    PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
    if (PyObject_SetAttr(fn.get(), st->names[s_argtypes], argtypes.get()) < 0) return Ref();

    c_ulong = attr(ctypes.get(), st->names[s_c_ulong]);
    Ref highest_node = c_ulong ? call0(c_ulong.get()) : Ref();
    Ref ref = highest_node ? Ref::steal(vk::call_method(ctypes.get(), st->names[s_byref],
                                                        highest_node.get())) : Ref();
    if (!ref) return Ref();
    PyObject* fn_argv[] = {ref.get()};
    Ref ok = Ref::steal(PyObject_Vectorcall(fn.get(), fn_argv, 1, nullptr));
    const int t = ok ? PyObject_IsTrue(ok.get()) : -1;
    if (t < 0) return Ref();
    if (!t) return Ref::borrow(st->one);
    Ref value = attr(highest_node.get(), st->names[s_value]);
    Ref count = value ? Ref::steal(PyNumber_Add(value.get(), st->one)) : Ref();
    int32_t nodes = 0;
    if (!count || !vk::convert(count.get(), vk::i32(nodes), kNodeCount)) return Ref();
    return Ref::steal(PyLong_FromLong(nodes));
}

Ref numa_nodes(PyObject* module, ModuleState* st) {
    Ref sys = Ref::steal(vk::lookup_global(module, st->names[s_sys]));
    Ref platform = sys ? attr(sys.get(), st->names[s_platform]) : Ref();
    if (!platform) return Ref();
    int t = compare(platform.get(), st->names[s_linux_], Py_EQ);
    if (t < 0) return Ref();
    if (t) {
        Ref os = Ref::steal(vk::lookup_global(module, st->names[s_os]));
        Ref path = os ? attr(os.get(), st->names[s_path]) : Ref();
        Ref found = path ? Ref::steal(vk::call_method(path.get(), st->names[s_exists],
                                                      st->names[s_node_dir])) : Ref();
        const int exists = found ? PyObject_IsTrue(found.get()) : -1;
        if (exists < 0) return Ref();
        if (!exists) return Ref::borrow(st->one);
        Ref entries =
            Ref::steal(vk::call_method(os.get(), st->names[s_listdir], st->names[s_node_dir]));
        if (!entries) return Ref();
        const Py_ssize_t n = count_node_entries(entries.get(), st);
        if (n < 0) return Ref();
        return n > 0 ? Ref::steal(PyLong_FromSsize_t(n)) : Ref::borrow(st->one);
    }
    t = compare(platform.get(), st->names[s_win32], Py_EQ);
    if (t < 0) return Ref();
    if (t) {
        Ref nodes = windows_numa_nodes(module, st);
        if (!nodes && !swallow_exception()) return Ref();
        return nodes ? std::move(nodes) : Ref::borrow(st->one);
    }
    return Ref::borrow(st->one);
}

PyObject* detect_numa_nodes(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    Ref nodes = numa_nodes(module, st);
    if (nodes) return nodes.release();
    return swallow_exception() ? Py_NewRef(st->one) : nullptr;
}

// ---- detect_python_version ---------------------------------------------------------------------

// The decimal texts of version_info's major, minor (and micro, for `parts` 3) joined by ".".
Ref version_text(PyObject* info, ModuleState* st, int parts) {
    const Name names[3] = {s_major, s_minor, s_micro};
    Ref fields[3];
    bool plain = true;  // exact ints within long long: formatted here, without the str() calls
    long long values[3] = {0, 0, 0};
    for (int i = 0; i < parts; ++i) {
        fields[i] = attr(info, st->names[names[i]]);
        if (!fields[i]) return Ref();
        if (plain && PyLong_CheckExact(fields[i].get())) {
            int overflow = 0;
            values[i] = PyLong_AsLongLongAndOverflow(fields[i].get(), &overflow);
            plain = overflow == 0;
        } else {
            plain = false;
        }
    }
    if (plain) {
        char buf[3 * 21];
        char* p = buf;
        for (int i = 0; i < parts; ++i) {
            if (i > 0) *p++ = '.';
            p = std::to_chars(p, buf + sizeof buf, values[i]).ptr;
        }
        return Ref::steal(PyUnicode_FromStringAndSize(buf, p - buf));
    }
    if (parts == 2) {
        return Ref::steal(PyUnicode_FromFormat("%S.%S", fields[0].get(), fields[1].get()));
    }
    return Ref::steal(
        PyUnicode_FromFormat("%S.%S.%S", fields[0].get(), fields[1].get(), fields[2].get()));
}

PyObject* detect_python_version(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    Ref sys = Ref::steal(vk::lookup_global(module, st->names[s_sys]));
    Ref info = sys ? attr(sys.get(), st->names[s_version_info]) : Ref();
    if (!info) return nullptr;
    Ref version = version_text(info.get(), st, 3);
    if (!version) return nullptr;

    bool has_subinterpreters = false;
    const int recent = compare(info.get(), st->py312, Py_GE);
    if (recent < 0) return nullptr;
    if (recent) {
        // The module's names over time: 3.12's, 3.13's private rename, 3.14's public module. The
        // first that imports answers; an ImportError moves on, any other error propagates.
        for (const Name name : {s_xxsubinterpreters, s_interpreters_private, s_interpreters_public}) {
            Ref mod = Ref::steal(vk::import_stmt(module, st->names[name], nullptr,
                                                 st->builtin_import, st->names[s_dunder_import]));
            if (mod) {
                has_subinterpreters = true;
                break;
            }
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
            PyErr_Clear();
        }
    }
    return PyTuple_Pack(2, version.get(), has_subinterpreters ? Py_True : Py_False);
}

}  // namespace
}  // namespace host_probe

// The GPU probe and the capability report: parts of this unit, after the state, helpers and
// probes above.
#include "host_probe_gpu.inc"
#include "host_probe_report.inc"

namespace host_probe {
namespace {

// ---- module ------------------------------------------------------------------------------------

PyMethodDef module_functions[] = {
    vk::def_function("detect_physical_cores", detect_physical_cores,
                     "Logical processors this process may run on (at least 1)."),
    vk::def_function("detect_numa_nodes", detect_numa_nodes,
                     "NUMA nodes of the machine (at least 1)."),
    vk::def_function("detect_gpu_backends", detect_gpu_backends,
                     "GPU backend information: the framework's registry, else nvidia-smi."),
    vk::def_function("detect_python_version", detect_python_version,
                     "(major.minor.micro, whether sub-interpreters are available)."),
    vk::def_function("detect_capabilities", detect_capabilities,
                     "The combined capability report of every probe."),
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    if (!st->names.init()) return -1;
    st->zero = PyLong_FromLong(0);
    st->one = PyLong_FromLong(1);
    st->k1024 = PyLong_FromLong(1024);
    st->half_second = PyFloat_FromDouble(0.5);
    st->py312 = Py_BuildValue("(ii)", 3, 12);
    st->registry_fromlist = PyTuple_Pack(2, st->names[s_GPUAccelRegistry], st->names[s_GPUBackendKind]);
    st->wintypes_fromlist = PyTuple_Pack(1, st->names[s_wintypes]);
    st->run_kwnames = PyTuple_Pack(3, st->names[s_capture_output], st->names[s_timeout], st->names[s_check]);
    st->windll_kwnames = PyTuple_Pack(1, st->names[s_use_last_error]);
    if (!st->zero || !st->one || !st->k1024 || !st->half_second || !st->py312 ||
        !st->registry_fromlist || !st->wintypes_fromlist || !st->run_kwnames || !st->windll_kwnames) {
        return -1;
    }
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* imp = builtins ? PyDict_GetItemWithError(builtins, st->names[s_dunder_import]) : nullptr;
    if (imp == nullptr && PyErr_Occurred()) return -1;
    st->builtin_import = Py_XNewRef(imp);

    // The namespace: sys, os, time (in that order), then the five probes.
    if (!vk::import_module(m, "sys") || !vk::import_module(m, "os") || !vk::import_module(m, "time")) {
        return -1;
    }
    return PyModule_AddFunctions(m, module_functions);
}

}  // namespace
}  // namespace host_probe

VK_MODULE(host_probe, "velkora.native.host_probe",
          "Host probing: processors, NUMA nodes, interpreter features, GPU backends and the capability "
          "report.")
