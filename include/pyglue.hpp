// Python glue shared by every dorvane extension module.
//
//  * call-time look-ups: names that other code may replace are read through Python at each call;
//  * raise helpers: set a Python exception and unwind to the pybind11 boundary;
//  * Coroutine: a C++ state machine that speaks the coroutine protocol (send, throw, close,
//    __await__, __iter__, __next__) and delegates `await` to other awaitables;
//  * CFunction: a callable with an instance __dict__ and __get__, for coroutine functions that must
//    carry `_is_coroutine`, bind as methods or be decorated with functools.wraps;
//  * PlainClass: builds a plain Python class (base object or any Python base, instance __dict__,
//    __del__ on release) with type(name, bases, namespace) and fills it with C++ methods.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

// A module whose initialisation fails raises the exception that ended it, as a module written in
// Python does (a configuration parser's error stays a configparser.Error that callers can catch).
// pybind11's own entry point would replace it with ImportError("initialization failed") and keep
// the real error only as the cause; every module's PYBIND11_MODULE expands this handler instead.
#ifndef PYBIND11_CATCH_INIT_EXCEPTIONS
#error "pybind11 no longer defines PYBIND11_CATCH_INIT_EXCEPTIONS: review the module entry point"
#endif
#undef PYBIND11_CATCH_INIT_EXCEPTIONS
#define PYBIND11_CATCH_INIT_EXCEPTIONS                                                            \
    catch (pybind11::error_already_set & e) {                                                     \
        e.restore();                                                                              \
        return nullptr;                                                                           \
    }                                                                                             \
    catch (pybind11::builtin_exception & e) {                                                     \
        e.set_error();                                                                            \
        return nullptr;                                                                           \
    }                                                                                             \
    catch (const std::exception& e) {                                                             \
        PyErr_SetString(PyExc_ImportError, e.what());                                             \
        return nullptr;                                                                           \
    }

// Every extension module compiles the glue into an inline namespace of its own (PYGLUE_MODULE,
// set by the build to the module's target name). pybind11 keys registered C++ types by their
// type name, and a module-local type of one module that is freed (a module whose initialisation
// failed, say) erases the entry of the same-named type from whichever module owns pybind11's
// metaclass; distinct names per module keep every module's registrations apart.
#ifndef PYGLUE_MODULE
#define PYGLUE_MODULE pyglue_unnamed
#endif

namespace __attribute__((visibility("hidden"))) pyglue {
inline namespace PYGLUE_MODULE {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// Look-ups made at each call.

// `import module; return module.name`, read now (never cached).
inline py::object lookup(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

// A module's global, read now: tests may replace module attributes.
inline py::object global(const char* module, const char* name) {
    PyObject* raw = PyImport_GetModule(py::str(module).ptr());
    if (!raw) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::module_::import(module).attr(name);
    }
    return py::reinterpret_steal<py::object>(raw).attr(name);
}

// `from module import name`: imports `module` and returns its attribute `name` (or the submodule
// `module.name`); a missing name fails with ImportError as the import statement words it.
inline py::object import_from(const char* module, const char* name) {
    // The package is imported with `name` in its from-list, as the statement does, so a submodule
    // that is not loaded yet is loaded.
    py::object fromlist = py::make_tuple(name);
    PyObject* imported = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!imported) throw py::error_already_set();
    py::object mod = py::reinterpret_steal<py::object>(imported);
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    std::string full = std::string(module) + "." + name;
    PyObject* sub = PyImport_GetModule(py::str(full).ptr());
    if (sub) return py::reinterpret_steal<py::object>(sub);
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object file = py::getattr(mod, "__file__", py::none());
    std::string where = file.is_none() ? std::string("unknown location") : std::string(py::str(file));
    std::string message = std::string("cannot import name '") + name + "' from '" + module + "' (" + where + ")";
    PyErr_SetImportError(py::str(message).ptr(), py::str(module).ptr(), file.ptr());
    throw py::error_already_set();
}

// The module's __all__, a list of the given names in order.
inline void set_all(py::module_& m, std::initializer_list<const char*> names) {
    py::list all;
    for (const char* n : names) all.append(py::str(n));
    m.attr("__all__") = all;
}

// This extension module's own object, kept at initialisation so that its globals can be read at
// each call (tests and callers may replace them). One per shared library: the glue is hidden.
class ThisModule {
public:
    static ThisModule& get() {
        static ThisModule instance;
        return instance;
    }
    // A strong reference, never released: the module lives until the interpreter ends.
    void set(py::module_ m) {
        PyObject* old = module_;
        module_ = m.inc_ref().ptr();
        Py_XDECREF(old);
    }
    py::module_ module() const { return py::reinterpret_borrow<py::module_>(module_); }
    // The folder of this extension's shared library. While a single-phase module initialises its
    // __file__ is not set yet, so the loader is asked where this code was mapped from.
    static std::string folder() {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&ThisModule::folder), &info) || !info.dli_fname)
            raise_import_error("cannot locate the extension module's file");
        std::string path = info.dli_fname;
        auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }
    // The module global `name` as it is now; NameError when it is not defined.
    py::object global(const char* name) const {
        PyObject* value = PyDict_GetItemString(PyModule_GetDict(module_), name);  // borrowed
        if (!value) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }

