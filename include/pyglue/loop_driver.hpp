// Stepping a coroutine on an asyncio loop as a Task steps it, without a Task.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <stdexcept>
#include <utility>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

namespace detail {
inline PyObject* loop_driver_wakeup = nullptr;  // made at module initialisation (set_module)
inline const Name kFutureBlocking{"_asyncio_future_blocking"};
inline const Name kGetLoop{"get_loop"};
inline const Name kAddDoneCallback{"add_done_callback"};
inline const Name kCallSoon{"call_soon"};
inline const Name kCancel{"cancel"};
inline const Name kResult{"result"};
}  // namespace detail

// A coroutine driven on an asyncio loop the way a Task drives it, for work whose end must be
// handed on in the step that ends it: a Task's end reaches its awaiters and done-callbacks only
// through callbacks it schedules, one loop iteration later, and its first step waits for an
// iteration too. Here:
//   - start() runs the first step at once, in the caller;
//   - a future of the loop that the coroutine awaits resumes it from the future's done-callback,
//     with the future's outcome; a bare `yield` resumes it one iteration later; anything else it
//     yields is refused with the RuntimeError a Task throws in;
//   - cancel() cancels as Task.cancel does: the awaited future is cancelled (its cancellation is
//     thrown in), or CancelledError is thrown in at the next step;
//   - finished() gets the end inline: the value returned, the exception raised (an interrupt or
//     SystemExit raised again afterwards, as a Task does), or the CancelledError that ended it. A
//     cancel that comes after the coroutine's last suspension lets its end stand.
// The driver lives in a box (pyglue::box) that its done-callback (a method bound to the box) holds
// while the coroutine waits;
// a driver that ends drops the coroutine and the callback, so nothing keeps it alive afterwards.
// Unlike in a Task, asyncio.current_task() inside the coroutine is the caller's task in the
// first step and None after it: drive only coroutines that do not ask for their task.
class LoopDriver : public Traversable {
public:
    enum class End { Returned, Raised, Cancelled };

    explicit LoopDriver(py::object loop) : loop_(std::move(loop)) {}

    const py::object& loop() const { return loop_; }
    bool done() const { return done_; }

    // Drives `coro` (its first step now). `self` is the box holding this driver.
    void start(py::handle self, py::object coro) {
        coro_ = std::move(coro);
        if (!detail::loop_driver_wakeup)
            throw std::logic_error(
                "the driver's wakeup is made by pyglue::set_module at module initialisation");
        wakeup_ = bound(detail::loop_driver_wakeup, self);
        step(py::object());
    }

    // The function of the done-callback, `wakeup(driver, fut)`, made once by set_module.
    static py::object make_wakeup() {
        return make_function(
            this_module(), "LoopDriver.wakeup",
            [](py::object box, py::object fut) { unbox<LoopDriver>(box).wakeup(std::move(fut)); },
            py::arg("driver"), py::arg("fut"));
    }

    // Task.cancel(): false once the coroutine has ended.
    bool cancel() {
        if (done_) return false;
        if (waiting_ && truthy(call_method(waiting_, detail::kCancel))) return true;
        must_cancel_ = true;
        return true;
    }

protected:
    // The coroutine's end; `value` is what it returned or the exception that ended it.
    virtual void finished(End end, py::object value) = 0;

    int traverse(visitproc visit, void* arg) override {
        return visit_members(visit, arg, loop_, coro_, waiting_, wakeup_, thrown_);
    }
    void clear() override {
        done_ = true;
        drop_members(loop_, coro_, waiting_, wakeup_, thrown_);
    }

private:
    static py::object cancelled_error() { return import_from("asyncio", "CancelledError"); }

    // The done-callback: `fut` is the awaited future, or None for a step the driver scheduled.
    void wakeup(py::object fut) {
        if (done_) return;
        py::object exc = std::move(thrown_);
        if (!fut.is_none()) {
            try {
                call_method(fut, detail::kResult);
            } catch (py::error_already_set& e) {
                exc = fetch_exception(e);
            }
        }
        drop(fut);
        step(std::move(exc));
    }

