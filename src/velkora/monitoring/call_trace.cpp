// velkora.monitoring.call_trace: exact calls, total and own time of every function a program runs,
// counted in native code: sys.monitoring callbacks that are builtin functions (3.12+), a C profile
// function where the interpreter has no sys.monitoring (3.11).
#include "vkbind/vkbind.hpp"

#include <frameobject.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "call_trace_core.hpp"

namespace call_trace {
using namespace core;  // the module's own pure C++, named unqualified here
extern PyModuleDef module_def;  // defined at the end, by VK_MODULE
namespace {

#define CALL_TRACE_NAMES(X)                                                                   \
    X(monitoring, "monitoring") X(use_tool_id, "use_tool_id") X(free_tool_id, "free_tool_id")  \
    X(set_events, "set_events") X(register_callback, "register_callback")                     \
    X(restart_events, "restart_events") X(setprofile, "setprofile") X(velkora, "velkora")      \
    X(DISABLE, "DISABLE") X(objclass, "__objclass__") X(name, "__name__")

VK_NAMES(CALL_TRACE_NAMES);

// The stack of each thread, found by the thread state's identifier (unique for the interpreter's
// life, unlike its address) with the last one looked up cached: events come in runs per thread,
// and a thread-local variable of a loaded library costs a call into the dynamic loader per event.
struct Stacks {
    uint64_t last_id = 0;
    Stack* last = nullptr;
    std::unordered_map<uint64_t, Stack*> by_thread;
};

// The thread that samples every thread's stack for the time figures when calls alone are traced
// (an exit callback per call would double what tracing costs). It takes the interpreter lock for
// each sample, so it sees stacks only where a thread lets the lock go: at the interpreter's own
// switch points or in native code that releases it, which is where time is spent anyway.
struct Sampler {
    std::unique_ptr<std::thread> thread;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::chrono::nanoseconds interval{1000000};
    pid_t owner = 0;           // the process the thread runs in (a forked child has no sampler)
    int64_t last = 0;          // ticks at the previous sample
    uint64_t stamp = 0;        // one per sampled stack
    uint64_t samples = 0;
    PyInterpreterState* interp = nullptr;
    std::vector<uint32_t> scratch;
};

// What one measurement keeps. Only one runs per process: profile functions and monitoring tools are
// per thread or per interpreter, and one set of records serves them all under the interpreter lock.
struct Session {
    Table table;
    std::vector<std::unique_ptr<Stack>> stacks;  // one per thread seen
    Clock clock;
    double ns_per_tick = 1.0;
    bool running = false;
    int tool = -1;  // the sys.monitoring tool held while running
    Stacks threads;
    bool sampled = false;  // times from stack samples; calls still counted at every entry
    // The record last counted and the thread that counted it (a recursion, or a loop calling one
    // function, counts one code on end); reset whenever records move or a thread's standing changes.
    const void* last_key = nullptr;
    uint64_t last_thread = 0;
    uint64_t* last_calls = nullptr;
    Sampler sampler;
};

uint64_t this_thread();
Stack& this_stack(Session& s, uint64_t id);
inline Stack& this_stack(Session& s) { return this_stack(s, this_thread()); }
bool ignored(Session& s) { return this_stack(s).ignored; }

struct ModuleState;
ModuleState* g_active = nullptr;  // the running measurement's state, whichever module started it

// The session, freed with the module; a module cleared while measuring stops counting first.
struct SessionBox {
    Session* p = nullptr;
    Session* operator->() const noexcept { return p; }
    Session& operator*() const noexcept { return *p; }
    int traverse(visitproc, void*) const noexcept { return 0; }
    void clear() noexcept;
};

struct ModuleState {
    Names names;
    PyObject* labels = nullptr;     // list: per record, its code object or (owner, name)
    PyObject* callbacks = nullptr;  // tuple of (event bit, builtin function) for sys.monitoring
    PyObject* disable = nullptr;    // sys.monitoring.DISABLE
    PyObject* keep = nullptr;       // list: callables keyed by their own address
    PyObject* thread_hook = nullptr;
    PyObject* counted = nullptr;    // callable(code) -> whether its calls are counted, or nullptr: all
    SessionBox session;

