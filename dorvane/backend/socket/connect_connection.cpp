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
PyObject* g_abandon = nullptr;  // ConnectAttempt's, bound to each attempt

// A done-callback that marks a future's exception as retrieved (for requests nobody awaits,
// such as the keep-alive's), so a failure there leaves no "never retrieved" report.
void retrieve(py::object fut) {
    if (!truthy(call_method(fut, N::cancelled))) call_method(fut, N::exception);
}

py::object retrieve_callback() { return py::reinterpret_borrow<py::object>(g_retrieve); }

// The interpreter's own asyncio.run_coroutine_threadsafe and asyncio.events._get_running_loop,
// read once at module load (make_callbacks): ping_alive compares the module's current submission
// with the first, on every connect.
PyObject* g_own_submit = nullptr;
PyObject* g_running_loop = nullptr;

// functools.partial, read once at module load (make_callbacks), for each connect's protocol factory.
PyObject* g_partial = nullptr;

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
        // Cancellation (and anything else that is not an Exception) ends the loop; a reset
        // cancels every keep-alive, so the exception leaves without a C++ unwind.
        if (!state_.is(KeepAliveState::Waiting) || !pyglue::is_exception(exc)) return Step::fail(exc);
        // The wait itself failed (an unusable period): it cannot be repeated without spinning.
        log_error(exc);
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
    // second TCP connection: its own future, and the attempt (ConnectAttempt) in its box.
    set_attr(self, N::_connecting, py::none());
    set_attr(self, N::_connect_attempt, py::none());
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

// One connect under way: the loop's create_connection driven from the call that starts it
// (LoopDriver), the connect's own future (the connection's `_connecting`, which its
// _onConnectionCreated gets) and a future of its own for each caller. When the connect ends, in
// the step that ends it, the own future is settled, _onConnectionCreated runs, then each caller's
// future gets the outcome, so an awaiter that resumes finds the connection already taken.
// Cancelling one caller's future touches neither the others nor, while another caller waits, the
// connect; the last caller to give up cancels it, so an abandoned connect opens no connection (and
// starts no keep-alive); cancelling the own future cancels it too.
class ConnectAttempt : public pyglue::LoopDriver {
public:
    ConnectAttempt(py::object connection, py::object loop, py::object own)
        : LoopDriver(std::move(loop)), connection_(std::move(connection)), own_(std::move(own)) {}

    static ConnectAttempt& unbox(py::handle box) { return pyglue::unbox<ConnectAttempt>(box); }

    // Makes the done-callback that watches the futures; `self` is the box holding the attempt.
    void prepare(py::handle self) {
        abandon_ = pyglue::bound(g_abandon, self);
        call_method(own_, N::add_done_callback, abandon_);
    }

    // The function of that done-callback, abandon(attempt, fut).
    static py::object make_abandon(py::module_& m) {
        return pyglue::make_function(
            m, "Connection.connect.<locals>.abandon",
            [](py::object box, py::object fut) { unbox(box).abandon(std::move(fut)); }, py::arg("attempt"),
            py::arg("fut"));
    }

    // A new caller's future.
    py::object join() {
        py::object caller = call_method(loop(), N::create_future);
        call_method(caller, N::add_done_callback, abandon_);
        pyglue::require(PyList_Append(callers_.ptr(), caller.ptr()));
        return caller;
    }

    const py::object& own() const { return own_; }

protected:
    void finished(End end, py::object value) override;

    int traverse(visitproc visit, void* arg) override {
        if (int r = LoopDriver::traverse(visit, arg)) return r;
        return pyglue::visit_members(visit, arg, connection_, own_, callers_, abandon_);
    }
    void clear() override {
        LoopDriver::clear();
        pyglue::drop_members(connection_, own_, callers_, abandon_);
    }

private:
    // A future given up: a caller's, or the own one. Once no caller waits any more, or the own
    // future is cancelled, the connect is cancelled.
    void abandon(py::object fut) {
        if (done() || !truthy(call_method(fut, N::cancelled))) return;
        if (!attr(connection_, N::_connecting).is(own_)) return;
        if (!fut.is(own_)) {
            for (py::handle other : callers_) {
                if (!truthy(call_method(other, N::done))) return;
            }
        }
        cancel();
    }

    // `fut` gets the connect's outcome, unless it is done already.
    static void settle(py::handle fut, End end, py::handle value) {
        if (end == End::Cancelled) {
            if (!truthy(call_method(fut, N::done))) call_method(fut, N::cancel);
        } else {
            pyglue::settle_future(fut, value, end == End::Raised);
        }
    }

    py::object connection_;
    py::object own_;
    py::list callers_;
    py::object abandon_;  // the done-callback of the own future and of every caller's
};

