// glue_probe: a few functions, coroutines and generators made with the shared glue, for the tests
// that hold the glue's objects against the interpreter's own (tests/test_glue_objects.py). Each
// one has a `def`, `async def` or generator twin written in Python in that test. Built with every
// build (the sanitized one too) into this folder; it is not part of the package.
#include "pyglue.hpp"

#include <string>
#include <utility>

namespace py = pybind11;

namespace {

using pyglue::Coroutine;
using Step = Coroutine::Step;

// How the machines' steps raise: by a C++ throw (pyglue::raise), or, while the tests ask for it
// (fail_by_step), by answering Step::fail. The two must end a machine the same way.
bool g_fail_by_step = false;

Step fail(py::object exc) {
    if (g_fail_by_step) return Step::fail(std::move(exc));
    pyglue::raise(exc);
}

Step fail(PyObject* type, const char* message) {
    return fail(py::reinterpret_borrow<py::object>(type)(py::str(message)));
}

// The coroutines' C++ members are Python objects the collector must see: each machine visits
// every member and drops it on clear, next to the members themselves.

// `async def returns(value): return value`
class Returns : public Coroutine {
public:
    explicit Returns(py::object value) : Coroutine("returns"), value_(std::move(value)) {}

    int traverse(visitproc visit, void* arg) override { return pyglue::visit_members(visit, arg, value_); }
    void clear() override { pyglue::drop_members(value_); }

protected:
    Step step(py::object, py::object exc) override {
        if (!exc.is_none()) return fail(exc);
        return Step::finish(value_);
    }

private:
    py::object value_;
};

// `async def awaits(aw): return await aw`, and `async def holds(obj, aw): await aw; return obj`:
// awaits `awaitable`, then returns what it gave (or `held` when there is one).
class Awaits : public Coroutine {
public:
    Awaits(const char* qualname, py::object awaitable, py::object held = py::object())
        : Coroutine(qualname), awaitable_(std::move(awaitable)), held_(std::move(held)) {}

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, awaitable_, held_);
    }
    void clear() override { pyglue::drop_members(awaitable_, held_); }

protected:
    Step step(py::object value, py::object exc) override {
        if (!exc.is_none()) return fail(exc);
        if (!awaited_) {
            awaited_ = true;
            return Step::await_on(awaitable_);
        }
        return Step::finish(held_ ? held_ : value);
    }

private:
    py::object awaitable_;
    py::object held_;
    bool awaited_ = false;
};

// async def catches(aw, mode, then=None):
//     try:
//         return await aw
//     except BaseException as e:
//         if mode == "return": return "caught " + type(e).__name__
//         if mode == "raise": raise KeyError("replaced")
//         return await then
class Catches : public Coroutine {
public:
    Catches(py::object awaitable, std::string mode, py::object then)
        : Coroutine("catches"),
          awaitable_(std::move(awaitable)),
          mode_(std::move(mode)),
          then_(std::move(then)) {}

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, awaitable_, then_);
    }
    void clear() override { pyglue::drop_members(awaitable_, then_); }

protected:
    Step step(py::object value, py::object exc) override {
        switch (at_) {
        case At::Start:
            if (!exc.is_none()) return fail(exc);
            at_ = At::Trying;
            return Step::await_on(awaitable_);
        case At::Trying:
            if (exc.is_none()) return Step::finish(value);
            if (mode_ == "return")
                return Step::finish(py::str("caught {}").format(py::type::handle_of(exc).attr("__name__")));
            if (mode_ == "raise") return fail(PyExc_KeyError, "replaced");
            at_ = At::Handling;
            return Step::await_on(then_);
        case At::Handling:
            break;
        }
        if (!exc.is_none()) return fail(exc);
        return Step::finish(value);
    }

private:
    enum class At { Start, Trying, Handling };
    py::object awaitable_;
    std::string mode_;
    py::object then_;
    At at_ = At::Start;
};