    auto owned() { return std::tie(names, labels, keep, callbacks, disable, thread_hook, counted, session); }
};

// Whether `st` measures now (a cleared module has no session left).
bool active(const ModuleState* st) { return st->session.p != nullptr && st->session->running; }

#if PY_VERSION_HEX >= 0x030C0000
void sampler_stop(Session& s);
#endif

void SessionBox::clear() noexcept {
    if (p == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    p->running = false;
    sampler_stop(*p);  // a thread left running would sample freed records
#endif
    if (g_active != nullptr && g_active->session.p == p) g_active = nullptr;
    delete p;
    p = nullptr;
}

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

uint64_t this_thread() { return PyThreadState_GetID(PyThreadState_Get()); }

Stack& this_stack(Session& s, uint64_t id) {
    Stacks& t = s.threads;
    if (id == t.last_id && t.last != nullptr) return *t.last;
    auto it = t.by_thread.find(id);
    Stack* stack;
    if (it != t.by_thread.end()) {
        stack = it->second;
    } else {
        s.stacks.push_back(std::make_unique<Stack>());
        stack = s.stacks.back().get();
        stack->frames.reserve(64);
        t.by_thread.emplace(id, stack);
    }
    t.last_id = id;
    t.last = stack;
    return *stack;
}

// ---- keys and labels ----------------------------------------------------------------------------

// A builtin called through different bound objects is one function: keyed by its method
// definition. Other callables (method descriptors, types) are long-lived and keyed by themselves.
const void* c_key(PyObject* callable) {
    if (PyCFunction_Check(callable)) {
        return reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
    }
    return callable;
}

// (owner, name) for a native callable: the owner is its module name, module, or the type it
// belongs to, whatever the object has. New reference, or nullptr with an exception set.
PyObject* c_label(const ModuleState* st, PyObject* callable) {
    if (PyCFunction_Check(callable)) {
        auto* f = reinterpret_cast<PyCFunctionObject*>(callable);
        PyObject* owner = f->m_module;
        if (owner == nullptr || owner == Py_None) {
            PyObject* self = f->m_self;
            owner = self == nullptr          ? Py_None
                    : PyModule_Check(self)   ? self
                    : PyType_Check(self)     ? self
                                             : reinterpret_cast<PyObject*>(Py_TYPE(self));
        }
        return Py_BuildValue("(Os)", owner, f->m_ml->ml_name);
    }
    vk::Ref owner = vk::Ref::steal(PyObject_GetAttr(callable, st->names[s_objclass]));
    if (!owner) {
        PyErr_Clear();
        owner = vk::Ref::borrow(PyType_Check(callable) ? callable
                                                       : reinterpret_cast<PyObject*>(Py_TYPE(callable)));
    }
    vk::Ref name = vk::Ref::steal(PyObject_GetAttr(callable, st->names[s_name]));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = vk::Ref::steal(PyUnicode_FromString("?"));
        if (!name) return nullptr;
    }
    return PyTuple_Pack(2, owner.get(), name.get());
}

// The record of `key`, created with `label` (a new reference, or nullptr to create the label from
// `callable`) on first sight. Table::kNone when the label could not be made; the error is dropped,
// since an event callback must not fail the program it measures.
uint32_t record_of(ModuleState* st, const void* key, PyObject* code, PyObject* callable) {
    Session& s = *st->session;
    uint32_t i = s.table.find(key);
    if (i != Table::kNone) return i;
    vk::Ref label = code != nullptr ? vk::Ref::borrow(code) : vk::Ref::steal(c_label(st, callable));
    if (!label || PyList_Append(st->labels, label.get()) < 0) {
        PyErr_Clear();
        return Table::kNone;
    }
    // A key object is kept alive while its record exists, so that its address is not reused by
    // another object: a code object by its label, a callable keyed by itself here. (A builtin's
    // method definition lives as long as the module that defines it, which its label keeps.)
    if (code == nullptr && !PyCFunction_Check(callable) && PyList_Append(st->keep, callable) < 0) {
        PyErr_Clear();
        PyList_SetSlice(st->labels, PyList_GET_SIZE(st->labels) - 1, PyList_GET_SIZE(st->labels),
                        nullptr);
        PyErr_Clear();
        return Table::kNone;
    }
    s.last_key = nullptr;  // the records may move
    return s.table.add(key);
}

#if PY_VERSION_HEX >= 0x030C0000
// ---- sampling ------------------------------------------------------------------------------------

// Charges the ticks since the previous sample to the stack of every measured thread but the
// sampler's own. Runs holding the interpreter lock.
void take_sample(ModuleState* st) {
    Session& s = *st->session;
    Sampler& sm = s.sampler;
    const int64_t now = ticks();
    const int64_t dt = now - sm.last;
    sm.last = now;
    sm.samples += 1;
    PyThreadState* me = PyThreadState_Get();
    for (PyThreadState* ts = PyInterpreterState_ThreadHead(sm.interp); ts != nullptr;
         ts = PyThreadState_Next(ts)) {
        if (ts == me) continue;
        const uint64_t id = PyThreadState_GetID(ts);
        auto it = s.threads.by_thread.find(id);
        if (it != s.threads.by_thread.end() && it->second->ignored) continue;
        sm.scratch.clear();
        PyFrameObject* f = PyThreadState_GetFrame(ts);
        if (f != nullptr && it == s.threads.by_thread.end()) {  // counted among the threads seen
            s.stacks.push_back(std::make_unique<Stack>());
            s.threads.by_thread.emplace(id, s.stacks.back().get());
        }
        while (f != nullptr) {
            PyCodeObject* code = PyFrame_GetCode(f);
            PyObject* c = reinterpret_cast<PyObject*>(code);
            sm.scratch.push_back(record_of(st, c, c, nullptr));  // a new record keeps the code
            Py_DECREF(code);
            PyFrameObject* back = PyFrame_GetBack(f);
            Py_DECREF(f);
            f = back;
        }
        PyErr_Clear();  // a frame object that could not be made ends that stack early
        if (sm.scratch.empty()) continue;
        sm.stamp += 1;
        charge(s.table, sm.scratch.data(), sm.scratch.size(), sm.stamp, dt);
    }
}

// The sampler thread: holds a thread state of its own for its whole life and the interpreter lock
// only while it samples.
void sampler_main(ModuleState* st, Session* s) {
    Sampler& sm = s->sampler;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* self = PyEval_SaveThread();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(sm.mu);
            if (sm.cv.wait_for(lock, sm.interval, [&] { return sm.stop; })) break;
        }
        PyEval_RestoreThread(self);
        bool go;
        {
            std::lock_guard<std::mutex> lock(sm.mu);
            go = !sm.stop;
        }
        if (go && s->running) take_sample(st);
        self = PyEval_SaveThread();
        if (!go) break;
    }
    PyEval_RestoreThread(self);
    PyGILState_Release(gil);
}

