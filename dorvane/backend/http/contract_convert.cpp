// Contract records are made from one shape per kind of record (pyglue::RecordShape): the option
// list alone can hold tens of thousands of entries, so a record shares its key table with every
// other record of its kind and holds only its values, and every field is read once from the entry's
// fields as `**entry` would give them (a missing field raises the KeyError that names it).
#include "contract.hpp"

#include <cstring>
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

// The fields of list entries that records read, by the index an Entry keeps them under.
const pyglue::Name* const kEntryFields[] = {
    &N::exchange,        &N::code,     &N::name,     &N::f_industry,  &N::f_ename,
    &N::f_deliverymonth, &N::f_csname, &N::category, &N::f_prod_kind, &N::f_ostock,
    &N::f_basic,         &N::f_poc,    &N::f_eprice};
constexpr size_t kEntryFieldCount = sizeof(kEntryFields) / sizeof(kEntryFields[0]);
// Their indexes.
enum EntryField : size_t {
    eExchange,
    eCode,
    eName,
    eIndustry,
    eEname,
    eDeliverymonth,
    eCsname,
    eCategory,
    eProdKind,
    eOstock,
    eBasic,
    ePoc,
    eEprice
};
constexpr int kOtherKey = -1;    // a key of no field a record reads
constexpr int kUnlikeText = -2;  // a key that is not plain text: only the dict itself compares it

// True when the plain texts `a` and `b` are equal.
bool same_text(PyObject* a, PyObject* b) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return a == b || (PyUnicode_GET_LENGTH(b) == length && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
                      std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                                  static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0);
}

// The entry field index of `key`, compared as the dict compares plain text: by identity, then by
// hash and value.
int entry_field_of(PyObject* key) {
    for (size_t i = 0; i < kEntryFieldCount; ++i)
        if (kEntryFields[i]->ptr() == key) return static_cast<int>(i);
    if (!PyUnicode_CheckExact(key)) return kUnlikeText;
    Py_hash_t hash = PyObject_Hash(key);  // cached in the text
    for (size_t i = 0; i < kEntryFieldCount; ++i) {
        PyObject* name = kEntryFields[i]->ptr();
        if (PyObject_Hash(name) == hash && same_text(name, key)) return static_cast<int>(i);
    }
    return kOtherKey;
}

class Entry;

// What one conversion learns from its entries. Which entry field the key at each position of an
// entry names: the entries of one list share their key objects (interned by the source, or one
// object per name from the JSON decoder) in the same order, so each key is compared once. And the
// unit of the last "basic" text: the entries of a list mostly repeat it, and records of equal
// texts then share one float (as equal as the float each would have made).
class KeyMemo {
public:
    // float(basic) for the entry `e`.
    py::object unit_of(PyObject* basic, Entry& e);

    // Only plain text is kept: the release of a key kept here, when the next entry differs, then
    // runs no Python code (a str subclass's __del__) while that entry's fields are borrowed.
    int field_of(size_t position, PyObject* key) {
        // A key kept here is plain text: the same object needs no look at its type.
        if (position < kPositions && keys_[position].ptr() == key) return fields_[position];
        if (position >= kPositions || !PyUnicode_CheckExact(key)) return entry_field_of(key);
        int field = entry_field_of(key);
        pyglue::drop(keys_[position]);
        keys_[position] = py::reinterpret_borrow<py::object>(key);  // held: its address stays its own
        fields_[position] = field;
        return field;
    }

private:
    static constexpr size_t kPositions = 24;
    py::object keys_[kPositions];
    int fields_[kPositions] = {};
    py::object basic_, unit_;
};

