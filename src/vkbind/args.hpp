// Argument binding and conversion for METH_FASTCALL | METH_KEYWORDS callables.
//
// Each callable declares its parameters once, defaults included:
//
//     constexpr auto kIncrement = vk::sig("increment", vk::arg("delta") = 1);
//
// The declaration gives the binding (names, which are required, the value an omitted argument
// takes) and the text signature of the docstring (vk::def_method and friends in module.hpp), so
// introspection shows exactly what the binding does. Binding and conversion is one call, in
// parameter order, before any state is touched:
//
//     int64_t delta;                                     // 1 when omitted, from the declaration
//     if (!vk::parse(kIncrement, args, nargs, kwnames, vk::i64(delta))) return nullptr;
//
// The positional-only call is a count check followed by the conversions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <string_view>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "ref.hpp"

namespace vk {

// A parameter's default: a Python int, float, bool or None. The binding stores it in the output of
// an omitted native argument (vk::pyint and vk::object outputs: see apply_default); the text
// signature shows it as the literal.
struct Default {
    enum class Kind : unsigned char { Required, Int, Float, Bool, None };
    Kind kind = Kind::Required;
    long long i = 0;
    double f = 0.0;
};

// One declared parameter: `vk::arg("name")` is required, `vk::arg("name") = value` optional.
struct Param {
    const char* name;
    Default def{};

    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    constexpr Param operator=(T v) const {
        return {name, {Default::Kind::Int, static_cast<long long>(v), 0.0}};
    }
    constexpr Param operator=(double v) const { return {name, {Default::Kind::Float, 0, v}}; }
    constexpr Param operator=(bool v) const { return {name, {Default::Kind::Bool, v ? 1 : 0, 0.0}}; }
    constexpr Param operator=(std::nullptr_t) const { return {name, {Default::Kind::None, 0, 0.0}}; }
};
constexpr Param arg(const char* name) { return Param{name}; }

template <std::size_t N>
struct Sig {
    const char* name;                   // the callable's name as errors show it, e.g. "increment"
    std::size_t required;               // the first `required` parameters have no default
    std::array<const char*, N> params;  // parameter names, in positional order
    std::array<Default, N> defaults;    // Kind::Required for the first `required`
};

namespace detail {
constexpr Param as_param(const char* name) { return Param{name}; }
constexpr Param as_param(Param p) { return p; }
}  // namespace detail

// A declaration: the callable's name, then its parameters in order, each a plain name (required)
// or vk::arg("name") = default. A required parameter after an optional one does not compile.
template <class... P>
constexpr Sig<sizeof...(P)> sig(const char* name, P... params) {
    constexpr std::size_t N = sizeof...(P);
    const std::array<Param, N> ps{detail::as_param(params)...};
    Sig<N> s{name, 0, {}, {}};
    bool optional_seen = false;
    for (std::size_t i = 0; i < N; ++i) {
        s.params[i] = ps[i].name;
        s.defaults[i] = ps[i].def;
        if (ps[i].def.kind == Default::Kind::Required) {
            if (optional_seen) throw "a required parameter follows an optional one";
            ++s.required;
        } else {
            optional_seen = true;
        }
    }
    return s;
}

// The same parameters under another callable's name (a factory taking its class's parameters).
template <std::size_t N>
constexpr Sig<N> renamed(Sig<N> s, const char* name) {
    s.name = name;
    return s;
}

// The first M parameters of a declaration, with their defaults, under another callable's name (a
// factory taking the leading parameters of its class).
template <std::size_t M, std::size_t N>
constexpr Sig<M> leading(const Sig<N>& s, const char* name) {
    static_assert(M <= N, "more parameters than the declaration has");
    Sig<M> out{name, s.required < M ? s.required : M, {}, {}};
    for (std::size_t i = 0; i < M; ++i) {
        out.params[i] = s.params[i];
        out.defaults[i] = s.defaults[i];
    }
    return out;
}

namespace detail {

[[gnu::cold]] inline void err_too_many(const char* name, std::size_t max, std::size_t required,
                                       Py_ssize_t given) {
    if (max == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %s %zu argument%s (%zd given)", name,
                     max == required ? "exactly" : "at most", max, max == 1 ? "" : "s", given);
    }
}

[[gnu::cold]] inline void err_missing(const char* name, const char* param, std::size_t pos) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", name, param,
                 pos + 1);
}

