// Interned names, attribute access and the call-time look-up of module globals.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <dlfcn.h>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// A name the code reads or sets (attribute, method, keyword, event, module global) as an interned
// str, made on first use and kept for the life of the process: the one table of names every module
// uses. Declare each once, at namespace scope in the module's header, as a constant:
//     inline const pyglue::Name kLog{"log"};
// The first use interns the text (with the interpreter lock held, as every use is); later uses
// hand out the same object, which attribute look-up then compares by identity.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* ptr() const {
        if (!interned_) interned_ = intern(text_);
        return interned_;
    }
    operator PyObject*() const { return ptr(); }  // NOLINT: names are passed where objects go
    const char* text() const { return text_; }

private:
    static PyObject* intern(const char* text) {
        PyObject* s = PyUnicode_InternFromString(text);
        if (!s) throw py::error_already_set();
        return s;  // kept for the life of the process
    }

    const char* text_;
    mutable PyObject* interned_ = nullptr;
};

// `obj.name`, with the interpreter's errors.
inline py::object attr(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `getattr(obj, name, fallback)`: only a missing attribute (AttributeError) gives `fallback`; any
// other error of the look-up propagates.
inline py::object attr_or(py::handle obj, PyObject* name, py::handle fallback) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (r) return py::reinterpret_steal<py::object>(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::reinterpret_borrow<py::object>(fallback);
}

// `hasattr(obj, name)`, as the built-in answers it: errors other than AttributeError propagate.
inline bool has_attr(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

// `obj.name = value`.
inline void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

namespace detail {
template <class T>
constexpr bool is_object_argument = std::is_base_of_v<py::handle, std::decay_t<T>>;
}  // namespace detail

// `obj.name(args...)`. With positional arguments that are all Python objects, the method is called
// the way the interpreter calls one (PyObject_VectorcallMethod: the same look-up, without a bound
// method or an argument tuple); keywords, C++ values and empty handles go through pybind11's call,
// which converts them (and refuses an empty handle with its own error).
template <class... Args>
py::object call_method(py::handle obj, PyObject* name, Args&&... args) {
    if constexpr ((detail::is_object_argument<Args> && ...)) {
        PyObject* stack[] = {obj.ptr(), py::handle(args).ptr()...};
        bool complete = true;
        for (PyObject* arg : stack) complete = complete && arg != nullptr;
        if (complete) {
            constexpr size_t count = 1 + sizeof...(Args);
            PyObject* r =
                PyObject_VectorcallMethod(name, stack, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            if (!r) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(r);
        }
    }
    return attr(obj, name)(std::forward<Args>(args)...);
}

// This extension module's own object, kept at initialisation so that its globals can be read at
// each call (tests and callers may replace them). One per shared library: the glue is hidden.
class ThisModule {
public:
    static ThisModule& get() {
        static ThisModule instance;
        return instance;
    }
    // A strong reference, never released: the module lives until the interpreter ends.
    void set(py::module_ m) {
        PyObject* old = module_;
        module_ = m.inc_ref().ptr();
        Py_XDECREF(old);
    }
    py::module_ module() const { return py::reinterpret_borrow<py::module_>(module_); }
    // The folder of this extension's shared library. While a single-phase module initialises its
    // __file__ is not set yet, so the loader is asked where this code was mapped from.
    static std::string folder() {
        std::string path = file();
        auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }
    // The path of this extension's shared library, as the loader mapped it.
    static std::string file() {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&ThisModule::file), &info) || !info.dli_fname)
            raise_import_error("cannot locate the extension module's file");
        return info.dli_fname;
    }
    // The module global `name` as it is now; NameError when it is not defined.
    py::object global(PyObject* name) const {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module_), name);  // borrowed
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }

private:
    [[noreturn]] static void raise_import_error(const char* message) {
        PyErr_SetString(PyExc_ImportError, message);
        throw py::error_already_set();
    }

    PyObject* module_ = nullptr;
};

// This extension module's object.
inline py::module_ this_module() { return ThisModule::get().module(); }

// The global `name` of this extension module as it is bound now, read at each call because tests
// and programs rebind module names; NameError when it is not defined. The name is a pyglue::Name
// constant (or an object the code holds), never a C text made into a new str at each call.
inline py::object global(PyObject* name) { return ThisModule::get().global(name); }

// The one way code here reaches another module, read now (never cached), with the import
// statement's own errors:
//  * `import module` (the module itself, a dotted name giving the last module): import_module;
//  * `from module import name` (a name or submodule of it): import_from; a missing name fails
//    with ImportError, never AttributeError.

// `import module`, returning `module` itself (for "a.b", the submodule b).
inline py::module_ import_module(const char* module) { return py::module_::import(module); }

// `from module import name`: imports `module` and returns its attribute `name` (or the submodule
// `module.name`); a missing name fails with ImportError as the import statement words it.
inline py::object import_from(const char* module, const char* name) {
    // The package is imported with `name` in its from-list, as the statement does, so a submodule
    // that is not loaded yet is loaded.
    py::object fromlist = py::make_tuple(name);
    PyObject* imported = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!imported) throw py::error_already_set();
    py::object mod = py::reinterpret_steal<py::object>(imported);
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    std::string full = std::string(module) + "." + name;
    PyObject* sub = PyImport_GetModule(py::str(full).ptr());
    if (sub) return py::reinterpret_steal<py::object>(sub);
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object file = py::getattr(mod, "__file__", py::none());
    std::string where = file.is_none() ? std::string("unknown location") : std::string(py::str(file));
    std::string message =
        std::string("cannot import name '") + name + "' from '" + module + "' (" + where + ")";
    PyErr_SetImportError(py::str(message).ptr(), py::str(module).ptr(), file.ptr());
    throw py::error_already_set();
}

// The module's __all__, a list of the given names in order.
inline void set_all(py::module_& m, std::initializer_list<const char*> names) {
    py::list all;
    for (const char* n : names) all.append(py::str(n));
    m.attr("__all__") = all;
}

}  // namespace pyglue
