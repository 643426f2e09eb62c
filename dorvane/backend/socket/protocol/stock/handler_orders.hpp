// The order-level builders (place, change quantity, cancel) of one market, and the dispatchers
// that choose the market's builder from the keyword `exchange`.
#pragma once

#include <initializer_list>
#include <vector>

#include "handler_names.hpp"

namespace handler {

// One member of the builder family: the same rules for both markets, only `market_id` differs
// (MarketType.<market>, read at each call).
class OrderBuilder {
public:
    explicit OrderBuilder(const char* market) : market_(market) {}

    py::object place(py::object vexa, py::object person_id, py::object account,
                     py::object stock_id, py::object order_type, py::object order_cond,
                     py::object price, py::object quantity, py::object ord_bs,
                     py::object price_type, py::object first_sell) const;
    py::object update(py::object vexa, py::object person_id, py::object account,
                      py::object stock_id, py::object ordno, py::object seqno, py::object price,
                      py::object quantity, py::dict extra) const;
    py::object cancel(py::object vexa, py::object person_id, py::object account,
                      py::object stock_id, py::object ordno, py::object seqno,
                      py::dict extra) const;

private:
    py::object market_id() const;

    const char* market_;
};

// placeorder / updateorder / cancelorder: check the required keywords, pick the builder of the
// exchange's market and call it with every keyword.
class Dispatcher {
public:
    Dispatcher(std::initializer_list<const char*> required, const char* tse, const char* otc)
        : required_(required), tse_(tse), otc_(otc) {}

    py::object operator()(py::dict kwargs) const;

private:
    std::vector<const char*> required_;
    const char* tse_;
    const char* otc_;
};

}  // namespace handler