bool sampler_start(ModuleState* st, double interval) {
    Session& s = *st->session;
    Sampler& sm = s.sampler;
    sm.stop = false;
    sm.interval = std::chrono::nanoseconds(static_cast<int64_t>(interval * 1e9));
    sm.owner = getpid();
    sm.last = ticks();
    sm.stamp = 0;
    sm.samples = 0;
    sm.interp = PyInterpreterState_Get();
    try {
        sm.thread = std::make_unique<std::thread>(sampler_main, st, &s);
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "cannot start the sampling thread: %s", e.what());
        return false;
    }
    return true;
}

// Ends the sampler thread; the caller holds the interpreter lock, which is let go while waiting for
// the thread (it may be waiting for the lock itself). A forked child has no sampler to wait for.
void sampler_stop(Session& s) {
    Sampler& sm = s.sampler;
    if (!sm.thread) return;
    if (sm.owner != getpid()) {
        (void)sm.thread.release();  // the thread object names the parent's thread: never touch it
        return;
    }
    {
        std::lock_guard<std::mutex> lock(sm.mu);
        sm.stop = true;
    }
    sm.cv.notify_all();
    Py_BEGIN_ALLOW_THREADS
    sm.thread->join();
    Py_END_ALLOW_THREADS
    sm.thread.reset();
}
#endif

// ---- the profile function (interpreters without sys.monitoring) ---------------------------------

constexpr int kGeneratorFlags = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;

