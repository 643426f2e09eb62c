#include "account.hpp"

#include <utility>

namespace dorvane_account {

namespace {

bool holds(py::handle row, py::handle key) {
    return pyglue::require(PySequence_Contains(row.ptr(), key.ptr())) == 1;
}

}  // namespace

py::dict rm_dict_key(py::handle d, py::args keys) {
    py::dict copy = plain_copy(d);
    for (py::handle key : keys) {
        pyglue::require(PyObject_DelItem(copy.ptr(), key.ptr()));
    }
    return copy;
}

py::object assimilate_type(py::object details) {
    if (PyDict_Check(details.ptr())) {
        py::list wrapped;
        wrapped.append(details);
        return std::move(wrapped);
    }
    return details;
}

py::dict split_rows(py::handle rows, const char* detail_key) {
    py::str key(detail_key);

    py::list summary;
    for (py::handle item : rows) {
        py::object row = py::reinterpret_borrow<py::object>(item);
        if (holds(row, key)) summary.append(pyglue::global(N::rm_dict_key)(row, key));
    }

    py::list detail;
    for (py::handle item : rows) {
        py::object row = py::reinterpret_borrow<py::object>(item);
        if (!holds(row, key)) continue;
        py::object named = row[key];
        for (py::handle pair : call_method(named, N::items)) {
            py::object details = pyglue::unpack2(pair).second;
            for (py::handle one : pyglue::global(N::assimilate_type)(details)) detail.append(one);
        }
    }

    py::dict data;
    data["summary"] = summary;
    data["detail"] = detail;
    return data;
}

}  // namespace dorvane_account
