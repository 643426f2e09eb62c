// What the HTTP back end's modules share: the reply convention (a reply succeeded when its
// "success" text equals "true" ignoring case) and the small Python semantics their code reads
// replies and arguments with.
#pragma once

#include "pyglue.hpp"

namespace dorvane_http {

namespace py = pybind11;

// The names these helpers read, shared by every HTTP module.
namespace reply_names {
inline const pyglue::Name get{"get"};
inline const pyglue::Name lower{"lower"};
inline const pyglue::Name json{"json"};
inline const pyglue::Name status_code{"status_code"};
inline const pyglue::Name reason{"reason"};
inline const pyglue::Name url{"url"};
inline const pyglue::Name content{"content"};
inline const pyglue::Name add_note{"add_note"};
}  // namespace reply_names

// `value == text`, with the interpreter's errors.
inline bool text_equals(py::handle value, const char* text) {
    int equal = pyglue::require(PyObject_RichCompareBool(value.ptr(), py::str(text).ptr(), Py_EQ));
    return equal == 1;
}

// reply.get("success", "").lower() == "true", with the interpreter's errors.
inline bool reply_succeeded(py::handle reply) {
    namespace R = reply_names;
    return text_equals(pyglue::call_method(pyglue::call_method(reply, R::get, "success", ""), R::lower),
                       "true");
}

// The bytes of a reply body shown in a note: its start, so an error page stays readable and a huge
// body does not fill the traceback.
constexpr Py_ssize_t kShownBodyBytes = 200;

// response.json(), the decoded reply of the HTTP session. A body that is not JSON (the error page
// of a proxy or of a back end in trouble) fails with the session's own decoding error, whose text
// ("Expecting value: line 1 column 1 (char 0)") tells nothing of what came back: the same error
// goes on, its type, text and cause unchanged, with a note naming the HTTP status, the URL and the
// start of the body.
inline py::object reply_json(py::handle response) {
    namespace R = reply_names;
    try {
        return pyglue::call_method(response, R::json);
    } catch (py::error_already_set& e) {
        py::object exc = pyglue::keep_exception(e);
        if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_ValueError)) {
            try {
                py::object status = pyglue::attr_or(response, R::status_code, py::none());
                py::object reason = pyglue::attr_or(response, R::reason, py::none());
                py::object url = pyglue::attr_or(response, R::url, py::none());
                py::object body = pyglue::attr_or(response, R::content, py::none());
                if (PyBytes_Check(body.ptr()))
                    body = pyglue::steal(PySequence_GetSlice(body.ptr(), 0, kShownBodyBytes));
                py::str note = py::str("HTTP {} {} from {}: the body is not JSON: {!r}")
                                   .format(status, reason, url, body);
                pyglue::call_method(exc, R::add_note, note);
            } catch (py::error_already_set& unnoted) {
                // What fails while the note is made goes on with the decoding error as its
                // context, as it would from an `except` clause: the reason is not lost.
                py::object failure = pyglue::fetch_exception(unnoted);
                if (failure.ptr() != exc.ptr()) PyException_SetContext(failure.ptr(), exc.release().ptr());
                pyglue::raise(failure);
            }
        }
        pyglue::raise(exc);
    }
}

// getattr(obj, name, None): only a missing attribute (AttributeError) becomes None; any other
// error of the look-up propagates.
inline py::object attr_or_none(py::handle obj, py::handle name) {
    return pyglue::attr_or(obj, name.ptr(), py::none());
}

// A new plain dict made from `value` as `dict(value)` makes it: a dict is copied shallowly,
// anything else goes through the dict constructor (a mapping or an iterable of pairs). None is
// refused with the text the interpreter gives for `**None`.
inline py::dict plain_copy(py::handle value) {
    if (value.is_none()) pyglue::raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    PyObject* copy =
        pyglue::require(PyDict_CheckExact(value.ptr())
                            ? PyDict_Copy(value.ptr())
                            : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr()));
    return py::reinterpret_steal<py::dict>(copy);
}

}  // namespace dorvane_http
