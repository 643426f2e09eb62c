// The interpreter's private and version-bound calls that the glue and the modules use, in one
// place: each names the version it was checked on. A move to another interpreter reviews this file
// (the build stops below on any version but 3.11) and nothing else.
//
// Part of the Python glue: reached only through pyglue.hpp (and pyglue_release.hpp, which every
// unit includes first). Needs nothing but Python.h, since it comes before pybind11.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <dlfcn.h>
#include <cstddef>
#include <cstdint>

static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000,
              "the glue's private interpreter calls were checked on CPython 3.11 only: review "
              "include/pyglue/compat_cpython.hpp");

// Whether the layouts of dicts and lists below (their key tables and value arrays, a list's room)
// are read and written directly: only for the interpreter they were checked on, 3.11 (the same in
// every 3.11 release). On any other, or when a build sets it to 0, those calls take the public API
// (or answer that they cannot), and their callers take their general paths.
#ifndef PYGLUE_CPYTHON_LAYOUTS
#define PYGLUE_CPYTHON_LAYOUTS (PY_VERSION_HEX >= 0x030B00F0 && PY_VERSION_HEX < 0x030C0000)
#endif

#if PYGLUE_CPYTHON_LAYOUTS
// The layout of dict key tables (PyDictKeysObject, PyDictUnicodeEntry), which only the interpreter's
// own build may include; read and written below by the calls that name it.
#define Py_BUILD_CORE
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#include <internal/pycore_dict.h>
#pragma GCC diagnostic pop
#undef Py_BUILD_CORE
#endif

namespace PYGLUE_HIDDEN pyglue {
namespace compat {

// Checked on CPython 3.11.2 (Include/internal/pycore_runtime.h). _PyRuntimeState, the exported
// _PyRuntime, begins with five ints (_initialized, preinitializing, preinitialized,
// core_initialized, initialized) and then the word _finalizing: the state of the thread that
// finalises, null before. _Py_IsFinalizing reads that word; every reference release asks it (see
// pyglue_release.hpp), so the glue reads the word itself, inline, instead of calling the function
// through the loader's table. The internal header cannot be compiled as C++ (its atomics are
// C11's), so the word is reached through this prefix, found and proved at each module's
// initialisation (find_finalizing_word): until then, or when the proof fails, the function is
// called.
struct RuntimePrefix {
    int flags[5];
    uintptr_t finalizing;
};
static_assert(offsetof(RuntimePrefix, finalizing) == 24, "the 3.11 layout of _PyRuntimeState");
inline const uintptr_t* finalizing_word = nullptr;

inline void find_finalizing_word() {
    if (finalizing_word) return;
    const auto* runtime = static_cast<const RuntimePrefix*>(dlsym(RTLD_DEFAULT, "_PyRuntime"));
    if (!runtime) return;
    // An initialised runtime (_initialized, core_initialized) that is not finalising, as the
    // interpreter's own call says too.
    if (runtime->flags[0] != 1 || runtime->flags[3] != 1) return;
    if (__atomic_load_n(&runtime->finalizing, __ATOMIC_RELAXED) != 0 || _Py_IsFinalizing() != 0) return;
    finalizing_word = &runtime->finalizing;
}

// Checked on CPython 3.11.2. True once finalisation has begun (_Py_IsFinalizing; public as
// Py_IsFinalizing from 3.13).
[[gnu::always_inline]] inline bool is_finalizing() {
    if (const uintptr_t* word = finalizing_word) return __atomic_load_n(word, __ATOMIC_RELAXED) != 0;
    return _Py_IsFinalizing() != 0;
}

// Checked on CPython 3.11.2. _PyThreadState_UncheckedGet: the calling thread's state, or null,
// without PyThreadState_Get's fatal error when there is none (PyThreadState_GetUnchecked in 3.13).
inline PyThreadState* thread_state_or_null() { return _PyThreadState_UncheckedGet(); }

// Checked on CPython 3.11.2. The thread's stack of handled exceptions (PyThreadState.exc_info, a
// chain of _PyErr_StackItem): a coroutine pushes its own item while it runs so that what it raises
// while it handles an exception gets that exception as __context__, as the interpreter's own
// coroutines push gi_exc_state.
using HandledItem = _PyErr_StackItem;
inline void push_handled(HandledItem& item, PyObject* exc) {
    PyThreadState* ts = PyThreadState_Get();
    Py_INCREF(exc);
    item.exc_value = exc;
    item.previous_item = ts->exc_info;
    ts->exc_info = &item;
}
inline void pop_handled(HandledItem& item) {
    PyThreadState* ts = PyThreadState_Get();
    ts->exc_info = item.previous_item;
    item.previous_item = nullptr;
    PyObject* held = item.exc_value;
    item.exc_value = nullptr;
    Py_XDECREF(held);
}

// Checked on CPython 3.11.2. _PyArg_CheckPositional: the interpreter's own check (and TypeError
// text) of a positional argument count.
inline bool check_positional(const char* name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max) {
    return _PyArg_CheckPositional(name, nargs, min, max) != 0;
}

// Checked on CPython 3.11.2. A frame object for a code object that never runs (PyFrame_New of the
// unlimited API; its arguments changed meaning in 3.11 and it is deprecated from 3.13).
inline PyObject* idle_frame(const char* file, const char* name, PyObject* globals) {
    PyCodeObject* code = PyCode_NewEmpty(file, name, 0);
    if (!code) return nullptr;
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(reinterpret_cast<PyObject*>(code));
    return reinterpret_cast<PyObject*>(frame);
}

// Checked on CPython 3.11.2. _PyDict_NewPresized: a dict with room for `size` keys (no resize
// while a record is filled).
inline PyObject* dict_presized(Py_ssize_t size) { return _PyDict_NewPresized(size); }

// Checked on CPython 3.11.2. A dict of the text keys `keys[0..n)` with `values` whose key table is
// shared, as the attribute dict of an instance of a plain class is (3.11 gives every instance of a
// class one key table, and the dict made from its attributes keeps it). PyDict_Copy of such a dict
// shares the table too and allocates only the values: the smallest dict of a fixed key list, 30
// keys at most. Only public calls are made; an interpreter that does not share gives ordinary
// dicts of the same keys, values and order. Returns a new reference, or null with an error set.
inline PyObject* shared_key_dict(PyObject* const* keys, PyObject* const* values, Py_ssize_t n) {
    PyObject* namespace_ = PyDict_New();
    if (!namespace_) return nullptr;
    PyObject* cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "record",
                                          reinterpret_cast<PyObject*>(&PyBaseObject_Type), namespace_);
    Py_DECREF(namespace_);
    if (!cls) return nullptr;
    PyObject* instance = PyObject_CallNoArgs(cls);
    Py_DECREF(cls);
    if (!instance) return nullptr;
    PyObject* dict = nullptr;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < n; ++i) ok = PyObject_SetAttr(instance, keys[i], values[i]) == 0;
    if (ok) dict = PyObject_GenericGetDict(instance, nullptr);
    Py_DECREF(instance);
    return dict;
}

