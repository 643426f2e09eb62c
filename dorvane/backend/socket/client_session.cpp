#include "client.hpp"

namespace dorvane_client {

namespace {

const char* const kLoginKeys[] = {"person_id", "idno",           "username",  "sol_host",
                                  "sol_vpn",   "sol_user",       "sol_pass",  "sol_timeout",
                                  "hts_group", "sol_clientName", "sol_cache", "sol_flag"};

// The connection events the client listens to, in the order of subscription.
struct Handler {
    const pyglue::Name& event;
    const pyglue::Name& method;
};
const Handler kHandlers[] = {{N::ev_data, N::_onData},
                             {N::ev_error, N::_onError},
                             {N::ev_connected, N::_onConnected},
                             {N::ev_disconnected, N::_onDisconnected}};

using pyglue::truthy;
using pyglue::unpack2;

// send(**header, data=payload, cb=cb, loop=loop), with the interpreter's rules for `**`.
py::object send_request(py::object send, py::handle header, py::object payload, py::object cb,
                        py::object loop) {
    // The callee's name as the interpreter's own messages give it.
    auto name = [&send] { return pyglue::attr_or(send, N::__qualname__, py::str("send")); };
    py::dict kwargs;
    if (PyDict_Check(header.ptr())) {
        pyglue::require(PyDict_Update(kwargs.ptr(), header.ptr()));
    } else if (pyglue::has_attr(header, N::keys)) {
        pyglue::require(PyDict_Merge(kwargs.ptr(), header.ptr(), 1));
    } else {
        pyglue::raise(PyExc_TypeError, py::str("{}() argument after ** must be a mapping, not {}")
                                           .format(name(), Py_TYPE(header.ptr())->tp_name)
                                           .cast<std::string>());
    }
    for (auto item : kwargs) {
        if (!PyUnicode_Check(item.first.ptr())) {
            pyglue::raise(PyExc_TypeError,
                          py::str("{}() keywords must be strings").format(name()).cast<std::string>());
        }
    }
    for (const char* key : {"data", "cb", "loop"}) {
        if (kwargs.contains(key)) {
            pyglue::raise(PyExc_TypeError, py::str("{}() got multiple values for keyword argument '{}'")
                                               .format(name(), key)
                                               .cast<std::string>());
        }
    }
    kwargs["data"] = payload;
    kwargs["cb"] = cb;
    kwargs["loop"] = loop;
    return send(**kwargs);
}

void subscribe(py::object self, bool only_missing) {
    py::object event = attr(attr(self, N::conn), N::event);
    for (const Handler& h : kHandlers) {
        py::object handler = attr(self, h.method);
        if (only_missing) {
            py::object listeners = call_method(event, N::listeners, py::handle(h.event));
            if (pyglue::require(PySequence_Contains(listeners.ptr(), handler.ptr())) == 1) continue;
        }
        call_method(event, N::on, py::handle(h.event), py::arg("f") = handler);
    }
}

// ------------------------------------------------------------------------------------------
// Methods.

void client_init(py::object self, py::object person_id, py::object host, py::object port, py::object loop,
                 py::object simulation, py::object reconnection) {
    set_attr(self, N::_host, host);
    set_attr(self, N::_port, port);
    set_attr(self, N::_person_id, person_id);
    if (loop.is_none()) loop = attr(global(N::asyncio), N::get_event_loop)();
    set_attr(self, N::_loop, loop);
    set_attr(self, N::_simulation, simulation);
    set_attr(self, N::isLogined, py::bool_(false));
    set_attr(self, N::event, global(N::EventEmitter)());
    py::object connection_type = global(N::Connection);
    py::object own_host = attr(self, N::_host);
    py::object own_port = attr(self, N::_port);
    py::object own_person_id = attr(self, N::_person_id);
    py::object own_loop = attr(self, N::_loop);
    set_attr(self, N::conn, connection_type(own_host, own_port, own_person_id, py::arg("loop") = own_loop));
    subscribe(self, false);
    set_attr(self, N::reconnection, reconnection);
    set_attr(self, N::activated_vexa, py::dict());
}

py::object client_connect(py::object self, py::object loop) {
    // The connection drops every listener when it resets; listen again before a new
    // connection comes up, so its events (and a later loss) still reach this client.
    subscribe(self, true);
    if (loop.is_none()) loop = attr(self, N::_loop);
    return call_method(attr(self, N::conn), N::connect, loop);
}

void client_close(py::object self) { call_method(attr(self, N::conn), N::disconnect); }

void client_reset(py::object self) { set_attr(self, N::isLogined, py::bool_(false)); }

py::object client_login(py::object self, py::object person_id, py::object passwd, py::object cb,
                        py::object loop) {
    py::object pid = py::str(attr(global(N::os), N::getpid)());
    py::object conn = attr(self, N::conn);
    py::object local_port = attr(conn, N::local_port);
    if (local_port.is_none()) pyglue::raise(PyExc_Exception, "Please connect first.");
    py::dict sol_opt;
    sol_opt["pid"] = pid;
    sol_opt["port"] = local_port;
    py::object request = attr(global(N::protocol), N::login_in)(person_id, passwd, "V", py::arg("sol") = true,
                                                                py::arg("sol_opt") = sol_opt);
    auto [header, payload] = unpack2(request);
    py::object fut = send_request(attr(conn, N::send), header, payload, cb, loop);
    call_method(fut, N::add_done_callback, attr(self, N::login_cb));
    return fut;
}

void client_login_cb(py::object self, py::object fut) {
    // A cancelled request is a request that did not log in; asking it for its exception would
    // raise inside the loop's callback. A reply without a person id (an empty body, a trimmed
    // reply that lacks it) counts as one with a falsy person id: the state stays as it was,
    // rather than an AttributeError raised inside the loop.
    if (truthy(call_method(fut, N::cancelled)) || truthy(call_method(fut, N::exception))) {
        set_attr(self, N::isLogined, py::bool_(false));
    } else if (truthy(pyglue::attr_or(call_method(fut, N::result), N::person_id, py::none()))) {
        set_attr(self, N::isLogined, py::bool_(true));
    }
}

py::object client_logout(py::object self, py::object cb, py::object loop) {
    py::object request = attr(global(N::protocol), N::logout_in)(attr(self, N::_person_id));
    auto [header, payload] = unpack2(request);
    py::object fut = send_request(attr(attr(self, N::conn), N::send), header, payload, cb, loop);
    call_method(fut, N::add_done_callback, attr(self, N::logout_cb));
    return fut;
}

void client_logout_cb(py::object self, py::object) {
    call_method(self, N::close);
    call_method(self, N::reset);
}

void client_on_data(py::object, py::object) {}

void client_on_error(py::object, py::object msg) {
    attr(global(N::log), N::error)(py::str("Client hasError: {}").format(msg));
}

void client_on_connected(py::object) { attr(global(N::log), N::info)("connection created."); }

void client_on_disconnected(py::object self) {
    set_attr(self, N::isLogined, py::bool_(false));
    attr(global(N::log), N::info)("connection lost...\nPlease log in again.");
}

// A request method as a function of the module, ready for api's decorator.
template <class F, class... Extra>
py::object request_method(py::module_& m, const char* qualname, const char* doc, F&& f,
                          const Extra&... extra) {
    py::object fn = pyglue::make_function(m, qualname, std::forward<F>(f), extra...);
    set_attr(fn, N::__doc__, py::str(doc));
    return fn;
}

}  // namespace

py::tuple login_keys() {
    py::tuple keys(std::size(kLoginKeys));
    for (std::size_t i = 0; i < std::size(kLoginKeys); ++i) keys[i] = py::str(kLoginKeys[i]);
    return keys;
}

void bind_client(py::module_& m) {
    pyglue::PlainClass cls(m, "Client");
    py::object none = py::none();
    cls.def("__init__", &client_init, py::arg("person_id"), py::arg("host"), py::arg("port"),
            py::arg("loop") = none, py::arg("simulation") = true, py::arg("reconnection") = false);
    cls.def("connect", &client_connect, py::arg("loop") = none);
    cls.def("close", &client_close);
    cls.def("reset", &client_reset);

    py::object login = request_method(m, "Client.login",
                                      "Log in: the reply, trimmed to the login keys, completes the future.",
                                      &client_login, py::arg("self"), py::arg("person_id"), py::arg("passwd"),
                                      py::arg("cb") = none, py::arg("loop") = none);
    set_attr(cls.cls(), N::login, decorate(login_keys(), py::dict(), login));
    cls.def("login_cb", &client_login_cb, py::arg("fut"));

    py::object logout =
        request_method(m, "Client.logout", "Log out: the reply completes the future untrimmed.",
                       &client_logout, py::arg("self"), py::arg("cb") = none, py::arg("loop") = none);
    py::dict all;
    all["all"] = true;
    set_attr(cls.cls(), N::logout, decorate(py::tuple(), all, logout));
    cls.def("logout_cb", &client_logout_cb, py::arg("fut"));

    cls.def("_onData", &client_on_data, py::arg("data"));
    cls.def("_onError", &client_on_error, py::arg("msg"));
    cls.def("_onConnected", &client_on_connected);
    cls.def("_onDisconnected", &client_on_disconnected);
}

}  // namespace dorvane_client
