// Contract records are built key by key in a fixed order, straight into dictionaries: the option
// list alone can hold tens of thousands of entries, so the keys are interned once and every field
// is read from the entry's fields as `**entry` would give them (a missing field raises the
// KeyError that names it).
#include "contract.hpp"

#include <string>
#include <vector>

namespace dorvane {
namespace contract {

namespace {

// The fields of one list entry as a dict, read the way named-field formatting with `**entry`
// reads a mapping: a dict, or a dict subclass that iterates as a dict, is read from its own
// storage (a defaultdict invents no field and gains no key; a missing field is the KeyError that
// names it); any other mapping is copied once through its keys() and item access, so only the
// fields it has are ever asked for. Every field of the record is read from this one view.
py::dict fields_of(py::handle entry) {
    PyObject* e = entry.ptr();
    if (PyDict_CheckExact(e) || (PyDict_Check(e) && Py_TYPE(e)->tp_iter == PyDict_Type.tp_iter))
        return py::reinterpret_borrow<py::dict>(entry);
    py::dict copy;
    if (PyDict_Merge(copy.ptr(), e, 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        pyglue::raise(PyExc_TypeError, std::string("'") + Py_TYPE(e)->tp_name + "' object is not a mapping");
    }
    return copy;
}

// fields[key]; a missing key raises the KeyError naming it, as the dict itself does.
py::object item(const py::dict& fields, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(fields.ptr(), key);  // borrowed
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (!PyErr_Occurred()) {
        PyObject* args = PyTuple_Pack(1, key);
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args);
            Py_DECREF(args);
        }
    }
    throw py::error_already_set();
}

// fields.get(key, fallback).
py::object item_or(const py::dict& fields, PyObject* key, PyObject* fallback) {
    PyObject* v = pyglue::checked(PyDict_GetItemWithError(fields.ptr(), key));  // borrowed
    return py::reinterpret_borrow<py::object>(v ? v : fallback);
}

// A record under construction: keys are entered in call order.
class Record {
public:
    // A dictionary sized for `keys` entries, so that it never grows while it is filled.
    explicit Record(Py_ssize_t keys) : dict_(py::reinterpret_steal<py::dict>(presized(keys))) {}
    void set(PyObject* key, py::handle value) {
        pyglue::require(PyDict_SetItem(dict_.ptr(), key, value.ptr()));
    }
    py::dict take() { return std::move(dict_); }

private:
    static PyObject* presized(Py_ssize_t keys) {
        PyObject* d = pyglue::require(pyglue::compat::dict_presized(keys));
        return d;
    }
    py::dict dict_;
};

// Keys of each kind of record.
constexpr Py_ssize_t kStockKeys = 7;
constexpr Py_ssize_t kListingKeys = 14;  // futures and options
constexpr Py_ssize_t kIndexKeys = 6;

// "{a}{b}..." filled by named-field formatting: each placeholder takes format(value, ""), which
// is the value itself for plain text. `override_key`/`override_value` stand in for one field (the
// trimmed option price).
// The field count is the array's size, known when compiling, so the local arrays always fit.
template <std::size_t kFields>
py::str fill_template(const py::dict& entry, PyObject* const (&fields)[kFields],
                      PyObject* override_key = nullptr, PyObject* override_value = nullptr) {
    PyObject* empty = N::v_empty;
    py::object parts[kFields];
    PyObject* texts[kFields];
    std::size_t n = 0;
    for (PyObject* field : fields) {
        py::object value =
            (field == override_key) ? py::reinterpret_borrow<py::object>(override_value) : item(entry, field);
        if (!PyUnicode_CheckExact(value.ptr())) {
            PyObject* text = pyglue::require(PyObject_Format(value.ptr(), empty));
            value = py::reinterpret_steal<py::object>(text);
        }
        parts[n] = std::move(value);
        texts[n] = parts[n].ptr();
        ++n;
    }
    PyObject* joined = pyglue::require(pyglue::compat::join_array(empty, texts, static_cast<Py_ssize_t>(n)));
    return py::reinterpret_steal<py::str>(joined);
}

// Text with the space characters (only " ") removed at both ends; other objects go through their
// own strip(" "), so a value that is not text fails as the interpreter makes it fail.
py::object strip_spaces(py::handle value) {
    if (!PyUnicode_CheckExact(value.ptr())) return pyglue::call_method(value, N::strip, " ");
    Py_ssize_t n = PyUnicode_GET_LENGTH(value.ptr());
    Py_ssize_t begin = 0, end = n;
    while (begin < end && PyUnicode_READ_CHAR(value.ptr(), begin) == ' ') ++begin;
    while (end > begin && PyUnicode_READ_CHAR(value.ptr(), end - 1) == ' ') --end;
    if (begin == 0 && end == n) return py::reinterpret_borrow<py::object>(value);
    PyObject* s = pyglue::require(PyUnicode_Substring(value.ptr(), begin, end));
    return py::reinterpret_steal<py::object>(s);
}

// The option price as placed in the symbol: a text ending in ".0" loses its trailing "0"s and
// then its trailing "."s ("9800.0" -> "9800", ".0" -> ""); anything else stays.
py::object trim_price(py::handle eprice) {
    if (!PyUnicode_CheckExact(eprice.ptr())) {
        if (!pyglue::truthy(pyglue::call_method(eprice, N::endswith, ".0")))
            return py::reinterpret_borrow<py::object>(eprice);
        return pyglue::call_method(pyglue::call_method(eprice, N::rstrip, "0"), N::rstrip, ".");
    }
    PyObject* s = eprice.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n < 2 || PyUnicode_READ_CHAR(s, n - 1) != '0' || PyUnicode_READ_CHAR(s, n - 2) != '.')
        return py::reinterpret_borrow<py::object>(eprice);
    Py_ssize_t end = n;
    while (end > 0 && PyUnicode_READ_CHAR(s, end - 1) == '0') --end;
    while (end > 0 && PyUnicode_READ_CHAR(s, end - 1) == '.') --end;
    PyObject* t = pyglue::require(PyUnicode_Substring(s, 0, end));
    return py::reinterpret_steal<py::object>(t);
}

py::object to_float(py::handle value) {
    PyObject* f = pyglue::require(PyNumber_Float(value.ptr()));
    return py::reinterpret_steal<py::object>(f);
}

// result[key], a new empty list when the key has none yet; borrowed from `result`.
PyObject* group_of(py::dict& result, py::handle key) {
    PyObject* group = PyDict_GetItemWithError(result.ptr(), key.ptr());
    if (group) return group;
    pyglue::raise_if_error();
    py::list fresh;
    pyglue::require(PyDict_SetItem(result.ptr(), key.ptr(), fresh.ptr()));
    return fresh.ptr();  // the result now holds it
}

// Appends `record` to result[key], creating the group at its first record.
void append_to_group(py::dict& result, py::handle key, py::handle record) {
    pyglue::require(PyList_Append(group_of(result, key), record.ptr()));
}

// The fields a future and an option record share, from the currency to the delivery month.
void set_listing(Record& r, const py::dict& e) {
    r.set(N::currency, N::v_twd);
    r.set(N::exchange, N::v_taifex);
    r.set(N::code, item(e, N::code));
    r.set(N::name, item(e, N::f_csname));
    r.set(N::category, item(e, N::category));
    r.set(N::delivery_month, item(e, N::f_deliverymonth));
}

// The fields a future and an option record share, from the underlying kind to the multiplier.
void set_underlying(Record& r, const py::dict& e) {
    r.set(N::underlying_kind, item(e, N::f_prod_kind));
    r.set(N::underlying_code, item(e, N::f_ostock));
    r.set(N::unit, to_float(item(e, N::f_basic)));
    r.set(N::multiplier, py::int_(0).ptr());
}

py::dict future_record(py::handle entry) {
    py::dict e = fields_of(entry);
    Record r(kListingKeys);
    r.set(N::symbol, fill_template(e, {N::f_ename, N::f_deliverymonth}));
    r.set(N::security_type, N::v_fut);
    set_listing(r, e);
    r.set(N::strike_price, py::int_(0).ptr());
    r.set(N::option_right, N::v_empty);
    set_underlying(r, e);
    return r.take();
}

py::dict option_record(py::handle entry) {
    py::dict e = fields_of(entry);
    // The trimming test reads a missing price as empty text; the strike price below still
    // requires the field.
    py::object eprice = item_or(e, N::f_eprice, N::v_empty);
    py::object shown = trim_price(eprice);
    Record r(kListingKeys);
    r.set(N::symbol, fill_template(e, {N::category, N::f_deliverymonth, N::f_poc, N::f_eprice}, N::f_eprice,
                                   shown.ptr()));
    r.set(N::security_type, N::v_opt);
    set_listing(r, e);
    r.set(N::strike_price, item(e, N::f_eprice));
    r.set(N::option_right, item(e, N::f_poc));
    set_underlying(r, e);
    return r.take();
}

// Products in the mapping's order, entries in sequence order, grouped by product name.
template <class Build>
py::dict convert_by_product(py::handle contracts, Build build) {
    py::dict result;
    py::object items = pyglue::call_method(contracts, N::items);
    for (py::handle pair : items) {
        py::object product = pair[py::int_(0)];
        py::object entries = pair[py::int_(1)];
        // The group is found (or made) at the product's first record, then appended to directly.
        PyObject* group = nullptr;
        for (py::handle entry : entries) {
            py::dict record = build(entry);
            if (!group) group = group_of(result, product);
            pyglue::require(PyList_Append(group, record.ptr()));
        }
    }
    return result;
}

}  // namespace

