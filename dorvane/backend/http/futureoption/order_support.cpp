#include "order.hpp"

namespace fo {

py::object get(py::handle obj, const char* key, py::handle dflt) {
    return call_method(obj, N::get, py::str(key), dflt);
}

py::object get(py::handle obj, const char* key, const char* dflt) { return get(obj, key, py::str(dflt)); }

py::object first_item(py::handle obj) {
    py::object zero = py::int_(0);
    return pyglue::steal(PyObject_GetItem(obj.ptr(), zero.ptr()));
}

py::object read_datetime(py::handle date, py::handle time, const char* format) {
    py::object text = pyglue::steal(PyUnicode_Concat(date.ptr(), time.ptr()));
    if (PyUnicode_GetLength(text.ptr()) == 0) return py::none();
    return call_method(attr(global(N::dt), N::datetime), N::strptime, text, py::str(format));
}

py::object today_text() {
    return call_method(call_method(attr(global(N::dt), N::date), N::today), N::strftime, py::str("%Y%m%d"));
}

namespace {

// "module.name()" as the interpreter names a function in its call errors.
std::string function_text(py::handle fn) {
    py::object name = attr_or_none(fn, N::__qualname__.ptr());
    if (name.is_none()) name = attr_or_none(fn, N::__name__.ptr());
    if (name.is_none()) return std::string(Py_TYPE(fn.ptr())->tp_name) + " object";
    std::string text = py::str(name);
    py::object module = attr_or_none(fn, N::__module__.ptr());
    if (PyUnicode_Check(module.ptr()) && py::str(module).cast<std::string>() != "builtins")
        text = py::str(module).cast<std::string>() + "." + text;
    return text + "()";
}

}  // namespace

py::object call_with_client(py::handle fn, py::handle mapping, py::handle client) {
    // The caller's mapping is spread into a dictionary of our own: it is never changed.
    py::dict kwargs;
    if (PyDict_Update(kwargs.ptr(), mapping.ptr()) != 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        pyglue::raise(PyExc_TypeError, function_text(fn) + " argument after ** must be a mapping, not " +
                                           Py_TYPE(mapping.ptr())->tp_name);
    }
    for (auto item : kwargs) {
        if (!PyUnicode_Check(item.first.ptr())) pyglue::raise(PyExc_TypeError, "keywords must be strings");
    }
    if (kwargs.contains("client")) {
        pyglue::raise(PyExc_TypeError,
                      function_text(fn) + " got multiple values for keyword argument 'client'");
    }
    kwargs["client"] = client;
    return pyglue::steal(PyObject_Call(fn.ptr(), py::tuple().ptr(), kwargs.ptr()));
}

py::object post(py::handle client, const pyglue::Name& endpoint, const py::dict& body) {
    py::object post = attr(attr(client, N::session), N::post);
    py::object url = attr(client, endpoint);
    return post(url, py::arg("json") = body);
}

}  // namespace fo
