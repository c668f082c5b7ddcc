// Endpoints are named pipes: "\\.\pipe\" followed by the endpoint name.
#include <windows.h>

#include <algorithm>

#include "platform/platform.hpp"
#include "platform/win32_text.hpp"

namespace qvn::platform {
namespace {

std::wstring pipe_name(std::string_view name) {
    std::wstring out = L"\\\\.\\pipe\\";
    out.append(name.begin(), name.end());  // endpoint names are ASCII
    return out;
}

std::string last_error_text(const char* what) {
    return std::string(what) + " failed with error " + std::to_string(::GetLastError());
}

// A deep outbound buffer lets the client drain one chunk of a large reply
// while the Terminal writes the next.
constexpr DWORD kOutBufferBytes = 1u << 20;
constexpr DWORD kInBufferBytes = 64u << 10;

HANDLE make_instance(const std::wstring& pipe, DWORD extra_open_mode) {
    return ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | extra_open_mode,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                              PIPE_UNLIMITED_INSTANCES, kOutBufferBytes, kInBufferBytes, 0, nullptr);
}

}  // namespace

std::string endpoint_location(std::string_view, std::string_view name) { return win32::narrow(pipe_name(name)); }

bool endpoint_folder(std::string& out, std::string& why) {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
    if (n == 0 || n > MAX_PATH + 1) {
        why = "no temporary folder";
        return false;
    }
    out = win32::narrow({buffer, n});
    while (out.size() > 3 && (out.back() == '\\' || out.back() == '/')) out.pop_back();
    return true;
}

Connect connect_endpoint(std::string_view name, Handle& out, unsigned busy_wait_ms) noexcept {
    out = kInvalidHandle;
    std::wstring pipe;
    try {
        pipe = pipe_name(name);
    } catch (...) {
        return Connect::Absent;
    }
    const ULONGLONG until = ::GetTickCount64() + busy_wait_ms;
    for (;;) {
        // Byte mode with synchronous transfers: no flags, no sharing.
        const HANDLE h = ::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            out = reinterpret_cast<Handle>(h);
            return Connect::Ok;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_PIPE_BUSY) {
            // Every instance is taken: wait for the server to offer the next
            // one, as long as the caller allows (a server that is stopped or
            // hung never does). Zero would mean the server's default wait.
            const ULONGLONG now = ::GetTickCount64();
            if (now >= until) return Connect::Busy;
            if (!::WaitNamedPipeW(pipe.c_str(), static_cast<DWORD>(std::clamp<ULONGLONG>(until - now, 1, NMPWAIT_WAIT_FOREVER - 1)))) {
                if (::GetLastError() == ERROR_SEM_TIMEOUT) return Connect::Busy;
                return Connect::Absent;  // the server is gone
            }
            continue;
        }
        // The pipe exists but this user may not open it: another user's.
        if (error == ERROR_ACCESS_DENIED) return Connect::Refused;
        return Connect::Absent;
    }
}

std::string refusal_reason(std::string_view) { return "Terminal endpoint is served by another user"; }

Handle listen_endpoint(std::string_view name, std::string& path, std::string& why) {
    const std::wstring pipe = pipe_name(name);
    path = win32::narrow(pipe);
    // The first instance: if any process already owns the name, this fails,
    // so nobody can sit on a Terminal's pipe before it starts. Remote
    // clients are never served.
    const HANDLE h = make_instance(pipe, FILE_FLAG_FIRST_PIPE_INSTANCE);
    if (h == INVALID_HANDLE_VALUE) {
        why = ::GetLastError() == ERROR_ACCESS_DENIED ? "endpoint '" + path + "' is already served"
                                                      : last_error_text("CreateNamedPipeW");
        return kInvalidHandle;
    }
    return reinterpret_cast<Handle>(h);
}

Handle add_endpoint_instance(const std::string& path, std::string& why) {
    std::wstring pipe(path.begin(), path.end());  // the ASCII name listen_endpoint gave
    const HANDLE h = make_instance(pipe, 0);
    if (h == INVALID_HANDLE_VALUE) {
        why = last_error_text("CreateNamedPipeW");
        return kInvalidHandle;
    }
    return reinterpret_cast<Handle>(h);
}

void remove_endpoint(const std::string&) noexcept {
    // A pipe disappears with its last instance.
}

}  // namespace qvn::platform
