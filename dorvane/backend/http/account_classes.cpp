#include "account.hpp"

namespace dorvane_account {

namespace {

const ReportKind kMargin{
    "AccountMargin",
    "Margin of a futures and options account.",
    N::_query_margin,
    {&N::_currency, &N::_margin_type, &N::_account, &N::_client},
    Payload::Body,
    TextForm::NameAccount,
    false,
};

const ReportKind kOpenPosition{
    "AccountOpenPosition",
    "Open positions of a futures and options account.",
    N::_query_open_position,
    {&N::_product_type, &N::_query_type, &N::_account, &N::_client},
    Payload::BodyRows,
    TextForm::NameAccount,
    true,
};

const ReportKind kSettleProfitLoss{
    "AccountSettleProfitLoss",
    "Settled profit and loss of a futures and options account.",
    N::_query_settle_profitloss,
    {&N::_product_type, &N::_summary, &N::_start_date, &N::_end_date, &N::_currency, &N::_account,
     &N::_client},
    Payload::BodyRows,
    TextForm::NameAccount,
    true,
};

const ReportKind kFunds{
    "AccountFunds",
    "Profit sums of a stock account.",
    N::_query_funds_profitloss,
    {&N::_account, &N::_client, &N::_tax},
    Payload::ProfitSum,
    TextForm::NameOnly,
    false,
};

const ReportKind kRealProfitLoss{
    "AccountRealProfitLoss",
    "Realised profit and loss of a stock account over a range of dates, as summary and detail rows.",
    N::_query_real_profitloss,
    {&N::_account, &N::_client, nullptr, &N::_stock_type, &N::_start_date, &N::_end_date, &N::_currency,
     &N::_action},
    Payload::Split,
    TextForm::NameLineAccount,
    false,
    "profit_sums",
    "profit_sum",
    "profit_details",
};

const ReportKind kUnRealProfitLoss{
    "AccountUnRealProfitLoss",
    "Unrealised profit and loss of a stock account, as summary and detail rows.",
    N::_query_unreal_profitloss,
    {&N::_account, &N::_client, nullptr, &N::_stock_type, &N::_currency, &N::_action},
    Payload::Split,
    TextForm::NameLineAccount,
    false,
    "unreal_sums",
    "unreal_sum",
    "unreal_details",
};

const char* const kMarginDoc =
    "query margin\n"
    "\n"
    "Args:\n"
    "    currency (str): the currency in which the margin is calculated\n"
    "        NTX: \u7d04\u7576\u53f0\u5e63, USX: \u7d04\u7576\u7f8e\u91d1, NTD: \u65b0\u53f0\u5e63, "
    "USD: \u7f8e\u5143, HKD: \u6e2f\u5e63, EUR: \u6b50\u5143, JPY: \u65e5\u5e63, GBP: \u82f1\u938a\n"
    "    margin_type (str): 1: \u5373\u6642, 2: \u98a8\u96aa\n";

const char* const kOpenPositionDoc =
    "query open position\n"
    "\n"
    "Args:\n"
    "    product_type: filter the product type of the positions\n"
    "        0: all, 1: future, 2: option, 3: usd base\n"
    "    query_type: reply with details or a summary\n"
    "        0: detail, 1: summary\n";

const char* const kSettleProfitLossDoc =
    "query settlement profit loss\n"
    "\n"
    "Args:\n"
    "    product_type: filter the product type\n"
    "        0: all, 1: future, 2: option\n"
    "    summary (str): Y: summary, N: detail\n"
    "    start_date (str): the start date of query range format with %Y%m%d, ex: 20180101\n"
    "    end_date (str): the end date of query range format with %Y%m%d, ex: 20180201\n"
    "    currency (str): the currency in which profit and loss are calculated\n"
    "        NTD: \u65b0\u53f0\u5e63, USD: \u7f8e\u5143, HKD: \u6e2f\u5e63, EUR: \u6b50\u5143, "
    "CAD: \u52a0\u5e63, BAS: \u57fa\u5e63\n";

const char* const kFundsDoc =
    "query profit sums of the stock account\n"
    "\n"
    "Args:\n"
    "    tax (str): ' ': tax included, '1': tax excluded\n";

const char* const kRealProfitLossDoc =
    "query realised profit loss of the stock account\n"
    "\n"
    "Args:\n"
    "    stock_type (str): A: \u5168\u90e8, 0: \u73fe-\u4e0a\u5e02\u6ac3, 1: \u8cc7, 2: \u5238, "
    "R: \u8208\u6ac3\n"
    "    start_date (str): the start date of query range format with %Y%m%d, ex: 20180201\n"
    "    end_date (str): the end date of query range format with %Y%m%d, ex: 20180201\n"
    "    currency (str): A: \u5168\u90e8, NTD: \u65b0\u53f0\u5e63, CNY: \u4eba\u6c11\u5e63\n"
    "    action (str): ' ': default, no filter, '1': filter cost is 0\n";

const char* const kUnRealProfitLossDoc =
    "query unrealised profit loss of the stock account\n"
    "\n"
    "Args:\n"
    "    stock_type (str): A: \u5168\u90e8, 0: \u73fe-\u4e0a\u5e02\u6ac3, 1: \u8cc7, 2: \u5238, "
    "R: \u8208\u6ac3\n"
    "    currency (str): A: \u5168\u90e8, NTD: \u65b0\u53f0\u5e63, CNY: \u4eba\u6c11\u5e63\n"
    "    action (str): ' ': default, no filter, '1': filter delisting stock, '2': tax excluded, "
    "'3': filter delisting stock and tax excluded\n";

using O = py::object;

void margin_init(O self, O currency, O margin_type, O account, O client) {
    store(self, {{&N::_currency, currency},
                 {&N::_margin_type, margin_type},
                 {&N::_account, account},
                 {&N::_client, client}});
    query_now(self);
}

void open_position_init(O self, O product_type, O query_type, O account, O client) {
    store(self, {{&N::_product_type, product_type},
                 {&N::_query_type, query_type},
                 {&N::_account, account},
                 {&N::_client, client}});
    query_now(self);
}

void settle_profitloss_init(O self, O product_type, O summary, O start_date, O end_date, O currency,
                            O account, O client) {
    store(self, {{&N::_product_type, product_type},
                 {&N::_summary, summary},
                 {&N::_start_date, start_date},
                 {&N::_end_date, end_date},
                 {&N::_currency, currency},
                 {&N::_account, account},
                 {&N::_client, client}});
    query_now(self);
}

void funds_init(O self, O tax, O account, O client) {
    store(self, {{&N::_tax, tax}, {&N::_client, client}, {&N::_account, account}});
    query_now(self);
}

void real_profitloss_init(O self, O stock_type, O start_date, O end_date, O currency, O action, O account,
                          O client) {
    store(self, {{&N::_stock_type, stock_type},
                 {&N::_start_date, start_date},
                 {&N::_end_date, end_date},
                 {&N::_currency, currency},
                 {&N::_action, action},
                 {&N::_account, account},
                 {&N::_client, client}});
    query_now(self);
}

void unreal_profitloss_init(O self, O stock_type, O currency, O action, O account, O client) {
    store(self, {{&N::_stock_type, stock_type},
                 {&N::_currency, currency},
                 {&N::_action, action},
                 {&N::_account, account},
                 {&N::_client, client}});
    query_now(self);
}

}  // namespace

void bind_account_reports(py::module_& m) {
    bind_report(m, kMargin, &margin_init, py::arg("currency"), py::arg("margin_type"), py::arg("account"),
                py::arg("client"), kMarginDoc);
    bind_report(m, kOpenPosition, &open_position_init, py::arg("product_type"), py::arg("query_type"),
                py::arg("account"), py::arg("client"), kOpenPositionDoc);
    bind_report(m, kSettleProfitLoss, &settle_profitloss_init, py::arg("product_type"), py::arg("summary"),
                py::arg("start_date"), py::arg("end_date"), py::arg("currency"), py::arg("account"),
                py::arg("client"), kSettleProfitLossDoc);
    bind_report(m, kFunds, &funds_init, py::arg("tax"), py::arg("account"), py::arg("client"), kFundsDoc);
}

void bind_stock_profitloss_reports(py::module_& m) {
    bind_report(m, kUnRealProfitLoss, &unreal_profitloss_init, py::arg("stock_type"), py::arg("currency"),
                py::arg("action"), py::arg("account"), py::arg("client"), kUnRealProfitLossDoc);
    bind_report(m, kRealProfitLoss, &real_profitloss_init, py::arg("stock_type"), py::arg("start_date"),
                py::arg("end_date"), py::arg("currency"), py::arg("action"), py::arg("account"),
                py::arg("client"), kRealProfitLossDoc);
}

}  // namespace dorvane_account
