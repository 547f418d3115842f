// velkora.jit.compile_gate: policy configuration and function metrics records, and the adaptive
// gate that decides when a function is compiled and learns its call threshold.
#include "vkbind/vkbind.hpp"

#include <time.h>

#include "compile_gate_core.hpp"
#include "compile_gate_types.hpp"

namespace compile_gate {
using namespace core;  // the module's own pure C++, named unqualified here
extern PyModuleDef module_def;  // defined at the end, by VK_MODULE
namespace {

using vk::Ref;

// Interned names, created at exec: globals, attributes and methods looked up at call time, the
// parameter names of the record types, and get_stats keys.
#define CG_NAMES(X)                                                                         \
    X(time, "time") X(logger, "logger") X(Lock, "Lock") X(policy_lock, "_policy_lock")      \
    X(get_metrics, "get_metrics") X(call_count, "call_count")                               \
    X(compile_count, "compile_count") X(avg_speedup, "avg_speedup")                         \
    X(last_compiled, "last_compiled") X(isEnabledFor, "isEnabledFor") X(debug, "debug")     \
    X(initial_threshold, "initial_threshold") X(min_threshold, "min_threshold")             \
    X(max_threshold, "max_threshold") X(learning_rate, "learning_rate")                     \
    X(target_speedup, "target_speedup") X(tracked_functions, "tracked_functions")           \
    X(avg_threshold, "avg_threshold") X(total_execution_time_ms, "total_execution_time_ms") \
    X(last_compile_time, "last_compile_time")

VK_NAMES(CG_NAMES);

struct ModuleState {
    PyTypeObject* PolicyConfig = nullptr;
    PyTypeObject* FunctionMetrics = nullptr;
    PyTypeObject* CompileGate = nullptr;
    PyObject* global_policy = nullptr;  // the process-wide gate; nullptr stands for None
    PyObject* zero = nullptr;           // 0, for the interpreter's `compile_count == 0`
    PyObject* debug_level = nullptr;    // logging.DEBUG
    PyObject* policy_kwnames = nullptr;   // the five PolicyConfig parameter names
    PyObject* metrics_kwnames = nullptr;  // the first five FunctionMetrics parameter names
    PyObject* policy_defaults[5] = {};   // PolicyConfig's declared defaults
    Names names;
    vk::LockSupport locks;
    // The genuine time module and its time() function, to recognise them at call time.
    PyObject* time_module = nullptr;
    PyObject* time_func = nullptr;

    auto owned() {
        return std::tie(PolicyConfig, FunctionMetrics, CompileGate, global_policy, zero, debug_level,
                        policy_kwnames, metrics_kwnames, policy_defaults, names, locks,
                        time_module, time_func);
    }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }
ModuleState* state_of_class(PyTypeObject* defining_class) {
    return vk::state_of_type<ModuleState>(defining_class);
}
PyObject* module_of_instance(PyObject* self);

// ---- CompileGate -------------------------------------------------------------------------------

struct GateObject {
    PyObject_HEAD
    PyObject* config;      // a PolicyConfig (or subclass instance); nullptr until __init__
    PyObject* thresholds;  // dict: str or None -> int (always within 32 bits)
    PyObject* lock;        // threading.Lock()
    double recompile_interval;

