// dorvane.backend.socket.client: the session client `Client` and its request wrapper `api` with
// the reply trimming `filter_key`.
#include "client.hpp"

namespace py = pybind11;
namespace N = dorvane_client::N;
using pyglue::set_attr;
namespace dc = dorvane_client;

PYBIND11_MODULE(client, m) {
    pyglue::set_module(m);

    // The module's imports, kept as its globals and read from there at each use.
    set_attr(m, N::os, pyglue::import_module("os"));
    set_attr(m, N::asyncio, pyglue::import_module("asyncio"));
    set_attr(m, N::EventEmitter, pyglue::import_from("pyee", "EventEmitter"));
    set_attr(m, N::wraps, pyglue::import_from("functools", "wraps"));
    set_attr(m, N::log, pyglue::import_from("dorvane.utils", "log"));
    set_attr(m, N::protocol, pyglue::import_module("dorvane.backend.socket.protocol"));
    set_attr(m, N::Connection, pyglue::import_from("dorvane.backend.socket.connect", "Connection"));

    set_attr(m, N::api,
             pyglue::make_function(
                 m, "api", &dc::api, pyglue::var_args{"deco_args"}, pyglue::var_kwargs{"deco_kwargs"},
                 "Wrap a request method: its reply is trimmed to the keys `deco_args` unless "
                 "deco_kwargs['all'] is true."));
    pyglue::def(m, "filter_key", &dc::filter_key, py::arg("data"), pyglue::var_args{"preserve_keys"},
                "Remove from `data`, in place, every key other than `preserve_keys`.");

    dc::make_filter(m);
    dc::bind_client(m);
}
