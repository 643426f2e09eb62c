// dorvane.backend.http.account: the six account-report classes of the HTTP side and the two
// helpers that shape the stock profit-and-loss rows.
//
// Importing the module binds the six account query functions of the futures/options and stock
// account modules as its own names; the reports look them up there at every query, so rebinding
// a name here changes what later queries call.
#include "account.hpp"

namespace py = pybind11;
namespace N = dorvane_account::N;
using pyglue::set_attr;
namespace da = dorvane_account;

PYBIND11_MODULE(account, m) {
    pyglue::set_module(m);

    for (const pyglue::Name* name :
         {&N::_query_margin, &N::_query_open_position, &N::_query_settle_profitloss})
        set_attr(m, *name, pyglue::import_from("dorvane.backend.http.futureoption.account", name->text()));
    for (const pyglue::Name* name :
         {&N::_query_funds_profitloss, &N::_query_real_profitloss, &N::_query_unreal_profitloss})
        set_attr(m, *name, pyglue::import_from("dorvane.backend.http.stock.account", name->text()));

    pyglue::def(m, "rm_dict_key", &da::rm_dict_key, py::arg("d"),
                "A new plain dict copied from `d` without the keys `args`; a key "
                "that `d` does not hold raises KeyError.");
    pyglue::def(m, "assimilate_type", &da::assimilate_type, py::arg("details"), py::pos_only(),
                "[details] when `details` is a dict, otherwise `details` "
                "itself.");

    da::bind_account_reports(m);
    da::bind_stock_profitloss_reports(m);
}
