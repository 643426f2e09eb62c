// Contract records are made from one shape per kind of record (pyglue::RecordShape): the option
// list alone can hold tens of thousands of entries, so a record shares its key table with every
// other record of its kind and holds only its values, and every field is read once from the entry's
// fields as `**entry` would give them (a missing field raises the KeyError that names it).
#include "contract.hpp"

#include <string>
#include <vector>

namespace dorvane {
namespace contract {

namespace {

// Field indexes of a record: the record table's order. Stock records have the first seven fields,
// index records the first six, futures and option records all fourteen.
enum Field : size_t {
    kSymbol,
    kSecurityType,
    kCurrency,
    kExchange,
    kCode,
    kName,
    kCategory,
    kDeliveryMonth,
    kStrikePrice,
    kOptionRight,
    kUnderlyingKind,
    kUnderlyingCode,
    kUnit,
    kMultiplier,
    kFields
};

// The four record shapes, defined at the module's initialisation (define_record_shapes).
pyglue::RecordShape stock_shape, future_shape, option_shape, index_shape;

// The fields of one list entry, read the way named-field formatting with `**entry` reads a mapping:
// a dict, or a dict subclass that iterates as a dict, is read from its own storage (a defaultdict
// invents no field and gains no key; a missing field is the KeyError that names it); any other
// mapping is copied once through its keys() and item access, so only the fields it has are ever
// asked for. Each field is read once.
//
// What is read stays borrowed from the entry while no Python code can run. Before the first step
// that may run Python code (a field's own __format__, __float__ or strip), which could change the
// entry, every field read so far is held, and so is every field read after it.
class Entry {
public:
    explicit Entry(PyObject* entry) : dict_(entry) {
        if (PyDict_CheckExact(entry) ||
            (PyDict_Check(entry) && Py_TYPE(entry)->tp_iter == PyDict_Type.tp_iter))
            return;
        copy_ = pyglue::steal(PyDict_New());
        if (PyDict_Merge(copy_.ptr(), entry, 1) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            pyglue::raise(PyExc_TypeError,
                          std::string("'") + Py_TYPE(entry)->tp_name + "' object is not a mapping");
        }
        dict_ = copy_.ptr();
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() { release(); }

    // entry[key], borrowed (held while Python code may run); a missing key raises the KeyError
    // that names it, as the dict itself does.
    PyObject* get(PyObject* key) {
        PyObject* v = PyDict_GetItemWithError(dict_, key);
        if (!v) {
            if (!PyErr_Occurred()) {
                PyObject* args = PyTuple_Pack(1, key);
                if (args) {
                    PyErr_SetObject(PyExc_KeyError, args);
                    Py_DECREF(args);
                }
            }
            throw py::error_already_set();
        }
        return keep(v);
    }
    // entry.get(key, fallback); `fallback` is kept by the caller.
    PyObject* get_or(PyObject* key, PyObject* fallback) {
        PyObject* v = pyglue::checked(PyDict_GetItemWithError(dict_, key));
        return v ? keep(v) : fallback;
    }
    // Called before a step that may run Python code: from here on, what was read is held.
    void may_run_python() {
        if (held_) return;
        for (size_t i = 0; i < count_; ++i) Py_INCREF(read_[i]);
        held_ = true;
    }
    // Lets go of what was held, in ordinary code once the record is made.
    void release() {
        if (!held_) return;
        held_ = false;
        for (size_t i = 0; i < count_; ++i) Py_DECREF(read_[i]);
        count_ = 0;
    }

private:
    PyObject* keep(PyObject* v) {
        if (held_) Py_INCREF(v);
        read_[count_++] = v;
        return v;
    }

    PyObject* dict_;
    py::object copy_;
    PyObject* read_[kFields] = {};
    size_t count_ = 0;
    bool held_ = false;
};

// A symbol template "{a}{b}..." filled by named-field formatting, placeholder by placeholder in
// template order: each takes format(value, ""), which is the value itself for plain text.
template <std::size_t kParts>
class Symbol {
public:
    explicit Symbol(Entry& e) : e_(e) {}

