#include "connect.hpp"

namespace dorvane_connect {

namespace {

// The progress of a keep-alive: Pinging while it checks the connection and sends a request,
// Waiting while it awaits the period, Done once it ended of itself.
enum class KeepAliveState { Pinging, Waiting, Done };
using KeepAliveStates = pyglue::States<KeepAliveState>;
constexpr KeepAliveStates::Named kKeepAliveStateNames[] = {{KeepAliveState::Pinging, "Pinging"},
                                                           {KeepAliveState::Waiting, "Waiting"},
                                                           {KeepAliveState::Done, "Done"}};
constexpr KeepAliveStates::Edge kKeepAliveEdges[] = {{KeepAliveState::Pinging, KeepAliveState::Waiting},
                                                     {KeepAliveState::Waiting, KeepAliveState::Pinging},
                                                     {KeepAliveState::Pinging, KeepAliveState::Done},
                                                     {KeepAliveState::Waiting, KeepAliveState::Done}};
constexpr KeepAliveStates::Table kKeepAliveTable{kKeepAliveEdges, kKeepAliveStateNames};

// The request code of the keep-alive.
constexpr int kKeepAliveCode = 2;

// The keep-alive coroutine of a Connection: while the connection is alive, send the keep-alive's
// request code with an empty, uncompressed body, then wait the connection's ping period.
//
// Only its latest request stays pending: the previous one is withdrawn when the next is sent, so
// a server that never answers pings leaves one pending request per keep-alive, not one per
// period. When it runs as a task of its own (as ping_alive starts it), that task is entered in
// the connection's `_keepalives` while it runs, so that a reset of the connection (and a facade
// that stops its loop) can end it at once instead of leaving it pending in its wait.
class KeepAlive : public pyglue::Coroutine {
public:
    KeepAlive(py::object connection, py::object person_id, py::object loop)
        : pyglue::Coroutine("Connection.ping_aliveAsync"),
          connection_(std::move(connection)),
          person_id_(std::move(person_id)),
          loop_(std::move(loop)) {}

protected:
    Step step(py::object value, py::object exc) override;
    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, connection_, person_id_, loop_, last_, last_handle_);
    }
    void clear() override { pyglue::drop_members(connection_, person_id_, loop_, last_, last_handle_); }

private:
    // One request; a failure is logged and the period is still waited, so an always-failing
    // request cannot spin the loop thread.
    void ping();
    // Withdraws the previous request when it is still pending.
    void withdraw_last();
    // Enters the task that drives this coroutine in the connection's `_keepalives`.
    void enter_task();

    py::object connection_;
    py::object person_id_;
    py::object loop_;
    py::object last_;         // the future of the latest request
    py::object last_handle_;  // its handle
    bool entered_ = false;
    KeepAliveStates state_{KeepAliveState::Pinging, kKeepAliveTable};
};

// The done-callbacks the module hands to futures, made while it initialises (before any thread
// can use them: make_callbacks) and kept for the life of the process.
PyObject* g_retrieve = nullptr;
PyObject* g_relay = nullptr;
PyObject* g_abandon = nullptr;

// A done-callback that marks a future's exception as retrieved (for requests nobody awaits,
// such as the keep-alive's), so a failure there leaves no "never retrieved" report.
void retrieve(py::object fut) {
    if (!truthy(call_method(fut, N::cancelled))) call_method(fut, N::exception);
}

py::object retrieve_callback() { return py::reinterpret_borrow<py::object>(g_retrieve); }

void KeepAlive::withdraw_last() {
    if (!last_) return;
    py::object fut = std::move(last_);
    py::object handle = std::move(last_handle_);
    if (withdraw_request(connection_, handle, fut)) call_method(fut, N::cancel);
}

