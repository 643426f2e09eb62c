// contract2topic: the contract classes and the quote-type constants are the quote module's
// globals, read at every call; the quote type is compared with `==`, never by identity.
#include "quote.hpp"

namespace py = pybind11;

namespace dorvane::quote {
namespace {

bool is_instance(py::handle obj, const pyglue::Name& class_name) {
    py::object cls = pyglue::global(class_name);
    return pyglue::require(PyObject_IsInstance(obj.ptr(), cls.ptr())) == 1;
}

// `a == b` as the interpreter's `if` sees it: the comparison's result under a truth test.
bool equals(py::handle a, py::handle b) {
    return pyglue::truthy(pyglue::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

[[noreturn]] void raise_plain(py::str text) {
    pyglue::raise(py::reinterpret_borrow<py::object>(PyExc_Exception)(text));
}

// The first level: `tick` for the tick type, `bidask` for the bid/ask type (tick tested first).
py::str first_level(py::handle quote_type, const char* tick, const char* bidask) {
    if (equals(quote_type, pyglue::global(N::QUOTE_TYPE_TICK))) return py::str(tick);
    if (equals(quote_type, pyglue::global(N::QUOTE_TYPE_BIDASK))) return py::str(bidask);
    raise_plain(py::str("Quote Type: {} not support.").format(quote_type));
}

}  // namespace

py::str contract2topic(py::object contract, py::object quote_type) {
    py::object symbol_code = pyglue::attr(contract, N::code);
    if (is_instance(contract, N::Future) || is_instance(contract, N::Option)) {
        py::str level = first_level(quote_type, "L", "Q");
        return py::str("{}/*/{}").format(level, symbol_code);
    }
    if (is_instance(contract, N::Stock)) {
        py::str level = first_level(quote_type, "MKT", "QUT");
        py::object exchange = pyglue::attr(contract, N::exchange);
        return py::str("{}/*/{}/{}").format(level, exchange, symbol_code);
    }
    if (is_instance(contract, N::Index)) {
        py::str level = first_level(quote_type, "I", "O");
        py::object exchange = pyglue::attr(contract, N::exchange);
        return py::str("{}/{}/{}").format(level, exchange, symbol_code);
    }
    raise_plain(py::str("Contract: {} not support.").format(contract));
}

}  // namespace dorvane::quote
