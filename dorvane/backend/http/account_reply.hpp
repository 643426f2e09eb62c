// Reading a reply of the HTTP back end: a mapping whose "success" text says whether the request
// succeeded (any letter case of "true"), whose "result" mapping carries the payload and the
// server's message under "msg".
#pragma once

#include "pyglue.hpp"
#include "reply_convention.hpp"

namespace dorvane_account {

namespace py = pybind11;

// `mapping.get(key, fallback)`, called through Python so that any mapping-like reply works and a
// reply without `get` fails with the interpreter's attribute error.
py::object get(py::handle mapping, const char* key, py::object fallback);

class Reply {
public:
    explicit Reply(py::object reply) : reply_(std::move(reply)) {}

    // reply.get("success", "").lower() == "true"; a "success" that is not text raises.
    bool succeeded() const;
    // reply.get("result", {}), looked up afresh (with a new default) at each call.
    py::object result() const;
    // result().get("msg", "").
    py::object message() const;

private:
    py::object reply_;
};

// A new plain dict made from `value`: a dict is copied shallowly, anything else goes through the
// dict constructor (a mapping or an iterable of pairs). None is refused with the text the
// interpreter gives for `**None`.
py::dict plain_copy(py::handle value);

}  // namespace dorvane_account
