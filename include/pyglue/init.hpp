// The module's initialisation of the glue: its types and its module object.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

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

// Remembers this extension module's object and makes the glue's types and the done-callback
// function of LoopDriver; its initialisation calls it first.
inline void set_module(py::module_ m) {
    ThisModule::get().set(std::move(m));
    compat::find_finalizing_word();  // the inline finalisation test of every release
    init_types();
    if (!detail::loop_driver_wakeup) detail::loop_driver_wakeup = LoopDriver::make_wakeup().release().ptr();
}

}  // namespace pyglue