private:
    [[noreturn]] static void raise_import_error(const char* message) {
        PyErr_SetString(PyExc_ImportError, message);
        throw py::error_already_set();
    }

    PyObject* module_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Small Python semantics.

// `bool(value)`, with the interpreter's errors.
inline bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The text of `value` in fixed point with `decimals` digits after the point, exactly as the
// interpreter's "{:.<decimals>f}" gives it (correctly rounded from the exact binary value, ties to
// even). The interpreter's own conversion is used because the C library's ("%f", strtod, streams)
// follows the process's LC_NUMERIC, which a program may set to a decimal-comma locale.
inline std::string fixed_text(double value, int decimals) {
    char* text = PyOS_double_to_string(value, 'f', decimals, 0, nullptr);
    if (!text) throw py::error_already_set();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Raising.

// Raise an exception instance (or class) and unwind to the pybind11 boundary.
[[noreturn]] inline void raise(py::handle exc) {
    if (PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    } else {
        PyErr_SetNone(exc.ptr());
    }
    throw py::error_already_set();
}

// Raise `type(message)`.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Finish an iterator step with a value: StopIteration(value), so `await` sees `value`.
[[noreturn]] inline void stop_iteration(py::handle value) {
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
    if (!exc) throw py::error_already_set();
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
    throw py::error_already_set();
}

// The exception currently unwinding as a normalised instance; clears the error indicator.
inline py::object fetch_exception(py::error_already_set& e) {
    e.restore();
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return py::reinterpret_steal<py::object>(value);
}

// An exception class derived from `base`, with a docstring.
inline py::object new_exception(py::module_& m, const char* name, const char* doc,
                                PyObject* base = PyExc_Exception) {
    std::string qualified = std::string(PyModule_GetName(m.ptr())) + "." + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (!cls) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(cls);
    m.attr(name) = result;
    return result;
}

// Turn (typ, val) as given to a generator's throw() into one exception instance.
inline py::object exception_from_throw(py::object typ, py::object val) {
    if (PyExceptionInstance_Check(typ.ptr())) return typ;
    if (!PyExceptionClass_Check(typ.ptr()))
        raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    if (val.is_none()) return typ();
    int given = PyObject_IsInstance(val.ptr(), typ.ptr());
    if (given < 0) throw py::error_already_set();
    if (given == 1) return val;
    if (PyTuple_Check(val.ptr())) return typ(*val);
    return typ(val);
}

// `a, b = value`, with the interpreter's own unpacking errors.
inline std::pair<py::object, py::object> unpack2(py::handle value) {
    PyObject* v = value.ptr();
    if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, 1))};
    }
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, std::string("cannot unpack non-iterable ") +
                                       Py_TYPE(value.ptr())->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            raise(PyExc_ValueError,
                  "not enough values to unpack (expected 2, got " + std::to_string(i) + ")");
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

// `await x` accepts an object with __await__ or a generator; anything else fails with the
// interpreter's own TypeError.
inline void require_awaitable(py::handle x) {
    if (py::hasattr(x, "__await__") || PyGen_Check(x.ptr())) return;
    raise(PyExc_TypeError,
          "object " + std::string(Py_TYPE(x.ptr())->tp_name) + " can't be used in 'await' expression");
}

// ---------------------------------------------------------------------------------------------
// Futures.

