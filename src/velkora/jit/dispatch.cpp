// velkora.jit.dispatch: the per-call path of the compile driver. A Dispatcher stands in for a user's
// function: each call counts itself with one atomic increment, is timed on a sample, and goes to the
// current implementation (the interpreted function, or compiled code once the driver installs it).
// The driver hears from it only when a call count or the time spent crosses a point it armed. A
// Ledger maps function identifiers to dispatchers and answers a CompileGate's get_metrics from their
// counters, so no Python code runs per call.
#include "vkbind/args.hpp"
#include "vkbind/module.hpp"
#include "vkbind/state.hpp"

#include <structmember.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace dispatch {
extern PyModuleDef module_def;
namespace {

using vk::Ref;

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

struct ModuleState {
    PyTypeObject* Dispatcher = nullptr;
    PyTypeObject* Ledger = nullptr;
    PyObject* FunctionMetrics = nullptr;  // velkora.jit.compile_gate.FunctionMetrics
    PyObject* time_func = nullptr;        // time.time

    auto owned() { return std::tie(Dispatcher, Ledger, FunctionMetrics, time_func); }
};

inline int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- Dispatcher ----------------------------------------------------------------------------------

struct DispatcherObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;      // __dict__: functools.wraps puts __name__, __doc__, __wrapped__ there
    PyObject* weaklist;
    PyObject* func;      // the interpreted function, never changed
    PyObject* impl;      // what calls go to now
    PyObject* on_hot;    // the driver's callback, or nullptr
    PyObject* on_error;  // called when a non-interpreted impl raises TypeError, or nullptr
    PyObject* func_id;   // str or None
    std::atomic<uint64_t> calls;
    uint64_t next_check;      // on_hot fires at the call that reaches this count
    double time_trigger_ns;   // ... or once the estimated time spent reaches this
    double spent_ns;          // estimated total time in calls (sampled calls weighted)
    uint64_t timed_calls;
    uint64_t last_timed_at;   // call number of the last timed call
    uint64_t sample_mask;     // a call is timed when (n & mask) == 0, or while calls are long
    double long_call_ns;      // a timed call at least this long makes the next one timed too
    bool timing_all;
    uint32_t compile_count;
    double avg_speedup;
    double last_compiled;

    auto owned() { return std::tie(dict, func, impl, on_hot, on_error, func_id); }
};

DispatcherObject* as_disp(PyObject* o) { return reinterpret_cast<DispatcherObject*>(o); }

[[gnu::cold, gnu::noinline]] PyObject* pack_call(PyObject* const* args, size_t nargs,
                                                PyObject* kwnames, PyObject** kwargs) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(nargs));
    if (tuple == nullptr) return nullptr;
    for (size_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    *kwargs = nullptr;
    if (nkw > 0) {
        PyObject* d = PyDict_New();
        if (d == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (PyDict_SetItem(d, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
                Py_DECREF(d);
                Py_DECREF(tuple);
                return nullptr;
            }
        }
        *kwargs = d;
    }
    return tuple;
}

// The driver's callback, with the arguments of the call that crossed the armed point. The trigger is
// disarmed first so that a callback which arms nothing is not called again. A failure of the
// callback is the driver's fault, never the caller's: it is reported as unraisable.
[[gnu::cold, gnu::noinline]] void fire_hot(DispatcherObject* d, PyObject* const* args, size_t nargs,
                                           PyObject* kwnames) {
    d->next_check = kNever;
    d->time_trigger_ns = HUGE_VAL;
    if (d->on_hot == nullptr) return;
    PyObject* kwargs = nullptr;
    Ref tuple = Ref::steal(pack_call(args, nargs, kwnames, &kwargs));
    Ref kw = Ref::steal(kwargs);
    if (tuple) {
        Ref cb = Ref::borrow(d->on_hot);
        Ref r = Ref::steal(PyObject_CallFunctionObjArgs(cb.get(), reinterpret_cast<PyObject*>(d),
                                                        tuple.get(), kw ? kw.get() : Py_None,
                                                        nullptr));
        if (r) return;
    }
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(d));
}

[[gnu::cold, gnu::noinline]] PyObject* handle_type_error(DispatcherObject* d, PyObject* const* args,
                                                         size_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* exc = value;
#endif
    PyObject* kwargs = nullptr;
    Ref tuple = Ref::steal(pack_call(args, nargs, kwnames, &kwargs));
    Ref kw = Ref::steal(kwargs);
    Ref e = Ref::steal(exc);
    if (!tuple) return nullptr;
    Ref cb = Ref::borrow(d->on_error);
    return PyObject_CallFunctionObjArgs(cb.get(), reinterpret_cast<PyObject*>(d), e.get(),
                                        tuple.get(), kw ? kw.get() : Py_None, nullptr);
}

