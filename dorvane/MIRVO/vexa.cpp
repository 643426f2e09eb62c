// dorvane.MIRVO.vexa: the interpreter's face of the signing library. init_vexa activates a user's
// PKCS#12 certificate through the process-wide signer, get_sign signs a text, gen_vexa wraps a
// signature and a user id into the signature block; failures of the signer become VexaError with
// the text of cError.h beside the module.
//
// The functions read quote, get_sign, read_error_code_dict, raise_error and VexaError from the
// module at each call, so a replacement assigned to the module takes effect. Every call into the
// signer runs whole under the interpreter lock; it is released only while an activation waits for
// another to finish, in this process or in another one activating in the same working folder.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "MIRVOSign.hpp"
#include "cFolderLock.hpp"
#include "cFork.hpp"
#include "cLog.hpp"
#include "cSafeFile.hpp"
#include "cSecret.hpp"
#include "pyglue.hpp"
#include "vexa.hpp"

namespace py = pybind11;
namespace N = vexa::N;
using pyglue::attr;
using pyglue::call_method;
using pyglue::global;
using pyglue::set_attr;

// The signature block of gen_vexa.
namespace vexa {

py::object format_text(py::handle value, const char* format_spec) {
    return pyglue::steal(PyObject_Format(value.ptr(), py::str(format_spec).ptr()));
}

namespace {

// The "{}" form of a value (format(value, format_spec)) encoded as the block is, UTF-8; a text that
// cannot be encoded fails with its encoding error.
std::string formatted(py::handle value, const char* format_spec = "") {
    return call_method(format_text(value, format_spec), N::encode, "utf8").cast<std::string>();
}

py::object length_of(py::handle value) { return py::int_(pyglue::require(PyObject_Length(value.ptr()))); }

}  // namespace

py::bytes signature_block(py::object quoted, py::object user_id) {
    // The arguments in the order the format takes them: the lengths before the texts.
    py::object quotedLength = length_of(quoted);
    py::object userLength = length_of(user_id);
    std::string block = "0000";
    block += formatted(quotedLength, "04d");
    block += formatted(quoted);
    block += "0000";
    block += formatted(userLength, "04d");
    std::string user = formatted(user_id);
    block += user;
    block += user;
    return py::bytes(block);
}

}  // namespace vexa