// `async def stops(): raise StopIteration("inside")`
class Stops : public Coroutine {
public:
    Stops() : Coroutine("stops") {}

protected:
    int traverse(visitproc, void*) override { return 0; }  // holds nothing
    void clear() override {}

    Step step(py::object, py::object exc) override {
        if (!exc.is_none()) return fail(exc);
        return fail(PyExc_StopIteration, "inside");
    }
};

// `def yields(items): for x in items: yield x`, and with `stop`
// `def gen_stops(items): yield from items; raise StopIteration("inside")`.
class Yields : public Coroutine {
public:
    Yields(const char* qualname, py::object items, bool stop)
        : Coroutine(qualname, Kind::Generator), items_(std::move(items)), stop_(stop) {}

    int traverse(visitproc visit, void* arg) override { return pyglue::visit_members(visit, arg, items_); }
    void clear() override { pyglue::drop_members(items_); }

protected:
    Step step(py::object, py::object exc) override {
        if (!exc.is_none()) return fail(exc);
        if (next_ < py::len(items_)) return Step::yield(items_[py::int_(next_++)]);
        if (stop_) return fail(PyExc_StopIteration, "inside");
        return Step::finish();
    }

private:
    py::object items_;
    bool stop_;
    size_t next_ = 0;
};

// Functions bound directly, without a lambda between them and the binder: their parameters are
// borrowed, and `held` is the value a captured function is given before the call's arguments.
py::tuple direct(py::handle a, py::handle b, const py::kwargs& kwargs) {
    return py::make_tuple(a, b, kwargs);
}
py::tuple held_first(py::handle held, py::handle x) { return py::make_tuple(held, x); }
py::tuple named_method(const std::string& held, py::handle self, py::handle x) {
    return py::make_tuple(held, self, x);
}

// pyglue::call_method(obj, name, *args) with zero to two object arguments (the interpreter's
// method call), and the same call made as getattr then call: the two must agree in everything.
py::object call_method_as(bool general, py::object obj, py::str name, py::args args) {
    PyObject* n = pyglue::require(PyUnicode_FromObject(name.ptr()));
    PyUnicode_InternInPlace(&n);  // takes the reference, gives one to the interned text
    py::object interned = pyglue::steal(n);
    const Py_ssize_t count = PyTuple_GET_SIZE(args.ptr());
    if (general) return pyglue::attr(obj, n)(*args);
    switch (count) {
    case 0:
        return pyglue::call_method(obj, n);
    case 1:
        return pyglue::call_method(obj, n, py::object(args[0]));
    default:
        return pyglue::call_method(obj, n, py::object(args[0]), py::object(args[1]));
    }
}

template <class F, class... Extra>
void coroutine_function(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    pyglue::mark_coroutine_function(pyglue::def(m, name, std::forward<F>(f), extra...));
}

}  // namespace

