// Conversion of downloaded product lists into contract records: flat dictionaries grouped by
// market (stocks, indexes) or by product (futures, options).
#pragma once

#include "pyglue.hpp"

namespace dorvane {
namespace contract {

namespace py = pybind11;

// Stock entries (a sequence of mappings) -> {exchange: [record, ...]}.
py::dict stock_dict_convert(py::handle contracts);
// {product name: [futures entry, ...]} -> {product name: [record, ...]}.
py::dict future_dict_convert(py::handle contracts);
// {product name: [option entry, ...]} -> {product name: [record, ...]}.
py::dict option_dict_convert(py::handle contracts);
// {index code: index name} -> {"TSE": [...], "OTC": [...]}. `code2exchange` maps a code's first
// character to its exchange; a code it does not place is logged (the module's `log`) and left out.
py::dict tw_index_dict_convert(py::handle index_dict, py::handle code2exchange);

}  // namespace contract
}  // namespace dorvane
