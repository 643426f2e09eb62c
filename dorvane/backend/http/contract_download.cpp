#include "contract.hpp"

#include "pyglue.hpp"

namespace dorvane {
namespace contract {

using pyglue::attr;
using pyglue::call_method;

namespace {

// The "no data" notice that the stock list gives in place of a list.
const char* const kNoData = "\xe6\x9f\xa5\xe7\x84\xa1\xe8\xb3\x87\xe6\x96\x99";  // 查無資料

}  // namespace

// client.session.get(client.<uri>).json()
py::object get_json(py::handle client, PyObject* uri) {
    py::object get = attr(attr(client, N::session), N::get);
    py::object url = attr(client, uri);
    return dorvane_http::reply_json(get(url));
}

py::object list_stock_code(py::handle client) { return get_json(client, N::s_list_code_uri); }

py::object list_tw_index_code(py::handle client) { return get_json(client, N::index_list_code_uri); }

py::object list_futopt_code(py::handle product_type, py::handle detail, py::handle client) {
    py::dict payload;
    payload["code"] = product_type;
    // The truth test runs before anything else is made, so a failing __bool__ propagates cleanly.
    payload["type"] = py::str(pyglue::truthy(detail) ? "contract" : "delivery");
    py::object session = attr(client, N::session);
    py::object url = attr(client, N::f_list_code_uri);
    return dorvane_http::reply_json(call_method(session, N::post, url, py::arg("json") = payload));
}

py::object fetch_available_product(py::handle client, py::handle product_type) {
    py::object reply, records;
    const pyglue::Name* converter = nullptr;
    if (text_equals(product_type, "S")) {
        reply = global(N::_list_stock_code)(client);
        records = call_method(reply, N::get, "result", py::list());
        if (PyDict_Check(records.ptr())) {
            PyObject* msg = pyglue::checked(PyDict_GetItemWithError(records.ptr(), py::str("msg").ptr()));
            if (msg && text_equals(msg, kNoData)) records = py::list();
        }
        converter = &N::stock_dict_convert;
    } else if (text_equals(product_type, "F") || text_equals(product_type, "O")) {
        reply = global(N::_list_futopt_code)(py::arg("product_type") = product_type, py::arg("detail") = true,
                                             py::arg("client") = client);
        records =
            call_method(call_method(reply, N::get, "result", py::dict()), N::get, "content", py::dict());
        converter = text_equals(product_type, "F") ? &N::future_dict_convert : &N::option_dict_convert;
    } else if (text_equals(product_type, "I")) {
        reply = global(N::_list_tw_index_code)(client);
        records = call_method(reply, N::get, "result", py::dict());
        converter = &N::tw_index_dict_convert;
    } else {
        py::str message = py::str("Product Type: {} not supported.").format(product_type);
        pyglue::call_method(global(N::log), N::error, message);
        return py::dict();
    }
    if (reply_succeeded(reply)) return global(*converter)(records);
    pyglue::call_method(global(N::log), N::error, reply);
    return py::dict();
}

}  // namespace contract
}  // namespace dorvane