// A positional count outside [required, max].
[[gnu::cold, gnu::noinline]] inline void err_count(const char* name, const char* const* params,
                                                   std::size_t max, std::size_t required,
                                                   Py_ssize_t given) {
    if (static_cast<std::size_t>(given) > max) {
        err_too_many(name, max, required, given);
    } else {
        err_missing(name, params[given], static_cast<std::size_t>(given));
    }
}

// Keyword names arrive as str objects; ours are ASCII. Same object or same bytes.
inline bool kw_equals(PyObject* kw, const char* name) {
    if (!PyUnicode_IS_ASCII(kw)) return false;
    const std::size_t len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(kw));
    return std::strncmp(static_cast<const char*>(PyUnicode_DATA(kw)), name, len) == 0 &&
           name[len] == '\0';
}

// Fills slots[0..n) with borrowed arguments (nullptr where omitted). Keyword path only.
[[gnu::noinline]] inline bool bind_keywords(const char* name, std::size_t required,
                                            const char* const* params, std::size_t n,
                                            PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (n == 0) {
        if (nargs > 0) {
            err_too_many(name, 0, 0, nargs + nkw);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
        }
        return false;
    }
    if (static_cast<std::size_t>(nargs) > n) {
        err_too_many(name, n, required, nargs + nkw);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    for (std::size_t i = static_cast<std::size_t>(nargs); i < n; ++i) slots[i] = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        std::size_t idx = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (kw_equals(kw, params[i])) {
                idx = i;
                break;
            }
        }
        if (idx == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         kw);
            return false;
        }
        if (slots[idx] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name,
                         params[idx]);
            return false;
        }
        slots[idx] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) {
            err_missing(name, params[i], i);
            return false;
        }
    }
    return true;
}

}  // namespace detail

// Where a conversion failed, for its message.
struct ArgCtx {
    const char* func;
    const char* param;
};

// The context of a declared parameter, for conversions outside the binding (an attribute setter
// names its class and attribute as the constructor's binding does). An undeclared name does not
// compile.
template <std::size_t N>
constexpr std::size_t param_index(const Sig<N>& s, std::string_view param) {
    for (std::size_t i = 0; i < N; ++i) {
        if (param == s.params[i]) return i;
    }
    throw "not a declared parameter";
}
template <std::size_t N>
consteval ArgCtx context_of(const Sig<N>& s, std::string_view param) {
    return ArgCtx{s.name, s.params[param_index(s, param)]};
}
// The same with static storage, for a getset closure.
template <const auto& S, std::size_t I>
inline constexpr ArgCtx param_context{S.name, S.params[I]};

// ---- conversions -------------------------------------------------------------------------------

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

template <class T>
struct IntConv {
    T& out;
};

// Native integers (32/64 bit, signed/unsigned): an int or bool directly, anything else through
// __int__ (a float truncates toward zero); out of range or negative for unsigned: OverflowError.
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

// Converts an int object (already an int) to T.
template <class T>
inline bool int_from_long(PyObject* o, T& out, ArgCtx c) {
    int overflow = 0;
    long long v = int64_of(o, overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if constexpr (std::is_same_v<T, uint64_t>) {
        if (overflow > 0) {
            unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return detail::err_range(c, int_type_desc<T>());
            }
            out = static_cast<uint64_t>(u);
            return true;
        }
        if (overflow < 0 || v < 0) return detail::err_range(c, int_type_desc<T>());
        out = static_cast<uint64_t>(v);
        return true;
    } else {
        if (overflow != 0 || v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            v > static_cast<long long>(std::numeric_limits<T>::max())) {
            return detail::err_range(c, int_type_desc<T>());
        }
        out = static_cast<T>(v);
        return true;
    }
}

namespace detail {

template <class T>
[[gnu::noinline]] inline bool convert_int_slow(PyObject* o, T& out, ArgCtx c) {
    if (PyLong_Check(o)) return int_from_long<T>(o, out, c);
    Ref r = Ref::steal(integer_of(o, c));
    if (!r) return false;
    return int_from_long<T>(r.get(), out, c);
}

}  // namespace detail

