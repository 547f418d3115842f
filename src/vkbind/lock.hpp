// threading.Lock objects entered as context managers, without paying for an uncontended round trip
// where nobody could observe it.
//
// Lock notes: when a section may skip a free genuine lock.
//
// A *pure* section runs no Python code and never releases the interpreter lock: no comparison
// that may reach __eq__, no finalizer through a reference it drops (references are dropped after
// the section), no conversion through __int__/__float__, no method of a replaced object, no
// allocation of a container object (which may run the garbage collector). While it runs, no other
// Python thread runs.
//
// The one fact that bounds every shortcut: a thread blocked in acquire() waits with the
// interpreter lock released and becomes the lock's owner the moment the lock is freed, before it
// holds the interpreter lock again. So "the lock was free when I looked" says nothing about any
// later moment, and a thread that holds the interpreter lock cannot know that nobody owns the lock.
//
// The invariant that makes skipping safe: a skipping section either finishes without ever letting
// another thread run, or it never reads the guarded state before it holds the lock for real.
// A pure section that skips therefore cannot interleave with anything: an owner that got the lock
// without the interpreter lock has not read the state yet (every section reads the guarded state
// only after its acquire returned and with the interpreter lock held), and it reads it after the
// pure section is over. Consequences:
//  - Where every section of a lock is pure and the lock is reachable from nowhere else, a genuine
//    lock is never entered at all (Section::Pure; RecordedSection).
//  - Where some sections run Python code, those take the lock for real before they read any state
//    (Section::Python), and the pure ones enter it for real while it is held (Section::PureChecked,
//    or an equivalent signal such as the tree's odd sequence counter). Waiting happens before any
//    state is read.
//  - A section must never change its mind half-way: one that may turn out to need Python code
//    (a comparison, a replaced counter) decides before it reads the state, or gives up everything
//    it read and starts again from scratch once it holds the lock. Taking the lock half-way may
//    wait, let the owner run and change the state, and leave the section with stale pointers.
//  - A lock that is not a genuine `_thread.lock` (an injected one) sees every enter and exit, and
//    its __enter__ may run any code: state is read only after it returned.
// Each shortcut carries a one-line comment saying which of these makes it safe.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <tuple>
#include <utility>

#include "interp.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace vk {

// The names every lock section looks up, interned once per module.
namespace lock_names {
#define VK_LOCK_NAMES(X)                                                                    \
    X(enter, "__enter__") X(exit, "__exit__") X(locked, "locked") X(release, "release")      \
    X(threading, "threading") X(Lock, "Lock")
VK_NAMES(VK_LOCK_NAMES);
}  // namespace lock_names

// Per-module cache: the genuine lock type, its methods and the names used, created at module exec.
struct LockSupport {
    PyTypeObject* lock_type = nullptr;
    lock_names::Names names;
    // Methods of the genuine lock type. The type is immutable, so these are exactly what `with`
    // and `lock.locked()` reach; calling them directly saves two type lookups per section, and
    // `release` stands for `__exit__` (the same function for this type, minus the arguments).
    PyObject* lock_enter = nullptr;
    PyObject* lock_release = nullptr;
    PyObject* lock_locked = nullptr;

    bool init() {
        using namespace lock_names;
        if (!names.init()) return false;
        PyObject* thread = PyImport_ImportModule("_thread");
        if (thread == nullptr) return false;
        PyObject* t = PyObject_GetAttrString(thread, "LockType");
        Py_DECREF(thread);
        if (t == nullptr) return false;
        if (!PyType_Check(t)) {
            Py_DECREF(t);
            PyErr_SetString(PyExc_TypeError, "_thread.LockType is not a type");
            return false;
        }
        lock_type = reinterpret_cast<PyTypeObject*>(t);
        lock_enter = PyObject_GetAttr(t, names[s_enter]);
        lock_release = lock_enter ? PyObject_GetAttr(t, names[s_release]) : nullptr;
        lock_locked = lock_release ? PyObject_GetAttr(t, names[s_locked]) : nullptr;
        return lock_locked != nullptr;
    }
    // Traverse and clear come from this list, as a module state's do.
    auto owned() { return std::tie(lock_type, names, lock_enter, lock_release, lock_locked); }
    bool is_genuine(PyObject* lock) const { return Py_IS_TYPE(lock, lock_type); }

