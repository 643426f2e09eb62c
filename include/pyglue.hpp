// Python glue shared by every dorvane extension module.
//
// THE RULE FOR THREADS (read first). Code here runs on threads other than the main one: the
// facade's loop thread, a program's own loop thread, the messaging binding's delivery thread.
// When the interpreter finalises, such a thread is ended with pthread_exit as soon as it tries to
// take the interpreter lock (any call into Python may do so), and the forced unwind runs the C++
// destructors of every frame on its stack without the lock. So:
//  * references are released through pyglue_release.hpp (included first everywhere), which leaves
//    them to the dying interpreter when the calling thread does not hold the lock;
//  * code that must clean up when an exception passes writes `pyglue::on_failure(body, cleanup)`
//    instead of a `catch (...)`: a forced unwind goes through untouched, and nothing may swallow
//    or outlive it;
//  * after pyglue::fetch_exception(e) the caught error owns nothing: handle the returned object
//    (raise it with pyglue::raise), never rethrow `e`;
//  * no destructor may take the lock (py::gil_scoped_release / gil_scoped_acquire and pybind11
//    errors kept alive across calls into Python do): a pthread_exit inside a noexcept destructor
//    ends the process with std::terminate;
//  * for the same reason no destructor may do the last release of an object that a program may
//    finalise (a callback's result, a callback, an argument the program passed): its __del__ may
//    give up the lock (sleep, close a file) just as finalisation starts, and the thread is then
//    ended inside the destructor. Drop such references in ordinary code with pyglue::drop at the
//    end of the entry point that holds them. The glue does so itself for the arguments of every
//    Function, for the values a Coroutine passes between its steps, and for what a coroutine's
//    machine or a Box holds when its object goes (their clear() runs before the C++ destructor).
//
//  * Name and global: the one table of interned names (pyglue::Name constants, declared in each
//    module's header) and the one call-time look-up of a module's globals (pyglue::global), since
//    names that other code may replace are read through Python at each call;
//  * raise helpers: set a Python exception and unwind to the pybind11 boundary;
//  * States: an explicit state (an enum class) with one checked transition;
//  * Traversable, visit_members / drop_members, Box: C++ state that holds Python references
//    shows them to the cycle collector, so cycles through it are collected;
//  * Coroutine: a C++ state machine that speaks the coroutine protocol of the interpreter's own
//    coroutines (send, throw, close, __await__, __iter__, __next__, finalisation) and delegates
//    `await` to other awaitables; the same machine makes generator objects;
//  * Function: every callable a module exposes; binds its arguments by Python's rules with the
//    interpreter's own error texts, reads as a signature through inspect, binds as a method and
//    has an instance __dict__ (functools.wraps, `_is_coroutine`);
//  * PlainClass: builds a plain Python class (base object or any Python base, instance __dict__,
//    __del__ on release) with type(name, bases, namespace) and fills it with C++ methods.
#pragma once

#include "pyglue_release.hpp"  // before pybind11: safe reference release (the rule above)

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <structmember.h>

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <stdexcept>
#include <tuple>
#include <type_traits>

// A module whose initialisation fails raises the exception that ended it, as a module written in
// Python does (a configuration parser's error stays a configparser.Error that callers can catch).
// pybind11's own entry point would replace it with ImportError("initialization failed") and keep
// the real error only as the cause; every module's PYBIND11_MODULE expands this handler instead.
#ifndef PYBIND11_CATCH_INIT_EXCEPTIONS
#error "pybind11 no longer defines PYBIND11_CATCH_INIT_EXCEPTIONS: review the module entry point"
#endif
#undef PYBIND11_CATCH_INIT_EXCEPTIONS
#define PYBIND11_CATCH_INIT_EXCEPTIONS                \
    catch (pybind11::error_already_set & e) {         \
        e.restore();                                  \
        return nullptr;                               \
    }                                                 \
    catch (pybind11::builtin_exception & e) {         \
        e.set_error();                                \
        return nullptr;                               \
    }                                                 \
    catch (const std::exception& e) {                 \
        PyErr_SetString(PyExc_ImportError, e.what()); \
        return nullptr;                               \
    }

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// Interned names and look-ups made at each call.

// A name the code reads or sets (attribute, method, keyword, event, module global) as an interned
// str, made on first use and kept for the life of the process: the one table of names every module
// uses. Declare each once, at namespace scope in the module's header, as a constant:
//     inline const pyglue::Name kLog{"log"};
// The first use interns the text (with the interpreter lock held, as every use is); later uses
// hand out the same object, which attribute look-up then compares by identity.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* ptr() const {
        if (!interned_) interned_ = intern(text_);
        return interned_;
    }
    operator PyObject*() const { return ptr(); }  // NOLINT: names are passed where objects go
    const char* text() const { return text_; }

private:
    static PyObject* intern(const char* text) {
        PyObject* s = PyUnicode_InternFromString(text);
        if (!s) throw py::error_already_set();
        return s;  // kept for the life of the process
    }

    const char* text_;
    mutable PyObject* interned_ = nullptr;
};

// `obj.name`, with the interpreter's errors.
inline py::object attr(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `obj.name = value`.
inline void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// `obj.name(args...)`.
template <class... Args>
py::object call_method(py::handle obj, PyObject* name, Args&&... args) {
    return attr(obj, name)(std::forward<Args>(args)...);
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
        std::string path = file();
        auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }
    // The path of this extension's shared library, as the loader mapped it.
    static std::string file() {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&ThisModule::file), &info) || !info.dli_fname)
            raise_import_error("cannot locate the extension module's file");
        return info.dli_fname;
    }
    // The module global `name` as it is now; NameError when it is not defined.
    py::object global(PyObject* name) const {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module_), name);  // borrowed
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
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

inline void init_types();

// Remembers this extension module's object and makes the glue's types; its initialisation calls
// it first.
inline void set_module(py::module_ m) {
    ThisModule::get().set(std::move(m));
    init_types();
}

// This extension module's object.
inline py::module_ this_module() { return ThisModule::get().module(); }

// The global `name` of this extension module as it is bound now, read at each call because tests
// and programs rebind module names; NameError when it is not defined. Names the module reads more
// than once are best kept as pyglue::Name constants.
inline py::object global(PyObject* name) { return ThisModule::get().global(name); }
inline py::object global(const char* name) {
    py::str key(name);
    return ThisModule::get().global(key.ptr());
}

// `import module; return module.name` for another module, read now (never cached).
inline py::object lookup(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
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
    std::string message =
        std::string("cannot import name '") + name + "' from '" + module + "' (" + where + ")";
    PyErr_SetImportError(py::str(message).ptr(), py::str(module).ptr(), file.ptr());
    throw py::error_already_set();
}

// The module's __all__, a list of the given names in order.
inline void set_all(py::module_& m, std::initializer_list<const char*> names) {
    py::list all;
    for (const char* n : names) all.append(py::str(n));
    m.attr("__all__") = all;
}

// ---------------------------------------------------------------------------------------------
// Dropping references that user code may finalise.

// Releases `obj` now, in ordinary code, and leaves it empty. A reference whose release may run a
// program's own finaliser (a callback's result, a callback, an argument the program passed) is
// dropped with this at the end of the entry point that holds it, never left to a destructor: the
// finaliser may give up the interpreter lock (sleep, close a file) just as the interpreter starts
// to finalise, and a thread ended then inside a destructor ends the process (std::terminate),
// where in ordinary code the forced unwind simply goes on.
inline void drop(py::object& obj) {
    PyObject* p = obj.release().ptr();
    Py_XDECREF(p);
}
inline void drop(py::object&& obj) { drop(obj); }

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

// Handlers that must let a forced unwind (a thread ended by the interpreter at exit) pass name
// abi::__forced_unwind. That unwind is no C++ exception object: the handler's reference binds to
// null, which the undefined-behaviour sanitizer reports (and a sanitized run then fails, at random,
// whenever a daemon thread is ended inside the modules). The functions that hold such a handler are
// therefore small, built without that check, and call out to everything else, which keeps it.
#define PYGLUE_LETS_FORCED_UNWIND_PASS __attribute__((no_sanitize_undefined))

// Runs body() and returns what it returns. When it throws, a forced unwind goes on untouched, and
// any other exception runs cleanup() (which may touch Python) and then goes on. Code that cleans up
// on failure writes this instead of a `catch (...)`.
template <class Body, class Cleanup>
PYGLUE_LETS_FORCED_UNWIND_PASS decltype(auto) on_failure(Body&& body, Cleanup&& cleanup) {
    try {
        return std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is ending: touch nothing
    } catch (...) {
        std::forward<Cleanup>(cleanup)();
        throw;
    }
}

