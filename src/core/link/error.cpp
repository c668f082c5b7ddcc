#include "link/error.hpp"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "link/client.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::link {
namespace {

void copy_state(ErrorState& to, const ErrorState& from) noexcept {
    to.code = from.code;
    to.success = from.success;
    std::memcpy(to.message, from.message, std::strlen(from.message) + 1);
}

ErrorState g_error;      // the call in progress
ErrorState g_published;  // the latest call to finish
std::mutex g_published_guard;

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
        case wire::kNoIpcConnection: return "No IPC connection, call initialize() first";
        case wire::kIpcTimeout: return "IPC timeout";
        default: return "Terminal: Call failed";
    }
}

}  // namespace

void reset_error() noexcept {
    static constexpr char kSuccessText[] = "Success";
    static_assert(sizeof kSuccessText <= kMessageBytes);
    g_error.code = wire::kSuccess;
    g_error.success = true;
    std::memcpy(g_error.message, kSuccessText, sizeof kSuccessText);
}

void set_error(std::int32_t code, const char* text) noexcept {
    g_error.code = code;
    g_error.success = false;
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

std::int32_t error_code() noexcept { return g_error.code; }
const char* error_message() noexcept { return g_error.message; }

// Only the holder of the call lock publishes, so g_published changes under
// no one else's hands here and is read without its guard; an outcome equal to
// the one already published (a run of successful calls) is not written again.
void publish_error() noexcept {
    if (g_error.success && g_published.success) return;
    if (g_error.code == g_published.code && std::strcmp(g_error.message, g_published.message) == 0) return;
    const std::lock_guard<std::mutex> hold(g_published_guard);
    copy_state(g_published, g_error);
}

void save_error(ErrorState& into) noexcept { copy_state(into, g_error); }
void restore_error(const ErrorState& from) noexcept { copy_state(g_error, from); }

std::int32_t published_error(char (&message)[kMessageBytes]) noexcept {
    const std::lock_guard<std::mutex> hold(g_published_guard);
    std::memcpy(message, g_published.message, std::strlen(g_published.message) + 1);
    return g_published.code;
}

}  // namespace qvn::link