int profile_fn(PyObject* module, PyFrameObject* frame, int what, PyObject* arg) {
    ModuleState* st = state(module);
    if (st == nullptr || !active(st) || ignored(*st->session)) return 0;
    Session& s = *st->session;
    Stack& stack = this_stack(s);
    switch (what) {
        case PyTrace_CALL: {
            PyCodeObject* code = PyFrame_GetCode(frame);  // new reference; the frame holds another
            Py_DECREF(code);
            PyObject* c = reinterpret_cast<PyObject*>(code);
            const uint32_t i = record_of(st, c, c, nullptr);
            if (i == Table::kNone) return 0;
            // A generator's frame is entered again at every resumption: only the entry at its
            // first instruction (the lowest offset seen) is a call.
            bool counted = true;
            if (code->co_flags & kGeneratorFlags) {
                const int lasti = PyFrame_GetLasti(frame);
                Record& r = s.table.records[i];
                counted = r.calls == 0 || lasti <= r.ref_offset;
                if (r.calls == 0 || lasti < r.ref_offset) r.ref_offset = lasti;
            }
            enter(s.table, stack, c, i, counted, ticks());
            return 0;
        }
        case PyTrace_RETURN: {
            PyCodeObject* code = PyFrame_GetCode(frame);
            Py_DECREF(code);
            leave(s.table, stack, code, ticks());
            return 0;
        }
        case PyTrace_C_CALL: {
            const void* key = c_key(arg);
            const uint32_t i = record_of(st, key, nullptr, arg);
            if (i != Table::kNone) enter(s.table, stack, key, i, true, ticks());
            return 0;
        }
        case PyTrace_C_RETURN:
        case PyTrace_C_EXCEPTION:
            leave(s.table, stack, c_key(arg), ticks());
            return 0;
        default:
            return 0;
    }
}

// threading.setprofile's hook: the first event of a new thread puts the native profile function in
// its place, then is counted as that function would have counted it.
PyObject* thread_hook(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyFrame_Check(args[0])) Py_RETURN_NONE;
    ModuleState* st = state(module);
    if (!active(st)) {
        PyEval_SetProfile(nullptr, nullptr);
        Py_RETURN_NONE;
    }
    PyEval_SetProfile(profile_fn, module);
    if (PyUnicode_Check(args[1]) && PyUnicode_CompareWithASCIIString(args[1], "call") == 0) {
        profile_fn(module, reinterpret_cast<PyFrameObject*>(args[0]), PyTrace_CALL, Py_None);
    }
    Py_RETURN_NONE;
}

PyMethodDef thread_hook_def = {"thread_hook", vk::method(thread_hook),
                               METH_FASTCALL, "threading.setprofile hook of call_trace."};

// ---- sys.monitoring callbacks -------------------------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000
template <bool Counted>
PyObject* on_py_enter(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    // The module the callback is bound to: its own interpreter's state (only one measures).
    ModuleState* st = state(module);
    if (nargs >= 1 && active(st) && !ignored(*st->session)) {
        Session& s = *st->session;
        const uint32_t i = record_of(st, args[0], args[0], nullptr);
        if (i != Table::kNone) enter(s.table, this_stack(s), args[0], i, Counted, ticks());
    }
    Py_RETURN_NONE;
}

// PY_START when times are sampled: the call is counted, nothing else.
// This is the whole per-call cost of such a measurement, so the record of the last call is kept at
// hand (the thread's stack is looked up for the thread count and the threads left out).
PyObject* on_py_count(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    ModuleState* st = state(module);
    if (nargs < 1 || !active(st)) Py_RETURN_NONE;
    Session& s = *st->session;
    const uint64_t thread = this_thread();
    if (args[0] == s.last_key && thread == s.last_thread) {
        *s.last_calls += 1;
        Py_RETURN_NONE;
    }
    if (this_stack(s, thread).ignored) {
        // Nothing is counted here, but code first met on such a thread (the compiler that velkora's
        // compile thread imports: thousands of functions) is asked about as on any other: code not
        // counted anywhere stops costing its events, for every thread.
        if (st->counted != nullptr && s.table.find(args[0]) == Table::kNone) {
            vk::Ref yes = vk::Ref::steal(PyObject_CallOneArg(st->counted, args[0]));
            const int truth = yes ? PyObject_IsTrue(yes.get()) : -1;
            if (truth < 0) PyErr_Clear();
            if (truth == 0) return Py_NewRef(st->disable);
        }
        Py_RETURN_NONE;
    }
    const uint32_t i = record_of(st, args[0], args[0], nullptr);
    if (i == Table::kNone) Py_RETURN_NONE;
    if (!s.table.records[i].checked) {
        s.table.records[i].checked = true;
        // Code whose calls are not wanted (libraries) is asked about once, then not seen again: its
        // entries cost nothing from here on. The question's own calls are not monitored, and may add
        // records, so the record is found again by index.
        if (st->counted != nullptr) {
            vk::Ref yes = vk::Ref::steal(PyObject_CallOneArg(st->counted, args[0]));
            const int truth = yes ? PyObject_IsTrue(yes.get()) : -1;
            if (truth < 0) PyErr_Clear();  // a failing question counts the code: nothing is lost
            if (truth == 0) {
                s.table.records[i].uncounted = true;
                return Py_NewRef(st->disable);
            }
        }
    }
    s.table.records[i].calls += 1;
    s.last_key = args[0];
    s.last_thread = thread;
    s.last_calls = &s.table.records[i].calls;
    Py_RETURN_NONE;
}

