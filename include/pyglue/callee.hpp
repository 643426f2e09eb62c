// The C++ side of a Function: typed callees, closures (capture) and C-interface callees.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// The C++ side of a Function: receives the bound arguments, borrowed, in parameter order (and the
// *args tuple and **kwargs dict where the list has them) and returns a new reference, or null
// with a Python exception set. It owns nothing across the call beyond what the implementation
// itself holds.
//
// What the callee holds (a closure's captured objects) it shows the collector through traverse()
// and clear(), as a `def`'s closure cells are seen.
class Callee : public Traversable {
public:
    virtual PyObject* call(PyObject* const* args, PyObject* star_args, PyObject* star_kwargs) = 0;
    int traverse(visitproc, void*) override { return 0; }
    void clear() override {}
};

// Names of the *args and **kwargs parameters where they are not "args" and "kwargs".
struct var_args {
    const char* name;
};
struct var_kwargs {
    const char* name;
};

namespace detail {

template <class T, class = void>
struct has_traverse : std::false_type {};
template <class T>
struct has_traverse<
    T, std::void_t<decltype(std::declval<T&>().traverse(std::declval<visitproc>(), std::declval<void*>()))>>
    : std::true_type {};

template <class T>
constexpr bool is_var_args = std::is_same<compat::intrinsic_t<T>, py::args>::value;
template <class T>
constexpr bool is_var_kwargs = std::is_same<compat::intrinsic_t<T>, py::kwargs>::value;

// Calls a C++ callable whose parameters pybind11 can cast, one per parameter of the list in order,
// with py::args / py::kwargs parameters taking *args / **kwargs.
template <class F, class Sig>
class TypedCallee;

template <class F, class R, class... Args>
class TypedCallee<F, R(Args...)> final : public Callee {
public:
    // A callable that holds state must show the collector what it holds: a function pointer or a
    // lambda that captures nothing holds nothing; anything else has traverse() and clear()
    // (pyglue::capture makes such a callable of a lambda and the objects it closes over).
    static_assert(std::is_empty_v<F> || std::is_pointer_v<F> || has_traverse<F>::value,
                  "a callee that holds state must say what it holds: use pyglue::capture");

    explicit TypedCallee(F f) : f_(std::move(f)) {}

    PyObject* call(PyObject* const* args, PyObject* star_args, PyObject* star_kwargs) override {
        return boundary(
            [&] { return invoke(args, star_args, star_kwargs, std::index_sequence_for<Args...>()); });
    }

    int traverse(visitproc visit, void* arg) override {
        if constexpr (has_traverse<F>::value) return f_.traverse(visit, arg);
        return 0;
    }
    void clear() override {
        if constexpr (has_traverse<F>::value) f_.clear();
    }

    static constexpr bool takes_var_args = (false || ... || is_var_args<Args>);
    static constexpr bool takes_var_kwargs = (false || ... || is_var_kwargs<Args>);
    // The number of plain parameters, and how many of them come before a py::args one (those
    // after it are keyword-only, as in a `def`).
    static constexpr size_t plain_count() {
        return (0 + ... + (is_var_args<Args> || is_var_kwargs<Args> ? 0 : 1));
    }
    static constexpr size_t plain_before_var_args() {
        size_t count = 0;
        bool seen = false;
        ((seen = seen || is_var_args<Args>, count += (!seen && !is_var_kwargs<Args>) ? 1 : 0), ...);
        return count;
    }

private:
    template <class A>
    static PyObject* source(PyObject* const* args, size_t& next, PyObject* star_args, PyObject* star_kwargs) {
        if constexpr (is_var_args<A>)
            return star_args;
        else if constexpr (is_var_kwargs<A>)
            return star_kwargs;
        else
            return args[next++];
    }

