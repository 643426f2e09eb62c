// The keep-alive coroutine of a Connection: while the connection is alive, send request code 2
// with an empty, uncompressed body, then wait the connection's ping period.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

class KeepAlive : public pyglue::Coroutine {
public:
    KeepAlive(py::object connection, py::object person_id, py::object loop)
        : pyglue::Coroutine("Connection.ping_aliveAsync"),
          connection_(std::move(connection)),
          person_id_(std::move(person_id)),
          loop_(std::move(loop)) {}

protected:
    Step step(py::object value, py::object exc) override;

private:
    // One request; a failure is logged and the period is still waited, so an always-failing
    // request cannot spin the loop thread.
    void ping();

    py::object connection_;
    py::object person_id_;
    py::object loop_;
    bool waiting_ = false;
};

// Connection.ping_aliveAsync(person_id, loop=None): the coroutine object.
py::object make_keepalive(py::object self, py::object person_id, py::object loop);

}  // namespace dorvane_connect
