// The quote module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane::quote {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// quote_topic.cpp: topic names of the quote-messaging service, made from a contract and a quote type.

// The module whose globals (contract classes, quote-type constants, ...) are read at each call.
inline constexpr const char* kModule = "dorvane.backend.solace.quote";

// The topic of `contract` for `quote_type`: "L|Q/*/code" for futures and options,
// "MKT|QUT/*/exchange/code" for stocks, "I|O/exchange/code" for indexes.
pybind11::str contract2topic(pybind11::object contract, pybind11::object quote_type);

}  // namespace dorvane::quote
