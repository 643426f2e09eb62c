// dorvane.backend.http.main: the HTTP trading facade `HttpApi`.
//
// Importing the module binds, in this order, the HTTP session client, the HTTP order module's
// four functions, the six account-report classes, the product download, the contract catalogue
// class and the library's decorators; then it builds the class. The signing module is imported
// by activate_vexa when it is called.
#include "main.hpp"

namespace py = pybind11;
namespace dm = dorvane_http_main;

namespace {

void bind_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    for (const char* name : names) m.attr(name) = pyglue::import_from(module, name);
}

}  // namespace

PYBIND11_MODULE(main, m) {
    py::options options;
    options.disable_function_signatures();
    pyglue::set_module(m);

    bind_from(m, "dorvane.backend.http.client", {"Client"});
    bind_from(m, "dorvane.backend.http.order",
              {"place_order", "update_order", "cancel_order", "update_status"});
    bind_from(m, "dorvane.backend.http.account",
              {"AccountMargin", "AccountOpenPosition", "AccountSettleProfitLoss", "AccountFunds",
               "AccountUnRealProfitLoss", "AccountRealProfitLoss"});
    bind_from(m, "dorvane.backend.http.contract", {"fetch_available_product"});
    bind_from(m, "dorvane.contracts", {"Contracts"});
    bind_from(m, "dorvane.backend.utils", {"connection", "subscribe", "record", "auth"});

    dm::bind_http_api(m);
}
