// dorvane.backend.http.main: the HTTP trading facade `HttpApi`.
//
// Importing the module binds, in this order, the HTTP session client, the HTTP order module's
// four functions, the six account-report classes, the product download, the contract catalogue
// class, the library's decorators, its logger `log` (refused changes and cancellations are logged)
// and the order model's `Status`; then it builds the class. The signing module is imported
// by activate_vexa when it is called.
#include "main.hpp"

namespace py = pybind11;
namespace N = dorvane_http_main::N;
using pyglue::set_attr;
namespace dm = dorvane_http_main;

namespace {

void bind_from(py::module_& m, const char* module, std::initializer_list<const pyglue::Name*> names) {
    for (const pyglue::Name* name : names) set_attr(m, *name, pyglue::import_from(module, name->text()));
}

}  // namespace

PYBIND11_MODULE(main, m) {
    pyglue::set_module(m);

    bind_from(m, "dorvane.backend.http.client", {&N::Client});
    bind_from(m, "dorvane.backend.http.order",
              {&N::place_order, &N::update_order, &N::cancel_order, &N::update_status});
    bind_from(m, "dorvane.backend.http.account",
              {&N::AccountMargin, &N::AccountOpenPosition, &N::AccountSettleProfitLoss, &N::AccountFunds,
               &N::AccountUnRealProfitLoss, &N::AccountRealProfitLoss});
    bind_from(m, "dorvane.backend.http.contract", {&N::fetch_available_product});
    bind_from(m, "dorvane.contracts", {&N::Contracts});
    bind_from(m, "dorvane.backend.utils", {&N::connection, &N::subscribe, &N::record, &N::auth});
    bind_from(m, "dorvane.utils", {&N::log});
    bind_from(m, "dorvane.order", {&N::Status});

    dm::bind_http_api(m);
}