    auto owned() { return std::tie(config, thresholds, lock); }
};

GateObject* as_gate(PyObject* o) { return reinterpret_cast<GateObject*>(o); }

bool gate_ready(GateObject* g) {
    if (g->config != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "CompileGate.__init__() has not been called");
    return false;
}

// Threshold of a function (caller holds the gate's lock): the learned one, else the configured
// initial threshold. Runs no Python code: the keys are str or None.
bool threshold_of(PyObject* thresholds, PyObject* config, PyObject* func_id, int32_t& out) {
    PyObject* v = PyDict_GetItemWithError(thresholds, func_id);
    if (v == nullptr) {
        if (PyErr_Occurred()) return false;
        out = get_initial_threshold_fast(config);
        return true;
    }
    return vk::convert(v, vk::i32(out), vk::ArgCtx{"CompileGate", "threshold"});
}

// Conversion errors of a ledger's metrics name the FunctionMetrics attribute, as its setters do.
consteval vk::ArgCtx metric(std::string_view attribute) {
    return vk::context_of(kMetricsInit, attribute);
}

// getattr(obj, name) for a metrics record, the reference kept in `hold` so that the value outlives
// the locked section.
PyObject* metrics_attr(PyObject* metrics, PyObject* name, Ref& hold) {
    hold = Ref::steal(PyObject_GetAttr(metrics, name));
    return hold.get();
}

struct DecisionInputs {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 1.0;
    double last_compiled = 0.0;
};

// Reads the four fields should_compile needs, in order. An exact FunctionMetrics is read natively
// (its type is immutable, so its attributes are exactly these fields).
bool read_decision_inputs(const ModuleState* st, PyObject* metrics, DecisionInputs& d,
                          Ref (&hold)[4]) {
    if (Py_IS_TYPE(metrics, st->FunctionMetrics)) {
        d.call_count = get_call_count_fast(metrics);
        d.compile_count = get_compile_count_fast(metrics);
        d.avg_speedup = get_avg_speedup_fast(metrics);
        d.last_compiled = get_last_compiled_fast(metrics);
        return true;
    }
    PyObject* v;
    if ((v = metrics_attr(metrics, st->names[s_call_count], hold[0])) == nullptr ||
        !vk::convert(v, vk::u64(d.call_count), metric("call_count"))) {
        return false;
    }
    if ((v = metrics_attr(metrics, st->names[s_compile_count], hold[1])) == nullptr ||
        !vk::convert(v, vk::u32(d.compile_count), metric("compile_count"))) {
        return false;
    }
    if ((v = metrics_attr(metrics, st->names[s_avg_speedup], hold[2])) == nullptr ||
        !vk::convert(v, vk::f64(d.avg_speedup), metric("avg_speedup"))) {
        return false;
    }
    v = metrics_attr(metrics, st->names[s_last_compiled], hold[3]);
    if (v == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        d.last_compiled = 0.0;
        return true;
    }
    return vk::convert(v, vk::f64(d.last_compiled), metric("last_compiled"));
}

// call_ledger.get_metrics(func_id)
PyObject* ledger_metrics(const ModuleState* st, PyObject* ledger, PyObject* func_id) {
    PyObject* argv[2] = {ledger, func_id};
    return PyObject_VectorcallMethod(st->names[s_get_metrics], argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// Seconds on the time.time() clock, computed as time.time() computes them; false where this
// platform's time.time() is another clock (then the function itself is called).
bool system_clock_seconds(double& out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t t;
    if (PyTime_Time(&t) < 0) {
        PyErr_Clear();
        return false;
    }
    out = PyTime_AsSecondsDouble(t);
    return true;
#elif defined(__linux__)
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
    int64_t ns;
    if (__builtin_mul_overflow(static_cast<int64_t>(ts.tv_sec), int64_t{1000000000}, &ns) ||
        __builtin_add_overflow(ns, static_cast<int64_t>(ts.tv_nsec), &ns)) {
        return false;
    }
    // Whole seconds exactly, otherwise a true division (not a reciprocal multiplication): this is
    // how time.time() turns nanoseconds into seconds, so the value is the same to the last bit.
    out = ns % 1000000000 == 0 ? static_cast<double>(ns / 1000000000)
                               : static_cast<double>(ns) / 1e9;
    return true;
#else
    (void)out;
    return false;
#endif
}

// time.time() through the module's `time` global, looked up now (tests replace it). When that is
// still the genuine function of the genuine module, the clock is read directly.
bool current_time(const ModuleState* st, PyObject* module, double& out) {
    Ref hold = Ref::steal(vk::lookup_global(module, st->names[s_time]));
    if (!hold) return false;
    PyObject* time = hold.get();
    if (time == st->time_module && Py_IS_TYPE(time, &PyModule_Type)) {
        PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(time), st->names[s_time]);
        if (f == st->time_func && system_clock_seconds(out)) return true;
        if (PyErr_Occurred()) return false;
    }
    PyObject* self = time;
    Ref r = Ref::steal(
        PyObject_VectorcallMethod(st->names[s_time], &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!r) return false;
    if (PyFloat_CheckExact(r.get())) {
        out = PyFloat_AS_DOUBLE(r.get());
        return true;
    }
    return vk::convert(r.get(), vk::f64(out), vk::ArgCtx{"should_compile", "time.time()"});
}

constexpr auto kGateInit = vk::sig("CompileGate", vk::arg("config") = nullptr);
constexpr auto kShouldCompile = vk::sig("should_compile", "func_id", "call_ledger");
constexpr auto kUpdate = vk::sig("update", "func_id", "call_ledger");
constexpr auto kGetThreshold = vk::sig("get_threshold", "func_id");

// A new PolicyConfig from another object's attributes, each defaulted when missing.
PyObject* policy_from_attributes(const ModuleState* st, PyObject* source) {
    PyObject* names[5] = {st->names[s_initial_threshold], st->names[s_min_threshold], st->names[s_max_threshold],
                          st->names[s_learning_rate], st->names[s_target_speedup]};
    Ref values[5];
    PyObject* argv[5];
    for (int i = 0; i < 5; ++i) {
        values[i] = Ref::steal(PyObject_GetAttr(source, names[i]));
        if (!values[i]) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            values[i] = Ref::borrow(st->policy_defaults[i]);
        }
        argv[i] = values[i].get();
    }
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(st->PolicyConfig), argv, 0,
                               st->policy_kwnames);
}

int gate_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* config = nullptr;
    if (!vk::parse_tuple(kGateInit, args, kwargs, vk::object(config))) return -1;
    PyObject* module = module_of_instance(self);
    if (module == nullptr) return -1;
    ModuleState* st = state(module);

