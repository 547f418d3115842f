// PolicyConfig and FunctionMetrics: the Python types of plain native records with read-write
// attributes. Included by the compile_gate module unit only; the gate reads their fields through the
// *_fast accessors.
#pragma once

#include <cstdint>
#include <type_traits>

#include "compile_gate_core.hpp"
#include "vkbind/vkbind.hpp"

namespace compile_gate {
using namespace core;  // the module's own pure C++, named unqualified here

struct PolicyConfigObject {
    PyObject_HEAD
    CPolicyConfig c;
};

struct FunctionMetricsObject {
    PyObject_HEAD
    CFunctionMetrics m;
};

inline CPolicyConfig& policy_of(PyObject* o) { return reinterpret_cast<PolicyConfigObject*>(o)->c; }
inline CFunctionMetrics& metrics_of(PyObject* o) {
    return reinterpret_cast<FunctionMetricsObject*>(o)->m;
}

// Native read accessors for the gate (the object is a PolicyConfig / FunctionMetrics or subclass).
inline int32_t get_initial_threshold_fast(PyObject* o) { return policy_of(o).initial_threshold; }
inline int32_t get_min_threshold_fast(PyObject* o) { return policy_of(o).min_threshold; }
inline int32_t get_max_threshold_fast(PyObject* o) { return policy_of(o).max_threshold; }
inline double get_learning_rate_fast(PyObject* o) { return policy_of(o).learning_rate; }
inline double get_target_speedup_fast(PyObject* o) { return policy_of(o).target_speedup; }

inline uint64_t get_call_count_fast(PyObject* o) { return metrics_of(o).call_count; }
inline uint32_t get_compile_count_fast(PyObject* o) { return metrics_of(o).compile_count; }
inline double get_avg_speedup_fast(PyObject* o) { return metrics_of(o).avg_speedup; }
inline double get_last_compiled_fast(PyObject* o) { return metrics_of(o).last_compiled; }

// ---- attributes --------------------------------------------------------------------------------
// One getter/setter pair per field, generated from the member pointer. Setters convert like the
// constructor's parameters and store without validation; a failed conversion leaves the field.

inline PyObject* to_py(int32_t v) { return PyLong_FromLong(v); }
inline PyObject* to_py(uint32_t v) { return PyLong_FromUnsignedLong(v); }
inline PyObject* to_py(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }

inline auto conv_of(int32_t& v) { return vk::i32(v); }
inline auto conv_of(uint32_t& v) { return vk::u32(v); }
inline auto conv_of(uint64_t& v) { return vk::u64(v); }
inline auto conv_of(double& v) { return vk::f64(v); }

template <class Record>
inline Record& record_of(PyObject* o) {
    if constexpr (std::is_same_v<Record, CPolicyConfig>) {
        return policy_of(o);
    } else {
        return metrics_of(o);
    }
}

// `closure` is the attribute's vk::ArgCtx (class name, attribute name) for conversion errors.
template <class Record, auto Field>
PyObject* field_get(PyObject* self, void*) {
    return to_py(record_of<Record>(self).*Field);
}

template <class Record, auto Field>
int field_set(PyObject* self, PyObject* value, void* closure) {
    const vk::ArgCtx& ctx = *static_cast<const vk::ArgCtx*>(closure);
    if (value == nullptr) {
        PyErr_Format(PyExc_NotImplementedError, "attribute '%s' of '%s' objects cannot be deleted",
                     ctx.param, ctx.func);
        return -1;
    }
    auto v = record_of<Record>(self).*Field;
    if (!vk::convert(value, conv_of(v), ctx)) return -1;
    record_of<Record>(self).*Field = v;
    return 0;
}

// An attribute `name` reading and writing Record::field; conversion errors name the parameter of
// the constructor's declaration `sig` that sets the field.
#define CG_FIELD_AS(Record, field, name, sig, doc)                                              \
    {name, field_get<Record, &Record::field>, field_set<Record, &Record::field>, doc,          \
     const_cast<vk::ArgCtx*>(&vk::param_context<sig, vk::param_index(sig, name)>)}
#define CG_FIELD(Record, field, sig, doc) CG_FIELD_AS(Record, field, #field, sig, doc)

// ---- PolicyConfig ------------------------------------------------------------------------------


// The defaults stand in the core's record; every signature that shows them is generated from here.
inline constexpr CPolicyConfig kPolicyDefaults{};
constexpr auto kPolicyInit = vk::sig(
    "PolicyConfig", vk::arg("initial_threshold") = kPolicyDefaults.initial_threshold,
    vk::arg("min_threshold") = kPolicyDefaults.min_threshold,
    vk::arg("max_threshold") = kPolicyDefaults.max_threshold,
    vk::arg("learning_rate") = kPolicyDefaults.learning_rate,
    vk::arg("target_speedup") = kPolicyDefaults.target_speedup);

// Objects made by __new__ alone already hold the defaults.
inline PyObject* policy_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) policy_of(self) = CPolicyConfig{};
    return self;
}

