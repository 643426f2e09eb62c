// HeaderCodec: the 48-byte message header encoded and decoded in C++ for the protocol package's
// own header structure, with results identical to the structure's build and parse.
//
// The structure facility spends most of a request's time on the header. The codec takes over only
// when the structure is the one the protocol package exported when this module was loaded, its
// build/parse are the facility's own methods (not replaced), and a self-check at load time found
// the codec's bytes and records equal to the facility's. Anything else - another structure, a
// value that is not a plain in-range integer, text that does not encode - goes to the facility
// itself, so its results and its errors stay exactly the facility's.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

class HeaderCodec {
public:
    static constexpr Py_ssize_t kSize = 48;

    // Called once at module load with the protocol package's header structure.
    static void init(py::handle structure);

    // structure.build(fields)
    static py::object build(py::handle structure, py::handle fields);

    // `parse` is the structure's bound parse method as read by the caller; `data` holds kSize
    // bytes or more (only the first `size` are given to parse).
    static py::object parse(py::handle parse, const char* data, Py_ssize_t size);

    static bool enabled() { return enabled_; }

private:
    static bool fast_build(py::handle fields, py::object& out);
    static bool fast_parse(const char* data, py::object& out);
    static bool is_own_method(py::handle method, PyObject* function);
    static bool self_check();

    static inline bool enabled_ = false;
    static inline PyObject* structure_ = nullptr;   // the known structure
    static inline PyObject* build_fn_ = nullptr;    // the facility's build function
    static inline PyObject* parse_fn_ = nullptr;    // the facility's parse function
    static inline PyObject* container_ = nullptr;   // the record type parse returns
    static inline PyObject* bytes_io_ = nullptr;    // io.BytesIO
    static inline PyObject* names_[13] = {};
};

}  // namespace dorvane_connect
