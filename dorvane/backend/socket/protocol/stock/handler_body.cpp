#include "handler.hpp"

#include <cmath>
#include <cstdio>
#include <string>

namespace handler {

namespace price_field {

std::string format(py::handle value) {
    PyObject* number = pyglue::require(PyNumber_Float(value.ptr()));
    double price = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return text(price);
}

std::string text(double price) {
    // Refused: every price whose text would carry a minus sign (a negative zero, and a negative
    // value of any type whose float is one, included), and NaN, for which the comparison is false.
    if (std::signbit(price) || !(price <= kMax)) fail_bound();
    // "{:07.02f}": the interpreter's fixed-point text, whatever the process's locale, zero-padded
    // in front to seven characters (there is no sign here).
    std::string fixed = pyglue::fixed_text(price, 2);
    if (fixed.size() < 7) fixed.insert(0, 7 - fixed.size(), '0');
    std::string out;
    out.reserve(fixed.size());
    for (char c : fixed)
        if (c != '.') out.push_back(c);
    return out;
}

}  // namespace price_field

namespace quantity_field {

std::string format(py::handle value) {
    // int() first, for every type alike (NaN and the infinities fail there with its own errors);
    // the bound is the integer's.
    PyObject* number = pyglue::require(PyNumber_Long(value.ptr()));
    int overflow = 0;
    long long quantity = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    pyglue::checked(quantity);
    if (overflow != 0) fail_bound();
    return text(quantity);
}

std::string text(long long quantity) {
    if (quantity < 0 || quantity >= kLimit) fail_bound();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%03lld", quantity);
    return buf;
}

}  // namespace quantity_field

namespace {

const char* const kPassword = "4093817265540291";
const char* const kZeroAmount = "000000000000";

}  // namespace

py::object OrderBody::keyword(const char* field, py::object fallback) const {
    PyObject* value = PyDict_GetItemString(kwargs_.ptr(), field);  // borrowed
    if (value) return py::reinterpret_borrow<py::object>(value);
    return fallback;
}

py::object OrderBody::coded(const char* field, const pyglue::Name& table, const pyglue::Name* group,
                            const pyglue::Name* option) const {
    py::object codes = attr(global(N::proto_ops), table);
    py::object fallback = py::none();
    if (group) fallback = attr(attr(global(N::stock_ops), *group), *option);
    py::object name = keyword(field, fallback);
    // getattr(codes, name): TypeError for a name that is not text, AttributeError for a text
    // the table lacks.
    PyObject* code = pyglue::require(PyObject_GetAttr(codes.ptr(), name.ptr()));
    return py::reinterpret_steal<py::object>(code);
}

py::object OrderBody::side() const {
    py::object codes = attr(global(N::proto_ops), N::bs);
    // An omitted side is the empty text, and the empty text, given or omitted, codes to the empty
    // field when the table has no code for it; any other text the table lacks is refused.
    py::object name = keyword("ord_bs", py::str(""));
    PyObject* code = PyObject_GetAttr(codes.ptr(), name.ptr());
    if (code) return py::reinterpret_steal<py::object>(code);
    if (!PyUnicode_Check(name.ptr()) || !PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::error_already_set();
    // The failed look-up is taken out of the error indicator (no caught error stays alive across
    // the calls below) and becomes the cause of the refusal.
    py::error_already_set lookup;
    py::object cause = pyglue::fetch_exception(lookup);
    if (PyUnicode_GET_LENGTH(name.ptr()) == 0) return py::str("");
    std::string message =
        py::str("unknown order side (ord_bs) {!r}: the side table has no code for it").format(name);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(cause.ptr())), cause.ptr());
    py::raise_from(PyExc_ValueError, message.c_str());
    throw py::error_already_set();
}

py::object OrderBody::formatted(const char* field, const pyglue::Name& formatter) const {
    py::object value = keyword(field, py::int_(0));
    return global(formatter)(value);
}

py::dict OrderBody::build() const {
    py::dict body;
    body["trade_type"] = coded("trade_type", N::trade_type, nullptr, nullptr);
    body["account"] = keyword("account", py::none());
    body["password"] = py::str(kPassword);  // fixed; a password keyword is ignored
    body["stock_id"] = keyword("stock_id", py::none());
    body["ord_type"] = coded("ord_type", N::order_type, &N::order_type, &N::Common);
    body["ord_cond"] = coded("ord_cond", N::order_cond, &N::order_cond, &N::Cash);
    body["market_id"] = coded("market_id", N::market_type, nullptr, nullptr);
    body["price"] = formatted("price", N::_format_price);
    body["quantity"] = formatted("quantity", N::_format_quantity);
    body["seqno"] = keyword("seqno", py::str(""));
    body["ordno"] = keyword("ordno", py::str(""));
    body["ord_bs"] = side();
    body["price_type"] = coded("price_type", N::price_type, &N::price_type, &N::LimitPrice);
    body["total_amount"] = keyword("total_amount", py::str(kZeroAmount));
    body["is_preorder"] = keyword("is_preorder", py::str("N"));
    body["web_id"] = keyword("web_id", py::str("150"));
    body["bts_ord_flag"] = keyword("bts_ord_flag", py::str("0"));
    body["force_flag"] = keyword("force_flag", py::str("0"));
    body["async_"] = keyword("async_", py::str("1"));
    body["form_no"] = keyword("form_no", py::str(kFormNo));
    body["fun_seq"] = keyword("fun_seq", py::str(""));
    body["first_sell"] = coded("first_sell", N::first_sell, &N::first_sell, &N::No);
    body["total_buy_amount"] = keyword("total_buy_amount", py::str(kZeroAmount));
    body["total_sell_amount"] = keyword("total_sell_amount", py::str(kZeroAmount));
    return body;
}

py::tuple order_in(py::object vexa, const py::kwargs& kwargs) {
    py::object request = attr(global(N::kivo), N::KIVO_STOCK_IN);
    py::object structure = request["struct"];
    py::object code = request["kivo"];

    py::dict header;
    header["nKIVO"] = code;
    header["person_id"] = pyglue::call_method(kwargs, N::get, "person_id");

    py::dict body = OrderBody(kwargs).build();
    py::object built = pyglue::call_method(structure, N::build, body);

    // The caller's signature bytes go first, as they come; `+` refuses anything but bytes-like.
    PyObject* payload = pyglue::require(PyNumber_Add(vexa.ptr(), built.ptr()));
    return py::make_tuple(header, py::reinterpret_steal<py::object>(payload));
}

py::object order_out(py::object payload) {
    py::object structure = attr(global(N::kivo), N::KIVO_STOCK_OUT)["struct"];
    return pyglue::call_method(structure, N::parse, payload);
}

}  // namespace handler
