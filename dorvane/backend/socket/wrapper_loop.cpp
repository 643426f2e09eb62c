#include "wrapper_loop.hpp"

#include "wrapper_module.hpp"

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
    PyObject* dict = PyModule_GetDict(module().ptr());  // borrowed
    PyObject* asyncio = PyDict_GetItemString(dict, "asyncio");  // borrowed
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

const char* const kStartLoopDoc =
    "start_loop(loop)\n\nMake `loop` the current event loop of this thread and run it forever.";

}  // namespace


void stop_loop(py::object loop) { loop.attr("call_soon_threadsafe")(loop.attr("stop")); }

namespace {

void interpreter_shutdown() {
    py::object original = global("_interpreter_shutdown");
    if (!original.is_none()) original();
}

}  // namespace

void exit_check(py::object thread, py::object loop) {
    try {
        while (truthy(thread.attr("is_alive")())) global("time").attr("sleep")(1);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) {
            // Another failure leaves the hook, after the interpreter's own shutdown wait.
            py::object exc = pyglue::fetch_exception(e);
            interpreter_shutdown();
            pyglue::raise(exc);
        }
        // The interrupt ends the wait and goes no further.
        global("stop_loop")(loop);
    }
    interpreter_shutdown();
}

void bind_loop_functions(py::module_& m) {
    m.attr("start_loop") = pyglue::Function::make(
        pyglue::raw_function_parts(&start_loop_c, {"loop"}, kStartLoopDoc), "start_loop",
        m.attr("__name__"));
    pyglue::def(m, "stop_loop", &stop_loop, py::arg("loop"),
          "stop_loop(loop)\n\nAsk `loop` to stop, from any thread, without waiting for it.");
    pyglue::def(m, "_exitCheckfunc", &exit_check, py::arg("thread"), py::arg("loop"),
          "\n    Help event_loop on another thread to catch KeyboardInterrupt.\n    ");
}

}  // namespace dorvane_wrapper