// The exception currently unwinding as a normalised instance; clears the error indicator.
// The caught error is emptied here, while this thread holds the lock: its release needs the lock,
// and if it stayed with `e` until the end of the catch block, a call into Python made by the
// handler that ends the thread (interpreter exit) would release it from the unwind and end the
// process instead. Do not rethrow `e` afterwards; raise the returned object.
inline py::object fetch_exception(py::error_already_set& e) {
    py::error_already_set consumed = std::move(e);
    consumed.restore();
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
            raise(PyExc_TypeError,
                  std::string("cannot unpack non-iterable ") + Py_TYPE(value.ptr())->tp_name + " object");
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
    PyAsyncMethods* as = Py_TYPE(x.ptr())->tp_as_async;
    if ((as && as->am_await) || PyGen_Check(x.ptr())) return;
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(x.ptr())->tp_name);
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------------------------
// Futures.

// Hands the exception instance `exc` to the interpreter's unraisable hook, about `obj`. The hook
// may run Python: no caught pybind11 error may be alive across this call (its destructor takes the
// lock, which ends the process if the thread is ended inside the hook); empty it first with
// fetch_exception.
inline void write_unraisable(py::handle exc, py::handle obj) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    PyErr_WriteUnraisable(obj.ptr());
}

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
        write_unraisable(fetch_exception(e), fut);
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
        PyObject* loop = PyObject_CallMethod(fut.ptr(), "get_loop", nullptr);
        if (!loop) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
            PyErr_Clear();  // the settling's own failure is the one to report
            write_unraisable(why, fut);
            return;
        }
        report_to_loop(py::reinterpret_steal<py::object>(loop), "Exception while completing a future", why,
                       fut);
    }
}

inline void settle_result(py::handle fut, py::handle value) { settle_future(fut, value, false); }
inline void settle_exception(py::handle fut, py::handle exc) { settle_future(fut, exc, true); }

// ---------------------------------------------------------------------------------------------
// Explicit states.

// The state of a C++ state machine (a coroutine's progress, say) and its one checked transition.
// `State` is an enum class whose values count up from 0; the table lists every allowed transition
// and a name for each state. A transition the table does not list is a fault of this code: it
// raises RuntimeError("cannot switch state from A to B") instead of going on in a state no path
// was written for.
template <class State>
class States {
public:
    struct Edge {
        State from;
        State to;
    };
    struct Table {
        template <size_t E, size_t N>
        constexpr Table(const Edge (&e)[E], const char* const (&n)[N])
            : edges(e), count(E), names(n), name_count(N) {}
        const Edge* edges;
        size_t count;
        const char* const* names;
        size_t name_count;
    };

    States(State initial, const Table& table) : state_(initial), table_(&table) {}

    State get() const { return state_; }
    bool is(State s) const { return state_ == s; }

    // Moves to `next` when the table allows it; RuntimeError otherwise.
    void set(State next) {
        for (size_t i = 0; i < table_->count; ++i) {
            if (table_->edges[i].from == state_ && table_->edges[i].to == next) {
                state_ = next;
                return;
            }
        }
        PyErr_Format(PyExc_RuntimeError, "cannot switch state from %s to %s", name(state_), name(next));
        throw py::error_already_set();
    }

private:
    const char* name(State s) const {
        auto i = static_cast<size_t>(s);
        return i < table_->name_count ? table_->names[i] : "?";
    }

    State state_;
    const Table* table_;
};

// ---------------------------------------------------------------------------------------------
// What the cycle collector must see.

// C++ state owned by a Python object (a coroutine's machine, a function's callee, a box) that
// holds Python references. traverse() visits each reference, as a type's tp_traverse does, so a
// reference cycle through the state is found and collected as one through Python objects would
// be; clear() drops each of them (tp_clear), which breaks such a cycle. Write both next to the
// members, with visit_members / drop_members: a reference the collector does not see keeps its
// whole cycle alive for ever, and one reference visited by two owners makes it free live objects
// (state two owners share goes in a pyglue::Box, whose reference count they share instead).
class Traversable {
public:
    virtual ~Traversable() = default;
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

namespace detail {

template <class T>
int visit_one(visitproc visit, void* arg, const T& member) {
    if constexpr (std::is_base_of_v<py::object, T>) {
        return member.ptr() ? visit(member.ptr(), arg) : 0;
    } else if constexpr (std::is_base_of_v<Traversable, T>) {
        return const_cast<T&>(member).traverse(visit, arg);
    } else {
        return 0;  // holds no Python reference (text, numbers, states)
    }
}

template <class T>
void drop_one(T& member) {
    if constexpr (std::is_base_of_v<py::object, T>)
        drop(member);
    else if constexpr (std::is_base_of_v<Traversable, T>)
        member.clear();
}

}  // namespace detail

// Visits every member that owns a Python reference (py::object and its kinds, Traversable state);
// the first non-zero answer of the visitor ends the visit, as Py_VISIT does.
template <class... T>
int visit_members(visitproc visit, void* arg, const T&... members) {
    int r = 0;
    ((r = r ? r : detail::visit_one(visit, arg, members)), ...);
    return r;
}

// Drops every member that owns a Python reference, in ordinary code (see drop).
template <class... T>
void drop_members(T&... members) {
    (detail::drop_one(members), ...);
}

// ---------------------------------------------------------------------------------------------
// Boxes: C++ state shared through a Python reference count.

// A Python object that owns one Traversable value. State that several owners share (a decorated
// function and each coroutine it makes, say) lives in a box and each owner holds the box as a
// py::object: every owner's reference is then one the collector sees once, and the state goes
// when the last owner does.
struct BoxObject {
    PyObject_HEAD Traversable* value;
};

namespace detail {
inline PyTypeObject* box_type = nullptr;  // made at module initialisation (init_types)
}

// A new box holding T(args...).
template <class T, class... Args>
py::object box(Args&&... args) {
    auto value = std::make_unique<T>(std::forward<Args>(args)...);
    auto* self = PyObject_GC_New(BoxObject, detail::box_type);
    if (!self) throw py::error_already_set();
    self->value = value.release();
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

// The value of a box made by box<T>.
template <class T>
T& unbox(py::handle b) {
    return *static_cast<T*>(reinterpret_cast<BoxObject*>(b.ptr())->value);
}

// ---------------------------------------------------------------------------------------------
// Coroutines.

// A coroutine written as a C++ state machine. Subclasses implement step(): it is called with the
// value sent in (None at the start, the result of an awaited object after an `await`) or with an
// exception thrown in (then `exc` is not None). It answers with one of:
//   Step::await_on(x)  - await x: the driver gets x's iterator as `await` does and forwards send,
//                        throw and close to it, passing what it yields through unchanged; step()
//                        is called again with its result or its exception;
//   Step::yield(x)     - yield x to whoever drives the coroutine (bare `yield`, rarely needed);
//   Step::finish(x)    - return x (StopIteration(x) for the driver).
// Raising from step() ends the coroutine with that exception; while step() handles a thrown-in
// exception that exception is the one being handled, so what step() raises then has it as
// __context__, as in an `except` block. A StopIteration raised from step() ends it with
// RuntimeError("coroutine raised StopIteration"), as PEP 479 has it.
//
// Subclasses also implement traverse() and clear() over every Python object they hold (see
// Traversable; visit_members / drop_members), so a cycle through a coroutine is collected as one
// through an `async def` coroutine is. clear() runs when the collector breaks a cycle and when the
// object goes; the machine is finished afterwards.
//
// The same machine serves as a generator (Kind::Generator): its object is then a generator
// (iteration, send, throw, close, gi_running; a collections.abc.Generator, not awaitable), step()
// answers with Step::yield for each value, and a finished generator raises StopIteration where a
// finished coroutine refuses reuse.
class Coroutine : public Traversable {
public:
    struct Step {
        enum Kind { Await, Yield, Return } kind;
        py::object value;
        static Step await_on(py::object x) { return {Await, std::move(x)}; }
        static Step yield(py::object x) { return {Yield, std::move(x)}; }
        static Step finish(py::object x = py::none()) { return {Return, std::move(x)}; }
    };

    enum class Kind { Coroutine, Generator };

    // What one resumption gave: a value yielded (the machine is suspended) or the value returned
    // (it finished).
    struct Outcome {
        bool yielded;
        py::object value;
    };

    explicit Coroutine(std::string qualname, Kind kind = Kind::Coroutine)
        : qualname_(std::move(qualname)), kind_(kind) {}
    ~Coroutine() override = default;

    const std::string& qualname() const { return qualname_; }
    Kind kind() const { return kind_; }
    bool finished() const { return finished_; }
    bool running() const { return running_; }
    bool started() const { return started_; }
    bool suspended() const { return started_ && !finished_ && !running_; }
    const py::object& awaiting() const { return awaiting_; }
    const char* word() const { return kind_ == Kind::Generator ? "generator" : "coroutine"; }

    // send(value), next() and throw(typ[, val[, tb]]) as the interpreter's coroutine and generator
    // objects answer them. `val` and `tb` are null when not given.
    Outcome send(py::object value) {
        if (!started_ && !finished_ && !value.is_none())
            raise(PyExc_TypeError, std::string("can't send non-None value to a just-started ") + word());
        return resume(std::move(value), py::none());
    }

    Outcome throw_(py::object typ, py::object val, py::object tb) {
        if (awaiting_ && !running_) {
            // The awaited object gets the arguments as given; what it answers decides the rest.
            py::object out, value, exc;
            switch (throw_into_awaited(typ, val, tb, out, value, exc)) {
            case Delegated::Yielded:
                return {true, std::move(out)};
            case Delegated::Returned:
                return resume(std::move(value), py::none());
            case Delegated::Raised:
                return resume(py::none(), std::move(exc));
            case Delegated::NotThrown:
                if (exc) return resume(py::none(), std::move(exc));  // closing it failed
                break;
            }
        }
        return resume(py::none(), thrown_exception(std::move(typ), std::move(val), std::move(tb)));
    }

    // close(): GeneratorExit in at the point of suspension; a machine that yields instead fails
    // with "... ignored GeneratorExit" and stays suspended, as the interpreter's do.
    void close() {
        if (finished_) return;
        if (running_) raise(PyExc_ValueError, std::string(word()) + " already executing");
        py::object exc = py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)();
        if (awaiting_) {
            RunningGuard guard(running_);
            py::object sub = std::move(awaiting_);
            py::object failure = close_awaited(sub);
            if (failure) exc = std::move(failure);
        }
        Outcome outcome;
        try {
            outcome = resume(py::none(), std::move(exc), /*closing=*/true);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration)) throw;
            drop(fetch_exception(e));
            return;
        }
        if (!outcome.yielded) return;
        drop(outcome.value);
        raise(PyExc_RuntimeError, std::string(word()) + " ignored GeneratorExit");
    }

    // `await` of this coroutine: RuntimeError when another awaiter drives it already.
    void check_not_awaited() const {
        if (awaiting_) raise(PyExc_RuntimeError, "coroutine is being awaited already");
    }

    // Wraps a C++ coroutine as its Python object.
    template <class T, class... Args>
    static py::object make(Args&&... args) {
        return wrap(std::make_unique<T>(std::forward<Args>(args)...));
    }

    static py::object wrap(std::unique_ptr<Coroutine> c);

    // The Python types of the coroutine and generator objects, made once per extension module at
    // its initialisation (init_types) and registered as a collections.abc.Coroutine and Generator.
    static PyTypeObject* type(Kind kind = Kind::Coroutine);

    // Everything the machine holds, for the object's tp_traverse and tp_clear.
    int traverse_all(visitproc visit, void* arg) {
        if (awaiting_ && visit(awaiting_.ptr(), arg)) return 1;
        if (handling_.exc_value && visit(handling_.exc_value, arg)) return 1;
        return traverse(visit, arg);
    }
    void clear_all() {
        finished_ = true;
        drop(awaiting_);
        clear();
    }