    template <size_t... I>
    PyObject* invoke([[maybe_unused]] PyObject* const* args, [[maybe_unused]] PyObject* star_args,
                     [[maybe_unused]] PyObject* star_kwargs, std::index_sequence<I...>) {
        std::tuple<compat::caster<Args>...> casters;
        [[maybe_unused]] size_t next = 0;
        [[maybe_unused]] PyObject* sources[sizeof...(Args) + 1] = {
            source<Args>(args, next, star_args, star_kwargs)...};
        bool ok = (true && ... && std::get<I>(casters).load(sources[I], true));
        if (!ok) {
            PyErr_SetString(PyExc_TypeError, "an argument has a type this function cannot take");
            return nullptr;
        }
        PyObject* result;
        if constexpr (std::is_void<R>::value) {
            f_(compat::cast_op<Args>(std::move(std::get<I>(casters)))...);
            result = py::none().release().ptr();
        } else {
            result = compat::caster<R>::cast(f_(compat::cast_op<Args>(std::move(std::get<I>(casters)))...),
                                             py::return_value_policy::move, py::handle())
                         .ptr();
        }
        // The arguments' references go here, in ordinary code, not in the casters' destructors.
        (drop_caster<Args>(std::get<I>(casters)), ...);
        return result;
    }

    template <class A, class C>
    static void drop_caster(C& caster) {
        using T = compat::intrinsic_t<A>;
        if constexpr (std::is_base_of_v<py::object, T>) {
            T held = static_cast<T&&>(std::move(caster));
            drop(held);
        }
    }

    F f_;
};

// The callee pyglue::capture makes: `f` (a lambda that captures nothing, or a function) called
// with the held objects first, then the call's own arguments.
template <class F, class R, class Held, class Rest>
class Capture;

template <class F, class R, class... H, class... A>
class Capture<F, R, std::tuple<H...>, std::tuple<A...>> {
public:
    explicit Capture(F f, H... held) : f_(std::move(f)), held_(std::move(held)...) {}

    R operator()(A... args) {
        return std::apply([&](auto&... held) -> R { return f_(held..., std::forward<A>(args)...); }, held_);
    }
    int traverse(visitproc visit, void* arg) {
        return std::apply([&](const auto&... held) { return visit_members(visit, arg, held...); }, held_);
    }
    void clear() {
        std::apply([](auto&... held) { drop_members(held...); }, held_);
    }

private:
    F f_;
    std::tuple<H...> held_;
};

// The return type of R(P...) and its parameters after the first N.
template <size_t N, class Sig>
struct SplitSignature;
template <size_t N, class R, class... P>
struct SplitSignature<N, R(P...)> {
    static_assert(N <= sizeof...(P), "the lambda takes fewer parameters than it is given to hold");
    template <size_t... I>
    static std::tuple<std::tuple_element_t<N + I, std::tuple<P...>>...> rest(std::index_sequence<I...>);
    using Rest = decltype(rest(std::make_index_sequence<sizeof...(P) - N>()));
    using Return = R;
};

// Gathers a parameter list from pybind11's annotations.
class SignatureBuilder {
public:
    std::vector<std::pair<std::string, py::object>> args;  // name, default (or null)
    size_t posonly = 0;
    size_t kwonly_from = static_cast<size_t>(-1);
    std::string doc;
    bool has_doc = false;

    void add(const py::arg_v& a) { args.emplace_back(a.name ? a.name : "", a.value); }
    void add(const py::arg& a) { args.emplace_back(a.name ? a.name : "", py::object()); }
    void add(const py::pos_only&) { posonly = args.size(); }
    void add(const py::kw_only&) { kwonly_from = args.size(); }
    void add(const char* d) { doc = d, has_doc = true; }
    void add(const py::doc& d) { doc = d.value, has_doc = true; }
    void add(const py::name&) {}
    void add(const py::is_method&) {}
    void add(const py::sibling&) {}
    void add(const py::scope&) {}
    void add(py::return_value_policy) {}
    void add(const var_args& v) { var_args_name = v.name; }
    void add(const var_kwargs& v) { var_kwargs_name = v.name; }
    std::string var_args_name = "args";
    std::string var_kwargs_name = "kwargs";
};

}  // namespace detail

// What a Function is made of: the parameter list and the C++ callee.
struct FunctionParts {
    std::unique_ptr<Signature> signature;
    std::unique_ptr<Callee> callee;
    std::string doc;
    bool has_doc = false;
};