PyObject* disp_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    DispatcherObject* d = as_disp(self);
    const size_t nargs = PyVectorcall_NARGS(nargsf);
    // The count is an atomic increment (relaxed: only its total matters), so a count read by the
    // ledger from another thread is never torn.
    const uint64_t n = d->calls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n >= d->next_check || d->spent_ns >= d->time_trigger_ns) [[unlikely]] {
        fire_hot(d, args, nargs, kwnames);
    }
    // Read after the callback, which may have installed another implementation; held for the call,
    // as another thread may replace it meanwhile.
    Ref impl = Ref::borrow(d->impl);
    const bool timed = d->timing_all || (n & d->sample_mask) == 0;
    if (!timed) [[likely]] {
        PyObject* r = PyObject_Vectorcall(impl.get(), args, nargsf, kwnames);
        if (r == nullptr && d->on_error != nullptr && impl.get() != d->func &&
            PyErr_ExceptionMatches(PyExc_TypeError)) {
            return handle_type_error(d, args, nargs, kwnames);
        }
        return r;
    }
    const int64_t t0 = now_ns();
    PyObject* r = PyObject_Vectorcall(impl.get(), args, nargsf, kwnames);
    const double dt = static_cast<double>(now_ns() - t0);
    const uint64_t weight = n > d->last_timed_at ? n - d->last_timed_at : 1;
    d->last_timed_at = n;
    d->spent_ns += dt * static_cast<double>(weight);
    d->timed_calls += 1;
    d->timing_all = dt >= d->long_call_ns;
    if (r == nullptr && d->on_error != nullptr && impl.get() != d->func &&
        PyErr_ExceptionMatches(PyExc_TypeError)) {
        return handle_type_error(d, args, nargs, kwnames);
    }
    return r;
}

constexpr auto kDispInit = vk::sig("Dispatcher", "func", vk::arg("func_id") = nullptr);

int disp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* func = nullptr;
    PyObject* func_id = Py_None;
    if (!vk::parse_tuple(kDispInit, args, kwargs, vk::object(func), vk::str_or_none(func_id))) {
        return -1;
    }
    if (!PyCallable_Check(func)) {
        PyErr_Format(PyExc_TypeError, "Dispatcher() argument 'func' must be callable, not %.100s",
                     Py_TYPE(func)->tp_name);
        return -1;
    }
    DispatcherObject* d = as_disp(self);
    Py_XSETREF(d->func, Py_NewRef(func));
    Py_XSETREF(d->impl, Py_NewRef(func));
    Py_XSETREF(d->func_id, Py_NewRef(func_id));
    Py_CLEAR(d->on_hot);
    Py_CLEAR(d->on_error);
    d->calls.store(0, std::memory_order_relaxed);
    d->next_check = kNever;
    d->time_trigger_ns = HUGE_VAL;
    d->spent_ns = 0.0;
    d->timed_calls = 0;
    d->last_timed_at = 0;
    d->sample_mask = 63;
    d->long_call_ns = 1e6;
    d->timing_all = true;  // the first call is timed: one long call may already make it hot
    d->compile_count = 0;
    d->avg_speedup = 1.0;
    d->last_compiled = 0.0;
    d->vectorcall = disp_vectorcall;
    return 0;
}

bool ready(DispatcherObject* d) {
    if (d->func != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "Dispatcher.__init__() has not been called");
    return false;
}

// Calls made before __init__ (a subclass that skips it) fail cleanly instead of reading nulls.
PyObject* disp_unready_vectorcall(PyObject* self, PyObject* const*, size_t, PyObject*) {
    ready(as_disp(self));
    return nullptr;
}

PyObject* disp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_disp(self)->vectorcall = disp_unready_vectorcall;
        new (&as_disp(self)->calls) std::atomic<uint64_t>(0);
    }
    return self;
}

PyObject* disp_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    // Bound as a function is: a method of an instance, itself on the class.
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

constexpr auto kArm = vk::sig("arm", vk::arg("next_check") = -1, vk::arg("time_trigger_ns") = -1.0);

