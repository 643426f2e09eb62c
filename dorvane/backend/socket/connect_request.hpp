// The request side of a Connection: turning a request body into its payload, the payload into a
// (possibly compressed) body, completing and building the header, writing header and body in one
// piece and filing the request's future under its handle.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

// Connection.send(nKIVO, person_id, data, compress=True, cb=None, loop=None, **kwargs)
py::object send_request(py::object self, py::object nKIVO, py::object person_id, py::object data,
                        py::object compress, py::object cb, py::object loop, py::dict kwargs);

// Connection._send(nKIVO, person_id, payload, compress=True, cb=None, loop=None, **kwargs)
py::object send_payload(py::object self, py::object nKIVO, py::object person_id, py::object payload,
                        py::object compress, py::object cb, py::object loop, py::dict kwargs);

// Connection._build(nKIVO, body): the builder's pair (header mapping, payload).
py::object build_body(py::object self, py::object nKIVO, py::object body);

// Connection._build_header(nKIVO, person_id, nHandle, payload, decompress_length=0, **kwargs)
py::object build_header(py::object self, py::object nKIVO, py::object person_id, py::object nHandle,
                        py::object payload, py::object decompress_length, py::dict kwargs);

// The (builder, parser) pair that proto.kivo_map holds for a request code, (None, None) if none.
std::pair<py::object, py::object> kivo_entry(py::handle self, py::handle nKIVO);

}  // namespace dorvane_connect
