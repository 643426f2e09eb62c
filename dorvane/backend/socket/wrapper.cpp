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
    set_attr(m, N::time, pyglue::import_module("time"));
    set_attr(m, N::asyncio, pyglue::import_module("asyncio"));
    set_attr(m, N::configparser, pyglue::import_module("configparser"));
    py::module_ threading = pyglue::import_module("threading");
    set_attr(m, N::threading, threading);
    set_attr(m, N::partial, pyglue::import_from("functools", N::partial.text()));
    set_attr(m, N::wraps, pyglue::import_from("functools", N::wraps.text()));
    set_attr(m, N::Path, pyglue::import_from("pathlib", "Path"));
    set_attr(m, N::client, pyglue::import_module("dorvane.backend.socket.client"));
    set_attr(m, N::utils, pyglue::import_module("dorvane.backend.socket.utils"));
    set_attr(m, N::log, pyglue::import_from("dorvane.utils", "log"));
    for (const pyglue::Name* name : {&N::record, &N::auth, &N::subscribe, &N::connection})
        set_attr(m, *name, pyglue::import_from("dorvane.backend.utils", name->text()));
    set_attr(m, N::ServerError, pyglue::import_from("dorvane.backend.error", "ServerError"));

    // The interpreter's own thread-shutdown wait, which the exit hook runs after its own wait.
    set_attr(m, N::_interpreter_shutdown, attr(threading, N::_shutdown));

    // The quote-service endpoint of the quote login made during login: address and port.
    set_attr(m, N::QUOTE_HOST, py::str("127.0.0.1:55555"));

    set_attr(m, N::config_path,
             call_method(m, N::Path, pyglue::ThisModule::folder()) / py::str("config.ini"));
    set_attr(m, N::config, call_method(attr(m, N::configparser), N::ConfigParser));
    py::object read = attr(attr(m, N::config), N::read);
    read(py::str(attr(m, N::config_path)));

    dw::bind_loop_functions(m);
    dw::bind_elide(m);
    dw::bind_wrapper(m);
}
