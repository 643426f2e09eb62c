#include "main.hpp"

namespace dorvane_http_main {

namespace {

py::object order_id(py::handle trade) { return attr(attr(trade, N::status), N::order_id); }

// An order without an order number yet (any false ordno) is looked for in the book's refresh
// before it is changed or cancelled.
bool has_order_number(py::handle trade) { return pyglue::truthy(attr(attr(trade, N::order), N::ordno)); }

void refresh(py::handle self) { call_method(self, N::update_status); }

// A change or cancellation that the broker refused leaves the booked trade as it was, so the
// refusal would pass unseen: it is logged at error level with the order id of the trade given and
// the broker's reason (the status's message). A result without a status, or the very trade given
// (no request was answered), logs nothing.
void log_refusal(const char* what, py::handle trade, py::handle result) {
    if (result.is(trade)) return;
    py::object status = pyglue::attr_or(result, N::status, py::none());
    if (status.is_none()) return;
    py::object state = pyglue::attr_or(status, N::status, py::none());
    py::object failed = attr(global(N::Status), N::Failed);
    if (!pyglue::require(PyObject_RichCompareBool(state.ptr(), failed.ptr(), Py_EQ))) return;
    py::object reason = attr(status, N::_msg);
    py::object id = order_id(trade);
    py::object text = py::str("{} of order {} refused: {}").format(what, id, reason);
    attr(global(N::log), N::error)(text);
}

}  // namespace

py::object place_order(py::object self, py::object contract, py::object order) {
    py::object trade = global(N::place_order)(contract, order, attr(self, N::client));
    py::object id = order_id(trade);
    py::object book = attr(self, N::_trades);
    pyglue::require(PyObject_SetItem(book.ptr(), id.ptr(), trade.ptr()));
    return trade;
}

py::object update_order(py::object self, py::object trade, py::object price, py::object qty) {
    if (!has_order_number(trade)) refresh(self);
    py::object changed = global(N::update_order)(trade, attr(self, N::client), price, qty);
    log_refusal("Change", trade, changed);
    refresh(self);
    py::object id = order_id(changed);
    py::object book = attr(self, N::_trades);
    if (!pyglue::require(PySequence_Contains(book.ptr(), id.ptr()))) return changed;
    py::object booked = book[id];
    return booked;
}

py::object cancel_order(py::object self, py::object trade) {
    if (!has_order_number(trade)) refresh(self);
    py::object cancelled = global(N::cancel_order)(trade, attr(self, N::client));
    log_refusal("Cancel", trade, cancelled);
    refresh(self);
    return cancelled;
}

void update_status(py::object self) {
    py::object refresh = global(N::update_status);
    py::object trades = attr(self, N::_trades);
    py::object client = attr(self, N::client);
    refresh(trades, client);
}

// Each method constructs its report with its own arguments in order and the facade's client
// last; the report queries the back end in its constructor.

py::object get_account_margin(py::object self, py::object currency, py::object margin_type,
                              py::object account) {
    return global(N::AccountMargin)(currency, margin_type, account, attr(self, N::client));
}

py::object get_account_openposition(py::object self, py::object product_type, py::object query_type,
                                    py::object account) {
    return global(N::AccountOpenPosition)(product_type, query_type, account, attr(self, N::client));
}

py::object get_account_settle_profitloss(py::object self, py::object product_type, py::object summary,
                                         py::object start_date, py::object end_date, py::object currency,
                                         py::object account) {
    return global(N::AccountSettleProfitLoss)(product_type, summary, start_date, end_date, currency, account,
                                              attr(self, N::client));
}

py::object get_stock_account_funds(py::object self, py::object include_tax, py::object account) {
    return global(N::AccountFunds)(include_tax, account, attr(self, N::client));
}

py::object get_stock_account_unreal_profitloss(py::object self, py::object stock_type, py::object currency,
                                               py::object filter_rule, py::object account) {
    return global(N::AccountUnRealProfitLoss)(stock_type, currency, filter_rule, account,
                                              attr(self, N::client));
}

py::object get_stock_account_real_profitloss(py::object self, py::object stock_type, py::object start_date,
                                             py::object end_date, py::object currency, py::object filter_rule,
                                             py::object account) {
    return global(N::AccountRealProfitLoss)(stock_type, start_date, end_date, currency, filter_rule, account,
                                            attr(self, N::client));
}

namespace {

// A method handed to the decorators named in `decorators`, innermost first; the class holds what
// the last one returns. The function the first decorator receives carries the method's own name,
// qualified name and module.
template <class F, class... Extra>
void def_decorated(py::module_& m, py::object cls, std::initializer_list<const pyglue::Name*> decorators,
                   const pyglue::Name& name, F&& f, const Extra&... extra) {
    py::object fn =
        pyglue::make_function(m, std::string("HttpApi.") + name.text(), std::forward<F>(f), extra...);
    for (const pyglue::Name* decorator : decorators) fn = global(*decorator)(fn);
    set_attr(cls, name, fn);
}

}  // namespace

void bind_http_api(py::module_& m) {
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    pyglue::PlainClass builder(m, "HttpApi", py::tuple(), type,
                               "HTTP trading facade: logs in over HTTP, builds the contract "
                               "catalogue, places, changes and cancels futures and option orders "
                               "and keeps the trades it placed, and returns account reports.");
    py::object cls = builder.cls();

    builder.def("__init__", &init, py::arg("simulation"), py::arg("proxies"),
                "Creates the HTTP session client "
                "Client(simulation, proxies); no request is sent.");
    builder.def_property_readonly("trades", &trades);
    set_attr(attr(cls, N::trades), N::__doc__, py::str("A new list of the trades in the book."));
    def_decorated(m, cls, {&N::subscribe}, N::login, &login, py::arg("self"), py::arg("person_id"),
                  py::arg("passwd"),
                  "Logs in through the HTTP session client, downloads "
                  "the index, stock, futures and option lists into the catalogue `Contracts` and "
                  "returns what the client's login returned (the accounts).");
    builder.def("activate_vexa", &activate_vexa, py::arg("vexa_path"), py::arg("vexa_passwd"),
                py::arg("person_id"),
                "Activates the signing "
                "certificate and registers the signing module under `person_id`; returns "
                "init_vexa's result.");
    builder.def("list_accounts", &list_accounts, "The HTTP session client's accounts.");

    builder.def("get_account_margin", &get_account_margin, py::arg("currency"), py::arg("margin_type"),
                py::arg("account"), "A new AccountMargin report.");
    builder.def("get_account_openposition", &get_account_openposition, py::arg("product_type"),
                py::arg("query_type"), py::arg("account"),
                "A new "
                "AccountOpenPosition report.");
    builder.def("get_account_settle_profitloss", &get_account_settle_profitloss, py::arg("product_type"),
                py::arg("summary"), py::arg("start_date"), py::arg("end_date"), py::arg("currency"),
                py::arg("account"), "A new AccountSettleProfitLoss report.");
    builder.def("get_stock_account_funds", &get_stock_account_funds, py::arg("include_tax"),
                py::arg("account"), "A new AccountFunds report.");
    builder.def("get_stock_account_unreal_profitloss", &get_stock_account_unreal_profitloss,
                py::arg("stock_type"), py::arg("currency"), py::arg("filter_rule"), py::arg("account"),
                "A new AccountUnRealProfitLoss report.");
    builder.def("get_stock_account_real_profitloss", &get_stock_account_real_profitloss,
                py::arg("stock_type"), py::arg("start_date"), py::arg("end_date"), py::arg("currency"),
                py::arg("filter_rule"), py::arg("account"), "A new AccountRealProfitLoss report.");

    builder.def("fetch_products", &fetch_products,
                "Downloads the stock, futures and option lists and returns "
                "one table from product code to contract record (options over futures over "
                "stocks).");

    def_decorated(m, cls, {&N::record, &N::auth}, N::place_order, &place_order, py::arg("self"),
                  py::arg("contract"), py::arg("order"),
                  "Places the order and books its trade under "
                  "its order id.");
    def_decorated(m, cls, {&N::record, &N::auth}, N::update_order, &update_order, py::arg("self"),
                  py::arg("trade"), py::arg("price"), py::arg("qty"),
                  "Changes the order's price and quantity; "
                  "returns the booked trade of the changed order when there is one.");
    def_decorated(m, cls, {&N::record, &N::auth}, N::cancel_order, &cancel_order, py::arg("self"),
                  py::arg("trade"), "Cancels the order; returns the order module's trade.");
    builder.def("update_status", &update_status, "Refreshes the statuses of every booked trade.");

    set_attr(m, N::HttpApi, global(N::connection)(cls));
}

}  // namespace dorvane_http_main