PyObject* disp_arm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    int64_t next = -1;
    double trigger = -1.0;
    if (!vk::parse(kArm, args, nargs, kwnames, vk::i64(next), vk::f64(trigger))) return nullptr;
    DispatcherObject* d = as_disp(self);
    if (!ready(d)) return nullptr;
    // Negative means never, for either trigger.
    d->next_check = next < 0 ? kNever : static_cast<uint64_t>(next);
    d->time_trigger_ns = (trigger < 0 || std::isnan(trigger)) ? HUGE_VAL : trigger;
    Py_RETURN_NONE;
}

constexpr auto kSampling = vk::sig("set_sampling", "every", vk::arg("long_call_ns") = 1e6);

PyObject* disp_set_sampling(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    uint32_t every = 0;
    double long_ns = 1e6;
    if (!vk::parse(kSampling, args, nargs, kwnames, vk::u32(every), vk::f64(long_ns))) return nullptr;
    if (every == 0 || (every & (every - 1)) != 0) {
        PyErr_Format(PyExc_ValueError, "set_sampling() argument 'every' must be a power of two, not %u",
                     every);
        return nullptr;
    }
    if (!(long_ns >= 0)) {
        PyErr_SetString(PyExc_ValueError, "set_sampling() argument 'long_call_ns' must be >= 0");
        return nullptr;
    }
    DispatcherObject* d = as_disp(self);
    if (!ready(d)) return nullptr;
    d->sample_mask = every - 1;
    d->long_call_ns = long_ns;
    Py_RETURN_NONE;
}

constexpr auto kRecordCompilation =
    vk::sig("record_compilation", "speedup", vk::arg("timestamp") = nullptr);

bool record_compilation(DispatcherObject* d, ModuleState* st, double speedup, PyObject* timestamp) {
    double when;
    if (timestamp == nullptr || timestamp == Py_None) {
        Ref t = Ref::steal(PyObject_CallNoArgs(st->time_func));
        if (!t) return false;
        when = PyFloat_AsDouble(t.get());
    } else {
        when = PyFloat_AsDouble(timestamp);
    }
    if (when == -1.0 && PyErr_Occurred()) return false;
    const uint32_t count = d->compile_count + 1;
    // Running mean of the measured speedups.
    d->avg_speedup = count == 1 ? speedup : d->avg_speedup + (speedup - d->avg_speedup) / count;
    d->compile_count = count;
    d->last_compiled = when;
    return true;
}

PyObject* disp_record_compilation(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                  size_t nargsf, PyObject* kwnames) {
    double speedup = 0.0;
    PyObject* timestamp = Py_None;
    if (!vk::parse(kRecordCompilation, args, PyVectorcall_NARGS(nargsf), kwnames, vk::f64(speedup),
                   vk::object(timestamp))) {
        return nullptr;
    }
    DispatcherObject* d = as_disp(self);
    if (!ready(d) || !record_compilation(d, vk::state_of_type<ModuleState>(cls), speedup, timestamp)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* metrics_of(ModuleState* st, DispatcherObject* d) {
    const uint64_t calls = d->calls.load(std::memory_order_relaxed);
    Ref c = Ref::steal(PyLong_FromUnsignedLongLong(calls));
    Ref cc = Ref::steal(PyLong_FromUnsignedLong(d->compile_count));
    Ref sp = Ref::steal(PyFloat_FromDouble(d->avg_speedup));
    Ref ms = Ref::steal(PyFloat_FromDouble(d->spent_ns / 1e6));
    Ref lc = Ref::steal(PyFloat_FromDouble(d->last_compiled));
    if (!c || !cc || !sp || !ms || !lc) return nullptr;
    return PyObject_CallFunctionObjArgs(st->FunctionMetrics, c.get(), cc.get(), sp.get(), ms.get(),
                                        lc.get(), nullptr);
}

PyObject* disp_metrics(PyObject* self, PyTypeObject* cls, PyObject* const*, size_t nargsf,
                       PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "metrics() takes no arguments");
        return nullptr;
    }
    DispatcherObject* d = as_disp(self);
    if (!ready(d)) return nullptr;
    return metrics_of(vk::state_of_type<ModuleState>(cls), d);
}

// Pickled and copied as functions are: by reference to the qualified name, so a decorated
// module-level function travels to worker processes as its undecorated self would.
PyObject* disp_reduce(PyObject* self, PyObject*) {
    DispatcherObject* d = as_disp(self);
    PyObject* qualname = d->dict ? PyDict_GetItemString(d->dict, "__qualname__") : nullptr;
    if (qualname == nullptr || !PyUnicode_Check(qualname)) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a Dispatcher without __qualname__");
        return nullptr;
    }
    return Py_NewRef(qualname);
}

