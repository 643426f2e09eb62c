// The Python types of the coroutine and generator objects.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// The Python object of a Coroutine: it owns the C++ state machine.
struct CoroutineObject {
    PyObject_HEAD Coroutine* impl;
    PyObject* weakrefs;
    PyObject* frame;  // made when cr_frame is first read, dropped when the machine finishes
};

namespace detail {

inline PyTypeObject* coroutine_type = nullptr;  // made at module initialisation (init_types)
inline PyTypeObject* generator_type = nullptr;

inline Coroutine& coroutine_of(PyObject* self) { return *reinterpret_cast<CoroutineObject*>(self)->impl; }

// Sets what a finished send gives its caller: StopIteration(value), or a bare StopIteration
// for None, as the interpreter's own objects do.
inline void set_stop_iteration(const py::object& value) {
    if (value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
    if (!exc) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

// A resumption that ended with an exception: that exception set as the error, as it is.
inline PyObject* raise_outcome(Coroutine::Outcome& o) {
    Coroutine::restore(o.value);
    drop(o.value);
    return nullptr;
}

// The answer of a resumption to a caller of send(), throw() or __next__.
inline PyObject* outcome_result(Coroutine::Outcome o, bool next) {
    if (o.yielded) return o.value.release().ptr();
    if (o.raised) return raise_outcome(o);
    if (!next || !o.value.is_none()) set_stop_iteration(o.value);
    drop(o.value);
    return nullptr;
}

inline PyObject* coro_send(PyObject* self, PyObject* value) {
    return boundary([&] {
        return outcome_result(coroutine_of(self).send(py::reinterpret_borrow<py::object>(value)), false);
    });
}

// The send slot, which spares the interpreter a look-up of "send" (PyIter_Send: asyncio's tasks,
// `await`); a return is no exception here.
inline PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) {
    *result = nullptr;
    PyObject* r = boundary([&]() -> PyObject* {
        Coroutine::Outcome o =
            coroutine_of(self).send(py::reinterpret_borrow<py::object>(value ? value : Py_None));
        if (o.yielded) return o.value.release().ptr();
        if (o.raised) return raise_outcome(o);
        *result = o.value.release().ptr();
        return nullptr;
    });
    if (r) {
        *result = r;
        return PYGEN_NEXT;
    }
    return *result ? PYGEN_RETURN : PYGEN_ERROR;
}

inline PyObject* coro_next(PyObject* self) {
    return boundary([&] { return outcome_result(coroutine_of(self).send(py::none()), true); });
}

inline PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!compat::check_positional("throw", nargs, 1, 3)) return nullptr;
    return boundary([&] {
        auto arg = [&](Py_ssize_t i) {
            return nargs > i ? py::reinterpret_borrow<py::object>(args[i]) : py::object();
        };
        return outcome_result(coroutine_of(self).throw_(arg(0), arg(1), arg(2)), false);
    });
}

inline PyObject* coro_close(PyObject* self, PyObject*) {
    return boundary([&] {
        coroutine_of(self).close();
        return py::none().release().ptr();
    });
}

inline PyObject* coro_await(PyObject* self) {
    return boundary([&] {
        coroutine_of(self).check_not_awaited();
        return py::reinterpret_borrow<py::object>(self).release().ptr();
    });
}

inline PyObject* coro_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

inline PyObject* coro_name(PyObject* self, void*) {
    const std::string& q = coroutine_of(self).qualname();
    auto dot = q.rfind('.');
    return PyUnicode_FromString(dot == std::string::npos ? q.c_str() : q.c_str() + dot + 1);
}

inline PyObject* coro_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(coroutine_of(self).qualname().c_str());
}

inline PyObject* coro_running(PyObject* self, void*) { return PyBool_FromLong(coroutine_of(self).running()); }

inline PyObject* coro_suspended(PyObject* self, void*) {
    return PyBool_FromLong(coroutine_of(self).suspended());
}

inline PyObject* coro_none(PyObject*, void*) { Py_RETURN_NONE; }