namespace {

// pathlib.Path, imported once when the module initialises and kept for the life of the process.
PyObject* g_path_type = nullptr;

py::handle path_type() { return g_path_type; }

// The module's folder: the parent of its own file.
py::object module_folder() { return attr(path_type()(global(N::__file__)), N::parent); }

void debug_number(const char* name, int32_t code) { mirvoLog().debug().writeInt(name, code); }

// Raises the signer's code as VexaError through the module's raise_error, with the dictionary of
// the module's cError.h. Returns only when a replaced raise_error returns.
void raise_code(int32_t code, py::object error_code_dict) {
    global(N::raise_error)(py::int_(code), error_code_dict);
}

// The bytes of a text as the signer takes them: zero-terminated, so a zero byte inside would end
// the text early and the rest would go unsigned.
void refuse_embedded_zero(std::string_view bytes, const char* what) {
    if (memchr(bytes.data(), '\0', bytes.size()) != nullptr)
        pyglue::raise(PyExc_ValueError, std::string("embedded null character in ") + what);
}

// The UTF-8 bytes of a str, written straight into a secret: no bytes object, no buffer of the
// interpreter's encoder and no UTF-8 form cached in the str hold a copy. Null for a str that the
// UTF-8 codec refuses (a lone surrogate), whose error the interpreter's own encode then raises.
std::unique_ptr<cSecret> utf8Secret(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto out = std::make_unique<cSecret>(4 * static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return nullptr;
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// vexa_pwd.encode("utf-8") as a secret. A str (not a subclass, whose encode may differ) is encoded
// straight into it; anything else through its own encode, whose result is copied into the secret
// and then wiped when this call holds the result's only reference (a shared object, such as one of
// the interpreter's cached one-byte objects, is left alone) before it is released.
std::unique_ptr<cSecret> passwordBytes(py::handle vexa_pwd) {
    if (PyUnicode_CheckExact(vexa_pwd.ptr())) {
        std::unique_ptr<cSecret> direct = utf8Secret(vexa_pwd.ptr());
        if (direct) return direct;
    }
    py::object encoded = call_method(vexa_pwd, N::encode, "utf-8");
    std::unique_ptr<cSecret> secret;
    if (PyBytes_CheckExact(encoded.ptr())) {
        char* bytes = PyBytes_AS_STRING(encoded.ptr());
        const size_t count = static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()));
        secret = std::make_unique<cSecret>(bytes, count);
        if (Py_REFCNT(encoded.ptr()) == 1) OPENSSL_cleanse(bytes, count);
    } else {
        std::string copy = encoded.cast<std::string>();
        secret = std::make_unique<cSecret>(copy.data(), copy.size());
        if (!copy.empty()) OPENSSL_cleanse(&copy[0], copy.size());
    }
    pyglue::drop(encoded);
    return secret;
}

// str(value) as UTF-8 bytes (the encoding of the properties file). The bytes of a file system name
// that are not UTF-8 (which the interpreter holds as escapes) come back as they are, and any other
// lone surrogate as its three code bytes, which are not UTF-8 either: the properties check then
// refuses both with its reason.
std::string utf8_text(py::handle value) {
    py::str text(value);
    try {
        return call_method(text, N::encode, "utf-8", "surrogateescape").cast<std::string>();
    } catch (py::error_already_set& e) {
        py::object why = pyglue::keep_exception(e);
        if (!PyErr_GivenExceptionMatches(why.ptr(), PyExc_UnicodeEncodeError)) pyglue::raise(why);
        pyglue::drop(why);
    }
    return call_method(text, N::encode, "utf-8", "surrogatepass").cast<std::string>();
}

// Whether the working folder has been removed while the process works in it: its name no longer
// leads to it, and nothing can be made in it.
bool working_folder_removed() {
    char buf[4096];
    return getcwd(buf, sizeof buf) == nullptr && errno == ENOENT;
}

// Writes the properties text as p7Sign.properties in the working folder: created 0600 (a file that
// exists keeps its mode), never through a symbolic link, and only over a regular file. Raises
// OSError naming the file and why otherwise.
void write_properties(const std::string& text) {
    cSafeFile file = cSafeFile::openWrite(AT_FDCWD, kMirvoPropertiesFile, cSafeFile::Write::truncate);
    int error = file.error();
    std::string why = file.why();
    if (file) {
        if (file.writeAll(text.data(), text.size())) return;
        error = errno;
        why = strerror(error);
    } else if (error == ENOENT && working_folder_removed()) {
        why = "the working folder no longer exists (it was removed)";
    }
    py::object failure = py::handle(PyExc_OSError)(
        py::int_(error), "the signing properties are not written: " + why, kMirvoPropertiesFile);
    pyglue::raise(failure);
}

// The working folder's absolute name, for messages.
std::string working_folder() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

// Runs tryTake(); when it fails, waits in take() with the interpreter lock released, because the
// holder may need the interpreter lock to finish. At interpreter exit the wait may end a daemon
// thread by unwinding; what it took is then released by its owner's destructor.
template <class TryTake, class Take>
void takeWithoutInterpreter(TryTake&& tryTake, Take&& take) {
    if (tryTake()) return;
    PyThreadState* saved = PyEval_SaveThread();
    pyglue::on_failure([&] { take(); }, [&] { PyEval_RestoreThread(saved); });
    PyEval_RestoreThread(saved);
}

// One activation at a time in the working folder. The properties file has one fixed name in the
// working directory, and the interpreter may switch threads between its write, the activation
// that reads it and its delete; another process activating in the same folder may run at any
// time. So one call's sequence must not interleave with another's: a mutex orders the threads of
// the process, then the working folder's own lock (flock on the folder, so no lock file is made)
// orders the processes. A folder that cannot be locked (a file system without flock) is worked in
// unlocked, as before. The folder's lock is waited for at most kFolderLockWait: anyone who can read
// the folder can take its lock (shared or exclusive) and keep it, so an unbounded wait would let
// another user stop every activation here for good. An activation takes well under a second, so
// a lock kept longer is not another activation; the call then fails with TimeoutError naming the
// folder (going on unlocked would let two processes mix up their properties files). The lock is
// recursive: a call made again on the holding thread (through a module function replaced by the
// caller) does not wait for itself. A forked child finds both free unless its forking thread held
// them (cFork.hpp).
class ActivationLock {
public:
    static constexpr std::chrono::seconds kFolderLockWait{5};