    // Reads the field `key` of the entry, fills it in as the next placeholder and returns it.
    PyObject* field(PyObject* key) {
        PyObject* value = e_.get(key);
        add(value);
        return value;
    }
    // Fills `value` in as the next placeholder.
    void add(PyObject* value) {
        if (PyUnicode_CheckExact(value)) {
            texts_[count_++] = value;
            return;
        }
        e_.may_run_python();
        owned_[count_] = pyglue::steal(PyObject_Format(value, N::v_empty));
        texts_[count_] = owned_[count_].ptr();
        ++count_;
    }
    // The filled template, a new str.
    py::object text() const {
        return pyglue::steal(pyglue::compat::join_array(N::v_empty, texts_, static_cast<Py_ssize_t>(count_)));
    }

private:
    Entry& e_;
    PyObject* texts_[kParts] = {};
    py::object owned_[kParts];
    std::size_t count_ = 0;
};

// Text with the space characters (only " ") removed at both ends; other objects go through their
// own strip(" "), so a value that is not text fails as the interpreter makes it fail.
py::object strip_spaces(PyObject* value, Entry& e) {
    if (!PyUnicode_CheckExact(value)) {
        e.may_run_python();
        return pyglue::call_method(value, N::strip, " ");
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    Py_ssize_t begin = 0, end = n;
    while (begin < end && PyUnicode_READ_CHAR(value, begin) == ' ') ++begin;
    while (end > begin && PyUnicode_READ_CHAR(value, end - 1) == ' ') --end;
    if (begin == 0 && end == n) return py::reinterpret_borrow<py::object>(value);
    return pyglue::steal(PyUnicode_Substring(value, begin, end));
}

// The option price as placed in the symbol: a text ending in ".0" loses its trailing "0"s and
// then its trailing "."s ("9800.0" -> "9800", ".0" -> ""); anything else stays.
py::object trim_price(PyObject* eprice, Entry& e) {
    if (!PyUnicode_CheckExact(eprice)) {
        e.may_run_python();
        py::handle price(eprice);
        if (!pyglue::truthy(pyglue::call_method(price, N::endswith, ".0")))
            return py::reinterpret_borrow<py::object>(price);
        return pyglue::call_method(pyglue::call_method(price, N::rstrip, "0"), N::rstrip, ".");
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(eprice);
    if (n < 2 || PyUnicode_READ_CHAR(eprice, n - 1) != '0' || PyUnicode_READ_CHAR(eprice, n - 2) != '.')
        return py::reinterpret_borrow<py::object>(eprice);
    Py_ssize_t end = n;
    while (end > 0 && PyUnicode_READ_CHAR(eprice, end - 1) == '0') --end;
    while (end > 0 && PyUnicode_READ_CHAR(eprice, end - 1) == '.') --end;
    return pyglue::steal(PyUnicode_Substring(eprice, 0, end));
}

// float(value): text, integers and floats convert without running Python code.
py::object to_float(PyObject* value, Entry& e) {
    if (!PyUnicode_CheckExact(value) && !PyLong_CheckExact(value) && !PyFloat_CheckExact(value))
        e.may_run_python();
    return pyglue::steal(PyNumber_Float(value));
}

// result[key], a new empty list when the key has none yet; borrowed from `result`.
PyObject* group_of(PyObject* result, PyObject* key) {
    PyObject* group = PyDict_GetItemWithError(result, key);
    if (group) return group;
    pyglue::raise_if_error();
    py::object fresh = pyglue::steal(PyList_New(0));
    pyglue::require(PyDict_SetItem(result, key, fresh.ptr()));
    return fresh.ptr();  // the result now holds it
}

// Calls visit(entry) for each item of `entries` in order: a list is read by index (its length
// read again at each step, as its iterator does), anything else through its iterator. Each entry
// is held while it is visited.
template <class Visit>
void for_each(PyObject* entries, Visit visit) {
    if (PyList_CheckExact(entries)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            py::object entry = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(entries, i));
            visit(entry.ptr());
        }
        return;
    }
    py::object it = pyglue::steal(PyObject_GetIter(entries));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        py::object entry = py::reinterpret_steal<py::object>(next);
        visit(entry.ptr());
    }
    pyglue::raise_if_error();
}

// A new record of `shape` from `values`, appended to `group`.
void append_record(PyObject* group, const pyglue::RecordShape& shape, PyObject* const* values) {
    py::object record = pyglue::steal(shape.make(values));
    pyglue::require(PyList_Append(group, record.ptr()));
}

// The record of `shape` made of `v`; what the entry held goes.
py::object finish(const pyglue::RecordShape& shape, Entry& e, PyObject* const* v) {
    py::object record = pyglue::steal(shape.make(v));
    e.release();
    return record;
}

// A futures or option record. fill(e, s, v) fills the symbol's placeholders (keeping in `v` the
// fields it reads that the record holds too) and returns what the symbol needs kept; then come the
// code and the name, the field `late` (the futures' category, the options' strike price), the
// underlying and the unit.
template <std::size_t kParts, class Fill>
py::object listing_record(PyObject* entry, const pyglue::RecordShape& shape, Field late, PyObject* late_key,
                          Fill fill) {
    Entry e(entry);
    PyObject* v[kFields] = {};
    Symbol<kParts> s(e);
    py::object kept = fill(e, s, v);
    py::object symbol = s.text();
    v[kSymbol] = symbol.ptr();
    v[kCode] = e.get(N::code);
    v[kName] = e.get(N::f_csname);
    v[late] = e.get(late_key);
    v[kUnderlyingKind] = e.get(N::f_prod_kind);
    v[kUnderlyingCode] = e.get(N::f_ostock);
    py::object unit = to_float(e.get(N::f_basic), e);
    v[kUnit] = unit.ptr();
    return finish(shape, e, v);
}

py::object future_record(PyObject* entry) {
    return listing_record<2>(entry, future_shape, kCategory, N::category,
                             [](Entry&, Symbol<2>& s, PyObject** v) {
                                 s.field(N::f_ename);
                                 v[kDeliveryMonth] = s.field(N::f_deliverymonth);
                                 return py::object();
                             });
}

py::object option_record(PyObject* entry) {
    return listing_record<4>(entry, option_shape, kStrikePrice, N::f_eprice,
                             [](Entry& e, Symbol<4>& s, PyObject** v) {
                                 // The trimming test reads a missing price as empty text; the strike price
                                 // still requires the field.
                                 py::object shown = trim_price(e.get_or(N::f_eprice, N::v_empty), e);
                                 v[kCategory] = s.field(N::category);
                                 v[kDeliveryMonth] = s.field(N::f_deliverymonth);
                                 v[kOptionRight] = s.field(N::f_poc);
                                 s.add(shown.ptr());
                                 return shown;
                             });
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
        for_each(entries.ptr(), [&](PyObject* entry) {
            py::object record = build(entry);
            if (!group) group = group_of(result.ptr(), product.ptr());
            pyglue::require(PyList_Append(group, record.ptr()));
        });
    }
    return result;
}

// The keys of a record, indexed by Field.
PyObject* record_key(size_t field) {
    const pyglue::Name* keys[kFields] = {
        &N::symbol,       &N::security_type, &N::currency,        &N::exchange,
        &N::code,         &N::name,          &N::category,        &N::delivery_month,
        &N::strike_price, &N::option_right,  &N::underlying_kind, &N::underlying_code,
        &N::unit,         &N::multiplier};
    return keys[field]->ptr();
}

// Defines `shape` as the first `count` fields of the record table, with the fixed values given.
void define_shape(pyglue::RecordShape& shape, size_t count,
                  std::initializer_list<std::pair<Field, PyObject*>> fixed) {
    std::vector<std::pair<PyObject*, PyObject*>> fields;
    for (size_t i = 0; i < count; ++i) fields.emplace_back(record_key(i), nullptr);
    for (const auto& f : fixed) fields[f.first].second = f.second;
    shape.define(fields);
}

}  // namespace

void define_record_shapes() {
    PyObject* zero = pyglue::require(PyLong_FromLong(0));  // kept for the life of the process
    define_shape(stock_shape, kDeliveryMonth, {{kSecurityType, N::v_stk}, {kCurrency, N::v_twd}});
    define_shape(index_shape, kCategory, {{kSecurityType, N::v_ind}, {kCurrency, N::v_twd}});
    define_shape(future_shape, kFields,
                 {{kSecurityType, N::v_fut},
                  {kCurrency, N::v_twd},
                  {kExchange, N::v_taifex},
                  {kStrikePrice, zero},
                  {kOptionRight, N::v_empty},
                  {kMultiplier, zero}});
    define_shape(
        option_shape, kFields,
        {{kSecurityType, N::v_opt}, {kCurrency, N::v_twd}, {kExchange, N::v_taifex}, {kMultiplier, zero}});
}

py::dict stock_dict_convert(py::handle contracts) {
    py::dict result;
    // The group of the last record's exchange, kept while the next entry names the same object.
    py::object last_exchange;
    PyObject* group = nullptr;
    for_each(contracts.ptr(), [&](PyObject* entry) {
        Entry e(entry);
        PyObject* v[kFields] = {};
        Symbol<2> s(e);
        v[kExchange] = s.field(N::exchange);
        v[kCode] = s.field(N::code);
        py::object symbol = s.text();
        v[kSymbol] = symbol.ptr();
        py::object name = strip_spaces(e.get(N::name), e);
        v[kName] = name.ptr();
        v[kCategory] = e.get(N::f_industry);
        py::object record = finish(stock_shape, e, v);
        if (v[kExchange] != last_exchange.ptr()) {
            group = group_of(result.ptr(), v[kExchange]);
            pyglue::drop(last_exchange);
            last_exchange = py::reinterpret_borrow<py::object>(v[kExchange]);
        }
        pyglue::require(PyList_Append(group, record.ptr()));
    });
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
        py::object symbol = pyglue::steal(PyNumber_Add(exchange.ptr(), code.ptr()));
        PyObject* v[kFields] = {};
        v[kSymbol] = symbol.ptr();
        v[kExchange] = exchange.ptr();
        v[kCode] = code.ptr();
        v[kName] = name.ptr();
        append_record(group, index_shape, v);
    }
    return result;
}

}  // namespace contract
}  // namespace dorvane
