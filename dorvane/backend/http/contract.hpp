// The contract module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"
#include "reply_convention.hpp"

namespace dorvane {
namespace contract {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// contract_convert.cpp: conversion of downloaded product lists into contract records: flat dictionaries
// grouped by market (stocks, indexes) or by product (futures, options).

// Stock entries (a sequence of mappings) -> {exchange: [record, ...]}.
py::dict stock_dict_convert(py::handle contracts);
// {product name: [futures entry, ...]} -> {product name: [record, ...]}.
py::dict future_dict_convert(py::handle contracts);
// {product name: [option entry, ...]} -> {product name: [record, ...]}.
py::dict option_dict_convert(py::handle contracts);
// {index code: index name} -> {"TSE": [...], "OTC": [...]}. `code2exchange` maps a code's first
// character to its exchange; a code it does not place is logged (the module's `log`) and left out.
py::dict tw_index_dict_convert(py::handle index_dict, py::handle code2exchange);

// ---------------------------------------------------------------------------------------------
// contract_download.cpp: product-list downloads through the HTTP session client, and the reply convention
// of the HTTP back end.

using dorvane_http::reply_succeeded;

// client.session.get(client.s_list_code_uri).json()
py::object list_stock_code(py::handle client);
// client.session.get(client.index_list_code_uri).json()
py::object list_tw_index_code(py::handle client);
// client.session.post(client.f_list_code_uri, json={"code": product_type, "type": ...}).json()
py::object list_futopt_code(py::handle product_type, py::handle detail, py::handle client);

// The download and conversion of one product list; the module's own helpers, converters and
// logger are looked up in its namespace at each call.
py::object fetch_available_product(py::handle client, py::handle product_type);

}  // namespace contract
}  // namespace dorvane