void KeepAlive::enter_task() {
    entered_ = true;
    py::object asyncio = global(N::asyncio);
    py::object running = call_method(asyncio, N::_get_running_loop);
    if (running.is_none()) return;
    py::object task = call_method(asyncio, N::current_task, running);
    if (task.is_none()) return;
    // The task must be this coroutine's own, not that of a program awaiting it inside its own.
    py::object coro = call_method(task, N::get_coro);
    if (!is_object(coro)) return;
    py::object running_set = pyglue::attr_or(connection_, N::_keepalives, py::none());
    if (!PyAnySet_Check(running_set.ptr())) return;
    call_method(running_set, N::add, task);
    call_method(task, N::add_done_callback, attr(running_set, N::discard));
}

void KeepAlive::ping() {
    try {
        withdraw_last();
        py::object fut = attr(connection_, N::send)(kKeepAliveCode, person_id_, py::bytes(""),
                                                    py::arg("compress") = false, py::arg("loop") = loop_);
        // Nobody awaits a keep-alive's future: mark its failure as seen.
        call_method(fut, N::add_done_callback, retrieve_callback());
        // Filed at all, it was filed under the handle just taken; withdraw_last checks that it
        // is still there before it takes it out.
        last_handle_ =
            pyglue::steal(PyNumber_Subtract(attr(connection_, N::nHandle).ptr(), py::int_(1).ptr()));
        last_ = fut;
    } catch (py::error_already_set& e) {
        py::object why = pyglue::keep_exception(e);
        log_error(why);
    }
}

pyglue::Coroutine::Step KeepAlive::step(py::object, py::object exc) {
    if (!exc.is_none()) {
        // Cancellation (and anything else that is not an Exception) ends the loop.
        if (!state_.is(KeepAliveState::Waiting)) pyglue::raise(exc);
        // The wait itself failed (an unusable period): it cannot be repeated without spinning.
        log_error(pyglue::keep_exception(exc));
        state_.set(KeepAliveState::Done);
        return Step::finish();
    }
    if (state_.is(KeepAliveState::Waiting)) state_.set(KeepAliveState::Pinging);
    if (!entered_) enter_task();
    if (!truthy(call_method(connection_, N::is_alive))) {
        state_.set(KeepAliveState::Done);
        return Step::finish();
    }
    ping();
    py::object period = attr(connection_, N::_ping_duration);
    py::object wait = call_method(global(N::asyncio), N::sleep, period);
    state_.set(KeepAliveState::Waiting);
    return Step::await_on(wait);
}

// Connection.ping_aliveAsync(person_id, loop=None): the coroutine object.
py::object make_keepalive(py::object self, py::object person_id, py::object loop) {
    if (loop.is_none()) loop = attr(self, N::_loop);
    return pyglue::Coroutine::make<KeepAlive>(self, person_id, loop);
}

const char* const kDoc =
    "\n    Events:\n        - data\n        - error\n        - connected\n        - disconnected \n    ";

// A new, empty `unsolicited` (bounded: see kMaxUnsolicited) with its counters cleared.
void new_unsolicited(py::handle self) {
    set_attr(self, N::unsolicited, global(N::deque)(py::arg("maxlen") = kMaxUnsolicited));
    set_attr(self, N::_unsolicited_bytes, py::int_(0));
    set_attr(self, N::_unsolicited_dropped, py::int_(0));
    set_attr(self, N::_unsolicited_count, py::int_(0));
}

void connection_init(py::object self, py::object host, py::object port, py::object person_id, py::object loop,
                     py::object ping_duration) {
    set_attr(self, N::host, host);
    set_attr(self, N::port, port);
    set_attr(self, N::_person_id, person_id);
    if (loop.is_none()) loop = call_method(global(N::asyncio), N::get_event_loop);
    set_attr(self, N::_loop, loop);
    set_attr(self, N::_ping_duration, ping_duration);
    set_attr(self, N::local_port, py::none());
    set_attr(self, N::ip4, py::str("127.0.0.1"));
    set_attr(self, N::proto, global(N::protocol));
    set_attr(self, N::event, global(N::EventEmitter)());
    set_attr(self, N::nHandle, py::int_(0));
    set_attr(self, N::req_map, py::dict());
    set_attr(self, N::_req_kivo, py::dict());  // request code by handle, beside req_map
    set_attr(self, N::_socket, py::none());
    new_unsolicited(self);
    // The keep-alive tasks running for this connection (see KeepAlive).
    set_attr(self, N::_keepalives, pyglue::steal(PySet_New(nullptr)));
    // The connect still under way, so that a second connect() joins it instead of opening a
    // second TCP connection.
    set_attr(self, N::_connecting, py::none());
    set_attr(self, N::_connect_waiters, py::none());  // the callers' futures of that connect
}

