// Interpreter-level helpers: module globals, method calls, the import statement, and pending or
// handled exceptions, each with the semantics of the Python statement it stands for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <utility>

#include "ref.hpp"

namespace vk {

// A global name as a function of `module` resolves it: the module namespace, then the builtins.
// New reference, or nullptr with NameError (or the lookup's own error).
inline PyObject* lookup_global(PyObject* module, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (v == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed; nullptr without a frame
        if (builtins != nullptr) v = PyDict_GetItemWithError(builtins, name);
        if (v == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    Py_XINCREF(v);
    return v;
}

// `obj.name(*args)`, looked up on the object. A reference to `obj` is held for the call, so a
// method that replaces the attribute it was read from cannot free its own receiver. `obj` nullptr
// stands for None (an unset field). New reference.
template <class... A>
inline PyObject* call_method(PyObject* obj, PyObject* name, A... args) {
    if (obj == nullptr) obj = Py_None;
    PyObject* argv[] = {obj, args...};
    Py_INCREF(obj);
    PyObject* r = PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(obj);
    return r;
}

// The pending exception, taken out of the error indicator: the one place that knows 3.11 keeps
// it as a (type, value, traceback) triple and 3.12 as one instance. Put back with restore(),
// dropped otherwise. Taken `normalized`, the value is an instance (on 3.11 instantiating a lazily
// set exception allocates, and may run the garbage collector); taken as it is, nothing runs.
class RaisedError {
public:
    enum class Form { AsIs, Normalized };

    explicit RaisedError(Form form) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        (void)form;
        value_ = PyErr_GetRaisedException();
        if (value_ != nullptr) type_ = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value_)));
#else
        PyErr_Fetch(&type_, &value_, &tb_);
        if (form == Form::Normalized && type_ != nullptr) {
            PyErr_NormalizeException(&type_, &value_, &tb_);
        }
#endif
    }
    RaisedError(const RaisedError&) = delete;
    RaisedError& operator=(const RaisedError&) = delete;
    ~RaisedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }

    // __exit__'s three arguments, borrowed: None where there is no value or traceback.
    PyObject* type() const noexcept { return type_ != nullptr ? type_ : Py_None; }
    PyObject* value() const noexcept { return value_ != nullptr ? value_ : Py_None; }
    PyObject* traceback() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        if (tb_ == nullptr && value_ != nullptr) tb_ = PyException_GetTraceback(value_);
#endif
        return tb_ != nullptr ? tb_ : Py_None;
    }

    // Back into the error indicator, as it was taken (normalised if it was taken so).
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        Py_CLEAR(type_);
        Py_CLEAR(tb_);
        PyErr_SetRaisedException(std::exchange(value_, nullptr));
#else
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(tb_, nullptr));
#endif
    }

    // The exception instance with its traceback attached (new reference; nullptr when none).
    // Taken normalised only.
    PyObject* release_instance() noexcept {
#if PY_VERSION_HEX < 0x030C0000
        if (tb_ != nullptr && value_ != nullptr) PyException_SetTraceback(value_, tb_);
#endif
        return std::exchange(value_, nullptr);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// The pending exception as a normalised instance (new reference; nullptr when none); the error
// indicator is cleared.
inline PyObject* take_exception() {
    return RaisedError(RaisedError::Form::Normalized).release_instance();
}

// Makes the pending exception an instance now. From 3.12 it always is one; on 3.11 a lazily set
// exception is instantiated when first needed (leaving an injected lock hands it to __exit__),
// and the allocation may run the garbage collector and so finalizers. A caller that wants that to
// happen at a moment of its choosing (inside its section, not after it) calls this first.
inline void normalize_pending_error() {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyErr_Occurred()) return;
    RaisedError(RaisedError::Form::Normalized).restore();
#endif
}

// The pending exception, taken aside as it is while other code runs, then put back (restore())
// or dropped.
class SavedError : public RaisedError {
public:
    SavedError() noexcept : RaisedError(Form::AsIs) {}
};

// While alive, `exc` is the exception being handled, as inside an except block: anything raised
// meanwhile gets it as __context__, and sys.exc_info() reports it.
class Handling {
public:
    explicit Handling(PyObject* exc) : outer_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetHandledException(outer_.get()); }

private:
    Ref outer_;
};

// The import statement, run as code in `module` would run it: `import name` (fromlist nullptr) or
// `from name import ...` (the module itself). A replaced builtins.__import__ is honoured, as the
// statement honours it; `builtin_import` is the original one (any object never equal to a
// replacement will do) and `s_import` the interned "__import__". New reference.
inline PyObject* import_stmt(PyObject* module, PyObject* name, PyObject* fromlist,
                             PyObject* builtin_import, PyObject* s_import) {
    PyObject* globals = PyModule_GetDict(module);
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* imp = builtins ? PyDict_GetItemWithError(builtins, s_import) : nullptr;
    if (imp == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return nullptr;
    }
    if (imp == builtin_import) {
        return PyImport_ImportModuleLevelObject(name, globals, Py_None, fromlist, 0);
    }
    Ref hold = Ref::borrow(imp);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    PyObject* argv[] = {name, globals, Py_None, fromlist ? fromlist : Py_None, zero.get()};
    return PyObject_Vectorcall(imp, argv, 5, nullptr);
}

// The name binding of `from <mod> import name`. New reference, or nullptr with ImportError.
inline PyObject* import_from(PyObject* mod, PyObject* name) {
    PyObject* v = PyObject_GetAttr(mod, name);
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref modname = Ref::steal(PyObject_GetAttrString(mod, "__name__"));
        if (!modname) PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%S'", name,
                     modname ? modname.get() : Py_None);
    }
    return v;
}

// A str from ASCII bytes we wrote ourselves (no decoding pass). New reference.
inline PyObject* ascii_str(const char* data, std::size_t len) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
    if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), data, len);
    return s;
}

}  // namespace vk
