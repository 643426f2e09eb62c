#include "order.hpp"

namespace fo {

namespace {

py::object contract_of(py::handle trade) { return attr(trade, N::contract); }
py::object order_of(py::handle trade) { return attr(trade, N::order); }

// Calls the module function `name` with keyword arguments only.
py::object call_kw(const pyglue::Name& name, const py::dict& kwargs) {
    return pyglue::steal(PyObject_Call(global(name).ptr(), py::tuple().ptr(), kwargs.ptr()));
}

// product_id and product_type of the trade's contract.
void add_product(py::dict& kw, py::handle trade) {
    kw["product_id"] = attr(contract_of(trade), N::code);
    kw["product_type"] = first_item(attr(contract_of(trade), N::security_type));
}

// The keywords that close every change: the order's ordno and seqno, the signature, the order's
// account and the client.
void add_order_tail(py::dict& kw, py::handle trade, py::handle vexa_content, py::handle client) {
    kw["ordno"] = attr(order_of(trade), N::ordno);
    kw["seqno"] = attr(order_of(trade), N::seqno);
    kw["vexa_content"] = vexa_content;
    kw["account"] = attr(order_of(trade), N::account);
    kw["client"] = client;
}

// The fields that close every change body (ordno, seqno, web_id, vexa_content); posts the body to
// the client's endpoint `uri_name` and returns the decoded reply.
py::object finish_and_post(Body& body, py::handle client, const pyglue::Name& uri_name, py::handle ordno,
                           py::handle seqno, py::handle vexa_content) {
    body.add("ordno", ordno)
        .add("seqno", seqno)
        .add("web_id", global(N::get_web_id)())
        .add("vexa_content", vexa_content);
    return dorvane_http::reply_json(post(client, uri_name, body.dict()));
}

// token, ID, IP, broker_id, account: the head that every change body starts with.
Body head(py::handle client, py::handle account) {
    Body body;
    body.add("token", attr(client, N::_token))
        .add("ID", attr(client, N::person_id))
        .add("IP", attr(client, N::_public_ip))
        .add("broker_id", get(account, "broker_id", ""))
        .add("account", get(account, "account_id", ""));
    return body;
}

}  // namespace

py::object cancel_futopt_order(py::handle trade, py::handle vexa_content, py::handle client) {
    // Each field is read from the trade afresh, in the order of the keywords.
    py::dict kw;
    kw["product_id"] = attr(contract_of(trade), N::code);
    add_order_tail(kw, trade, vexa_content, client);
    return call_kw(N::_cancel_futopt_order, kw);
}

py::object update_futopt_order_price(py::handle trade, py::handle vexa_content, py::handle client,
                                     py::handle price) {
    py::dict kw;
    add_product(kw, trade);
    kw["price"] = price;
    kw["price_type"] = attr(order_of(trade), N::price_type);
    kw["ord_type"] = attr(order_of(trade), N::order_type);
    add_order_tail(kw, trade, vexa_content, client);
    return call_kw(N::_update_futopt_order_price, kw);
}

py::object update_futopt_order_qty(py::handle trade, py::handle vexa_content, py::handle client,
                                   py::handle qty) {
    py::dict kw;
    add_product(kw, trade);
    kw["qty"] = qty;
    add_order_tail(kw, trade, vexa_content, client);
    return call_kw(N::_update_futopt_order_qty, kw);
}

py::object send_cancel(py::handle product_id, py::handle ordno, py::handle seqno, py::handle vexa_content,
                       py::handle account, py::handle client, const py::kwargs&) {
    Body body = head(client, account);
    body.add("stock_id", product_id);
    return finish_and_post(body, client, N::f_order_cancel_uri, ordno, seqno, vexa_content);
}

py::object send_price(py::handle product_id, py::handle product_type, py::handle price, py::handle price_type,
                      py::handle ord_type, py::handle ordno, py::handle seqno, py::handle vexa_content,
                      py::handle account, py::handle client, const py::kwargs&) {
    Body body = head(client, account);
    body.add("stock_id", product_id)
        .add("fut_futopt", product_type)
        .add("price", price)
        .add("price_type", price_type)
        .add("ord_type", ord_type);
    return finish_and_post(body, client, N::f_order_chprice_uri, ordno, seqno, vexa_content);
}

py::object send_qty(py::handle product_id, py::handle product_type, py::handle qty, py::handle ordno,
                    py::handle seqno, py::handle vexa_content, py::handle account, py::handle client,
                    const py::kwargs&) {
    Body body = head(client, account);
    body.add("stock_id", product_id).add("fut_futopt", product_type).add("quantity", qty);
    return finish_and_post(body, client, N::f_order_chqty_uri, ordno, seqno, vexa_content);
}

}  // namespace fo
