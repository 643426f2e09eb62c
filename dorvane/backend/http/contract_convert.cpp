// Contract records are built key by key in a fixed order, straight into dictionaries: the option
// list alone can hold tens of thousands of entries, so the keys are interned once and every field
// is read with the mapping protocol (a missing field raises the KeyError that names it).
#include "contract.hpp"

#include <string>
#include <vector>

#include "pyglue.hpp"

namespace dorvane {
namespace contract {

namespace {

// The record keys and fixed values, made once per process (the module lives until exit).
class Names {
public:
    static const Names& get() {
        static const Names* names = new Names();
        return *names;
    }

    // record keys
    PyObject *symbol, *security_type, *currency, *exchange, *code, *name, *category, *delivery_month,
        *strike_price, *option_right, *underlying_kind, *underlying_code, *unit, *multiplier;
    // entry fields
    PyObject *f_exchange, *f_code, *f_name, *f_industry, *f_ename, *f_deliverymonth, *f_csname,
        *f_category, *f_prod_kind, *f_ostock, *f_basic, *f_poc, *f_eprice;
    // values
    PyObject *v_stk, *v_fut, *v_opt, *v_ind, *v_twd, *v_taifex, *v_empty, *v_zero, *v_tse, *v_otc;

private:
    static PyObject* intern(const char* s) {
        PyObject* o = PyUnicode_InternFromString(s);
        if (!o) throw py::error_already_set();
        return o;
    }
    Names() {
        symbol = intern("symbol");
        security_type = intern("security_type");
        currency = intern("currency");
        exchange = intern("exchange");
        code = intern("code");
        name = intern("name");
        category = intern("category");
        delivery_month = intern("delivery_month");
        strike_price = intern("strike_price");
        option_right = intern("option_right");
        underlying_kind = intern("underlying_kind");
        underlying_code = intern("underlying_code");
        unit = intern("unit");
        multiplier = intern("multiplier");
        f_exchange = exchange;
        f_code = code;
        f_name = name;
        f_industry = intern("industry");
        f_ename = intern("ename");
        f_deliverymonth = intern("deliverymonth");
        f_csname = intern("csname");
        f_category = category;
        f_prod_kind = intern("prod_kind");
        f_ostock = intern("ostock");
        f_basic = intern("basic");
        f_poc = intern("poc");
        f_eprice = intern("eprice");
        v_stk = intern("STK");
        v_fut = intern("FUT");
        v_opt = intern("OPT");
        v_ind = intern("IND");
        v_twd = intern("TWD");
        v_taifex = intern("TAIFEX");
        v_empty = intern("");
        v_zero = PyLong_FromLong(0);
        v_tse = intern("TSE");
        v_otc = intern("OTC");
    }
};

// mapping[key]: a plain dict is read directly (a missing key raises the KeyError naming it, as
// the dict itself does); any other mapping through the mapping protocol.
py::object item(py::handle mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key);  // borrowed
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
    PyObject* v = PyObject_GetItem(mapping.ptr(), key);
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

// mapping.get(key, fallback), read directly from a plain dict.
py::object item_or(py::handle mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key);  // borrowed
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(v ? v : fallback);
    }
    return mapping.attr("get")(py::handle(key), py::handle(fallback));
}

// A record under construction: keys are entered in call order.
class Record {
public:
    // A dictionary sized for `keys` entries, so that it never grows while it is filled.
    explicit Record(Py_ssize_t keys)
        : dict_(py::reinterpret_steal<py::dict>(presized(keys))) {}
    void set(PyObject* key, py::handle value) {
        if (PyDict_SetItem(dict_.ptr(), key, value.ptr()) < 0) throw py::error_already_set();
    }
    void set(PyObject* key, PyObject* value) { set(key, py::handle(value)); }
    py::dict take() { return std::move(dict_); }

private:
    static PyObject* presized(Py_ssize_t keys) {
        PyObject* d = _PyDict_NewPresized(keys);
        if (!d) throw py::error_already_set();
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
py::str fill_template(py::handle entry, std::initializer_list<PyObject*> fields,
                      PyObject* override_key = nullptr, PyObject* override_value = nullptr) {
    PyObject* empty = Names::get().v_empty;
    constexpr std::size_t kMax = 4;
    py::object parts[kMax];
    PyObject* texts[kMax];
    std::size_t n = 0;
    for (PyObject* field : fields) {
        py::object value = (field == override_key) ? py::reinterpret_borrow<py::object>(override_value)
                                                    : item(entry, field);
        if (!PyUnicode_CheckExact(value.ptr())) {
            PyObject* text = PyObject_Format(value.ptr(), empty);
            if (!text) throw py::error_already_set();
            value = py::reinterpret_steal<py::object>(text);
        }
        parts[n] = std::move(value);
        texts[n] = parts[n].ptr();
        ++n;
    }
    PyObject* joined = _PyUnicode_JoinArray(empty, texts, static_cast<Py_ssize_t>(n));
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

// Text with the space characters (only " ") removed at both ends; other objects go through their
// own strip(" "), so a value that is not text fails as the interpreter makes it fail.
py::object strip_spaces(py::handle value) {
    if (!PyUnicode_CheckExact(value.ptr())) return value.attr("strip")(" ");
    Py_ssize_t n = PyUnicode_GET_LENGTH(value.ptr());
    Py_ssize_t begin = 0, end = n;
    while (begin < end && PyUnicode_READ_CHAR(value.ptr(), begin) == ' ') ++begin;
    while (end > begin && PyUnicode_READ_CHAR(value.ptr(), end - 1) == ' ') --end;
    if (begin == 0 && end == n) return py::reinterpret_borrow<py::object>(value);
    PyObject* s = PyUnicode_Substring(value.ptr(), begin, end);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

// The option price as placed in the symbol: a text ending in ".0" loses its trailing "0"s and
// then its trailing "."s ("9800.0" -> "9800", ".0" -> ""); anything else stays.
py::object trim_price(py::handle eprice) {
    if (!PyUnicode_CheckExact(eprice.ptr())) {
        if (!pyglue::truthy(eprice.attr("endswith")(".0"))) return py::reinterpret_borrow<py::object>(eprice);
        return eprice.attr("rstrip")("0").attr("rstrip")(".");
    }
    PyObject* s = eprice.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n < 2 || PyUnicode_READ_CHAR(s, n - 1) != '0' || PyUnicode_READ_CHAR(s, n - 2) != '.')
        return py::reinterpret_borrow<py::object>(eprice);
    Py_ssize_t end = n;
    while (end > 0 && PyUnicode_READ_CHAR(s, end - 1) == '0') --end;
    while (end > 0 && PyUnicode_READ_CHAR(s, end - 1) == '.') --end;
    PyObject* t = PyUnicode_Substring(s, 0, end);
    if (!t) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(t);
}

py::object to_float(py::handle value) {
    PyObject* f = PyNumber_Float(value.ptr());
    if (!f) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

// Appends `record` to result[key], creating the group at its first record.
void append_to_group(py::dict& result, py::handle key, py::handle record) {
    PyObject* group = PyDict_GetItemWithError(result.ptr(), key.ptr());  // borrowed
    if (!group) {
        if (PyErr_Occurred()) throw py::error_already_set();
        py::list fresh;
        if (PyDict_SetItem(result.ptr(), key.ptr(), fresh.ptr()) < 0) throw py::error_already_set();
        group = fresh.ptr();
    }
    if (PyList_Append(group, record.ptr()) < 0) throw py::error_already_set();
}

// The fields a future and an option record share, from the currency to the delivery month.
void set_listing(Record& r, py::handle e, const Names& k) {
    r.set(k.currency, k.v_twd);
    r.set(k.exchange, k.v_taifex);
    r.set(k.code, item(e, k.f_code));
    r.set(k.name, item(e, k.f_csname));
    r.set(k.category, item(e, k.f_category));
    r.set(k.delivery_month, item(e, k.f_deliverymonth));
}

// The fields a future and an option record share, from the underlying kind to the multiplier.
void set_underlying(Record& r, py::handle e, const Names& k) {
    r.set(k.underlying_kind, item(e, k.f_prod_kind));
    r.set(k.underlying_code, item(e, k.f_ostock));
    r.set(k.unit, to_float(item(e, k.f_basic)));
    r.set(k.multiplier, k.v_zero);
}

py::dict future_record(py::handle e) {
    const Names& k = Names::get();
    Record r(kListingKeys);
    r.set(k.symbol, fill_template(e, {k.f_ename, k.f_deliverymonth}));
    r.set(k.security_type, k.v_fut);
    set_listing(r, e, k);
    r.set(k.strike_price, k.v_zero);
    r.set(k.option_right, k.v_empty);
    set_underlying(r, e, k);
    return r.take();
}

py::dict option_record(py::handle e) {
    const Names& k = Names::get();
    // The trimming test reads a missing price as empty text; the strike price below still
    // requires the field.
    py::object eprice = item_or(e, k.f_eprice, k.v_empty);
    py::object shown = trim_price(eprice);
    Record r(kListingKeys);
    r.set(k.symbol, fill_template(e, {k.f_category, k.f_deliverymonth, k.f_poc, k.f_eprice}, k.f_eprice,
                                  shown.ptr()));
    r.set(k.security_type, k.v_opt);
    set_listing(r, e, k);
    r.set(k.strike_price, item(e, k.f_eprice));
    r.set(k.option_right, item(e, k.f_poc));
    set_underlying(r, e, k);
    return r.take();
}

// Products in the mapping's order, entries in sequence order, grouped by product name.
template <class Build>
py::dict convert_by_product(py::handle contracts, Build build) {
    py::dict result;
    py::object items = contracts.attr("items")();
    for (py::handle pair : items) {
        py::object product = pair[py::int_(0)];
        py::object entries = pair[py::int_(1)];
        PyObject* group = nullptr;  // borrowed from the result once the first record made it
        for (py::handle entry : entries) {
            py::dict record = build(entry);
            if (!group) {
                append_to_group(result, product, record);
                group = PyDict_GetItemWithError(result.ptr(), product.ptr());
                if (!group) throw py::error_already_set();
            } else if (PyList_Append(group, record.ptr()) < 0) {
                throw py::error_already_set();
            }
        }
    }
    return result;
}

}  // namespace

py::dict stock_dict_convert(py::handle contracts) {
    const Names& k = Names::get();
    py::dict result;
    for (py::handle e : contracts) {
        Record r(kStockKeys);
        r.set(k.symbol, fill_template(e, {k.f_exchange, k.f_code}));
        r.set(k.security_type, k.v_stk);
        r.set(k.currency, k.v_twd);
        py::object exchange = item(e, k.f_exchange);
        r.set(k.exchange, exchange);
        r.set(k.code, item(e, k.f_code));
        r.set(k.name, strip_spaces(item(e, k.f_name)));
        r.set(k.category, item(e, k.f_industry));
        append_to_group(result, exchange, r.take());
    }
    return result;
}

py::dict future_dict_convert(py::handle contracts) { return convert_by_product(contracts, future_record); }

py::dict option_dict_convert(py::handle contracts) { return convert_by_product(contracts, option_record); }

py::dict tw_index_dict_convert(py::handle index_dict, py::handle code2exchange) {
    const Names& k = Names::get();
    py::dict result;
    py::list tse, otc;
    result[py::handle(k.v_tse)] = tse;
    result[py::handle(k.v_otc)] = otc;
    py::object items = index_dict.attr("items")();
    for (py::handle pair : items) {
        py::object code = pair[py::int_(0)];
        py::object name = pair[py::int_(1)];
        if (!PyUnicode_Check(code.ptr()))
            pyglue::raise(PyExc_TypeError, std::string("index code must be text, not ") +
                                               Py_TYPE(code.ptr())->tp_name);
        // The first character decides the exchange. An index that neither exchange lists has no
        // group and no symbol: it is logged at error level and left out, so that one odd code does
        // not cost the whole list (and the login that downloads it).
        py::object exchange = py::str(k.v_empty);
        if (PyUnicode_GET_LENGTH(code.ptr()) > 0) {
            py::object first = code[py::slice(0, 1, 1)];
            exchange = code2exchange.attr("get")(first, py::handle(k.v_empty));
        }
        PyObject* group = PyDict_GetItemWithError(result.ptr(), exchange.ptr());  // borrowed
        if (!group) {
            if (PyErr_Occurred()) throw py::error_already_set();
            py::str message = py::str("Index {!r} belongs to no exchange (TSE or OTC); left out.").format(code);
            pyglue::ThisModule::get().global("log").attr("error")(message);
            continue;
        }
        Record r(kIndexKeys);
        PyObject* symbol = PyNumber_Add(exchange.ptr(), code.ptr());
        if (!symbol) throw py::error_already_set();
        r.set(k.symbol, py::reinterpret_steal<py::object>(symbol));
        r.set(k.security_type, k.v_ind);
        r.set(k.currency, k.v_twd);
        r.set(k.exchange, exchange);
        r.set(k.code, code);
        r.set(k.name, name);
        if (PyList_Append(group, r.take().ptr()) < 0) throw py::error_already_set();
    }
    return result;
}

}  // namespace contract
}  // namespace dorvane
