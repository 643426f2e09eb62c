// The facade's loop thread and exit hook: start_loop, stop_loop and _exitCheckfunc.
#pragma once

#include "pyglue.hpp"

namespace dorvane_wrapper {

namespace py = pybind11;

// Schedules `loop.stop` from any thread; returns at once.
void stop_loop(py::object loop);

// The exit hook: waits, checking once a second, while `thread` lives; a keyboard interrupt during
// the wait stops `loop` instead, and then gives the loop thread at most about a second to end.
// Then runs the interpreter's own shutdown wait (kept in the module global
// `_interpreter_shutdown` at import), so the program's non-daemon threads and the interpreter's
// registered shutdown work still run.
void exit_check(py::object thread, py::object loop);

// Adds start_loop (the target of a loop thread: makes `loop` the thread's current loop and runs it
// until stopped), stop_loop and _exitCheckfunc to the module.
void bind_loop_functions(py::module_& m);

}  // namespace dorvane_wrapper
