// Socket: the asyncio stream protocol of one TCP connection. It cuts the received stream into
// messages (48-byte header, then net_length body bytes) and publishes them, with the loss of its
// transport, on an emitter of its own.
#pragma once

#include "connect_common.hpp"
#include "connect_frames.hpp"

namespace dorvane_connect {

// C++ state of one Socket, kept in its instance under `_state`.
struct SocketState {
    FrameBuffer frames;
    bool lost = false;    // the lost-connection path has run (it runs once)
    bool broken = false;  // the stream can no longer be trusted; further bytes are ignored
};

// The state of a Socket; its owner capsule is returned in `keep` so it outlives the caller's use.
SocketState& socket_state(py::handle sock, py::object& keep);

// The lost-connection path of a Socket, run once whoever comes first: the transport's
// connection_lost, Connection.disconnect, or a protocol error of the stream.
void socket_lost(py::handle sock, py::handle exc);

// Creates the class Socket(asyncio.Protocol) in the module.
void bind_socket(py::module_& m);

}  // namespace dorvane_connect