// The fields of one list entry, read the way named-field formatting with `**entry` reads a mapping:
// a dict, or a dict subclass that iterates as a dict, is read from its own storage (a defaultdict
// invents no field and gains no key; a missing field is the KeyError that names it); any other
// mapping is copied once through its keys() and item access, so only the fields it has are ever
// asked for. Each field is read once: the entry's storage is walked once (a table of text keys
// directly, any other through PyDict_Next), and a field is looked up by the dict only when a key is
// not plain text (the dict's own comparison then decides).
//
// The entry and what is read from it stay borrowed while no Python code can run. Before the first
// step that may run Python code (a field's own __format__, __float__ or strip, a lookup that compares
// with a key that is not plain text, a mapping's own keys() and item access), which could change the
// entry or drop it from its list, the entry and every field found so far are held, and so is every
// field found after it.
class Entry {
public:
    Entry(PyObject* entry, KeyMemo& memo) : entry_(entry), dict_(entry) {
        if (!PyDict_CheckExact(entry) &&
            !(PyDict_Check(entry) && Py_TYPE(entry)->tp_iter == PyDict_Type.tp_iter)) {
            may_run_python();
            copy_ = pyglue::steal(PyDict_New());
            if (PyDict_Merge(copy_.ptr(), entry, 1) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
                PyErr_Clear();
                pyglue::raise(PyExc_TypeError,
                              std::string("'") + Py_TYPE(entry)->tp_name + "' object is not a mapping");
            }
            dict_ = copy_.ptr();
        }
        Py_ssize_t count;
        if (const pyglue::compat::TextItem* items = pyglue::compat::text_items(dict_, &count)) {
            // Exact text keys only: each compares without running Python code.
            size_t position = 0;
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (!items[i].value) continue;
                int field = memo.field_of(position++, items[i].key);
                if (field >= 0) keep(field, items[i].value);
            }
            return;
        }
        Py_ssize_t at = 0;
        size_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict_, &at, &key, &value)) {
            int field = memo.field_of(position++, key);
            if (field >= 0) {
                keep(field, value);
            } else if (field == kUnlikeText) {
                // Each field is then looked up by the dict, whose comparison with such a key may
                // run Python code: from here on, what is found is held.
                may_run_python();
                walked_ = false;
                for (PyObject*& f : found_) {
                    Py_XDECREF(f);  // still the dict's: no code has run since it was found
                    f = nullptr;
                }
                break;
            }
        }
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() { release(); }

    // entry[name of field], borrowed (held while Python code may run); a missing field raises the
    // KeyError that names it, as the dict itself does.
    PyObject* get(EntryField field) {
        PyObject* v = find(field);
        if (!v) {
            PyObject* args = PyTuple_Pack(1, kEntryFields[field]->ptr());
            if (args) {
                PyErr_SetObject(PyExc_KeyError, args);
                Py_DECREF(args);
            }
            throw py::error_already_set();
        }
        return v;
    }
    // entry.get(name of field, fallback); `fallback` is kept by the caller.
    PyObject* get_or(EntryField field, PyObject* fallback) {
        PyObject* v = find(field);
        return v ? v : fallback;
    }
    // Called before a step that may run Python code: from here on, the entry and what was found
    // are held.
    void may_run_python() {
        if (held_) return;
        Py_INCREF(entry_);
        for (PyObject* f : found_) Py_XINCREF(f);
        held_ = true;
    }
    // Lets go of what was held, in ordinary code once the record is made.
    void release() {
        if (!held_) return;
        held_ = false;
        for (PyObject*& f : found_) {
            Py_XDECREF(f);
            f = nullptr;
        }
        Py_DECREF(entry_);
    }

private:
    // Keeps `value`, the field `field` found in the walk.
    void keep(int field, PyObject* value) {
        if (held_) Py_INCREF(value);
        found_[field] = value;
    }
    // The field, or null when the entry has none.
    PyObject* find(EntryField field) {
        if (walked_ || found_[field]) return found_[field];
        PyObject* v = pyglue::checked(PyDict_GetItemWithError(dict_, kEntryFields[field]->ptr()));
        if (v && held_) Py_INCREF(v);
        found_[field] = v;
        return v;
    }

    PyObject* entry_;  // the list's item, borrowed until held
    PyObject* dict_;
    py::object copy_;
    PyObject* found_[kEntryFieldCount] = {};
    bool walked_ = true;
    bool held_ = false;
};

// A symbol template "{a}{b}..." filled by named-field formatting, placeholder by placeholder in
// template order: each takes format(value, ""), which is the value itself for plain text. The
// symbol is written at once from the parts' characters when they are all ASCII, and joined as
// str.join joins otherwise.
template <std::size_t kParts>
class Symbol {
public:
    explicit Symbol(Entry& e) : e_(e) {}

