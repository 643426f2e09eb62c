#include "account_split.hpp"

#include "account_reply.hpp"

#include <utility>

namespace dorvane_account {

namespace {

bool holds(py::handle row, py::handle key) {
    int r = PySequence_Contains(row.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `name, details = pair`, with the interpreter's unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    PyObject* it = PyObject_GetIter(pair.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            pyglue::raise(PyExc_TypeError, std::string("cannot unpack non-iterable ") +
                                               Py_TYPE(pair.ptr())->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            pyglue::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                                std::to_string(i) + ")");
        }
        parts[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        pyglue::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(parts[0]), std::move(parts[1])};
}

py::object module_function(const char* name) { return pyglue::ThisModule::get().global(name); }

}  // namespace

py::dict rm_dict_key(py::handle d, py::args keys) {
    py::dict copy = plain_copy(d);
    for (py::handle key : keys) {
        if (PyObject_DelItem(copy.ptr(), key.ptr()) < 0) throw py::error_already_set();
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
        if (holds(row, key)) summary.append(module_function("rm_dict_key")(row, key));
    }

    py::list detail;
    for (py::handle item : rows) {
        py::object row = py::reinterpret_borrow<py::object>(item);
        if (!holds(row, key)) continue;
        py::object named = row[key];
        for (py::handle pair : named.attr("items")()) {
            py::object details = unpack_pair(pair).second;
            for (py::handle one : module_function("assimilate_type")(details)) detail.append(one);
        }
    }

    py::dict data;
    data["summary"] = summary;
    data["detail"] = detail;
    return data;
}

}  // namespace dorvane_account
