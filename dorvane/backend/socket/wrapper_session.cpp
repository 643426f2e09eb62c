#include "wrapper.hpp"

namespace dorvane_wrapper {

namespace {

// Credentials of the quote-messaging login made during the trading login.
const char* const kQuoteUser = "dorvane";
const char* const kQuotePassword = "qerwunt482";

using Step = pyglue::Coroutine::Step;

// True when `exc` is the outcome that the finished cross-thread `future` holds.
bool outcome_is(py::handle future, py::handle exc) {
    if (!truthy(call_method(future, N::done)) || truthy(call_method(future, N::cancelled))) return false;
    return call_method(future, N::exception).is(exc);
}

py::str format(const char* text, py::handle a) { return py::str(text).format(a); }

// `await x` of the guarded part: an object that cannot be awaited fails here, inside the guard,
// with the interpreter's own text, so the handler logs it like any other failure of those steps.
Step await_guarded(py::object x) {
    pyglue::require_awaitable(x);
    return Step::await_on(std::move(x));
}

// Base of the two coroutines: the guarded part logs an exception of the interpreter's Exception
// kind once, as the object itself, and raises that same object again; exceptions of other kinds
// (cancellation, interrupt, exit, close of the coroutine) pass without a log line.
class FacadeCoroutine : public pyglue::Coroutine {
protected:
    using pyglue::Coroutine::Coroutine;

    [[noreturn]] static void fail(py::object exc) {
        log(N::error, pyglue::keep_exception(exc));
        pyglue::raise(exc);
    }

    template <class F>
    static Step guarded(F&& body) {
        try {
            return body();
        } catch (py::error_already_set& e) {
            fail(pyglue::fetch_exception(e));
        }
    }
};

// The progress of loginAsync: each state names what the coroutine awaits.
enum class LoginState { Start, Connecting, LoggingIn, AwaitingReply, Done };
using LoginStates = pyglue::States<LoginState>;
constexpr LoginStates::Named kLoginStateNames[] = {{LoginState::Start, "Start"},
                                                   {LoginState::Connecting, "Connecting"},
                                                   {LoginState::LoggingIn, "LoggingIn"},
                                                   {LoginState::AwaitingReply, "AwaitingReply"},
                                                   {LoginState::Done, "Done"}};
constexpr LoginStates::Edge kLoginEdges[] = {{LoginState::Start, LoginState::Connecting},
                                             {LoginState::Connecting, LoginState::LoggingIn},
                                             {LoginState::LoggingIn, LoginState::AwaitingReply},
                                             {LoginState::AwaitingReply, LoginState::Done}};
constexpr LoginStates::Table kLoginTable{kLoginEdges, kLoginStateNames};

class LoginAsync : public FacadeCoroutine {
public:
    LoginAsync(py::object self, py::object person_id, py::object passwd, py::object quote, py::object loop)
        : FacadeCoroutine("Wrapper.loginAsync"),
          self_(std::move(self)),
          person_id_(std::move(person_id)),
          passwd_(std::move(passwd)),
          quote_(std::move(quote)),
          loop_(std::move(loop)) {}

protected:
    Step step(py::object value, py::object exc) override {
        if (state_.is(LoginState::Start)) return start();
        if (!exc.is_none()) fail(exc);
        return guarded([&] { return resume(value); });
    }

private:
    // Before the guarded part: the loop, the one session client, the first log line.
    Step start() {
        if (loop_.is_none()) loop_ = attr(global(N::asyncio), N::get_event_loop)();
        if (attr(self_, N::_client).is_none()) {
            py::object client_type = attr(global(N::client), N::Client);
            py::object host = attr(self_, N::_host);
            py::object port = attr(self_, N::_port);
            py::object loop = attr(self_, N::_loop);
            py::object session = client_type(person_id_, host, port, loop);
            set_attr(self_, N::_client, session);
        }
        py::object host = attr(self_, N::_host);
        py::object port = attr(self_, N::_port);
        log(N::info, py::str("Connecting to {}:{}.").format(host, port));
        state_.set(LoginState::Connecting);
        return guarded(
            [&] { return await_guarded(call_method(attr(self_, N::_client), N::connect, loop_)); });
    }

    Step resume(py::object value) {
        switch (state_.get()) {
        case LoginState::Connecting: {  // connected; the connect future's value is dropped
            log(N::info, py::str("Connected."));
            log(N::info, format("Logging in {}.", person_id_));
            state_.set(LoginState::LoggingIn);
            py::object login = attr(attr(self_, N::_client), N::login);
            return await_guarded(login(person_id_, passwd_, py::arg("loop") = loop_));
        }
        case LoginState::LoggingIn:  // the login coroutine gave the request's future
            state_.set(LoginState::AwaitingReply);
            return await_guarded(value);
        default: {  // the trimmed login reply
            state_.set(LoginState::Done);
            py::object sol = value;
            log(N::info, py::str("Log in successed."));
            log(N::info, py::str("Logging in solace."));
            if (truthy(quote_)) {
                py::object sol_host = global(N::QUOTE_HOST);
                py::object connect = attr(quote_, N::connect);
                py::object res = connect(sol_host, attr(sol, N::sol_vpn), kQuoteUser, kQuotePassword);
                // `res != 0` as the interpreter evaluates it.
                if (truthy(pyglue::steal(PyObject_RichCompare(res.ptr(), py::int_(0).ptr(), Py_NE))))
                    pyglue::raise(global(N::ServerError)(res, "Solace login failed"));
                pyglue::drop(res);  // the program's object, dropped here on the loop thread (see drop)
            }
            log(N::info, py::str("Log in solace successed."));
            log(N::info, py::str("Request accounts."));
            return Step::finish();
        }
        }
    }

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, self_, person_id_, passwd_, quote_, loop_);
    }
    void clear() override { pyglue::drop_members(self_, person_id_, passwd_, quote_, loop_); }

