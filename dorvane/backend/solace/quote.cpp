// dorvane.backend.solace.quote: the quote client `Quote` and the topic function `contract2topic`.
//
// The module imports the contract classes, `inspect.signature` and the quote-type constants when
// it is loaded; the messaging binding `quillmesh.solclient` is imported only when a `Quote` is
// constructed. Every name the module or an instance holds is read through Python at each call,
// so tests and programs may replace them.
#include "pyglue.hpp"
#include "quote.hpp"

#include <functional>

namespace py = pybind11;

namespace {

namespace N = dorvane::quote::N;
using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

const char* const kQuoteDoc =
    "Session with the quote-messaging service.\n"
    "\n"
    "    Functions:\n"
    "        set_callback\n"
    "        set_event_callback\n"
    "        subscribe\n";

const char* const kSetCallbackDoc =
    "Register the quote callback.\n"
    "\n"
    "        Args:\n"
    "            func: func(topic: str, quote_msg: dict) -> int\n";

const char* const kSetEventCallbackDoc =
    "Register the session-event callback.\n"
    "\n"
    "        Args:\n"
    "            func: func(resp_code: int, event_code: int, event: str) -> None\n";

const char* const kConnectDoc =
    "Log in to the quote-messaging service; returns the binding's return code (0 for success).\n"
    "\n"
    "        Args:\n"
    "            host: the service endpoint, address and port joined by \":\"\n"
    "            vpn: the message-VPN name\n"
    "            user: the user name\n"
    "            password: the password\n";

const char* const kSubscribeDoc =
    "Subscribe to the quotes of a contract.\n"
    "\n"
    "        Args:\n"
    "            contract: a contract of the library (Stock, Future, Option or Index)\n"
    "            quote_type: one of tick and bidask\n";

const char* const kUnsubscribeDoc =
    "Unsubscribe from the quotes of a contract.\n"
    "\n"
    "        Args:\n"
    "            contract: a contract of the library (Stock, Future, Option or Index)\n"
    "            quote_type: one of tick and bidask\n";

// The parameter check of set_callback / set_event_callback: an assertion, so it is skipped when
// the interpreter runs with assertions disabled (-O). The signature is always read.
void check_parameter_count(py::handle func, size_t expected, const char* message) {
    py::object func_sign = pyglue::global(N::signature)(func);
    bool asserts = attr(pyglue::import_from("sys", "flags"), N::optimize).cast<long>() == 0;
    if (!asserts) return;
    size_t count = py::len(call_method(attr(func_sign, N::parameters), N::keys));
    if (count != expected) pyglue::raise(PyExc_AssertionError, message);
}

void quote_init(py::object self) {
    py::object solclient = pyglue::import_module("quillmesh.solclient");
    set_attr(self, N::solclient, solclient);
    set_attr(self, N::client, call_method(attr(self, N::solclient), N::client));
    set_attr(self, N::_quote_callback, py::none());
    set_attr(self, N::_event_callback, py::none());
}

// The wrappers run on the messaging binding's delivery thread. What the program's callable returns
// is the program's own object, whose finaliser may give up the interpreter lock: it is dropped
// explicitly, in ordinary code, never left to the temporary's destructor (pyglue::drop says why).
//
// The wrappers close over the program's callable only, never over the Quote. The callable is
// bound as the `__self__` of a method object rather than captured by a C++ lambda: the cycle
// collector sees through a method object, so a program object that holds its Quote and registers
// one of its own methods is still released once nothing else refers to it.
py::object bind_callable(py::handle impl, py::handle func) {
    return pyglue::import_from("types", "MethodType")(impl, func);
}

py::none quote_set_callback(py::object self, py::object func) {
    check_parameter_count(func, 2, "quote callback must have fixed as two input args with topic and msg.");
    py::object impl = pyglue::make_function(
        pyglue::this_module(), "Quote.set_callback.<locals>.quote_callback_wrapper",
        [](py::object callable, py::object topic, py::object msg) {
            pyglue::drop(callable(topic, msg));
            return 0;
        },
        py::arg("func"), py::arg("topic"), py::arg("msg"));
    py::object wrapper = bind_callable(impl, func);
    set_attr(self, N::_quote_callback, wrapper);
    py::object set_callback = attr(attr(self, N::solclient), N::set_callback);
    py::object callback = attr(self, N::_quote_callback);
    pyglue::drop(set_callback(callback));
    return py::none();
}

py::none quote_set_event_callback(py::object self, py::object func) {
    check_parameter_count(
        func, 3, "event callback must have fixed as three input args with resp_code, event_code, event.");
    py::object impl = pyglue::make_function(
        pyglue::this_module(), "Quote.set_event_callback.<locals>.fixed_handler",
        [](py::object callable, py::object resp_code, py::object event_code, py::object /*info*/,
           py::object event) { pyglue::drop(callable(resp_code, event_code, event)); },
        py::arg("func"), py::arg("resp_code"), py::arg("event_code"), py::arg("info"), py::arg("event"));
    py::object wrapper = bind_callable(impl, func);
    set_attr(self, N::_event_callback, wrapper);
    py::object set_event_callback = attr(attr(self, N::solclient), N::set_event_callback);
    py::object callback = attr(self, N::_event_callback);
    pyglue::drop(set_event_callback(callback));
    return py::none();
}

py::object quote_connect(py::object self, py::object host, py::object vpn, py::object user,
                         py::object password) {
    py::object connect = attr(attr(self, N::solclient), N::connect);
    py::object handle = attr(self, N::client);
    return connect(handle, host, vpn, user, password);
}

// subscribe / unsubscribe: the binding's call and the handle are read first, then the topic is
// made (its errors reach the caller before the binding is called).
py::none quote_topic_call(const pyglue::Name& operation, py::object self, py::object contract,
                          py::object quote_type) {
    py::object call = attr(attr(self, N::solclient), operation);
    py::object handle = attr(self, N::client);
    py::object topic = pyglue::global(N::contract2topic)(contract, quote_type);
    pyglue::drop(call(handle, topic));
    return py::none();
}

// Runs wherever the collector releases the Quote, the delivery thread included.
void quote_del(py::object self) {
    py::object disconnect = attr(attr(self, N::solclient), N::disconnect);
    py::object handle = attr(self, N::client);
    pyglue::drop(disconnect(handle));
}

}  // namespace

