// Module and type set-up shared by every extension module: heap types, refusal of pickling and
// copying, binding interpreter modules into the namespace, the module logger.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "ref.hpp"
#include "sig.hpp"

namespace vk {

// The calling convention of every callable with parameters: vectorcall, keywords bound by vk::parse.
inline constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// Casts a METH_FASTCALL | METH_KEYWORDS (or any other) implementation for a PyMethodDef.
template <class F>
inline PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// ---- docstrings from declarations --------------------------------------------------------------
// The text signature ("name($self, /, a, b=8)\n--\n\n") is generated from the vk::sig declaration
// the binding uses, so the two cannot disagree. Docstrings are built when the module's shared object
// is loaded and kept for the process (method objects of every interpreter point at them).

namespace detail {

inline void append_default(std::string& out, const Default& d) {
    switch (d.kind) {
    case Default::Kind::Int: out += std::to_string(d.i); break;
    case Default::Kind::Bool: out += d.i ? "True" : "False"; break;
    case Default::Kind::None: out += "None"; break;
    case Default::Kind::Float: {
        // Shortest round-trip digits, as repr() writes them for the plain values defaults take.
        char buf[32];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d.f);
        std::string text(buf, end);
        if (text.find_first_of(".ein") == std::string::npos) text += ".0";
        out += text;
        break;
    }
    case Default::Kind::Required: break;
    }
}

// `receiver` is "$self", "$module" or nullptr (a class: its parameters are those of the call).
template <std::size_t N>
char* make_doc(const Sig<N>& s, const char* receiver, const char* body) {
    std::string out = s.name;
    out += '(';
    const char* sep = "";
    if (receiver != nullptr) {
        out += receiver;
        out += ", /";
        sep = ", ";
    }
    for (std::size_t i = 0; i < N; ++i) {
        out += sep;
        out += s.params[i];
        if (s.defaults[i].kind != Default::Kind::Required) {
            out += '=';
            append_default(out, s.defaults[i]);
        }
        sep = ", ";
    }
    out += ")\n--\n\n";
    out += body;
    char* kept = new char[out.size() + 1];  // never freed: see above
    std::memcpy(kept, out.c_str(), out.size() + 1);
    return kept;
}

using NoArgs = PyObject* (*)(PyObject*, PyObject*);
using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using FastcallMethod = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, size_t,
                                     PyObject*);

template <std::size_t N>
constexpr int flags_of(NoArgs) {
    static_assert(N == 0, "a METH_NOARGS implementation takes no parameters");
    return METH_NOARGS;
}
template <std::size_t>
constexpr int flags_of(Fastcall) { return fastcall; }
template <std::size_t>
constexpr int flags_of(FastcallMethod) { return METH_METHOD | fastcall; }
// The same with the count declared signed: a METH_METHOD callee gets the plain count, no flags.
template <std::size_t>
constexpr int flags_of(PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t,
                                     PyObject*)) {
    return METH_METHOD | fastcall;
}

template <std::size_t N, class F>
PyMethodDef make_def(const Sig<N>& s, F impl, const char* receiver, const char* body) {
    return PyMethodDef{s.name, method(impl), flags_of<N>(impl), make_doc(s, receiver, body)};
}

}  // namespace detail

// A PyMethodDef entry from the callable's declaration: its name, the flags its implementation's
// type calls for (METH_NOARGS, METH_FASTCALL | METH_KEYWORDS, with METH_METHOD where it takes the
// defining class) and the docstring with the generated text signature.
template <std::size_t N, class F>
PyMethodDef def_method(const Sig<N>& s, F impl, const char* body) {
    return detail::make_def(s, impl, "$self", body);
}
template <std::size_t N, class F>
PyMethodDef def_function(const Sig<N>& s, F impl, const char* body) {
    return detail::make_def(s, impl, "$module", body);
}
// A static method (METH_STATIC): no receiver.
template <std::size_t N, class F>
PyMethodDef def_static(const Sig<N>& s, F impl, const char* body) {
    PyMethodDef d = detail::make_def(s, impl, nullptr, body);
    d.ml_flags |= METH_STATIC;
    return d;
}
// The same for callables without parameters, named directly.
template <class F>
PyMethodDef def_method(const char* name, F impl, const char* body) {
    return def_method(sig(name), impl, body);
}
template <class F>
PyMethodDef def_function(const char* name, F impl, const char* body) {
    return def_function(sig(name), impl, body);
}

