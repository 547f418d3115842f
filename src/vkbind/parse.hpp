// Argument binding for METH_FASTCALL | METH_KEYWORDS callables, from a declaration (sig.hpp) and
// one converter per parameter (convert.hpp), in parameter order, before any state is touched:
//
//     int64_t delta;                                     // 1 when omitted, from the declaration
//     if (!vk::parse(kIncrement, args, nargs, kwnames, vk::i64(delta))) return nullptr;
//
// The positional-only call is a count check followed by the direct reads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "ref.hpp"
#include "sig.hpp"

namespace vk {

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
