// Coroutines and generators written as C++ state machines.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

namespace detail {
// The names of the protocol the driver reads on awaited objects.
inline const Name kClose{"close"};
inline const Name kThrow{"throw"};
inline const Name kValue{"value"};
inline const Name kCrAwait{"cr_await"};
inline const Name kWarnings{"warnings"};
}  // namespace detail

// A coroutine written as a C++ state machine. Subclasses implement step(): it is called with the
// value sent in (None at the start, the result of an awaited object after an `await`) or with an
// exception thrown in (then `exc` is not None). It answers with one of:
//   Step::await_on(x)  - await x: the driver gets x's iterator as `await` does and forwards send,
//                        throw and close to it, passing what it yields through unchanged; step()
//                        is called again with its result or its exception;
//   Step::yield(x)     - yield x to whoever drives the coroutine (bare `yield`, rarely needed);
//   Step::finish(x)    - return x (StopIteration(x) for the driver);
//   Step::fail(e)      - raise the exception e: the coroutine ends exactly as a raise of e from
//                        step() would end it, without unwinding the C++ frames between step() and
//                        the interpreter (a cancellation that ends a coroutine is routine work).
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
        enum Kind { Await, Yield, Return, Raise } kind;
        py::object value;
        static Step await_on(py::object x) { return {Await, std::move(x)}; }
        static Step yield(py::object x) { return {Yield, std::move(x)}; }
        static Step finish(py::object x = py::none()) { return {Return, std::move(x)}; }
        static Step fail(py::object e) { return {Raise, std::move(e)}; }
    };

    enum class Kind { Coroutine, Generator };

    // What one resumption gave: a value yielded (the machine is suspended), the value returned
    // (it finished), or, when `raised`, the exception it finished with, as a raise would have left
    // it (its context and traceback set), for the caller to raise as it is.
    struct Outcome {
        bool yielded;
        py::object value;
        bool raised = false;
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
    // objects answer them. `val` and `tb` are null when not given. Each counts as a level of the
    // interpreter's recursion, since it goes on into what the machine awaits: a chain of any depth
    // gives RecursionError past the limit instead of overflowing the C stack.
    Outcome send(py::object value) {
        if (!started_ && !finished_ && !value.is_none())
            raise(PyExc_TypeError, std::string("can't send non-None value to a just-started ") + word());
        return recursion_counted([&] { return resume(std::move(value), py::none()); });
    }

    Outcome throw_(py::object typ, py::object val, py::object tb) {
        return recursion_counted(
            [&] { return throw_counted(std::move(typ), std::move(val), std::move(tb)); });
    }

    // close(): GeneratorExit in at the point of suspension; a machine that yields instead fails
    // with "... ignored GeneratorExit" and stays suspended, as the interpreter's do. The suspended
    // coroutines of this module that it awaits through (each awaiting the next) are closed one after
    // another from the deepest, in the order and with the outcomes that nested closes would give,
    // but without nesting: releasing a suspended chain of any depth closes it.
    void close() {
        if (finished_) return;
        if (running_) raise(PyExc_ValueError, std::string(word()) + " already executing");
        py::object failure = recursion_counted([&] { return close_chain(); });
        if (failure) rethrow(failure);
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

    // Whether `obj` is the Python object of this machine (a task's get_coro(), say).
    bool is_object(py::handle obj) const;

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

    // The machine of `h` when it is a suspended coroutine object of this module, else null.
    static Coroutine* suspended_machine(py::handle h);

    Outcome throw_counted(py::object typ, py::object val, py::object tb) {
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

    // The work of close(): the failure to raise, null when the machine closed. Each machine of the
    // chain counts as running until its turn comes, as it would while it waits in close() for the
    // close of what it awaits.
    py::object close_chain() {
        std::vector<Coroutine*> chain{this};
        for (Coroutine* c = this; c->awaiting_;) {
            Coroutine* next = suspended_machine(c->awaiting_);
            if (!next) break;
            c->running_ = true;
            chain.push_back(next);
            c = next;
        }
        size_t at = chain.size();
        py::object failure;  // what closing the machine below gave (null: it closed)
        on_failure(
            [&] {
                while (at-- > 0) {
                    chain[at]->running_ = false;
                    failure = chain[at]->close_one(at + 1 < chain.size(), std::move(failure));
                }
            },
            [&] {
                for (size_t i = 0; i < at; ++i) chain[i]->running_ = false;
            });
        return failure;
    }

    // One machine's part of close(): what it awaits is closed (through its close(), or, when
    // `closed_below`, already, with `below` the failure of that close), then GeneratorExit, or that
    // failure, goes in at the point of suspension. Answers the failure of this close, null when the
    // machine closed.
    py::object close_one(bool closed_below, py::object below) {
        py::object exc;
        if (closed_below) {
            RunningGuard guard(running_);
            drop(awaiting_);
            exc = std::move(below);
        } else if (awaiting_) {
            exc = close_delegate();
        }
        if (!exc) exc = py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)();
        Outcome outcome;
        py::object failure;
        try {
            outcome = resume(py::none(), std::move(exc), /*closing=*/true);
            if (outcome.raised) failure = std::move(outcome.value);
        } catch (py::error_already_set& e) {
            failure = fetch_exception(e);
        }
        if (failure) {
            if (!PyErr_GivenExceptionMatches(failure.ptr(), PyExc_GeneratorExit) &&
                !PyErr_GivenExceptionMatches(failure.ptr(), PyExc_StopIteration))
                return failure;
            drop(failure);
            return py::object();
        }
        if (!outcome.yielded) return py::object();
        drop(outcome.value);
        // Raised and fetched, so that it gets the handled exception as __context__ as a raise would.
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", word());
        py::error_already_set ignored;
        return fetch_exception(ignored);
    }

public:
    // Sets `exc` as the error, as it is: its traceback and context stay what they are (an
    // exception passing through, as opposed to one raised anew).
    static void restore(py::handle exc) {
        PyObject* tb = PyException_GetTraceback(exc.ptr());
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
        Py_INCREF(type);
        PyErr_Restore(type, exc.inc_ref().ptr(), tb);
    }

private:
    // Raises `exc` as it is (see restore).
    [[noreturn]] static void rethrow(py::handle exc) {
        restore(exc);
        throw py::error_already_set();
    }

    // The exception that raise(exc) would unwind with from here, taken back at once: its context
    // is the exception being handled now, as a raise gives it.
    static py::object raised_form(py::handle exc) {
        if (PyExceptionInstance_Check(exc.ptr()))
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
        else
            PyErr_SetNone(exc.ptr());
        return take_error();
    }

    // PEP 479: the RuntimeError that a StopIteration escaping the machine becomes.
    py::object stop_iteration_error(py::object stop) const {
        std::string text = std::string(word()) + " raised StopIteration";
        PyObject* err = PyObject_CallOneArg(PyExc_RuntimeError, py::str(text).ptr());
        if (!err) throw py::error_already_set();
        py::object error = py::reinterpret_steal<py::object>(err);
        PyException_SetCause(err, stop.inc_ref().ptr());
        PyException_SetContext(err, stop.release().ptr());
        return error;
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

    // close() of the awaited object, as the interpreter closes what a coroutine awaits (the
    // machine counts as running meanwhile), which is then let go: the failure of that close, null
    // when it closed. A close() whose look-up fails for another reason than a missing attribute
    // goes to the unraisable hook, as the interpreter has it.
    py::object close_delegate() {
        RunningGuard guard(running_);
        py::object sub = std::move(awaiting_);
        py::object failure;
        PyObject* meth = PyObject_GetAttr(sub.ptr(), detail::kClose);
        if (!meth) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_WriteUnraisable(sub.ptr());
            PyErr_Clear();
        } else {
            PyObject* r = PyObject_CallNoArgs(meth);
            Py_DECREF(meth);
            if (r) {
                Py_DECREF(r);
            } else {
                failure = take_error();
            }
        }
        drop(sub);  // in ordinary code: it may be the program's own object (see drop)
        return failure;
    }

    // throw() while suspended in an await: the awaited object's own throw() gets the arguments;
    // GeneratorExit closes it instead, and one without throw() is left (the exception is then
    // raised at the point of suspension).
    Delegated throw_into_awaited(py::handle typ, py::handle val, py::handle tb, py::object& out,
                                 py::object& value, py::object& exc) {
        if (PyErr_GivenExceptionMatches(typ.ptr(), PyExc_GeneratorExit)) {
            exc = close_delegate();
            return Delegated::NotThrown;
        }
        RunningGuard guard(running_);
        py::object method = attr_or(awaiting_, detail::kThrow, py::handle());
        if (!method) {
            drop(awaiting_);
            return Delegated::NotThrown;
        }
        PyObject* args[3] = {typ.ptr(), val.ptr(), tb.ptr()};
        size_t nargs = !val ? 1 : !tb ? 2 : 3;
        PyObject* r = PyObject_Vectorcall(method.ptr(), args, nargs, nullptr);
        drop(method);
        if (r) {
            out = py::reinterpret_steal<py::object>(r);
            return Delegated::Yielded;
        }
        drop(awaiting_);
        py::object e = take_error();
        if (PyErr_GivenExceptionMatches(e.ptr(), PyExc_StopIteration)) {
            value = attr(e, detail::kValue);
            drop(e);
            return Delegated::Returned;
        }
        exc = std::move(e);
        return Delegated::Raised;
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
        drop_members(awaiting_, value, exc);  // in ordinary code, not in an assignment (see drop)
        if (r == PYGEN_RETURN) {
            value = py::reinterpret_steal<py::object>(result);
            exc = py::none();
            return false;
        }
        exc = take_error();
        value = py::none();
        return false;
    }

    // The iterator `await x` drives, as the interpreter gets it: the coroutine itself, the result
    // of its __await__ slot (which must be an iterator), or a types.coroutine generator (generator-based
    // coroutines of older code).
    static py::object await_iterator(py::object x) {
        PyObject* o = x.ptr();
        if (PyCoro_CheckExact(o)) {
            if (!attr(x, detail::kCrAwait).is_none())
                raise(PyExc_RuntimeError, "coroutine is being awaited already");
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
        if (is_generator_coroutine(x)) return x;
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
        if (outcome.raised) {  // the same clean-up as for a failure that unwinds
            finished_ = true;
            drop(awaiting_);
        }
        drop_members(value, exc);
        return outcome;
    }

    // The machine itself, with PEP 479 applied to what escapes it.
    Outcome run(py::object& value, py::object& exc, bool fresh) {
        try {
            Outcome outcome = run_steps(value, exc, fresh);
            if (outcome.raised && PyErr_GivenExceptionMatches(outcome.value.ptr(), PyExc_StopIteration))
                outcome.value = stop_iteration_error(std::move(outcome.value));
            return outcome;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_StopIteration)) throw;
            rethrow(stop_iteration_error(fetch_exception(e)));
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
            case Step::Raise:
                if (exc.is_none()) s.value = raised_form(s.value);  // step_handling made it already
                return {false, std::move(s.value), true};
            case Step::Yield:
                return {true, std::move(s.value)};
            case Step::Return:
                finished_ = true;
                return {false, std::move(s.value)};
            case Step::Await:
                awaiting_ = await_iterator(std::move(s.value));
                drop_members(value, exc);
                value = py::none();
                exc = py::none();
                break;
            }
        }
    }

    // step() while it handles the thrown-in `exc`: `exc` is pushed as the handled exception of
    // the thread, as the interpreter pushes a coroutine's own exception state while it runs.
    Step step_handling(py::object& value, py::object& exc) {
        compat::push_handled(handling_, exc.ptr());
        auto pop = [&] { compat::pop_handled(handling_); };
        Step s = on_failure([&] { return step(value, exc); }, pop);
        // An exception step() ends with is raised while `exc` is handled (its context).
        if (s.kind == Step::Raise) s.value = on_failure([&] { return raised_form(s.value); }, pop);
        pop();
        return s;
    }

    std::string qualname_;
    Kind kind_;
    py::object awaiting_;
    compat::HandledItem handling_{nullptr, nullptr};
    bool started_ = false;
    bool finished_ = false;
    bool running_ = false;
};

}  // namespace pyglue
