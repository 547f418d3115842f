// Parameter declarations: each callable declares its parameters once, defaults included:
//
//     constexpr auto kIncrement = vk::sig("increment", vk::arg("delta") = 1);
//
// The declaration gives the binding (parse.hpp: names, which are required, the value an omitted
// argument takes) and the text signature of the docstring (vk::def_method and friends in
// module.hpp), so introspection shows exactly what the binding does. Plain constexpr data: no
// Python API is called here.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

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

}  // namespace vk