    // `threading.Lock()`, with the global `threading` of `module` looked up now (a replaced module
    // supplies the lock; a deleted one is a NameError). `genuine` tells whether the result is a
    // genuine lock. New reference.
    PyObject* new_lock(PyObject* module, bool& genuine) const {
        Ref threading = Ref::steal(lookup_global(module, names[lock_names::s_threading]));
        if (!threading) return nullptr;
        Ref factory = Ref::steal(PyObject_GetAttr(threading.get(), names[lock_names::s_Lock]));
        if (!factory) return nullptr;
        PyObject* lock = PyObject_CallNoArgs(factory.get());
        if (lock != nullptr) genuine = is_genuine(lock);
        return lock;
    }
};

enum class Section {
    Pure,         // runs no Python code, and neither does any other section of this lock
    PureChecked,  // runs no Python code, but other sections of this lock do
    Python,       // may run Python code (calls out, allocates containers, drops references)
};

class LockGuard {
public:
    // Enters `lock` for a section of the given kind; a null lock guards nothing. Check ok(): false
    // means an exception is set and the lock is not held.
    LockGuard(const LockSupport& ls, PyObject* lock, Section kind) : ls_(&ls) { start(lock, kind); }

    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    bool ok() const { return !failed_; }

    // Leaves the section normally; false (with the exception set) when leaving raised.
    bool release() { return held_ == nullptr || leave(); }

    // Leaving without release(): the error path. The pending exception is handed to __exit__ (as a
    // `with` block would) and kept; an exception raised while leaving replaces it.
    // (GCC's use-before-set analysis loses track of held_ inside a std::optional<LockGuard> that is
    // emplaced and reset in turn; the member initialiser always sets it.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    ~LockGuard() {
        if (held_ != nullptr) leave_on_error();
    }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