inline int policy_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    CPolicyConfig c;
    if (!vk::parse_tuple(kPolicyInit, args, kwargs, vk::i32(c.initial_threshold),
                         vk::i32(c.min_threshold), vk::i32(c.max_threshold),
                         vk::f64(c.learning_rate), vk::f64(c.target_speedup))) {
        return -1;
    }
    if (const char* message = validate(c)) {
        PyErr_SetString(PyExc_ValueError, message);
        return -1;
    }
    policy_of(self) = c;
    return 0;
}

inline PyGetSetDef policy_getset[] = {
    CG_FIELD(CPolicyConfig, initial_threshold, kPolicyInit,
             "Call count at which a function without a learned threshold may be compiled."),
    CG_FIELD(CPolicyConfig, min_threshold, kPolicyInit, "Lowest threshold learning may produce."),
    CG_FIELD(CPolicyConfig, max_threshold, kPolicyInit, "Highest threshold learning may produce."),
    CG_FIELD(CPolicyConfig, learning_rate, kPolicyInit,
             "Fraction of the current threshold one update moves it by."),
    CG_FIELD(CPolicyConfig, target_speedup, kPolicyInit, "Speedup that counts as success."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Immutable type: nothing can shadow the field attributes on the exact type, so the gate may read
// the native fields of an exact instance directly.
inline const vk::TypeDef policy_type{
    .name = "velkora.jit.compile_gate.PolicyConfig", .size = sizeof(PolicyConfigObject),
    .flags = Py_TPFLAGS_IMMUTABLETYPE,
    .doc = vk::class_doc(kPolicyInit,
                         "Validated tuning parameters of a compile gate. Attributes may be "
                         "reassigned later without validation."),
    .new_ = policy_new, .init = policy_init, .getset = policy_getset};

// ---- FunctionMetrics ---------------------------------------------------------------------------


inline constexpr CFunctionMetrics kMetricsDefaults{};
// An omitted last_compiled reads as a negative one: last_compile_time decides.
constexpr auto kMetricsInit = vk::sig(
    "FunctionMetrics", vk::arg("call_count") = kMetricsDefaults.call_count,
    vk::arg("compile_count") = kMetricsDefaults.compile_count,
    vk::arg("avg_speedup") = kMetricsDefaults.avg_speedup,
    vk::arg("total_execution_time_ms") = kMetricsDefaults.total_execution_time_ms,
    vk::arg("last_compile_time") = kMetricsDefaults.last_compiled, vk::arg("last_compiled") = -1.0);

inline PyObject* metrics_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) metrics_of(self) = CFunctionMetrics{};
    return self;
}

inline int metrics_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    CFunctionMetrics m;
    double last_compile_time, last_compiled;
    if (!vk::parse_tuple(kMetricsInit, args, kwargs, vk::u64(m.call_count),
                         vk::u32(m.compile_count), vk::f64(m.avg_speedup),
                         vk::f64(m.total_execution_time_ms), vk::f64(last_compile_time),
                         vk::f64(last_compiled))) {
        return -1;
    }
    m.last_compiled = stored_last_compiled(last_compile_time, last_compiled);
    metrics_of(self) = m;
    return 0;
}

inline PyGetSetDef metrics_getset[] = {
    CG_FIELD(CFunctionMetrics, call_count, kMetricsInit, "Calls of the function seen so far."),
    CG_FIELD(CFunctionMetrics, compile_count, kMetricsInit, "Compilations of the function so far."),
    CG_FIELD(CFunctionMetrics, avg_speedup, kMetricsInit,
             "Average speedup of compiled over interpreted code (1.0: none)."),
    CG_FIELD(CFunctionMetrics, total_execution_time_ms, kMetricsInit,
             "Total execution time in milliseconds."),
    CG_FIELD(CFunctionMetrics, last_compiled, kMetricsInit,
             "time.time() of the last compilation; 0.0 means never."),
    CG_FIELD_AS(CFunctionMetrics, last_compiled, "last_compile_time", kMetricsInit,
                "The same field as last_compiled."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline const vk::TypeDef metrics_type{
    .name = "velkora.jit.compile_gate.FunctionMetrics", .size = sizeof(FunctionMetricsObject),
    .flags = Py_TPFLAGS_IMMUTABLETYPE,
    .doc = vk::class_doc(kMetricsInit,
                         "Call and compile history of one function. A last_compiled that is "
                         "not negative takes precedence over last_compile_time; both names "
                         "read the same field."),
    .new_ = metrics_new, .init = metrics_init, .getset = metrics_getset};

#undef CG_FIELD

}  // namespace compile_gate
