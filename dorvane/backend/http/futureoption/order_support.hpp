// Small pieces shared by the futures and option order functions: call-time look-ups of the
// module's globals, Python-style attribute and mapping reads, the success test of a reply, the
// date-time reading of replies, ordered JSON bodies and the post through the HTTP session client.
#pragma once

#include "../reply_convention.hpp"
#include <pyglue.hpp>

#include <string>

namespace fo {

namespace py = pybind11;

// The module global `name` as it is now (tests and callers may replace it).
py::object global(const char* name);

// getattr(obj, name, None): only a missing attribute (AttributeError) becomes None; any other
// error of the look-up propagates.
py::object attr_or_none(py::handle obj, py::handle name);

// obj.get(key, default), through the object's own `get` (an object without one fails with
// AttributeError).
py::object get(py::handle obj, const char* key, py::handle dflt);
py::object get(py::handle obj, const char* key, const char* dflt);

// The interpreter's truth test (a py::object's own bool only tells whether it holds a pointer).
using pyglue::truthy;

// obj[0]: the product type is the first item of a `security_type` (IndexError when empty).
py::object first_item(py::handle obj);

// Whether a reply reports success (the back end's reply convention).
inline bool reply_success(py::handle reply) { return dorvane_http::reply_succeeded(reply); }

// The two texts joined; None when the joined text is empty, else `dt.datetime.strptime(joined,
// format)` (ValueError for a text that does not match). Non-text parts fail with TypeError.
py::object read_datetime(py::handle date, py::handle time, const char* format);

// Today's local date as "%Y%m%d", through the module's `dt`.
py::object today_text();

// `fn(**mapping, client=client)`: a keyword argument given twice fails with TypeError as the
// interpreter's call would, before anything is called; `mapping` is left unchanged.
py::object call_with_client(py::handle fn, py::handle mapping, py::handle client);

// A JSON request body whose keys keep the order in which they are entered.
class Body {
public:
    Body& add(const char* key, py::handle value) {
        dict_[py::str(key)] = py::reinterpret_borrow<py::object>(value);
        return *this;
    }
    Body& add(const char* key, const char* text) { return add(key, py::str(text)); }
    py::dict dict() const { return dict_; }

private:
    py::dict dict_;
};

// client.session.post(client.<endpoint>, json=body): the response as the session gives it.
py::object post(py::handle client, const char* endpoint, const py::dict& body);

}  // namespace fo
