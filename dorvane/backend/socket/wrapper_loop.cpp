#include "wrapper.hpp"

#include <chrono>

namespace dorvane_wrapper {

namespace {

// start_loop is written against the C interface, without pybind11's dispatcher and without any
// C++ object that owns a Python reference on its stack. The loop thread is a daemon: when the
// interpreter finalises while the loop still runs, the thread is ended with pthread_exit the next
// time it tries to take the interpreter lock, and that unwinds its stack. C++ destructors running
// then would release Python references without the lock while the main thread tears the
// interpreter down; plain C frames unwind without running anything.
PyObject* start_loop_c(PyObject* const* args, PyObject*, PyObject*) {
    PyObject* loop = args[0];
    PyObject* dict = PyModule_GetDict(pyglue::this_module().ptr());  // borrowed
    PyObject* asyncio = PyDict_GetItemString(dict, "asyncio");       // borrowed
    if (!asyncio) {
        PyErr_SetString(PyExc_NameError, "name 'asyncio' is not defined");
        return nullptr;
    }
    PyObject* result = PyObject_CallMethod(asyncio, "set_event_loop", "O", loop);
    if (!result) return nullptr;
    Py_DECREF(result);
    result = PyObject_CallMethod(loop, "run_forever", nullptr);
    if (!result) return nullptr;
    Py_DECREF(result);
    Py_RETURN_NONE;
}

const char* const kStartLoopDoc = "Make `loop` the current event loop of this thread and run it forever.";

}  // namespace

void stop_loop(py::object loop) { call_method(loop, N::call_soon_threadsafe, attr(loop, N::stop)); }

namespace {

// How long the hook gives a loop thread that it has asked to stop, and how often it looks.
constexpr std::chrono::milliseconds kStopWait{1000};
constexpr double kStopPoll = 0.02;

void interpreter_shutdown() {
    py::object original = global(N::_interpreter_shutdown);
    if (!original.is_none()) original();
}

// Watches `thread` once a second while it lives; returns the exception that ended the wait (a
// keyboard interrupt, or any other failure), or a null object when the thread ended.
py::object watch(py::handle thread) {
    try {
        while (truthy(call_method(thread, N::is_alive))) attr(global(N::time), N::sleep)(1);
    } catch (py::error_already_set& e) {
        return pyglue::fetch_exception(e);
    }
    return py::object();
}

// After the interrupt has asked the loop to stop: a bounded moment for the loop thread to finish
// what it is running. A thread still inside the modules when the interpreter finalises is ended
// with pthread_exit, so waiting here lets the common case end cleanly; the wait never lasts much
// longer than kStopWait, and a second interrupt ends it at once.
py::object wait_for_stop(py::handle thread) {
    auto deadline = std::chrono::steady_clock::now() + kStopWait;
    try {
        while (std::chrono::steady_clock::now() < deadline && truthy(call_method(thread, N::is_alive)))
            attr(global(N::time), N::sleep)(kStopPoll);
    } catch (py::error_already_set& e) {
        py::object failure = pyglue::fetch_exception(e);
        if (!PyErr_GivenExceptionMatches(failure.ptr(), PyExc_KeyboardInterrupt)) return failure;
    }
    return py::object();
}

}  // namespace

void exit_check(py::object thread, py::object loop) {
    py::object failure = watch(thread);
    if (failure && PyErr_GivenExceptionMatches(failure.ptr(), PyExc_KeyboardInterrupt)) {
        // The interrupt ends the wait and goes no further. A loop that cannot be asked to stop
        // (closed meanwhile) fails the hook, but only after the interpreter's own shutdown wait.
        try {
            global(N::stop_loop)(loop);
            failure = wait_for_stop(thread);
        } catch (py::error_already_set& e) {
            failure = pyglue::fetch_exception(e);
        }
    }
    // Any other failure leaves the hook, after the interpreter's own shutdown wait.
    interpreter_shutdown();
    if (failure) pyglue::raise(failure);
}

void bind_loop_functions(py::module_& m) {
    set_attr(m, N::start_loop,
             pyglue::Function::make(pyglue::raw_function_parts(&start_loop_c, {"loop"}, kStartLoopDoc),
                                    "start_loop", attr(m, N::__name__)));
    pyglue::def(m, "stop_loop", &stop_loop, py::arg("loop"),
                "Ask `loop` to stop, from any thread, without waiting for it.");
    pyglue::def(m, "_exitCheckfunc", &exit_check, py::arg("thread"), py::arg("loop"),
                "\n    Help event_loop on another thread to catch KeyboardInterrupt.\n    ");
}

}  // namespace dorvane_wrapper