// Hands a failure that no caller can take to the exception handler of `loop`
// (loop.call_exception_handler({"message", "exception", "future"})); when even that fails, the
// interpreter's unraisable hook gets it. Never raises an Exception.
inline void report_to_loop(py::handle loop, const char* message, py::handle exc, py::handle fut) {
    try {
        py::dict context;
        context["message"] = py::str(message);
        context["exception"] = exc;
        context["future"] = fut;
        loop.attr("call_exception_handler")(context);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        e.restore();
        PyErr_WriteUnraisable(fut.ptr());
    }
}

// Settles an asyncio future unless it is already done: `fut.set_result(value)`, or
// `fut.set_exception(value)` when `failure`. Settling one future is independent of every other
// piece of work: when the settling itself fails (a future whose loop is closed raises while it
// schedules its callbacks), the failure goes to the exception handler of the future's loop and
// the caller goes on, so a loop over many futures settles all the others and finishes its own
// work. Exceptions that are not Exception (an interrupt) still propagate.
inline void settle_future(py::handle fut, py::handle value, bool failure) {
    try {
        if (truthy(fut.attr("done")())) return;
        fut.attr(failure ? "set_exception" : "set_result")(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::object why = fetch_exception(e);
        py::object loop;
        try {
            loop = fut.attr("get_loop")();
        } catch (py::error_already_set& lookup) {
            if (!lookup.matches(PyExc_Exception)) throw;
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(why.ptr())), why.ptr());
            PyErr_WriteUnraisable(fut.ptr());
            return;
        }
        report_to_loop(loop, "Exception while completing a future", why, fut);
    }
}

inline void settle_result(py::handle fut, py::handle value) { settle_future(fut, value, false); }
inline void settle_exception(py::handle fut, py::handle exc) { settle_future(fut, exc, true); }

// ---------------------------------------------------------------------------------------------
// Coroutines.

// A coroutine written as a C++ state machine. Subclasses implement step(): it is called with the
// value sent in (None at the start, the result of an awaited object after an `await`) or with an
// exception thrown in (then `exc` is not None). It answers with one of:
//   Step::await_on(x)  - await x: the driver calls x.__await__() and forwards send/throw/close to
//                        it, passing what it yields through unchanged; step() is called again with
//                        its result or its exception;
//   Step::yield(x)     - yield x to whoever drives the coroutine (bare `yield`, rarely needed);
//   Step::finish(x)    - return x (StopIteration(x) for the driver).
// Raising from step() ends the coroutine with that exception.
class Coroutine : public std::enable_shared_from_this<Coroutine> {
public:
    struct Step {
        enum Kind { Await, Yield, Return } kind;
        py::object value;
        static Step await_on(py::object x) { return {Await, std::move(x)}; }
        static Step yield(py::object x) { return {Yield, std::move(x)}; }
        static Step finish(py::object x = py::none()) { return {Return, std::move(x)}; }
    };

    explicit Coroutine(std::string qualname) : qualname_(std::move(qualname)) {}
    virtual ~Coroutine() = default;

    const std::string& qualname() const { return qualname_; }
    bool finished() const { return finished_; }
    bool running() const { return running_; }

    py::object send(py::object value) {
        if (!started_ && !value.is_none())
            raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return resume(std::move(value), py::none());
    }

    py::object next() { return resume(py::none(), py::none()); }

    py::object throw_(py::object typ, py::object val, py::object) {
        py::object exc = exception_from_throw(std::move(typ), std::move(val));
        return resume(py::none(), exc);
    }

    void close() {
        if (finished_) return;
        if (!started_) {
            finished_ = true;
            awaiting_ = py::object();
            return;
        }
        py::object exit = py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)();
        try {
            resume(py::none(), exit);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopIteration)) return;
            throw;
        }
        finished_ = true;
        raise(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    }

    // Registers the coroutine type in this module (module-local, so every module may do so) and
    // makes it a collections.abc.Coroutine.
    static void bind(py::module_& m) {
        auto cls = py::class_<Coroutine, std::shared_ptr<Coroutine>>(m, "coroutine", py::module_local())
            .def("send", &Coroutine::send, py::arg("value"))
            .def("throw", &Coroutine::throw_, py::arg("typ"), py::arg("val") = py::none(),
                 py::arg("tb") = py::none())
            .def("close", &Coroutine::close)
            .def("__await__", [](py::object self) { return self; })
            .def("__iter__", [](py::object self) { return self; })
            .def("__next__", &Coroutine::next)
            .def_property_readonly("cr_running", &Coroutine::running)
            .def_property_readonly("cr_await", [](Coroutine& c) {
                return c.awaiting_ ? c.awaiting_ : py::none();
            })
            .def("__repr__", [](Coroutine& c) { return "<coroutine object " + c.qualname_ + ">"; });
        py::module_::import("collections.abc").attr("Coroutine").attr("register")(cls);
    }

    // Wraps a C++ coroutine as its Python object.
    template <class T, class... Args>
    static py::object make(Args&&... args) {
        std::shared_ptr<Coroutine> c = std::make_shared<T>(std::forward<Args>(args)...);
        return py::cast(c);
    }

