// threading.Lock objects entered as context managers, without paying for an uncontended round trip
// where nobody could observe it.
//
// A *pure* section runs no Python code and never releases the interpreter lock, so while it runs no
// other Python thread does. If the genuine lock guarding it is free when it starts, taking and
// releasing it is unobservable and is skipped. The lock can only be held at that moment when another
// section of the same lock runs Python code and its thread is paused inside it; pure sections of
// such a lock check `locked()` first. Any lock that is not a genuine `_thread.lock` (an injected
// one) sees every enter and exit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.hpp"

namespace vk {

// Per-module cache: the genuine lock type and the method names, created at module exec.
struct LockSupport {
    PyTypeObject* lock_type = nullptr;
    PyObject* s_enter = nullptr;
    PyObject* s_exit = nullptr;
    PyObject* s_locked = nullptr;

    bool init() {
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
        s_enter = PyUnicode_InternFromString("__enter__");
        s_exit = PyUnicode_InternFromString("__exit__");
        s_locked = PyUnicode_InternFromString("locked");
        return s_enter && s_exit && s_locked;
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(lock_type);
        return 0;
    }
    void clear() {
        Py_CLEAR(lock_type);
        Py_CLEAR(s_enter);
        Py_CLEAR(s_exit);
        Py_CLEAR(s_locked);
    }
    bool is_genuine(PyObject* lock) const { return Py_IS_TYPE(lock, lock_type); }
};

enum class Section {
    Pure,         // runs no Python code, and neither does any other section of this lock
    PureChecked,  // runs no Python code, but other sections of this lock do
    Python,       // may run Python code (calls out, allocates containers, drops references)
};

class LockGuard {
public:
    // Enters `lock` for a section of the given kind. Check ok(): false means an exception is set
    // and the lock is not held.
    LockGuard(const LockSupport& ls, PyObject* lock, Section kind) : ls_(ls), lock_(lock) {
        if (ls.is_genuine(lock)) {
            if (kind == Section::Pure) return;
            if (kind == Section::PureChecked) {
                PyObject* self = lock;
                PyObject* r = PyObject_VectorcallMethod(
                    ls.s_locked, &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
                if (r == nullptr) {
                    failed_ = true;
                    return;
                }
                const bool held = r == Py_True;
                Py_DECREF(r);
                if (!held) return;
            }
        }
        enter();
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    bool ok() const { return !failed_; }

    // Leaves the section normally; false (with the exception set) when __exit__ raised.
    bool release() {
        if (!exit_) return true;
        Ref exit = std::move(exit_);
        PyObject* argv[3] = {Py_None, Py_None, Py_None};
        PyObject* r = call_exit(exit.get(), argv);
        if (r == nullptr) return false;
        Py_DECREF(r);
        return true;
    }

    // Leaving without release(): the error path. The pending exception is handed to __exit__ (as a
    // `with` block would) and kept; an exception raised by __exit__ replaces it.
    ~LockGuard() {
        if (!exit_) return;
        Ref exit = std::move(exit_);
        if (!PyErr_Occurred()) {
            PyObject* argv[3] = {Py_None, Py_None, Py_None};
            PyObject* r = call_exit(exit.get(), argv);
            if (r == nullptr) PyErr_WriteUnraisable(lock_);
            Py_XDECREF(r);
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* argv[3] = {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, Py_None};
        PyObject* tb = PyException_GetTraceback(exc);
        if (tb != nullptr) argv[2] = tb;
        PyObject* r = call_exit(exit.get(), argv);
        Py_XDECREF(tb);
        if (r == nullptr) {
            Py_DECREF(exc);
        } else {
            Py_DECREF(r);
            PyErr_SetRaisedException(exc);
        }
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject* argv[3] = {type, value ? value : Py_None, tb ? tb : Py_None};
        PyObject* r = call_exit(exit.get(), argv);
        if (r == nullptr) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        } else {
            Py_DECREF(r);
            PyErr_Restore(type, value, tb);
        }
#endif
    }

private:
    // The context manager protocol: __enter__ and __exit__ looked up on the type.
    void enter() {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(lock_));
        Ref enter = Ref::steal(PyObject_GetAttr(type, ls_.s_enter));
        Ref exit = enter ? Ref::steal(PyObject_GetAttr(type, ls_.s_exit)) : Ref();
        if (!enter || !exit) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "'%.200s' object does not support the context manager protocol",
                             Py_TYPE(lock_)->tp_name);
            }
            failed_ = true;
            return;
        }
        PyObject* self = lock_;
        PyObject* r = PyObject_Vectorcall(enter.get(), &self, 1, nullptr);
        if (r == nullptr) {
            failed_ = true;
            return;
        }
        Py_DECREF(r);
        exit_ = std::move(exit);
        held_ = Ref::borrow(lock_);  // the section may drop the owner's reference to it
    }

    PyObject* call_exit(PyObject* exit, PyObject* const* argv3) {
        PyObject* argv[4] = {lock_, argv3[0], argv3[1], argv3[2]};
        return PyObject_Vectorcall(exit, argv, 4, nullptr);
    }

    const LockSupport& ls_;
    PyObject* lock_;
    Ref exit_;  // set while the lock is held for real
    Ref held_;
    bool failed_ = false;
};

}  // namespace vk
