// Argument conversions: one converter per parameter kind. Each has its tag (what vk::parse is
// given: `vk::i64(x)`, `vk::tuple_or_none(shape)`), its fast read (the common exact type, no side
// effect beyond the output; false sends the argument to the full conversion), its conversion
// (every accepted type, and the error otherwise) and the default an omitted argument takes, side
// by side. `vk::convert` is usable on its own (a shape tuple's items, an attribute setter).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <type_traits>

#include "ref.hpp"
#include "sig.hpp"

namespace vk {

namespace detail {

[[gnu::cold]] inline bool err_type(ArgCtx c, const char* expected, PyObject* o) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", c.func, c.param,
                 expected, Py_TYPE(o)->tp_name);
    return false;
}

[[gnu::cold]] inline bool err_range(ArgCtx c, const char* type_desc) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' is out of range for %s", c.func, c.param,
                 type_desc);
    return false;
}

inline bool has_int_conversion(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb != nullptr && (nb->nb_int != nullptr || nb->nb_index != nullptr);
}

// A new reference to an int for `o`: ints as they are, other objects through __int__ (falling back
// to __index__). Strings are never parsed. nullptr with TypeError when there is no conversion.
inline PyObject* integer_of(PyObject* o, ArgCtx c) {
    if (PyLong_Check(o)) {
        Py_INCREF(o);
        return o;
    }
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    PyObject* r = nullptr;
    if (nb != nullptr && nb->nb_int != nullptr) {
        r = nb->nb_int(o);
    } else if (nb != nullptr && nb->nb_index != nullptr) {
        r = nb->nb_index(o);
    } else {
        err_type(c, "int", o);
        return nullptr;
    }
    if (r != nullptr && !PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

// A converter with no fast read of its own always takes the full conversion.
template <class Conv>
inline bool read_fast(PyObject*, Conv) {
    return false;
}

}  // namespace detail

// Reads an int object as a signed 64-bit value; `overflow` is -1/+1 beyond the range.
inline long long int64_of(PyObject* o, int& overflow) {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        overflow = 0;
        return static_cast<long long>(
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
    }
#endif
    return PyLong_AsLongLongAndOverflow(o, &overflow);
}

// ---- native integers ---------------------------------------------------------------------------
// 32/64 bit, signed/unsigned: an int or bool directly, anything else through __int__ (a float
// truncates toward zero); out of range, or negative for unsigned: OverflowError. Default: the
// declared int.

template <class T>
struct IntConv {
    T& out;
};
inline IntConv<int64_t> i64(int64_t& v) { return {v}; }
inline IntConv<uint64_t> u64(uint64_t& v) { return {v}; }
inline IntConv<int32_t> i32(int32_t& v) { return {v}; }
inline IntConv<uint32_t> u32(uint32_t& v) { return {v}; }

template <class T>
inline const char* int_type_desc() {
    if constexpr (std::is_same_v<T, int64_t>) return "a signed 64-bit integer";
    if constexpr (std::is_same_v<T, uint64_t>) return "an unsigned 64-bit integer";
    if constexpr (std::is_same_v<T, int32_t>) return "a signed 32-bit integer";
    if constexpr (std::is_same_v<T, uint32_t>) return "an unsigned 32-bit integer";
}

// Whether a signed 64-bit value is one of T's.
template <class T>
constexpr bool fits(long long v) {
    if constexpr (std::is_same_v<T, int64_t>) {
        return true;
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        return v >= 0;
    } else {
        return v >= static_cast<long long>(std::numeric_limits<T>::min()) &&
               v <= static_cast<long long>(std::numeric_limits<T>::max());
    }
}

namespace detail {

// An exact int of one machine word that fits T.
template <class T>
inline bool read_fast(PyObject* o, IntConv<T> c) {
    if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    const long long v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
#else
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);  // cannot fail for an int
    if (overflow != 0) return false;
#endif
    if (!fits<T>(v)) return false;
    c.out = static_cast<T>(v);
    return true;
}

}  // namespace detail

