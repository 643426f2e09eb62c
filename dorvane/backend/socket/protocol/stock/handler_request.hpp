// A stock order request (header mapping and payload) and the reading of its reply.
#pragma once

#include "handler_names.hpp"

namespace handler {

class StockRequest {
public:
    // (header mapping {nKIVO, person_id}, vexa + KIVO_STOCK_IN["struct"].build(body)).
    static py::tuple order_in(py::object vexa, py::dict kwargs);
    // KIVO_STOCK_OUT["struct"].parse(payload), unchanged.
    static py::object order_out(py::object payload);
};

}  // namespace handler
