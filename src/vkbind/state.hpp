// Module state and objects: the traverse/clear of everything a module or an object keeps, generated
// from one list each instead of written out per type, and the module's definition (VK_MODULE). The
// interned names a module reads (vk::Names, VK_NAMES) are in names.hpp, included here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <tuple>
#include <type_traits>

#include "module.hpp"
#include "names.hpp"

namespace vk {

// ---- traverse and clear from a list of what is owned -------------------------------------------
// A module state or an object lists the members it owns once,
// `auto owned() { return std::tie(a, b, ...); }`: object and type pointers, arrays of them,
// members with an owned() list of their own (vk::LockSupport) and members with traverse/clear of
// their own (vk::Names). Borrowed pointers stay out of the list. Visiting objects that are not
// garbage-collected (strs, ints) is harmless, so everything listed is visited.

namespace detail {

template <class Tuple>
int traverse_all(Tuple owned, visitproc visit, void* arg);
template <class Tuple>
void clear_all(Tuple owned);

template <class T>
int traverse_owned(T& f, visitproc visit, void* arg) {
    if constexpr (std::is_pointer_v<T>) {
        Py_VISIT(f);
        return 0;
    } else if constexpr (std::is_array_v<T>) {
        for (auto& e : f) {
            if (const int r = traverse_owned(e, visit, arg)) return r;
        }
        return 0;
    } else if constexpr (requires { f.owned(); }) {
        return traverse_all(f.owned(), visit, arg);
    } else {
        return f.traverse(visit, arg);
    }
}

template <class T>
void clear_owned(T& f) {
    if constexpr (std::is_pointer_v<T>) {
        Py_CLEAR(f);
    } else if constexpr (std::is_array_v<T>) {
        for (auto& e : f) clear_owned(e);
    } else if constexpr (requires { f.owned(); }) {
        clear_all(f.owned());
    } else {
        f.clear();
    }
}

template <class Tuple>
int traverse_all(Tuple owned, visitproc visit, void* arg) {
    return std::apply(
        [&](auto&... f) {
            int r = 0;
            ((r = r != 0 ? r : traverse_owned(f, visit, arg)), ...);
            return r;
        },
        owned);
}

template <class Tuple>
void clear_all(Tuple owned) {
    std::apply([](auto&... f) { (clear_owned(f), ...); }, owned);
}

template <class State>
int traverse_state(PyObject* m, visitproc visit, void* arg) {
    return traverse_all(state_of<State>(m)->owned(), visit, arg);
}

template <class State>
int clear_state(PyObject* m) {
    clear_all(state_of<State>(m)->owned());
    return 0;
}

}  // namespace detail

// An object's tp_traverse and tp_clear from Obj::owned(), in its order; traverse also visits the
// heap type, which its instances keep alive.
template <class Obj>
int traverse_object(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return detail::traverse_all(reinterpret_cast<Obj*>(self)->owned(), visit, arg);
}
template <class Obj>
int clear_object(PyObject* self) {
    detail::clear_all(reinterpret_cast<Obj*>(self)->owned());
    return 0;
}

// The module definition with traverse and clear generated from State::owned().
template <class State, int (*Exec)(PyObject*)>
PyModuleDef module_def(const char* name, const char* doc, PyMethodDef* methods = nullptr) {
    return module_def<State, Exec, detail::traverse_state<State>, detail::clear_state<State>>(
        name, doc, methods);
}

// The module's definition, `ns::module_def` (from ns::ModuleState and ns::module_exec), and its init
// function PyInit_<ns>. Written once at the end of the unit, outside the module's namespace; code
// that needs the definition earlier declares `extern PyModuleDef module_def;` in `ns`.
//
//     VK_MODULE(block_index, "velkora.memory.block_index", "Docstring.")
#define VK_MODULE(ns, dotted, doc)                                                           \
    namespace ns {                                                                           \
    PyModuleDef module_def = ::vk::module_def<ModuleState, module_exec>(dotted, doc);        \
    }                                                                                        \
    PyMODINIT_FUNC PyInit_##ns(void) { return PyModuleDef_Init(&ns::module_def); }

}  // namespace vk
