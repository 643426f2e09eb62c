#include "order.hpp"

namespace fo {

const char* const kPlaceDoc =
    "place future or option order\n"
    "\n"
    "    product_id: text, the product code (stock_id)\n"
    "    product_type (fut_futopt):\n"
    "    - future: 'F'\n"
    "    - option: 'O'\n"
    "    opt_type (fut_callput):\n"
    "    - future: ' '\n"
    "    - Call: 'C'\n"
    "    - Put: 'P'\n"
    "    price: float or int\n"
    "    price_type:\n"
    "    - limit: 'LMT'\n"
    "    - market: 'MKT'\n"
    "    - market range: 'MKP'\n"
    "    action (ord_bs):\n"
    "    - buy: 'B'\n"
    "    - sell: 'S'\n"
    "    order_type (ord_type):\n"
    "    - Rest of Day: 'ROD'\n"
    "    - Immediate-or-Cancel: 'IOC'\n"
    "    - Fill-or-Kill: 'FOK'\n"
    "    octype:\n"
    "    - auto: ' '\n"
    "    - new position: '0'\n"
    "    - close position: '1'\n"
    "    - day trade: '6'\n"
    "    quantity: int\n"
    "    mttype: text\n"
    "    composit: text\n"
    "    c_code: text\n"
    "    c_callput: text\n"
    "    c_buysell: text\n"
    "    ";

py::dict convert_order_props(py::handle order) {
    py::dict codes;
    py::object table = global(N::foprops);
    for (py::handle name : call_method(table, N::keys)) {
        if (!truthy(attr_or_none(table, name))) continue;
        if (!truthy(attr_or_none(order, name))) continue;
        py::object sub = attr(table, name.ptr());
        py::object value = attr(order, name.ptr());
        py::object code = attr(sub, value.ptr());
        pyglue::require(PyObject_SetItem(codes.ptr(), name.ptr(), code.ptr()));
    }
    return codes;
}

py::dict prepare_input(OptType variant, py::handle contract, py::handle order, py::handle vexa_content) {
    py::dict input = dorvane_http::plain_copy(order);
    py::object codes = global(N::convert_order_props)(order);
    call_method(input, N::update, codes);
    input["product_id"] = attr(contract, N::code);
    input["product_type"] = first_item(attr(contract, N::security_type));
    switch (variant) {
    case OptType::Blank:
        input["opt_type"] = py::str(" ");
        break;
    case OptType::OptionRight:
        input["opt_type"] = attr(contract, N::option_right);
        break;
    case OptType::RightOrBlank: {
        py::object right = attr(contract, N::option_right);
        input["opt_type"] = truthy(right) ? right : py::str(" ");
        break;
    }
    }
    input["vexa_content"] = vexa_content;
    return input;
}

py::object place(const pyglue::Name& prepare, py::handle contract, py::handle order, py::handle vexa_content,
                 py::handle client) {
    py::object input = global(prepare)(contract, order, vexa_content);
    return call_with_client(global(N::_place_futopt_order), input, client);
}

py::object send_order(py::handle product_id, py::handle product_type, py::handle opt_type, py::handle price,
                      py::handle price_type, py::handle action, py::handle order_type, py::handle octype,
                      py::handle quantity, py::handle account, py::handle vexa_content, py::handle client,
                      const py::kwargs&) {
    // The account's two fields have no default: a missing one fails before anything is sent.
    py::object broker_id = attr(account, N::broker_id);
    py::object account_id = attr(account, N::account_id);
    const char* mttype = " ";
    const char* composit = "00";
    Body body;
    body.add("token", attr(client, N::_token))
        .add("ID", attr(client, N::person_id))
        .add("IP", attr(client, N::_public_ip))
        .add("broker_id", broker_id)
        .add("account", account_id)
        .add("fut_futopt", product_type)
        .add("stock_id", product_id)
        .add("fut_callput", opt_type)
        .add("ord_bs", action)
        .add("price", price)
        .add("price_type", price_type)
        .add("quantity", quantity)
        .add("ord_type", order_type)
        .add("octype", octype)
        .add("mttype", mttype)
        .add("composit", composit)
        .add("web_id", global(N::get_web_id)())
        .add("vexa_content", vexa_content);
    return dorvane_http::reply_json(post(client, N::f_order_uri, body.dict()));
}

}  // namespace fo