    ActivationLock() {
        if (depth() > 0) {
            ++depth();
            return;
        }
        thread_ = std::unique_lock<cForkSafeMutex>(shared().mutex, std::defer_lock);
        takeWithoutInterpreter([&] { return thread_.try_lock(); }, [&] { thread_.lock(); });
        folder_.emplace();
        ++depth();
    }

    ~ActivationLock() { --depth(); }

    ActivationLock(const ActivationLock&) = delete;
    ActivationLock& operator=(const ActivationLock&) = delete;

private:
    // The mutex and the folder's lock, process-wide and never destroyed (a daemon thread may hold
    // them while the process ends). The folder's lock is not on the holder's stack: a forked child
    // still lists it for its own forks, and the stack of a thread that did not fork is reused by
    // the child's next thread.
    struct Shared {
        cForkSafeMutex mutex;
        cFolderLock folder;
    };
    static Shared& shared() {
        static Shared* const s = new Shared();
        return *s;
    }

    // The working folder's lock, taken by the holder of the mutex (waiting for other processes
    // with the interpreter lock released) and given back before the mutex.
    struct FolderHold {
        FolderHold() {
            cFolderLock& folder = shared().folder;
            cFolderLock::State state = cFolderLock::State::busy;
            takeWithoutInterpreter([&] { return (state = folder.lock(".")) != cFolderLock::State::busy; },
                                   [&] { state = folder.lock(".", kFolderLockWait); });
            if (state == cFolderLock::State::busy)
                pyglue::raise(PyExc_TimeoutError,
                              "the working folder " + working_folder() +
                                  " is locked by another process (an activation there, or a lock held on "
                                  "the folder) for more than " +
                                  std::to_string(kFolderLockWait.count()) +
                                  " s: the certificate is not activated");
        }
        ~FolderHold() { shared().folder.unlock(); }
        FolderHold(const FolderHold&) = delete;
        FolderHold& operator=(const FolderHold&) = delete;
    };

    // Activations the calling thread is inside. A forked child keeps the forking thread's count,
    // which is 0 unless that thread held the lock (and then still holds it in the child).
    static int& depth() {
        thread_local int d = 0;
        return d;
    }