void end_keepalives(py::handle self) {
    py::object running_set = pyglue::attr_or(self, N::_keepalives, py::none());
    if (!PyAnySet_Check(running_set.ptr())) return;
    py::list tasks = py::reinterpret_steal<py::list>(pyglue::require(PySequence_List(running_set.ptr())));
    for (py::handle task : tasks) call_method(task, N::cancel);
}

void reset(py::object self) {
    py::object pending = attr(self, N::req_map);
    set_attr(self, N::nHandle, py::int_(0));
    set_attr(self, N::req_map, py::dict());
    set_attr(self, N::_req_kivo, py::dict());
    set_attr(self, N::_socket, py::none());
    set_attr(self, N::local_port, py::none());
    set_attr(self, N::ip4, py::str("127.0.0.1"));
    new_unsolicited(self);
    // Requests still waiting can get no reply any more: fail them instead of leaving them hanging.
    fail_pending(pending, make_error(PyExc_ConnectionError, "Connection lost before the reply arrived."));
    // The keep-alives of the connection that ended have nothing to keep alive: they end now
    // rather than at their next alive test, so none is left pending in its wait (a loop stopped
    // meanwhile would hold it for good).
    end_keepalives(self);
    py::object emitter = attr(self, N::event);
    Emitter::emit(emitter, N::ev_disconnected);
    call_method(emitter, N::remove_all_listeners);
}

void ping_alive(py::object self, py::object person_id, py::object loop);

void on_connection_created(py::object self, py::object fut) {
    if (attr(self, N::_connecting).is(fut)) {
        set_attr(self, N::_connecting, py::none());
        set_attr(self, N::_connect_waiters, py::none());
    }
    // A cancelled connect leaves the connection unconnected, without a report.
    if (truthy(call_method(fut, N::cancelled))) return;
    if (truthy(call_method(fut, N::exception))) return;
    auto [transport, sock] = unpack2(call_method(fut, N::result));
    py::object keep;
    SocketState& state = socket_state(sock, keep);
    py::object current = attr(self, N::_socket);
    if (state.lost || (!current.is_none() && !current.is(sock))) {
        // Lost before it could be taken, or another connection is live: not taken.
        if (!state.lost) call_method(transport, N::close);
        return;
    }
    set_attr(self, N::_socket, sock);
    py::object sockname = call_method(attr(sock, N::transport), N::get_extra_info, py::str("sockname"));
    set_attr(self, N::local_port, py::str(sockname[py::int_(1)]));
    set_attr(self, N::ip4, py::str(sockname[py::int_(0)]));
    py::object sock_events = attr(sock, N::event);
    py::object on = attr(sock_events, N::on);
    on(py::handle(N::ev_data), py::arg("f") = attr(self, N::data_received));
    on(py::handle(N::ev_disconnected), py::arg("f") = attr(self, N::reset));
    on(py::handle(N::ev_error), py::arg("f") = attr(self, N::_onError));
    Emitter::emit(attr(self, N::event), N::ev_connected);
    py::object person_id = attr(self, N::_person_id);
    py::object loop = attr(self, N::_loop);
    ping_alive(self, person_id, loop);
}

void on_error(py::object self, py::object exc) { Emitter::emit(attr(self, N::event), N::ev_error, exc); }