    // The next step: a send of None, or `exc` thrown in (null: none).
    void step(py::object exc) {
        if (must_cancel_) {
            py::object cancelled = cancelled_error();
            if (!exc || !PyErr_GivenExceptionMatches(exc.ptr(), cancelled.ptr())) exc = cancelled();
            must_cancel_ = false;
        }
        drop(waiting_);
        py::object yielded, returned, raised;
        if (!exc) {
            PyObject* out = nullptr;
            PySendResult r = PyIter_Send(coro_.ptr(), Py_None, &out);
            if (r == PYGEN_ERROR) {
                py::error_already_set e;
                raised = fetch_exception(e);
            } else {
                (r == PYGEN_NEXT ? yielded : returned) = py::reinterpret_steal<py::object>(out);
            }
        } else {
            PyObject* out = PyObject_CallMethodOneArg(coro_.ptr(), detail::kThrow, exc.ptr());
            drop(exc);
            if (out) {
                yielded = py::reinterpret_steal<py::object>(out);
            } else {
                py::error_already_set e;
                raised = fetch_exception(e);
                if (PyErr_GivenExceptionMatches(raised.ptr(), PyExc_StopIteration)) {
                    returned = attr(raised, detail::kValue);
                    drop(raised);
                }
            }
        }
        if (yielded) return suspend(std::move(yielded));
        end(std::move(returned), std::move(raised));
    }

    // The coroutine yielded `out`: wait for it as a Task would.
    void suspend(py::object out) {
        if (out.is_none()) return schedule(py::object());  // a bare yield: one iteration later
        py::object blocking = attr_or(out, detail::kFutureBlocking, py::handle());
        if (!blocking || blocking.is_none()) {
            return schedule(make_runtime_error(py::str("Task got bad yield: {!r}").format(out)));
        }
        py::object its_loop = call_method(out, detail::kGetLoop);
        if (!its_loop.is(loop_)) {
            return schedule(
                make_runtime_error(py::str("Task got Future {!r} attached to a different loop").format(out)));
        }
        if (!truthy(blocking)) {
            return schedule(make_runtime_error(
                py::str("yield was used instead of yield from in task with {!r}").format(out)));
        }
        set_attr(out, detail::kFutureBlocking, py::bool_(false));
        call_method(out, detail::kAddDoneCallback, wakeup_);
        waiting_ = std::move(out);
        if (must_cancel_ && truthy(call_method(waiting_, detail::kCancel))) must_cancel_ = false;
    }

    static py::object make_runtime_error(py::str text) {
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(text);
    }

    // A step one iteration later, with `exc` thrown in (null: none).
    void schedule(py::object exc) {
        thrown_ = std::move(exc);
        call_method(loop_, detail::kCallSoon, wakeup_, py::none());
    }

    void end(py::object returned, py::object raised) {
        done_ = true;
        must_cancel_ = false;
        drop_members(coro_, wakeup_);
        if (!raised) return finished(End::Returned, std::move(returned));
        if (PyErr_GivenExceptionMatches(raised.ptr(), cancelled_error().ptr()))
            return finished(End::Cancelled, std::move(raised));
        bool fatal = PyErr_GivenExceptionMatches(raised.ptr(), PyExc_KeyboardInterrupt) ||
                     PyErr_GivenExceptionMatches(raised.ptr(), PyExc_SystemExit);
        finished(End::Raised, raised);
        if (fatal) raise(raised);
    }

    py::object loop_;
    py::object coro_;
    py::object waiting_;  // the future the coroutine awaits
    py::object wakeup_;   // the done-callback that resumes it
    py::object thrown_;   // what the scheduled step throws in
    bool must_cancel_ = false;
    bool done_ = false;
};

}  // namespace pyglue
