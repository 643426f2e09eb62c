#include "main.hpp"

namespace dorvane_http_main {

namespace {

// fetch_available_product(client, product_type=code) as the module binds it now.
py::object download(py::handle client, const char* product_type) {
    return global(N::fetch_available_product)(client, py::arg("product_type") = product_type);
}

// The records of every group of a download, keyed by their "code"; a later record of a code
// replaces an earlier one.
py::dict by_code(py::handle products) {
    py::dict table;
    for (py::handle group : call_method(products, N::values)) {
        for (py::handle record : group) {
            py::object code = py::reinterpret_borrow<py::object>(record)[py::str("code")];
            table[code] = record;
        }
    }
    return table;
}

}  // namespace

void init(py::object self, py::object simulation, py::object proxies) {
    set_attr(self, N::client, global(N::Client)(simulation, proxies));
    set_attr(self, N::Contracts, py::none());
    set_attr(self, N::_trades, py::dict());
}

py::list trades(py::object self) {
    return py::reinterpret_steal<py::list>(
        pyglue::require(PySequence_List(call_method(attr(self, N::_trades), N::values).ptr())));
}

py::object login(py::object self, py::object person_id, py::object passwd) {
    py::object client = attr(self, N::client);
    py::object accounts = call_method(client, N::login, person_id, passwd);
    py::object indexes = download(client, "I");
    py::object stocks = download(client, "S");
    py::object futures = download(client, "F");
    py::object options = download(client, "O");
    set_attr(self, N::Contracts,
             global(N::Contracts)(py::arg("Indexs") = indexes, py::arg("Stocks") = stocks,
                                  py::arg("Futures") = futures, py::arg("Options") = options));
    return accounts;
}

py::object activate_vexa(py::object self, py::object vexa_path, py::object vexa_passwd,
                         py::object person_id) {
    py::object vexa = pyglue::import_module("dorvane.MIRVO.vexa");
    py::object result = call_method(vexa, N::init_vexa, vexa_path, vexa_passwd);
    py::object registry = attr(attr(self, N::client), N::activated_vexa);
    pyglue::require(PyObject_SetItem(registry.ptr(), person_id.ptr(), vexa.ptr()));
    return result;
}

py::object list_accounts(py::object self) { return attr(attr(self, N::client), N::accounts); }

py::dict fetch_products(py::object self) {
    py::object client = attr(self, N::client);
    // Each download is turned into its table before the next one starts.
    py::dict stocks = by_code(download(client, "S"));
    py::dict futures = by_code(download(client, "F"));
    py::dict options = by_code(download(client, "O"));
    py::dict products;
    for (const py::dict& table : {stocks, futures, options}) {
        pyglue::require(PyDict_Update(products.ptr(), table.ptr()));
    }
    return products;
}

}  // namespace dorvane_http_main