// Checked on CPython 3.11.2. The values of a dict whose key table is shared (shared_key_dict and
// its copies) stand in the key table's order in PyDictObject.ma_values (struct _dictvalues of
// Include/internal/pycore_dict.h: an array of object pointers, which the dict owns). The array, or
// null for a dict whose table is not shared. RecordShape proves the order on its own template
// before it writes there, and writes only into a copy no other code has seen yet.
inline PyObject** shared_values(PyObject* dict) {
#if PYGLUE_CPYTHON_LAYOUTS
    PyDictValues* values = reinterpret_cast<PyDictObject*>(dict)->ma_values;
    return values ? reinterpret_cast<PyObject**>(values) : nullptr;
#else
    (void)dict;
    return nullptr;
#endif
}

// Checked on CPython 3.11.2. A copy of a dict whose key table is shared gets a values array as long
// as the table's keys plus its room for more (dk_nentries + dk_usable: 30 slots for the table that an
// instance's attributes make, whatever the count of keys). Sealing the table (no room left) makes a
// copy's array exactly as long as its keys; a key added later to a dict of a sealed table gives that
// dict a table of its own, as a full shared table does. Copies made before the sealing keep their
// longer arrays and stay valid (a copy reads the order and values it needs relative to the values
// pointer). False for a dict whose table is not shared.
inline bool seal_shared_keys(PyObject* dict) {
#if PYGLUE_CPYTHON_LAYOUTS
    PyDictObject* d = reinterpret_cast<PyDictObject*>(dict);
    if (!d->ma_values || d->ma_keys->dk_kind != DICT_KEYS_SPLIT) return false;
    d->ma_keys->dk_usable = 0;
    return true;
#else
    (void)dict;
    return false;
#endif
}

