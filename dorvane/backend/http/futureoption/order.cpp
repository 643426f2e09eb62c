// dorvane.backend.http.futureoption.order: futures and option orders over the HTTP back end.
//
// Placing, price change, quantity change, cancellation and the order query post JSON bodies
// through the caller's HTTP session client and return the decoded replies unread; the reply
// functions turn those replies into the trading model's orders, order statuses and trades.
// Every function reads the module's globals (the option table `foprops`, the model classes,
// `hash_orderid`, `log`, `dt` and the module's other functions) by name when it runs, so a
// replaced global takes effect at the next call.
#include "order.hpp"

#include <functional>

namespace py = pybind11;
namespace N = fo::N;
using pyglue::set_attr;

namespace {

using fo::OptType;
using py::arg;

void bind_placing(py::module_& m) {
    pyglue::def(m, "get_web_id", []() { return py::str("Z"); });
    pyglue::def(m, "convert_order_props", &fo::convert_order_props, arg("order"), py::pos_only());

    // The prepare variants differ only in how they fill `opt_type`; each place variant prepares
    // with its own prepare function, read from the module when it runs.
    struct Variant {
        const char* prepare_name;
        OptType opt_type;
        const char* place_name;
        const pyglue::Name* prepare;
    };
    const Variant variants[] = {
        {"prepare_future_input", OptType::Blank, "place_future_order", &N::prepare_future_input},
        {"prepare_option_input", OptType::OptionRight, "place_option_order", &N::prepare_option_input},
        {"prepare_futopt_input", OptType::RightOrBlank, "place_futopt_order", &N::prepare_futopt_input}};
    for (const Variant& v : variants)
        pyglue::def(m, v.prepare_name, pyglue::capture(&fo::prepare_input, v.opt_type), arg("contract"),
                    arg("order"), arg("vexa_content"));
    for (const Variant& v : variants)
        pyglue::def(m, v.place_name, pyglue::capture(&fo::place, std::cref(*v.prepare)), arg("contract"),
                    arg("order"), arg("vexa_content"), arg("client"));

    pyglue::def(m, "_place_futopt_order", &fo::send_order, fo::kPlaceDoc, arg("product_id"),
                arg("product_type"), arg("opt_type"), arg("price"), arg("price_type"), arg("action"),
                arg("order_type"), arg("octype"), arg("quantity"), arg("account"), arg("vexa_content"),
                arg("client"));
}

void bind_changes(py::module_& m) {
    pyglue::def(m, "_cancel_futopt_order", &fo::send_cancel, arg("product_id"), arg("ordno"), arg("seqno"),
                arg("vexa_content"), arg("account"), arg("client"));
    pyglue::def(m, "cancel_futopt_order", &fo::cancel_futopt_order, arg("trade"), arg("vexa_content"),
                arg("client"));
    pyglue::def(m, "_update_futopt_order_price", &fo::send_price, arg("product_id"), arg("product_type"),
                arg("price"), arg("price_type"), arg("ord_type"), arg("ordno"), arg("seqno"),
                arg("vexa_content"), arg("account"), arg("client"));
    pyglue::def(m, "update_futopt_order_price", &fo::update_futopt_order_price, arg("trade"),
                arg("vexa_content"), arg("client"), arg("price"));
    pyglue::def(m, "_update_futopt_order_qty", &fo::send_qty, arg("product_id"), arg("product_type"),
                arg("qty"), arg("ordno"), arg("seqno"), arg("vexa_content"), arg("account"), arg("client"));
    pyglue::def(m, "update_futopt_order_qty", &fo::update_futopt_order_qty, arg("trade"), arg("vexa_content"),
                arg("client"), arg("qty"));
}

void bind_query(py::module_& m) {
    pyglue::def(m, "_query_futopt_order", &fo::send_query, arg("action"), arg("account"), arg("client"),
                arg("start_date") = py::str(""), arg("end_date") = py::str(""));
    pyglue::def(m, "query_futopt_order", &fo::query_futopt_order, arg("client"), py::pos_only());
}

void bind_replies(py::module_& m) {
    pyglue::def(m, "queryresp2contract", &fo::queryresp2contract, arg("resp"), py::pos_only());
    pyglue::def(m, "queryresp2order", &fo::queryresp2order, arg("resp"), py::pos_only());
    pyglue::def(m, "queryresp2orderstatus", &fo::queryresp2orderstatus, arg("resp"), py::pos_only());
    pyglue::def(m, "res2order", &fo::res2order, arg("resp_result"), arg("order"));
    pyglue::def(m, "res2orderstatus", &fo::res2orderstatus, arg("resp_result"), arg("successed"));
    pyglue::def(m, "futopt_resp2order_status", &fo::futopt_resp2order_status, arg("resp"), arg("order"));
    pyglue::def(m, "resp2trade", &fo::resp2trade, arg("resp"), arg("trade"));
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
