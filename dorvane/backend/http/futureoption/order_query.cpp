#include "order.hpp"

namespace fo {

namespace {

py::object date_or_today(py::handle date) {
    return truthy(date) ? py::reinterpret_borrow<py::object>(date) : today_text();
}

}  // namespace

py::object send_query(py::handle action, py::handle account, py::handle client, py::handle start_date,
                      py::handle end_date) {
    Body body;
    body.add("token", attr(client, N::_token))
        .add("action", action)
        .add("user_id", attr(client, N::person_id))
        .add("broker_id", get(account, "broker_id", ""))
        .add("account", get(account, "account_id", ""))
        .add("start_date", date_or_today(start_date))
        .add("end_date", date_or_today(end_date));
    py::dict request = body.dict();
    // Logs are shared with support desks and attached to bug reports: the session token is
    // masked in the logged copy; the request itself is posted unchanged.
    py::dict shown = py::reinterpret_steal<py::dict>(pyglue::require(PyDict_Copy(request.ptr())));
    shown["token"] = py::str("***");
    attr(global(N::log), N::debug)(shown);
    py::object response = post(client, N::f_query_order_uri, request);
    attr(global(N::log), N::debug)(attr(response, N::content));
    return dorvane_http::reply_json(response);
}

py::dict query_futopt_order(py::handle client) {
    py::dict orders;
    py::object accounts = attr(client, N::accounts);
    for (py::handle account : accounts) {
        if (!pyglue::require(PyObject_IsInstance(account.ptr(), global(N::FutureAccount).ptr()))) continue;
        py::object reply = global(N::_query_futopt_order)(py::str("account"), account, client);
        bool success = reply_success(reply);
        // A reply without "result" holds no rows (an empty list), never a made-up empty row.
        py::object rows = get(reply, "result", py::list());
        if (!success || !PyList_Check(rows.ptr())) {
            attr(global(N::log), N::error)(reply);
            continue;
        }
        for (py::handle row : rows) {
            py::object code = get(row, "st_comno", "");
            py::object seqno = get(row, "st_seqno", "");
            // A row whose date and time do not read as one date-time fails the whole query.
            py::object date = get(row, "st_orddt", "");
            py::object time = get(row, "st_ordtm", "");
            read_datetime(date, time, kQueryFormat);
            py::object order_id = global(N::hash_orderid)(code, seqno);
            pyglue::require(PyObject_SetItem(orders.ptr(), order_id.ptr(), row.ptr()));
        }
    }
    return orders;
}

}  // namespace fo