inline PyObject* coro_awaiting(PyObject* self, void*) {
    const py::object& a = coroutine_of(self).awaiting();
    PyObject* r = a ? a.ptr() : Py_None;
    Py_INCREF(r);
    return r;
}

// cr_frame / gi_frame: a frame object while the machine has not finished (code that inspects
// coroutines, inspect.getcoroutinestate among them, reads None as "closed"), None afterwards. The
// frame names the coroutine and this module; it is made on first reading, so coroutines that
// nobody inspects cost nothing for it.
inline PyObject* coro_frame(PyObject* self, void*) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    if (c->impl->finished()) {
        Py_CLEAR(c->frame);
        Py_RETURN_NONE;
    }
    if (!c->frame) {
        PyObject* name = coro_name(self, nullptr);
        if (!name) return nullptr;
        py::object n = py::reinterpret_steal<py::object>(name);
        PyObject* module = ThisModule::get().module().ptr();
        std::string file = ThisModule::file();
        PyObject* frame = compat::idle_frame(file.c_str(), PyUnicode_AsUTF8(name), PyModule_GetDict(module));
        if (!frame) return nullptr;
        c->frame = frame;
    }
    Py_INCREF(c->frame);
    return c->frame;
}

inline PyObject* coro_repr(PyObject* self) {
    const Coroutine& c = coroutine_of(self);
    return PyUnicode_FromFormat("<%s object %s at %p>", c.word(), c.qualname().c_str(), self);
}

// "coroutine '...' was never awaited", as the interpreter warns of its own coroutines: through
// warnings._warn_unawaited_coroutine when the module is loaded (it is not imported here: at exit an
// import fails), else directly; never raises.
inline void warn_unawaited(PyObject* self) {
    bool warned = false;
    PyObject* warnings = PyImport_GetModule(detail::kWarnings);
    if (!warnings) PyErr_Clear();  // not loaded, or no sys.modules any more
    PyObject* fn = warnings ? PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine") : nullptr;
    Py_XDECREF(warnings);
    if (fn) {
        PyObject* res = PyObject_CallOneArg(fn, self);
        Py_DECREF(fn);
        if (res || PyErr_ExceptionMatches(PyExc_RuntimeWarning)) warned = true;
        Py_XDECREF(res);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited",
                                    coroutine_of(self).qualname().c_str()) < 0)
        PyErr_WriteUnraisable(self);
}

