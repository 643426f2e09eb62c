// The contract module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"
#include "reply_convention.hpp"

namespace dorvane {
namespace contract {

namespace py = pybind11;

// The names the module reads and writes, interned once: its globals, the keys of contract records
// and of the back end's entries (f_), and the fixed texts of records (v_).
namespace N {
inline const pyglue::Name log{"log"};
inline const pyglue::Name error{"error"};
inline const pyglue::Name code2exchange{"code2exchange"};
inline const pyglue::Name _list_stock_code{"_list_stock_code"};
inline const pyglue::Name stock_dict_convert{"stock_dict_convert"};
inline const pyglue::Name future_dict_convert{"future_dict_convert"};
inline const pyglue::Name option_dict_convert{"option_dict_convert"};
inline const pyglue::Name tw_index_dict_convert{"tw_index_dict_convert"};
inline const pyglue::Name _list_futopt_code{"_list_futopt_code"};
inline const pyglue::Name _list_tw_index_code{"_list_tw_index_code"};
inline const pyglue::Name session{"session"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name post{"post"};
inline const pyglue::Name json{"json"};
inline const pyglue::Name s_list_code_uri{"s_list_code_uri"};
inline const pyglue::Name index_list_code_uri{"index_list_code_uri"};
inline const pyglue::Name f_list_code_uri{"f_list_code_uri"};
inline const pyglue::Name items{"items"};
inline const pyglue::Name strip{"strip"};
inline const pyglue::Name rstrip{"rstrip"};
inline const pyglue::Name endswith{"endswith"};
inline const pyglue::Name symbol{"symbol"};
inline const pyglue::Name security_type{"security_type"};
inline const pyglue::Name currency{"currency"};
inline const pyglue::Name exchange{"exchange"};
inline const pyglue::Name code{"code"};
inline const pyglue::Name name{"name"};
inline const pyglue::Name category{"category"};
inline const pyglue::Name delivery_month{"delivery_month"};
inline const pyglue::Name strike_price{"strike_price"};
inline const pyglue::Name option_right{"option_right"};
inline const pyglue::Name underlying_kind{"underlying_kind"};
inline const pyglue::Name underlying_code{"underlying_code"};
inline const pyglue::Name unit{"unit"};
inline const pyglue::Name multiplier{"multiplier"};
inline const pyglue::Name f_industry{"industry"};
inline const pyglue::Name f_ename{"ename"};
inline const pyglue::Name f_deliverymonth{"deliverymonth"};
inline const pyglue::Name f_csname{"csname"};
inline const pyglue::Name f_prod_kind{"prod_kind"};
inline const pyglue::Name f_ostock{"ostock"};
inline const pyglue::Name f_basic{"basic"};
inline const pyglue::Name f_poc{"poc"};
inline const pyglue::Name f_eprice{"eprice"};
inline const pyglue::Name v_empty{""};
inline const pyglue::Name v_stk{"STK"};
inline const pyglue::Name v_fut{"FUT"};
inline const pyglue::Name v_opt{"OPT"};
inline const pyglue::Name v_ind{"IND"};
inline const pyglue::Name v_twd{"TWD"};
inline const pyglue::Name v_taifex{"TAIFEX"};
inline const pyglue::Name v_tse{"TSE"};
inline const pyglue::Name v_otc{"OTC"};
}  // namespace N

using pyglue::global;

// ---------------------------------------------------------------------------------------------
// contract_convert.cpp: conversion of downloaded product lists into contract records: flat dictionaries
// grouped by market (stocks, indexes) or by product (futures, options).

// Makes the record shapes of the four kinds of record; the module's initialisation calls it once.
void define_record_shapes();
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
using dorvane_http::text_equals;

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
