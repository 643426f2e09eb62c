#include "handler.hpp"

namespace handler {

namespace {

// `order_in(**fields)` through the module's global, read now.
py::object call_order_in(const py::dict& fields) { return global(N::order_in)(**fields); }

// The side of a change or cancellation: the extra keyword `action`, None when absent.
py::object action_of(const py::dict& extra) {
    PyObject* action = PyDict_GetItemString(extra.ptr(), "action");  // borrowed
    return action ? py::reinterpret_borrow<py::object>(action) : py::none();
}

// The fields every order message starts with, in the order the message lists them.
py::dict order_fields(const py::object& vexa, const py::object& person_id, const py::object& account,
                      const py::object& trade_type, const py::object& stock_id) {
    py::dict fields;
    fields["vexa"] = vexa;
    fields["person_id"] = person_id;
    fields["account"] = account;
    fields["trade_type"] = trade_type;
    fields["stock_id"] = stock_id;
    return fields;
}

// The fields of a change or cancellation of the placed order `ordno`/`seqno`, up to its market.
py::dict change_fields(const py::object& vexa, const py::object& person_id, const py::object& account,
                       const py::object& trade_type, const py::object& stock_id, const py::object& ordno,
                       const py::object& seqno, const py::dict& extra, const py::object& market) {
    py::dict fields = order_fields(vexa, person_id, account, trade_type, stock_id);
    fields["ordno"] = ordno;
    fields["seqno"] = seqno;
    fields["ord_bs"] = action_of(extra);
    fields["form_no"] = kFormNo;
    fields["market_id"] = market;
    return fields;
}

// MarketType.<market>, read now.
py::object market_id(const pyglue::Name& market) { return attr(global(N::MarketType), market); }

}  // namespace

py::object place_order(const pyglue::Name& market, py::object vexa, py::object person_id, py::object account,
                       py::object stock_id, py::object order_type, py::object order_cond, py::object price,
                       py::object quantity, py::object ord_bs, py::object price_type, py::object first_sell,
                       const py::kwargs&) {
    py::object action = attr(global(N::stock_ops), N::action);
    py::object trade_type = attr(action, N::Buy);
    py::object sell = attr(action, N::Sell);
    int is_sell = pyglue::require(PyObject_RichCompareBool(ord_bs.ptr(), sell.ptr(), Py_EQ));
    if (is_sell) trade_type = sell;

    py::dict fields = order_fields(vexa, person_id, account, trade_type, stock_id);
    fields["ord_type"] = order_type;
    fields["ord_cond"] = order_cond;
    fields["market_id"] = market_id(market);
    fields["price"] = price;
    fields["quantity"] = quantity;
    fields["ord_bs"] = ord_bs;
    fields["price_type"] = price_type;
    fields["form_no"] = kFormNo;
    fields["first_sell"] = first_sell;
    return call_order_in(fields);
}

py::object update_order(const pyglue::Name& market, py::object vexa, py::object person_id, py::object account,
                        py::object stock_id, py::object ordno, py::object seqno, py::object price,
                        py::object quantity, const py::kwargs& extra) {
    py::object market_value = market_id(market);
    bool has_price = pyglue::truthy(price);
    bool has_quantity = pyglue::truthy(quantity);
    if (has_price && !has_quantity)
        pyglue::raise(PyExc_Exception,
                      "stock can't update price directly, please cancel order first and place "
                      "new price.");
    if (has_price || !has_quantity)
        pyglue::raise(PyExc_Exception, "updatetse accept only price or quantity at a time.");
    py::object trade_type = attr(attr(global(N::stock_ops), N::action), N::Update_Qty);

    py::dict fields =
        change_fields(vexa, person_id, account, trade_type, stock_id, ordno, seqno, extra, market_value);
    fields["price"] = price;
    fields["quantity"] = quantity;
    fields["is_preorder"] = "N";
    return call_order_in(fields);
}

py::object cancel_order(const pyglue::Name& market, py::object vexa, py::object person_id, py::object account,
                        py::object stock_id, py::object ordno, py::object seqno, const py::kwargs& extra) {
    py::object trade_type = attr(attr(global(N::stock_ops), N::action), N::Cancel);
    py::object market_value = market_id(market);

    py::dict fields =
        change_fields(vexa, person_id, account, trade_type, stock_id, ordno, seqno, extra, market_value);
    fields["is_preorder"] = "N";
    return call_order_in(fields);
}

py::object Dispatcher::operator()(py::dict kwargs) const {
    py::list required;
    for (const char* key : required_) required.append(key);
    global(N::check_options)(kwargs, required);

    py::object markets = global(N::MarketType);
    py::dict table;
    table[attr(markets, N::TSE)] = global(*tse_);
    table[attr(markets, N::OTC)] = global(*otc_);

    PyObject* exchange = pyglue::require(PyObject_GetItem(kwargs.ptr(), py::str("exchange").ptr()));
    py::object builder =
        pyglue::call_method(table, N::get, py::reinterpret_steal<py::object>(exchange), py::none());
    // No builder for the exchange: calling None fails with the interpreter's TypeError.
    PyObject* result = pyglue::require(PyObject_Call(builder.ptr(), py::tuple().ptr(), kwargs.ptr()));
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace handler
