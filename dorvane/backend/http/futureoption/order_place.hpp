// Placing a futures or option order: the order's option values become the server's request codes
// through the option table `foprops`, the placing input is gathered from the order, the contract
// and the caller's signature text, and one JSON order body goes to the client's `f_order_uri`.
#pragma once

#include "order_support.hpp"

namespace fo {

class OrderPlacing {
public:
    // How a prepare variant fills `opt_type`.
    enum class OptType {
        Blank,         // always " ": a future
        OptionRight,   // the contract's `option_right`, unchanged
        RightOrBlank,  // the contract's `option_right` when it is true, else " "
    };

    static const char* const kDoc;  // documentation of the request codes

    // field name -> request code, for every field that the table lists and the order holds.
    static py::dict convert_order_props(py::handle order);

    // The placing input: the order's fields, then their request codes, then the contract's code,
    // product type and option type, then `vexa_content`.
    static py::dict prepare_input(OptType variant, py::handle contract, py::handle order,
                                  py::handle vexa_content);

    // prepare with the module function `prepare_name`, then `_place_futopt_order(**input, client=)`.
    static py::object place(const char* prepare_name, py::handle contract, py::handle order,
                            py::handle vexa_content, py::handle client);

    struct Request {
        py::object product_id, product_type, opt_type, price, price_type, action, order_type, octype,
            quantity, account, vexa_content, client;
    };
    // Builds the 18-key order body and posts it; returns the decoded reply, unread.
    static py::object send(const Request& r);
};

}  // namespace fo