template <class T>
inline bool convert(PyObject* o, IntConv<T> conv, ArgCtx c) {
#if PY_VERSION_HEX >= 0x030C0000
    // The common argument, an exact int of one machine word, is read in place.
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        if constexpr (std::is_same_v<T, int64_t>) {
            conv.out = static_cast<int64_t>(v);
            return true;
        } else if constexpr (std::is_same_v<T, uint64_t>) {
            if (v >= 0) {
                conv.out = static_cast<uint64_t>(v);
                return true;
            }
        } else {
            if (v >= static_cast<Py_ssize_t>(std::numeric_limits<T>::min()) &&
                v <= static_cast<Py_ssize_t>(std::numeric_limits<T>::max())) {
                conv.out = static_cast<T>(v);
                return true;
            }
        }
    }
#else
    if (PyLong_CheckExact(o)) return int_from_long<T>(o, conv.out, c);
#endif
    return detail::convert_int_slow<T>(o, conv.out, c);
}

// Parameters typed as Python int: an exact int as it is; any other number through int(); anything
// else TypeError. The result is an owned reference.
struct PyIntConv {
    Ref& out;
};
inline PyIntConv pyint(Ref& v) { return {v}; }

inline bool convert(PyObject* o, PyIntConv conv, ArgCtx c) {
    if (PyLong_CheckExact(o)) {
        conv.out = Ref::borrow(o);
        return true;
    }
    if (!detail::has_int_conversion(o)) return detail::err_type(c, "int", o);
    PyObject* r = PyNumber_Long(o);  // safe: o is not a str/bytes (those have no nb_int/nb_index)
    if (r == nullptr) return false;
    conv.out = Ref::steal(r);
    return true;
}

// Native doubles: the interpreter's float conversion (__float__, then __index__).
struct F64Conv {
    double& out;
};
inline F64Conv f64(double& v) { return {v}; }

namespace detail {

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

}  // namespace detail

inline bool convert(PyObject* o, F64Conv conv, ArgCtx c) {
    if (PyFloat_CheckExact(o)) {
        conv.out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return detail::convert_f64_slow(o, conv.out, c);
}

// Flags: any object by its truth value; an error of the truth test propagates.
struct FlagConv {
    bool& out;
};
inline FlagConv flag(bool& v) { return {v}; }

inline bool convert(PyObject* o, FlagConv conv, ArgCtx) {
    if (o == Py_True || o == Py_False) {
        conv.out = o == Py_True;
        return true;
    }
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    conv.out = t != 0;
    return true;
}

// Any object, borrowed (valid for the duration of the call).
struct ObjConv {
    PyObject*& out;
};
inline ObjConv object(PyObject*& v) { return {v}; }

inline bool convert(PyObject* o, ObjConv conv, ArgCtx) {
    conv.out = o;
    return true;
}

// Exactly str / list / tuple / dict / bytes, or None (stored as Py_None); subclasses refused.
// Borrowed.
enum class Exact { Str, List, Tuple, Dict, Bytes };

template <Exact K>
struct ExactConv {
    PyObject*& out;
};
inline ExactConv<Exact::Str> str_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::List> list_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::Tuple> tuple_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::Dict> dict_or_none(PyObject*& v) { return {v}; }
inline ExactConv<Exact::Bytes> bytes_or_none(PyObject*& v) { return {v}; }

template <Exact K>
inline bool convert(PyObject* o, ExactConv<K> conv, ArgCtx c) {
    PyTypeObject* want = nullptr;
    const char* desc = nullptr;
    if constexpr (K == Exact::Str) { want = &PyUnicode_Type; desc = "str or None"; }
    if constexpr (K == Exact::List) { want = &PyList_Type; desc = "list or None"; }
    if constexpr (K == Exact::Tuple) { want = &PyTuple_Type; desc = "tuple or None"; }
    if constexpr (K == Exact::Dict) { want = &PyDict_Type; desc = "dict or None"; }
    if constexpr (K == Exact::Bytes) { want = &PyBytes_Type; desc = "bytes or None"; }
    if (Py_IS_TYPE(o, want) || o == Py_None) {
        conv.out = o;
        return true;
    }
    return detail::err_type(c, desc, o);
}

// ---- defaults ----------------------------------------------------------------------------------

namespace detail {

// Stores a declared default in the output of an omitted argument. False only when creating the
// object of a Python-int default fails.
template <class T>
inline bool apply_default(IntConv<T> c, const Default& d) {
    c.out = static_cast<T>(d.i);
    return true;
}
inline bool apply_default(F64Conv c, const Default& d) {
    c.out = d.kind == Default::Kind::Float ? d.f : static_cast<double>(d.i);
    return true;
}
inline bool apply_default(FlagConv c, const Default& d) {
    c.out = d.i != 0;
    return true;
}
// An object parameter's default other than None is an object the caller holds (made once from
// the declaration with vk::default_object) and leaves in the output.
inline bool apply_default(ObjConv c, const Default& d) {
    if (d.kind == Default::Kind::None) c.out = Py_None;
    return true;
}
template <Exact K>
inline bool apply_default(ExactConv<K> c, const Default&) {
    c.out = Py_None;
    return true;
}
// An omitted Python-int parameter stays empty: no object is made on the call path for a value the
// callee usually only tests (an empty Ref reads as the declared default; vk::default_object makes it
// where an object is needed).
inline bool apply_default(PyIntConv, const Default&) { return true; }

}  // namespace detail

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

// ---- binding -----------------------------------------------------------------------------------

namespace detail {

// Reads of the common argument kinds, with no side effect beyond the output: an exact float, an
// exact int of one machine word, a bool, any object, an exact str/list/tuple/dict/bytes or None.
// False: the argument needs the full conversion (which also reports errors).
inline bool read_fast(PyObject* o, F64Conv c) {
    if (!PyFloat_CheckExact(o)) return false;
    c.out = PyFloat_AS_DOUBLE(o);
    return true;
}

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
    if constexpr (std::is_same_v<T, uint64_t>) {
        if (v < 0) return false;
    } else if constexpr (!std::is_same_v<T, int64_t>) {
        if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            v > static_cast<long long>(std::numeric_limits<T>::max())) {
            return false;
        }
    }
    c.out = static_cast<T>(v);
    return true;
}

