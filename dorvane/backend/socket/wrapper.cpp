// dorvane.backend.socket.wrapper: the socket trading facade `Wrapper`, its loop functions
// start_loop / stop_loop and the exit hook _exitCheckfunc.
//
// Importing the module performs the imports below, reads config.ini beside the module once into
// the shared `config`, and builds the class. Nothing is started and no connection is made.
#include "wrapper.hpp"

namespace dorvane_wrapper {

void log(PyObject* level, py::handle arg) { pyglue::call_method(global(N::log), level, arg); }

}  // namespace dorvane_wrapper

namespace py = pybind11;
namespace dw = dorvane_wrapper;

PYBIND11_MODULE(wrapper, m) {
    py::options options;
    options.disable_function_signatures();
    pyglue::set_module(m);

    // The module's imports, kept as its globals and read from there at each use.
    m.attr("time") = py::module_::import("time");
    m.attr("asyncio") = py::module_::import("asyncio");
    m.attr("configparser") = py::module_::import("configparser");
    py::module_ threading = py::module_::import("threading");
    m.attr("threading") = threading;
    py::module_ functools = py::module_::import("functools");
    m.attr("partial") = functools.attr("partial");
    m.attr("wraps") = functools.attr("wraps");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("client") = py::module_::import("dorvane.backend.socket.client");
    m.attr("utils") = py::module_::import("dorvane.backend.socket.utils");
    m.attr("log") = py::module_::import("dorvane.utils").attr("log");
    py::module_ backend_utils = py::module_::import("dorvane.backend.utils");
    for (const char* name : {"record", "auth", "subscribe", "connection"})
        m.attr(name) = backend_utils.attr(name);
    m.attr("ServerError") = py::module_::import("dorvane.backend.error").attr("ServerError");

    // The interpreter's own thread-shutdown wait, which the exit hook runs after its own wait.
    m.attr("_interpreter_shutdown") = threading.attr("_shutdown");

    // The quote-service endpoint of the quote login made during login: address and port.
    m.attr("QUOTE_HOST") = "127.0.0.1:55555";

    m.attr("config_path") = m.attr("Path")(pyglue::ThisModule::folder()) / py::str("config.ini");
    m.attr("config") = m.attr("configparser").attr("ConfigParser")();
    m.attr("config").attr("read")(py::str(m.attr("config_path")));

    dw::bind_loop_functions(m);
    dw::bind_elide(m);
    dw::bind_wrapper(m);
}
