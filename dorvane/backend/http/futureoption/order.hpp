// The futures and option order module's internal declarations, file by file.
#pragma once

#include "../reply_convention.hpp"
#include "pyglue.hpp"

#include <string>

namespace fo {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// order_support.cpp: small pieces shared by the futures and option order functions: call-time look-ups of
// the module's globals, Python-style attribute and mapping reads, the success test of a reply, the
// date-time reading of replies, ordered JSON bodies and the post through the HTTP session client.

// The names the module reads and sets (its globals, their attributes and its objects' attributes).
namespace N {
inline const pyglue::Name get_web_id{"get_web_id"};
inline const pyglue::Name prepare_future_input{"prepare_future_input"};
inline const pyglue::Name prepare_option_input{"prepare_option_input"};
inline const pyglue::Name prepare_futopt_input{"prepare_futopt_input"};
inline const pyglue::Name foprops{"foprops"};
inline const pyglue::Name convert_order_props{"convert_order_props"};
inline const pyglue::Name _place_futopt_order{"_place_futopt_order"};
inline const pyglue::Name log{"log"};
inline const pyglue::Name debug{"debug"};
inline const pyglue::Name error{"error"};
inline const pyglue::Name FutureAccount{"FutureAccount"};
inline const pyglue::Name _query_futopt_order{"_query_futopt_order"};
inline const pyglue::Name hash_orderid{"hash_orderid"};
inline const pyglue::Name Status{"Status"};
inline const pyglue::Name PendingSubmit{"PendingSubmit"};
inline const pyglue::Name res2order{"res2order"};
inline const pyglue::Name res2orderstatus{"res2orderstatus"};
inline const pyglue::Name OrderStatus{"OrderStatus"};
inline const pyglue::Name Order{"Order"};
inline const pyglue::Name queryresp2contract{"queryresp2contract"};
inline const pyglue::Name queryresp2order{"queryresp2order"};
inline const pyglue::Name queryresp2orderstatus{"queryresp2orderstatus"};
inline const pyglue::Name Trade{"Trade"};
inline const pyglue::Name dt{"dt"};
inline const pyglue::Name datetime{"datetime"};
inline const pyglue::Name date{"date"};
inline const pyglue::Name Contract{"Contract"};
inline const pyglue::Name Future{"Future"};
inline const pyglue::Name Option{"Option"};
inline const pyglue::Name _avg_deal_price{"_avg_deal_price"};
inline const pyglue::Name _cancel_quantity{"_cancel_quantity"};
inline const pyglue::Name _deal_amount{"_deal_amount"};
inline const pyglue::Name _deal_quantity{"_deal_quantity"};
inline const pyglue::Name _modified_price{"_modified_price"};
inline const pyglue::Name _msg{"_msg"};
inline const pyglue::Name _ordno{"_ordno"};
inline const pyglue::Name _public_ip{"_public_ip"};
inline const pyglue::Name _seqno{"_seqno"};
inline const pyglue::Name _status_code{"_status_code"};
inline const pyglue::Name _token{"_token"};
inline const pyglue::Name account{"account"};
inline const pyglue::Name account_id{"account_id"};
inline const pyglue::Name accounts{"accounts"};
inline const pyglue::Name broker_id{"broker_id"};
inline const pyglue::Name calculate_remain{"calculate_remain"};
inline const pyglue::Name code{"code"};
inline const pyglue::Name content{"content"};
inline const pyglue::Name contract{"contract"};
inline const pyglue::Name fupdate_status{"fupdate_status"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name json{"json"};
inline const pyglue::Name keys{"keys"};
inline const pyglue::Name option_right{"option_right"};
inline const pyglue::Name order{"order"};
inline const pyglue::Name order_type{"order_type"};
inline const pyglue::Name ordno{"ordno"};
inline const pyglue::Name person_id{"person_id"};
inline const pyglue::Name post{"post"};
inline const pyglue::Name price_type{"price_type"};
inline const pyglue::Name security_type{"security_type"};
inline const pyglue::Name seqno{"seqno"};
inline const pyglue::Name session{"session"};
inline const pyglue::Name status{"status"};
inline const pyglue::Name strftime{"strftime"};
inline const pyglue::Name strip{"strip"};
inline const pyglue::Name strptime{"strptime"};
inline const pyglue::Name today{"today"};
inline const pyglue::Name update{"update"};
inline const pyglue::Name _cancel_futopt_order{"_cancel_futopt_order"};
inline const pyglue::Name _update_futopt_order_price{"_update_futopt_order_price"};
inline const pyglue::Name _update_futopt_order_qty{"_update_futopt_order_qty"};
inline const pyglue::Name f_order_cancel_uri{"f_order_cancel_uri"};
inline const pyglue::Name f_order_chprice_uri{"f_order_chprice_uri"};
inline const pyglue::Name f_order_chqty_uri{"f_order_chqty_uri"};
inline const pyglue::Name f_order_uri{"f_order_uri"};
inline const pyglue::Name f_query_order_uri{"f_query_order_uri"};
inline const pyglue::Name action{"action"};
inline const pyglue::Name Failed{"Failed"};
inline const pyglue::Name __qualname__{"__qualname__"};
inline const pyglue::Name __name__{"__name__"};
inline const pyglue::Name __module__{"__module__"};
}  // namespace N

using pyglue::call_method;
using pyglue::set_attr;

using pyglue::attr;
using pyglue::global;

// getattr(obj, name, None): only a missing attribute (AttributeError) becomes None.
using dorvane_http::attr_or_none;
// `value == text`, with the interpreter's errors.
using dorvane_http::text_equals;

// obj.get(key, default), through the object's own `get` (an object without one fails with
// AttributeError).
py::object get(py::handle obj, const char* key, py::handle dflt);
py::object get(py::handle obj, const char* key, const char* dflt);

// The interpreter's truth test (a py::object's own bool only tells whether it holds a pointer).
using pyglue::truthy;

// obj[0]: the product type is the first item of a `security_type` (IndexError when empty).
py::object first_item(py::handle obj);

// Whether a reply reports success (the back end's reply convention).
inline bool reply_success(py::handle reply) { return dorvane_http::reply_succeeded(reply); }

// The date-time formats of the replies: a placing reply's "ord_date" + "ord_time", and an order-query
// row's "st_orddt" + "st_ordtm".
inline constexpr const char* kPlacedFormat = "%Y%m%d%H:%M:%S";
inline constexpr const char* kQueryFormat = "%Y%m%d%H%M%S";

// The two texts joined; None when the joined text is empty, else `dt.datetime.strptime(joined,
// format)` (ValueError for a text that does not match). Non-text parts fail with TypeError.
py::object read_datetime(py::handle date, py::handle time, const char* format);

// Today's local date as "%Y%m%d", through the module's `dt`.
py::object today_text();

// `fn(**mapping, client=client)`: a keyword argument given twice fails with TypeError as the
// interpreter's call would, before anything is called; `mapping` is left unchanged.
py::object call_with_client(py::handle fn, py::handle mapping, py::handle client);

// A JSON request body whose keys keep the order in which they are entered.
class Body {
public:
    Body& add(const char* key, py::handle value) {
        dict_[py::str(key)] = py::reinterpret_borrow<py::object>(value);
        return *this;
    }
    Body& add(const char* key, const char* text) { return add(key, py::str(text)); }
    py::dict dict() const { return dict_; }

private:
    py::dict dict_;
};

// client.session.post(client.<endpoint>, json=body): the response as the session gives it.
py::object post(py::handle client, const pyglue::Name& endpoint, const py::dict& body);

// ---------------------------------------------------------------------------------------------
// order_reply.cpp: turning the replies of the futures and option order endpoints into the trading model's
// objects: a placing reply gives the placed order its numbers, an order status and the success flag; an
// order-query row gives a contract, an order and an order status, or refreshes a kept trade.

// Placing reply.
py::tuple futopt_resp2order_status(py::handle resp, py::handle order);
py::object res2order(py::handle resp_result, py::handle order);
py::object res2orderstatus(py::handle resp_result, py::handle successed);

// Order-query row.
py::object queryresp2contract(py::handle resp);
py::object queryresp2order(py::handle resp);
py::object queryresp2orderstatus(py::handle resp);
py::object resp2trade(py::handle resp, py::handle trade);

// ---------------------------------------------------------------------------------------------
// order_place.cpp: placing a futures or option order: the order's option values become the server's
// request codes through the option table `foprops`, the placing input is gathered from the order, the
// contract and the caller's signature text, and one JSON order body goes to the client's `f_order_uri`.

// How a prepare variant fills `opt_type`.
enum class OptType {
    Blank,         // always " ": a future
    OptionRight,   // the contract's `option_right`, unchanged
    RightOrBlank,  // the contract's `option_right` when it is true, else " "
};

extern const char* const kPlaceDoc;  // documentation of the request codes

// convert_order_props: field name -> request code, for every field that the table lists and the
// order holds.
py::dict convert_order_props(py::handle order);

// prepare_future_input / prepare_option_input / prepare_futopt_input, by `variant`: the order's
// fields, then their request codes, then the contract's code, product type and option type, then
// `vexa_content`.
py::dict prepare_input(OptType variant, py::handle contract, py::handle order, py::handle vexa_content);

// place_future_order / place_option_order / place_futopt_order: prepare with the module function
// `prepare`, then `_place_futopt_order(**input, client=client)`.
py::object place(const pyglue::Name& prepare, py::handle contract, py::handle order, py::handle vexa_content,
                 py::handle client);

// _place_futopt_order: builds the 18-key order body and posts it; returns the decoded reply, unread.
// Other keywords of the placing input are taken and left unused.
py::object send_order(py::handle product_id, py::handle product_type, py::handle opt_type, py::handle price,
                      py::handle price_type, py::handle action, py::handle order_type, py::handle octype,
                      py::handle quantity, py::handle account, py::handle vexa_content, py::handle client,
                      const py::kwargs& unused);

// ---------------------------------------------------------------------------------------------
// order_change.cpp: changing the price or the quantity of a placed futures or option order, and cancelling
// it. The public functions gather the request fields from the trade's contract and order and call the
// private senders by keyword; each sender builds its JSON body, posts it to its endpoint of the HTTP
// session client and returns the decoded reply unread. The senders take other keywords and leave
// them unused.

py::object cancel_futopt_order(py::handle trade, py::handle vexa_content, py::handle client);
py::object update_futopt_order_price(py::handle trade, py::handle vexa_content, py::handle client,
                                     py::handle price);
py::object update_futopt_order_qty(py::handle trade, py::handle vexa_content, py::handle client,
                                   py::handle qty);

// _cancel_futopt_order / _update_futopt_order_price / _update_futopt_order_qty
py::object send_cancel(py::handle product_id, py::handle ordno, py::handle seqno, py::handle vexa_content,
                       py::handle account, py::handle client, const py::kwargs& unused);
py::object send_price(py::handle product_id, py::handle product_type, py::handle price, py::handle price_type,
                      py::handle ord_type, py::handle ordno, py::handle seqno, py::handle vexa_content,
                      py::handle account, py::handle client, const py::kwargs& unused);
py::object send_qty(py::handle product_id, py::handle product_type, py::handle qty, py::handle ordno,
                    py::handle seqno, py::handle vexa_content, py::handle account, py::handle client,
                    const py::kwargs& unused);

// ---------------------------------------------------------------------------------------------
// order_query.cpp: the futures and option order query: one request per account, and the rows of every
// futures account of the HTTP session client gathered by order id.

// _query_futopt_order: posts one order query; a false date stands for today.
py::object send_query(py::handle action, py::handle account, py::handle client, py::handle start_date,
                      py::handle end_date);

// query_futopt_order: order id -> row, over the client's futures accounts, for today.
py::dict query_futopt_order(py::handle client);

}  // namespace fo
