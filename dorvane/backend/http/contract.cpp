// dorvane.backend.http.contract: download of the product lists (stocks, indexes, futures,
// options) from the HTTP back end and their conversion into contract records.
//
// The module binds the library's logger `log` and the index table `code2exchange` at import; the
// download looks its helpers, converters and these two names up in the module's namespace at each
// call, so programs and tests may replace them.
#include "contract.hpp"
#include "pyglue.hpp"

namespace py = pybind11;
namespace ct = dorvane::contract;

namespace {

const char* const kListFutoptDoc =
    "query the product code\n"
    "\n"
    "    Args:\n"
    "        product_type: the product type, \"F\" future or \"O\" option\n"
    "        detail: whether to get detail code\n"
    "        client: the HTTP session client\n";

const char* const kFetchDoc =
    "Download one product list and convert it into contract records.\n"
    "\n"
    "    Args:\n"
    "        client: the HTTP session client\n"
    "        product_type: \"S\" stock, \"F\" future, \"O\" option or \"I\" index\n"
    "\n"
    "    Returns a dictionary from group key to a list of contract records; empty when the reply\n"
    "    reports failure (the reply is logged) or the product type is not supported.\n";

}  // namespace

PYBIND11_MODULE(contract, m) {
    pyglue::set_module(m);
    namespace N = dorvane::contract::N;

    ct::define_record_shapes();
    pyglue::set_attr(m, N::log, pyglue::import_from("dorvane.utils", "log"));
    py::dict code2exchange;
    code2exchange["0"] = "TSE";
    code2exchange["1"] = "OTC";
    pyglue::set_attr(m, N::code2exchange, code2exchange);

    pyglue::def(m, "stock_dict_convert", &ct::stock_dict_convert,
                "Stock entries -> {exchange: [contract record, ...]}.", py::arg("contracts"), py::pos_only());
    pyglue::def(m, "future_dict_convert", &ct::future_dict_convert,
                "{product: [futures entry, ...]} -> {product: [contract record, ...]}.", py::arg("contracts"),
                py::pos_only());
    pyglue::def(m, "option_dict_convert", &ct::option_dict_convert,
                "{product: [option entry, ...]} -> {product: [contract record, ...]}.", py::arg("contracts"),
                py::pos_only());
    pyglue::def(
        m, "tw_index_dict_convert",
        [](py::object index_dict) {
            return ct::tw_index_dict_convert(index_dict, pyglue::global(ct::N::code2exchange));
        },
        "{index code: name} -> {\"TSE\": [...], \"OTC\": [...]}.", py::arg("index_dict"), py::pos_only());
    pyglue::def(m, "_list_stock_code", &ct::list_stock_code, "The decoded reply of the stock list request.",
                py::arg("client"), py::pos_only());
    pyglue::def(m, "_list_tw_index_code", &ct::list_tw_index_code,
                "The decoded reply of the index list request.", py::arg("client"), py::pos_only());
    pyglue::def(m, "_list_futopt_code", &ct::list_futopt_code, kListFutoptDoc, py::arg("product_type"),
                py::arg("detail"), py::arg("client"));
    pyglue::def(m, "fetch_available_product", &ct::fetch_available_product, kFetchDoc, py::arg("client"),
                py::arg("product_type"));

    pyglue::set_all(m, {"fetch_available_product", "stock_dict_convert", "future_dict_convert",
                        "option_dict_convert", "tw_index_dict_convert"});
}