// Converts an int object (already an int) to T.
template <class T>
inline bool int_from_long(PyObject* o, T& out, ArgCtx c) {
    int overflow = 0;
    long long v = int64_of(o, overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if constexpr (std::is_same_v<T, uint64_t>) {
        if (overflow > 0) {  // beyond int64: still an unsigned 64-bit value below 2**64
            unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return detail::err_range(c, int_type_desc<T>());
            }
            out = static_cast<uint64_t>(u);
            return true;
        }
    }
    if (overflow != 0 || !fits<T>(v)) return detail::err_range(c, int_type_desc<T>());
    out = static_cast<T>(v);
    return true;
}

namespace detail {

template <class T>
[[gnu::noinline]] inline bool convert_int_slow(PyObject* o, T& out, ArgCtx c) {
    if (PyLong_Check(o)) return int_from_long<T>(o, out, c);
    Ref r = Ref::steal(integer_of(o, c));
    if (!r) return false;
    return int_from_long<T>(r.get(), out, c);
}

template <class T>
inline bool apply_default(IntConv<T> c, const Default& d) {
    c.out = static_cast<T>(d.i);
    return true;
}

}  // namespace detail

template <class T>
inline bool convert(PyObject* o, IntConv<T> conv, ArgCtx c) {
    if (detail::read_fast(o, conv)) return true;
    return detail::convert_int_slow<T>(o, conv.out, c);
}

// ---- Python int --------------------------------------------------------------------------------
// An exact int as it is; any other number through int(); anything else TypeError. The output is
// an owned reference. An omitted argument leaves it empty: no object is made on the call path
// for a value the callee usually only tests (an empty Ref reads as the declared default;
// vk::default_object makes it where an object is needed).

struct PyIntConv {
    Ref& out;
};
inline PyIntConv pyint(Ref& v) { return {v}; }

namespace detail {

inline bool read_fast(PyObject* o, PyIntConv c) {
    if (!PyLong_CheckExact(o)) return false;
    c.out = Ref::borrow(o);
    return true;
}

inline bool apply_default(PyIntConv, const Default&) { return true; }

}  // namespace detail

inline bool convert(PyObject* o, PyIntConv conv, ArgCtx c) {
    if (detail::read_fast(o, conv)) return true;
    if (!detail::has_int_conversion(o)) return detail::err_type(c, "int", o);
    PyObject* r = PyNumber_Long(o);  // safe: o is not a str/bytes (those have no nb_int/nb_index)
    if (r == nullptr) return false;
    conv.out = Ref::steal(r);
    return true;
}

// ---- doubles -----------------------------------------------------------------------------------
// The interpreter's float conversion (__float__, then __index__). Default: the declared number.

struct F64Conv {
    double& out;
};
inline F64Conv f64(double& v) { return {v}; }

namespace detail {

inline bool read_fast(PyObject* o, F64Conv c) {
    if (!PyFloat_CheckExact(o)) return false;
    c.out = PyFloat_AS_DOUBLE(o);
    return true;
}

[[gnu::noinline]] inline bool convert_f64_slow(PyObject* o, double& out, ArgCtx c) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || (nb->nb_float == nullptr && nb->nb_index == nullptr)) {
        return err_type(c, "a real number", o);
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

inline bool apply_default(F64Conv c, const Default& d) {
    c.out = d.kind == Default::Kind::Float ? d.f : static_cast<double>(d.i);
    return true;
}

}  // namespace detail

inline bool convert(PyObject* o, F64Conv conv, ArgCtx c) {
    if (detail::read_fast(o, conv)) return true;
    return detail::convert_f64_slow(o, conv.out, c);
}

// ---- flags -------------------------------------------------------------------------------------
// Any object by its truth value; an error of the truth test propagates. Default: the declared
// bool.

