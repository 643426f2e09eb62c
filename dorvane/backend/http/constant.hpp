// The code-table module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

#include <functional>
#include <memory>

namespace dorvane {
namespace constant {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// constant_keys.cpp: the generator that a code-table class's keys() returns: it reads the class's own
// attribute mapping when iteration begins (not when it is made), yields the names that pass a filter in
// the mapping's order, and can be consumed once. It keeps a live iterator over the mapping, so a class
// that gains or loses an attribute mid-way makes the next step fail with the interpreter's RuntimeError.
// It speaks the generator protocol (send, throw, close) and is registered as a collections.abc.Generator.

class KeysGenerator {
public:
    using Filter = std::function<bool(py::handle)>;

    KeysGenerator(py::object cls, Filter filter) : cls_(std::move(cls)), filter_(std::move(filter)) {}

    static void bind(py::module_& m);
    static py::object make(py::object cls, Filter filter);

    py::object next();
    py::object send(py::object value);
    py::object throw_(py::object typ, py::object val, py::object tb);
    void close();

private:
    py::object cls_;
    Filter filter_;
    py::object iterator_;
    bool started_ = false;
    bool finished_ = false;
    bool running_ = false;
};

}  // namespace constant
}  // namespace dorvane
