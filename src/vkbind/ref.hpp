// Owned object references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vk {

// One counted reference, dropped when the Ref goes out of scope. Moving transfers it.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller owns (the usual result of a C API "new reference").
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function result).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Replaces the held reference, stealing p; the old one is dropped last, after the swap, so a
    // finalizer that runs during the drop already sees the new value.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// d[key] = value, taking over the new reference `value` (dropped even on failure; nullptr passes
// the error of the call that made it through).
inline bool dict_set_steal(PyObject* d, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItem(d, key, value);
    Py_DECREF(value);
    return rc == 0;
}

// A new reference to None, for results.
inline PyObject* none() noexcept { Py_RETURN_NONE; }
inline PyObject* boolean(bool b) noexcept {
    if (b) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

}  // namespace vk
