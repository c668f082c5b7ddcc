// _in_process(folder, args): a Terminal in this process, for the package's
// backtests. It is built as terminal64 builds its own and the module's
// connection leads to it, replacing any connection as initialize does;
// shutdown() or initialize() ends it.
#include <Python.h>

#include <string>
#include <vector>

#include "convert/outcome.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/in_process.hpp"
#include "platform/platform.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"
#include "session/lifecycle.hpp"

namespace qvn::session {
namespace {

using convert::error_false;
using link::client;

// As long as initialize waits by default for a Terminal to become ready.
constexpr std::uint64_t kReadyTimeoutMs = 60000;

// A str as UTF-16 units, lone surrogates kept (a path's escaped bytes).
bool to_units(PyObject* text, std::u16string& out) {
    if (!PyUnicode_Check(text)) return false;
    PyObject* encoded = PyUnicode_AsEncodedString(text, "utf-16-le", "surrogatepass");
    if (encoded == nullptr) {
        PyErr_Clear();
        return false;
    }
    const auto* units = reinterpret_cast<const char16_t*>(PyBytes_AS_STRING(encoded));
    out.assign(units, static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)) / 2);
    Py_DECREF(encoded);
    return true;
}

// A list or tuple of str as terminal64's arguments (UTF-8).
bool to_arguments(PyObject* list, std::vector<std::string>& out) {
    if (!PyList_CheckExact(list) && !PyTuple_CheckExact(list)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(list, i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text == nullptr || std::string_view(text, static_cast<std::size_t>(size)).find('\0') != std::string_view::npos) {
            PyErr_Clear();
            return false;
        }
        out.emplace_back(text, static_cast<std::size_t>(size));
    }
    return true;
}

// The start itself, with the interpreter lock let go: building the Terminal
// (its store checked, its imported symbols read) touches no Python object.
std::unique_ptr<link::LocalPeer> start(const std::u16string& folder, const std::vector<std::string>& args,
                                       int& code, std::string& error) {
    const link::BlockingWait wait;
    return link::start_in_process(folder, args, code, error);
}

}  // namespace

PyObject* py_in_process(PyObject*, PyObject* args) {
    link::reset_error();
    if (client().handle().busy())
        return error_false(wire::kIpcInitializeFailed, "IPC initialize failed, another call is in progress");
    client().disconnect();  // an earlier in-process Terminal ends here
    PyObject* folder_arg = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_UnpackTuple(args, "_in_process", 2, 2, &folder_arg, &list)) {
        PyErr_Clear();
        return error_false(wire::kInvalidParams, "Invalid number of arguments");
    }
    try {
        std::u16string folder;
        std::vector<std::string> arguments;
        if (!to_units(folder_arg, folder) || folder.empty())
            return error_false(wire::kInvalidParams, "Invalid 1st unnamed argument");
        if (!to_arguments(list, arguments)) return error_false(wire::kInvalidParams, "Invalid 2nd unnamed argument");

        int code = 0;
        std::string error;
        std::unique_ptr<link::LocalPeer> terminal = start(folder, arguments, code, error);
        if (terminal == nullptr) {
            // What terminal64 would have written before it exited with `code`.
            client().set_detail(protocol::path_to_utf16("Terminal not started (code " + std::to_string(code) +
                                                        "): terminal64: " + error));
            return error_false(wire::kIpcInitializeFailed);
        }
        client().handle().adopt(std::move(terminal));
    } catch (...) {  // no memory for the arguments or the message
        client().disconnect();
        return error_false(wire::kIpcInitializeFailed);
    }
    if (const std::int32_t code = handshake(); code < 0) {
        client().disconnect();
        return error_false(code);
    }
    if (const std::int32_t code = wait_ready(platform::monotonic_ms() + kReadyTimeoutMs); code < 0) {
        client().disconnect();
        return error_false(code);
    }
    Py_RETURN_TRUE;
}

}  // namespace qvn::session
