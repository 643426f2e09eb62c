// The reply side of a Connection: matching a reply to its pending request by handle, checking the
// return code, decompressing (bounded) and parsing the body, settling the request's future, and
// keeping replies that match nothing.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

// Connection.data_received(data), data = (parsed header, body). No exception of the reply path
// leaves it: a reply that cannot be read fails its own request.
void handle_reply(py::object self, py::object data);

// Connection._parse(nKIVO, msg)
py::object parse_reply(py::object self, py::object nKIVO, py::object msg);

// zlib.decompress(body), refusing output beyond kMaxBody and truncated streams.
py::object inflate(py::handle body);

}  // namespace dorvane_connect
