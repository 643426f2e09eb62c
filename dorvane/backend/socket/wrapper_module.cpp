#include "wrapper_module.hpp"

namespace dorvane_wrapper {

void log(const char* level, py::handle arg) { global("log").attr(level)(arg); }

}  // namespace dorvane_wrapper