PyObject* disp_reduce_ex(PyObject* self, PyObject*) { return disp_reduce(self, nullptr); }

// Never restored from state: a pickle names the function, and loading it imports that.
PyObject* disp_setstate(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot restore %.100s objects from state", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef disp_methods[] = {
    vk::def_method(kArm, disp_arm,
                   "Arms the driver's callback: it fires at the call reaching `next_check` calls, or "
                   "once the estimated time spent reaches `time_trigger_ns`; negative disarms."),
    vk::def_method(kSampling, disp_set_sampling,
                   "Times one call in `every` (a power of two), and every call while the last timed "
                   "one took at least `long_call_ns`."),
    vk::def_method(kRecordCompilation, disp_record_compilation,
                   "Counts a compilation with its measured speedup (running mean); `timestamp` "
                   "defaults to time.time()."),
    vk::def_method(vk::sig("metrics"), disp_metrics,
                   "A FunctionMetrics snapshot of this function's counters."),
    {"__reduce__", disp_reduce, METH_NOARGS, "Pickled by qualified name, as a function is."},
    {"__reduce_ex__", disp_reduce_ex, METH_O, "Pickled by qualified name, as a function is."},
    {"__setstate__", disp_setstate, METH_O, "Refused: dispatchers are pickled by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_calls(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_disp(self)->calls.load(std::memory_order_relaxed));
}
PyObject* get_spent(PyObject* self, void*) { return PyFloat_FromDouble(as_disp(self)->spent_ns); }
PyObject* get_timed(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_disp(self)->timed_calls);
}
PyObject* get_next_check(PyObject* self, void*) {
    const uint64_t n = as_disp(self)->next_check;
    return n == kNever ? PyLong_FromLong(-1) : PyLong_FromUnsignedLongLong(n);
}
PyObject* get_obj(PyObject* o) { return o ? Py_NewRef(o) : Py_NewRef(Py_None); }
PyObject* get_func(PyObject* self, void*) { return get_obj(as_disp(self)->func); }
PyObject* get_impl(PyObject* self, void*) { return get_obj(as_disp(self)->impl); }
PyObject* get_func_id(PyObject* self, void*) { return get_obj(as_disp(self)->func_id); }
PyObject* get_on_hot(PyObject* self, void*) { return get_obj(as_disp(self)->on_hot); }
PyObject* get_on_error(PyObject* self, void*) { return get_obj(as_disp(self)->on_error); }

