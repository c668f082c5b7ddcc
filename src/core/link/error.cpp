#include "link/error.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "link/client.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::link {
namespace {

struct ErrorState {
    std::int32_t code = 0;
    char message[kMessageBytes] = {};
};

ErrorState g_error;

// Copies text into the message buffer; the cut never splits a UTF-8
// sequence, so last_error() can always decode what it finds there.
void store_message(std::string_view text) noexcept {
    const std::size_t n = protocol::utf8_boundary(text, kMessageBytes - 1);
    std::memcpy(g_error.message, text.data(), n);
    g_error.message[n] = '\0';
}

const char* table_text(std::int32_t code) noexcept {
    switch (code) {
        case wire::kInvalidParams: return "Terminal: Invalid params";
        case wire::kOutOfMemory: return "Terminal: Out of memory";
        case wire::kNotFound: return "Terminal: Not found";
        case wire::kIncompatibleVersion:
            return "Terminal: Incompatible versions, please install the latest version of Terminal and Python module";
        case wire::kAuthorizationFailed: return "Terminal: Authorization failed";
        case wire::kUnsupportedFunction: return "Terminal: Unsupported function";
        case wire::kIpcCallFailed: return "IPC call failed";
        case wire::kIpcSendFailed: return "IPC send failed";
        case wire::kIpcRecvFailed: return "IPC recv failed";
        case wire::kNoIpcConnection: return "No IPC connection";
        case wire::kIpcTimeout: return "IPC timeout";
        default: return "Terminal: Call failed";
    }
}

}  // namespace

void reset_error() noexcept {
    g_error.code = wire::kSuccess;
    store_message("Success");
}

void set_error(std::int32_t code, const char* text) noexcept {
    g_error.code = code;
    if (text != nullptr) {
        store_message(text);
        return;
    }
    if (code != wire::kIpcInitializeFailed) {
        store_message(table_text(code));
        return;
    }
    // The detail is UTF-16 and may hold any path; converted to UTF-8 with
    // lone surrogates replaced, so the message is always valid UTF-8.
    try {
        std::string message = "IPC initialize failed, ";
        message += protocol::utf16_to_utf8(client().init_detail());
        store_message(message);
    } catch (...) {
        store_message("IPC initialize failed, ");
    }
}

PyObject* error_none(std::int32_t code, const char* text) noexcept {
    set_error(code, text);
    Py_RETURN_NONE;
}

PyObject* error_false(std::int32_t code, const char* text) noexcept {
    set_error(code, text);
    Py_RETURN_FALSE;
}

std::int32_t error_code() noexcept { return g_error.code; }
const char* error_message() noexcept { return g_error.message; }

PyObject* py_last_error(PyObject*, PyObject*) {
    PyObject* text = PyUnicode_DecodeUTF8(g_error.message, static_cast<Py_ssize_t>(std::strlen(g_error.message)),
                                          "replace");
    if (text == nullptr) return nullptr;
    return Py_BuildValue("(iN)", g_error.code, text);
}

}  // namespace qvn::link
