#include "wrapper.hpp"

namespace dorvane_wrapper {

namespace {

// How long a failed construction waits for the loop thread it started to end (seconds).
constexpr double kFailedLoopJoin = 1.0;

void wrapper_init(py::object self, py::object simulation, py::object /*proxies*/, py::object products) {
    const char* section = truthy(simulation) ? "UAT" : "PRODUCTION";
    attr(global(N::utils), N::patchAsyncio)();

    set_attr(self, N::_loop, attr(global(N::asyncio), N::new_event_loop)());
    py::object loop = attr(self, N::_loop);
    py::object threading = global(N::threading);
    py::object thread = call_method(threading, N::Thread, py::arg("target") = global(N::start_loop),
                                    py::arg("args") = py::make_tuple(loop));
    set_attr(thread, N::daemon, py::bool_(true));
    call_method(thread, N::start);

    py::object previous_hook = attr(threading, N::_shutdown);
    py::object hook = global(N::partial)(global(N::_exitCheckfunc), thread, loop);
    set_attr(threading, N::_shutdown, hook);

    // A configuration without the section or key fails the construction. The new loop is then
    // stopped and the previous exit hook put back, so the failed object keeps no thread alive and
    // the process can still end. Nothing else ever reaches that loop: once its thread has ended it
    // is closed, so the collector never finalises an open loop whose self-pipe went first (asyncio
    // then reports "Invalid file descriptor: -1" from the loop's __del__).
    try {
        py::object config = global(N::config);
        set_attr(self, N::_host, call_method(config, N::get, section, "host"));
        set_attr(self, N::_port, call_method(config, N::get, section, "port"));
    } catch (py::error_already_set& e) {
        py::object exc = pyglue::fetch_exception(e);
        global(N::stop_loop)(loop);
        py::object installed = attr(threading, N::_shutdown);
        if (installed.is(hook)) set_attr(threading, N::_shutdown, previous_hook);
        call_method(thread, N::join, kFailedLoopJoin);
        if (!truthy(call_method(thread, N::is_alive))) call_method(loop, N::close);
        pyglue::raise(exc);
    }

    set_attr(self, N::_client, py::none());
    set_attr(self, N::stock_account, py::none());
    set_attr(self, N::future_account, py::none());
    set_attr(self, N::accounts, py::none());
    set_attr(self, N::trades, py::dict());
    set_attr(self, N::order_id, py::int_(0));
    set_attr(self, N::_auto_update, py::bool_(true));
    set_attr(self, N::products, products);
}

// Made once when the module initialises (bind_wrapper) and kept for the life of the process.
PyObject* g_end_then_stop = nullptr;

// On the loop thread: ends the keep-alive tasks of the session's connection, then asks the loop
// to stop. The stop is asked from here, so the loop runs the cancelled tasks' last step before
// it stops, and none is left pending on the stopped loop (collected later, such a task reports
// "Task was destroyed but it is pending!").
void end_then_stop(py::object connection, py::object loop) {
    py::object running = pyglue::attr_or(connection, N::_keepalives, py::none());
    if (PyAnySet_Check(running.ptr())) {
        py::list tasks = py::reinterpret_steal<py::list>(pyglue::require(PySequence_List(running.ptr())));
        for (py::handle task : tasks) call_method(task, N::cancel);
    }
    global(N::stop_loop)(loop);
}

// The connection of the facade's session client; None before the first login.
py::object session_connection(py::handle self) {
    py::object session = pyglue::attr_or(self, N::_client, py::none());
    if (session.is_none()) return session;
    return pyglue::attr_or(session, N::conn, py::none());
}

// Stops the loop. The session stays as it is (no logout, nothing closed); only its keep-alive,
// which the stopped loop could never run again, is ended first.
void wrapper_stop(py::object self) {
    py::object loop = attr(self, N::_loop);
    py::object connection = session_connection(self);
    if (connection.is_none()) {
        global(N::stop_loop)(loop);
        return;
    }
    py::object ending =
        global(N::partial)(py::reinterpret_borrow<py::object>(g_end_then_stop), connection, loop);
    call_method(loop, N::call_soon_threadsafe, ending);
}

// Destruction stops the loop; a loop that is already closed has nothing left to stop, and asking it
// would only raise inside __del__.
void wrapper_del(py::object self) {
    py::object loop = pyglue::attr_or(self, N::_loop, py::none());
    if (!loop.is_none() && pyglue::truthy(call_method(loop, N::is_closed))) return;
    call_method(self, N::_stop);
}

// A coroutine method: an object with __dict__ and __get__ that asyncio recognises as a coroutine
// function and that binds to the instance.
template <class F, class... Extra>
void def_coroutine(py::module_& m, py::object cls, const pyglue::Name& name, F&& f, const Extra&... extra) {
    std::string qualname = std::string("Wrapper.") + name.text();
    py::object fn = pyglue::make_function(m, qualname, std::forward<F>(f), extra...);
    pyglue::mark_coroutine_function(fn);
    set_attr(cls, name, fn);
}

// A method bound to what `decorator` returns for it; the function handed to the decorator
// carries the method's own name, qualified name and module.
template <class F, class... Extra>
void def_decorated(py::module_& m, py::object cls, const pyglue::Name& decorator, const pyglue::Name& name,
                   F&& f, const Extra&... extra) {
    std::string qualname = std::string("Wrapper.") + name.text();
    py::object fn = pyglue::make_function(m, qualname, std::forward<F>(f), extra...);
    set_attr(cls, name, global(decorator)(fn));
}

}  // namespace

void bind_wrapper(py::module_& m) {
    pyglue::PlainClass builder(m, "Wrapper", py::tuple(),
                               py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)),
                               "Socket trading facade: the session client runs on a private event loop "
                               "of its own thread behind blocking login and logout.");
    py::object cls = builder.cls();
    set_attr(cls, N::OrderProps, py::none());
    builder.def("__init__", &wrapper_init, py::arg("simulation"), py::arg("proxies") = py::none(),
                py::arg("products") = py::none());
    builder.def("logout", &logout, py::arg("timeout") = 5,
                "Log out of the trading server; waits at most `timeout` seconds.");
    def_coroutine(m, cls, N::logoutAsync, &logout_async, py::arg("self"), py::arg("loop") = py::none());
    def_decorated(m, cls, N::subscribe, N::login, &login, py::arg("self"), py::arg("person_id"),
                  py::arg("passwd"), py::arg("quote") = py::none(), py::arg("timeout") = 5,
                  "Log in to the trading server "
                  "and, when `quote` is given, to the quote service; waits at most `timeout` "
                  "seconds.");
    def_coroutine(m, cls, N::loginAsync, &login_async, py::arg("self"), py::arg("person_id"),
                  py::arg("passwd"), py::arg("quote") = py::none(), py::arg("loop") = py::none());
    bind_members(m, builder);
    if (!g_end_then_stop) {
        g_end_then_stop = pyglue::make_function(m, "Wrapper._stop.<locals>.end_then_stop", &end_then_stop,
                                                py::arg("connection"), py::arg("loop"))
                              .release()
                              .ptr();
    }
    builder.def("_stop", &wrapper_stop, "Stop the facade's event loop (no logout is sent).");
    builder.def("__del__", &wrapper_del);

    set_attr(m, N::Wrapper, global(N::connection)(cls));
}

}  // namespace dorvane_wrapper