void ConnectAttempt::finished(End end, py::object value) {
    py::object connection = std::move(connection_);
    py::object own = std::move(own_);
    py::list callers = std::move(callers_);
    py::object abandon = std::move(abandon_);
    if (attr(connection, N::_connecting).is(own)) {
        set_attr(connection, N::_connecting, py::none());
        set_attr(connection, N::_connect_attempt, py::none());
    }
    // The futures are settled without their watch, which has nothing left to do.
    call_method(own, N::remove_done_callback, abandon);
    settle(own, end, value);
    // The connection takes the new connection first; a failure there is the loop's to report, as
    // a done-callback's would be, and the callers still get the connect's outcome.
    py::object interrupt;
    try {
        attr(connection, N::_onConnectionCreated)(own);
    } catch (py::error_already_set& e) {
        py::object why = pyglue::fetch_exception(e);
        if (pyglue::is_exception(why))
            pyglue::report_to_loop(loop(), "Exception in callback Connection._onConnectionCreated", why, own);
        else
            interrupt = std::move(why);
    }
    for (py::handle caller : callers) {
        call_method(caller, N::remove_done_callback, abandon);
        settle(caller, end, value);
    }
    pyglue::drop_members(connection, own, callers, abandon, value);
    if (interrupt) pyglue::raise(interrupt);
}

void make_callbacks(py::module_& m) {
    if (!g_retrieve) {
        g_retrieve = pyglue::make_function(m, "Connection.ping_aliveAsync.<locals>.retrieve", &retrieve,
                                           py::arg("fut"))
                         .release()
                         .ptr();
    }
    if (!g_abandon) g_abandon = ConnectAttempt::make_abandon(m).release().ptr();
    if (!g_partial) g_partial = pyglue::import_from("functools", "partial").release().ptr();
    if (!g_own_submit)
        g_own_submit = pyglue::import_from("asyncio.tasks", "run_coroutine_threadsafe").release().ptr();
    if (!g_running_loop)
        g_running_loop = pyglue::import_from("asyncio.events", "_get_running_loop").release().ptr();
}

py::object connect(py::object self, py::object loop) {
    if (loop.is_none()) loop = attr(self, N::_loop);
    if (!attr(self, N::_socket).is_none()) {
        py::object fut = call_method(loop, N::create_future);
        call_method(fut, N::set_result, py::str("connected"));
        return fut;
    }
    // A connect under way is joined; one whose loop has been closed can never end (nothing runs
    // it any more, and no loop's shutdown cancels it as it would a task), so a new one starts.
    py::object pending = attr(self, N::_connect_attempt);
    ConnectAttempt* joined = pyglue::boxed<ConnectAttempt>(pending);
    if (joined && !joined->done() && attr(self, N::_connecting).is(joined->own()) &&
        !truthy(call_method(joined->loop(), N::is_closed)))
        return joined->join();
    // The factory is a partial (not a C++ closure) so the collector sees its reference to self.
    py::object factory = py::handle(g_partial)(global(N::Socket), self);
    py::object create_connection = attr(loop, N::create_connection);
    py::object host = attr(self, N::host);
    py::object port = attr(self, N::port);
    py::object coro = create_connection(factory, host, port);
    py::object own = call_method(loop, N::create_future);
    py::object box = pyglue::box<ConnectAttempt>(self, loop, own);
    ConnectAttempt& attempt = ConnectAttempt::unbox(box);
    attempt.prepare(box);
    set_attr(self, N::_connecting, own);
    set_attr(self, N::_connect_attempt, box);
    py::object caller = attempt.join();
    attempt.start(box, std::move(coro));
    return caller;
}

void ping_alive(py::object self, py::object person_id, py::object loop) {
    if (loop.is_none()) loop = attr(self, N::_loop);
    py::object coro = make_keepalive(self, person_id, loop);
    py::object submit = attr(global(N::asyncio), N::run_coroutine_threadsafe);
    // On the loop's own thread (the connect's completion) the coroutine becomes the loop's task at
    // once: the interpreter's thread-safe submission would wake the loop through its self-pipe and
    // chain a concurrent future that nobody reads. Like that future, the task's end is taken, so
    // an exception that ends it leaves no "never retrieved" report. Only the interpreter's own
    // submission is done this way: one that a program put in its place is called.
    if (submit.ptr() == g_own_submit && pyglue::steal(PyObject_CallNoArgs(g_running_loop)).is(loop)) {
        py::object task = call_method(loop, N::create_task, coro);
        call_method(task, N::add_done_callback, retrieve_callback());
        return;
    }
    submit(coro, py::arg("loop") = loop);
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
