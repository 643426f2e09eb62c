#include "order_change.hpp"

namespace fo {

namespace {

py::object contract_of(py::handle trade) { return trade.attr("contract"); }
py::object order_of(py::handle trade) { return trade.attr("order"); }

// Calls the module function `name` with keyword arguments only.
py::object call_kw(const char* name, const py::dict& kwargs) {
    PyObject* result = PyObject_Call(global(name).ptr(), py::tuple().ptr(), kwargs.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace

py::object OrderChange::cancel(py::handle trade, py::handle vexa_content, py::handle client) {
    // Each field is read from the trade afresh, in the order of the keywords.
    py::dict kw;
    kw["product_id"] = contract_of(trade).attr("code");
    kw["ordno"] = order_of(trade).attr("ordno");
    kw["seqno"] = order_of(trade).attr("seqno");
    kw["vexa_content"] = vexa_content;
    kw["account"] = order_of(trade).attr("account");
    kw["client"] = client;
    return call_kw("_cancel_futopt_order", kw);
}

py::object OrderChange::update_price(py::handle trade, py::handle vexa_content, py::handle client,
                                     py::handle price) {
    py::dict kw;
    kw["product_id"] = contract_of(trade).attr("code");
    kw["product_type"] = first_item(contract_of(trade).attr("security_type"));
    kw["price"] = price;
    kw["price_type"] = order_of(trade).attr("price_type");
    kw["ord_type"] = order_of(trade).attr("order_type");
    kw["ordno"] = order_of(trade).attr("ordno");
    kw["seqno"] = order_of(trade).attr("seqno");
    kw["vexa_content"] = vexa_content;
    kw["account"] = order_of(trade).attr("account");
    kw["client"] = client;
    return call_kw("_update_futopt_order_price", kw);
}

py::object OrderChange::update_qty(py::handle trade, py::handle vexa_content, py::handle client,
                                   py::handle qty) {
    py::dict kw;
    kw["product_id"] = contract_of(trade).attr("code");
    kw["product_type"] = first_item(contract_of(trade).attr("security_type"));
    kw["qty"] = qty;
    kw["ordno"] = order_of(trade).attr("ordno");
    kw["seqno"] = order_of(trade).attr("seqno");
    kw["vexa_content"] = vexa_content;
    kw["account"] = order_of(trade).attr("account");
    kw["client"] = client;
    return call_kw("_update_futopt_order_qty", kw);
}

Body OrderChange::head(py::handle client, py::handle account) {
    Body body;
    body.add("token", client.attr("_token"))
        .add("ID", client.attr("person_id"))
        .add("IP", client.attr("_public_ip"))
        .add("broker_id", get(account, "broker_id", ""))
        .add("account", get(account, "account_id", ""));
    return body;
}

py::object OrderChange::send_cancel(py::handle product_id, py::handle ordno, py::handle seqno,
                                    py::handle vexa_content, py::handle account, py::handle client) {
    Body body = head(client, account);
    body.add("stock_id", product_id)
        .add("ordno", ordno)
        .add("seqno", seqno)
        .add("web_id", global("get_web_id")())
        .add("vexa_content", vexa_content);
    return post(client, "f_order_cancel_uri", body.dict()).attr("json")();
}

py::object OrderChange::send_price(py::handle product_id, py::handle product_type, py::handle price,
                                   py::handle price_type, py::handle ord_type, py::handle ordno,
                                   py::handle seqno, py::handle vexa_content, py::handle account,
                                   py::handle client) {
    Body body = head(client, account);
    body.add("stock_id", product_id)
        .add("fut_futopt", product_type)
        .add("price", price)
        .add("price_type", price_type)
        .add("ord_type", ord_type)
        .add("ordno", ordno)
        .add("seqno", seqno)
        .add("web_id", global("get_web_id")())
        .add("vexa_content", vexa_content);
    return post(client, "f_order_chprice_uri", body.dict()).attr("json")();
}

py::object OrderChange::send_qty(py::handle product_id, py::handle product_type, py::handle qty,
                                 py::handle ordno, py::handle seqno, py::handle vexa_content,
                                 py::handle account, py::handle client) {
    Body body = head(client, account);
    body.add("stock_id", product_id)
        .add("fut_futopt", product_type)
        .add("quantity", qty)
        .add("ordno", ordno)
        .add("seqno", seqno)
        .add("web_id", global("get_web_id")())
        .add("vexa_content", vexa_content);
    return post(client, "f_order_chqty_uri", body.dict()).attr("json")();
}

}  // namespace fo
