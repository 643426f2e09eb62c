#include "handler_format.hpp"

#include <cmath>
#include <cstdio>

namespace handler {

std::string PriceField::format(py::handle value) {
    PyObject* number = PyNumber_Float(value.ptr());
    if (!number) throw py::error_already_set();
    double price = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return text(price);
}

std::string PriceField::text(double price) {
    // The comparison is false for NaN, so NaN is refused with the negatives and the infinities.
    if (!(price >= 0.0 && price <= kMax)) fail_bound();
    if (price == 0.0) price = 0.0;  // a negative zero would print a minus sign
    // "{:07.02f}": the interpreter's fixed-point text, whatever the process's locale, then zeros
    // between the sign and the digits up to seven characters.
    std::string fixed = pyglue::fixed_text(price, 2);
    std::size_t digits = !fixed.empty() && fixed[0] == '-' ? 1 : 0;
    if (fixed.size() < 7) fixed.insert(digits, 7 - fixed.size(), '0');
    std::string out;
    out.reserve(fixed.size());
    for (char c : fixed)
        if (c != '.') out.push_back(c);
    return out;
}

std::string QuantityField::format(py::handle value) {
    if (PyFloat_Check(value.ptr())) {
        double q = PyFloat_AS_DOUBLE(value.ptr());
        // NaN and the infinities are left to int(), which refuses them with its own errors.
        if (std::isfinite(q) && q < 0.0) fail_bound();
    }
    PyObject* number = PyNumber_Long(value.ptr());
    if (!number) throw py::error_already_set();
    int overflow = 0;
    long long quantity = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (quantity == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) fail_bound();
    return text(quantity);
}

std::string QuantityField::text(long long quantity) {
    if (quantity < 0 || quantity >= kLimit) fail_bound();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%03lld", quantity);
    return buf;
}

}  // namespace handler