PyObject* on_py_leave(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    // The module the callback is bound to: its own interpreter's state (only one measures).
    ModuleState* st = state(module);
    if (nargs >= 1 && active(st) && !ignored(*st->session)) {
        Session& s = *st->session;
        leave(s.table, this_stack(s), args[0], ticks());
    }
    Py_RETURN_NONE;
}

bool python_callable(PyObject* c) {
    return PyFunction_Check(c) || (PyMethod_Check(c) && PyFunction_Check(PyMethod_GET_FUNCTION(c)));
}

// CALL(code, offset, callable, arg0): native callables are timed here; a place that calls Python
// functions is left to PY_START from now on, which spares the callback there.
PyObject* on_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    ModuleState* st = state(module);
    if (nargs < 3 || !active(st) || ignored(*st->session)) Py_RETURN_NONE;
    PyObject* callable = args[2];
    if (python_callable(callable)) return Py_NewRef(st->disable);
    if (PyCFunction_Check(callable) || Py_IS_TYPE(callable, &PyMethodDescr_Type)) {
        Session& s = *st->session;
        const void* key = c_key(callable);
        const uint32_t i = record_of(st, key, nullptr, callable);
        if (i != Table::kNone) enter(s.table, this_stack(s), key, i, true, ticks());
    }
    Py_RETURN_NONE;
}

PyObject* on_c_leave(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    // The module the callback is bound to: its own interpreter's state (only one measures).
    ModuleState* st = state(module);
    if (nargs >= 3 && active(st) && !ignored(*st->session)) {
        Session& s = *st->session;
        leave(s.table, this_stack(s), c_key(args[2]), ticks());
    }
    Py_RETURN_NONE;
}

struct CallbackDef {
    const char* event;  // its name in sys.monitoring.events
    PyMethodDef def;
};

CallbackDef callback_defs[] = {
    {"PY_START", {"py_start", vk::method(on_py_enter<true>), METH_FASTCALL, nullptr}},
    {"PY_RESUME", {"py_resume", vk::method(on_py_enter<false>), METH_FASTCALL, nullptr}},
    {"PY_THROW", {"py_throw", vk::method(on_py_enter<false>), METH_FASTCALL, nullptr}},
    {"PY_RETURN", {"py_return", vk::method(on_py_leave), METH_FASTCALL, nullptr}},
    {"PY_YIELD", {"py_yield", vk::method(on_py_leave), METH_FASTCALL, nullptr}},
    {"PY_UNWIND", {"py_unwind", vk::method(on_py_leave), METH_FASTCALL, nullptr}},
    {"CALL", {"call", vk::method(on_call), METH_FASTCALL, nullptr}},
    {"C_RETURN", {"c_return", vk::method(on_c_leave), METH_FASTCALL, nullptr}},
    {"C_RAISE", {"c_raise", vk::method(on_c_leave), METH_FASTCALL, nullptr}},
    // Last: the only callback of a measurement whose times are sampled.
    {"PY_START", {"py_count", vk::method(on_py_count), METH_FASTCALL, nullptr}},
};

// sys.monitoring, or nullptr with an exception set.
PyObject* monitoring_module(const ModuleState* st) {
    vk::Ref sys = vk::Ref::steal(PyImport_ImportModule("sys"));
    return sys ? PyObject_GetAttr(sys.get(), st->names[s_monitoring]) : nullptr;
}

