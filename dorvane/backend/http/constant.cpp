// dorvane.backend.http.constant: the classes from which code tables are made.
//
//  * MetaProps: a metaclass; a class built on it answers keys() (its own public class attributes,
//    as a lazy generator), item access (attribute look-up) and a compact text form;
//  * BaseProps: the empty base class whose metaclass is MetaProps;
//  * Constant: built from an object of option names, its instance translates both ways between
//    each option value and the code that the subclass declares for the option's name.
//
// The module imports nothing and keeps no data.
#include "pyglue.hpp"
#include "reply_convention.hpp"

#include <functional>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

// The names the module reads and sets.
namespace N {
inline const pyglue::Name __dict__{"__dict__"};
inline const pyglue::Name __name__{"__name__"};
inline const pyglue::Name items{"items"};
inline const pyglue::Name join{"join"};
inline const pyglue::Name startswith{"startswith"};
inline const pyglue::Name __repr__{"__repr__"};
inline const pyglue::Name keys{"keys"};
inline const pyglue::Name __getitem__{"__getitem__"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

// The class's own attribute mapping (its __dict__), never its bases'.
py::object own_dict(py::handle cls) { return attr(cls, N::__dict__); }

// The generator that a code-table class's keys() returns: it reads the class's own attribute
// mapping when iteration begins (not when it is made), yields the names that pass a filter in the
// mapping's order, and can be consumed once. It keeps a live iterator over the mapping, so a class
// that gains or loses an attribute mid-way makes the next step fail with the interpreter's
// RuntimeError. It is a generator object of the glue (send, throw, close, gi_running, a
// collections.abc.Generator).
class KeysGenerator : public pyglue::Coroutine {
public:
    using Filter = std::function<bool(py::handle)>;

    KeysGenerator(py::object cls, Filter filter)
        : pyglue::Coroutine("MetaProps.keys", Kind::Generator),
          cls_(std::move(cls)),
          filter_(std::move(filter)) {}

protected:
    Step step(py::object, py::object exc) override {
        // A thrown exception (GeneratorExit from close included) ends the generator with it; so
        // does a failed step, as an exception leaving a generator does.
        if (!exc.is_none()) pyglue::raise(exc);
        if (!iterator_) iterator_ = py::iter(own_dict(cls_));
        for (;;) {
            PyObject* name = PyIter_Next(iterator_.ptr());
            if (!name) {
                pyglue::raise_if_error();
                // Dropped in ordinary code: a generator may end on any thread (pyglue::drop).
                pyglue::drop_members(iterator_, cls_);
                return Step::finish();
            }
            py::object held = py::reinterpret_steal<py::object>(name);
            if (filter_(held)) return Step::yield(held);
        }
    }

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, cls_, iterator_);
    }
    void clear() override { pyglue::drop_members(cls_, iterator_); }

private:
    py::object cls_;
    Filter filter_;  // plain C++: holds no Python object
    py::object iterator_;
};

py::object type_type() {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
}

// name.startswith("_") for text (the first character only); other keys go through their own
// startswith, so a key that is not text fails as the interpreter makes it fail.
bool starts_with(py::handle name, const char* prefix) {
    if (PyUnicode_Check(name.ptr())) {
        Py_ssize_t n = static_cast<Py_ssize_t>(std::char_traits<char>::length(prefix));
        if (PyUnicode_GET_LENGTH(name.ptr()) < n) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyUnicode_READ_CHAR(name.ptr(), i) != static_cast<Py_UCS4>(prefix[i])) return false;
        return true;
    }
    return pyglue::truthy(call_method(name, N::startswith, prefix));
}

py::str meta_repr(py::object cls) {
    py::list names;
    for (py::handle name : own_dict(cls))
        if (!starts_with(name, "_")) names.append(name);
    py::object cls_name = attr(cls, N::__name__);
    py::object shown = starts_with(cls_name, "_") ? py::str("") : cls_name;
    return py::str("{}({})").format(shown, call_method(py::str(", "), N::join, names));
}

py::object meta_keys(py::object cls) {
    return pyglue::Coroutine::make<KeysGenerator>(cls,
                                                  [](py::handle name) { return !starts_with(name, "_"); });
}

// cls[key] on a code-table class: the class attribute `key`.
py::object meta_getitem(py::object cls, py::object key) { return pyglue::attr(cls, key.ptr()); }

// For each option name k (not beginning with "__") of vars(ops), with value v: when the object
// resolves k to a code other than None, the object gets v -> code and code -> v. The entries are
// taken first, so ops is read once.
void constant_init(py::object self, py::object ops) {
    py::object names = pyglue::import_from("builtins", "vars")(ops);
    py::dict snapshot;
    for (py::handle item : call_method(names, N::items)) {
        py::object key = item[py::int_(0)];
        if (!starts_with(key, "__")) snapshot[key] = item[py::int_(1)];
    }
    for (auto entry : snapshot) {
        py::handle k = entry.first, v = entry.second;
        if (dorvane_http::attr_or_none(self, k).is_none()) continue;
        pyglue::set_attr(self, v.ptr(), pyglue::attr(self, k.ptr()));
        pyglue::set_attr(self, pyglue::attr(self, k.ptr()).ptr(), v);
    }
}

}  // namespace

PYBIND11_MODULE(constant, m) {
    pyglue::set_module(m);
    pyglue::PlainClass constant(m, "Constant");
    constant.def("__init__", &constant_init, py::arg("ops"));

    pyglue::PlainClass meta(m, "MetaProps", py::make_tuple(type_type()));
    // The metaclass's methods receive the class they are called on: their first parameter is cls.
    set_attr(meta.cls(), N::__repr__,
             pyglue::make_function(m, "MetaProps.__repr__", &meta_repr, py::arg("cls")));
    set_attr(meta.cls(), N::keys, pyglue::make_function(m, "MetaProps.keys", &meta_keys, py::arg("cls")));
    set_attr(
        meta.cls(), N::__getitem__,
        pyglue::make_function(m, "MetaProps.__getitem__", &meta_getitem, py::arg("cls"), py::arg("key")));

    pyglue::PlainClass base(m, "BaseProps", py::tuple(), meta.cls());
}