// A class's docstring (Py_tp_doc) with the text signature of its constructor's declaration.
template <std::size_t N>
char* class_doc(const Sig<N>& s, const char* body) {
    return detail::make_doc(s, nullptr, body);
}

template <class S>
inline S* state_of(PyObject* module) {
    return static_cast<S*>(PyModule_GetState(module));
}
template <class S>
inline S* state_of_type(PyTypeObject* defining_class) {
    return static_cast<S*>(PyType_GetModuleState(defining_class));
}

// ---- pickling and copying ----------------------------------------------------------------------

inline PyObject* refuse_pickling(PyObject* self, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

// Three PyMethodDef entries; copy.copy and copy.deepcopy go through __reduce_ex__ and fail too.
#define VK_REFUSE_PICKLING                                                                    \
    {"__reduce__", ::vk::method(::vk::refuse_pickling), METH_VARARGS | METH_KEYWORDS, nullptr}, \
        {"__reduce_ex__", ::vk::method(::vk::refuse_pickling), METH_VARARGS | METH_KEYWORDS,    \
         nullptr},                                                                             \
        {"__setstate__", ::vk::method(::vk::refuse_pickling), METH_VARARGS | METH_KEYWORDS,     \
         nullptr}

// `Cls[T]` at run time for a class its stub declares generic: a types.GenericAlias, as for list.
#define VK_CLASS_GETITEM                                                                      \
    {"__class_getitem__", ::vk::method(Py_GenericAlias), METH_O | METH_CLASS,                 \
     "See PEP 585"}

// ---- heap types --------------------------------------------------------------------------------

// The methods of a type that has none of its own: every type refuses pickling and copying.
inline PyMethodDef refusal_only[] = {
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

// Deallocation of a heap type instance without object fields.
inline void dealloc_plain(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Deallocation of a garbage-collected heap type instance: untrack, clear the fields, free.
inline void dealloc_gc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (tp->tp_clear != nullptr) tp->tp_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The same for instances that can hold chains of their own kind (a slot holding a slot): the
// interpreter's container-destruction guard bounds the recursion. `Clear` is the type's own clear
// (called as it is, also for subclass instances), or a release that also frees native storage.
template <inquiry Clear>
void dealloc_gc_nested(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, dealloc_gc_nested<Clear>)
    Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// A heap type in one declaration, written with designated initializers; its slots and spec are
// generated. A type with `traverse` is garbage-collected (Py_TPFLAGS_HAVE_GC) and, unless it says
// otherwise, deallocated by dealloc_gc; one without, by dealloc_plain. `flags` are added to
// Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE.
struct TypeDef {
    const char* name;  // dotted; kept by the type, so a literal
    std::size_t size;
    unsigned long flags = 0;
    const char* doc = nullptr;
    newfunc new_ = PyType_GenericNew;
    initproc init = nullptr;
    traverseproc traverse = nullptr;
    inquiry clear = nullptr;
    destructor dealloc = nullptr;
    PyMethodDef* methods = refusal_only;
    PyGetSetDef* getset = nullptr;
    reprfunc repr = nullptr;
    lenfunc length = nullptr;
    inquiry boolean = nullptr;
};

// Creates the heap type `def` describes, bound to the module, and adds it under its short name.
// `out` gets a new reference for the module state.
inline bool add_type(PyObject* module, const TypeDef& def, PyTypeObject** out,
                     PyObject* bases = nullptr) {
    std::array<PyType_Slot, 14> slots{};
    std::size_t n = 0;
    auto put = [&](int id, const void* p) {
        if (p != nullptr) slots[n++] = {id, const_cast<void*>(p)};
    };
    auto fn = [](auto f) { return reinterpret_cast<const void*>(f); };
    const bool gc = def.traverse != nullptr;
    destructor dealloc = def.dealloc ? def.dealloc : gc ? dealloc_gc : dealloc_plain;
    put(Py_tp_doc, def.doc);
    put(Py_tp_new, fn(def.new_));
    put(Py_tp_init, fn(def.init));
    put(Py_tp_traverse, fn(def.traverse));
    put(Py_tp_clear, fn(def.clear));
    put(Py_tp_dealloc, fn(dealloc));
    put(Py_tp_methods, def.methods);
    put(Py_tp_getset, def.getset);
    put(Py_tp_repr, fn(def.repr));
    put(Py_mp_length, fn(def.length));
    put(Py_nb_bool, fn(def.boolean));
    PyType_Spec spec{def.name, static_cast<int>(def.size), 0,
                     static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
                                               def.flags | (gc ? Py_TPFLAGS_HAVE_GC : 0)),
                     slots.data()};
    PyObject* t = PyType_FromModuleAndSpec(module, &spec, bases);
    if (t == nullptr) return false;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(t)) < 0) {
        Py_DECREF(t);
        return false;
    }
    *out = reinterpret_cast<PyTypeObject*>(t);
    return true;
}