PYBIND11_MODULE(glue_probe, m) {
    pyglue::set_module(m);

    // The method call of the glue, and whether its reference release reads the interpreter's
    // finalisation word inline (found at this module's initialisation).
    pyglue::def(
        m, "call_method",
        [](py::object obj, py::str name, py::args args) { return call_method_as(false, obj, name, args); },
        py::arg("obj"), py::arg("name"));
    pyglue::def(
        m, "call_attribute",
        [](py::object obj, py::str name, py::args args) { return call_method_as(true, obj, name, args); },
        py::arg("obj"), py::arg("name"));
    pyglue::def(
        m, "fail_by_step",
        [](bool on) {
            g_fail_by_step = on;
            return py::none();
        },
        py::arg("on"));
    pyglue::def(m, "release_inline", [] { return py::bool_(pyglue::compat::finalizing_word != nullptr); });

    // Functions: positional parameters, defaults and keyword-only ones, *args and **kwargs.
    pyglue::def(
        m, "positional", [](py::object a, py::object b) { return py::make_tuple(a, b); }, py::arg("a"),
        py::arg("b"));
    pyglue::def(
        m, "defaults", [](py::object a, py::object b, py::object c) { return py::make_tuple(a, b, c); },
        py::arg("a"), py::arg("b") = 2, py::kw_only(), py::arg("c") = 3);
    pyglue::def(
        m, "varargs",
        [](py::object a, py::args args, py::kwargs kwargs) { return py::make_tuple(a, args, kwargs); },
        py::arg("a"));

    // A list longer than the binder keeps on its stack: positional-only, defaults, *args,
    // keyword-only with and without defaults, **kwargs.
    pyglue::def(
        m, "many",
        [](py::object p0, py::object p1, py::object a, py::object b, py::object c, py::object d, py::object e,
           py::object f, py::object g, py::object h, py::args args, py::object k, py::object l, py::object n,
           py::object o, py::object q, py::object r, py::object w, py::kwargs kwargs) {
            return py::make_tuple(p0, p1, a, b, c, d, e, f, g, h, args, k, l, n, o, q, r, w, kwargs);
        },
        py::arg("p0"), py::arg("p1"), py::pos_only(), py::arg("a"), py::arg("b"), py::arg("c"),
        py::arg("d") = 4, py::arg("e") = 5, py::arg("f") = 6, py::arg("g") = 7, py::arg("h") = 8,
        py::arg("k"), py::arg("l") = 11, py::arg("n"), py::arg("o") = 14, py::arg("q") = 15,
        py::arg("r") = 16, py::arg("w"));

    // Functions made at each call, as a nested `def` is: a plain one, one whose callee captured
    // `obj`, and one whose default is `obj`.
    pyglue::def(m, "fresh", [] {
        return pyglue::make_function(pyglue::this_module(), "fresh.<locals>.f",
                                     [](py::args args) { return args; });
    });
    pyglue::def(
        m, "capture",
        [](py::object obj) {
            return pyglue::make_function(pyglue::this_module(), "capture.<locals>.f",
                                         pyglue::capture([](py::object held) { return held; }, obj));
        },
        py::arg("obj"));
    pyglue::def(
        m, "with_default",
        [](py::object obj) {
            return pyglue::make_function(
                pyglue::this_module(), "with_default.<locals>.f", [](py::object x) { return x; },
                py::arg("x") = obj);
        },
        py::arg("obj"));

    pyglue::def(m, "direct", &direct, py::arg("a"), py::arg("b") = 2);
    pyglue::def(
        m, "bound",
        [](py::object obj) {
            return pyglue::make_function(pyglue::this_module(), "bound.<locals>.f",
                                         pyglue::capture(&held_first, obj), py::arg("x"));
        },
        py::arg("obj"));

    // A method of a plain class, reachable by its qualified name `Box.get`, and one whose function
    // is given a held value first.
    pyglue::PlainClass box(m, "Box");
    box.def("get", [](py::object self) { return self; });
    box.def("named", pyglue::capture(&named_method, std::string("held")), py::arg("x"));

    coroutine_function(
        m, "returns", [](py::object value) { return Coroutine::make<Returns>(std::move(value)); },
        py::arg("value"));
    coroutine_function(
        m, "awaits", [](py::object aw) { return Coroutine::make<Awaits>("awaits", std::move(aw)); },
        py::arg("aw"));
    coroutine_function(
        m, "holds",
        [](py::object obj, py::object aw) {
            return Coroutine::make<Awaits>("holds", std::move(aw), std::move(obj));
        },
        py::arg("obj"), py::arg("aw"));
    coroutine_function(
        m, "catches",
        [](py::object aw, std::string mode, py::object then) {
            return Coroutine::make<Catches>(std::move(aw), std::move(mode), std::move(then));
        },
        py::arg("aw"), py::arg("mode"), py::arg("then") = py::none());
    coroutine_function(m, "stops", [] { return Coroutine::make<Stops>(); });

    pyglue::def(
        m, "yields",
        [](py::object items) { return Coroutine::make<Yields>("yields", std::move(items), false); },
        py::arg("items"));
    pyglue::def(
        m, "gen_stops",
        [](py::object items) { return Coroutine::make<Yields>("gen_stops", std::move(items), true); },
        py::arg("items"));
}