struct FlagConv {
    bool& out;
};
inline FlagConv flag(bool& v) { return {v}; }

namespace detail {

inline bool read_fast(PyObject* o, FlagConv c) {
    if (o != Py_True && o != Py_False) return false;
    c.out = o == Py_True;
    return true;
}

inline bool apply_default(FlagConv c, const Default& d) {
    c.out = d.i != 0;
    return true;
}

}  // namespace detail

inline bool convert(PyObject* o, FlagConv conv, ArgCtx) {
    if (detail::read_fast(o, conv)) return true;
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    conv.out = t != 0;
    return true;
}

// ---- any object --------------------------------------------------------------------------------
// Borrowed (valid for the duration of the call). Default: None, or an object other than None
// that the caller holds (made once from the declaration with vk::default_object) and leaves in
// the output.

struct ObjConv {
    PyObject*& out;
};
inline ObjConv object(PyObject*& v) { return {v}; }

namespace detail {

inline bool read_fast(PyObject* o, ObjConv c) {
    c.out = o;
    return true;
}

inline bool apply_default(ObjConv c, const Default& d) {
    if (d.kind == Default::Kind::None) c.out = Py_None;
    return true;
}

}  // namespace detail

inline bool convert(PyObject* o, ObjConv conv, ArgCtx) {
    conv.out = o;
    return true;
}

// ---- exact str / list / tuple / dict / bytes, or None ------------------------------------------
// Subclasses refused. Borrowed; None is stored as Py_None, and is the default.

enum class Exact { Str, List, Tuple, Dict, Bytes };

// The exact-type table: each kind's type and its name in the error message.
template <Exact K>
struct ExactType;
template <> struct ExactType<Exact::Str> { static PyTypeObject* type() { return &PyUnicode_Type; } static constexpr const char* desc = "str or None"; };
template <> struct ExactType<Exact::List> { static PyTypeObject* type() { return &PyList_Type; } static constexpr const char* desc = "list or None"; };
template <> struct ExactType<Exact::Tuple> { static PyTypeObject* type() { return &PyTuple_Type; } static constexpr const char* desc = "tuple or None"; };
template <> struct ExactType<Exact::Dict> { static PyTypeObject* type() { return &PyDict_Type; } static constexpr const char* desc = "dict or None"; };
template <> struct ExactType<Exact::Bytes> { static PyTypeObject* type() { return &PyBytes_Type; } static constexpr const char* desc = "bytes or None"; };

template <Exact K>
struct ExactConv {
    PyObject*& out;
};
inline ExactConv<Exact::Str> str_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::List> list_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::Tuple> tuple_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::Dict> dict_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::Bytes> bytes_or_none(PyObject*& v) { return {v}; }

namespace detail {

template <Exact K>
inline bool read_fast(PyObject* o, ExactConv<K> c) {
    if (!Py_IS_TYPE(o, ExactType<K>::type()) && o != Py_None) return false;
    c.out = o;
    return true;
}

template <Exact K>
inline bool apply_default(ExactConv<K> c, const Default&) {
    c.out = Py_None;
    return true;
}

}  // namespace detail

template <Exact K>
inline bool convert(PyObject* o, ExactConv<K> conv, ArgCtx c) {
    if (detail::read_fast(o, conv)) return true;
    return detail::err_type(c, ExactType<K>::desc, o);
}

// ---- defaults as objects -----------------------------------------------------------------------

// A declared default as a Python object (new reference), where one must stand in for an omitted
// value outside a call.
inline PyObject* default_object(const Default& d) {
    switch (d.kind) {
    case Default::Kind::Int: return PyLong_FromLongLong(d.i);
    case Default::Kind::Float: return PyFloat_FromDouble(d.f);
    case Default::Kind::Bool: return PyBool_FromLong(static_cast<long>(d.i));
    default: return Py_NewRef(Py_None);
    }
}

}  // namespace vk