protected:
    virtual Step step(py::object value, py::object exc) = 0;

private:
    struct RunningGuard {
        bool& flag;
        explicit RunningGuard(bool& f) : flag(f) { flag = true; }
        ~RunningGuard() { flag = false; }
    };

    // Forwards one send/throw to the awaited iterator. Returns true with `out` set to what it
    // yielded; false when it finished, with `value` or `exc` set to its outcome.
    bool forward(py::object& value, py::object& exc, py::object& out) {
        PyObject* result = nullptr;
        if (exc.is_none()) {
            PySendResult r = PyIter_Send(awaiting_.ptr(), value.ptr(), &result);
            if (r == PYGEN_NEXT) {
                out = py::reinterpret_steal<py::object>(result);
                return true;
            }
            if (r == PYGEN_RETURN) {
                value = py::reinterpret_steal<py::object>(result);
                awaiting_ = py::object();
                return false;
            }
        } else {
            if (!py::hasattr(awaiting_, "throw")) {
                awaiting_ = py::object();
                return false;  // exc goes straight into step()
            }
            if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit) &&
                py::hasattr(awaiting_, "close")) {
                // close() of the awaited object, then GeneratorExit into step().
                py::object sub = awaiting_;
                awaiting_ = py::object();
                try {
                    sub.attr("close")();
                } catch (py::error_already_set& e) {
                    exc = fetch_exception(e);
                }
                return false;
            }
            result = PyObject_CallMethod(awaiting_.ptr(), "throw", "O", exc.ptr());
            if (result) {
                out = py::reinterpret_steal<py::object>(result);
                return true;
            }
        }
        // The awaited object raised: StopIteration carries its value, anything else goes on.
        awaiting_ = py::object();
        py::error_already_set err;
        py::object e = fetch_exception(err);
        if (PyErr_GivenExceptionMatches(e.ptr(), PyExc_StopIteration)) {
            value = e.attr("value");
            exc = py::none();
        } else {
            value = py::none();
            exc = e;
        }
        return false;
    }

    py::object resume(py::object value, py::object exc) {
        if (running_) raise(PyExc_ValueError, "coroutine already executing");
        if (finished_) {
            if (!exc.is_none()) raise(exc);
            raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        RunningGuard guard(running_);
        if (!started_) {
            started_ = true;
            if (!exc.is_none()) {
                finished_ = true;
                raise(exc);
            }
        }
        try {
            for (;;) {
                if (awaiting_) {
                    py::object out;
                    if (forward(value, exc, out)) return out;
                }
                Step s = step(value, exc);
                switch (s.kind) {
                case Step::Yield:
                    return s.value;
                case Step::Return:
                    finished_ = true;
                    stop_iteration(s.value);
                case Step::Await: {
                    py::object awaitable = s.value;
                    if (py::hasattr(awaitable, "__await__")) {
                        awaiting_ = awaitable.attr("__await__")();
                    } else {
                        require_awaitable(awaitable);  // a generator is its own iterator
                        awaiting_ = awaitable;
                    }
                    value = py::none();
                    exc = py::none();
                    break;
                }
                }
            }
        } catch (...) {
            finished_ = true;
            awaiting_ = py::object();
            throw;
        }
    }

    std::string qualname_;
    py::object awaiting_;
    bool started_ = false;
    bool finished_ = false;
    bool running_ = false;
};

// ---------------------------------------------------------------------------------------------
// Plain Python classes built from C++.

