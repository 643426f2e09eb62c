// The HTTP facade module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane_http_main {

namespace py = pybind11;

// The HTTP facade HttpApi: one HTTP session client handed to every operation, the contract
// catalogue of the latest login, and the book of the trades it placed. The facade's methods read
// the module's imported names (Client, fetch_available_product, Contracts, the order functions,
// the report classes, the library's `log` and the order model's `Status`) at each call, so
// rebinding them in the module changes what later calls use.

// ---------------------------------------------------------------------------------------------
// main.cpp: the module.

// The names the module reads and sets (its globals, their attributes and its objects' attributes).
namespace N {
inline const pyglue::Name place_order{"place_order"};
inline const pyglue::Name update_order{"update_order"};
inline const pyglue::Name cancel_order{"cancel_order"};
inline const pyglue::Name update_status{"update_status"};
inline const pyglue::Name AccountMargin{"AccountMargin"};
inline const pyglue::Name AccountOpenPosition{"AccountOpenPosition"};
inline const pyglue::Name AccountSettleProfitLoss{"AccountSettleProfitLoss"};
inline const pyglue::Name AccountFunds{"AccountFunds"};
inline const pyglue::Name AccountUnRealProfitLoss{"AccountUnRealProfitLoss"};
inline const pyglue::Name AccountRealProfitLoss{"AccountRealProfitLoss"};
inline const pyglue::Name connection{"connection"};
inline const pyglue::Name fetch_available_product{"fetch_available_product"};
inline const pyglue::Name Client{"Client"};
inline const pyglue::Name Contracts{"Contracts"};
inline const pyglue::Name HttpApi{"HttpApi"};
inline const pyglue::Name __doc__{"__doc__"};
inline const pyglue::Name _trades{"_trades"};
inline const pyglue::Name accounts{"accounts"};
inline const pyglue::Name activated_vexa{"activated_vexa"};
inline const pyglue::Name client{"client"};
inline const pyglue::Name init_vexa{"init_vexa"};
inline const pyglue::Name login{"login"};
inline const pyglue::Name order{"order"};
inline const pyglue::Name order_id{"order_id"};
inline const pyglue::Name ordno{"ordno"};
inline const pyglue::Name status{"status"};
inline const pyglue::Name trades{"trades"};
inline const pyglue::Name values{"values"};
inline const pyglue::Name subscribe{"subscribe"};
inline const pyglue::Name record{"record"};
inline const pyglue::Name auth{"auth"};
inline const pyglue::Name log{"log"};
inline const pyglue::Name error{"error"};
inline const pyglue::Name Status{"Status"};
inline const pyglue::Name Failed{"Failed"};
inline const pyglue::Name _msg{"_msg"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

using pyglue::global;

// ---------------------------------------------------------------------------------------------
// main_session.cpp: session and catalogue.

void init(py::object self, py::object simulation, py::object proxies);
py::list trades(py::object self);
py::object login(py::object self, py::object person_id, py::object passwd);
py::object activate_vexa(py::object self, py::object vexa_path, py::object vexa_passwd, py::object person_id);
py::object list_accounts(py::object self);
py::dict fetch_products(py::object self);

// ---------------------------------------------------------------------------------------------
// main_facade.cpp: the class, its account reports, its orders and the trade book.

// Account reports.
py::object get_account_margin(py::object self, py::object currency, py::object margin_type,
                              py::object account);
py::object get_account_openposition(py::object self, py::object product_type, py::object query_type,
                                    py::object account);
py::object get_account_settle_profitloss(py::object self, py::object product_type, py::object summary,
                                         py::object start_date, py::object end_date, py::object currency,
                                         py::object account);
py::object get_stock_account_funds(py::object self, py::object include_tax, py::object account);
py::object get_stock_account_unreal_profitloss(py::object self, py::object stock_type, py::object currency,
                                               py::object filter_rule, py::object account);
py::object get_stock_account_real_profitloss(py::object self, py::object stock_type, py::object start_date,
                                             py::object end_date, py::object currency, py::object filter_rule,
                                             py::object account);

// Orders and the trade book.
py::object place_order(py::object self, py::object contract, py::object order);
py::object update_order(py::object self, py::object trade, py::object price, py::object qty);
py::object cancel_order(py::object self, py::object trade);
void update_status(py::object self);

// Builds HttpApi in `m`, applies the decorators and binds what `connection` returns.
void bind_http_api(py::module_& m);

}  // namespace dorvane_http_main