private:
    // The sections that skip the lock stay inline; entering and leaving for real do not.
    void start(PyObject* lock, Section kind) {
        if (lock == nullptr) return;
        if (kind == Section::Pure && ls_->is_genuine(lock)) return;
        start_slow(lock, kind);
    }

    [[gnu::noinline]] bool leave() {
        Ref lock = Ref::steal(std::exchange(held_, nullptr));
        if (exit_ == nullptr) return release_genuine(lock.get());
        Ref exit = Ref::steal(std::exchange(exit_, nullptr));
        PyObject* argv[3] = {Py_None, Py_None, Py_None};
        PyObject* r = call_exit(exit.get(), lock.get(), argv);
        if (r == nullptr) return false;
        Py_DECREF(r);
        return true;
    }

    [[gnu::noinline]] void leave_on_error() {
        Ref lock = Ref::steal(std::exchange(held_, nullptr));
        if (exit_ == nullptr) {
            if (!PyErr_Occurred()) {
                if (!release_genuine(lock.get())) PyErr_WriteUnraisable(lock.get());
                return;
            }
            SavedError saved;
            if (release_genuine(lock.get())) saved.restore();
            return;
        }
        Ref exit = Ref::steal(std::exchange(exit_, nullptr));
        if (!PyErr_Occurred()) {
            PyObject* argv[3] = {Py_None, Py_None, Py_None};
            PyObject* r = call_exit(exit.get(), lock.get(), argv);
            if (r == nullptr) PyErr_WriteUnraisable(lock.get());
            Py_XDECREF(r);
            return;
        }
        RaisedError exc(RaisedError::Form::Normalized);
        PyObject* argv[3] = {exc.type(), exc.value(), exc.traceback()};
        PyObject* r = call_exit(exit.get(), lock.get(), argv);
        if (r != nullptr) {
            Py_DECREF(r);
            exc.restore();
        }
    }

    [[gnu::noinline]] void start_slow(PyObject* lock, Section kind) {
        if (ls_->is_genuine(lock)) {
            if (kind == Section::PureChecked) {
                PyObject* r = PyObject_Vectorcall(ls_->lock_locked, &lock, 1, nullptr);
                if (r == nullptr) {
                    failed_ = true;
                    return;
                }
                const bool held = r == Py_True;
                Py_DECREF(r);
                if (!held) return;
            }
            PyObject* r = PyObject_Vectorcall(ls_->lock_enter, &lock, 1, nullptr);
            if (r == nullptr) {
                failed_ = true;
                return;
            }
            Py_DECREF(r);
            held_ = Py_NewRef(lock);  // the section may drop the owner's reference to it
            return;
        }
        enter(lock);
    }

    bool release_genuine(PyObject* lock) {
        Ref r = Ref::steal(PyObject_Vectorcall(ls_->lock_release, &lock, 1, nullptr));
        return static_cast<bool>(r);
    }

    // The context manager protocol: __enter__ and __exit__ looked up on the type. The lock is kept
    // alive from the start: its __enter__ may replace the owner's reference to it.
    void enter(PyObject* lock) {
        Ref hold = Ref::borrow(lock);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(lock));
        Ref enter = Ref::steal(PyObject_GetAttr(type, ls_->names[lock_names::s_enter]));
        Ref exit = enter ? Ref::steal(PyObject_GetAttr(type, ls_->names[lock_names::s_exit])) : Ref();
        if (!enter || !exit) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "'%.200s' object does not support the context manager protocol",
                             Py_TYPE(lock)->tp_name);
            }
            failed_ = true;
            return;
        }
        PyObject* r = PyObject_Vectorcall(enter.get(), &lock, 1, nullptr);
        if (r == nullptr) {
            failed_ = true;
            return;
        }
        Py_DECREF(r);
        exit_ = exit.release();
        held_ = hold.release();
    }

    static PyObject* call_exit(PyObject* exit, PyObject* lock, PyObject* const* argv3) {
        PyObject* argv[4] = {lock, argv3[0], argv3[1], argv3[2]};
        return PyObject_Vectorcall(exit, argv, 4, nullptr);
    }

    // Owned references, managed by hand: a guard that skips its lock must cost nothing to drop.
    const LockSupport* ls_ = nullptr;
    PyObject* exit_ = nullptr;  // __exit__, while a lock other than a genuine one is held
    PyObject* held_ = nullptr;  // the lock, while held for real
    bool failed_ = false;
};

// A pure section under an object's own lock whose genuineness was recorded when the lock was made
// (LockSupport::new_lock): a genuine lock is skipped without looking anything up, and without
// constructing a guard at all. A missing lock (an object built without __init__) guards nothing,
// or is entered as `unset` where that is given. `support()` returns the module's LockSupport
// (nullptr with an exception set); it is only asked when a lock must really be entered.
class RecordedSection {
public:
    template <class Support>
    RecordedSection(PyObject* lock, bool genuine, Support&& support, PyObject* unset = nullptr) {
        if (genuine) return;
        if (lock == nullptr) {
            if (unset == nullptr) return;
            lock = unset;
        }
        const LockSupport* ls = support();
        if (ls == nullptr) {
            failed_ = true;
            return;
        }
        guard_.emplace(*ls, lock, Section::Pure);
        failed_ = !guard_->ok();
    }
    RecordedSection(const RecordedSection&) = delete;
    RecordedSection& operator=(const RecordedSection&) = delete;

    // False: an exception is set and the lock is not held.
    bool ok() const { return !failed_; }
    // Leaves the section; false (exception set) when leaving raised.
    bool release() { return !guard_ || guard_->release(); }

private:
    std::optional<LockGuard> guard_;
    bool failed_ = false;
};

}  // namespace vk
