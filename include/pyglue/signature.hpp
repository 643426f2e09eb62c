// Parameter lists and argument binding with the interpreter's own rules and texts.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// Every callable a module exposes is a `Function`: a small C-level type that the interpreter calls
// through vectorcall. Its parameter list is given once, beside the C++ implementation, with
// pybind11's annotations (py::arg, py::arg_v defaults, py::pos_only, py::kw_only; py::args and
// py::kwargs parameters of the implementation stand for *args and **kwargs). A call binds the
// arguments by Python's rules and fails with the interpreter's own texts, under the function's
// current __qualname__, exactly as a Python function of that name would. The object has an
// instance __dict__ (functools.wraps, _is_coroutine, __wrapped__), binds as a method through
// __get__ (and unbound through the method-descriptor protocol, so `obj.meth(...)` allocates no
// bound method) and gives inspect.signature its parameters through __text_signature__.

// One parameter: its interned name and, where it has one, its default.
struct Parameter {
    PyObject* name = nullptr;      // interned str, owned
    PyObject* default_ = nullptr;  // owned, or null
};

// A parameter list: positional ones first (the first `posonly` of them positional-only), then
// keyword-only ones; optionally *args and **kwargs.
class Signature {
public:
    Signature() = default;
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;
    ~Signature() { release(); }

    // Drops the names and defaults; the function's dealloc calls it in ordinary code, before the
    // destructor (a default may be a program's object: see drop).
    void release() {
        for (Parameter& p : params_) {
            Py_CLEAR(p.name);
            Py_CLEAR(p.default_);
        }
    }

    void add(const char* name, PyObject* default_value, bool keyword_only) {
        PyObject* n = PyUnicode_InternFromString(name);
        if (!n) throw py::error_already_set();
        Py_XINCREF(default_value);
        params_.push_back({n, default_value});
        if (!keyword_only) ++positional_;
    }
    void set_posonly(size_t count) { posonly_ = count; }
    void set_var_args(const std::string& name) { var_args_ = name; }
    void set_var_kwargs(const std::string& name) { var_kwargs_ = name; }
    // Called once all parameters are in: checks the order of defaults as `def` would.
    void finish() {
        bool seen_default = false;
        for (size_t i = 0; i < positional_; ++i) {
            if (params_[i].default_)
                seen_default = true;
            else if (seen_default)
                throw std::logic_error("parameter without a default follows one with a default");
        }
        for (size_t i = positional_; i < params_.size(); ++i)
            if (!params_[i].default_) ++required_kwonly_;
        for (size_t i = 0; i < positional_; ++i)
            if (params_[i].default_) ++defaults_;
    }

    // The defaults, for the function's tp_traverse.
    int traverse(visitproc visit, void* arg) const {
        for (const Parameter& p : params_) Py_VISIT(p.default_);
        return 0;
    }

    size_t size() const { return params_.size(); }
    size_t positional() const { return positional_; }
    bool has_var_args() const { return !var_args_.empty(); }
    bool has_var_kwargs() const { return !var_kwargs_.empty(); }
    // True when a call with `nargs` positional arguments and no keywords binds them as they are.
    bool exact(size_t nargs) const {
        return nargs == positional_ && positional_ == params_.size() && var_args_.empty() &&
               var_kwargs_.empty();
    }

    // The parameter list in the form of a `def` line: "(self, a, /, b=None, *args, c, **kw)".
    std::string text() const {
        std::string out = "(";
        bool first = true;
        auto sep = [&] {
            if (!first) out += ", ";
            first = false;
        };
        for (size_t i = 0; i < params_.size(); ++i) {
            if (i == positional_ && var_args_.empty()) {
                sep();
                out += "*";
            }
            if (i == positional_ && !var_args_.empty()) {
                sep();
                out += "*" + var_args_;
            }
            sep();
            out += PyUnicode_AsUTF8(params_[i].name);
            if (params_[i].default_) {
                out += "=";
                out += std::string(py::repr(params_[i].default_));
            }
            if (posonly_ && i + 1 == posonly_) {
                sep();
                out += "/";
            }
        }
        if (params_.size() == positional_ && !var_args_.empty()) {
            sep();
            out += "*" + var_args_;
        }
        if (!var_kwargs_.empty()) {
            sep();
            out += "**" + var_kwargs_;
        }
        return out + ")";
    }