    Ref cfg;
    if (config == Py_None) {
        cfg = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st->PolicyConfig)));
    } else if (PyObject_TypeCheck(config, st->PolicyConfig)) {
        cfg = Ref::borrow(config);
    } else {
        cfg = Ref::steal(policy_from_attributes(st, config));
    }
    if (!cfg) return -1;
    Ref table = Ref::steal(PyDict_New());
    if (!table) return -1;
    bool genuine = false;
    Ref lock = Ref::steal(st->locks.new_lock(module, genuine));
    if (!lock) return -1;

    // Swap in, then drop whatever a repeated __init__ replaced.
    GateObject* g = as_gate(self);
    Ref old_config = Ref::steal(std::exchange(g->config, cfg.release()));
    Ref old_table = Ref::steal(std::exchange(g->thresholds, table.release()));
    Ref old_lock = Ref::steal(std::exchange(g->lock, lock.release()));
    g->recompile_interval = kRecompileInterval;
    return 0;
}

PyObject* gate_should_compile(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames) {
    PyObject* func_id = nullptr;
    PyObject* ledger = nullptr;
    if (!vk::parse(kShouldCompile, args, PyVectorcall_NARGS(nargsf), kwnames,
                   vk::str_or_none(func_id), vk::object(ledger))) {
        return nullptr;
    }
    GateObject* g = as_gate(self);
    if (!gate_ready(g)) return nullptr;
    const ModuleState* st = state_of_class(cls);
    double now = 0.0;
    if (!current_time(st, PyType_GetModule(cls), now)) return nullptr;

    // Our own references: the ledger runs arbitrary code, which could even re-initialise the gate.
    // Declared before the guard so that they (and the ledger's objects) are dropped after the lock
    // is released.
    Ref config = Ref::borrow(g->config);
    Ref table = Ref::borrow(g->thresholds);
    Ref lock = Ref::borrow(g->lock);
    Ref metrics;
    Ref hold[4];
    int32_t threshold;
    DecisionInputs d;
    {
        vk::LockGuard guard(st->locks, lock.get(), vk::Section::Python);
        if (!guard.ok()) return nullptr;
        if (!threshold_of(table.get(), config.get(), func_id, threshold)) return nullptr;
        metrics = Ref::steal(ledger_metrics(st, ledger, func_id));
        if (!metrics || !read_decision_inputs(st, metrics.get(), d, hold)) return nullptr;
        if (!guard.release()) return nullptr;
    }
    return vk::boolean(compile_gate::should_compile(threshold, d.call_count, d.compile_count,
                                                    d.last_compiled, now, g->recompile_interval));
}

