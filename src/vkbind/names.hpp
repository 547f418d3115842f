// A module's interned names: one X-macro list gives the enum of indexes, the texts, and the
// vk::Names array created at exec. Apart from the module machinery, so that code needing only
// names (the lock sections) does not pull it in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace vk {

// A module's interned names, from one X-macro list of (identifier, text):
//
//     #define MOD_NAMES(X) X(time, "time") X(ratio_format, ".1f")
//     VK_NAMES(MOD_NAMES);                 // enum Name {s_time, s_ratio_format, kNameCount},
//                                          // kNameText, and Names = vk::Names<kNameText>
//     struct ModuleState { Names names; ... };
//     ... st->names[s_time] ...            // a fixed index: one load, no lookup
//
// The state holding it is zero-filled by the interpreter, never constructed.
template <const auto& Texts>
class Names {
public:
    static constexpr std::size_t size = std::extent_v<std::remove_cvref_t<decltype(Texts)>>;

    PyObject* operator[](std::size_t i) const noexcept { return at_[i]; }
    // Creates every name; false with an exception set.
    bool init() {
        for (std::size_t i = 0; i < size; ++i) {
            at_[i] = PyUnicode_InternFromString(Texts[i]);
            if (at_[i] == nullptr) return false;
        }
        return true;
    }
    int traverse(visitproc, void*) const noexcept { return 0; }  // strs refer to nothing
    void clear() noexcept {
        for (PyObject*& s : at_) Py_CLEAR(s);
    }

private:
    PyObject* at_[size];
};

#define VK_NAME_ID(id, text) s_##id,
#define VK_NAME_TEXT(id, text) text,
#define VK_NAMES(LIST)                                                          \
    enum Name : int { LIST(VK_NAME_ID) kNameCount };                            \
    inline constexpr const char* kNameText[kNameCount] = {LIST(VK_NAME_TEXT)}; \
    using Names = ::vk::Names<kNameText>

}  // namespace vk
