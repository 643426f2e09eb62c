#include "wrapper_loop.hpp"

#include "wrapper_module.hpp"

namespace dorvane_wrapper {

void start_loop(py::object loop) {
    global("asyncio").attr("set_event_loop")(loop);
    loop.attr("run_forever")();
}

void stop_loop(py::object loop) { loop.attr("call_soon_threadsafe")(loop.attr("stop")); }

void exit_check(py::object thread, py::object loop) {
    try {
        while (truthy(thread.attr("is_alive")())) global("time").attr("sleep")(1);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        // The interrupt ends the wait and goes no further.
        PyErr_Clear();
        global("stop_loop")(loop);
    }
    py::object original = global("_interpreter_shutdown");
    if (!original.is_none()) original();
}

void bind_loop_functions(py::module_& m) {
    m.def("start_loop", &start_loop, py::arg("loop"),
          "start_loop(loop)\n\nMake `loop` the current event loop of this thread and run it forever.");
    m.def("stop_loop", &stop_loop, py::arg("loop"),
          "stop_loop(loop)\n\nAsk `loop` to stop, from any thread, without waiting for it.");
    m.def("_exitCheckfunc", &exit_check, py::arg("thread"), py::arg("loop"),
          "\n    Help event_loop on another thread to catch KeyboardInterrupt.\n    ");
}

}  // namespace dorvane_wrapper