    // Members go in reverse order: the folder's lock before the mutex.
    std::unique_lock<cForkSafeMutex> thread_;
    std::optional<FolderHold> folder_;
};

py::object init_vexa(py::object vexa_path, py::object vexa_pwd) {
    py::object folder = module_folder();
    py::object path = path_type()(vexa_path);
    py::object codes = global(N::read_error_code_dict)(folder);

    // A value that cannot stand in the properties file as it is raises ValueError before
    // anything is written.
    std::string pfxFolder = utf8_text(attr(path, N::parent));
    std::string pfxName = utf8_text(attr(path, N::name));
    std::string p7bFolder = utf8_text(call_method(folder, N::joinpath, "P7B"));
    std::string text;
    try {
        text = vexa::fill_properties(pfxFolder, pfxName, p7bFolder);
    } catch (const std::invalid_argument& e) {
        pyglue::raise(PyExc_ValueError, e.what());
    }
    int32_t code = 0;
    {
        // From the write of the properties file to its delete.
        ActivationLock exclusive;
        write_properties(text);

        std::unique_ptr<cSecret> password = passwordBytes(vexa_pwd);
        refuse_embedded_zero(std::string_view(password->c_str(), password->size()), "password");

        code = MIRVOSignInitial(password->c_str());
        password.reset();
        debug_number("MIRVOSignInitial() return ", code);
        if (code != 0) raise_code(code, codes);

        pyglue::import_from("os", "remove")(kMirvoPropertiesFile);
    }
    pyglue::import_from("builtins", "print")("Vexa Initial Done.");
    return py::int_(code);
}

py::bytes get_sign(py::object plaintext) {
    std::string big5 = call_method(vexa::format_text(plaintext), N::encode, "big5").cast<std::string>();
    refuse_embedded_zero(big5, "plaintext");

    MIRVOSign& signer = mirvoSigner();
    int32_t code = signer.SignPkcs7(big5.c_str());
    debug_number("SignPkcs7() return ", code);
    // A failed signing never hands back the signature of an earlier text.
    if (code == 0 && !signer.lastSignature) code = MIRVO_MEMORY_ERROR;
    if (code != 0) {
        py::object codes = global(N::read_error_code_dict)(module_folder());
        raise_code(code, codes);
        vexa::raise_error(global(N::VexaError), py::int_(code), codes);
    }
    return py::bytes(*signer.lastSignature);
}

py::bytes gen_vexa(py::object user_id, py::object plain) {
    py::object signature = global(N::get_sign)(vexa::format_text(plain));
    py::object quoted = global(N::quote)(signature, py::arg("safe") = "");
    return vexa::signature_block(quoted, user_id);
}

}  // namespace

PYBIND11_MODULE(vexa, m) {
    pyglue::set_module(m);
    // The library's process-wide objects: OpenSSL's set-up, the log, the chain list and the signer.
    mirvoSigner();

    set_attr(m, N::quote, pyglue::import_from("urllib.parse", "quote"));
    // What the functions would import on first use is imported now: the Big5 codec (found through
    // an import at its first lookup) and pathlib, whose Path is kept. A program that forks while
    // another of its threads is inside such an import leaves the child a module lock that no thread
    // of the child holds, and the child's first signature would wait on it for good.
    pyglue::import_from("codecs", "lookup")("big5");
    g_path_type = pyglue::import_from("pathlib", "Path").release().ptr();
    pyglue::new_exception(m, "VexaError", "Vexa Error");

    pyglue::def(m, "read_error_code_dict", &vexa::read_error_code_dict, py::arg("folder_path"),
                py::pos_only(),
                "Reads the error codes of cError.h in the folder: {code: {'error_msg': ..., 'error': ...}}.");
    pyglue::def(
        m, "raise_error",
        [](py::object return_code, py::object error_code_dict) {
            vexa::raise_error(global(N::VexaError), return_code, error_code_dict);
        },
        py::arg("return_code"), py::arg("error_code_dict"),
        "Raises VexaError with the name, the code and the message of the code.");
    pyglue::def(m, "init_vexa", &init_vexa, py::arg("vexa_path") = "Velmora.pfx", py::arg("vexa_pwd") = "",
                "Activates the PKCS#12 certificate for signing; returns 0 or raises VexaError.");
    pyglue::def(m, "get_sign", &get_sign, py::arg("plaintext") = "",
                "Signs the text (as Big5) and returns the base64 PKCS#7 signature as bytes.");
    pyglue::def(m, "gen_vexa", &gen_vexa, py::arg("user_id"), py::arg("plain"),
                "Signs the text and returns the signature block as bytes.");
}
