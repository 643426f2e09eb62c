#include "client.hpp"

namespace dorvane_client {

namespace {

using pyglue::truthy;

// kwargs.pop(name, None)
py::object pop(py::dict& kwargs, const pyglue::Name& key) {
    PyObject* value = PyDict_GetItemWithError(kwargs.ptr(), key);  // borrowed
    if (!value) {
        pyglue::raise_if_error();
        return py::none();
    }
    py::object result = py::reinterpret_borrow<py::object>(value);
    pyglue::require(PyDict_DelItem(kwargs.ptr(), key));
    return result;
}

bool done(py::handle future) { return truthy(call_method(future, N::done)); }

PyObject* g_filter = nullptr;  // filter(state, fut), made with the module (make_filter)

// The reply callback of one wrapped call: trims the finished request's reply and completes the
// caller's future with it, or with the request's failure. Each call's filter lives in a box, and
// the callback handed to the request is the module's one filter function bound to that box.
class ReplyFilter : public pyglue::Traversable {
public:
    ReplyFilter(py::object caller, py::tuple keys, py::dict options)
        : caller_(std::move(caller)), keys_(std::move(keys)), options_(std::move(options)) {}

    void operator()(py::object fut) const {
        py::object result;
        py::object failure;
        try {
            result = call_method(fut, N::result);
            if (!truthy(call_method(options_, N::get, "all"))) trim(result);
        } catch (py::error_already_set& e) {
            failure = pyglue::fetch_exception(e);
        }
        if (failure) {
            // A cancelled request is no ordinary failure (CancelledError derives from
            // BaseException): the caller's future is cancelled too, so nobody waits for ever.
            py::object cancelled = attr(global(N::asyncio), N::CancelledError);
            if (PyErr_GivenExceptionMatches(failure.ptr(), cancelled.ptr())) {
                if (!done(caller_)) call_method(caller_, N::cancel);
                return;
            }
            pyglue::settle_exception(caller_, pyglue::keep_exception(failure));
            return;
        }
        // A caller's future that its owner already cancelled (a time-out, for instance) keeps its
        // state; one that cannot be completed is reported to its loop.
        pyglue::settle_result(caller_, result);
    }

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, caller_, keys_, options_);
    }
    void clear() override { pyglue::drop_members(caller_, keys_, options_); }

private:
    void trim(py::handle result) const {
        if (PyList_Check(result.ptr())) {
            for (py::handle item : result) filter_key(item, keys_);
        } else {
            filter_key(result, keys_);
        }
    }

    py::object caller_;
    py::tuple keys_;
    py::dict options_;
};

// The coroutine of one call of a wrapped method. It never waits: its first step sends the
// request and returns the caller's future.
class ApiCall : public pyglue::Coroutine {
public:
    ApiCall(std::string qualname, py::object fn, py::tuple args, py::dict kwargs, py::tuple keys,
            py::dict options)
        : Coroutine(std::move(qualname)),
          fn_(std::move(fn)),
          args_(std::move(args)),
          kwargs_(std::move(kwargs)),
          keys_(std::move(keys)),
          options_(std::move(options)) {}

protected:
    Step step(py::object, py::object exc) override {
        if (!exc.is_none()) pyglue::raise(exc);

        py::object loop = pop(kwargs_, N::loop);
        if (loop.is_none()) loop = attr(global(N::asyncio), N::get_event_loop)();
        py::object caller = call_method(loop, N::create_future);
        py::object cb = pop(kwargs_, N::cb);
        if (truthy(cb)) call_method(caller, N::add_done_callback, cb);
        py::object filter = pyglue::bound(g_filter, pyglue::box<ReplyFilter>(caller, keys_, options_));

        py::dict kw;
        kw["cb"] = filter;
        kw["loop"] = loop;
        pyglue::require(PyDict_Update(kw.ptr(), kwargs_.ptr()));
        PyObject* sent = PyObject_Call(fn_.ptr(), args_.ptr(), kw.ptr());
        if (sent) {
            Py_DECREF(sent);  // the request future is not kept: the filter reaches the caller
        } else {
            py::error_already_set e;
            call_method(caller, N::set_exception, pyglue::keep_exception(e));
        }
        pyglue::drop(kw);
        pyglue::drop(cb);
        release();
        return Step::finish(caller);
    }

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, fn_, args_, kwargs_, keys_, options_);
    }
    void clear() override { pyglue::drop_members(fn_, args_, kwargs_, keys_, options_); }

private:
    // The call is made once; drop what it held so a finished coroutine keeps nothing alive. The
    // program's arguments go here, in ordinary code, never in a destructor or an assignment (both
    // noexcept): the step runs on the loop's thread (pyglue::drop says why).
    void release() { pyglue::drop_members(fn_, args_, kwargs_); }

    py::object fn_;
    py::tuple args_;
    py::dict kwargs_;
    py::tuple keys_;
    py::dict options_;
};

}  // namespace

void make_filter(py::module_& m) {
    if (g_filter) return;
    g_filter =
        pyglue::make_function(
            m, "api.<locals>.decorator.<locals>.newFn.<locals>.filter",
            [](py::object state, py::object fut) { pyglue::unbox<ReplyFilter>(state)(std::move(fut)); },
            py::arg("state"), py::arg("fut"))
            .release()
            .ptr();
}

void filter_key(py::handle data, const py::args& keep) {
    // list(data.keys()): a copy even of a list, which the mapping may change as keys go.
    py::object listed = call_method(data, N::keys);
    py::list keys = py::reinterpret_steal<py::list>(pyglue::require(PySequence_List(listed.ptr())));
    py::object pop = attr(data, N::pop);
    for (py::handle key : keys) {
        bool kept = false;
        for (py::handle wanted : keep) {
            if (pyglue::require(PyObject_RichCompareBool(key.ptr(), wanted.ptr(), Py_EQ)) == 1) {
                kept = true;
                break;
            }
        }
        if (!kept) pop(key);
    }
}

py::object decorate(py::tuple keys, py::dict options, py::object fn) {
    py::module_ m = pyglue::this_module();
    py::object new_fn = pyglue::make_function(
        m, "api.<locals>.decorator.<locals>.newFn",
        pyglue::capture(
            [](py::object wrapped, py::tuple reply_keys, py::dict reply_options, py::args args,
               py::kwargs kwargs) {
                py::object qualname = pyglue::attr_or(wrapped, N::__qualname__, py::str("newFn"));
                return pyglue::Coroutine::make<ApiCall>(py::str(qualname).cast<std::string>(), wrapped,
                                                        py::tuple(args), py::dict(kwargs), reply_keys,
                                                        reply_options);
            },
            fn, keys, options));
    global(N::wraps)(fn)(new_fn);
    pyglue::mark_coroutine_function(new_fn);
    return new_fn;
}

py::object api(const py::args& keys, const py::kwargs& options) {
    py::module_ m = pyglue::this_module();
    return pyglue::make_function(m, "api.<locals>.decorator",
                                 pyglue::capture(&decorate, py::tuple(keys), py::dict(options)),
                                 py::arg("fn"));
}

}  // namespace dorvane_client
