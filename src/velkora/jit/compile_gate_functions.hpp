// get_compile_gate, reset_compile_gate and the record factories of velkora.jit.compile_gate.
// Part of compile_gate.cpp, which includes it after the module state and the gate type.
#pragma once

#include <string_view>
#include <utility>

namespace compile_gate {
namespace {

// ---- module functions --------------------------------------------------------------------------

// The module's `_policy_lock`, looked up by name at each call.
PyObject* policy_lock(PyObject* module) {
    return vk::lookup_global(module, state(module)->names[s_policy_lock]);
}

PyObject* get_compile_gate(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    Ref lock = Ref::steal(policy_lock(module));
    if (!lock) return nullptr;
    if (st->locks.is_genuine(lock.get())) {
        // Handing out the existing gate is a pure section; only creating one runs Python code, and
        // that takes the lock for real, so this one is entered for real while it is held.
        vk::LockGuard guard(st->locks, lock.get(), vk::Section::PureChecked);
        if (!guard.ok()) return nullptr;
        Ref gate = Ref::borrow(st->global_policy);
        if (!guard.release()) return nullptr;
        if (gate) return gate.release();
    }
    vk::LockGuard guard(st->locks, lock.get(), vk::Section::Python);
    if (!guard.ok()) return nullptr;
    if (st->global_policy == nullptr) {
        PyObject* gate = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st->CompileGate));
        if (gate == nullptr) return nullptr;
        st->global_policy = gate;
    }
    Ref gate = Ref::borrow(st->global_policy);
    return guard.release() ? gate.release() : nullptr;
}

PyObject* reset_compile_gate(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    Ref lock = Ref::steal(policy_lock(module));
    if (!lock) return nullptr;
    Ref old;  // dropped after the lock is left
    {
        // Pure (the old gate is dropped after the section): skipped while free, entered while held.
        vk::LockGuard guard(st->locks, lock.get(), vk::Section::PureChecked);
        if (!guard.ok()) return nullptr;
        old = Ref::steal(std::exchange(st->global_policy, nullptr));
        if (!guard.release()) return nullptr;
    }
    return vk::none();
}

// The factories are plain Python functions (introspectable defaults and annotations) generated
// from these declarations; their native workers do the conversions and call the record types by
// keyword.
constexpr auto kCreatePolicy = vk::renamed(kPolicyInit, "create_policy_config");
// FunctionMetrics' parameters up to last_compile_time (last_compiled is the class's alone).
constexpr auto kCreateMetrics = vk::leading<5>(kMetricsInit, "create_function_metrics");
static_assert(std::string_view(kCreateMetrics.params[4]) == "last_compile_time");

PyObject* c_create_policy_config(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    Ref initial, lo, hi;
    double rate, target;
    if (!vk::parse(kCreatePolicy, args, nargs, kwnames, vk::pyint(initial), vk::pyint(lo),
                   vk::pyint(hi), vk::f64(rate), vk::f64(target))) {
        return nullptr;
    }
    ModuleState* st = state(module);
    Ref rate_obj = Ref::steal(PyFloat_FromDouble(rate));
    Ref target_obj = Ref::steal(PyFloat_FromDouble(target));
    if (!rate_obj || !target_obj) return nullptr;
    PyObject* argv[5] = {initial.get(), lo.get(), hi.get(), rate_obj.get(), target_obj.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(st->PolicyConfig), argv, 0,
                               st->policy_kwnames);
}

PyObject* c_create_function_metrics(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    Ref calls, compiles;
    double values[3];
    if (!vk::parse(kCreateMetrics, args, nargs, kwnames, vk::pyint(calls), vk::pyint(compiles),
                   vk::f64(values[0]), vk::f64(values[1]), vk::f64(values[2]))) {
        return nullptr;
    }
    ModuleState* st = state(module);
    Ref floats[3];
    for (int i = 0; i < 3; ++i) floats[i] = Ref::steal(PyFloat_FromDouble(values[i]));
    if (!floats[0] || !floats[1] || !floats[2]) return nullptr;
    PyObject* argv[5] = {calls.get(), compiles.get(), floats[0].get(), floats[1].get(),
                         floats[2].get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(st->FunctionMetrics), argv, 0,
                               st->metrics_kwnames);
}

PyMethodDef module_functions[] = {
    vk::def_function("get_compile_gate", get_compile_gate,
                     "The process-wide CompileGate, created on first request."),
    vk::def_function("reset_compile_gate", reset_compile_gate,
                     "Drops the process-wide gate; the next request creates a new one."),
};
PyMethodDef policy_worker = vk::def_function(kCreatePolicy, c_create_policy_config, "");
PyMethodDef metrics_worker = vk::def_function(kCreateMetrics, c_create_function_metrics, "");

bool add_functions(PyObject* m) {
    Ref name = Ref::steal(PyModule_GetNameObject(m));
    if (!name) return false;
    for (PyMethodDef& def : module_functions) {
        if (!vk::module_add(m, def.ml_name, PyCFunction_NewEx(&def, m, name.get()))) return false;
    }
    return vk::add_python_function(
               m, kCreateMetrics, {"int", "int", "float", "float", "float", "FunctionMetrics"},
               "Builds a FunctionMetrics; the counts are Python ints (a float truncates).",
               &metrics_worker) &&
           vk::add_python_function(
               m, kCreatePolicy, {"int", "int", "int", "float", "float", "PolicyConfig"},
               "Builds a validated PolicyConfig; the thresholds are Python ints (a float "
               "truncates).",
               &policy_worker);
}

}  // namespace
}  // namespace compile_gate
