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
namespace N = dorvane_wrapper::N;
using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;
namespace dw = dorvane_wrapper;

PYBIND11_MODULE(wrapper, m) {
    pyglue::set_module(m);

    // The module's imports, kept as its globals and read from there at each use.
    set_attr(m, N::time, py::module_::import("time"));
    set_attr(m, N::asyncio, py::module_::import("asyncio"));
    set_attr(m, N::configparser, py::module_::import("configparser"));
    py::module_ threading = py::module_::import("threading");
    set_attr(m, N::threading, threading);
    py::module_ functools = py::module_::import("functools");
    set_attr(m, N::partial, attr(functools, N::partial));
    set_attr(m, N::wraps, attr(functools, N::wraps));
    set_attr(m, N::Path, pyglue::lookup("pathlib", "Path"));
    set_attr(m, N::client, py::module_::import("dorvane.backend.socket.client"));
    set_attr(m, N::utils, py::module_::import("dorvane.backend.socket.utils"));
    set_attr(m, N::log, pyglue::lookup("dorvane.utils", "log"));
    py::module_ backend_utils = py::module_::import("dorvane.backend.utils");
    for (const pyglue::Name* name : {&N::record, &N::auth, &N::subscribe, &N::connection})
        set_attr(m, *name, attr(backend_utils, *name));
    set_attr(m, N::ServerError, pyglue::lookup("dorvane.backend.error", "ServerError"));

    // The interpreter's own thread-shutdown wait, which the exit hook runs after its own wait.
    set_attr(m, N::_interpreter_shutdown, attr(threading, N::_shutdown));

    // The quote-service endpoint of the quote login made during login: address and port.
    set_attr(m, N::QUOTE_HOST, py::str("127.0.0.1:55555"));

    set_attr(m, N::config_path,
             call_method(m, N::Path, pyglue::ThisModule::folder()) / py::str("config.ini"));
    set_attr(m, N::config, call_method(attr(m, N::configparser), N::ConfigParser));
    call_method(attr(m, N::config), N::read, py::str(attr(m, N::config_path)));

    dw::bind_loop_functions(m);
    dw::bind_elide(m);
    dw::bind_wrapper(m);
}