inline bool read_fast(PyObject* o, FlagConv c) {
    if (o != Py_True && o != Py_False) return false;
    c.out = o == Py_True;
    return true;
}

inline bool read_fast(PyObject* o, ObjConv c) {
    c.out = o;
    return true;
}

template <Exact K>
inline bool read_fast(PyObject* o, ExactConv<K> c) {
    PyTypeObject* want = nullptr;
    if constexpr (K == Exact::Str) want = &PyUnicode_Type;
    if constexpr (K == Exact::List) want = &PyList_Type;
    if constexpr (K == Exact::Tuple) want = &PyTuple_Type;
    if constexpr (K == Exact::Dict) want = &PyDict_Type;
    if constexpr (K == Exact::Bytes) want = &PyBytes_Type;
    if (!Py_IS_TYPE(o, want) && o != Py_None) return false;
    c.out = o;
    return true;
}

inline bool read_fast(PyObject* o, PyIntConv c) {
    if (!PyLong_CheckExact(o)) return false;
    c.out = Ref::borrow(o);
    return true;
}

template <class Conv>
inline bool read_fast(PyObject*, Conv) {
    return false;
}

// Every given positional argument read directly; omitted optional ones keep their defaults.
template <std::size_t N, std::size_t... I, class... Conv>
[[gnu::always_inline]] inline bool read_given(const Sig<N>& s, PyObject* const* args,
                                              std::size_t given, std::index_sequence<I...>,
                                              Conv... conv) {
    return (((I < s.required || I < given) ? read_fast(args[I], conv)
                                           : apply_default(conv, s.defaults[I])) &&
            ...);
}

// Converts each argument present, in parameter order; required ones are always there.
template <std::size_t N, std::size_t... I, class... Conv>
inline bool convert_bound(const Sig<N>& s, PyObject* const* slots, std::index_sequence<I...>,
                          Conv... conv) {
    return (((I < s.required || slots[I] != nullptr)
                 ? convert(slots[I], conv, ArgCtx{s.name, s.params[I]})
                 : apply_default(conv, s.defaults[I])) &&
            ...);
}

// The general route: any argument kinds, keywords, and every error.
template <std::size_t N, class... Conv>
[[gnu::noinline]] bool parse_general(const Sig<N>& s, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, Conv... conv) {
    PyObject* slots[N == 0 ? 1 : N];
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        const std::size_t given = static_cast<std::size_t>(nargs);
        if (given > N || given < s.required) {
            err_count(s.name, s.params.data(), N, s.required, nargs);
            return false;
        }
        for (std::size_t i = 0; i < N; ++i) slots[i] = i < given ? args[i] : nullptr;
    } else if (!bind_keywords(s.name, s.required, s.params.data(), N, args, nargs, kwnames,
                              slots)) {
        return false;
    }
    return convert_bound(s, slots, std::index_sequence_for<Conv...>{}, conv...);
}

