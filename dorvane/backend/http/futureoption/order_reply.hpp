// Turning the replies of the futures and option order endpoints into the trading model's objects:
// a placing reply gives the placed order its numbers, an order status and the success flag; an
// order-query row gives a contract, an order and an order status, or refreshes a kept trade.
#pragma once

#include "order_support.hpp"

namespace fo {

class ReplyParser {
public:
    // Placing reply.
    static py::tuple futopt_resp2order_status(py::handle resp, py::handle order);
    static py::object res2order(py::handle resp_result, py::handle order);
    static py::object res2orderstatus(py::handle resp_result, py::handle successed);

    // Order-query row.
    static py::object queryresp2contract(py::handle resp);
    static py::object queryresp2order(py::handle resp);
    static py::object queryresp2orderstatus(py::handle resp);
    static py::object resp2trade(py::handle resp, py::handle trade);
};

}  // namespace fo
