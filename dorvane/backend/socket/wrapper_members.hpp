// The facade's certificate, account and order members: _get_orderId, list_accounts, the order
// methods and their callbacks, update_status / update_statusAsync, the account-report methods and
// activate_vexa.
#pragma once

#include "pyglue.hpp"

namespace dorvane_wrapper {

namespace py = pybind11;

// Adds the members to the class being built by `cls` in the class's order: _get_orderId, list_accounts,
// place_order, update_order, cancel_order (each passed to `record`, then `auth`), _on_placeorder,
// _on_updateorder, _on_cancelorder, update_status, update_statusAsync (passed to `elide`),
// get_account_margin, get_account_openposition, get_account_settle_profitloss, activate_vexa.
// The decorators are the module's globals as they stand when the class is built.
void bind_members(py::module_& m, pyglue::PlainClass& cls);

}  // namespace dorvane_wrapper