protected:
    virtual Step step(py::object value, py::object exc) = 0;

private:
    struct RunningGuard {
        bool& flag;
        explicit RunningGuard(bool& f) : flag(f) { flag = true; }
        ~RunningGuard() { flag = false; }
    };

    enum class Delegated { Yielded, Returned, Raised, NotThrown };

    // Raises `exc` as it is: its traceback and context stay what they are (an exception passing
    // through, as opposed to one raised anew).
    [[noreturn]] static void rethrow(py::handle exc) {
        PyObject* tb = PyException_GetTraceback(exc.ptr());
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
        Py_INCREF(type);
        PyErr_Restore(type, exc.inc_ref().ptr(), tb);
        throw py::error_already_set();
    }

    // The exception that throw(typ, val, tb) raises at the point of suspension, with the
    // interpreter's checks and texts; a TypeError goes to the caller of throw().
    static py::object thrown_exception(py::object typ, py::object val, py::object tb) {
        if (tb && tb.is_none()) tb = py::object();
        if (tb && !PyTraceBack_Check(tb.ptr()))
            raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        PyObject* t = typ.ptr();
        if (PyExceptionClass_Check(t)) {
            PyObject* type = typ.inc_ref().ptr();
            PyObject* value = val ? val.inc_ref().ptr() : nullptr;
            PyObject* trace = tb ? tb.inc_ref().ptr() : nullptr;
            PyErr_NormalizeException(&type, &value, &trace);
            py::object exc = py::reinterpret_steal<py::object>(value);
            if (trace && exc) PyException_SetTraceback(exc.ptr(), trace);
            Py_XDECREF(type);
            Py_XDECREF(trace);
            if (!exc) throw py::error_already_set();
            return exc;
        }
        if (PyExceptionInstance_Check(t)) {
            if (val && !val.is_none())
                raise(PyExc_TypeError, "instance exception may not have a separate value");
            if (tb) PyException_SetTraceback(t, tb.ptr());
            return typ;
        }
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(t)->tp_name);
        throw py::error_already_set();
    }

    // close() of an awaited object, as the interpreter closes what a coroutine awaits: the
    // failure of that close (null when it closed).
    static py::object close_awaited(py::handle sub) {
        PyObject* meth = PyObject_GetAttrString(sub.ptr(), "close");
        if (!meth) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_WriteUnraisable(sub.ptr());
            PyErr_Clear();
            return py::object();
        }
        PyObject* r = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
        if (r) {
            Py_DECREF(r);
            return py::object();
        }
        py::error_already_set err;
        return fetch_exception(err);
    }

    // throw() while suspended in an await: the awaited object's own throw() gets the arguments;
    // GeneratorExit closes it instead, and one without throw() is left (the exception is then
    // raised at the point of suspension).
    Delegated throw_into_awaited(py::handle typ, py::handle val, py::handle tb, py::object& out,
                                 py::object& value, py::object& exc) {
        RunningGuard guard(running_);
        if (PyErr_GivenExceptionMatches(typ.ptr(), PyExc_GeneratorExit)) {
            py::object sub = std::move(awaiting_);
            exc = close_awaited(sub);
            return Delegated::NotThrown;
        }
        PyObject* meth = PyObject_GetAttrString(awaiting_.ptr(), "throw");
        if (!meth) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            drop(awaiting_);
            return Delegated::NotThrown;
        }
        py::object method = py::reinterpret_steal<py::object>(meth);
        PyObject* args[3] = {typ.ptr(), val.ptr(), tb.ptr()};
        size_t nargs = !val ? 1 : !tb ? 2 : 3;
        PyObject* r = PyObject_Vectorcall(method.ptr(), args, nargs, nullptr);
        drop(method);
        if (r) {
            out = py::reinterpret_steal<py::object>(r);
            return Delegated::Yielded;
        }
        drop(awaiting_);
        py::error_already_set err;
        py::object e = fetch_exception(err);
        if (PyErr_GivenExceptionMatches(e.ptr(), PyExc_StopIteration)) {
            value = attr_value(e);
            return Delegated::Returned;
        }
        exc = std::move(e);
        return Delegated::Raised;
    }

    static py::object attr_value(py::handle stop) {
        PyObject* v = PyObject_GetAttrString(stop.ptr(), "value");
        if (!v) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(v);
    }

    // One send into the awaited object: true with `out` set to what it yielded; false when it
    // finished, with `value` or `exc` set to its outcome.
    bool forward_send(py::object& value, py::object& exc, py::object& out) {
        PyObject* result = nullptr;
        PySendResult r = PyIter_Send(awaiting_.ptr(), value.ptr(), &result);
        if (r == PYGEN_NEXT) {
            out = py::reinterpret_steal<py::object>(result);
            return true;
        }
        drop(awaiting_);
        if (r == PYGEN_RETURN) {
            value = py::reinterpret_steal<py::object>(result);
            return false;
        }
        py::error_already_set err;
        exc = fetch_exception(err);
        value = py::none();
        return false;
    }

    // The iterator `await x` drives, as the interpreter gets it: the coroutine itself, the result
    // of its __await__ slot (which must be an iterator), or a generator (generator-based
    // coroutines of older code).
    static py::object await_iterator(py::object x) {
        PyObject* o = x.ptr();
        if (PyCoro_CheckExact(o)) {
            py::object yf = py::reinterpret_steal<py::object>(PyObject_GetAttrString(o, "cr_await"));
            if (!yf) throw py::error_already_set();
            if (!yf.is_none()) raise(PyExc_RuntimeError, "coroutine is being awaited already");
            return x;
        }
        PyAsyncMethods* as = Py_TYPE(o)->tp_as_async;
        if (as && as->am_await) {
            PyObject* it = as->am_await(o);
            if (!it) throw py::error_already_set();
            py::object iter = py::reinterpret_steal<py::object>(it);
            if (PyCoro_CheckExact(it)) raise(PyExc_TypeError, "__await__() returned a coroutine");
            if (!PyIter_Check(it)) {
                PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                             Py_TYPE(it)->tp_name);
                throw py::error_already_set();
            }
            return iter;
        }
        if (PyGen_Check(o)) return x;
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(o)->tp_name);
        throw py::error_already_set();
    }

    Outcome resume(py::object value, py::object exc, bool closing = false) {
        if (running_) raise(PyExc_ValueError, std::string(word()) + " already executing");
        if (finished_) {
            if (kind_ == Kind::Coroutine && !closing)
                raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            if (exc.is_none()) return {false, py::none()};  // an exhausted generator
            rethrow(exc);
        }
        RunningGuard guard(running_);
        bool fresh = !started_;
        started_ = true;
        Outcome outcome = on_failure([&] { return run(value, exc, fresh); },
                                     [&] {
                                         finished_ = true;
                                         drop(awaiting_);
                                     });
        drop_members(value, exc);
        return outcome;
    }

    // The machine itself, with PEP 479 applied to what escapes it.
    Outcome run(py::object& value, py::object& exc, bool fresh) {
        try {
            return run_steps(value, exc, fresh);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_StopIteration)) throw;
            py::object stop = fetch_exception(e);
            std::string text = std::string(word()) + " raised StopIteration";
            PyObject* err = PyObject_CallOneArg(PyExc_RuntimeError, py::str(text).ptr());
            if (!err) throw py::error_already_set();
            py::object error = py::reinterpret_steal<py::object>(err);
            PyException_SetCause(err, stop.inc_ref().ptr());
            PyException_SetContext(err, stop.release().ptr());
            rethrow(error);
        }
    }

    Outcome run_steps(py::object& value, py::object& exc, bool fresh) {
        // An exception thrown into a machine that never ran is raised at its first line.
        if (fresh && !exc.is_none()) rethrow(exc);
        for (;;) {
            if (awaiting_) {
                py::object out;
                if (forward_send(value, exc, out)) return {true, std::move(out)};
            }
            Step s = exc.is_none() ? step(value, exc) : step_handling(value, exc);
            switch (s.kind) {
            case Step::Yield:
                return {true, std::move(s.value)};
            case Step::Return:
                finished_ = true;
                return {false, std::move(s.value)};
            case Step::Await:
                awaiting_ = await_iterator(std::move(s.value));
                value = py::none();
                exc = py::none();
                break;
            }
        }
    }

    // step() while it handles the thrown-in `exc`: `exc` is pushed as the handled exception of
    // the thread, as the interpreter pushes a coroutine's own exception state while it runs.
    Step step_handling(py::object& value, py::object& exc) {
        PyThreadState* ts = PyThreadState_Get();
        handling_.exc_value = exc.inc_ref().ptr();
        handling_.previous_item = ts->exc_info;
        ts->exc_info = &handling_;
        auto pop = [&] {
            ts->exc_info = handling_.previous_item;
            handling_.previous_item = nullptr;
            PyObject* held = handling_.exc_value;
            handling_.exc_value = nullptr;
            Py_XDECREF(held);
        };
        Step s = on_failure([&] { return step(value, exc); }, pop);
        pop();
        return s;
    }

    std::string qualname_;
    Kind kind_;
    py::object awaiting_;
    _PyErr_StackItem handling_{nullptr, nullptr};
    bool started_ = false;
    bool finished_ = false;
    bool running_ = false;
};