// Claims a free tool identifier (the profiler's first) and registers every callback.
bool monitoring_start(ModuleState* st) {
    vk::Ref mon = vk::Ref::steal(monitoring_module(st));
    if (!mon) return false;
    vk::Ref label = vk::Ref::borrow(st->names[s_velkora]);
    int tool = -1;
    for (int id : {2, 3, 4, 5}) {
        vk::Ref n = vk::Ref::steal(PyLong_FromLong(id));
        if (!n) return false;
        vk::Ref r = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_use_tool_id], n.get(),
                                                   label.get()));
        if (r) {
            tool = id;
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
    }
    if (tool < 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot measure: every sys.monitoring tool identifier is in use "
                        "(another profiler or debugger runs)");
        return false;
    }
    st->session->tool = tool;
    vk::Ref id = vk::Ref::steal(PyLong_FromLong(tool));
    if (!id) return false;
    long mask = 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(st->callbacks);
    const bool sampled = st->session->sampled;
    for (Py_ssize_t k = sampled ? n - 1 : 0; k < (sampled ? n : n - 1); ++k) {
        PyObject* pair = PyTuple_GET_ITEM(st->callbacks, k);
        PyObject* bit = PyTuple_GET_ITEM(pair, 0);
        mask |= PyLong_AsLong(bit);
        vk::Ref r = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_register_callback],
                                                   id.get(), bit, PyTuple_GET_ITEM(pair, 1)));
        if (!r) return false;
    }
    // Places disabled by an earlier measurement are monitored again.
    vk::Ref again = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_restart_events]));
    vk::Ref m = vk::Ref::steal(PyLong_FromLong(mask));
    if (!again || !m) return false;
    vk::Ref r = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_set_events], id.get(), m.get()));
    return static_cast<bool>(r);
}

// Switches the events off and hands the tool back; errors are dropped (nothing left to undo).
void monitoring_stop(ModuleState* st) {
    const int tool = st->session->tool;
    if (tool < 0) return;
    st->session->tool = -1;
    vk::Ref mon = vk::Ref::steal(monitoring_module(st));
    vk::Ref id = vk::Ref::steal(PyLong_FromLong(tool));
    vk::Ref zero = vk::Ref::steal(PyLong_FromLong(0));
    if (mon && id && zero) {
        vk::Ref r = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_set_events], id.get(), zero.get()));
        const Py_ssize_t n = PyTuple_GET_SIZE(st->callbacks);
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* bit = PyTuple_GET_ITEM(PyTuple_GET_ITEM(st->callbacks, k), 0);
            vk::Ref u = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_register_callback],
                                                       id.get(), bit, Py_None));
        }
        vk::Ref f = vk::Ref::steal(vk::call_method(mon.get(), st->names[s_free_tool_id], id.get()));
    }
    PyErr_Clear();
}
#endif

// ---- module functions ---------------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030C0000
PyObject* threading_setprofile(PyObject* module, PyObject* hook) {
    vk::Ref threading = vk::Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return nullptr;
    return vk::call_method(threading.get(), state(module)->names[s_setprofile], hook);
}
#endif

constexpr auto kStart = vk::sig("start", vk::arg("sampled") = false, vk::arg("interval") = 0.001,
                                vk::arg("counted") = nullptr);