// Builds the parts for a C++ callable `f` and its annotations; `self` prepends the parameter
// `self` (a method).
template <class F, class... Extra>
FunctionParts function_parts(F&& f, bool self, const Extra&... extra) {
    using Fn = std::decay_t<F>;
    using Sig = compat::function_signature_t<Fn>;
    using Impl = detail::TypedCallee<Fn, Sig>;
    detail::SignatureBuilder b;
    (b.add(extra), ...);
    FunctionParts parts;
    parts.signature = std::make_unique<Signature>();
    parts.doc = b.doc;
    parts.has_doc = b.has_doc;
    Signature& s = *parts.signature;
    constexpr size_t plain = Impl::plain_count();
    size_t named = plain - (self ? 1 : 0);
    if (!b.args.empty() && b.args.size() != named)
        throw std::logic_error("the parameter names do not match the function's parameters");
    size_t offset = self ? 1 : 0;
    if (self) s.add("self", nullptr, false);
    size_t kwonly_from = b.kwonly_from;
    if (Impl::takes_var_args && Impl::plain_before_var_args() - offset < kwonly_from)
        kwonly_from = Impl::plain_before_var_args() - offset;
    for (size_t i = 0; i < named; ++i) {
        std::string name = b.args.empty() ? "arg" + std::to_string(i) : b.args[i].first;
        PyObject* def = b.args.empty() ? nullptr : b.args[i].second.ptr();
        s.add(name.c_str(), def, i >= kwonly_from);
    }
    if (b.posonly) s.set_posonly(b.posonly + offset);
    if (Impl::takes_var_args) s.set_var_args(b.var_args_name);
    if (Impl::takes_var_kwargs) s.set_var_kwargs(b.var_kwargs_name);
    s.finish();
    parts.callee = std::make_unique<Impl>(std::forward<F>(f));
    return parts;
}

// A callee for the lambda `f` that closes over `held...`: `f` captures nothing and takes the held
// objects as its first parameters, then the call's arguments. The held objects stay where the
// collector sees them, as a `def`'s closure cells are, so a cycle through them is collected:
//     make_function(m, "outer.<locals>.inner",
//                   capture([](py::object fn, py::object x) { return fn(x); }, fn), py::arg("x"));
// `f` may also be a function whose first parameters take the held values, which binds it
// directly with them, as functools.partial would (its parameter list is then written once):
//     def(m, "subscribe", capture(&topic_call, std::cref(N::subscribe)), py::arg("contract"));
template <class F, class... H>
auto capture(F f, H... held) {
    static_assert(std::is_empty_v<F> || std::is_function_v<std::remove_pointer_t<F>>,
                  "the lambda given to capture takes what it holds as parameters");
    using Split = detail::SplitSignature<sizeof...(H), compat::function_signature_t<F>>;
    return detail::Capture<F, typename Split::Return, std::tuple<H...>, typename Split::Rest>(
        std::move(f), std::move(held)...);
}

// A callee written against the C interface, for code that must keep no C++ object owning a
// Python reference on its stack (a daemon thread's frames, unwound at interpreter exit): it gets
// the bound arguments borrowed and returns a new reference, or null with an exception set.
using RawFunction = PyObject* (*)(PyObject* const* args, PyObject* star_args, PyObject* star_kwargs);

class RawCallee final : public Callee {
public:
    explicit RawCallee(RawFunction f) : f_(f) {}
    PyObject* call(PyObject* const* args, PyObject* star_args, PyObject* star_kwargs) override {
        return f_(args, star_args, star_kwargs);
    }

private:
    RawFunction f_;
};

// The parts of a C-interface function with plain required parameters `names`.
inline FunctionParts raw_function_parts(RawFunction f, std::initializer_list<const char*> names,
                                        const char* doc) {
    FunctionParts parts;
    parts.signature = std::make_unique<Signature>();
    for (const char* n : names) parts.signature->add(n, nullptr, false);
    parts.signature->finish();
    parts.callee = std::make_unique<RawCallee>(f);
    if (doc) {
        parts.doc = doc;
        parts.has_doc = true;
    }
    return parts;
}

}  // namespace pyglue
