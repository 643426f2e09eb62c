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
//    end of the entry point that holds them, and before assigning over them (pybind11's move
//    assignment is noexcept, so a thread ended inside it ends the process too). The glue does so
//    itself for the arguments of every Function, for the values a Coroutine passes between its
//    steps, and for what a coroutine's machine or a Box holds when its object goes (their clear()
//    runs before the C++ destructor).
//
// The parts, one concern each, in the order they build on one another (each reached only through
// this header):
//  * pyglue_release.hpp (first in every unit) and pyglue/compat_cpython.hpp: reference release that
//    stays safe at exit; every private interpreter call, with the version it was checked on;
//  * pyglue/compat_pybind11.hpp: every pybind11 internal used, and the module entry point's
//    handling of a failed initialisation;
//  * pyglue/names.hpp: the one table of interned names (pyglue::Name constants, declared in each
//    module's header), attribute access and the one call-time look-up of a module's globals;
//  * pyglue/errors.hpp: raising, require() for null/-1 results, on_failure, fetch_exception and
//    the C boundary;
//  * pyglue/semantics.hpp: drop, truth, number text, unpacking, awaitability;
//  * pyglue/record.hpp: RecordShape, dicts of one fixed key list made many times (records, headers);
//  * pyglue/futures.hpp: settling futures one by one;
//  * pyglue/states.hpp: an explicit state (an enum class) with one checked transition;
//  * pyglue/traverse.hpp: Traversable state, visit_members / drop_members and Box, so cycles through
//    C++ state are collected;
//  * pyglue/coroutine.hpp, coroutine_type.hpp: C++ state machines that speak the coroutine and
//    generator protocol of the interpreter's own objects, and their Python types;
//  * pyglue/signature.hpp, callee.hpp, function.hpp: Function, every callable a module exposes;
//    binds its arguments by Python's rules with the interpreter's own error texts, reads as a
//    signature through inspect, binds as a method and has an instance __dict__;
//  * pyglue/loop_driver.hpp: LoopDriver, a coroutine stepped on an asyncio loop as a Task steps it,
//    without a Task, its end handed on in the step that ends it;
//  * pyglue/plain_class.hpp: a plain Python class (base object or any Python base, instance
//    __dict__, __del__ on release) built with type(name, bases, namespace) and filled with C++
//    methods;
//  * pyglue/init.hpp: set_module, which the module's initialisation calls first: it keeps the
//    module object and makes the glue's types.
#pragma once

#include "pyglue_release.hpp"  // before pybind11: safe reference release (the rule above)

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <structmember.h>

#include "pyglue/compat_pybind11.hpp"

#include "pyglue/names.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/semantics.hpp"
#include "pyglue/record.hpp"
#include "pyglue/futures.hpp"
#include "pyglue/states.hpp"
#include "pyglue/traverse.hpp"
#include "pyglue/coroutine.hpp"
#include "pyglue/signature.hpp"
#include "pyglue/callee.hpp"
#include "pyglue/function.hpp"
#include "pyglue/loop_driver.hpp"
#include "pyglue/coroutine_type.hpp"
#include "pyglue/plain_class.hpp"
#include "pyglue/init.hpp"
