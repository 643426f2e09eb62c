// The pybind11 internals the glue relies on, in one place, checked on pybind11 2.10.3 (Debian 12):
// the casters that convert a Function's arguments, the signature of a callable, the registered
// exception translators, and the module entry point's handling of a failed initialisation. A move
// to another pybind11 reviews this file (the build stops below on any version but 2.10) and
// nothing else.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <utility>

static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 10,
              "the glue's use of pybind11 internals was checked on pybind11 2.10 only: review "
              "include/pyglue/compat_pybind11.hpp");

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

// A module imported in a subinterpreter fails at once with ImportError, before anything of pybind11
// runs: pybind11 sets up its internals under PyGILState_Ensure, which takes the thread state of
// the main interpreter and so, in a subinterpreter, waits for the lock that its own thread already
// holds (the import would hang). Every module's PYBIND11_MODULE expands this check first.
#ifndef PYBIND11_ENSURE_INTERNALS_READY
#error "pybind11 no longer defines PYBIND11_ENSURE_INTERNALS_READY: review the module entry point"
#endif
#undef PYBIND11_ENSURE_INTERNALS_READY
#define PYBIND11_ENSURE_INTERNALS_READY                                      \
    if (!::pyglue::compat::check_main_interpreter(__func__)) return nullptr; \
    pybind11::detail::get_internals();

namespace PYGLUE_HIDDEN pyglue {
namespace compat {

namespace py = pybind11;

// True in the main interpreter; otherwise false with ImportError set. `entry` is the name of the
// module's entry point, PyInit_<module>.
inline bool check_main_interpreter(const char* entry) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    const char* prefix = "PyInit_";
    const char* name =
        std::strncmp(entry, prefix, std::strlen(prefix)) == 0 ? entry + std::strlen(prefix) : entry;
    PyErr_Format(PyExc_ImportError,
                 "%s: the extension modules run in the main interpreter only, not in a subinterpreter", name);
    return false;
}

// The caster that converts a Python object to a C++ parameter of type T (and a result back).
template <class T>
using caster = py::detail::make_caster<T>;

// T without references and cv-qualifiers, as the casters see it.
template <class T>
using intrinsic_t = py::detail::intrinsic_t<T>;

// The signature R(Args...) of a callable: function pointer, lambda or callable class.
template <class F>
using function_signature_t = py::detail::function_signature_t<F>;

// The value of a loaded caster as a parameter of type T.
template <class T, class Caster>
decltype(auto) cast_op(Caster&& c) {
    return py::detail::cast_op<T>(std::forward<Caster>(c));
}

// Sets the Python error for the C++ exception being handled through the exception translators
// registered with pybind11 (this module's, then every module's); false when none took it.
inline bool translate_registered() {
    auto& local = py::detail::get_local_internals().registered_exception_translators;
    if (py::detail::apply_exception_translators(local)) return true;
    auto& global = py::detail::get_internals().registered_exception_translators;
    return py::detail::apply_exception_translators(global);
}

}  // namespace compat
}  // namespace pyglue
