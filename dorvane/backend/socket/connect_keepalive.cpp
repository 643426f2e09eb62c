#include "connect_keepalive.hpp"

#include "connect_pending.hpp"

namespace dorvane_connect {

void KeepAlive::ping() {
    try {
        py::object fut = get(connection_, N.send)(2, person_id_, py::bytes(""), py::arg("compress") = false,
                                                  py::arg("loop") = loop_);
        // Nobody awaits a keep-alive's future: mark its failure as seen.
        call_method(fut, N.add_done_callback, retrieve_callback());
    } catch (py::error_already_set& e) {
        py::object why = pyglue::fetch_exception(e);
        if (!is_exception(why)) pyglue::raise(why);
        log_error(why);
    }
}

pyglue::Coroutine::Step KeepAlive::step(py::object, py::object exc) {
    if (!exc.is_none()) {
        // Cancellation (and anything else that is not an Exception) ends the loop.
        if (!waiting_ || !is_exception(exc)) pyglue::raise(exc);
        // The wait itself failed (an unusable period): it cannot be repeated without spinning.
        log_error(exc);
        return Step::finish();
    }
    waiting_ = false;
    if (!truthy(call_method(connection_, N.is_alive))) return Step::finish();
    ping();
    py::object period = get(connection_, N._ping_duration);
    py::object wait = call_method(global(N.asyncio), N.sleep, period);
    waiting_ = true;
    return Step::await_on(wait);
}

py::object make_keepalive(py::object self, py::object person_id, py::object loop) {
    if (loop.is_none()) loop = get(self, N._loop);
    return pyglue::Coroutine::make<KeepAlive>(self, person_id, loop);
}

}  // namespace dorvane_connect