    // Binds a vectorcall's arguments into `out` (borrowed references, one per parameter), `*args`
    // and `**kwargs` (owned, when the list has them). Returns false with the interpreter's
    // TypeError set when the call does not fit. `qualname` is where the function keeps its
    // qualified name: it is read only to word an error, since a keyword's __eq__ may rename the
    // function while the call binds.
    //
    // Keywords are matched by identity first (the interpreter interns the keyword names of a
    // call written in the source, as the parameter names here are), starting after the parameter
    // the previous keyword named, so keywords given in parameter order cost one comparison each;
    // only a name no parameter holds by identity is compared by value. Nothing is allocated but
    // the *args tuple and the **kwargs dict of a list that has them.
    bool bind(PyObject* const* qualname, PyObject* const* args, size_t nargs, PyObject* kwnames,
              PyObject** out, py::object& star_args, py::object& star_kwargs) const {
        const size_t total = params_.size();
        for (size_t i = 0; i < total; ++i) out[i] = nullptr;
        size_t n = nargs < positional_ ? nargs : positional_;
        for (size_t i = 0; i < n; ++i) out[i] = args[i];
        if (!var_args_.empty()) {
            PyObject* rest = PyTuple_New(static_cast<Py_ssize_t>(nargs - n));
            if (!rest) return false;
            for (size_t i = n; i < nargs; ++i) {
                Py_INCREF(args[i]);
                PyTuple_SET_ITEM(rest, static_cast<Py_ssize_t>(i - n), args[i]);
            }
            star_args = py::reinterpret_steal<py::object>(rest);
        }
        if (!var_kwargs_.empty()) {
            star_kwargs = py::reinterpret_steal<py::object>(PyDict_New());
            if (!star_kwargs) return false;
        }
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        size_t hint = n > posonly_ ? n : posonly_;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + static_cast<size_t>(k)];
            size_t j = find_by_identity(key, hint);
            if (j == npos) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", *qualname);
                    return false;
                }
                j = find_by_value(key);
            }
            if (j == npos) {
                if (PyErr_Occurred()) return false;
                if (!star_kwargs) {
                    if (posonly_ && posonly_as_keyword(qualname, kwnames)) return false;
                    if (PyErr_Occurred()) return false;
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", *qualname,
                                 key);
                    return false;
                }
                if (PyDict_SetItem(star_kwargs.ptr(), key, value) < 0) return false;
                continue;
            }
            if (out[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", *qualname, key);
                return false;
            }
            out[j] = value;
            hint = j + 1;
        }
        if (nargs > positional_ && var_args_.empty()) {
            too_many_positional(*qualname, nargs, out);
            return false;
        }
        if (nargs < positional_) {
            size_t required = positional_ - defaults_;
            if (!missing(*qualname, out, nargs < required ? nargs : required, required, "positional"))
                return false;
            for (size_t i = required; i < positional_; ++i)
                if (!out[i]) out[i] = params_[i].default_;
        }
        if (total > positional_) {
            if (required_kwonly_ &&
                !missing(*qualname, out, positional_, total, "keyword-only", /*kwonly=*/true))
                return false;
            for (size_t i = positional_; i < total; ++i)
                if (!out[i]) out[i] = params_[i].default_;
        }
        return true;
    }

private:
    static constexpr size_t npos = static_cast<size_t>(-1);

    // The index of the parameter (positional-only ones excluded) whose name is `key` itself,
    // looked for from `hint` on, then before it; npos when none is.
    size_t find_by_identity(PyObject* key, size_t hint) const {
        const size_t total = params_.size();
        for (size_t i = hint; i < total; ++i)
            if (params_[i].name == key) return i;
        for (size_t i = posonly_; i < hint && i < total; ++i)
            if (params_[i].name == key) return i;
        return npos;
    }

    // The index of the parameter (positional-only ones excluded) whose name equals `key`, as the
    // interpreter compares them (a str subclass's own __eq__ included); npos with an error set
    // when a comparison fails, npos alone when none matches.
    size_t find_by_value(PyObject* key) const {
        for (size_t i = posonly_; i < params_.size(); ++i) {
            int eq = PyObject_RichCompareBool(params_[i].name, key, Py_EQ);
            if (eq < 0) return npos;
            if (eq) return i;
        }
        return npos;
    }

    bool posonly_as_keyword(PyObject* const* qualname, PyObject* kwnames) const {
        py::list names;
        for (size_t i = 0; i < posonly_; ++i) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                int eq = key == params_[i].name ? 1 : PyObject_RichCompareBool(params_[i].name, key, Py_EQ);
                if (eq < 0) return true;
                if (eq) names.append(py::handle(key));
            }
        }
        if (names.empty()) return false;
        py::str joined = py::str(", ").attr("join")(names);
        PyErr_Format(PyExc_TypeError,
                     "%U() got some positional-only arguments passed as keyword arguments: '%U'", *qualname,
                     joined.ptr());
        return true;
    }

    void too_many_positional(PyObject* qualname, size_t given, PyObject* const* out) const {
        size_t kwonly_given = 0;
        for (size_t i = positional_; i < params_.size(); ++i)
            if (out[i]) ++kwonly_given;
        std::string sig;
        bool plural;
        if (defaults_) {
            plural = true;
            sig = "from " + std::to_string(positional_ - defaults_) + " to " + std::to_string(positional_);
        } else {
            plural = positional_ != 1;
            sig = std::to_string(positional_);
        }
        std::string kwonly;
        if (kwonly_given)
            kwonly = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
        PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zu%s %s given", qualname,
                     sig.c_str(), plural ? "s" : "", given, kwonly.c_str(),
                     given == 1 && !kwonly_given ? "was" : "were");
    }

    // Sets "missing N required <kind> argument(s): 'a', 'b', and 'c'" for the unset parameters in
    // [start, end) that have no default; false when there is any.
    bool missing(PyObject* qualname, PyObject* const* out, size_t start, size_t end, const char* kind,
                 bool kwonly = false) const {
        std::vector<std::string> names;
        for (size_t i = start; i < end; ++i)
            if (!out[i] && !(kwonly && params_[i].default_))
                names.push_back(std::string(py::repr(params_[i].name)));
        if (names.empty()) return true;
        std::string text;
        size_t len = names.size();
        if (len == 1) {
            text = names[0];
        } else if (len == 2) {
            text = names[0] + " and " + names[1];
        } else {
            for (size_t i = 0; i + 2 < len; ++i) text += (i ? ", " : "") + names[i];
            text += ", " + names[len - 2] + ", and " + names[len - 1];
        }
        PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %s", qualname, len, kind,
                     len == 1 ? "" : "s", text.c_str());
        return false;
    }

    std::vector<Parameter> params_;
    size_t positional_ = 0;
    size_t posonly_ = 0;
    size_t defaults_ = 0;
    size_t required_kwonly_ = 0;
    std::string var_args_;
    std::string var_kwargs_;
};

}  // namespace pyglue