// Settles one caller's future of a joined connect from the finished connect task. A caller
// future that its awaiter has cancelled is left alone; a cancelled connect cancels the caller.
void relay_connect(py::object caller, py::object task) {
    if (truthy(call_method(caller, N::done))) return;
    if (truthy(call_method(task, N::cancelled))) {
        call_method(caller, N::cancel);
        return;
    }
    py::object exc = call_method(task, N::exception);
    if (!exc.is_none())
        pyglue::settle_exception(caller, exc);
    else
        pyglue::settle_result(caller, call_method(task, N::result));
}

py::object relay_function() { return py::reinterpret_borrow<py::object>(g_relay); }

// A done-callback of one caller's future of the connect `task`: a caller that gave up (its
// future cancelled) while the connect is still under way cancels the connect once no other
// caller waits for it, so an abandoned connect opens no connection (and starts no keep-alive).
void abandon_connect(py::object self, py::object task, py::object caller) {
    if (!truthy(call_method(caller, N::cancelled))) return;
    if (truthy(call_method(task, N::done)) || !attr(self, N::_connecting).is(task)) return;
    py::object waiters = pyglue::attr_or(self, N::_connect_waiters, py::none());
    if (PyList_Check(waiters.ptr())) {
        for (py::handle other : waiters) {
            if (!truthy(call_method(other, N::done))) return;
        }
    }
    call_method(task, N::cancel);
}

void make_callbacks(py::module_& m) {
    if (!g_retrieve) {
        g_retrieve = pyglue::make_function(m, "Connection.ping_aliveAsync.<locals>.retrieve", &retrieve,
                                           py::arg("fut"))
                         .release()
                         .ptr();
    }
    if (!g_abandon) {
        g_abandon = pyglue::make_function(m, "Connection.connect.<locals>.abandon", &abandon_connect,
                                          py::arg("self"), py::arg("task"), py::arg("caller"))
                        .release()
                        .ptr();
    }
    if (!g_relay) {
        g_relay = pyglue::make_function(m, "Connection.connect.<locals>.relay", &relay_connect,
                                        py::arg("caller"), py::arg("task"))
                      .release()
                      .ptr();
    }
}

// A future of its own for one caller of the connect `task`: it receives the task's outcome after
// _onConnectionCreated has run (done-callbacks run in the order they were added), and cancelling
// it touches neither the other callers' futures nor, while another caller waits, the task; the
// last caller to give up cancels the task (abandon_connect).
py::object join_connect(py::handle self, py::handle task) {
    py::object caller = call_method(call_method(task, N::get_loop), N::create_future);
    py::object partial = pyglue::import_from("functools", "partial");
    py::object relay = partial(relay_function(), caller);
    call_method(task, N::add_done_callback, relay);
    py::object waiters = pyglue::attr_or(self, N::_connect_waiters, py::none());
    if (PyList_Check(waiters.ptr())) pyglue::require(PyList_Append(waiters.ptr(), caller.ptr()));
    py::object abandon = partial(py::reinterpret_borrow<py::object>(g_abandon), self, task);
    call_method(caller, N::add_done_callback, abandon);
    return caller;
}

py::object connect(py::object self, py::object loop) {
    if (loop.is_none()) loop = attr(self, N::_loop);
    if (!attr(self, N::_socket).is_none()) {
        py::object fut = call_method(loop, N::create_future);
        call_method(fut, N::set_result, py::str("connected"));
        return fut;
    }
    py::object pending = attr(self, N::_connecting);
    if (!pending.is_none()) return join_connect(self, pending);
    // The factory is a partial (not a C++ closure) so the collector sees its reference to self.
    py::object factory = pyglue::import_from("functools", "partial")(global(N::Socket), self);
    py::object create_connection = attr(loop, N::create_connection);
    py::object host = attr(self, N::host);
    py::object port = attr(self, N::port);
    py::object coro = create_connection(factory, host, port);
    py::object task = call_method(global(N::asyncio), N::ensure_future, coro, py::arg("loop") = loop);
    call_method(task, N::add_done_callback, attr(self, N::_onConnectionCreated));
    set_attr(self, N::_connecting, task);
    set_attr(self, N::_connect_waiters, py::list());
    return join_connect(self, task);
}