// The DEBUG line, formatted only when the module logger (looked up now) is enabled for DEBUG.
bool log_update(const ModuleState* st, PyObject* module, PyObject* func_id, int32_t before,
                int32_t after, double speedup) {
    Ref logger = Ref::steal(vk::lookup_global(module, st->names[s_logger]));
    if (!logger) return false;
    PyObject* argv[2] = {logger.get(), st->debug_level};
    Ref enabled = Ref::steal(PyObject_VectorcallMethod(
        st->names[s_isEnabledFor], argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    int on = 1;
    if (enabled) {
        on = PyObject_IsTrue(enabled.get());
        if (on < 0) return false;
    } else {
        // A stand-in logger without isEnabledFor(): log unconditionally. An AttributeError from
        // inside an existing isEnabledFor() propagates.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        vk::SavedError saved;
        if (PyObject_HasAttr(logger.get(), st->names[s_isEnabledFor])) {
            saved.restore();
            return false;
        }
    }
    if (!on) return true;
    char* text = PyOS_double_to_string(speedup, 'f', 2, 0, nullptr);
    if (text == nullptr) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)",
                                                  func_id, static_cast<int>(before),
                                                  static_cast<int>(after), text));
    PyMem_Free(text);
    if (!message) return false;
    argv[1] = message.get();
    Ref r = Ref::steal(
        PyObject_VectorcallMethod(st->names[s_debug], argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

PyObject* gate_update(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) {
    PyObject* func_id = nullptr;
    PyObject* ledger = nullptr;
    if (!vk::parse(kUpdate, args, PyVectorcall_NARGS(nargsf), kwnames, vk::str_or_none(func_id),
                   vk::object(ledger))) {
        return nullptr;
    }
    GateObject* g = as_gate(self);
    if (!gate_ready(g)) return nullptr;
    const ModuleState* st = state_of_class(cls);

    Ref config = Ref::borrow(g->config);
    Ref table = Ref::borrow(g->thresholds);
    Ref lock = Ref::borrow(g->lock);
    Ref metrics, count_obj, speedup_obj, stored;
    int32_t before, after;
    uint32_t compile_count;
    double speedup = 1.0;
    {
        vk::LockGuard guard(st->locks, lock.get(), vk::Section::Python);
        if (!guard.ok()) return nullptr;
        metrics = Ref::steal(ledger_metrics(st, ledger, func_id));
        if (!metrics) return nullptr;
        const bool exact = Py_IS_TYPE(metrics.get(), st->FunctionMetrics);
        if (exact) {
            compile_count = get_compile_count_fast(metrics.get());
            if (compile_count == 0) return guard.release() ? vk::none() : nullptr;
        } else {
            if (!metrics_attr(metrics.get(), st->names[s_compile_count], count_obj)) return nullptr;
            const int is_zero = PyObject_RichCompareBool(count_obj.get(), st->zero, Py_EQ);
            if (is_zero < 0) return nullptr;
            if (is_zero) return guard.release() ? vk::none() : nullptr;
        }
        if (!threshold_of(table.get(), config.get(), func_id, before)) return nullptr;
        if (exact) {
            speedup = get_avg_speedup_fast(metrics.get());
        } else if (!vk::convert(count_obj.get(), vk::u32(compile_count),
                                metric("compile_count")) ||
                   !metrics_attr(metrics.get(), st->names[s_avg_speedup], speedup_obj) ||
                   !vk::convert(speedup_obj.get(), vk::f64(speedup), metric("avg_speedup"))) {
            return nullptr;
        }
        // The configuration's native fields as they are at this moment.
        after = next_threshold(before, compile_count, speedup, policy_of(config.get()));
        stored = Ref::steal(PyLong_FromLong(after));
        if (!stored || PyDict_SetItem(table.get(), func_id, stored.get()) < 0) return nullptr;
        if (!guard.release()) return nullptr;
    }
    if (!log_update(st, PyType_GetModule(cls), func_id, before, after, speedup)) return nullptr;
    return vk::none();
}

PyObject* gate_get_threshold(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                             size_t nargsf, PyObject* kwnames) {
    PyObject* func_id = nullptr;
    if (!vk::parse(kGetThreshold, args, PyVectorcall_NARGS(nargsf), kwnames,
                   vk::str_or_none(func_id))) {
        return nullptr;
    }
    GateObject* g = as_gate(self);
    if (!gate_ready(g)) return nullptr;
    const ModuleState* st = state_of_class(cls);

    if (Py_IS_TYPE(g->config, st->PolicyConfig)) {
        // A dictionary lookup with a str or None key and a field read: a pure section.
        PyObject* found = nullptr;
        int32_t initial = 0;
        bool exact = true;
        Ref lock = Ref::borrow(g->lock);  // a held lock is waited for: keep it alive meanwhile
        {
            // Pure, beside sections that call the ledger: skipped while the lock is free, entered
            // (waiting before anything is read) while it is held.
            vk::LockGuard guard(st->locks, lock.get(), vk::Section::PureChecked);
            if (!guard.ok()) return nullptr;
            // Checked again: while a held lock was waited for, __init__ may have installed a
            // subclass configuration, whose attribute only the path below honours.
            exact = Py_IS_TYPE(g->config, st->PolicyConfig);
            if (exact) {
                found = PyDict_GetItemWithError(g->thresholds, func_id);
                if (found != nullptr) {
                    Py_INCREF(found);  // an int we stored
                } else if (PyErr_Occurred()) {
                    return nullptr;
                } else {
                    initial = get_initial_threshold_fast(g->config);
                }
            }
            if (!guard.release()) {
                Py_XDECREF(found);
                return nullptr;
            }
        }
        if (exact) return found != nullptr ? found : PyLong_FromLong(initial);
    }

    // A subclass may override the attribute with Python code: the lock is taken for real.
    Ref config = Ref::borrow(g->config);
    Ref table = Ref::borrow(g->thresholds);
    Ref lock = Ref::borrow(g->lock);
    Ref found;
    {
        vk::LockGuard guard(st->locks, lock.get(), vk::Section::Python);
        if (!guard.ok()) return nullptr;
        PyObject* v = PyDict_GetItemWithError(table.get(), func_id);
        if (v != nullptr) {
            found = Ref::borrow(v);
        } else if (PyErr_Occurred()) {
            return nullptr;
        } else {
            found = Ref::steal(PyObject_GetAttr(config.get(), st->names[s_initial_threshold]));
            if (!found) return nullptr;
        }
        if (!guard.release()) return nullptr;
    }
    if (PyLong_CheckExact(found.get())) return found.release();
    Ref result;  // declared int: another number passes through int()
    if (!vk::convert(found.get(), vk::pyint(result), vk::ArgCtx{"get_threshold", "result"})) {
        return nullptr;
    }
    return result.release();
}

PyObject* gate_get_statistics(PyObject* self, PyObject*) {
    GateObject* g = as_gate(self);
    if (!gate_ready(g)) return nullptr;
    PyObject* module = module_of_instance(self);
    if (module == nullptr) return nullptr;
    const ModuleState* st = state(module);

    ThresholdSummary sum;
    CPolicyConfig cfg;
    Ref lock = Ref::borrow(g->lock);  // a held lock is waited for: keep it alive meanwhile
    {
        // Pure (str keys, int values we stored): skipped while free, entered while held.
        vk::LockGuard guard(st->locks, lock.get(), vk::Section::PureChecked);
        if (!guard.ok()) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(g->thresholds, &pos, &key, &value)) {
            int32_t v = 0;
            if (!vk::convert(value, vk::i32(v), vk::ArgCtx{"CompileGate", "threshold"})) {
                return nullptr;
            }
            sum.add(v);
        }
        cfg = policy_of(g->config);
        if (!guard.release()) return nullptr;
    }

    Ref avg;
    Ref lo, hi;
    if (sum.count == 0) {
        avg = Ref::steal(PyLong_FromLong(cfg.initial_threshold));
        lo = Ref::steal(PyLong_FromLong(cfg.min_threshold));
        hi = Ref::steal(PyLong_FromLong(cfg.max_threshold));
    } else {
        if (sum.mean_is_exact()) {
            avg = Ref::steal(PyFloat_FromDouble(sum.mean()));
        } else {
            Ref n = Ref::steal(PyLong_FromLongLong(sum.count));
            Ref total = Ref::steal(PyLong_FromLongLong(sum.sum));
            if (n && total) avg = Ref::steal(PyNumber_TrueDivide(total.get(), n.get()));
        }
        lo = Ref::steal(PyLong_FromLong(sum.min));
        hi = Ref::steal(PyLong_FromLong(sum.max));
    }
    Ref count = Ref::steal(PyLong_FromLongLong(sum.count));
    Ref d = Ref::steal(PyDict_New());
    if (!avg || !lo || !hi || !count || !d) return nullptr;
    if (PyDict_SetItem(d.get(), st->names[s_tracked_functions], count.get()) < 0 ||
        PyDict_SetItem(d.get(), st->names[s_avg_threshold], avg.get()) < 0 ||
        PyDict_SetItem(d.get(), st->names[s_min_threshold], lo.get()) < 0 ||
        PyDict_SetItem(d.get(), st->names[s_max_threshold], hi.get()) < 0) {
        return nullptr;
    }
    return d.release();
}

PyObject* gate_config(PyObject* self, void*) {
    GateObject* g = as_gate(self);
    if (!gate_ready(g)) return nullptr;
    return Py_NewRef(g->config);
}

PyMethodDef gate_methods[] = {
    vk::def_method(kShouldCompile, gate_should_compile,
                   "Whether the function should be compiled now, from the ledger's metrics: not "
                   "below the threshold, and a recompilation only 600 seconds after the last "
                   "compilation."),
    vk::def_method(kGetThreshold, gate_get_threshold,
                   "The function's learned threshold, or the configured initial threshold."),
    vk::def_method(kUpdate, gate_update,
                   "Learns the function's threshold from the speedup its compilations achieved."),
    vk::def_method("get_statistics", gate_get_statistics,
                   "Number of learned thresholds and their mean, smallest and largest values."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gate_getset[] = {
    {"config", gate_config, nullptr, "The gate's PolicyConfig (shared, not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const vk::TypeDef gate_type{
    .name = "velkora.jit.compile_gate.CompileGate", .size = sizeof(GateObject),
    .flags = Py_TPFLAGS_IMMUTABLETYPE,
    .doc = vk::class_doc(kGateInit,
                         "Decides when a function is compiled and learns per-function call "
                         "thresholds from the measured speedup."),
    .init = gate_init, .traverse = vk::traverse_object<GateObject>,
    .clear = vk::clear_object<GateObject>,
    // The configuration (a subclass instance) and the lock (from a replaceable `threading`) may
    // hold another gate: the trashcan bounds the recursion of a long chain
    .dealloc = vk::dealloc_gc_nested<vk::clear_object<GateObject>>,
    .methods = gate_methods, .getset = gate_getset};

}  // namespace
}  // namespace compile_gate

// The module functions: a part of this unit, after the state and the gate type above.
#include "compile_gate_functions.inc"

namespace compile_gate {
namespace {

bool init_state(ModuleState* st) {
    if (!st->names.init()) return false;
    st->zero = PyLong_FromLong(0);
    st->debug_level = PyLong_FromLong(10);
    st->policy_kwnames = PyTuple_Pack(5, st->names[s_initial_threshold], st->names[s_min_threshold],
                                      st->names[s_max_threshold], st->names[s_learning_rate],
                                      st->names[s_target_speedup]);
    for (std::size_t i = 0; i < 5; ++i) {
        st->policy_defaults[i] = vk::default_object(kPolicyInit.defaults[i]);
    }
    st->metrics_kwnames = PyTuple_Pack(5, st->names[s_call_count], st->names[s_compile_count],
                                       st->names[s_avg_speedup], st->names[s_total_execution_time_ms],
                                       st->names[s_last_compile_time]);
    if (!st->zero || !st->debug_level || !st->policy_kwnames || !st->metrics_kwnames) return false;
    for (PyObject* d : st->policy_defaults) {
        if (d == nullptr) return false;
    }
    if (!st->locks.init()) return false;
    st->time_module = PyImport_ImportModule("time");
    st->time_func = st->time_module ? PyObject_GetAttrString(st->time_module, "time") : nullptr;
    return st->time_func != nullptr;
}

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    if (!init_state(st)) return -1;

    // Native classes, in their documented order.
    if (!vk::add_type(m, policy_type, &st->PolicyConfig) ||
        !vk::add_type(m, metrics_type, &st->FunctionMetrics) ||
        !vk::add_type(m, gate_type, &st->CompileGate)) {
        return -1;
    }

    if (!vk::import_module(m, "time") || !vk::import_module(m, "logging") ||
        !vk::import_module(m, "threading") ||
        !vk::import_names(m, "typing", {"Dict", "Optional"})) {
        return -1;
    }
    if (!vk::bind_logger(m)) return -1;

    Ref threading = Ref::steal(PyObject_GetAttrString(m, "threading"));
    if (!threading ||
        !vk::module_add(m, "_policy_lock", PyObject_CallMethodNoArgs(threading.get(), st->names[s_Lock]))) {
        return -1;
    }
    if (!add_functions(m)) return -1;

    return vk::log_info(m, "velkora native compile-gate module loaded") ? 0 : -1;
}

PyObject* module_of_instance(PyObject* self) { return PyType_GetModuleByDef(Py_TYPE(self), &module_def); }

}  // namespace
}  // namespace compile_gate

VK_MODULE(compile_gate, "velkora.jit.compile_gate",
          "Adaptive compile gate: policy configuration, function metrics and per-function "
          "thresholds.")
