// The six account-report classes of the HTTP side.
#pragma once

#include "pyglue.hpp"

namespace dorvane_account {

// AccountMargin, AccountOpenPosition, AccountSettleProfitLoss, AccountFunds.
void bind_account_reports(pybind11::module_& m);

// AccountRealProfitLoss, AccountUnRealProfitLoss.
void bind_stock_profitloss_reports(pybind11::module_& m);

}  // namespace dorvane_account