int set_impl(PyObject* self, PyObject* value, void*) {
    DispatcherObject* d = as_disp(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete Dispatcher.impl");
        return -1;
    }
    if (!ready(d)) return -1;
    if (!PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Dispatcher.impl must be callable, not %.100s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    Py_SETREF(d->impl, Py_NewRef(value));  // the old impl is dropped last
    return 0;
}

int set_callback(PyObject** slot, PyObject* value, const char* name) {
    if (value != nullptr && value != Py_None && !PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Dispatcher.%s must be callable or None, not %.100s", name,
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    PyObject* old = *slot;
    *slot = (value == nullptr || value == Py_None) ? nullptr : Py_NewRef(value);
    Py_XDECREF(old);
    return 0;
}
int set_on_hot(PyObject* self, PyObject* v, void*) {
    return set_callback(&as_disp(self)->on_hot, v, "on_hot");
}
int set_on_error(PyObject* self, PyObject* v, void*) {
    return set_callback(&as_disp(self)->on_error, v, "on_error");
}

PyGetSetDef disp_getset[] = {
    {"calls", get_calls, nullptr, "Calls so far.", nullptr},
    {"spent_ns", get_spent, nullptr, "Estimated time spent in calls, in ns (sampled).", nullptr},
    {"timed_calls", get_timed, nullptr, "Calls that were timed.", nullptr},
    {"next_check", get_next_check, nullptr, "Count at which the callback fires; -1: never.",
     nullptr},
    {"func", get_func, nullptr, "The interpreted function.", nullptr},
    {"impl", get_impl, set_impl, "The implementation calls go to now.", nullptr},
    {"func_id", get_func_id, nullptr, "The identifier the ledger knows it by.", nullptr},
    {"on_hot", get_on_hot, set_on_hot,
     "on_hot(dispatcher, args, kwargs), called when an armed point is crossed.", nullptr},
    {"on_error", get_on_error, set_on_error,
     "on_error(dispatcher, exc, args, kwargs): the result when a replaced impl raised TypeError.",
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef disp_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(DispatcherObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(DispatcherObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(DispatcherObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

int disp_traverse(PyObject* self, visitproc visit, void* arg) {
    return vk::traverse_object<DispatcherObject>(self, visit, arg);
}
int disp_clear(PyObject* self) { return vk::clear_object<DispatcherObject>(self); }

void disp_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_disp(self)->weaklist != nullptr) PyObject_ClearWeakRefs(self);
    disp_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

const char* disp_doc = vk::class_doc(
    kDispInit,
    "Calls `func` (or the implementation installed later), counting every call atomically and "
    "timing a sample of them.");

PyType_Slot disp_slots[] = {
    {Py_tp_doc, nullptr},  // set at exec from disp_doc
    {Py_tp_new, reinterpret_cast<void*>(disp_new)},
    {Py_tp_init, reinterpret_cast<void*>(disp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(disp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(disp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(disp_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(disp_descr_get)},
    {Py_tp_methods, disp_methods},
    {Py_tp_getset, disp_getset},
    {Py_tp_members, disp_members},
    {0, nullptr},
};

// ---- Ledger --------------------------------------------------------------------------------------

struct LedgerObject {
    PyObject_HEAD
    PyObject* table;  // dict: func_id (str or None) -> Dispatcher

    auto owned() { return std::tie(table); }
};

LedgerObject* as_ledger(PyObject* o) { return reinterpret_cast<LedgerObject*>(o); }

int ledger_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!vk::parse_tuple(vk::sig("Ledger"), args, kwargs)) return -1;
    Py_XSETREF(as_ledger(self)->table, PyDict_New());
    return as_ledger(self)->table ? 0 : -1;
}

bool ledger_ready(LedgerObject* l) {
    if (l->table != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "Ledger.__init__() has not been called");
    return false;
}

constexpr auto kRegister = vk::sig("register", "dispatcher");

PyObject* ledger_register(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    PyObject* disp = nullptr;
    if (!vk::parse(kRegister, args, PyVectorcall_NARGS(nargsf), kwnames, vk::object(disp))) {
        return nullptr;
    }
    ModuleState* st = vk::state_of_type<ModuleState>(cls);
    LedgerObject* l = as_ledger(self);
    if (!ledger_ready(l)) return nullptr;
    if (!PyObject_TypeCheck(disp, st->Dispatcher)) {
        PyErr_Format(PyExc_TypeError, "register() argument 'dispatcher' must be a Dispatcher, not %.100s",
                     Py_TYPE(disp)->tp_name);
        return nullptr;
    }
    if (!ready(as_disp(disp))) return nullptr;
    // A function of the same identifier defined again (a nested function) replaces the old one.
    if (PyDict_SetItem(l->table, as_disp(disp)->func_id, disp) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The dispatcher registered under func_id (borrowed), nullptr without an error when there is none.
// Keys are exact str or None, so the lookup runs no Python code.
DispatcherObject* lookup(LedgerObject* l, PyObject* func_id) {
    PyObject* d = PyDict_GetItemWithError(l->table, func_id);
    return d ? as_disp(d) : nullptr;
}

constexpr auto kGetMetrics = vk::sig("get_metrics", "func_id");

PyObject* ledger_get_metrics(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                             size_t nargsf, PyObject* kwnames) {
    PyObject* func_id = nullptr;
    if (!vk::parse(kGetMetrics, args, PyVectorcall_NARGS(nargsf), kwnames,
                   vk::str_or_none(func_id))) {
        return nullptr;
    }
    ModuleState* st = vk::state_of_type<ModuleState>(cls);
    LedgerObject* l = as_ledger(self);
    if (!ledger_ready(l)) return nullptr;
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(lookup(l, func_id)));
    if (PyErr_Occurred()) return nullptr;
    if (!held) return PyObject_CallNoArgs(st->FunctionMetrics);
    return metrics_of(st, as_disp(held.get()));
}

DispatcherObject* require(LedgerObject* l, PyObject* func_id, const char* what) {
    DispatcherObject* d = lookup(l, func_id);
    if (d == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_KeyError, "%s(): no dispatcher registered under %R", what, func_id);
    }
    return d;
}

constexpr auto kLedgerRecordCompilation = vk::sig("record_compilation", "func_id", "speedup",
                                                  vk::arg("timestamp") = nullptr);

PyObject* ledger_record_compilation(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                    size_t nargsf, PyObject* kwnames) {
    PyObject* func_id = nullptr;
    double speedup = 0.0;
    PyObject* timestamp = Py_None;
    if (!vk::parse(kLedgerRecordCompilation, args, PyVectorcall_NARGS(nargsf), kwnames,
                   vk::str_or_none(func_id), vk::f64(speedup), vk::object(timestamp))) {
        return nullptr;
    }
    LedgerObject* l = as_ledger(self);
    if (!ledger_ready(l)) return nullptr;
    Ref d = Ref::borrow(reinterpret_cast<PyObject*>(require(l, func_id, "record_compilation")));
    if (!d) return nullptr;
    if (!record_compilation(as_disp(d.get()), vk::state_of_type<ModuleState>(cls), speedup,
                            timestamp)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr auto kRecordCall = vk::sig("record_call", "func_id", vk::arg("execution_time_ms") = 0.0,
                                     vk::arg("calls") = 1);

PyObject* ledger_record_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* func_id = nullptr;
    double ms = 0.0;
    uint64_t calls = 1;
    if (!vk::parse(kRecordCall, args, nargs, kwnames, vk::str_or_none(func_id), vk::f64(ms),
                   vk::u64(calls))) {
        return nullptr;
    }
    LedgerObject* l = as_ledger(self);
    if (!ledger_ready(l)) return nullptr;
    DispatcherObject* d = require(l, func_id, "record_call");
    if (d == nullptr) return nullptr;
    d->calls.fetch_add(calls, std::memory_order_relaxed);
    d->spent_ns += ms * 1e6;
    Py_RETURN_NONE;
}

PyObject* ledger_dispatchers(PyObject* self, PyObject*) {
    LedgerObject* l = as_ledger(self);
    if (!ledger_ready(l)) return nullptr;
    return PyDict_Values(l->table);
}

PyMethodDef ledger_methods[] = {
    vk::def_method(kRegister, ledger_register,
                   "Makes the dispatcher's counters this ledger's record for its func_id."),
    vk::def_method(kGetMetrics, ledger_get_metrics,
                   "A FunctionMetrics snapshot read from the dispatcher's counters (zeros for an "
                   "unregistered function)."),
    vk::def_method(kLedgerRecordCompilation, ledger_record_compilation,
                   "Counts a compilation of the function with its measured speedup."),
    vk::def_method(kRecordCall, ledger_record_call,
                   "Adds calls and their time to the function's counters (the dispatcher counts its "
                   "own calls; this is for calls made elsewhere)."),
    vk::def_method("dispatchers", ledger_dispatchers, "The registered dispatchers, as a list."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

const vk::TypeDef ledger_type{
    .name = "velkora.jit.dispatch.Ledger", .size = sizeof(LedgerObject),
    .doc = "Ledger()\n--\n\nCall ledger over dispatchers' native counters, read by a CompileGate.",
    .init = ledger_init, .traverse = vk::traverse_object<LedgerObject>,
    .clear = vk::clear_object<LedgerObject>, .methods = ledger_methods};

// ---- module --------------------------------------------------------------------------------------

int module_exec(PyObject* m) {
    ModuleState* st = vk::state_of<ModuleState>(m);
    disp_slots[0].pfunc = const_cast<char*>(disp_doc);
    PyType_Spec spec{"velkora.jit.dispatch.Dispatcher", static_cast<int>(sizeof(DispatcherObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                         Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
                     disp_slots};
    PyObject* t = PyType_FromModuleAndSpec(m, &spec, nullptr);
    if (t == nullptr) return -1;
    st->Dispatcher = reinterpret_cast<PyTypeObject*>(t);
    if (PyModule_AddType(m, st->Dispatcher) < 0) return -1;
    if (!vk::add_type(m, ledger_type, &st->Ledger)) return -1;

    Ref gate = Ref::steal(PyImport_ImportModule("velkora.jit.compile_gate"));
    st->FunctionMetrics = gate ? PyObject_GetAttrString(gate.get(), "FunctionMetrics") : nullptr;
    Ref time_mod = Ref::steal(PyImport_ImportModule("time"));
    st->time_func = time_mod ? PyObject_GetAttrString(time_mod.get(), "time") : nullptr;
    if (st->FunctionMetrics == nullptr || st->time_func == nullptr) return -1;
    return vk::bind_logger(m) ? 0 : -1;
}

}  // namespace
}  // namespace dispatch

VK_MODULE(dispatch, "velkora.jit.dispatch",
          "The compile driver's per-call path: counting dispatchers and the ledger over them.")
