// Settling asyncio futures one by one, each failure reported where it belongs.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

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
        write_unraisable(keep_exception(e), fut);
    }
}

namespace detail {
// The future's methods that settling calls.
inline const Name kDone{"done"};
inline const Name kSetResult{"set_result"};
inline const Name kSetException{"set_exception"};
}  // namespace detail

// Settles an asyncio future unless it is already done: `fut.set_result(value)`, or
// `fut.set_exception(value)` when `failure`. Settling one future is independent of every other
// piece of work: when the settling itself fails (a future whose loop is closed raises while it
// schedules its callbacks), the failure goes to the exception handler of the future's loop and
// the caller goes on, so a loop over many futures settles all the others and finishes its own
// work. Exceptions that are not Exception (an interrupt) still propagate.
inline void settle_future(py::handle fut, py::handle value, bool failure) {
    try {
        if (truthy(call_method(fut, detail::kDone))) return;
        call_method(fut, failure ? detail::kSetException.ptr() : detail::kSetResult.ptr(), value);
    } catch (py::error_already_set& e) {
        py::object why = keep_exception(e);
        PyObject* loop = PyObject_CallMethod(fut.ptr(), "get_loop", nullptr);
        if (!loop) {
            py::error_already_set no_loop;
            keep_exception(no_loop);  // the settling's own failure is the one to report
            write_unraisable(why, fut);
            return;
        }
        report_to_loop(py::reinterpret_steal<py::object>(loop), "Exception while completing a future", why,
                       fut);
    }
}

inline void settle_result(py::handle fut, py::handle value) { settle_future(fut, value, false); }
inline void settle_exception(py::handle fut, py::handle exc) { settle_future(fut, exc, true); }

}  // namespace pyglue