// Binds class attributes `alias` to the very same objects as `name` (e.g. py_load -> load).
inline bool alias_attributes(PyTypeObject* type,
                             std::initializer_list<std::pair<const char*, const char*>> pairs) {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    for (auto [alias, name] : pairs) {
        Ref v = Ref::steal(PyObject_GetAttrString(t, name));
        if (!v || PyObject_SetAttrString(t, alias, v.get()) < 0) return false;
    }
    return true;
}

// ---- module definition -------------------------------------------------------------------------

namespace detail {
template <inquiry Clear>
void module_free(void* m) {
    Clear(static_cast<PyObject*>(m));
}
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot exec_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything a module keeps lives in its state and heap types, so each interpreter has its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The lock shortcuts and the tree's writers rely on the interpreter lock: a free-threaded build
    // turns it back on when a module is imported.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};
}  // namespace detail

// A multi-phase module definition: the exec slot, the state's size, and traverse/clear of the state
// (clear also runs when the module is freed). Functions are added in exec or passed as `methods`.
//
//     PyModuleDef module_def = vk::module_def<ModuleState, module_exec, module_traverse,
//                                             module_clear>("pkg.mod", "Doc.");
template <class State, int (*Exec)(PyObject*), traverseproc Traverse, inquiry Clear>
PyModuleDef module_def(const char* name, const char* doc, PyMethodDef* methods = nullptr) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        static_cast<Py_ssize_t>(sizeof(State)),
        methods,
        detail::exec_slots<Exec>,
        Traverse,
        Clear,
        detail::module_free<Clear>,
    };
}

// ---- module namespace --------------------------------------------------------------------------

// Adds `value` (a new reference, stolen even on failure; nullptr passes an error through) under
// `name`. PyModule_Add itself only exists from 3.13.
inline bool module_add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    int rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc == 0;
}

// `import name` (bound as `as`, or the module's last dotted component).
inline bool import_module(PyObject* module, const char* name, const char* as = nullptr) {
    PyObject* m = PyImport_ImportModule(name);
    if (m == nullptr) return false;
    const char* bind = as;
    if (bind == nullptr) {
        bind = name;
        for (const char* p = name; *p; ++p) {
            if (*p == '.') bind = p + 1;
        }
    }
    return module_add(module, bind, m);
}