// tp_finalize: a coroutine that never ran warns that it was never awaited; one suspended is
// closed (GeneratorExit into what it awaits); a failure of that close goes to the unraisable
// hook. Runs once, from the collector or before the object is freed.
inline void coro_finalize(PyObject* self) {
    Coroutine& c = coroutine_of(self);
    if (c.finished()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (c.kind() == Coroutine::Kind::Coroutine && !c.started()) {
        warn_unawaited(self);
    } else {
        PyObject* r = coro_close(self, nullptr);
        if (r)
            Py_DECREF(r);
        else if (PyErr_Occurred())
            PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

inline int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    Py_VISIT(c->frame);
    return c->impl ? c->impl->traverse_all(visit, arg) : 0;
}

inline int coro_clear(PyObject* self) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    if (c->impl) c->impl->clear_all();
    Py_CLEAR(c->frame);
    return 0;
}

// Releasing a coroutine releases what it holds, which may be the next coroutine of a chain of any
// depth (see release_in_trashcan).
inline void coro_dealloc(PyObject* self) {
    release_in_trashcan(self, &coro_dealloc, [self] {
        PyObject_GC_Track(self);  // tracked while the finaliser runs, which may resurrect it
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
        auto* c = reinterpret_cast<CoroutineObject*>(self);
        PyObject_GC_UnTrack(self);
        if (c->weakrefs) PyObject_ClearWeakRefs(self);
        Coroutine* impl = c->impl;
        c->impl = nullptr;
        if (impl) impl->clear_all();  // the machine's references go here, not in its destructor
        delete impl;
        Py_CLEAR(c->frame);
        PyObject_GC_Del(self);
    });
}

// The type of coroutine objects (Generator false) or generator objects (true): the same methods
// under the names and texts the interpreter gives its own.
template <bool Generator>
PyTypeObject* make_coroutine_type() {
    static const char* const send_doc = Generator ? "send(arg) -> send 'arg' into generator,\n"
                                                    "return next yielded value or raise StopIteration."
                                                  : "send(arg) -> send 'arg' into coroutine,\n"
                                                    "return next iterated value or raise StopIteration.";
    static const char* const throw_doc =
        Generator ? "throw(value)\nthrow(type[,value[,tb]])\n\n"
                    "Raise exception in generator, return next yielded value or raise\nStopIteration."
                  : "throw(value)\nthrow(type[,value[,traceback]])\n\n"
                    "Raise exception in coroutine, return next iterated value or raise\nStopIteration.";
    static const char* const close_doc = Generator ? "close() -> raise GeneratorExit inside generator."
                                                   : "close() -> raise GeneratorExit inside coroutine.";
    static PyMethodDef methods[] = {
        {"send", reinterpret_cast<PyCFunction>(&coro_send), METH_O, send_doc},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&coro_throw)), METH_FASTCALL,
         throw_doc},
        {"close", reinterpret_cast<PyCFunction>(&coro_close), METH_NOARGS, close_doc},
        {nullptr, nullptr, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", &coro_name, nullptr, nullptr, nullptr},
        {"__qualname__", &coro_qualname, nullptr, nullptr, nullptr},
        {Generator ? "gi_running" : "cr_running", &coro_running, nullptr, nullptr, nullptr},
        {Generator ? "gi_suspended" : "cr_suspended", &coro_suspended, nullptr, nullptr, nullptr},
        {Generator ? "gi_yieldfrom" : "cr_await", &coro_awaiting, nullptr, nullptr, nullptr},
        {Generator ? "gi_frame" : "cr_frame", &coro_frame, nullptr, nullptr, nullptr},
        // Origin tracking (sys.set_coroutine_origin_tracking_depth) covers `async def` only.
        {Generator ? nullptr : "cr_origin", Generator ? nullptr : &coro_none, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    // A generator is not awaitable: it has the send slot only.
    static PyAsyncMethods as_async = {Generator ? nullptr : &coro_await, nullptr, nullptr, &coro_am_send};
    static PyTypeObject type{};
    type.tp_name = Generator ? "generator" : "coroutine";
    type.tp_basicsize = sizeof(CoroutineObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
    type.tp_as_async = &as_async;
    type.tp_iter = &coro_self;
    type.tp_iternext = &coro_next;
    type.tp_repr = &coro_repr;
    type.tp_finalize = &coro_finalize;
    type.tp_traverse = &coro_traverse;
    type.tp_clear = &coro_clear;
    type.tp_dealloc = &coro_dealloc;
    type.tp_methods = methods;
    type.tp_getset = getset;
    PyTypeObject* t = ready_static_type(type);
    // Registered for the life of the process, as the interpreter registers its own.
    py::object abc = import_from("collections.abc", Generator ? "Generator" : "Coroutine");
    abc.attr("register")(py::handle(reinterpret_cast<PyObject*>(t)));
    return t;
}

}  // namespace detail

inline Coroutine* Coroutine::suspended_machine(py::handle h) {
    if (Py_TYPE(h.ptr()) != detail::coroutine_type) return nullptr;
    Coroutine* c = reinterpret_cast<CoroutineObject*>(h.ptr())->impl;
    return c && c->suspended() ? c : nullptr;
}

inline PyTypeObject* Coroutine::type(Kind kind) {
    return kind == Kind::Generator ? detail::generator_type : detail::coroutine_type;
}

inline bool Coroutine::is_object(py::handle obj) const {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    if (t != detail::coroutine_type && t != detail::generator_type) return false;
    return &detail::coroutine_of(obj.ptr()) == this;
}

inline py::object Coroutine::wrap(std::unique_ptr<Coroutine> c) {
    auto* self = PyObject_GC_New(CoroutineObject, detail::made(type(c->kind())));
    if (!self) throw py::error_already_set();
    self->impl = c.release();
    self->weakrefs = nullptr;
    self->frame = nullptr;
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

}  // namespace pyglue
