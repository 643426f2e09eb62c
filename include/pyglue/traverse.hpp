// What the cycle collector must see: Traversable state, visit/drop helpers and boxes.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// C++ state owned by a Python object (a coroutine's machine, a function's callee, a box) that
// holds Python references. traverse() visits each reference, as a type's tp_traverse does, so a
// reference cycle through the state is found and collected as one through Python objects would
// be; clear() drops each of them (tp_clear), which breaks such a cycle. Write both next to the
// members, with visit_members / drop_members: a reference the collector does not see keeps its
// whole cycle alive for ever, and one reference visited by two owners makes it free live objects
// (state two owners share goes in a pyglue::Box, whose reference count they share instead).
class Traversable {
public:
    virtual ~Traversable() = default;
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

namespace detail {

template <class T>
int visit_one(visitproc visit, void* arg, const T& member) {
    if constexpr (std::is_base_of_v<py::object, T>) {
        return member.ptr() ? visit(member.ptr(), arg) : 0;
    } else if constexpr (std::is_base_of_v<Traversable, T>) {
        return const_cast<T&>(member).traverse(visit, arg);
    } else {
        return 0;  // holds no Python reference (text, numbers, states)
    }
}

template <class T>
void drop_one(T& member) {
    if constexpr (std::is_base_of_v<py::object, T>)
        drop(member);
    else if constexpr (std::is_base_of_v<Traversable, T>)
        member.clear();
}

}  // namespace detail

// Visits every member that owns a Python reference (py::object and its kinds, Traversable state);
// the first non-zero answer of the visitor ends the visit, as Py_VISIT does.
template <class... T>
int visit_members(visitproc visit, void* arg, const T&... members) {
    int r = 0;
    ((r = r ? r : detail::visit_one(visit, arg, members)), ...);
    return r;
}

// Drops every member that owns a Python reference, in ordinary code (see drop).
template <class... T>
void drop_members(T&... members) {
    (detail::drop_one(members), ...);
}

// Boxes: C++ state shared through a Python reference count.

// A Python object that owns one Traversable value. State that several owners share (a decorated
// function and each coroutine it makes, say) lives in a box and each owner holds the box as a
// py::object: every owner's reference is then one the collector sees once, and the state goes
// when the last owner does.
struct BoxObject {
    PyObject_HEAD Traversable* value;
};

namespace detail {
inline PyTypeObject* box_type = nullptr;  // made at module initialisation (init_types)

// A glue type, which pyglue::set_module makes when the module initialises; a module that makes an
// object before that has a fault in its initialisation.
inline PyTypeObject* made(PyTypeObject* type) {
    if (!type)
        throw std::logic_error("the glue's types are made by pyglue::set_module at module initialisation");
    return type;
}
}  // namespace detail

// A new box holding T(args...).
template <class T, class... Args>
py::object box(Args&&... args) {
    auto value = std::make_unique<T>(std::forward<Args>(args)...);
    auto* self = PyObject_GC_New(BoxObject, detail::made(detail::box_type));
    if (!self) throw py::error_already_set();
    self->value = value.release();
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

// `function` bound to `self` as a method: the interpreter's own bound method, which calls
// function(self, ...). It is the cheap way to hand out a callable with state (a box) made many
// times: one shared function, made once, and a bound method for each use.
inline py::object bound(py::handle function, py::handle self) {
    PyObject* method = PyMethod_New(function.ptr(), self.ptr());
    if (!method) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(method);
}

// The value of `b` when it is a box holding a T, else null.
template <class T>
T* boxed(py::handle b) {
    if (!detail::box_type || Py_TYPE(b.ptr()) != detail::box_type) return nullptr;
    return dynamic_cast<T*>(reinterpret_cast<BoxObject*>(b.ptr())->value);
}

// The value of the box `b`, made by box<T>. A function bound to a box (see bound) is reachable
// from Python as the method's __func__, and can be called there with anything: what is not a box
// of this module holding a T is refused with TypeError instead of being read as one.
template <class T>
T& unbox(py::handle b) {
    T* value = boxed<T>(b);
    if (!value) {
        PyErr_Format(PyExc_TypeError, "expected the state this function is bound to, not %.100s",
                     Py_TYPE(b.ptr())->tp_name);
        throw py::error_already_set();
    }
    return *value;
}

namespace detail {

inline int box_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* b = reinterpret_cast<BoxObject*>(self);
    Py_VISIT(Py_TYPE(self));
    return b->value ? b->value->traverse(visit, arg) : 0;
}

inline int box_clear(PyObject* self) {
    auto* b = reinterpret_cast<BoxObject*>(self);
    if (b->value) b->value->clear();
    return 0;
}

// A box may hold the next link of a chain of any depth (a decorated function's box holds the
// function it decorates).
inline void box_dealloc(PyObject* self) {
    release_in_trashcan(self, &box_dealloc, [self] {
        auto* b = reinterpret_cast<BoxObject*>(self);
        PyTypeObject* t = Py_TYPE(self);
        Traversable* value = b->value;
        b->value = nullptr;
        if (value) value->clear();  // its references go here, not in its destructor
        delete value;
        PyObject_GC_Del(self);
        Py_DECREF(t);
    });
}

inline PyTypeObject* make_box_type() {
    static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&box_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(&box_clear)},
                                  {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc)},
                                  {0, nullptr}};
    static PyType_Spec spec = {"pyglue.box", sizeof(BoxObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
}

}  // namespace detail

}  // namespace pyglue