py::dict stock_dict_convert(py::handle contracts) {
    py::dict result;
    for (py::handle entry : contracts) {
        py::dict e = fields_of(entry);
        Record r(kStockKeys);
        r.set(N::symbol, fill_template(e, {N::exchange, N::code}));
        r.set(N::security_type, N::v_stk);
        r.set(N::currency, N::v_twd);
        py::object exchange = item(e, N::exchange);
        r.set(N::exchange, exchange);
        r.set(N::code, item(e, N::code));
        r.set(N::name, strip_spaces(item(e, N::name)));
        r.set(N::category, item(e, N::f_industry));
        append_to_group(result, exchange, r.take());
    }
    return result;
}

py::dict future_dict_convert(py::handle contracts) { return convert_by_product(contracts, future_record); }

py::dict option_dict_convert(py::handle contracts) { return convert_by_product(contracts, option_record); }

py::dict tw_index_dict_convert(py::handle index_dict, py::handle code2exchange) {
    py::dict result;
    py::list tse, otc;
    result[py::handle(N::v_tse)] = tse;
    result[py::handle(N::v_otc)] = otc;
    py::object items = pyglue::call_method(index_dict, N::items);
    for (py::handle pair : items) {
        py::object code = pair[py::int_(0)];
        py::object name = pair[py::int_(1)];
        if (!PyUnicode_Check(code.ptr()))
            pyglue::raise(PyExc_TypeError,
                          std::string("index code must be text, not ") + Py_TYPE(code.ptr())->tp_name);
        // The first character decides the exchange. An index that neither exchange lists has no
        // group and no symbol: it is logged at error level and left out, so that one odd code does
        // not cost the whole list (and the login that downloads it).
        py::object exchange = py::str(N::v_empty);
        if (PyUnicode_GET_LENGTH(code.ptr()) > 0) {
            py::object first = code[py::slice(0, 1, 1)];
            exchange = pyglue::call_method(code2exchange, N::get, first, py::handle(N::v_empty));
        }
        PyObject* group = PyDict_GetItemWithError(result.ptr(), exchange.ptr());  // borrowed
        if (!group) {
            pyglue::raise_if_error();
            py::str message =
                py::str("Index {!r} belongs to no exchange (TSE or OTC); left out.").format(code);
            pyglue::call_method(global(N::log), N::error, message);
            continue;
        }
        Record r(kIndexKeys);
        PyObject* symbol = pyglue::require(PyNumber_Add(exchange.ptr(), code.ptr()));
        r.set(N::symbol, py::reinterpret_steal<py::object>(symbol));
        r.set(N::security_type, N::v_ind);
        r.set(N::currency, N::v_twd);
        r.set(N::exchange, exchange);
        r.set(N::code, code);
        r.set(N::name, name);
        pyglue::require(PyList_Append(group, r.take().ptr()));
    }
    return result;
}

}  // namespace contract
}  // namespace dorvane
