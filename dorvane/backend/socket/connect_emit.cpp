#include "connect.hpp"

namespace dorvane_connect {

namespace {

// The emitter's methods that its emission goes through, looked up on the instance.
const pyglue::Name* const kEmitPath[] = {&N::emit, &N::_call_handlers, &N::_emit_run,
                                         &N::_emit_handle_potential_error};
constexpr int kEmitPathSize = static_cast<int>(sizeof kEmitPath / sizeof kEmitPath[0]);

}  // namespace

void Emitter::init(py::handle emitter_class) {
    known_ = false;
    PyObject* cls = emitter_class.ptr();
    if (!PyType_Check(cls)) return;
    type_ = reinterpret_cast<PyTypeObject*>(py::handle(cls).inc_ref().ptr());
    for (int i = 0; i < kEmitPathSize; ++i) {
        PyObject* f = pyglue::compat::type_lookup(type_, kEmitPath[i]->ptr());
        if (!f || !PyFunction_Check(f)) return;
        functions_[i] = py::handle(f).inc_ref().ptr();
    }
    // The lock type pyee's emitters hold, and the exception it raises for an unhandled "error".
    py::object lock = pyglue::import_from("threading", "Lock")();
    lock_type_ = py::handle(reinterpret_cast<PyObject*>(Py_TYPE(lock.ptr()))).inc_ref().ptr();
    if (lock_type_ != pyglue::import_from("_thread", "LockType").ptr()) return;
    unhandled_type_ = pyglue::import_from("pyee", "PyeeException").release().ptr();
    version_ = pyglue::compat::type_version(type_);
    known_ = true;
}

bool Emitter::class_intact() {
    unsigned int version = pyglue::compat::type_version(type_);
    if (version != 0 && version == version_) return true;
    for (int i = 0; i < kEmitPathSize; ++i) {
        if (pyglue::compat::type_lookup(type_, kEmitPath[i]->ptr()) != functions_[i]) return false;
    }
    version_ = pyglue::compat::type_version(type_);  // the look-ups above gave it a tag again
    return true;
}

bool Emitter::snapshot(py::handle emitter, PyObject* event, py::object& listeners) {
    PyObject* e = emitter.ptr();
    if (!known_ || Py_TYPE(e) != type_ || !class_intact()) return false;
    PyObject* own = pyglue::compat::instance_dict(e);  // borrowed
    if (!own || !PyDict_CheckExact(own)) return false;
    PyObject* events = PyDict_GetItemWithError(own, N::_events);  // borrowed
    PyObject* lock = events ? PyDict_GetItemWithError(own, N::_lock) : nullptr;
    if (!lock) {
        PyErr_Clear();
        return false;
    }
    if (PyDict_GET_SIZE(own) != 2) {
        // Something else was set on the instance: none of it may stand in for the emission.
        for (const pyglue::Name* name : kEmitPath) {
            if (PyDict_GetItemWithError(own, name->ptr()) || PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
    }
    // The emission copies the listeners while it holds the emitter's lock: while another thread
    // holds it, that emission waits, and so does this one (through pyee).
    if (Py_TYPE(lock) != reinterpret_cast<PyTypeObject*>(lock_type_) ||
        pyglue::compat::thread_lock_held(lock))
        return false;
    if (!PyDict_CheckExact(events)) return false;
    PyObject* table = PyDict_GetItemWithError(events, event);  // borrowed
    if (!table) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        listeners = py::none();
        return true;
    }
    if (!PyODict_CheckExact(table)) return false;
    Py_ssize_t count = PyDict_GET_SIZE(table);
    if (count == 0) {
        listeners = py::none();
    } else if (count == 1) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(table, &pos, &key, &value);
        listeners = py::reinterpret_borrow<py::object>(value);
    } else {
        // The listeners in the order they subscribed, as the ordered table gives them.
        py::object values = call_method(table, N::values);
        listeners = pyglue::steal(PySequence_List(values.ptr()));
    }
    return true;
}

bool Emitter::emit(py::handle emitter, PyObject* event, py::handle arg) {
    py::object listeners;
    if (!snapshot(emitter, event, listeners)) {
        py::object handled = arg ? call_method(emitter, N::emit, py::handle(event), arg)
                                 : call_method(emitter, N::emit, py::handle(event));
        return truthy(handled);
    }
    auto call = [&](PyObject* f) {
        PyObject* r = arg ? PyObject_CallOneArg(f, arg.ptr()) : PyObject_CallNoArgs(f);
        pyglue::steal(r);
    };
    if (PyList_CheckExact(listeners.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listeners.ptr()); ++i)
            call(PyList_GET_ITEM(listeners.ptr(), i));
        return true;
    }
    if (!listeners.is_none()) {
        call(listeners.ptr());
        return true;
    }
    if (event == N::ev_error.ptr()) {
        // Nobody listens to "error": the emitter raises the emitted exception itself.
        py::object error = arg ? py::reinterpret_borrow<py::object>(arg) : py::none();
        if (pyglue::is_exception(error)) pyglue::raise(error);
        py::object text = pyglue::steal(PyObject_Format(error.ptr(), nullptr));
        py::object message =
            pyglue::steal(PyUnicode_FromFormat("Uncaught, unspecified 'error' event: %U", text.ptr()));
        pyglue::raise(py::reinterpret_borrow<py::object>(unhandled_type_)(message));
    }
    return false;
}

}  // namespace dorvane_connect
