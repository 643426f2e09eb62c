// dorvane.backend.http.futureoption.order: futures and option orders over the HTTP back end.
//
// Placing, price change, quantity change, cancellation and the order query post JSON bodies
// through the caller's HTTP session client and return the decoded replies unread; the reply
// functions turn those replies into the trading model's orders, order statuses and trades.
// Every function reads the module's globals (the option table `foprops`, the model classes,
// `hash_orderid`, `log`, `dt` and the module's other functions) by name when it runs, so a
// replaced global takes effect at the next call.
#include "order.hpp"

namespace py = pybind11;
namespace N = fo::N;
using pyglue::set_attr;

namespace {

using fo::OrderChange;
using fo::OrderPlacing;
using fo::OrderQuery;
using fo::ReplyParser;
using py::arg;

void bind_placing(py::module_& m) {
    pyglue::def(m, "get_web_id", []() { return py::str("Z"); });
    pyglue::def(
        m, "convert_order_props", [](py::object order) { return OrderPlacing::convert_order_props(order); },
        arg("order"), py::pos_only());
    pyglue::def(
        m, "prepare_future_input",
        [](py::object contract, py::object order, py::object vexa_content) {
            return OrderPlacing::prepare_input(OrderPlacing::OptType::Blank, contract, order, vexa_content);
        },
        arg("contract"), arg("order"), arg("vexa_content"));
    pyglue::def(
        m, "prepare_option_input",
        [](py::object contract, py::object order, py::object vexa_content) {
            return OrderPlacing::prepare_input(OrderPlacing::OptType::OptionRight, contract, order,
                                               vexa_content);
        },
        arg("contract"), arg("order"), arg("vexa_content"));
    pyglue::def(
        m, "prepare_futopt_input",
        [](py::object contract, py::object order, py::object vexa_content) {
            return OrderPlacing::prepare_input(OrderPlacing::OptType::RightOrBlank, contract, order,
                                               vexa_content);
        },
        arg("contract"), arg("order"), arg("vexa_content"));

    struct Variant {
        const char* name;
        const pyglue::Name* prepare;
    };
    for (Variant v : {Variant{"place_future_order", &N::prepare_future_input},
                      Variant{"place_option_order", &N::prepare_option_input},
                      Variant{"place_futopt_order", &N::prepare_futopt_input}}) {
        const pyglue::Name* prepare = v.prepare;
        pyglue::def(m, v.name,
                    pyglue::capture(
                        [](const pyglue::Name* prepare_name, py::object contract, py::object order,
                           py::object vexa_content, py::object client) {
                            return OrderPlacing::place(*prepare_name, contract, order, vexa_content, client);
                        },
                        prepare),
                    arg("contract"), arg("order"), arg("vexa_content"), arg("client"));
    }

    pyglue::def(
        m, "_place_futopt_order",
        [](py::object product_id, py::object product_type, py::object opt_type, py::object price,
           py::object price_type, py::object action, py::object order_type, py::object octype,
           py::object quantity, py::object account, py::object vexa_content, py::object client, py::kwargs) {
            return OrderPlacing::send({product_id, product_type, opt_type, price, price_type, action,
                                       order_type, octype, quantity, account, vexa_content, client});
        },
        OrderPlacing::kDoc, arg("product_id"), arg("product_type"), arg("opt_type"), arg("price"),
        arg("price_type"), arg("action"), arg("order_type"), arg("octype"), arg("quantity"), arg("account"),
        arg("vexa_content"), arg("client"));
}

void bind_changes(py::module_& m) {
    pyglue::def(
        m, "_cancel_futopt_order",
        [](py::object product_id, py::object ordno, py::object seqno, py::object vexa_content,
           py::object account, py::object client, py::kwargs) {
            return OrderChange::send_cancel(product_id, ordno, seqno, vexa_content, account, client);
        },
        arg("product_id"), arg("ordno"), arg("seqno"), arg("vexa_content"), arg("account"), arg("client"));
    pyglue::def(
        m, "cancel_futopt_order",
        [](py::object trade, py::object vexa_content, py::object client) {
            return OrderChange::cancel(trade, vexa_content, client);
        },
        arg("trade"), arg("vexa_content"), arg("client"));
    pyglue::def(
        m, "_update_futopt_order_price",
        [](py::object product_id, py::object product_type, py::object price, py::object price_type,
           py::object ord_type, py::object ordno, py::object seqno, py::object vexa_content,
           py::object account, py::object client, py::kwargs) {
            return OrderChange::send_price(product_id, product_type, price, price_type, ord_type, ordno,
                                           seqno, vexa_content, account, client);
        },
        arg("product_id"), arg("product_type"), arg("price"), arg("price_type"), arg("ord_type"),
        arg("ordno"), arg("seqno"), arg("vexa_content"), arg("account"), arg("client"));
    pyglue::def(
        m, "update_futopt_order_price",
        [](py::object trade, py::object vexa_content, py::object client, py::object price) {
            return OrderChange::update_price(trade, vexa_content, client, price);
        },
        arg("trade"), arg("vexa_content"), arg("client"), arg("price"));
    pyglue::def(
        m, "_update_futopt_order_qty",
        [](py::object product_id, py::object product_type, py::object qty, py::object ordno, py::object seqno,
           py::object vexa_content, py::object account, py::object client, py::kwargs) {
            return OrderChange::send_qty(product_id, product_type, qty, ordno, seqno, vexa_content, account,
                                         client);
        },
        arg("product_id"), arg("product_type"), arg("qty"), arg("ordno"), arg("seqno"), arg("vexa_content"),
        arg("account"), arg("client"));
    pyglue::def(
        m, "update_futopt_order_qty",
        [](py::object trade, py::object vexa_content, py::object client, py::object qty) {
            return OrderChange::update_qty(trade, vexa_content, client, qty);
        },
        arg("trade"), arg("vexa_content"), arg("client"), arg("qty"));
}

void bind_query(py::module_& m) {
    pyglue::def(
        m, "_query_futopt_order",
        [](py::object action, py::object account, py::object client, py::object start_date,
           py::object end_date) { return OrderQuery::query(action, account, client, start_date, end_date); },
        arg("action"), arg("account"), arg("client"), arg("start_date") = py::str(""),
        arg("end_date") = py::str(""));
    pyglue::def(
        m, "query_futopt_order", [](py::object client) { return OrderQuery::query_all(client); },
        arg("client"), py::pos_only());
}

void bind_replies(py::module_& m) {
    pyglue::def(
        m, "queryresp2contract", [](py::object resp) { return ReplyParser::queryresp2contract(resp); },
        arg("resp"), py::pos_only());
    pyglue::def(
        m, "queryresp2order", [](py::object resp) { return ReplyParser::queryresp2order(resp); }, arg("resp"),
        py::pos_only());
    pyglue::def(
        m, "queryresp2orderstatus", [](py::object resp) { return ReplyParser::queryresp2orderstatus(resp); },
        arg("resp"), py::pos_only());
    pyglue::def(
        m, "res2order",
        [](py::object resp_result, py::object order) { return ReplyParser::res2order(resp_result, order); },
        arg("resp_result"), arg("order"));
    pyglue::def(
        m, "res2orderstatus",
        [](py::object resp_result, py::object successed) {
            return ReplyParser::res2orderstatus(resp_result, successed);
        },
        arg("resp_result"), arg("successed"));
    pyglue::def(
        m, "futopt_resp2order_status",
        [](py::object resp, py::object order) { return ReplyParser::futopt_resp2order_status(resp, order); },
        arg("resp"), arg("order"));
    pyglue::def(
        m, "resp2trade",
        [](py::object resp, py::object trade) { return ReplyParser::resp2trade(resp, trade); }, arg("resp"),
        arg("trade"));
}

}  // namespace

