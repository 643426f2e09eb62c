// The quote module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane::quote {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// quote_topic.cpp: topic names of the quote-messaging service, made from a contract and a quote type.

// The names the module reads and sets: its globals, read at each call (the contract classes by
// their class names), and the attributes of the Quote and of the messaging binding; interned once.
namespace N {
inline const pyglue::Name QUOTE_TYPE_TICK{"QUOTE_TYPE_TICK"};
inline const pyglue::Name QUOTE_TYPE_BIDASK{"QUOTE_TYPE_BIDASK"};
inline const pyglue::Name signature{"signature"};
inline const pyglue::Name contract2topic{"contract2topic"};
inline const pyglue::Name Stock{"Stock"};
inline const pyglue::Name Future{"Future"};
inline const pyglue::Name Option{"Option"};
inline const pyglue::Name Index{"Index"};
inline const pyglue::Name code{"code"};
inline const pyglue::Name exchange{"exchange"};
inline const pyglue::Name optimize{"optimize"};
inline const pyglue::Name parameters{"parameters"};
inline const pyglue::Name keys{"keys"};
inline const pyglue::Name solclient{"solclient"};
inline const pyglue::Name client{"client"};
inline const pyglue::Name _quote_callback{"_quote_callback"};
inline const pyglue::Name _event_callback{"_event_callback"};
inline const pyglue::Name set_callback{"set_callback"};
inline const pyglue::Name set_event_callback{"set_event_callback"};
inline const pyglue::Name connect{"connect"};
inline const pyglue::Name subscribe{"subscribe"};
inline const pyglue::Name unsubscribe{"unsubscribe"};
inline const pyglue::Name disconnect{"disconnect"};
}  // namespace N

// The topic of `contract` for `quote_type`: "L|Q/*/code" for futures and options,
// "MKT|QUT/*/exchange/code" for stocks, "I|O/exchange/code" for indexes.
pybind11::str contract2topic(pybind11::object contract, pybind11::object quote_type);

}  // namespace dorvane::quote
