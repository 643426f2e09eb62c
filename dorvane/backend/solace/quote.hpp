// The quote module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane::quote {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// quote_topic.cpp: topic names of the quote-messaging service, made from a contract and a quote type.

// The module's globals that its code reads at each call (the contract classes are read by their
// class names), interned once.
namespace N {
inline const pyglue::Name QUOTE_TYPE_TICK{"QUOTE_TYPE_TICK"};
inline const pyglue::Name QUOTE_TYPE_BIDASK{"QUOTE_TYPE_BIDASK"};
inline const pyglue::Name signature{"signature"};
inline const pyglue::Name contract2topic{"contract2topic"};
}  // namespace N

// The topic of `contract` for `quote_type`: "L|Q/*/code" for futures and options,
// "MKT|QUT/*/exchange/code" for stocks, "I|O/exchange/code" for indexes.
pybind11::str contract2topic(pybind11::object contract, pybind11::object quote_type);

}  // namespace dorvane::quote