PYBIND11_MODULE(order, m) {
    pyglue::set_module(m);

    set_attr(m, N::dt, pyglue::import_module("datetime"));
    set_attr(m, N::log, pyglue::import_from("dorvane.utils", "log"));
    set_attr(m, N::FutureAccount, pyglue::import_from("dorvane.account", "FutureAccount"));
    set_attr(m, N::Future, pyglue::import_from("dorvane.contracts", "Future"));
    set_attr(m, N::Contract, pyglue::import_from("dorvane.contracts", "Contract"));
    set_attr(m, N::Option, pyglue::import_from("dorvane.contracts", "Option"));
    set_attr(m, N::Order, pyglue::import_from("dorvane.order", "Order"));
    set_attr(m, N::Trade, pyglue::import_from("dorvane.order", "Trade"));
    set_attr(m, N::OrderStatus, pyglue::import_from("dorvane.order", "OrderStatus"));
    set_attr(m, N::Status, pyglue::import_from("dorvane.order", "Status"));
    set_attr(m, N::hash_orderid, pyglue::import_from("dorvane.backend.http.utils", "hash_orderid"));
    set_attr(m, N::foprops, pyglue::import_from("dorvane.backend.http.futureoption.constant", "oprops"));

    bind_placing(m);
    bind_changes(m);
    bind_query(m);
    bind_replies(m);
}
