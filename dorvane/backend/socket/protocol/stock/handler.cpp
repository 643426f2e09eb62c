// dorvane.backend.socket.protocol.stock.handler: stock order requests for the TSE and OTC markets.
//
// order_in turns the fields of one order into (header mapping, payload): the caller's signature
// bytes followed by the request body that the library's stock request structure builds; order_out
// parses a reply body. The six builders (place, change quantity, cancel; per market) and the three
// dispatchers map order-level arguments onto order_in. Every outside object and every function of
// the module is read through the module's globals at call time, so replacing one takes effect.
#include "handler.hpp"

#include <functional>

namespace py = pybind11;
namespace N = handler::N;

namespace {

const char* const kOrderInDoc =
    "\n"
    "    trade_type:\n"
    "    - 買進: '01'\n"
    "    - 賣出: '02'\n"
    "    - 改量: '03'\n"
    "    - 刪單: '04'\n"
    "    # 改價必須刪單再下單\n"
    "    ord_type:\n"
    "    - 整股: '0'\n"
    "    - 定盤: 'P'\n"
    "    - 零股: '2'\n"
    "    ord_cond:\n"
    "    - 現股: '0'\n"
    "    - 融資: '3'\n"
    "    - 融券: '4'\n"
    "    market_id:\n"
    "    - TSE: 'S'\n"
    "    - OTC: 'O'\n"
    "    - OES\n"
    "    price_type:\n"
    "    - 指定價: ' '\n"
    "    - 昨收: '1' 待確認\n"
    "    - 漲停: '2'\n"
    "    - 跌停: '3'\n"
    "    is_first_sell:\n"
    "    - YES: 'Y'\n"
    "    - NO: 'N'\n"
    "    ";

void bind_place(py::module_& m, const char* name, const pyglue::Name& market, py::object first_sell_no) {
    pyglue::def(m, name, pyglue::capture(&handler::place_order, std::cref(market)), py::arg("vexa"),
                py::arg("person_id"), py::arg("account"), py::arg("stock_id"), py::arg("order_type"),
                py::arg("order_cond"), py::arg("price"), py::arg("quantity"), py::arg("ord_bs"),
                py::arg("price_type"), py::arg("first_sell") = first_sell_no);
}

void bind_update(py::module_& m, const char* name, const pyglue::Name& market) {
    pyglue::def(m, name, pyglue::capture(&handler::update_order, std::cref(market)), py::arg("vexa"),
                py::arg("person_id"), py::arg("account"), py::arg("stock_id"), py::arg("ordno"),
                py::arg("seqno"), py::arg("price"), py::arg("quantity"));
}

void bind_cancel(py::module_& m, const char* name, const pyglue::Name& market) {
    pyglue::def(m, name, pyglue::capture(&handler::cancel_order, std::cref(market)), py::arg("vexa"),
                py::arg("person_id"), py::arg("account"), py::arg("stock_id"), py::arg("ordno"),
                py::arg("seqno"));
}

void bind_dispatch(py::module_& m, const char* name, handler::Dispatcher dispatch) {
    pyglue::def(m, name,
                pyglue::capture([](const handler::Dispatcher& d, py::kwargs kwargs) { return d(kwargs); },
                                std::move(dispatch)));
}

}  // namespace

PYBIND11_MODULE(handler, m) {
    pyglue::set_module(m);
    using pyglue::attr;
    using pyglue::set_attr;

    const char* stock = "dorvane.backend.socket.protocol.stock";
    set_attr(m, N::kivo, pyglue::import_from(stock, "kivo"));
    set_attr(m, N::check_options,
             pyglue::import_from("dorvane.backend.socket.protocol.utils", "check_options"));
    set_attr(m, N::proto_ops, pyglue::import_from(stock, "constant"));
    py::object order_props = pyglue::import_from("dorvane.orderprops", "OrderProps");
    set_attr(m, N::OrderProps, order_props);
    set_attr(m, N::MarketType, pyglue::import_from("dorvane.backend.constant", "MarketType"));
    py::object stock_ops = attr(order_props, N::Stock);
    set_attr(m, N::stock_ops, stock_ops);

    pyglue::def(m, "_format_price", &handler::price_field::format,
                "\n    Formatting float or int of price to string value with length 12.\n    ",
                py::arg("price"));
    pyglue::def(m, "_format_quantity", &handler::quantity_field::format,
                "\n    Formatting int of quantity to string value with length 4.\n    ", py::arg("quantity"));

    bind_dispatch(m, "placeorder",
                  handler::Dispatcher({"vexa", "exchange", "person_id", "account", "stock_id", "order_type",
                                       "order_cond", "price", "quantity", "ord_bs", "price_type"},
                                      N::placetse, N::placeotc));
    bind_dispatch(m, "updateorder",
                  handler::Dispatcher({"vexa", "exchange", "person_id", "account", "stock_id", "ordno",
                                       "seqno", "price", "quantity"},
                                      N::updatetse, N::updateotc));
    bind_dispatch(
        m, "cancelorder",
        handler::Dispatcher({"vexa", "exchange", "person_id", "account", "stock_id", "ordno", "seqno"},
                            N::canceltse, N::cancelotc));

    // The default side-selling option of the place builders is the value it has now, at import.
    py::object first_sell_no = attr(attr(stock_ops, N::first_sell), N::No);
    bind_place(m, "placetse", N::TSE, first_sell_no);
    bind_place(m, "placeotc", N::OTC, first_sell_no);
    bind_update(m, "updatetse", N::TSE);
    bind_update(m, "updateotc", N::OTC);
    bind_cancel(m, "canceltse", N::TSE);
    bind_cancel(m, "cancelotc", N::OTC);

    pyglue::def(m, "order_in", &handler::order_in, kOrderInDoc, py::arg("vexa") = py::bytes(""));
    pyglue::def(m, "order_out", &handler::order_out, py::arg("payload"));
}
