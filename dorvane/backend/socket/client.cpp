// dorvane.backend.socket.client: the session client `Client` and its request wrapper `api` with
// the reply trimming `filter_key`.
#include "client.hpp"

namespace py = pybind11;
namespace dc = dorvane_client;

PYBIND11_MODULE(client, m) {
    pyglue::set_module(m);

    // The module's imports, kept as its globals and read from there at each use.
    m.attr("os") = py::module_::import("os");
    m.attr("asyncio") = py::module_::import("asyncio");
    m.attr("EventEmitter") = py::module_::import("pyee").attr("EventEmitter");
    m.attr("wraps") = py::module_::import("functools").attr("wraps");
    m.attr("log") = py::module_::import("dorvane.utils").attr("log");
    m.attr("protocol") = py::module_::import("dorvane.backend.socket.protocol");
    m.attr("Connection") = py::module_::import("dorvane.backend.socket.connect").attr("Connection");

    m.attr("api") = pyglue::make_function(
        m, "api",
        [](py::args keys, py::kwargs options) { return dc::api(py::tuple(keys), py::dict(options)); },
        pyglue::var_args{"deco_args"}, pyglue::var_kwargs{"deco_kwargs"},
        "Wrap a request method: its reply is trimmed to the keys `deco_args` unless "
        "deco_kwargs['all'] is true.");
    pyglue::def(
        m, "filter_key", [](py::object data, py::args keep) { dc::filter_key(data, keep); }, py::arg("data"),
        pyglue::var_args{"preserve_keys"},
        "Remove from `data`, in place, every key other than `preserve_keys`.");

    dc::bind_client(m);
}
