#include "main_facade.hpp"

namespace dorvane_http_main {

// Each method constructs its report with its own arguments in order and the facade's client
// last; the report queries the back end in its constructor.

py::object get_account_margin(py::object self, py::object currency, py::object margin_type,
                              py::object account) {
    return global("AccountMargin")(currency, margin_type, account, self.attr("client"));
}

py::object get_account_openposition(py::object self, py::object product_type,
                                    py::object query_type, py::object account) {
    return global("AccountOpenPosition")(product_type, query_type, account, self.attr("client"));
}

py::object get_account_settle_profitloss(py::object self, py::object product_type,
                                         py::object summary, py::object start_date,
                                         py::object end_date, py::object currency,
                                         py::object account) {
    return global("AccountSettleProfitLoss")(product_type, summary, start_date, end_date, currency,
                                             account, self.attr("client"));
}

py::object get_stock_account_funds(py::object self, py::object include_tax, py::object account) {
    return global("AccountFunds")(include_tax, account, self.attr("client"));
}

py::object get_stock_account_unreal_profitloss(py::object self, py::object stock_type,
                                               py::object currency, py::object filter_rule,
                                               py::object account) {
    return global("AccountUnRealProfitLoss")(stock_type, currency, filter_rule, account,
                                             self.attr("client"));
}

py::object get_stock_account_real_profitloss(py::object self, py::object stock_type,
                                             py::object start_date, py::object end_date,
                                             py::object currency, py::object filter_rule,
                                             py::object account) {
    return global("AccountRealProfitLoss")(stock_type, start_date, end_date, currency,
                                           filter_rule, account, self.attr("client"));
}

}  // namespace dorvane_http_main