// ---------------------------------------------------------------------------------------------
// Functions with Python's own call conventions.
//
// Every callable a module exposes is a `Function`: a small C-level type that the interpreter calls
// through vectorcall. Its parameter list is given once, beside the C++ implementation, with
// pybind11's annotations (py::arg, py::arg_v defaults, py::pos_only, py::kw_only; py::args and
// py::kwargs parameters of the implementation stand for *args and **kwargs). A call binds the
// arguments by Python's rules and fails with the interpreter's own texts, under the function's
// current __qualname__, exactly as a Python function of that name would. The object has an
// instance __dict__ (functools.wraps, _is_coroutine, __wrapped__), binds as a method through
// __get__ (and unbound through the method-descriptor protocol, so `obj.meth(...)` allocates no
// bound method) and gives inspect.signature its parameters through __text_signature__.

// One parameter: its interned name and, where it has one, its default.
struct Parameter {
    PyObject* name = nullptr;      // interned str, owned
    PyObject* default_ = nullptr;  // owned, or null
};

// A parameter list: positional ones first (the first `posonly` of them positional-only), then
// keyword-only ones; optionally *args and **kwargs.
class Signature {
public:
    Signature() = default;
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;
    ~Signature() {
        for (Parameter& p : params_) {
            Py_XDECREF(p.name);
            Py_XDECREF(p.default_);
        }
    }

    void add(const char* name, PyObject* default_value, bool keyword_only) {
        PyObject* n = PyUnicode_InternFromString(name);
        if (!n) throw py::error_already_set();
        Py_XINCREF(default_value);
        params_.push_back({n, default_value});
        if (!keyword_only) ++positional_;
    }
    void set_posonly(size_t count) { posonly_ = count; }
    void set_var_args(const std::string& name) { var_args_ = name; }
    void set_var_kwargs(const std::string& name) { var_kwargs_ = name; }
    // Called once all parameters are in: checks the order of defaults as `def` would.
    void finish() {
        bool seen_default = false;
        for (size_t i = 0; i < positional_; ++i) {
            if (params_[i].default_)
                seen_default = true;
            else if (seen_default)
                throw std::logic_error("parameter without a default follows one with a default");
        }
        for (size_t i = positional_; i < params_.size(); ++i)
            if (!params_[i].default_) ++required_kwonly_;
        for (size_t i = 0; i < positional_; ++i)
            if (params_[i].default_) ++defaults_;
    }

    // The defaults, for the function's tp_traverse.
    int traverse(visitproc visit, void* arg) const {
        for (const Parameter& p : params_) Py_VISIT(p.default_);
        return 0;
    }

    size_t size() const { return params_.size(); }
    size_t positional() const { return positional_; }
    bool has_var_args() const { return !var_args_.empty(); }
    bool has_var_kwargs() const { return !var_kwargs_.empty(); }
    // True when a call with `nargs` positional arguments and no keywords binds them as they are.
    bool exact(size_t nargs) const {
        return nargs == positional_ && positional_ == params_.size() && var_args_.empty() &&
               var_kwargs_.empty();
    }

    // The parameter list in the form of a `def` line: "(self, a, /, b=None, *args, c, **kw)".
    std::string text() const {
        std::string out = "(";
        bool first = true;
        auto sep = [&] {
            if (!first) out += ", ";
            first = false;
        };
        for (size_t i = 0; i < params_.size(); ++i) {
            if (i == positional_ && var_args_.empty()) {
                sep();
                out += "*";
            }
            if (i == positional_ && !var_args_.empty()) {
                sep();
                out += "*" + var_args_;
            }
            sep();
            out += PyUnicode_AsUTF8(params_[i].name);
            if (params_[i].default_) {
                out += "=";
                out += std::string(py::repr(params_[i].default_));
            }
            if (posonly_ && i + 1 == posonly_) {
                sep();
                out += "/";
            }
        }
        if (params_.size() == positional_ && !var_args_.empty()) {
            sep();
            out += "*" + var_args_;
        }
        if (!var_kwargs_.empty()) {
            sep();
            out += "**" + var_kwargs_;
        }
        return out + ")";
    }

