// The Python type of functions, and the helpers that make and define them.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <string>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// The glue's function, coroutine and generator types are made as the interpreter makes its own:
// static types named "function", "coroutine" and "generator", of builtins. What such a type reports
// then reads as it does for a `def`, an `async def` or a generator: its __module__ is "builtins"
// (a type made from a PyType_Spec reads it from its dictionary, where its objects' own __module__
// sits), its __name__ and __qualname__ are its name, its __doc__ is text, and every message that
// names an object's type ("'coroutine' object is not subscriptable", "object generator can't be
// used in 'await' expression") reads the same. `type` is the static object its maker filled; like
// the interpreter's, it lives as long as the process.
inline PyTypeObject* ready_static_type(PyTypeObject& type) {
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    if (PyType_Ready(&type) < 0) throw py::error_already_set();
    return &type;
}

// The Python object of a Function.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    Signature* signature;
    Callee* callee;
};

namespace detail {
inline PyTypeObject* function_type = nullptr;  // made at module initialisation (init_types)
}

class Function {
public:
    // The type, made once per extension module at its initialisation (it is registered nowhere,
    // so modules never collide over it).
    static PyTypeObject* type() { return detail::function_type; }

    // A new function object named `qualname` (its __name__ is the last dotted part) of `module`.
    static py::object make(FunctionParts parts, const std::string& qualname, py::handle module) {
        auto* self = PyObject_GC_New(FunctionObject, detail::made(type()));
        if (!self) throw py::error_already_set();
        self->vectorcall = &Function::call;
        self->dict = nullptr;
        self->weakrefs = nullptr;
        auto dot = qualname.rfind('.');
        self->name =
            PyUnicode_FromString((dot == std::string::npos ? qualname : qualname.substr(dot + 1)).c_str());
        self->qualname = PyUnicode_FromString(qualname.c_str());
        self->module = module.inc_ref().ptr();
        if (parts.has_doc) {
            self->doc = PyUnicode_FromString(parts.doc.c_str());
        } else {
            self->doc = Py_None;
            Py_INCREF(Py_None);
        }
        self->signature = parts.signature.release();
        self->callee = parts.callee.release();
        PyObject_GC_Track(self);
        py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
        if (!self->name || !self->qualname || !self->doc) throw py::error_already_set();
        return result;
    }

    static bool check(py::handle h) { return Py_TYPE(h.ptr()) == type(); }

private:
    static constexpr size_t kStackParams = 16;