// `from name import a, b, ...`
inline bool import_names(PyObject* module, const char* name,
                         std::initializer_list<const char*> names) {
    Ref m = Ref::steal(PyImport_ImportModule(name));
    if (!m) return false;
    for (const char* n : names) {
        PyObject* v = PyObject_GetAttrString(m.get(), n);
        if (v == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, name);
            }
            return false;
        }
        if (!module_add(module, n, v)) return false;
    }
    return true;
}

// Runs Python source in the module's namespace (for plain Python-level classes the module must
// define, with their introspectable signatures).
inline bool run_source(PyObject* module, const char* source) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (PyDict_GetItemString(dict, "__builtins__") == nullptr) {
        if (PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) < 0) return false;
    }
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    Ref filename = Ref::steal(PyUnicode_FromFormat("<%U>", name.get()));
    if (!filename) return false;
    Ref code = Ref::steal(Py_CompileStringObject(source, filename.get(), Py_file_input, nullptr, -1));
    if (!code) return false;
    Ref r = Ref::steal(PyEval_EvalCode(code.get(), dict, dict));
    return static_cast<bool>(r);
}

// A plain Python function `s.name` in the module namespace, for a callable whose introspection must
// be a Python function's (__defaults__, __annotations__). Its parameters and defaults are the
// declaration's, `annotations` holds one string per parameter and then the return annotation, and
// its body passes every argument, positionally, to the native `worker` (bound to the module).
template <std::size_t N>
bool add_python_function(PyObject* module, const Sig<N>& s,
                         const std::array<const char*, N + 1>& annotations, const char* doc,
                         PyMethodDef* worker) {
    std::string src = "def _vk_make(_worker):\n    def ";
    std::string call;
    src += s.name;
    src += '(';
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) {
            src += ", ";
            call += ", ";
        }
        src += s.params[i];
        src += ": \"";
        src += annotations[i];
        src += '"';
        if (s.defaults[i].kind != Default::Kind::Required) {
            src += " = ";
            detail::append_default(src, s.defaults[i]);
        }
        call += s.params[i];
    }
    src += ") -> \"";
    src += annotations[N];
    src += "\":\n        \"\"\"";
    src += doc;  // plain text: no quotes or backslashes
    src += "\"\"\"\n        return _worker(" + call + ")\n    ";
    src += s.name;
    src += ".__qualname__ = \"";
    src += s.name;
    src += "\"\n    return ";
    src += s.name;
    src += '\n';
    if (!run_source(module, src.c_str())) return false;
    Ref make = Ref::steal(PyObject_GetAttrString(module, "_vk_make"));
    if (!make || PyObject_DelAttrString(module, "_vk_make") < 0) return false;
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    Ref native = name ? Ref::steal(PyCFunction_NewEx(worker, module, name.get())) : Ref();
    if (!native) return false;
    return module_add(module, s.name, PyObject_CallOneArg(make.get(), native.get()));
}

// `import logging; logger = logging.getLogger(__name__)`.
inline bool bind_logger(PyObject* module) {
    if (!import_module(module, "logging")) return false;
    Ref logging = Ref::steal(PyObject_GetAttrString(module, "logging"));
    Ref name = logging ? Ref::steal(PyModule_GetNameObject(module)) : Ref();
    if (!name) return false;
    return module_add(module, "logger",
                      PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
}

// `logger.info(message)` on the module's logger.
inline bool log_info(PyObject* module, const char* message) {
    Ref logger = Ref::steal(PyObject_GetAttrString(module, "logger"));
    if (!logger) return false;
    Ref r = Ref::steal(PyObject_CallMethod(logger.get(), "info", "s", message));
    return static_cast<bool>(r);
}

// Binds the module's logger, then logs `message`: the line a module writes once it has loaded.
inline bool log_loaded(PyObject* module, const char* message) {
    return bind_logger(module) && log_info(module, message);
}

}  // namespace vk
