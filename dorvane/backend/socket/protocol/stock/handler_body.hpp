// The 24 fields of a stock order request body, computed from the keywords given to order_in.
#pragma once

#include "handler_names.hpp"

namespace handler {

// Computes the body field by field, in a fixed order. Plain fields take the keyword's value as it
// comes (the request structure checks it) or their default; coded fields look the option value up
// as an attribute name in a wire-code table of the module's `proto_ops`; price and quantity go
// through the module's `_format_price` and `_format_quantity`.
class OrderBody {
public:
    explicit OrderBody(py::dict kwargs) : kwargs_(std::move(kwargs)) {}

    py::dict build() const;

private:
    // The keyword's value, or `fallback` when the keyword is absent (None given stays None).
    py::object keyword(const char* field, py::object fallback) const;
    // Wire code of the option named by the keyword (or by the default option
    // `stock_ops.<group>.<option>` when group is given, else None) in `proto_ops.<table>`.
    py::object coded(const char* field, const char* table, const char* group,
                     const char* option) const;
    // Wire code of the side in `proto_ops.bs`: empty text when the keyword is absent; a text the
    // table lacks is refused with ValueError (it must not become an order without a side).
    py::object side() const;
    // `_format_price(keyword or 0)` / `_format_quantity(keyword or 0)`.
    py::object formatted(const char* field, const char* formatter) const;

    py::dict kwargs_;
};

}  // namespace handler
