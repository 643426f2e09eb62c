#include "constant.hpp"

#include "pyglue.hpp"

namespace dorvane {
namespace constant {

namespace {

struct Running {
    bool& flag;
    explicit Running(bool& f) : flag(f) {
        if (flag) pyglue::raise(PyExc_ValueError, "generator already executing");
        flag = true;
    }
    ~Running() { flag = false; }
};

[[noreturn]] void stop() {
    PyErr_SetNone(PyExc_StopIteration);
    throw py::error_already_set();
}

}  // namespace

void KeysGenerator::bind(py::module_& m) {
    auto cls = py::class_<KeysGenerator, std::shared_ptr<KeysGenerator>>(m, "generator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &KeysGenerator::next)
        .def("send", &KeysGenerator::send, py::arg("value"))
        .def("throw", &KeysGenerator::throw_, py::arg("typ"), py::arg("val") = py::none(),
             py::arg("tb") = py::none())
        .def("close", &KeysGenerator::close)
        .def_property_readonly("gi_running", [](KeysGenerator& g) { return g.running_; })
        .def("__repr__", [](KeysGenerator&) { return std::string("<generator object MetaProps.keys>"); });
    py::module_::import("collections.abc").attr("Generator").attr("register")(cls);
    // The type lives as long as the process, whether or not the module keeps it as a name.
    cls.inc_ref();
}

py::object KeysGenerator::make(py::object cls, Filter filter) {
    return py::cast(std::make_shared<KeysGenerator>(std::move(cls), std::move(filter)));
}

py::object KeysGenerator::next() {
    Running guard(running_);
    if (finished_) stop();
    try {
        if (!started_) {
            started_ = true;
            iterator_ = py::iter(cls_.attr("__dict__"));
        }
        for (;;) {
            PyObject* name = PyIter_Next(iterator_.ptr());
            if (!name) {
                if (PyErr_Occurred()) throw py::error_already_set();
                finished_ = true;
                iterator_ = py::object();
                cls_ = py::object();
                stop();
            }
            py::object held = py::reinterpret_steal<py::object>(name);
            if (filter_(held)) return held;
        }
    } catch (py::error_already_set&) {
        // A failed step ends the generator, as an exception leaving a generator does.
        finished_ = true;
        iterator_ = py::object();
        throw;
    }
}

py::object KeysGenerator::send(py::object value) {
    if (!started_ && !finished_ && !value.is_none())
        pyglue::raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return next();
}

py::object KeysGenerator::throw_(py::object typ, py::object val, py::object) {
    py::object exc = pyglue::exception_from_throw(std::move(typ), std::move(val));
    finished_ = true;
    iterator_ = py::object();
    pyglue::raise(exc);
}

void KeysGenerator::close() {
    finished_ = true;
    iterator_ = py::object();
}

}  // namespace constant
}  // namespace dorvane