    // Binds a vectorcall's arguments into `out` (borrowed references, one per parameter), `*args`
    // and `**kwargs` (owned, when the list has them). Returns false with the interpreter's
    // TypeError set when the call does not fit.
    bool bind(PyObject* qualname, PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** out,
              py::object& var_args, py::object& var_kwargs) const {
        const size_t total = params_.size();
        for (size_t i = 0; i < total; ++i) out[i] = nullptr;
        size_t n = nargs < positional_ ? nargs : positional_;
        for (size_t i = 0; i < n; ++i) out[i] = args[i];
        if (!var_args_.empty()) {
            PyObject* rest = PyTuple_New(static_cast<Py_ssize_t>(nargs - n));
            if (!rest) return false;
            for (size_t i = n; i < nargs; ++i) {
                Py_INCREF(args[i]);
                PyTuple_SET_ITEM(rest, static_cast<Py_ssize_t>(i - n), args[i]);
            }
            var_args = py::reinterpret_steal<py::object>(rest);
        }
        if (!var_kwargs_.empty()) {
            var_kwargs = py::reinterpret_steal<py::object>(PyDict_New());
            if (!var_kwargs) return false;
        }
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + static_cast<size_t>(k)];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", qualname);
                return false;
            }
            size_t j = find_keyword(key);
            if (j == npos) {
                if (PyErr_Occurred()) return false;
                if (!var_kwargs) {
                    if (posonly_ && posonly_as_keyword(qualname, kwnames)) return false;
                    if (PyErr_Occurred()) return false;
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname,
                                 key);
                    return false;
                }
                if (PyDict_SetItem(var_kwargs.ptr(), key, value) < 0) return false;
                continue;
            }
            if (out[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname, key);
                return false;
            }
            out[j] = value;
        }
        if (nargs > positional_ && var_args_.empty()) {
            too_many_positional(qualname, nargs, out);
            return false;
        }
        if (nargs < positional_) {
            size_t required = positional_ - defaults_;
            if (!missing(qualname, out, nargs < required ? nargs : required, required, "positional"))
                return false;
            for (size_t i = required; i < positional_; ++i)
                if (!out[i]) out[i] = params_[i].default_;
        }
        if (total > positional_) {
            if (required_kwonly_ &&
                !missing(qualname, out, positional_, total, "keyword-only", /*kwonly=*/true))
                return false;
            for (size_t i = positional_; i < total; ++i)
                if (!out[i]) out[i] = params_[i].default_;
        }
        return true;
    }

private:
    static constexpr size_t npos = static_cast<size_t>(-1);

    // The index of the parameter that keyword `key` names (positional-only ones excluded): by
    // identity first (names are interned, as the interpreter's keywords are), then by value.
    size_t find_keyword(PyObject* key) const {
        for (size_t i = posonly_; i < params_.size(); ++i)
            if (params_[i].name == key) return i;
        for (size_t i = posonly_; i < params_.size(); ++i) {
            int eq = PyObject_RichCompareBool(params_[i].name, key, Py_EQ);
            if (eq < 0) return npos;
            if (eq) return i;
        }
        return npos;
    }

    bool posonly_as_keyword(PyObject* qualname, PyObject* kwnames) const {
        py::list names;
        for (size_t i = 0; i < posonly_; ++i) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                int eq = key == params_[i].name ? 1 : PyObject_RichCompareBool(params_[i].name, key, Py_EQ);
                if (eq < 0) return true;
                if (eq) names.append(py::handle(key));
            }
        }
        if (names.empty()) return false;
        py::str joined = py::str(", ").attr("join")(names);
        PyErr_Format(PyExc_TypeError,
                     "%U() got some positional-only arguments passed as keyword arguments: '%U'", qualname,
                     joined.ptr());
        return true;
    }

    void too_many_positional(PyObject* qualname, size_t given, PyObject* const* out) const {
        size_t kwonly_given = 0;
        for (size_t i = positional_; i < params_.size(); ++i)
            if (out[i]) ++kwonly_given;
        std::string sig;
        bool plural;
        if (defaults_) {
            plural = true;
            sig = "from " + std::to_string(positional_ - defaults_) + " to " + std::to_string(positional_);
        } else {
            plural = positional_ != 1;
            sig = std::to_string(positional_);
        }
        std::string kwonly;
        if (kwonly_given)
            kwonly = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
        PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zu%s %s given", qualname,
                     sig.c_str(), plural ? "s" : "", given, kwonly.c_str(),
                     given == 1 && !kwonly_given ? "was" : "were");
    }

    // Sets "missing N required <kind> argument(s): 'a', 'b', and 'c'" for the unset parameters in
    // [start, end) that have no default; false when there is any.
    bool missing(PyObject* qualname, PyObject* const* out, size_t start, size_t end, const char* kind,
                 bool kwonly = false) const {
        std::vector<std::string> names;
        for (size_t i = start; i < end; ++i)
            if (!out[i] && !(kwonly && params_[i].default_))
                names.push_back(std::string(py::repr(params_[i].name)));
        if (names.empty()) return true;
        std::string text;
        size_t len = names.size();
        if (len == 1) {
            text = names[0];
        } else if (len == 2) {
            text = names[0] + " and " + names[1];
        } else {
            for (size_t i = 0; i + 2 < len; ++i) text += (i ? ", " : "") + names[i];
            text += ", " + names[len - 2] + ", and " + names[len - 1];
        }
        PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %s", qualname, len, kind,
                     len == 1 ? "" : "s", text.c_str());
        return false;
    }

    std::vector<Parameter> params_;
    size_t positional_ = 0;
    size_t posonly_ = 0;
    size_t defaults_ = 0;
    size_t required_kwonly_ = 0;
    std::string var_args_;
    std::string var_kwargs_;
};

// The C++ side of a Function: receives the bound arguments, borrowed, in parameter order (and the
// *args tuple and **kwargs dict where the list has them) and returns a new reference, or null
// with a Python exception set. It owns nothing across the call beyond what the implementation
// itself holds.
//
// What the callee holds (a closure's captured objects) it shows the collector through traverse()
// and clear(), as a `def`'s closure cells are seen.
class Callee : public Traversable {
public:
    virtual PyObject* call(PyObject* const* args, PyObject* var_args, PyObject* var_kwargs) = 0;
    int traverse(visitproc, void*) override { return 0; }
    void clear() override {}
};

// Sets the Python exception for the C++ exception being handled, as pybind11's own boundary does.
// A forced unwind (a thread ended by the interpreter at exit) goes on untouched.
PYGLUE_LETS_FORCED_UNWIND_PASS inline void translate_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        auto& local = py::detail::get_local_internals().registered_exception_translators;
        if (py::detail::apply_exception_translators(local)) return;
        auto& global = py::detail::get_internals().registered_exception_translators;
        if (py::detail::apply_exception_translators(global)) return;
        PyErr_SetString(PyExc_SystemError, "unhandled C++ exception");
    }
}

// Runs `f` at the C boundary (a slot or vectorcall the interpreter calls) and returns what it
// returns: a C++ exception becomes the Python exception and null, a forced unwind goes on.
template <class F>
PyObject* boundary(F&& f) {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

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
constexpr bool is_var_args = std::is_same<py::detail::intrinsic_t<T>, py::args>::value;
template <class T>
constexpr bool is_var_kwargs = std::is_same<py::detail::intrinsic_t<T>, py::kwargs>::value;

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

    PyObject* call(PyObject* const* args, PyObject* var_args, PyObject* var_kwargs) override {
        return boundary(
            [&] { return invoke(args, var_args, var_kwargs, std::index_sequence_for<Args...>()); });
    }

    int traverse(visitproc visit, void* arg) override {
        if constexpr (has_traverse<F>::value) return f_.traverse(visit, arg);
        return 0;
    }
    void clear() override {
        if constexpr (has_traverse<F>::value) f_.clear();
    }

    static constexpr bool var_args = (false || ... || is_var_args<Args>);
    static constexpr bool var_kwargs = (false || ... || is_var_kwargs<Args>);
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
    static PyObject* source(PyObject* const* args, size_t& next, PyObject* var_args, PyObject* var_kwargs) {
        if constexpr (is_var_args<A>)
            return var_args;
        else if constexpr (is_var_kwargs<A>)
            return var_kwargs;
        else
            return args[next++];
    }

    template <size_t... I>
    PyObject* invoke(PyObject* const* args, PyObject* var_args, PyObject* var_kwargs,
                     std::index_sequence<I...>) {
        std::tuple<py::detail::make_caster<Args>...> casters;
        size_t next = 0;
        PyObject* sources[sizeof...(Args) + 1] = {source<Args>(args, next, var_args, var_kwargs)...};
        bool ok = (true && ... && std::get<I>(casters).load(sources[I], true));
        if (!ok) {
            PyErr_SetString(PyExc_TypeError, "an argument has a type this function cannot take");
            return nullptr;
        }
        PyObject* result;
        if constexpr (std::is_void<R>::value) {
            f_(py::detail::cast_op<Args>(std::move(std::get<I>(casters)))...);
            result = py::none().release().ptr();
        } else {
            result = py::detail::make_caster<R>::cast(
                         f_(py::detail::cast_op<Args>(std::move(std::get<I>(casters)))...),
                         py::return_value_policy::move, py::handle())
                         .ptr();
        }
        // The arguments' references go here, in ordinary code, not in the casters' destructors.
        (drop_caster<Args>(std::get<I>(casters)), ...);
        return result;
    }

    template <class A, class C>
    static void drop_caster(C& caster) {
        using T = py::detail::intrinsic_t<A>;
        if constexpr (std::is_base_of_v<py::object, T>) {
            T held = static_cast<T&&>(std::move(caster));
            drop(held);
        }
    }

    F f_;
};

