// Text forms of the price and quantity fields of a stock order body.
#pragma once

#include <string>

#include "handler_names.hpp"

namespace handler {

// Price: a float rendered with two decimals, zero-padded to seven characters, the point removed
// ("001250" for 12.5). Only 0 <= price <= 1000000 is accepted; anything else, NaN and the
// infinities included, is refused with AssertionError whatever the interpreter's -O setting,
// because an out-of-range or negative price would otherwise go to the exchange as a real order.
class PriceField {
public:
    static constexpr double kMax = 1000000.0;

    // float(value), bounds, text.
    static std::string format(py::handle value);
    // The text of a price already converted to a float.
    static std::string text(double price);
};

// Quantity: an integer rendered zero-padded to three characters ("007"). Only 0 <= quantity < 10000
// is accepted; a negative float, or an integer outside the range, is refused with
// AssertionError whatever the interpreter's -O setting. NaN and the infinities fail in int() with
// the interpreter's ValueError and OverflowError.
class QuantityField {
public:
    static constexpr long long kLimit = 10000;

    // int(value) (a float truncates toward zero, a text must spell an integer), bounds, text.
    static std::string format(py::handle value);
    static std::string text(long long quantity);
};

}  // namespace handler