    py::object self_, person_id_, passwd_, quote_, loop_;
    LoginStates state_{LoginState::Start, kLoginTable};
};

// The progress of logoutAsync.
enum class LogoutState { Start, LoggingOut, AwaitingReply, Done };
using LogoutStates = pyglue::States<LogoutState>;
constexpr LogoutStates::Named kLogoutStateNames[] = {{LogoutState::Start, "Start"},
                                                     {LogoutState::LoggingOut, "LoggingOut"},
                                                     {LogoutState::AwaitingReply, "AwaitingReply"},
                                                     {LogoutState::Done, "Done"}};
constexpr LogoutStates::Edge kLogoutEdges[] = {{LogoutState::Start, LogoutState::LoggingOut},
                                               {LogoutState::LoggingOut, LogoutState::AwaitingReply},
                                               {LogoutState::AwaitingReply, LogoutState::Done}};
constexpr LogoutStates::Table kLogoutTable{kLogoutEdges, kLogoutStateNames};

class LogoutAsync : public FacadeCoroutine {
public:
    LogoutAsync(py::object self, py::object loop)
        : FacadeCoroutine("Wrapper.logoutAsync"), self_(std::move(self)), loop_(std::move(loop)) {}

protected:
    Step step(py::object value, py::object exc) override {
        if (state_.is(LogoutState::Start)) {
            if (loop_.is_none()) loop_ = attr(global(N::asyncio), N::get_event_loop)();
            log(N::info, py::str("Logout..."));
            state_.set(LogoutState::LoggingOut);
            return guarded([&] {
                return await_guarded(
                    call_method(attr(self_, N::_client), N::logout, py::arg("loop") = loop_));
            });
        }
        if (!exc.is_none()) fail(exc);
        return guarded([&] {
            if (state_.is(LogoutState::LoggingOut)) {  // the logout coroutine gave the request's future
                state_.set(LogoutState::AwaitingReply);
                return await_guarded(value);
            }
            state_.set(LogoutState::Done);  // the logout reply is dropped
            log(N::info, py::str("Logout  successed."));
            return Step::finish();
        });
    }

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, self_, loop_);
    }
    void clear() override { pyglue::drop_members(self_, loop_); }

private:
    py::object self_, loop_;
    LogoutStates state_{LogoutState::Start, kLogoutTable};
};

// asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(timeout=timeout); the wait
// releases the interpreter lock while it lasts. When the time runs out the caller gets a
// TimeoutError that names the call and the time-out ("login did not finish within 3 s", the
// number as str.format writes it, whatever the locale); a TimeoutError that the coroutine itself
// raised (an operating-system connect time-out, say) reaches the caller unchanged. When the loop
// does not run by then (stopped by _stop or by the facade's release), nothing could have run the
// call, and the text says so.
void run_and_wait(py::object self, py::object coroutine, py::object timeout, const char* call) {
    // asyncio.run_coroutine_threadsafe is read before self._loop, as the Python call reads them.
    py::object submit = attr(global(N::asyncio), N::run_coroutine_threadsafe);
    py::object loop = attr(self, N::_loop);
    py::object future = submit(coroutine, loop);
    try {
        call_method(future, N::result, py::arg("timeout") = timeout);
    } catch (py::error_already_set& e) {
        py::object why = pyglue::fetch_exception(e);
        if (PyErr_GivenExceptionMatches(why.ptr(), PyExc_TimeoutError) && !outcome_is(future, why)) {
            py::str text = py::str("{} did not finish within {} s").format(call, timeout);
            if (!truthy(call_method(loop, N::is_running)))
                text = py::str(
                           "{}: the facade's event loop is not running (Wrapper._stop() and the facade's "
                           "release stop it), so nothing runs the call")
                           .format(text);
            pyglue::raise(py::reinterpret_borrow<py::object>(PyExc_TimeoutError)(text));
        }
        pyglue::raise(why);
    }
}

}  // namespace

py::object login_async(py::object self, py::object person_id, py::object passwd, py::object quote,
                       py::object loop) {
    return pyglue::Coroutine::make<LoginAsync>(std::move(self), std::move(person_id), std::move(passwd),
                                               std::move(quote), std::move(loop));
}

py::object logout_async(py::object self, py::object loop) {
    return pyglue::Coroutine::make<LogoutAsync>(std::move(self), std::move(loop));
}

py::none login(py::object self, py::object person_id, py::object passwd, py::object quote,
               py::object timeout) {
    // self.loginAsync(..., loop=self._loop): the method is read before self._loop, as in Python.
    py::object login_async = attr(self, N::loginAsync);
    py::object loop = attr(self, N::_loop);
    py::object coroutine = login_async(person_id, passwd, py::arg("quote") = quote, py::arg("loop") = loop);
    run_and_wait(self, coroutine, timeout, "login");
    return py::none();
}

py::none logout(py::object self, py::object timeout) {
    py::object logout_async = attr(self, N::logoutAsync);
    py::object loop = attr(self, N::_loop);
    py::object coroutine = logout_async(py::arg("loop") = loop);
    run_and_wait(self, coroutine, timeout, "logout");
    return py::none();
}

}  // namespace dorvane_wrapper