void ping_alive(py::object self, py::object person_id, py::object loop) {
    if (loop.is_none()) loop = attr(self, N::_loop);
    py::object coro = make_keepalive(self, person_id, loop);
    call_method(global(N::asyncio), N::run_coroutine_threadsafe, coro, py::arg("loop") = loop);
}

void disconnect(py::object self, py::object loop) {
    (void)loop;  // the close is completed here, without running the loop
    py::object sock = attr(self, N::_socket);
    if (sock.is_none()) return;
    call_method(attr(sock, N::transport), N::close);
    set_attr(self, N::_socket, py::none());
    set_attr(self, N::local_port, py::none());
    // Run the closed Socket's lost-connection path now, once: the reset (and its "disconnected")
    // has happened when disconnect returns, and the transport's later connection_lost is a no-op.
    socket_lost(sock, py::none());
}

}  // namespace

py::object is_alive(py::handle self) {
    py::object sock = attr(self, N::_socket);
    if (sock.is_none()) return py::none();
    bool closing = truthy(call_method(attr(sock, N::transport), N::is_closing));
    return py::bool_(!closing);
}

py::object get_handle(py::handle self) {
    py::object handle = attr(self, N::nHandle);
    PyObject* next = pyglue::require(PyNumber_Add(handle.ptr(), py::int_(1).ptr()));
    set_attr(self, N::nHandle, py::reinterpret_steal<py::object>(next));
    return handle;
}

void bind_connection(py::module_& m) {
    make_callbacks(m);
    pyglue::PlainClass cls(m, "Connection", py::tuple(),
                           py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)),
                           kDoc);
    py::object none = py::none();
    cls.def("__init__", &connection_init, py::arg("host"), py::arg("port"), py::arg("person_id"),
            py::arg("loop") = none, py::arg("ping_duration") = 10);
    cls.def("reset", &reset);
    cls.def("_onConnectionCreated", &on_connection_created, py::arg("fut"));
    cls.def("_onError", &on_error, py::arg("exc"));
    cls.def("connect", &connect, py::arg("loop") = none);
    cls.def("is_alive", &is_alive);
    cls.def("_get_handle", &get_handle);
    cls.def("ping_alive", &ping_alive, py::arg("person_id"), py::arg("loop") = none);

    py::object ping_async =
        pyglue::make_function(m, "Connection.ping_aliveAsync", &make_keepalive, py::arg("self"),
                              py::arg("person_id"), py::arg("loop") = none);
    pyglue::mark_coroutine_function(ping_async);
    cls.set("ping_aliveAsync", ping_async);

    cls.def("send", &send_request, py::arg("nKIVO"), py::arg("person_id"), py::arg("data"),
            py::arg("compress") = py::bool_(true), py::arg("cb") = none, py::arg("loop") = none);
    cls.def("_send", &send_payload, py::arg("nKIVO"), py::arg("person_id"), py::arg("payload"),
            py::arg("compress") = py::bool_(true), py::arg("cb") = none, py::arg("loop") = none);
    cls.def("disconnect", &disconnect, py::arg("loop") = none);
    cls.def("data_received", &handle_reply, py::arg("data"));
    set_reply_handler(attr(cls.cls(), N::data_received));
    cls.def("_parse", &parse_reply, py::arg("nKIVO"), py::arg("msg"));
    cls.def("_build", &build_body, py::arg("nKIVO"), py::arg("body"));
    cls.def("_build_header", &build_header, py::arg("nKIVO"), py::arg("person_id"), py::arg("nHandle"),
            py::arg("payload"), py::arg("decompress_length") = 0);
}

}  // namespace dorvane_connect
