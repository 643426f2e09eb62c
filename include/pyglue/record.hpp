// Dicts of one fixed list of text keys, made many times: small, and built without hashing a key.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <stdexcept>
#include <utility>
#include <vector>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// The shape of a record: its keys in order and, for the fields every record holds alike, that
// value. Each record is a copy of one template dict that shares its key table (so a record holds
// only its values, and is no larger than the dict Python builds for the same keys); the fields
// given per record are then written into the copy's values, in the key order of the shape whatever
// order they were read in. A record is an ordinary dict in every other way (a key added or removed
// later turns it into a dict with a table of its own, as the interpreter does).
//
// Made once, with the interpreter lock held (at the module's initialisation), and kept for the
// life of the process, as a Name is:
//     shape.define({{N::symbol, nullptr}, {N::security_type, N::v_opt}, ...});
//     PyObject* record = shape.make(values);  // values[i] for each field without a fixed value
class RecordShape {
public:
    RecordShape() = default;
    RecordShape(const RecordShape&) = delete;
    RecordShape& operator=(const RecordShape&) = delete;

    // The keys (interned text) in record order, each with its fixed value or null for a field
    // that each record gives.
    void define(const std::vector<std::pair<PyObject*, PyObject*>>& fields) {
        if (template_) throw std::logic_error("a record shape is defined once");
        for (const auto& field : fields) {
            keys_.push_back(field.first);
            if (!field.second) given_.push_back(keys_.size() - 1);
        }
        // The template is first made with a distinct object under each key, which shows where each
        // key's value stands in a copy; then the fixed values (None for the given ones) go in.
        std::vector<py::object> marks;
        std::vector<PyObject*> values;
        for (size_t i = 0; i < keys_.size(); ++i) {
            marks.push_back(py::reinterpret_steal<py::object>(require(PyLong_FromSize_t(1000 + i))));
            values.push_back(marks.back().ptr());
        }
        // The table is sealed before the first copy, so each copy's values array holds the keys and
        // no room for more.
        py::object made = py::reinterpret_steal<py::object>(require(
            compat::shared_key_dict(keys_.data(), values.data(), static_cast<Py_ssize_t>(keys_.size()))));
        compat::seal_shared_keys(made.ptr());
        made = py::reinterpret_steal<py::object>(require(PyDict_Copy(made.ptr())));
        py::object copy = py::reinterpret_steal<py::object>(require(PyDict_Copy(made.ptr())));
        PyObject** slots = compat::shared_values(copy.ptr());
        in_place_ = slots != nullptr;
        for (size_t i = 0; in_place_ && i < keys_.size(); ++i) in_place_ = slots[i] == values[i];
        auto it = fields.begin();
        for (size_t i = 0; i < keys_.size(); ++i, ++it)
            require(PyDict_SetItem(made.ptr(), keys_[i], it->second ? it->second : Py_None));
        template_ = made.release().ptr();
    }

    size_t size() const { return keys_.size(); }

    // A new record: `values[i]` (borrowed, indexed as the keys) for each field without a fixed
    // value; the other entries of `values` are not read. A new reference, or null with an error set.
    //
    // The values are held before the copy is made: its allocation may start the collector, which
    // runs Python code (finalisers, weakref callbacks, gc.callbacks) that may release what the
    // caller only borrows (an entry's fields, the entry's list emptied). The record takes them.
    PyObject* make(PyObject* const* values) const {
        for (size_t i : given_) Py_INCREF(values[i]);
        PyObject* record = PyDict_Copy(template_);
        PyObject** slots = record && in_place_ ? compat::shared_values(record) : nullptr;
        if (!slots) {
            bool ok = record != nullptr;
            for (size_t i : given_) {
                ok = ok && PyDict_SetItem(record, keys_[i], values[i]) == 0;
                Py_DECREF(values[i]);
            }
            if (ok) return record;
            Py_XDECREF(record);
            return nullptr;
        }
        // The copy is new and seen by no other code: its values are written in place, and the
        // collector is told of it once it holds an object that can be part of a cycle, as the
        // dict's own insertion would (a type object counts as one even where it cannot be).
        bool track = false;
        for (size_t i : given_) {
            PyObject* value = values[i];  // held above: the slot takes that reference
            slots[i] = value;
            track = track || (PyType_IS_GC(Py_TYPE(value)) &&
                              (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value)));
        }
        // Each given slot held the template's None, one count each, dropped together: the template
        // keeps None's count above them.
        Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) - static_cast<Py_ssize_t>(given_.size()));
        if (track && !PyObject_GC_IsTracked(record)) PyObject_GC_Track(record);
        return record;
    }

private:
    PyObject* template_ = nullptr;  // kept for the life of the process
    bool in_place_ = false;         // a copy's values stand in key order (proved on the template)
    std::vector<PyObject*> keys_;   // interned names, kept for the life of the process
    std::vector<size_t> given_;     // the indexes of the fields each record gives
};

}  // namespace pyglue
