#include "handler_request.hpp"

#include "handler_body.hpp"

namespace handler {

py::tuple StockRequest::order_in(py::object vexa, py::dict kwargs) {
    py::object request = global("kivo").attr("KIVO_STOCK_IN");
    py::object structure = request["struct"];
    py::object code = request["kivo"];

    py::dict header;
    header["nKIVO"] = code;
    header["person_id"] = kwargs.attr("get")("person_id");

    py::dict body = OrderBody(kwargs).build();
    py::object built = structure.attr("build")(body);

    // The caller's signature bytes go first, as they come; `+` refuses anything but bytes-like.
    PyObject* payload = PyNumber_Add(vexa.ptr(), built.ptr());
    if (!payload) throw py::error_already_set();
    return py::make_tuple(header, py::reinterpret_steal<py::object>(payload));
}

py::object StockRequest::order_out(py::object payload) {
    py::object structure = global("kivo").attr("KIVO_STOCK_OUT")["struct"];
    return structure.attr("parse")(payload);
}

}  // namespace handler
