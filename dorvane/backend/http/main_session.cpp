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
    for (py::handle group : products.attr("values")()) {
        for (py::handle record : group) {
            py::object code = py::reinterpret_borrow<py::object>(record)[py::str("code")];
            table[code] = record;
        }
    }
    return table;
}

}  // namespace

void init(py::object self, py::object simulation, py::object proxies) {
    py::setattr(self, "client", global(N::Client)(simulation, proxies));
    py::setattr(self, "Contracts", py::none());
    py::setattr(self, "_trades", py::dict());
}

py::list trades(py::object self) {
    PyObject* list = PySequence_List(self.attr("_trades").attr("values")().ptr());
    if (!list) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

py::object login(py::object self, py::object person_id, py::object passwd) {
    py::object client = self.attr("client");
    py::object accounts = client.attr("login")(person_id, passwd);
    py::object indexes = download(client, "I");
    py::object stocks = download(client, "S");
    py::object futures = download(client, "F");
    py::object options = download(client, "O");
    py::setattr(self, "Contracts",
                global(N::Contracts)(py::arg("Indexs") = indexes, py::arg("Stocks") = stocks,
                                     py::arg("Futures") = futures, py::arg("Options") = options));
    return accounts;
}

py::object activate_vexa(py::object self, py::object vexa_path, py::object vexa_passwd,
                         py::object person_id) {
    py::object vexa = py::module_::import("dorvane.MIRVO.vexa");
    py::object result = vexa.attr("init_vexa")(vexa_path, vexa_passwd);
    py::object registry = self.attr("client").attr("activated_vexa");
    if (PyObject_SetItem(registry.ptr(), person_id.ptr(), vexa.ptr()) < 0) throw py::error_already_set();
    return result;
}

py::object list_accounts(py::object self) { return self.attr("client").attr("accounts"); }

py::dict fetch_products(py::object self) {
    py::object client = self.attr("client");
    // Each download is turned into its table before the next one starts.
    py::dict stocks = by_code(download(client, "S"));
    py::dict futures = by_code(download(client, "F"));
    py::dict options = by_code(download(client, "O"));
    py::dict products;
    for (const py::dict& table : {stocks, futures, options}) {
        if (PyDict_Update(products.ptr(), table.ptr()) < 0) throw py::error_already_set();
    }
    return products;
}

}  // namespace dorvane_http_main
