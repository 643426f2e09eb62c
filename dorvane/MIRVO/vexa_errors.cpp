// The error-code file cError.h and the signing error VexaError.
#include "vexa.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace vexa {

namespace {

// The pieces of text between the separators, empty pieces included (str.split(sep)).
std::vector<std::string_view> split(std::string_view text, std::string_view sep) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + sep.size();
    }
}

py::str text_of(std::string_view piece) {
    // Pieces are cut at ASCII separators out of valid UTF-8, so they are valid UTF-8 themselves.
    return py::str(piece.data(), piece.size());
}

[[noreturn]] void index_error() { pyglue::raise(PyExc_IndexError, "list index out of range"); }

}  // namespace

py::dict read_error_code_dict(py::object folder) {
    py::object path = call_method(folder, N::joinpath, "cError.h");
    py::object file = pyglue::import_from("builtins", "open")(path, "rb");
    py::object content;
    then_close(file, [&] { content = call_method(file, N::read); });
    // UTF-8 decoding through the interpreter, so a bad file fails with its UnicodeDecodeError.
    py::object decoded = call_method(content, N::decode, "utf-8");
    std::string text = decoded.cast<std::string>();

    py::dict result;
    for (std::string_view line : split(text, "\r\n")) {
        if (line.substr(0, 7) != "#define") continue;
        std::vector<std::string_view> fields = split(line, " ");
        if (fields.size() < 3) index_error();
        py::object code = pyglue::steal(PyNumber_Long(text_of(fields[2]).ptr()));
        std::string_view message = line;
        size_t mark = line.rfind("// ");
        if (mark != std::string_view::npos) message = line.substr(mark + 3);
        py::dict entry;
        entry["error_msg"] = text_of(message);
        entry["error"] = text_of(fields[1]);
        result[code] = entry;
    }
    return result;
}

void raise_error(py::object exception, py::object code, py::object error_code_dict) {
    py::object error = call_method(error_code_dict, N::get, code, py::dict());
    py::object name = call_method(error, N::get, "error", "");
    py::object message = call_method(error, N::get, "error_msg", "");
    py::object text = py::str("{} {} {}").format(name, code, message);
    pyglue::raise(exception(text));
}

}  // namespace vexa