// The general route, run on copies of the outputs that are written back on success. The outputs
// themselves never have their address taken outside the inlined fast route, so the compiler can
// keep them in registers there.
template <class Conv>
struct Scratch {
    using Value = std::remove_reference_t<decltype(std::declval<Conv>().out)>;
    Value value{};  // every parameter ends up given or defaulted from the declaration
    explicit Scratch(Conv) {}
    Conv conv() { return Conv{value}; }
};
template <>
struct Scratch<ObjConv> {  // may start from an object default the caller holds
    PyObject* value;
    explicit Scratch(ObjConv c) : value(c.out) {}
    ObjConv conv() { return ObjConv{value}; }
};
template <>
struct Scratch<PyIntConv> {  // an owned reference: converted in place
    PyIntConv target;
    explicit Scratch(PyIntConv c) : target(c) {}
    PyIntConv conv() { return target; }
};

template <class Conv>
inline void write_back(Conv c, Scratch<Conv>& tmp) {
    c.out = tmp.value;
}
inline void write_back(PyIntConv, Scratch<PyIntConv>&) {}

template <std::size_t N, std::size_t... I, class... Conv>
[[gnu::always_inline]] inline bool parse_copied(const Sig<N>& s, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames,
                                                std::index_sequence<I...>, Conv... conv) {
    std::tuple<Scratch<Conv>...> tmp{Scratch<Conv>(conv)...};
    if (!parse_general(s, args, nargs, kwnames, std::get<I>(tmp).conv()...)) return false;
    (write_back(conv, std::get<I>(tmp)), ...);
    return true;
}

}  // namespace detail

// Binds the call's arguments to `s` and converts each given one with its converter, in parameter
// order. Omitted optional parameters get the declared default.
//
// The common call, positional only with arguments of the usual exact types, is a count check and
// a type test per argument. Anything else (keywords, conversions through __float__ or __int__,
// errors) starts over on the general route; the direct reads have no side effects, so the retry
// is invisible.
template <std::size_t N, class... Conv>
[[gnu::always_inline]] inline bool parse(const Sig<N>& s, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, Conv... conv) {
    static_assert(sizeof...(Conv) == N, "one converter per declared parameter");
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (kwnames == nullptr && given <= N && given >= s.required) [[likely]] {
        if constexpr (N == 0) {
            return true;
        } else {
            if (detail::read_given(s, args, given, std::index_sequence_for<Conv...>{}, conv...)) {
                return true;
            }
            // What is known here need not be kept for the retry.
            const Py_ssize_t n = s.required == N ? static_cast<Py_ssize_t>(N) : nargs;
            return detail::parse_copied(s, args, n, nullptr, std::index_sequence_for<Conv...>{},
                                        conv...);
        }
    }
    return detail::parse_copied(s, args, nargs, kwnames, std::index_sequence_for<Conv...>{},
                                conv...);
}

// The binding of a callable without parameters that cannot be METH_NOARGS (METH_METHOD ones),
// with parse's messages.
inline bool no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 0 && nkw == 0) [[likely]] return true;
    if (nargs > 0) {
        detail::err_too_many(name, 0, 0, nargs + nkw);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
    }
    return false;
}

// Binds tp_init/tp_new style (args tuple, kwargs dict) through the same declaration.
template <std::size_t N, class... Conv>
inline bool parse_tuple(const Sig<N>& s, PyObject* args, PyObject* kwargs, Conv... conv) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return parse(s, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, conv...);
    }
    // Flatten into the vectorcall layout: positionals, then keyword values, names in a tuple.
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!names) return false;
    PyObject* stack_small[8];
    PyObject** stack = stack_small;
    if (nargs + nkw > 8) {
        stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * (nargs + nkw)));
        if (stack == nullptr) {
            PyErr_NoMemory();
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(names.get(), k, key);
        stack[nargs + k] = value;
        ++k;
    }
    bool ok = parse(s, stack, nargs, names.get(), conv...);
    if (stack != stack_small) PyMem_Free(stack);
    return ok;
}

}  // namespace vk
