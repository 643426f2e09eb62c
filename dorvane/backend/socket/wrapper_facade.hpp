// The class Wrapper: construction (environment, private loop on a daemon thread, exit hook,
// trading-server address), _stop and __del__, with the login members of wrapper_session.
#pragma once

#include "pyglue.hpp"

namespace dorvane_wrapper {

namespace py = pybind11;

// Builds the class Wrapper in module m, applies the decorators and binds m.Wrapper.
void bind_wrapper(py::module_& m);

}  // namespace dorvane_wrapper
