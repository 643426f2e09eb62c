#include "client.hpp"

namespace dorvane_client {

namespace {

const char* const kLoginKeys[] = {"person_id", "idno",           "username",  "sol_host",
                                  "sol_vpn",   "sol_user",       "sol_pass",  "sol_timeout",
                                  "hts_group", "sol_clientName", "sol_cache", "sol_flag"};

// The connection events the client listens to, in the order of subscription.
struct Handler {
    const char* event;
    const char* method;
};
const Handler kHandlers[] = {{"data", "_onData"},
                             {"error", "_onError"},
                             {"connected", "_onConnected"},
                             {"disconnected", "_onDisconnected"}};

using pyglue::truthy;
using pyglue::unpack2;

// send(**header, data=payload, cb=cb, loop=loop), with the interpreter's rules for `**`.
py::object send_request(py::object send, py::handle header, py::object payload, py::object cb,
                        py::object loop) {
    // The callee's name as the interpreter's own messages give it.
    auto name = [&send] { return py::getattr(send, "__qualname__", py::str("send")); };
    py::dict kwargs;
    if (PyDict_Check(header.ptr())) {
        if (PyDict_Update(kwargs.ptr(), header.ptr()) < 0) throw py::error_already_set();
    } else if (py::hasattr(header, "keys")) {
        if (PyDict_Merge(kwargs.ptr(), header.ptr(), 1) < 0) throw py::error_already_set();
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
    py::object event = self.attr("conn").attr("event");
    for (const Handler& h : kHandlers) {
        py::object handler = self.attr(h.method);
        if (only_missing) {
            py::object listeners = event.attr("listeners")(h.event);
            if (PySequence_Contains(listeners.ptr(), handler.ptr()) == 1) continue;
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        event.attr("on")(h.event, py::arg("f") = handler);
    }
}

// ------------------------------------------------------------------------------------------
// Methods.

void client_init(py::object self, py::object person_id, py::object host, py::object port, py::object loop,
                 py::object simulation, py::object reconnection) {
    self.attr("_host") = host;
    self.attr("_port") = port;
    self.attr("_person_id") = person_id;
    if (loop.is_none()) loop = attr(global(N::asyncio), N::get_event_loop)();
    self.attr("_loop") = loop;
    self.attr("_simulation") = simulation;
    self.attr("isLogined") = false;
    self.attr("event") = global(N::EventEmitter)();
    self.attr("conn") = global(N::Connection)(self.attr("_host"), self.attr("_port"), self.attr("_person_id"),
                                              py::arg("loop") = self.attr("_loop"));
    subscribe(self, false);
    self.attr("reconnection") = reconnection;
    self.attr("activated_vexa") = py::dict();
}

py::object client_connect(py::object self, py::object loop) {
    // The connection drops every listener when it resets; listen again before a new
    // connection comes up, so its events (and a later loss) still reach this client.
    subscribe(self, true);
    if (loop.is_none()) loop = self.attr("_loop");
    return self.attr("conn").attr("connect")(loop);
}

void client_close(py::object self) { self.attr("conn").attr("disconnect")(); }

void client_reset(py::object self) { self.attr("isLogined") = false; }

py::object client_login(py::object self, py::object person_id, py::object passwd, py::object cb,
                        py::object loop) {
    py::object pid = py::str(attr(global(N::os), N::getpid)());
    py::object conn = self.attr("conn");
    py::object local_port = conn.attr("local_port");
    if (local_port.is_none()) pyglue::raise(PyExc_Exception, "Please connect first.");
    py::dict sol_opt;
    sol_opt["pid"] = pid;
    sol_opt["port"] = local_port;
    py::object request = attr(global(N::protocol), N::login_in)(person_id, passwd, "V", py::arg("sol") = true,
                                                                py::arg("sol_opt") = sol_opt);
    auto [header, payload] = unpack2(request);
    py::object fut = send_request(conn.attr("send"), header, payload, cb, loop);
    fut.attr("add_done_callback")(self.attr("login_cb"));
    return fut;
}

void client_login_cb(py::object self, py::object fut) {
    // A cancelled request is a request that did not log in; asking it for its exception would
    // raise inside the loop's callback.
    if (truthy(fut.attr("cancelled")()) || truthy(fut.attr("exception")())) {
        self.attr("isLogined") = false;
    } else if (truthy(fut.attr("result")().attr("person_id"))) {
        self.attr("isLogined") = true;
    }
}

py::object client_logout(py::object self, py::object cb, py::object loop) {
    py::object request = attr(global(N::protocol), N::logout_in)(self.attr("_person_id"));
    auto [header, payload] = unpack2(request);
    py::object fut = send_request(self.attr("conn").attr("send"), header, payload, cb, loop);
    fut.attr("add_done_callback")(self.attr("logout_cb"));
    return fut;
}

void client_logout_cb(py::object self, py::object) {
    self.attr("close")();
    self.attr("reset")();
}

void client_on_data(py::object, py::object) {}

void client_on_error(py::object, py::object msg) {
    attr(global(N::log), N::error)(py::str("Client hasError: {}").format(msg));
}

void client_on_connected(py::object) { attr(global(N::log), N::info)("connection created."); }

void client_on_disconnected(py::object self) {
    self.attr("isLogined") = false;
    attr(global(N::log), N::info)("connection lost...\nPlease log in again.");
}

// A request method as a function of the module, ready for api's decorator.
template <class F, class... Extra>
py::object request_method(py::module_& m, const char* qualname, const char* doc, F&& f,
                          const Extra&... extra) {
    py::object fn = pyglue::make_function(m, qualname, std::forward<F>(f), extra...);
    fn.attr("__doc__") = doc;
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
    cls.attr("login", decorate(login, login_keys(), py::dict()));
    cls.def("login_cb", &client_login_cb, py::arg("fut"));

    py::object logout =
        request_method(m, "Client.logout", "Log out: the reply completes the future untrimmed.",
                       &client_logout, py::arg("self"), py::arg("cb") = none, py::arg("loop") = none);
    py::dict all;
    all["all"] = true;
    cls.attr("logout", decorate(logout, py::tuple(), all));
    cls.def("logout_cb", &client_logout_cb, py::arg("fut"));

    cls.def("_onData", &client_on_data, py::arg("data"));
    cls.def("_onError", &client_on_error, py::arg("msg"));
    cls.def("_onConnected", &client_on_connected);
    cls.def("_onDisconnected", &client_on_disconnected);
}

}  // namespace dorvane_client
