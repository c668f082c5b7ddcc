// initialize, login and shutdown: opening, authorising and closing the
// module's connection to a Terminal.
#include <Python.h>

#include "convert/args.hpp"
#include "convert/array_pool.hpp"
#include "convert/outcome.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "platform/platform.hpp"
#include "protocol/wire.hpp"
#include "session/discovery.hpp"
#include "session/lifecycle.hpp"

namespace qvn::session {
namespace {

using convert::error_false;
using link::client;
using link::PipeWriter;

constexpr std::size_t kPathArgUnits = 257;
constexpr std::size_t kCredentialUnits = 253;
constexpr std::uint32_t kDefaultTimeoutMs = 60000;
constexpr std::uint32_t kPollPauseMs = 100;

constexpr std::uint32_t limit_of(std::uint32_t timeout) noexcept { return timeout != 0 ? timeout : kDefaultTimeoutMs; }

constexpr const char* kOtpNeeded = "Unsupported authorization mode, OTP or certificate password needed";

struct Credentials {
    std::uint64_t login = 0;
    convert::WideText<256> server;
    convert::WideText<256> password;
    std::uint32_t timeout = 0;

    bool any() const noexcept { return login != 0 || server.length != 0 || password.length != 0; }
};

struct InitializeArgs {
    convert::WideText<260> path;
    Credentials account;
    bool portable = false;
};

// The keywords both functions share, checked in the documented order;
// returns the message of the first rejected keyword, or null.
const char* parse_account_keywords(PyObject* kwargs, Credentials& c) noexcept {
    if (kwargs == nullptr) return nullptr;
    if (PyObject* v = PyDict_GetItemString(kwargs, "login"); v && !convert::to_u64(v, c.login))
        return "Invalid \"login\" argument";
    if (PyObject* v = PyDict_GetItemString(kwargs, "server"); v && !convert::to_text(v, kCredentialUnits, c.server))
        return "Invalid \"server\" argument";
    if (PyObject* v = PyDict_GetItemString(kwargs, "password"); v && !convert::to_text(v, kCredentialUnits, c.password))
        return "Invalid \"password\" argument";
    if (PyObject* v = PyDict_GetItemString(kwargs, "timeout"); v && !convert::to_u32(v, c.timeout))
        return "Invalid \"timeout\" argument";
    return nullptr;
}

const char* parse_initialize(PyObject* args, PyObject* kwargs, InitializeArgs& a) noexcept {
    const Py_ssize_t n = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (n > 1) return "Invalid number of arguments";
    if (n == 1 && !convert::to_text(PyTuple_GET_ITEM(args, 0), kPathArgUnits, a.path)) return "Invalid 1st unnamed argument";
    if (const char* why = parse_account_keywords(kwargs, a.account)) return why;
    if (kwargs == nullptr) return nullptr;
    if (PyObject* v = PyDict_GetItemString(kwargs, "path"); v && !convert::to_text(v, kPathArgUnits, a.path))
        return "Invalid \"path\" argument";
    if (PyObject* v = PyDict_GetItemString(kwargs, "portable")) {
        const int truth = PyObject_IsTrue(v);
        if (truth < 0) PyErr_Clear();
        a.portable = truth > 0;
    }
    return nullptr;
}

const char* parse_login(PyObject* args, PyObject* kwargs, Credentials& c) noexcept {
    const Py_ssize_t n = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (n > 3) return "Invalid number of arguments";
    if (n >= 1 && !convert::to_u64(PyTuple_GET_ITEM(args, 0), c.login)) return "Invalid 1st unnamed argument";
    if (n >= 2 && !convert::to_text(PyTuple_GET_ITEM(args, 1), kCredentialUnits, c.password))
        return "Invalid 2nd unnamed argument";
    if (n >= 3 && !convert::to_text(PyTuple_GET_ITEM(args, 2), kCredentialUnits, c.server))
        return "Invalid 3rd unnamed argument";
    return parse_account_keywords(kwargs, c);
}

std::int32_t send_login(const Credentials& c) noexcept {
    const std::u16string_view password = c.password.view();
    const std::u16string_view server = c.server.view();
    return link::transact(
        client().handle(), wire::kLogin, 4 + 8 + link::text_size(password) + link::text_size(server),
        [&](PipeWriter& w) noexcept {
            return w.put(std::uint32_t{0}) && w.put(c.login) && w.put_text(password) && w.put_text(server);
        },
        link::no_fields);
}

// When a call given `timeout` milliseconds (0: the default) must end.
std::uint64_t deadline_after(std::uint32_t timeout) noexcept {
    return platform::monotonic_ms() + limit_of(timeout);
}

const char* login_text(std::int32_t code) noexcept {
    return code == wire::kUnsupportedFunction ? kOtpNeeded : nullptr;
}

std::int32_t connect(const InitializeArgs& a, std::uint64_t deadline) {
    link::CInterClient& c = client();
    const std::uint32_t limit = limit_of(a.account.timeout);
    if (a.path.length != 0) return c.connect_terminal(a.path.view(), a.portable, deadline, limit);
    TerminalCandidate best;
    const Discovery found = find_terminal(best);
    if (found == Discovery::NoRoaming) return wire::kIpcInitializeFailed;
    if (best.executable.empty()) {
        // The text is fixed (callers match it); installations skipped as
        // untrusted end the same way. The front's docs point to the bundled Terminal.
        c.set_detail(std::string_view("Quorvane x64 not found"));
        return wire::kIpcInitializeFailed;
    }
    return c.connect_terminal(best.executable, best.portable, deadline, limit);
}

}  // namespace

std::int32_t handshake() noexcept {
    std::uint32_t build = 0;
    const std::u16string_view client_kind = wire::kHandshakeClient;
    const std::int32_t code = link::transact(
        client().handle(), wire::kHandshake, 4 + link::text_size(client_kind),
        [client_kind](PipeWriter& w) noexcept { return w.put(wire::kHandshakeVersion) && w.put_text(client_kind); },
        link::status_reply(build));
    client().set_terminal_build(build);
    return code;
}

std::int32_t wait_ready(std::uint64_t deadline) noexcept {
    for (;;) {
        std::uint32_t state = 0;
        const std::int32_t code = link::send_command(client().handle(), wire::kReadyPoll, link::status_reply(state));
        if (code < 0) return code;
        if (state == wire::kStateReady) return wire::kSuccess;
        if (state == wire::kStateAuthFailed) return wire::kAuthorizationFailed;
        const std::uint64_t now = platform::monotonic_ms();
        if (now >= deadline) return wire::kIpcTimeout;
        const link::BlockingWait wait;
        platform::sleep_ms(static_cast<unsigned>(deadline - now < kPollPauseMs ? deadline - now : kPollPauseMs));
    }
}

PyObject* py_initialize(PyObject*, PyObject* args, PyObject* kwargs) {
    link::reset_error();
    // Made from Python code run while this thread's call has a request or
    // reply on the wire: that call's connection is left to it.
    if (client().handle().busy())
        return error_false(wire::kIpcInitializeFailed, "IPC initialize failed, another call is in progress");
    client().disconnect();
    InitializeArgs a;
    if (const char* why = parse_initialize(args, kwargs, a)) return error_false(wire::kInvalidParams, why);

    // The timeout bounds the whole call: starting the Terminal, connecting,
    // and every reply up to its readiness. A Terminal that accepted the
    // connection but never answers (stopped, hung) cannot hold it longer.
    const std::uint64_t deadline = deadline_after(a.account.timeout);
    const link::CallDeadline bound(client().handle(), deadline);
    std::int32_t connected = wire::kIpcInitializeFailed;
    try {
        connected = connect(a, deadline);
    } catch (...) {  // allocation failure while building paths
        connected = wire::kIpcInitializeFailed;
    }
    if (connected != wire::kSuccess) return error_false(connected);

    // A refused handshake leaves the connection open: the Terminal is there,
    // it only declined this client.
    if (const std::int32_t code = handshake(); code < 0) return error_false(code);

    if (a.account.any()) {
        if (const std::int32_t code = send_login(a.account); code < 0) {
            client().disconnect();
            return error_false(code, login_text(code));
        }
    }
    if (const std::int32_t code = wait_ready(deadline); code < 0) {
        client().disconnect();
        return error_false(code);
    }
    Py_RETURN_TRUE;
}

PyObject* py_login(PyObject*, PyObject* args, PyObject* kwargs) {
    link::reset_error();
    Credentials c;
    if (const char* why = parse_login(args, kwargs, c)) return error_false(wire::kInvalidParams, why);
    if (c.login == 0) return error_false(wire::kInvalidParams, "Invalid \"login\" argument");
    if (!client().connected()) return error_false(wire::kNoIpcConnection);
    if (const std::int32_t code = send_login(c); code < 0) return error_false(code, login_text(code));
    // Only the readiness wait is bounded: the login's reply is waited for
    // as any call's is.
    if (const std::int32_t code = wait_ready(deadline_after(c.timeout)); code < 0) return error_false(code);
    Py_RETURN_TRUE;
}

PyObject* py_shutdown(PyObject*, PyObject*) {
    link::reset_error();
    client().disconnect();
    convert::release_idle_blocks();  // no further history replies to keep them for
    Py_RETURN_TRUE;
}

}  // namespace qvn::session