PYBIND11_MODULE(quote, m) {
    pyglue::set_module(m);

    // `from ... import ...`: a missing name fails the import with ImportError.
    for (const pyglue::Name* name : {&N::Stock, &N::Future, &N::Option, &N::Index})
        set_attr(m, *name, pyglue::import_from("dorvane.contracts", name->text()));
    set_attr(m, N::signature, pyglue::import_from("inspect", "signature"));
    set_attr(m, N::QUOTE_TYPE_TICK, pyglue::import_from("dorvane.constant", "QUOTE_TYPE_TICK"));
    set_attr(m, N::QUOTE_TYPE_BIDASK, pyglue::import_from("dorvane.constant", "QUOTE_TYPE_BIDASK"));

    pyglue::def(m, "contract2topic", &dorvane::quote::contract2topic,
                "Return the quote-messaging topic name of a contract for a quote type (tick or bidask).",
                py::arg("contract"), py::arg("quote_type") = "tick");

    pyglue::PlainClass cls(m, "Quote", py::tuple(),
                           py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)),
                           kQuoteDoc);
    cls.def("__init__", &quote_init);
    cls.def("set_callback", &quote_set_callback, py::arg("func"), py::doc(kSetCallbackDoc));
    cls.def("set_event_callback", &quote_set_event_callback, py::arg("func"), py::doc(kSetEventCallbackDoc));
    cls.def("connect", &quote_connect, py::arg("host"), py::arg("vpn"), py::arg("user"), py::arg("password"),
            py::doc(kConnectDoc));
    cls.def("subscribe", pyglue::capture(&quote_topic_call, std::cref(N::subscribe)), py::arg("contract"),
            py::arg("quote_type") = "tick", py::doc(kSubscribeDoc));
    cls.def("unsubscribe", pyglue::capture(&quote_topic_call, std::cref(N::unsubscribe)), py::arg("contract"),
            py::arg("quote_type") = "tick", py::doc(kUnsubscribeDoc));
    cls.def("__del__", &quote_del);
    pyglue::set_all(m, {"contract2topic", "Quote"});
}