    // Reads the field of the entry, fills it in as the next placeholder and returns it.
    PyObject* field(EntryField f) {
        PyObject* value = e_.get(f);
        add(value);
        return value;
    }
    // Fills `value` in as the next placeholder.
    void add(PyObject* value) {
        if (PyUnicode_CheckExact(value)) {
            add_text(value, PyUnicode_GET_LENGTH(value));
            return;
        }
        e_.may_run_python();
        owned_[count_] = pyglue::steal(PyObject_Format(value, N::v_empty));
        add_text(owned_[count_].ptr(), PyUnicode_GET_LENGTH(owned_[count_].ptr()));
    }
    // Fills the first `length` characters of the text `text` in as the next placeholder.
    void add_text(PyObject* text, Py_ssize_t length) {
        texts_[count_] = text;
        lengths_[count_] = length;
        ++count_;
    }
    // The filled template, a new str.
    py::object text() {
        Py_ssize_t total = 0;
        bool ascii = true;
        for (std::size_t i = 0; i < count_; ++i) {
            total += lengths_[i];
            ascii = ascii && PyUnicode_IS_ASCII(texts_[i]);
        }
        if (ascii) {
            py::object symbol = pyglue::steal(PyUnicode_New(total, 127));
            char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(symbol.ptr()));
            for (std::size_t i = 0; i < count_; ++i) {
                std::memcpy(out, PyUnicode_1BYTE_DATA(texts_[i]), static_cast<size_t>(lengths_[i]));
                out += lengths_[i];
            }
            return symbol;
        }
        for (std::size_t i = 0; i < count_; ++i) {
            if (lengths_[i] == PyUnicode_GET_LENGTH(texts_[i])) continue;
            owned_[i] = pyglue::steal(PyUnicode_Substring(texts_[i], 0, lengths_[i]));
            texts_[i] = owned_[i].ptr();
        }
        return pyglue::steal(pyglue::compat::join_array(N::v_empty, texts_, static_cast<Py_ssize_t>(count_)));
    }

private:
    Entry& e_;
    PyObject* texts_[kParts] = {};
    Py_ssize_t lengths_[kParts] = {};
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
// then its trailing "."s ("9800.0" -> "9800", ".0" -> ""); anything else stays. A text price is
// placed as its first characters, without a new text; any other object goes through its own
// endswith and rstrip, and what they give is placed whole (kept in `shown`).
void place_price(PyObject* eprice, Entry& e, py::object& shown, PyObject*& text, Py_ssize_t& length) {
    if (!PyUnicode_CheckExact(eprice)) {
        e.may_run_python();
        py::handle price(eprice);
        if (!pyglue::truthy(pyglue::call_method(price, N::endswith, ".0")))
            shown = py::reinterpret_borrow<py::object>(price);
        else
            shown = pyglue::call_method(pyglue::call_method(price, N::rstrip, "0"), N::rstrip, ".");
        text = shown.ptr();
        length = -1;
        return;
    }
    text = eprice;
    Py_ssize_t n = PyUnicode_GET_LENGTH(eprice);
    length = n;
    if (n < 2 || PyUnicode_READ_CHAR(eprice, n - 1) != '0' || PyUnicode_READ_CHAR(eprice, n - 2) != '.')
        return;
    while (length > 0 && PyUnicode_READ_CHAR(eprice, length - 1) == '0') --length;
    while (length > 0 && PyUnicode_READ_CHAR(eprice, length - 1) == '.') --length;
}

// float(value): text, integers and floats convert without running Python code.
py::object to_float(PyObject* value, Entry& e) {
    if (!PyUnicode_CheckExact(value) && !PyLong_CheckExact(value) && !PyFloat_CheckExact(value))
        e.may_run_python();
    return pyglue::steal(PyNumber_Float(value));
}

