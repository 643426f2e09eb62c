// The frame that every account report shares: the constructor stores its arguments as underscore
// attributes and queries at once; `update` runs the query again through the module-level query
// function and keeps the outcome in `_status`, `_msg` (and `_accountid`) and `_data`; `data()`
// hands back `_data`; `__repr__` gives the report's text form.
#pragma once

#include "pyglue.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace dorvane_account {

namespace py = pybind11;

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
    const char* query;                    // module-level name of the query function
    std::vector<const char*> query_args;  // stored attributes passed by position; nullptr: ""
    Payload payload;
    TextForm text;
    bool account_id;                      // keeps "{broker_id}{account_id}" as `_accountid`
    const char* sums = nullptr;
    const char* sum = nullptr;
    const char* detail_key = nullptr;
};

// Sets the attributes on `self` in the order given.
void store(py::handle self, std::initializer_list<std::pair<const char*, py::handle>> attrs);

// Calls `self.update()` through attribute look-up, so a subclass's update takes its place.
void query_now(py::handle self);

void update_report(py::handle self, const ReportKind& kind);

py::str text_form(py::handle self, const ReportKind& kind);

// Builds the report class `kind.name` in `m` with the constructor `init` (which stores its
// arguments and calls query_now) and the frame's methods update, data and __repr__.
template <class Init, class... Extra>
py::object bind_report(py::module_& m, const ReportKind& kind, Init&& init, const Extra&... extra) {
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    pyglue::PlainClass cls(m, kind.name, py::tuple(), type, kind.doc);
    const ReportKind* k = &kind;
    cls.def("__init__", std::forward<Init>(init), extra...);
    cls.def("update", [k](py::object self) { update_report(self, *k); },
            "Query again with the stored parameters and replace the outcome.");
    cls.def("data", [](py::object self) { return self.attr("_data"); },
            "The payload of the last query.");
    cls.def("__repr__", [k](py::object self) { return text_form(self, *k); });
    return cls.cls();
}

}  // namespace dorvane_account
