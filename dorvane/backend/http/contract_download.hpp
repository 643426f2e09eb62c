// Product-list downloads through the HTTP session client, and the reply convention of the HTTP
// back end.
#pragma once

#include "pyglue.hpp"

#include "reply_convention.hpp"

namespace dorvane {
namespace contract {

namespace py = pybind11;

using dorvane_http::reply_succeeded;

// client.session.get(client.s_list_code_uri).json()
py::object list_stock_code(py::handle client);
// client.session.get(client.index_list_code_uri).json()
py::object list_tw_index_code(py::handle client);
// client.session.post(client.f_list_code_uri, json={"code": product_type, "type": ...}).json()
py::object list_futopt_code(py::handle product_type, py::handle detail, py::handle client);

// The download and conversion of one product list; the module's own helpers, converters and
// logger are looked up in its namespace at each call.
py::object fetch_available_product(py::handle client, py::handle product_type);

}  // namespace contract
}  // namespace dorvane