// The callee pyglue::capture makes: `f` (a lambda that captures nothing) called with the held
// objects first, then the call's own arguments.
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
    using Sig = py::detail::function_signature_t<Fn>;
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
    if (Impl::var_args && Impl::plain_before_var_args() - offset < kwonly_from)
        kwonly_from = Impl::plain_before_var_args() - offset;
    for (size_t i = 0; i < named; ++i) {
        std::string name = b.args.empty() ? "arg" + std::to_string(i) : b.args[i].first;
        PyObject* def = b.args.empty() ? nullptr : b.args[i].second.ptr();
        s.add(name.c_str(), def, i >= kwonly_from);
    }
    if (b.posonly) s.set_posonly(b.posonly + offset);
    if (Impl::var_args) s.set_var_args(b.var_args_name);
    if (Impl::var_kwargs) s.set_var_kwargs(b.var_kwargs_name);
    s.finish();
    parts.callee = std::make_unique<Impl>(std::forward<F>(f));
    return parts;
}

// A callee for the lambda `f` that closes over `held...`: `f` captures nothing and takes the held
// objects as its first parameters, then the call's arguments. The held objects stay where the
// collector sees them, as a `def`'s closure cells are, so a cycle through them is collected:
//     make_function(m, "outer.<locals>.inner",
//                   capture([](py::object fn, py::object x) { return fn(x); }, fn), py::arg("x"));
template <class F, class... H>
auto capture(F f, H... held) {
    static_assert(std::is_empty_v<F>, "the lambda given to capture takes what it holds as parameters");
    using Split = detail::SplitSignature<sizeof...(H), py::detail::function_signature_t<F>>;
    return detail::Capture<F, typename Split::Return, std::tuple<H...>, typename Split::Rest>(
        std::move(f), std::move(held)...);
}

// A callee written against the C interface, for code that must keep no C++ object owning a
// Python reference on its stack (a daemon thread's frames, unwound at interpreter exit): it gets
// the bound arguments borrowed and returns a new reference, or null with an exception set.
using RawFunction = PyObject* (*)(PyObject* const* args, PyObject* var_args, PyObject* var_kwargs);

class RawCallee final : public Callee {
public:
    explicit RawCallee(RawFunction f) : f_(f) {}
    PyObject* call(PyObject* const* args, PyObject* var_args, PyObject* var_kwargs) override {
        return f_(args, var_args, var_kwargs);
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

// The glue's function, coroutine and generator types carry the names of the interpreter's own
// ("function", "coroutine", "generator", of builtins), so every message that names an object's
// type ("'coroutine' object is not subscriptable", "object generator can't be used in 'await'
// expression") reads as it does for a `def`, an `async def` or a generator. The spec's name gives
// the module; the name in messages is the type's tp_name, which the spec sets to the dotted form.
inline void name_as_builtin(PyObject* type) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    const char* dot = std::strrchr(t->tp_name, '.');
    if (dot) t->tp_name = dot + 1;  // points into the spec's static name
}

// The Python object of a Function.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    Signature* signature;
    Callee* callee;
    bool cleared;  // the collector broke a cycle through it: calls fail from then on
};

namespace detail {
inline PyTypeObject* function_type = nullptr;  // made at module initialisation (init_types)
}

class Function {
public:
    // The type, made once per extension module at its initialisation (it is registered nowhere,
    // so modules never collide over it).
    static PyTypeObject* type() { return detail::function_type; }

    // A new function object named `qualname` (its __name__ is the last dotted part) of `module`.
    static py::object make(FunctionParts parts, const std::string& qualname, py::handle module) {
        PyTypeObject* t = type();
        if (!t)
            throw std::logic_error(
                "the glue's types are made by pyglue::set_module at module initialisation");
        auto* self = PyObject_GC_New(FunctionObject, t);
        if (!self) throw py::error_already_set();
        self->cleared = false;
        self->vectorcall = &Function::call;
        self->dict = nullptr;
        self->weakrefs = nullptr;
        auto dot = qualname.rfind('.');
        self->name =
            PyUnicode_FromString((dot == std::string::npos ? qualname : qualname.substr(dot + 1)).c_str());
        self->qualname = PyUnicode_FromString(qualname.c_str());
        self->module = module.inc_ref().ptr();
        if (parts.has_doc) {
            self->doc = PyUnicode_FromString(parts.doc.c_str());
        } else {
            self->doc = Py_None;
            Py_INCREF(Py_None);
        }
        self->signature = parts.signature.release();
        self->callee = parts.callee.release();
        PyObject_GC_Track(self);
        py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
        if (!self->name || !self->qualname || !self->doc) throw py::error_already_set();
        return result;
    }

    static bool check(py::handle h) { return Py_TYPE(h.ptr()) == type(); }

private:
    static constexpr size_t kStackParams = 16;

    static PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* self = reinterpret_cast<FunctionObject*>(callable);
        const Signature& sig = *self->signature;
        size_t nargs = PyVectorcall_NARGS(nargsf);
        if (self->cleared) return called_after_clear(self);
        if (!kwnames && sig.exact(nargs)) return self->callee->call(args, nullptr, nullptr);
        // Binding allocates, builds error texts and may run a keyword's __eq__: what it throws
        // stops here, at the interpreter's call.
        return boundary([&]() -> PyObject* {
            PyObject* stack[kStackParams];
            std::unique_ptr<PyObject*[]> heap;
            PyObject** bound = stack;
            if (sig.size() > kStackParams) {
                heap.reset(new PyObject*[sig.size()]);
                bound = heap.get();
            }
            py::object var_args, var_kwargs;
            // Keep the qualified name alive while it may be formatted into an error.
            py::object qualname =
                py::reinterpret_borrow<py::object>(self->qualname ? self->qualname : self->name);
            if (!sig.bind(qualname ? qualname.ptr() : Py_None, args, nargs, kwnames, bound, var_args,
                          var_kwargs))
                return nullptr;
            return self->callee->call(bound, var_args.ptr(), var_kwargs.ptr());
        });
    }

    static PyObject* called_after_clear(FunctionObject* self) {
        PyErr_Format(PyExc_RuntimeError, "%U() was released by the garbage collector", self->qualname);
        return nullptr;
    }

    static PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
        if (!obj || obj == Py_None) {
            Py_INCREF(self);
            return self;
        }
        return PyMethod_New(self, obj);
    }

    static PyObject* repr(PyObject* self) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return PyUnicode_FromFormat("<function %S at %p>", f->qualname ? f->qualname : Py_None, self);
    }

    static PyObject* text_signature(PyObject* self, void*) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return boundary([&] { return py::str(f->signature->text()).release().ptr(); });
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        Py_VISIT(Py_TYPE(self));
        Py_VISIT(f->dict);
        Py_VISIT(f->module);
        Py_VISIT(f->doc);
        if (int r = f->signature->traverse(visit, arg)) return r;
        return f->callee->traverse(visit, arg);
    }

    // As the collector clears a `def` caught in a cycle: what it holds goes, its name stays.
    static int clear(PyObject* self) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        f->cleared = true;
        Py_CLEAR(f->dict);
        Py_CLEAR(f->module);
        Py_CLEAR(f->doc);
        f->callee->clear();
        return 0;
    }

    // __name__ and __qualname__ take only text (errors format them as text), as a `def`'s do;
    // __doc__ takes any object, and deleting it leaves None.
    static PyObject* get_text(PyObject* self, void* which) {
        PyObject* v = *slot(self, which);
        Py_INCREF(v);
        return v;
    }
    static int set_text(PyObject* self, PyObject* value, void* which) {
        if (!value || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                         which == &kName ? "__name__" : "__qualname__");
            return -1;
        }
        Py_INCREF(value);
        Py_SETREF(*slot(self, which), value);
        return 0;
    }
    static PyObject* get_doc(PyObject* self, void*) {
        PyObject* doc = reinterpret_cast<FunctionObject*>(self)->doc;
        if (!doc) doc = Py_None;
        Py_INCREF(doc);
        return doc;
    }
    static int set_doc(PyObject* self, PyObject* value, void*) {
        if (!value) value = Py_None;
        Py_INCREF(value);
        Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, value);
        return 0;
    }
    static inline char kName = 0, kQualname = 0;
    static PyObject** slot(PyObject* self, void* which) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return which == &kName ? &f->name : &f->qualname;
    }

    // Copied as itself and pickled by reference (its module and qualified name), as builtins and
    // `def`s are.
    static PyObject* reduce(PyObject* self, PyObject*) {
        PyObject* q = reinterpret_cast<FunctionObject*>(self)->qualname;
        Py_INCREF(q);
        return q;
    }

    static void dealloc(PyObject* self) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        PyTypeObject* t = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        if (f->weakrefs) PyObject_ClearWeakRefs(self);
        Py_CLEAR(f->dict);
        Py_CLEAR(f->name);
        Py_CLEAR(f->qualname);
        Py_CLEAR(f->module);
        Py_CLEAR(f->doc);
        delete f->callee;
        delete f->signature;
        PyObject_GC_Del(self);
        Py_DECREF(t);
    }

