#include "order.hpp"

namespace fo {

namespace {

py::object zero() { return py::int_(0); }

// The option value of `code` in the sub-table `field` of the option table; AttributeError when
// the sub-table does not know the code.
py::object option_value(const pyglue::Name& field, py::handle code) {
    return attr(attr(global(N::foprops), field), code.ptr());
}

// hash_orderid(row.get(code_key, ""), row.get(seqno_key, "")), read in that order.
py::object order_id_of(py::handle row, const char* code_key, const char* seqno_key) {
    py::object hash_orderid = global(N::hash_orderid);
    py::object code = get(row, code_key, "");
    py::object seqno = get(row, seqno_key, "");
    return hash_orderid(code, seqno);
}

// read_datetime(row.get(date_key, ""), row.get(time_key, ""), format), read in that order.
py::object datetime_of(py::handle row, const char* date_key, const char* time_key, const char* format) {
    py::object date = get(row, date_key, "");
    py::object time = get(row, time_key, "");
    return read_datetime(date, time, format);
}

// The interpreter's int(value).
py::object to_int(py::handle value) { return pyglue::steal(PyNumber_Long(value.ptr())); }

}  // namespace

py::tuple futopt_resp2order_status(py::handle resp, py::handle order) {
    py::object resp_result = get(resp, "result", py::dict());
    bool successed = reply_success(resp);
    py::object message;
    if (!successed && !pyglue::has_attr(resp_result, N::get)) {
        // A failure reply takes the failure path whatever its "result" holds: what is not a
        // mapping (the server's message text, say) reads as an empty result, and a text becomes
        // the status's message.
        if (PyUnicode_Check(resp_result.ptr())) message = resp_result;
        resp_result = py::dict();
    }
    py::object placed = global(N::res2order)(resp_result, order);
    py::object order_status = global(N::res2orderstatus)(resp_result, py::bool_(successed));
    if (message) set_attr(order_status, N::_msg, message);
    return py::make_tuple(placed, order_status, py::bool_(successed));
}

py::object res2order(py::handle resp_result, py::handle order) {
    set_attr(order, N::_seqno, get(resp_result, "seqno", ""));
    set_attr(order, N::_ordno, get(resp_result, "ordno", ""));
    return py::reinterpret_borrow<py::object>(order);
}

py::object res2orderstatus(py::handle resp_result, py::handle successed) {
    py::object order_id = order_id_of(resp_result, "stock_id", "seqno");
    py::object when = datetime_of(resp_result, "ord_date", "ord_time", kPlacedFormat);
    bool accepted = truthy(successed);
    py::object status = attr(global(N::Status), accepted ? N::PendingSubmit : N::Failed);
    py::object order_status = global(N::OrderStatus)(
        py::arg("order_id") = order_id, py::arg("order_datetime") = when, py::arg("status") = status);
    // A refusal carries the broker's reason as the text "msg" of its result: the status keeps it,
    // so the program learns why (a "msg" that is not text is no reason and is left out).
    if (!accepted) {
        py::object reason = get(resp_result, "msg", py::none());
        if (PyUnicode_Check(reason.ptr())) set_attr(order_status, N::_msg, reason);
    }
    return order_status;
}

py::object queryresp2contract(py::handle resp) {
    py::object comtype = get(resp, "st_comtype", "");
    py::object code = get(resp, "st_comno", "");
    py::object name = get(resp, "name_zh", "");
    const pyglue::Name* kind = &N::Contract;
    if (text_equals(comtype, "F"))
        kind = &N::Future;
    else if (text_equals(comtype, "O"))
        kind = &N::Option;
    return global(*kind)(py::arg("code") = code, py::arg("name") = name);
}

py::object queryresp2order(py::handle resp) {
    py::object action = option_value(N::action, get(resp, "st_ps", "B"));
    py::object order_type = option_value(N::order_type, get(resp, "st_ordknd", "IOC"));
    py::object price_type =
        option_value(N::price_type, py::str(text_equals(order_type, "IOC") ? "MKT" : "LMT"));
    py::object price = get(resp, "st_price1", zero());
    py::object quantity = get(resp, "st_ordqty", zero());
    py::object ordno = get(resp, "st_ordno", "");
    py::object seqno = get(resp, "st_seqno", "");
    return global(N::Order)(py::arg("action") = action, py::arg("price_type") = price_type,
                            py::arg("order_type") = order_type, py::arg("price") = price,
                            py::arg("quantity") = quantity, py::arg("ordno") = ordno,
                            py::arg("seqno") = seqno);
}

py::object queryresp2orderstatus(py::handle resp) {
    py::object order_id = order_id_of(resp, "st_comno", "st_seqno");
    py::object when = datetime_of(resp, "st_orddt", "st_ordtm", kQueryFormat);
    return global(N::OrderStatus)(py::arg("order_id") = order_id, py::arg("order_datetime") = when,
                                  py::arg("status") = attr(global(N::Status), N::PendingSubmit));
}

py::object resp2trade(py::handle resp, py::handle trade_in) {
    py::object trade = py::reinterpret_borrow<py::object>(trade_in);
    if (!truthy(trade)) {
        py::object contract = global(N::queryresp2contract)(resp);
        py::object order = global(N::queryresp2order)(resp);
        py::object status = global(N::queryresp2orderstatus)(resp);
        trade = global(N::Trade)(py::arg("contract") = contract, py::arg("order") = order,
                                 py::arg("status") = status);
    }
    py::object status = attr(trade, N::status);
    py::object ordno = get(resp, "st_ordno", "");  // the value before the target, as an assignment
    set_attr(attr(trade, N::order), N::_ordno, ordno);
    set_attr(status, N::_status_code, get(resp, "st_code", ""));
    set_attr(status, N::_msg, call_method(get(resp, "st_errmsg", ""), N::strip, py::str(" ")));
    set_attr(status, N::_deal_quantity, to_int(get(resp, "st_ord_match_qty", zero())));
    set_attr(status, N::_deal_amount, get(resp, "st_ord_match_amt", zero()));
    set_attr(status, N::_avg_deal_price, get(resp, "st_ord_match_avg_prc", zero()));
    set_attr(status, N::_cancel_quantity, to_int(get(resp, "st_cancel_qty", zero())));
    set_attr(status, N::_modified_price, get(resp, "st_chg_price1", zero()));
    call_method(trade, N::calculate_remain);
    call_method(trade, N::fupdate_status);
    return trade;
}

}  // namespace fo
