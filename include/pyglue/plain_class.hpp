// Plain Python classes built with type(name, bases, namespace) and filled with Functions.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// Builds `type(name, bases, {})` (or `metaclass(...)`), with __module__ and __qualname__ set, and
// fills it with C++ methods. Methods receive `self` as their first argument.
class PlainClass {
public:
    PlainClass(
        py::module_ m, const char* name, py::tuple bases = py::tuple(),
        py::object metaclass = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)),
        const char* doc = nullptr) {
        py::dict ns;
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = name;
        if (doc) ns["__doc__"] = doc;
        cls_ = metaclass(name, bases, ns);
        m.attr(name) = cls_;
    }

    // A method: a Function whose first parameter is `self`, qualified by the class's name.
    template <class F, class... Extra>
    PlainClass& def(const char* name, F&& f, const Extra&... extra) {
        py::setattr(cls_, name, method(name, std::forward<F>(f), extra...));
        return *this;
    }

    // A read-only property computed in C++.
    template <class F>
    PlainClass& def_property_readonly(const char* name, F&& getter) {
        py::object prop = import_from("builtins", "property")(method(name, std::forward<F>(getter)));
        py::setattr(cls_, name, prop);
        return *this;
    }

    // A Function that takes `self` first, qualified by the class's name, not yet set on the class.
    template <class F, class... Extra>
    py::object method(const char* name, F&& f, const Extra&... extra) const {
        return Function::make(function_parts(std::forward<F>(f), true, extra...), qualname(name),
                              cls_.attr("__module__"));
    }

    // Sets the class attribute `name`.
    PlainClass& set(const char* name, py::object value) {
        py::setattr(cls_, name, std::move(value));
        return *this;
    }

    py::object cls() const { return cls_; }

private:
    std::string qualname(const char* name) const {
        return std::string(py::str(cls_.attr("__qualname__"))) + "." + name;
    }

    py::object cls_;
};

}  // namespace pyglue