PyObject* ct_start(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool sampled = false;
    double interval = 0.001;
    PyObject* counted = nullptr;
    if (!vk::parse(kStart, args, nargs, kwnames, vk::flag(sampled), vk::f64(interval),
                   vk::object(counted))) {
        return nullptr;
    }
    if (counted == Py_None) counted = nullptr;
    if (counted != nullptr && !PyCallable_Check(counted)) {
        PyErr_Format(PyExc_TypeError, "counted must be a callable taking a code object or None; got %.100s",
                     Py_TYPE(counted)->tp_name);
        return nullptr;
    }
    if (!(interval >= 1e-4 && interval <= 1.0)) {
        char msg[96];
        std::snprintf(msg, sizeof msg, "interval must be between 0.0001 and 1 second; got %g", interval);
        PyErr_SetString(PyExc_ValueError, msg);
        return nullptr;
    }
    ModuleState* st = state(module);
    if (g_active != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a measurement is already running in this process");
        return nullptr;
    }
    Session& s = *st->session;
    if (PyList_SetSlice(st->labels, 0, PyList_GET_SIZE(st->labels), nullptr) < 0 ||
        PyList_SetSlice(st->keep, 0, PyList_GET_SIZE(st->keep), nullptr) < 0) {
        return nullptr;
    }
    s.table.clear();
    s.stacks.clear();
    s.threads = Stacks{};
    s.last_key = nullptr;
    s.clock.start();
    s.running = true;
    g_active = st;
#if PY_VERSION_HEX >= 0x030C0000
    // Sampling needs the lock API of the main interpreter; elsewhere (and before sys.monitoring,
    // whose profile function times exits at no extra cost) every call is timed.
    s.sampled = sampled && PyInterpreterState_Get() == PyInterpreterState_Main();
    // Only a measurement that times nothing per call may leave calls unseen.
    Py_XSETREF(st->counted, s.sampled ? Py_XNewRef(counted) : nullptr);
    if (!monitoring_start(st) || (s.sampled && !sampler_start(st, interval))) {
        vk::Ref exc = vk::Ref::steal(vk::take_exception());
        monitoring_stop(st);
        s.running = false;
        g_active = nullptr;
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
#else
    s.sampled = false;
    vk::Ref r = vk::Ref::steal(threading_setprofile(module, st->thread_hook));
    if (!r) {
        s.running = false;
        g_active = nullptr;
        return nullptr;
    }
    PyEval_SetProfile(profile_fn, module);
#endif
    Py_RETURN_NONE;
}

// Stops the measurement (nothing when none runs); frames still open end now.
PyObject* ct_stop(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    if (g_active != st) Py_RETURN_NONE;
    Session& s = *st->session;
    const int64_t now = ticks();
    s.running = false;
#if PY_VERSION_HEX >= 0x030C0000
    // Still the active measurement while the sampler ends (the lock is let go meanwhile): a start
    // from another thread then is refused rather than clearing what is being stopped.
    sampler_stop(s);
    g_active = nullptr;
    monitoring_stop(st);
    Py_CLEAR(st->counted);
#else
    g_active = nullptr;
    PyEval_SetProfile(nullptr, nullptr);
    vk::Ref r = vk::Ref::steal(threading_setprofile(module, Py_None));
    if (!r) PyErr_Clear();
#endif
    for (auto& stack : s.stacks) unwind(s.table, *stack, now);
    s.ns_per_tick = s.clock.ns_per_tick();
    Py_RETURN_NONE;
}

// The calling thread's calls are not counted for the rest of the measurement (a helper thread of
// the measuring machinery, such as a background compiler).
PyObject* ct_ignore_thread(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    if (g_active == st) {
        Stack& stack = this_stack(*st->session);
        stack.frames.clear();
        stack.ignored = true;
        st->session->last_key = nullptr;
#if PY_VERSION_HEX < 0x030C0000
        PyEval_SetProfile(nullptr, nullptr);
#endif
    }
    Py_RETURN_NONE;
}

PyObject* ct_running(PyObject* module, PyObject*) {
    return PyBool_FromLong(g_active == state(module));
}

PyObject* ct_threads(PyObject* module, PyObject*) {
    return PyLong_FromSize_t(state(module)->session->stacks.size());
}

PyObject* ct_timing(PyObject* module, PyObject*) {
    return PyUnicode_FromString(state(module)->session->sampled ? "sampled" : "exact");
}

PyObject* ct_samples(PyObject* module, PyObject*) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyLong_FromUnsignedLongLong(state(module)->session->sampler.samples);
#else
    (void)module;
    return PyLong_FromLong(0);
#endif
}

PyObject* ct_mechanism(PyObject*, PyObject*) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnicode_FromString("sys.monitoring");
#else
    return PyUnicode_FromString("profile function");
#endif
}