    static PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* self = reinterpret_cast<FunctionObject*>(callable);
        const Signature& sig = *self->signature;
        size_t nargs = PyVectorcall_NARGS(nargsf);
        if (!kwnames && sig.exact(nargs)) return self->callee->call(args, nullptr, nullptr);
        // Binding allocates, builds error texts and may run a keyword's __eq__: what it throws
        // stops here, at the interpreter's call.
        return boundary([&]() -> PyObject* {
            PyObject* stack[kStackParams];
            std::unique_ptr<PyObject*[]> heap;
            PyObject** bound = stack;
            if (sig.size() > kStackParams) {
                heap.reset(new PyObject*[sig.size()]);
                bound = heap.get();
            }
            py::object star_args, star_kwargs;
            // The qualified name is read where an error is worded (it is never null: it can only be
            // replaced by text).
            if (!sig.bind(&self->qualname, args, nargs, kwnames, bound, star_args, star_kwargs))
                return nullptr;
            return self->callee->call(bound, star_args.ptr(), star_kwargs.ptr());
        });
    }

    // The call of a function the collector cleared: what its callee held is gone.
    static PyObject* called_after_clear(PyObject* callable, PyObject* const*, size_t, PyObject*) {
        PyErr_Format(PyExc_RuntimeError, "%U() was released by the garbage collector",
                     reinterpret_cast<FunctionObject*>(callable)->qualname);
        return nullptr;
    }

    static PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
        if (!obj || obj == Py_None) {
            Py_INCREF(self);
            return self;
        }
        return PyMethod_New(self, obj);
    }

    static PyObject* repr(PyObject* self) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return PyUnicode_FromFormat("<function %S at %p>", f->qualname ? f->qualname : Py_None, self);
    }

    static PyObject* text_signature(PyObject* self, void*) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return boundary([&] { return py::str(f->signature->text()).release().ptr(); });
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        Py_VISIT(f->dict);
        Py_VISIT(f->module);
        Py_VISIT(f->doc);
        if (int r = f->signature->traverse(visit, arg)) return r;
        return f->callee->traverse(visit, arg);
    }

    // As the collector clears a `def` caught in a cycle: what it holds goes, its name stays, and
    // calls fail from then on (its call entry is swapped, so live calls pay nothing for this).
    static int clear(PyObject* self) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        f->vectorcall = &Function::called_after_clear;
        Py_CLEAR(f->dict);
        Py_CLEAR(f->module);
        Py_CLEAR(f->doc);
        f->callee->clear();
        return 0;
    }

    // __name__ and __qualname__ take only text (errors format them as text), as a `def`'s do;
    // __doc__ takes any object, and deleting it leaves None.
    static PyObject* get_text(PyObject* self, void* which) {
        PyObject* v = *slot(self, which);
        Py_INCREF(v);
        return v;
    }
    static int set_text(PyObject* self, PyObject* value, void* which) {
        if (!value || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                         which == &kName ? "__name__" : "__qualname__");
            return -1;
        }
        Py_INCREF(value);
        Py_SETREF(*slot(self, which), value);
        return 0;
    }
    static PyObject* get_doc(PyObject* self, void*) {
        PyObject* doc = reinterpret_cast<FunctionObject*>(self)->doc;
        if (!doc) doc = Py_None;
        Py_INCREF(doc);
        return doc;
    }
    static int set_doc(PyObject* self, PyObject* value, void*) {
        if (!value) value = Py_None;
        Py_INCREF(value);
        Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, value);
        return 0;
    }
    static inline char kName = 0, kQualname = 0;
    static PyObject** slot(PyObject* self, void* which) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return which == &kName ? &f->name : &f->qualname;
    }

    // Copied as itself and pickled by reference (its module and qualified name), as builtins and
    // `def`s are.
    static PyObject* reduce(PyObject* self, PyObject*) {
        PyObject* q = reinterpret_cast<FunctionObject*>(self)->qualname;
        Py_INCREF(q);
        return q;
    }

    // A function may hold the next link of a chain of any depth (a decorated function, by its
    // callee's capture or its __wrapped__): see release_in_trashcan.
    static void dealloc(PyObject* self) {
        release_in_trashcan(self, &Function::dealloc, [self] {
            auto* f = reinterpret_cast<FunctionObject*>(self);
            if (f->weakrefs) PyObject_ClearWeakRefs(self);
            Py_CLEAR(f->dict);
            Py_CLEAR(f->name);
            Py_CLEAR(f->qualname);
            Py_CLEAR(f->module);
            Py_CLEAR(f->doc);
            // What the callee captured and the defaults go here, in ordinary code, not in destructors.
            f->callee->clear();
            f->signature->release();
            delete f->callee;
            delete f->signature;
            PyObject_GC_Del(self);
        });
    }

public:
    static PyTypeObject* make_type() {
        static PyMemberDef members[] = {
            {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyMethodDef methods[] = {
            {"__reduce__", reinterpret_cast<PyCFunction>(&Function::reduce), METH_NOARGS, nullptr},
            {nullptr, nullptr, 0, nullptr}};
        static PyGetSetDef getset[] = {
            {"__name__", &Function::get_text, &Function::set_text, nullptr, &kName},
            {"__qualname__", &Function::get_text, &Function::set_text, nullptr, &kQualname},
            {"__doc__", &Function::get_doc, &Function::set_doc, nullptr, nullptr},
            {"__text_signature__", &Function::text_signature, nullptr, nullptr, nullptr},
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr}};
        static PyTypeObject type{};
        type.tp_name = "function";
        type.tp_doc = "A function of an extension module: its arguments bind as a def's do.";
        type.tp_basicsize = sizeof(FunctionObject);
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                        Py_TPFLAGS_DISALLOW_INSTANTIATION;
        type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        type.tp_dictoffset = offsetof(FunctionObject, dict);
        type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
        type.tp_call = &PyVectorcall_Call;
        type.tp_descr_get = &Function::descr_get;
        type.tp_repr = &Function::repr;
        type.tp_traverse = &Function::traverse;
        type.tp_clear = &Function::clear;
        type.tp_dealloc = &Function::dealloc;
        type.tp_members = members;
        type.tp_methods = methods;
        type.tp_getset = getset;
        return ready_static_type(type);
    }
};

// A Function named `qualname` of module `m` for the C++ callable `f` and its annotations.
template <class F, class... Extra>
py::object make_function(py::handle m, const std::string& qualname, F&& f, const Extra&... extra) {
    return Function::make(function_parts(std::forward<F>(f), false, extra...), qualname, m.attr("__name__"));
}

// `def name(...)` at module level: a Function set as the module's attribute `name`.
template <class F, class... Extra>
py::object def(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    py::object fn = make_function(m, name, std::forward<F>(f), extra...);
    m.attr(name) = fn;
    return fn;
}

// Marks a function so asyncio.iscoroutinefunction answers True.
inline void mark_coroutine_function(py::object fn) {
    fn.attr("_is_coroutine") = import_from("asyncio.coroutines", "_is_coroutine");
}

}  // namespace pyglue
