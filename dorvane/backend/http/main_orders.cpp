#include "main_facade.hpp"

namespace dorvane_http_main {

namespace {

py::object order_id(py::handle trade) { return trade.attr("status").attr("order_id"); }

// An order without an order number yet (any false ordno) is looked for in the book's refresh
// before it is changed or cancelled.
bool has_order_number(py::handle trade) {
    return pyglue::truthy(trade.attr("order").attr("ordno"));
}

void refresh(py::handle self) { self.attr("update_status")(); }

}  // namespace

py::object place_order(py::object self, py::object contract, py::object order) {
    py::object trade = global("place_order")(contract, order, self.attr("client"));
    py::object id = order_id(trade);
    py::object book = self.attr("_trades");
    if (PyObject_SetItem(book.ptr(), id.ptr(), trade.ptr()) < 0) throw py::error_already_set();
    return trade;
}

py::object update_order(py::object self, py::object trade, py::object price, py::object qty) {
    if (!has_order_number(trade)) refresh(self);
    py::object changed = global("update_order")(trade, self.attr("client"), price, qty);
    refresh(self);
    py::object id = order_id(changed);
    py::object book = self.attr("_trades");
    int held = PySequence_Contains(book.ptr(), id.ptr());
    if (held < 0) throw py::error_already_set();
    if (!held) return changed;
    py::object booked = book[id];
    return booked;
}

py::object cancel_order(py::object self, py::object trade) {
    if (!has_order_number(trade)) refresh(self);
    py::object cancelled = global("cancel_order")(trade, self.attr("client"));
    refresh(self);
    return cancelled;
}

void update_status(py::object self) {
    global("update_status")(self.attr("_trades"), self.attr("client"));
}

}  // namespace dorvane_http_main