// Builds `type(name, bases, {})` (or `metaclass(...)`), with __module__ and __qualname__ set, and
// fills it with C++ methods. Methods receive `self` as their first argument.
class PlainClass {
public:
    PlainClass(py::module_ m, const char* name, py::tuple bases = py::tuple(),
               py::object metaclass = py::reinterpret_borrow<py::object>(
                   reinterpret_cast<PyObject*>(&PyType_Type)),
               const char* doc = nullptr) {
        py::dict ns;
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = name;
        if (doc) ns["__doc__"] = doc;
        cls_ = metaclass(name, bases, ns);
        m.attr(name) = cls_;
    }

    // pybind11 treats a function named "__init__" as the constructor of one of its own classes
    // (and refuses or skips plain instances), so __init__ is made under another name and stored
    // as __init__.
    template <class F, class... Extra>
    PlainClass& def(const char* name, F&& f, const Extra&... extra) {
        const char* made = std::string(name) == "__init__" ? "__init" : name;
        py::cpp_function cf(std::forward<F>(f), py::name(made), py::is_method(cls_),
                            py::sibling(own_attribute(name)), extra...);
        py::setattr(cls_, name, cf);
        return *this;
    }

    // A static method (no self).
    template <class F, class... Extra>
    PlainClass& def_static(const char* name, F&& f, const Extra&... extra) {
        py::cpp_function cf(std::forward<F>(f), py::name(name), py::scope(cls_), extra...);
        py::setattr(cls_, name, py::reinterpret_steal<py::object>(PyStaticMethod_New(cf.ptr())));
        return *this;
    }

    // A read-only property computed in C++.
    template <class F>
    PlainClass& def_property_readonly(const char* name, F&& getter) {
        py::cpp_function g(std::forward<F>(getter), py::is_method(cls_));
        py::object prop = py::module_::import("builtins").attr("property")(g);
        py::setattr(cls_, name, prop);
        return *this;
    }

    PlainClass& attr(const char* name, py::object value) {
        py::setattr(cls_, name, std::move(value));
        return *this;
    }

    py::object cls() const { return cls_; }

private:
    // The class's own attribute `name` (not an inherited one), or None: only the class's own C++
    // methods are chained as overloads; a base class's Python method is simply overridden.
    py::object own_attribute(const char* name) const {
        PyObject* own = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls_.ptr())->tp_dict, name);
        return own ? py::reinterpret_borrow<py::object>(own) : py::none();
    }

    py::object cls_;
};

// ---------------------------------------------------------------------------------------------
// Function objects with a __dict__.

// CFunction wraps a C++ callable as an object with an instance __dict__ (so __name__, __doc__,
// __wrapped__ and _is_coroutine can be set, and functools.wraps accepts it) and __get__ (so it
// binds as a method when set on a class). The callable is kept under `__cfunc__`. The type is
// made in each module at its first CFunction and kept there as `_CFunction`.
inline py::object cfunction_type(py::module_& m) {
    if (py::hasattr(m, "_CFunction")) return m.attr("_CFunction");
    PlainClass c(m, "_CFunction");
    c.def("__call__", [](py::object self, py::args args, py::kwargs kwargs) {
        return self.attr("__cfunc__")(*args, **kwargs);
    });
    c.def("__get__", [](py::object self, py::object instance, py::object) -> py::object {
        if (instance.is_none()) return self;
        return py::module_::import("types").attr("MethodType")(self, instance);
    }, py::arg("instance"), py::arg("owner") = py::none());
    c.def("__repr__", [](py::object self) {
        return py::str("<function {}>").format(self.attr("__qualname__"));
    });
    return c.cls();
}

// Makes a CFunction named `qualname` (its __name__ is the last dotted part) in module `m`.
template <class F, class... Extra>
py::object make_function(py::module_& m, const std::string& qualname, F&& f, const Extra&... extra) {
    py::object type = cfunction_type(m);
    py::object fn = type.attr("__new__")(type);
    auto dot = qualname.rfind('.');
    std::string name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    py::cpp_function impl(std::forward<F>(f), py::name(name.c_str()), extra...);
    fn.attr("__cfunc__") = impl;
    fn.attr("__name__") = name;
    fn.attr("__qualname__") = qualname;
    fn.attr("__module__") = m.attr("__name__");
    fn.attr("__doc__") = impl.attr("__doc__");
    return fn;
}

// Marks a function so asyncio.iscoroutinefunction answers True.
inline void mark_coroutine_function(py::object fn) {
    fn.attr("_is_coroutine") = py::module_::import("asyncio.coroutines").attr("_is_coroutine");
}

}  // inline namespace PYGLUE_MODULE
}  // namespace pyglue
