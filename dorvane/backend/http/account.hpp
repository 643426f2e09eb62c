// The account-report module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"
#include "reply_convention.hpp"

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

namespace dorvane_account {

namespace py = pybind11;

// The names the module reads and sets: its own functions and query functions, called as they are
// bound now, and the attributes of its objects.
namespace N {
inline const pyglue::Name rm_dict_key{"rm_dict_key"};
inline const pyglue::Name assimilate_type{"assimilate_type"};
inline const pyglue::Name __name__{"__name__"};
inline const pyglue::Name _account{"_account"};
inline const pyglue::Name _accountid{"_accountid"};
inline const pyglue::Name _data{"_data"};
inline const pyglue::Name _msg{"_msg"};
inline const pyglue::Name _status{"_status"};
inline const pyglue::Name format_map{"format_map"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name items{"items"};
inline const pyglue::Name update{"update"};
inline const pyglue::Name _action{"_action"};
inline const pyglue::Name _client{"_client"};
inline const pyglue::Name _currency{"_currency"};
inline const pyglue::Name _end_date{"_end_date"};
inline const pyglue::Name _margin_type{"_margin_type"};
inline const pyglue::Name _product_type{"_product_type"};
inline const pyglue::Name _query_funds_profitloss{"_query_funds_profitloss"};
inline const pyglue::Name _query_margin{"_query_margin"};
inline const pyglue::Name _query_open_position{"_query_open_position"};
inline const pyglue::Name _query_real_profitloss{"_query_real_profitloss"};
inline const pyglue::Name _query_settle_profitloss{"_query_settle_profitloss"};
inline const pyglue::Name _query_type{"_query_type"};
inline const pyglue::Name _query_unreal_profitloss{"_query_unreal_profitloss"};
inline const pyglue::Name _start_date{"_start_date"};
inline const pyglue::Name _stock_type{"_stock_type"};
inline const pyglue::Name _summary{"_summary"};
inline const pyglue::Name _tax{"_tax"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

// ---------------------------------------------------------------------------------------------
// account_split.cpp: the shaping of the stock profit-and-loss rows: summary rows without their detail
// entry, and the flat list of detail rows under it.

// rm_dict_key(d, *keys): a plain copy of `d` without `keys`; a missing key raises KeyError.
py::dict rm_dict_key(py::handle d, py::args keys);

// assimilate_type(details): [details] for a dict (or dict subclass), `details` itself otherwise.
py::object assimilate_type(py::object details);

// {"summary": [...], "detail": [...]} from the reply rows and their detail key. Uses the module's
// rm_dict_key and assimilate_type as they are bound when it runs.
py::dict split_rows(py::handle rows, const char* detail_key);

// ---------------------------------------------------------------------------------------------
// account_report.cpp: reading a reply of the HTTP back end: a mapping whose "success" text says whether the
// request succeeded (any letter case of "true"), whose "result" mapping carries the payload and the
// server's message under "msg".

// `mapping.get(key, fallback)`, called through Python so that any mapping-like reply works and a
// reply without `get` fails with the interpreter's attribute error.
py::object get(py::handle mapping, const char* key, py::object fallback);

class Reply {
public:
    explicit Reply(py::object reply) : reply_(std::move(reply)) {}

    // reply.get("success", "").lower() == "true"; a "success" that is not text raises.
    bool succeeded() const;
    // reply.get("result", {}), looked up afresh (with a new default) at each call.
    py::object result() const;
    // result().get("msg", "").
    py::object message() const;

private:
    py::object reply_;
};

// A new plain dict made from `value`, as `dict(value)` makes it.
using dorvane_http::plain_copy;

// The frame that every account report shares: the constructor stores its arguments as underscore
// attributes and queries at once; `update` runs the query again through the module-level query
// function and keeps the outcome in `_status`, `_msg` (and `_accountid`) and `_data`; `data()`
// hands back `_data`; `__repr__` gives the report's text form.

// Where a report finds its `_data` inside the reply's "result".
enum class Payload {
    Body,       // "body", default {}
    BodyRows,   // "body", default [{}]
    ProfitSum,  // "profit_sums" then "profit_sum", default []
    Split,      // `sums` then `sum` (default []), split by `detail_key` into summary and detail
};

// The report's text form.
enum class TextForm {
    NameAccount,      // "{}({})": class name and account
    NameOnly,         // "{}": class name
    NameLineAccount,  // "{}\n{}": class name, a line break, account
};

struct ReportKind {
    const char* name;
    const char* doc;
    const pyglue::Name& query;                    // module-level name of the query function
    std::vector<const pyglue::Name*> query_args;  // stored attributes passed by position; nullptr: ""
    Payload payload;
    TextForm text;
    bool account_id;  // keeps "{broker_id}{account_id}" as `_accountid`
    const char* sums = nullptr;
    const char* sum = nullptr;
    const char* detail_key = nullptr;
};

// Sets the attributes on `self` in the order given.
void store(py::handle self, std::initializer_list<std::pair<const pyglue::Name*, py::handle>> attrs);

// Calls `self.update()` through attribute look-up, so a subclass's update takes its place.
void query_now(py::handle self);

void update_report(const ReportKind& kind, py::handle self);

py::str text_form(const ReportKind& kind, py::handle self);

// Builds the report class `kind.name` in `m` with the constructor `init` (which stores its
// arguments and calls query_now) and the frame's methods update, data and __repr__.
template <class Init, class... Extra>
py::object bind_report(py::module_& m, const ReportKind& kind, Init&& init, const Extra&... extra) {
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    pyglue::PlainClass cls(m, kind.name, py::tuple(), type, kind.doc);
    cls.def("__init__", std::forward<Init>(init), extra...);
    cls.def("update", pyglue::capture(&update_report, std::cref(kind)),
            "Query again with the stored parameters and replace the outcome.");
    cls.def(
        "data", [](py::object self) { return attr(self, N::_data); }, "The payload of the last query.");
    cls.def("__repr__", pyglue::capture(&text_form, std::cref(kind)));
    return cls.cls();
}

// ---------------------------------------------------------------------------------------------
// account_classes.cpp: the six account-report classes of the HTTP side.

// AccountMargin, AccountOpenPosition, AccountSettleProfitLoss, AccountFunds.
void bind_account_reports(pybind11::module_& m);

// AccountRealProfitLoss, AccountUnRealProfitLoss.
void bind_stock_profitloss_reports(pybind11::module_& m);

}  // namespace dorvane_account