// [(label, calls, total, own, mean, std, min, max)], times in seconds.
PyObject* ct_snapshot(PyObject* module, PyObject*) {
    ModuleState* st = state(module);
    if (g_active == st) {
        PyErr_SetString(PyExc_RuntimeError, "stop() the measurement before reading it");
        return nullptr;
    }
    const Session& s = *st->session;
    const double sec = s.ns_per_tick * 1e-9;
    const std::size_t n = s.table.records.size();
    vk::Ref out = vk::Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n && static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(st->labels); ++i) {
        const Record& r = s.table.records[i];
        if (r.calls == 0 && r.total == 0 && r.own == 0) continue;
        Spread sp = record_spread(r);
        const bool uncounted = r.uncounted;
        if (s.sampled) {  // no single call was timed: the mean of its sampled total, no spread
            const double mean = r.calls ? static_cast<double>(r.total) / static_cast<double>(r.calls) : 0.0;
            sp = Spread{mean, 0.0, 0.0, 0.0};
        }
        if (uncounted) sp.mean = 0.0;
        vk::Ref calls = uncounted ? vk::Ref::borrow(Py_None)
                                  : vk::Ref::steal(PyLong_FromUnsignedLongLong(r.calls));
        if (!calls) return nullptr;
        vk::Ref row = vk::Ref::steal(Py_BuildValue(
            "(OOdddddd)", PyList_GET_ITEM(st->labels, i), calls.get(),
            static_cast<double>(r.total) * sec, static_cast<double>(r.own) * sec, sp.mean * sec,
            sp.std * sec, sp.min * sec, sp.max * sec));
        if (!row || PyList_Append(out.get(), row.get()) < 0) return nullptr;
    }
    return out.release();
}

PyMethodDef module_functions[] = {
    vk::def_function(kStart, ct_start,
                     "Begin measuring every call in every thread (RuntimeError when a measurement "
                     "already runs); earlier figures are dropped. With `sampled` (where "
                     "sys.monitoring exists), calls are still counted exactly but times come from "
                     "sampling every thread's stack each `interval` seconds, at a fraction of the "
                     "cost of timing every call; then `counted(code)`, asked once per function, "
                     "may answer false for code whose calls need not be counted (libraries): "
                     "its later entries cost nothing and its count reads None."),
    vk::def_function("stop", ct_stop, "End the measurement; frames still open end now."),
    vk::def_function("ignore_thread", ct_ignore_thread,
                     "Leave the calling thread's calls out of the running measurement."),
    vk::def_function("running", ct_running, "Whether this module's measurement runs."),
    vk::def_function("threads", ct_threads, "Threads that ran measured code."),
    vk::def_function("timing", ct_timing,
                     "How the last measurement took times: 'exact' (every call) or 'sampled'."),
    vk::def_function("samples", ct_samples, "Stack samples the last measurement took."),
    vk::def_function("mechanism", ct_mechanism,
                     "How calls are seen: 'sys.monitoring' or 'profile function'."),
    vk::def_function("snapshot", ct_snapshot,
                     "[(label, calls, total, own, mean, std, min, max)] per function called, times "
                     "in seconds; label is a code object or (owner, name) for native code."),
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    if (!st->names.init()) return -1;
    st->session.p = new (std::nothrow) Session();
    if (st->session.p == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    st->labels = PyList_New(0);
    st->keep = PyList_New(0);
    if (st->labels == nullptr || st->keep == nullptr) return -1;
    st->thread_hook = PyCFunction_NewEx(&thread_hook_def, m, nullptr);
    if (st->thread_hook == nullptr) return -1;
#if PY_VERSION_HEX >= 0x030C0000
    constexpr Py_ssize_t n = sizeof(callback_defs) / sizeof(callback_defs[0]);
    st->callbacks = PyTuple_New(n);
    if (st->callbacks == nullptr) return -1;
    vk::Ref mon = vk::Ref::steal(monitoring_module(st));
    if (!mon) return -1;
    vk::Ref events = vk::Ref::steal(PyObject_GetAttrString(mon.get(), "events"));
    if (!events) return -1;
    for (Py_ssize_t k = 0; k < n; ++k) {
        vk::Ref bit = vk::Ref::steal(PyObject_GetAttrString(events.get(), callback_defs[k].event));
        if (!bit) return -1;
        PyObject* pair = Py_BuildValue("(ON)", bit.get(),
                                       PyCFunction_NewEx(&callback_defs[k].def, m, nullptr));
        if (pair == nullptr) return -1;
        PyTuple_SET_ITEM(st->callbacks, k, pair);
    }
    st->disable = PyObject_GetAttr(mon.get(), st->names[s_DISABLE]);
    if (st->disable == nullptr) return -1;
#else
    st->callbacks = PyTuple_New(0);
    if (st->callbacks == nullptr) return -1;
#endif
    return PyModule_AddFunctions(m, module_functions);
}

}  // namespace
}  // namespace call_trace

VK_MODULE(call_trace, "velkora.monitoring.call_trace",
          "Exact call counts and times per function, counted in native code.")