// One key/value pair of a dict's table of text keys (text_items).
struct TextItem {
    PyObject* key;
    PyObject* value;  // null for a removed pair
};
#if PYGLUE_CPYTHON_LAYOUTS
static_assert(sizeof(TextItem) == sizeof(PyDictUnicodeEntry) && offsetof(TextItem, key) == 0 &&
                  offsetof(PyDictUnicodeEntry, me_key) == 0 &&
                  offsetof(TextItem, value) == offsetof(PyDictUnicodeEntry, me_value),
              "a TextItem is read as the interpreter's PyDictUnicodeEntry");
#endif

// Checked on CPython 3.11.2. The key/value pairs of a dict (or dict subclass) whose keys are all exact
// str in a table of its own (PyDictKeysObject of kind DICT_KEYS_UNICODE: what a dict literal, dict()
// and the JSON decoder make of text keys), in iteration order, as PyDict_Next walks them: `*count`
// pairs, of which a removed one has a null value. Null for a dict of any other layout, and on an
// interpreter whose layout is not known here (the caller walks with PyDict_Next then). Borrowed,
// valid while no code changes the dict.
inline const TextItem* text_items(PyObject* dict, Py_ssize_t* count) {
#if PYGLUE_CPYTHON_LAYOUTS
    PyDictObject* d = reinterpret_cast<PyDictObject*>(dict);
    PyDictKeysObject* keys = d->ma_keys;
    if (d->ma_values || keys->dk_kind != DICT_KEYS_UNICODE) return nullptr;
    *count = keys->dk_nentries;
    return reinterpret_cast<const TextItem*>(DK_UNICODE_ENTRIES(keys));
#else
    (void)dict;
    *count = 0;
    return nullptr;
#endif
}

// Checked on CPython 3.11.2. The start of the key table of the dict `dict` (PyDictObject.ma_keys),
// only to tell the processor to fetch it early; null where the layout is not known here.
inline const void* key_table(PyObject* dict) {
#if PYGLUE_CPYTHON_LAYOUTS
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys;
#else
    (void)dict;
    return nullptr;
#endif
}

// Checked on CPython 3.11.2. list.append(item) that takes the caller's reference to `item` (as the
// interpreter's own _PyList_AppendTakeRef): written in place while the list has room
// (PyListObject.allocated), through PyList_Append otherwise (and always where the layout is not
// known here). 0, or -1 with an error set; the reference is taken either way.
inline int list_append_steal(PyObject* list, PyObject* item) {
#if PYGLUE_CPYTHON_LAYOUTS
    PyListObject* l = reinterpret_cast<PyListObject*>(list);
    Py_ssize_t size = Py_SIZE(l);
    if (size < l->allocated) {
        PyList_SET_ITEM(list, size, item);
        Py_SET_SIZE(l, size + 1);
        return 0;
    }
#endif
    int appended = PyList_Append(list, item);
    Py_DECREF(item);
    return appended;
}

// Checked on CPython 3.11.2. _PyUnicode_JoinArray: `separator.join(items[:count])` without a list.
inline PyObject* join_array(PyObject* separator, PyObject* const* items, Py_ssize_t count) {
    return _PyUnicode_JoinArray(separator, items, count);
}

// Checked on CPython 3.11.2. _PyType_Lookup: the attribute `name` as the type's MRO gives it
// (borrowed, null when absent, no error set), through the interpreter's method cache.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Checked on CPython 3.11.2. The version tag of a type: it changes whenever an attribute of the
// type or of a base is set or deleted; 0 when the type has none (Py_TPFLAGS_VALID_VERSION_TAG).
inline unsigned int type_version(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// Checked on CPython 3.11.2. The instance dictionary of `obj` (borrowed), made from its inline
// values when the type keeps them so; null when it has none (no error set).
inline PyObject* instance_dict(PyObject* obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot ? *slot : nullptr;
}

// Checked on CPython 3.11.2 (Modules/_threadmodule.c). Whether a lock of the type that
// _thread.allocate_lock() makes is held: its `locked` member, which lock.locked() reports.
struct ThreadLockLayout {
    PyObject_HEAD void* lock_lock;
    PyObject* in_weakreflist;
    char locked;
};
inline bool thread_lock_held(PyObject* lock) {
    return reinterpret_cast<ThreadLockLayout*>(lock)->locked != 0;
}

}  // namespace compat
}  // namespace pyglue
