// The stock order handler module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace handler {

namespace py = pybind11;

// The order form number that every stock order request carries ("form_no").
inline constexpr const char* kFormNo = "1561";

// ---------------------------------------------------------------------------------------------
// handler.cpp: names of the handler module that are read at each call: its own globals (the library
// modules it bound at import, and its functions, which callers may replace).

// The names the module reads at each call (its globals and their attributes), interned once.
namespace N {
inline const pyglue::Name proto_ops{"proto_ops"};
inline const pyglue::Name _format_price{"_format_price"};
inline const pyglue::Name _format_quantity{"_format_quantity"};
inline const pyglue::Name placetse{"placetse"};
inline const pyglue::Name placeotc{"placeotc"};
inline const pyglue::Name updatetse{"updatetse"};
inline const pyglue::Name updateotc{"updateotc"};
inline const pyglue::Name canceltse{"canceltse"};
inline const pyglue::Name cancelotc{"cancelotc"};
inline const pyglue::Name bs{"bs"};
inline const pyglue::Name kivo{"kivo"};
inline const pyglue::Name KIVO_STOCK_IN{"KIVO_STOCK_IN"};
inline const pyglue::Name KIVO_STOCK_OUT{"KIVO_STOCK_OUT"};
inline const pyglue::Name stock_ops{"stock_ops"};
inline const pyglue::Name action{"action"};
inline const pyglue::Name order_in{"order_in"};
inline const pyglue::Name MarketType{"MarketType"};
inline const pyglue::Name check_options{"check_options"};
inline const pyglue::Name OrderProps{"OrderProps"};
inline const pyglue::Name Stock{"Stock"};
inline const pyglue::Name first_sell{"first_sell"};
inline const pyglue::Name trade_type{"trade_type"};
inline const pyglue::Name order_type{"order_type"};
inline const pyglue::Name order_cond{"order_cond"};
inline const pyglue::Name market_type{"market_type"};
inline const pyglue::Name price_type{"price_type"};
inline const pyglue::Name Common{"Common"};
inline const pyglue::Name Cash{"Cash"};
inline const pyglue::Name LimitPrice{"LimitPrice"};
inline const pyglue::Name No{"No"};
inline const pyglue::Name Buy{"Buy"};
inline const pyglue::Name Sell{"Sell"};
inline const pyglue::Name Update_Qty{"Update_Qty"};
inline const pyglue::Name Cancel{"Cancel"};
inline const pyglue::Name TSE{"TSE"};
inline const pyglue::Name OTC{"OTC"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name build{"build"};
inline const pyglue::Name parse{"parse"};
}  // namespace N

using pyglue::attr;
using pyglue::global;

// Raises AssertionError without a message, as a failed `assert` does.
[[noreturn]] inline void fail_bound() {
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------------------------
// handler_body.cpp: the stock order request, its body and the text forms of its fields.

// Text forms of the price and quantity fields of a stock order body.

// Price: a float rendered with two decimals, zero-padded to seven characters, the point removed
// ("001250" for 12.5). Only a float without a minus sign and at most 1000000 is accepted;
// anything else (a negative zero, a value of any type whose float is negative, NaN and the
// infinities) is refused with AssertionError whatever the interpreter's -O setting, because an
// out-of-range or signed price would otherwise go to the exchange as a real order.
namespace price_field {
inline constexpr double kMax = 1000000.0;

// _format_price: float(value), bounds, text.
std::string format(py::handle value);
// The text of a price already converted to a float.
std::string text(double price);
}  // namespace price_field

// Quantity: an integer rendered zero-padded to three characters ("007"). The value is converted
// with int() first, whatever its type (a float or Decimal truncates toward zero, so -0.5 is 0);
// only 0 <= quantity < 10000 is accepted and an integer outside the range is refused with
// AssertionError whatever the interpreter's -O setting. NaN and the infinities fail in int() with
// the interpreter's ValueError and OverflowError.
namespace quantity_field {
inline constexpr long long kLimit = 10000;

// _format_quantity: int(value) (a float truncates toward zero, a text must spell an integer),
// bounds, text.
std::string format(py::handle value);
std::string text(long long quantity);
}  // namespace quantity_field

// The 24 fields of a stock order request body, computed from the keywords given to
// order_in.

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
    py::object coded(const char* field, const pyglue::Name& table, const pyglue::Name* group,
                     const pyglue::Name* option) const;
    // Wire code of the side in `proto_ops.bs`: empty text when the keyword is absent; a text the
    // table lacks is refused with ValueError (it must not become an order without a side).
    py::object side() const;
    // `_format_price(keyword or 0)` / `_format_quantity(keyword or 0)`.
    py::object formatted(const char* field, const pyglue::Name& formatter) const;

    py::dict kwargs_;
};

// A stock order request (header mapping and payload) and the reading of its reply.

// order_in: (header mapping {nKIVO, person_id}, vexa + KIVO_STOCK_IN["struct"].build(body)).
py::tuple order_in(py::object vexa, const py::kwargs& kwargs);
// order_out: KIVO_STOCK_OUT["struct"].parse(payload), unchanged.
py::object order_out(py::object payload);

// ---------------------------------------------------------------------------------------------
// handler_orders.cpp: the order-level builders (place, change quantity, cancel) of one market, and the
// dispatchers that choose the market's builder from the keyword `exchange`.

// The builder family: the same rules for both markets, only `market_id` differs: MarketType.<market>
// (`market` is the member's name, TSE or OTC), read at each call.
// placetse / placeotc; other keywords are taken and left unused.
py::object place_order(const pyglue::Name& market, py::object vexa, py::object person_id, py::object account,
                       py::object stock_id, py::object order_type, py::object order_cond, py::object price,
                       py::object quantity, py::object ord_bs, py::object price_type, py::object first_sell,
                       const py::kwargs& unused);
// updatetse / updateotc; the extra keyword `action` is the side.
py::object update_order(const pyglue::Name& market, py::object vexa, py::object person_id, py::object account,
                        py::object stock_id, py::object ordno, py::object seqno, py::object price,
                        py::object quantity, const py::kwargs& extra);
// canceltse / cancelotc; the extra keyword `action` is the side.
py::object cancel_order(const pyglue::Name& market, py::object vexa, py::object person_id, py::object account,
                        py::object stock_id, py::object ordno, py::object seqno, const py::kwargs& extra);

// placeorder / updateorder / cancelorder: check the required keywords, pick the builder of the
// exchange's market and call it with every keyword.
class Dispatcher {
public:
    Dispatcher(std::initializer_list<const char*> required, const pyglue::Name& tse, const pyglue::Name& otc)
        : required_(required), tse_(&tse), otc_(&otc) {}

    py::object operator()(py::dict kwargs) const;

private:
    std::vector<const char*> required_;
    const pyglue::Name* tse_;  // the module's builder for each market, read at each call
    const pyglue::Name* otc_;
};

}  // namespace handler
