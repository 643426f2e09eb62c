// The futures and option order query: one request per account, and the rows of every futures
// account of the HTTP session client gathered by order id.
#pragma once

#include "order_support.hpp"

namespace fo {

class OrderQuery {
public:
    // _query_futopt_order: posts one order query; a false date stands for today.
    static py::object query(py::handle action, py::handle account, py::handle client,
                            py::handle start_date, py::handle end_date);

    // query_futopt_order: order id -> row, over the client's futures accounts, for today.
    static py::dict query_all(py::handle client);
};

}  // namespace fo