public:
    static PyTypeObject* make_type() {
        static PyMemberDef members[] = {
            {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
            {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
            {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
            {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyMethodDef methods[] = {
            {"__reduce__", reinterpret_cast<PyCFunction>(&Function::reduce), METH_NOARGS, nullptr},
            {nullptr, nullptr, 0, nullptr}};
        static PyGetSetDef getset[] = {
            {"__name__", &Function::get_text, &Function::set_text, nullptr, &kName},
            {"__qualname__", &Function::get_text, &Function::set_text, nullptr, &kQualname},
            {"__doc__", &Function::get_doc, &Function::set_doc, nullptr, nullptr},
            {"__text_signature__", &Function::text_signature, nullptr, nullptr, nullptr},
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr}};
        static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
                                      {Py_tp_descr_get, reinterpret_cast<void*>(&Function::descr_get)},
                                      {Py_tp_repr, reinterpret_cast<void*>(&Function::repr)},
                                      {Py_tp_traverse, reinterpret_cast<void*>(&Function::traverse)},
                                      {Py_tp_clear, reinterpret_cast<void*>(&Function::clear)},
                                      {Py_tp_dealloc, reinterpret_cast<void*>(&Function::dealloc)},
                                      {Py_tp_members, members},
                                      {Py_tp_methods, methods},
                                      {Py_tp_getset, getset},
                                      {0, nullptr}};
        static PyType_Spec spec = {"builtins.function", sizeof(FunctionObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                       Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                       Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        PyObject* t = PyType_FromSpec(&spec);
        if (!t) throw py::error_already_set();
        name_as_builtin(t);
        return reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
    }
};

// A Function named `qualname` of module `m` for the C++ callable `f` and its annotations.
template <class F, class... Extra>
py::object make_function(py::handle m, const std::string& qualname, F&& f, const Extra&... extra) {
    return Function::make(function_parts(std::forward<F>(f), false, extra...), qualname, m.attr("__name__"));
}

// `def name(...)` at module level: a Function set as the module's attribute `name`.
template <class F, class... Extra>
py::object def(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    py::object fn = make_function(m, name, std::forward<F>(f), extra...);
    m.attr(name) = fn;
    return fn;
}

// Marks a function so asyncio.iscoroutinefunction answers True.
inline void mark_coroutine_function(py::object fn) {
    fn.attr("_is_coroutine") = py::module_::import("asyncio.coroutines").attr("_is_coroutine");
}

// ---------------------------------------------------------------------------------------------
// The Python types of coroutines, generators and boxes.

// The Python object of a Coroutine: it owns the C++ state machine.
struct CoroutineObject {
    PyObject_HEAD Coroutine* impl;
    PyObject* weakrefs;
    PyObject* frame;  // made when cr_frame is first read, dropped when the machine finishes
};

namespace detail {

inline PyTypeObject* coroutine_type = nullptr;  // made at module initialisation (init_types)
inline PyTypeObject* generator_type = nullptr;

inline Coroutine& coroutine_of(PyObject* self) { return *reinterpret_cast<CoroutineObject*>(self)->impl; }

// Sets what a finished send gives its caller: StopIteration(value), or a bare StopIteration
// for None, as the interpreter's own objects do.
inline void set_stop_iteration(const py::object& value) {
    if (value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
    if (!exc) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

// The answer of a resumption to a caller of send(), throw() or __next__.
inline PyObject* outcome_result(Coroutine::Outcome o, bool next) {
    if (o.yielded) return o.value.release().ptr();
    if (!next || !o.value.is_none()) set_stop_iteration(o.value);
    drop(o.value);
    return nullptr;
}

inline PyObject* coro_send(PyObject* self, PyObject* value) {
    return boundary([&] {
        return outcome_result(coroutine_of(self).send(py::reinterpret_borrow<py::object>(value)), false);
    });
}

// The send slot, which spares the interpreter a look-up of "send" (PyIter_Send: asyncio's tasks,
// `await`); a return is no exception here.
inline PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) {
    *result = nullptr;
    PyObject* r = boundary([&]() -> PyObject* {
        Coroutine::Outcome o =
            coroutine_of(self).send(py::reinterpret_borrow<py::object>(value ? value : Py_None));
        if (o.yielded) return o.value.release().ptr();
        *result = o.value.release().ptr();
        return nullptr;
    });
    if (r) {
        *result = r;
        return PYGEN_NEXT;
    }
    return *result ? PYGEN_RETURN : PYGEN_ERROR;
}

inline PyObject* coro_next(PyObject* self) {
    return boundary([&] { return outcome_result(coroutine_of(self).send(py::none()), true); });
}

inline PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    return boundary([&] {
        auto arg = [&](Py_ssize_t i) {
            return nargs > i ? py::reinterpret_borrow<py::object>(args[i]) : py::object();
        };
        return outcome_result(coroutine_of(self).throw_(arg(0), arg(1), arg(2)), false);
    });
}

inline PyObject* coro_close(PyObject* self, PyObject*) {
    return boundary([&] {
        coroutine_of(self).close();
        return py::none().release().ptr();
    });
}

inline PyObject* coro_await(PyObject* self) {
    return boundary([&] {
        coroutine_of(self).check_not_awaited();
        return py::reinterpret_borrow<py::object>(self).release().ptr();
    });
}

inline PyObject* coro_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

inline PyObject* coro_name(PyObject* self, void*) {
    const std::string& q = coroutine_of(self).qualname();
    auto dot = q.rfind('.');
    return PyUnicode_FromString(dot == std::string::npos ? q.c_str() : q.c_str() + dot + 1);
}

inline PyObject* coro_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(coroutine_of(self).qualname().c_str());
}

inline PyObject* coro_running(PyObject* self, void*) { return PyBool_FromLong(coroutine_of(self).running()); }

inline PyObject* coro_suspended(PyObject* self, void*) {
    return PyBool_FromLong(coroutine_of(self).suspended());
}

inline PyObject* coro_none(PyObject*, void*) { Py_RETURN_NONE; }

inline PyObject* coro_awaiting(PyObject* self, void*) {
    const py::object& a = coroutine_of(self).awaiting();
    PyObject* r = a ? a.ptr() : Py_None;
    Py_INCREF(r);
    return r;
}

// cr_frame / gi_frame: a frame object while the machine has not finished (code that inspects
// coroutines, inspect.getcoroutinestate among them, reads None as "closed"), None afterwards. The
// frame names the coroutine and this module; it is made on first reading, so coroutines that
// nobody inspects cost nothing for it.
inline PyObject* coro_frame(PyObject* self, void*) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    if (c->impl->finished()) {
        Py_CLEAR(c->frame);
        Py_RETURN_NONE;
    }
    if (!c->frame) {
        PyObject* name = coro_name(self, nullptr);
        if (!name) return nullptr;
        py::object n = py::reinterpret_steal<py::object>(name);
        PyObject* module = ThisModule::get().module().ptr();
        std::string file = ThisModule::file();
        PyCodeObject* code = PyCode_NewEmpty(file.c_str(), PyUnicode_AsUTF8(name), 0);
        if (!code) return nullptr;
        PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr);
        Py_DECREF(reinterpret_cast<PyObject*>(code));
        if (!frame) return nullptr;
        c->frame = reinterpret_cast<PyObject*>(frame);
    }
    Py_INCREF(c->frame);
    return c->frame;
}

inline PyObject* coro_repr(PyObject* self) {
    const Coroutine& c = coroutine_of(self);
    return PyUnicode_FromFormat("<%s object %s at %p>", c.word(), c.qualname().c_str(), self);
}

// "coroutine '...' was never awaited", as the interpreter warns of its own coroutines: through
// warnings._warn_unawaited_coroutine when it can, else directly; never raises.
inline void warn_unawaited(PyObject* self) {
    bool warned = false;
    PyObject* warnings = PyImport_ImportModule("warnings");
    PyObject* fn = warnings ? PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine") : nullptr;
    Py_XDECREF(warnings);
    if (fn) {
        PyObject* res = PyObject_CallOneArg(fn, self);
        Py_DECREF(fn);
        if (res || PyErr_ExceptionMatches(PyExc_RuntimeWarning)) warned = true;
        Py_XDECREF(res);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited",
                                    coroutine_of(self).qualname().c_str()) < 0)
        PyErr_WriteUnraisable(self);
}

// tp_finalize: a coroutine that never ran warns that it was never awaited; one suspended is
// closed (GeneratorExit into what it awaits); a failure of that close goes to the unraisable
// hook. Runs once, from the collector or before the object is freed.
inline void coro_finalize(PyObject* self) {
    Coroutine& c = coroutine_of(self);
    if (c.finished()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (c.kind() == Coroutine::Kind::Coroutine && !c.started()) {
        warn_unawaited(self);
    } else {
        PyObject* r = coro_close(self, nullptr);
        if (r)
            Py_DECREF(r);
        else if (PyErr_Occurred())
            PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

inline int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->frame);
    return c->impl ? c->impl->traverse_all(visit, arg) : 0;
}

inline int coro_clear(PyObject* self) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    if (c->impl) c->impl->clear_all();
    Py_CLEAR(c->frame);
    return 0;
}

inline void coro_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // the finaliser resurrected it
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    PyTypeObject* t = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    Coroutine* impl = c->impl;
    c->impl = nullptr;
    if (impl) impl->clear_all();  // the machine's references go here, not in its destructor
    delete impl;
    Py_CLEAR(c->frame);
    PyObject_GC_Del(self);
    Py_DECREF(t);
}

