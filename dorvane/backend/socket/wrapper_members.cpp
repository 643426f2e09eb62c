#include "wrapper.hpp"

#include <string>
#include <utility>

namespace dorvane_wrapper {

namespace {

using Step = pyglue::Coroutine::Step;

// The coroutine of a member whose body is empty: it ends with None at its first step.
class EmptyCoroutine : public pyglue::Coroutine {
public:
    using pyglue::Coroutine::Coroutine;

protected:
    Step step(py::object /*value*/, py::object /*exc*/) override { return Step::finish(); }
    int traverse(visitproc, void*) override { return 0; }  // holds no Python object
    void clear() override {}
};

// Members whose bodies are empty in this facade: they take their arguments and return None.
py::none get_order_id(py::object /*self*/) { return py::none(); }
py::none place_order(py::object, py::object /*contract*/, py::object /*order*/) { return py::none(); }
py::none update_order(py::object, py::object /*trade*/, py::object /*price*/, py::object /*qty*/) {
    return py::none();
}
py::none cancel_order(py::object, py::object /*trade*/) { return py::none(); }
py::none on_placeorder(py::object, py::object /*trade*/, py::object /*fut*/) { return py::none(); }
py::none on_updateorder(py::object, py::object /*trade*/, py::object /*fut*/, py::object /*price*/,
                        py::object /*qty*/) {
    return py::none();
}
py::none on_cancelorder(py::object, py::object /*trade*/, py::object /*fut*/) { return py::none(); }
py::none update_status(py::object) { return py::none(); }
py::none account_report(py::object, py::args, py::kwargs) { return py::none(); }

py::object update_status_async(py::object /*self*/) {
    return pyglue::Coroutine::make<EmptyCoroutine>("Wrapper.update_statusAsync");
}

py::object list_accounts(py::object self) { return attr(self, N::accounts); }

// `from dorvane.MIRVO import vexa`: loads the signing module at the first activation.
py::object import_signing_module() { return pyglue::import_from("dorvane.MIRVO", "vexa"); }

// `from dorvane.MIRVO import vexa` at the call, init_vexa(vexa_path, vexa_passwd) by position
// (its result is dropped), then the module itself goes into the session client's registry under
// the person id. Before the first login there is no session client: the registration then fails
// with the attribute error on None, after the initialisation has run.
py::none activate_vexa(py::object self, py::object vexa_path, py::object vexa_passwd, py::object person_id) {
    py::object vexa = import_signing_module();
    call_method(vexa, N::init_vexa, vexa_path, vexa_passwd);
    py::object registry = attr(attr(self, N::_client), N::activated_vexa);
    pyglue::require(PyObject_SetItem(registry.ptr(), person_id.ptr(), vexa.ptr()));
    return py::none();
}

// A function object with a __dict__ (so the decorators may wrap it) named Wrapper.<name>.
template <class F, class... Extra>
py::object function(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    return pyglue::make_function(m, std::string("Wrapper.") + name, std::forward<F>(f), extra...);
}

// An order method: the function passed to `record`, and what that returns to `auth`.
template <class F, class... Extra>
void order_method(py::module_& m, pyglue::PlainClass& cls, const pyglue::Name& name, F&& f,
                  const Extra&... extra) {
    py::object fn = function(m, name.text(), std::forward<F>(f), extra...);
    py::object recorded = global(N::record)(fn);
    set_attr(cls.cls(), name, global(N::auth)(recorded));
}

}  // namespace

void bind_members(py::module_& m, pyglue::PlainClass& cls) {
    cls.def("_get_orderId", &get_order_id);
    cls.def("list_accounts", &list_accounts, "The facade's accounts (None until something sets them).");
    order_method(m, cls, N::place_order, &place_order, py::arg("self"), py::arg("contract"),
                 py::arg("order"));
    order_method(m, cls, N::update_order, &update_order, py::arg("self"), py::arg("trade"),
                 py::arg("price") = py::none(), py::arg("qty") = py::none());
    order_method(m, cls, N::cancel_order, &cancel_order, py::arg("self"), py::arg("trade"));
    cls.def("_on_placeorder", &on_placeorder, py::arg("trade"), py::arg("fut"));
    cls.def("_on_updateorder", &on_updateorder, py::arg("trade"), py::arg("fut"),
            py::arg("price") = py::none(), py::arg("qty") = py::none());
    cls.def("_on_cancelorder", &on_cancelorder, py::arg("trade"), py::arg("fut"));
    cls.def("update_status", &update_status);

    py::object status = function(m, "update_statusAsync", &update_status_async, py::arg("self"),
                                 "Coroutine that ends with None; runs one call at a time.");
    pyglue::mark_coroutine_function(status);
    set_attr(cls.cls(), N::update_statusAsync, global(N::elide)(status));

    for (const char* name :
         {"get_account_margin", "get_account_openposition", "get_account_settle_profitloss"}) {
        cls.def(name, &account_report);
    }
    cls.def("activate_vexa", &activate_vexa, py::arg("vexa_path"), py::arg("vexa_passwd"),
            py::arg("person_id"),
            "Initialises the signing module with "
            "the certificate file and its password and registers the module with the session "
            "client under `person_id`; returns None.");
}

}  // namespace dorvane_wrapper