py::object KeyMemo::unit_of(PyObject* basic, Entry& e) {
    if (!PyUnicode_CheckExact(basic)) return to_float(basic, e);
    if (basic_ && same_text(basic, basic_.ptr())) return unit_;
    py::object unit = to_float(basic, e);
    pyglue::drop(basic_);
    pyglue::drop(unit_);
    basic_ = py::reinterpret_borrow<py::object>(basic);
    unit_ = unit;
    return unit;
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

// Asks the processor for the memory that the entries after the `i`th of the list `entries` will be
// read from, a step of the way for each: the dict of the fourth next, the key table of the second
// next (its dict read by now), the field values of the next (its table read by now). The entries of
// a long list lie far apart in memory, and their conversion waits mostly for it. Only what the list
// holds now is read, and nothing is written.
void prefetch_entries(PyObject* entries, Py_ssize_t i) {
    Py_ssize_t size = PyList_GET_SIZE(entries);
    if (i + 4 < size) __builtin_prefetch(PyList_GET_ITEM(entries, i + 4));
    if (i + 2 < size) {
        PyObject* entry = PyList_GET_ITEM(entries, i + 2);
        const char* table =
            PyDict_CheckExact(entry) ? static_cast<const char*>(pyglue::compat::key_table(entry)) : nullptr;
        for (int line = 0; table && line < 4; ++line) __builtin_prefetch(table + 64 * line);
    }
    if (i + 1 < size) {
        PyObject* entry = PyList_GET_ITEM(entries, i + 1);
        Py_ssize_t count;
        const pyglue::compat::TextItem* items =
            PyDict_CheckExact(entry) ? pyglue::compat::text_items(entry, &count) : nullptr;
        for (Py_ssize_t k = 0; items && k < count && k < 16; ++k) __builtin_prefetch(items[k].value, 1);
    }
}

// Calls visit(entry) for each item of `entries` in order: a list is read by index (its length
// read again at each step, as its iterator does), anything else through its iterator. A list's
// item is borrowed (the Entry holds it before any Python code runs); an iterator's is held while
// it is visited.
template <class Visit>
void for_each(PyObject* entries, Visit visit) {
    if (PyList_CheckExact(entries)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            prefetch_entries(entries, i);
            visit(PyList_GET_ITEM(entries, i));
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
py::object listing_record(PyObject* entry, KeyMemo& memo, const pyglue::RecordShape& shape, Field late,
                          EntryField late_field, Fill fill) {
    Entry e(entry, memo);
    PyObject* v[kFields] = {};
    Symbol<kParts> s(e);
    py::object kept = fill(e, s, v);
    py::object symbol = s.text();
    v[kSymbol] = symbol.ptr();
    v[kCode] = e.get(eCode);
    v[kName] = e.get(eCsname);
    v[late] = e.get(late_field);
    v[kUnderlyingKind] = e.get(eProdKind);
    v[kUnderlyingCode] = e.get(eOstock);
    py::object unit = memo.unit_of(e.get(eBasic), e);
    v[kUnit] = unit.ptr();
    return finish(shape, e, v);
}

py::object future_record(PyObject* entry, KeyMemo& memo) {
    return listing_record<2>(entry, memo, future_shape, kCategory, eCategory,
                             [](Entry&, Symbol<2>& s, PyObject** v) {
                                 s.field(eEname);
                                 v[kDeliveryMonth] = s.field(eDeliverymonth);
                                 return py::object();
                             });
}

py::object option_record(PyObject* entry, KeyMemo& memo) {
    return listing_record<4>(entry, memo, option_shape, kStrikePrice, eEprice,
                             [](Entry& e, Symbol<4>& s, PyObject** v) {
                                 // The trimming test reads a missing price as empty text; the strike price
                                 // still requires the field.
                                 py::object shown;
                                 PyObject* text;
                                 Py_ssize_t length;
                                 place_price(e.get_or(eEprice, N::v_empty), e, shown, text, length);
                                 v[kCategory] = s.field(eCategory);
                                 v[kDeliveryMonth] = s.field(eDeliverymonth);
                                 v[kOptionRight] = s.field(ePoc);
                                 if (length < 0)
                                     s.add(text);
                                 else
                                     s.add_text(text, length);
                                 return shown;
                             });
}

// Products in the mapping's order, entries in sequence order, grouped by product name.
template <class Build>
py::dict convert_by_product(py::handle contracts, Build build) {
    py::dict result;
    KeyMemo memo;
    py::object items = pyglue::call_method(contracts, N::items);
    for (py::handle pair : items) {
        py::object product = pair[py::int_(0)];
        py::object entries = pair[py::int_(1)];
        // The group is found (or made) at the product's first record, then appended to directly.
        PyObject* group = nullptr;
        for_each(entries.ptr(), [&](PyObject* entry) {
            py::object record = build(entry, memo);
            if (!group) group = group_of(result.ptr(), product.ptr());
            pyglue::require(pyglue::compat::list_append_steal(group, record.release().ptr()));
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
    KeyMemo memo;
    for_each(contracts.ptr(), [&](PyObject* entry) {
        Entry e(entry, memo);
        PyObject* v[kFields] = {};
        Symbol<2> s(e);
        v[kExchange] = s.field(eExchange);
        v[kCode] = s.field(eCode);
        py::object symbol = s.text();
        v[kSymbol] = symbol.ptr();
        py::object name = strip_spaces(e.get(eName), e);
        v[kName] = name.ptr();
        v[kCategory] = e.get(eIndustry);
        py::object record = finish(stock_shape, e, v);
        if (v[kExchange] != last_exchange.ptr()) {
            group = group_of(result.ptr(), v[kExchange]);
            pyglue::drop(last_exchange);
            last_exchange = py::reinterpret_borrow<py::object>(v[kExchange]);
        }
        pyglue::require(pyglue::compat::list_append_steal(group, record.release().ptr()));
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