// The type of coroutine objects (Generator false) or generator objects (true): the same methods
// under the names and texts the interpreter gives its own.
template <bool Generator>
PyTypeObject* make_coroutine_type() {
    static const char* const send_doc = Generator ? "send(arg) -> send 'arg' into generator,\n"
                                                    "return next yielded value or raise StopIteration."
                                                  : "send(arg) -> send 'arg' into coroutine,\n"
                                                    "return next iterated value or raise StopIteration.";
    static const char* const throw_doc =
        Generator ? "throw(value)\nthrow(type[,value[,tb]])\n\n"
                    "Raise exception in generator, return next yielded value or raise\nStopIteration."
                  : "throw(value)\nthrow(type[,value[,traceback]])\n\n"
                    "Raise exception in coroutine, return next iterated value or raise\nStopIteration.";
    static const char* const close_doc = Generator ? "close() -> raise GeneratorExit inside generator."
                                                   : "close() -> raise GeneratorExit inside coroutine.";
    static PyMethodDef methods[] = {
        {"send", reinterpret_cast<PyCFunction>(&coro_send), METH_O, send_doc},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&coro_throw)), METH_FASTCALL,
         throw_doc},
        {"close", reinterpret_cast<PyCFunction>(&coro_close), METH_NOARGS, close_doc},
        {nullptr, nullptr, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", &coro_name, nullptr, nullptr, nullptr},
        {"__qualname__", &coro_qualname, nullptr, nullptr, nullptr},
        {Generator ? "gi_running" : "cr_running", &coro_running, nullptr, nullptr, nullptr},
        {Generator ? "gi_suspended" : "cr_suspended", &coro_suspended, nullptr, nullptr, nullptr},
        {Generator ? "gi_yieldfrom" : "cr_await", &coro_awaiting, nullptr, nullptr, nullptr},
        {Generator ? "gi_frame" : "cr_frame", &coro_frame, nullptr, nullptr, nullptr},
        // Origin tracking (sys.set_coroutine_origin_tracking_depth) covers `async def` only.
        {Generator ? nullptr : "cr_origin", Generator ? nullptr : &coro_none, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMemberDef members[] = {
        {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakrefs), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    // A generator is not awaitable: its slot list starts after the await slot.
    static PyType_Slot slots[] = {{Py_am_await, reinterpret_cast<void*>(&coro_await)},
                                  {Py_am_send, reinterpret_cast<void*>(&coro_am_send)},
                                  {Py_tp_iter, reinterpret_cast<void*>(&coro_self)},
                                  {Py_tp_iternext, reinterpret_cast<void*>(&coro_next)},
                                  {Py_tp_repr, reinterpret_cast<void*>(&coro_repr)},
                                  {Py_tp_finalize, reinterpret_cast<void*>(&coro_finalize)},
                                  {Py_tp_traverse, reinterpret_cast<void*>(&coro_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(&coro_clear)},
                                  {Py_tp_dealloc, reinterpret_cast<void*>(&coro_dealloc)},
                                  {Py_tp_methods, methods},
                                  {Py_tp_getset, getset},
                                  {Py_tp_members, members},
                                  {0, nullptr}};
    static PyType_Spec spec = {Generator ? "builtins.generator" : "builtins.coroutine",
                               sizeof(CoroutineObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               Generator ? slots + 1 : slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw py::error_already_set();
    name_as_builtin(t);
    // Kept for the life of the process.
    py::object abc = py::module_::import("collections.abc").attr(Generator ? "Generator" : "Coroutine");
    abc.attr("register")(py::handle(t));
    return reinterpret_cast<PyTypeObject*>(t);
}

inline int box_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* b = reinterpret_cast<BoxObject*>(self);
    Py_VISIT(Py_TYPE(self));
    return b->value ? b->value->traverse(visit, arg) : 0;
}

inline int box_clear(PyObject* self) {
    auto* b = reinterpret_cast<BoxObject*>(self);
    if (b->value) b->value->clear();
    return 0;
}

inline void box_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BoxObject*>(self);
    PyTypeObject* t = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Traversable* value = b->value;
    b->value = nullptr;
    if (value) value->clear();  // its references go here, not in its destructor
    delete value;
    PyObject_GC_Del(self);
    Py_DECREF(t);
}

inline PyTypeObject* make_box_type() {
    static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&box_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(&box_clear)},
                                  {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc)},
                                  {0, nullptr}};
    static PyType_Spec spec = {"pyglue.box", sizeof(BoxObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
}

}  // namespace detail

inline PyTypeObject* Coroutine::type(Kind kind) {
    return kind == Kind::Generator ? detail::generator_type : detail::coroutine_type;
}

inline py::object Coroutine::wrap(std::unique_ptr<Coroutine> c) {
    PyTypeObject* t = type(c->kind());
    if (!t)
        throw std::logic_error("the glue's types are made by pyglue::set_module at module initialisation");
    auto* self = PyObject_GC_New(CoroutineObject, t);
    if (!self) throw py::error_already_set();
    self->impl = c.release();
    self->weakrefs = nullptr;
    self->frame = nullptr;
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

// Makes the glue's Python types of this extension module: functions, coroutines, generators
// and boxes. pyglue::set_module calls it first thing in the module's initialisation, which runs
// once and before any other thread can reach the module, so no type is ever made lazily (a
// function-local static whose initialiser runs Python code deadlocks threads that reach it first
// at the same time: one waits for the lock the other holds while it waits for the static's guard).
inline void init_types() {
    if (detail::function_type) return;
    detail::function_type = Function::make_type();
    detail::coroutine_type = detail::make_coroutine_type<false>();
    detail::generator_type = detail::make_coroutine_type<true>();
    detail::box_type = detail::make_box_type();
}

// ---------------------------------------------------------------------------------------------
// Plain Python classes built from C++.

// Builds `type(name, bases, {})` (or `metaclass(...)`), with __module__ and __qualname__ set, and
// fills it with C++ methods. Methods receive `self` as their first argument.
class PlainClass {
public:
    PlainClass(
        py::module_ m, const char* name, py::tuple bases = py::tuple(),
        py::object metaclass = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)),
        const char* doc = nullptr) {
        py::dict ns;
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = name;
        if (doc) ns["__doc__"] = doc;
        cls_ = metaclass(name, bases, ns);
        m.attr(name) = cls_;
    }

    // A method: a Function whose first parameter is `self`, qualified by the class's name.
    template <class F, class... Extra>
    PlainClass& def(const char* name, F&& f, const Extra&... extra) {
        py::setattr(cls_, name, method(name, std::forward<F>(f), extra...));
        return *this;
    }

    // A static method (no self).
    template <class F, class... Extra>
    PlainClass& def_static(const char* name, F&& f, const Extra&... extra) {
        py::object fn = Function::make(function_parts(std::forward<F>(f), false, extra...), qualname(name),
                                       cls_.attr("__module__"));
        py::setattr(cls_, name, py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr())));
        return *this;
    }

    // A read-only property computed in C++.
    template <class F>
    PlainClass& def_property_readonly(const char* name, F&& getter) {
        py::object prop =
            py::module_::import("builtins").attr("property")(method(name, std::forward<F>(getter)));
        py::setattr(cls_, name, prop);
        return *this;
    }

    // A Function that takes `self` first, qualified by the class's name, not yet set on the class.
    template <class F, class... Extra>
    py::object method(const char* name, F&& f, const Extra&... extra) const {
        return Function::make(function_parts(std::forward<F>(f), true, extra...), qualname(name),
                              cls_.attr("__module__"));
    }

    PlainClass& attr(const char* name, py::object value) {
        py::setattr(cls_, name, std::move(value));
        return *this;
    }

    py::object cls() const { return cls_; }

private:
    std::string qualname(const char* name) const {
        return std::string(py::str(cls_.attr("__qualname__"))) + "." + name;
    }

    py::object cls_;
};

}  // namespace pyglue
