#include <windows.h>

#include <stdexcept>

#include "terminal/server/stop.hpp"

namespace qvn::terminal {
namespace {

// Set by the console's control thread; the serving loop waits on it.
HANDLE g_stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD) {
    if (g_stop_event != nullptr) ::SetEvent(g_stop_event);
    return TRUE;
}

HANDLE native(platform::Handle h) noexcept { return reinterpret_cast<HANDLE>(h); }

// Raises the stop once the owner has ended; returns without raising when
// `cancel` is set (the request is ending).
void watch_owner(HANDLE process, HANDLE cancel, HANDLE stop) noexcept {
    const HANDLE both[2] = {cancel, process};
    if (::WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) ::SetEvent(stop);
}

}  // namespace

StopRequest::StopRequest() {
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) throw std::runtime_error("cannot create the stop event");
    wait_ = platform::UniqueHandle(reinterpret_cast<platform::Handle>(event));
    g_stop_event = event;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

StopRequest::~StopRequest() {
    if (watch_.joinable()) {
        ::SetEvent(native(cancel_raise_.get()));
        watch_.join();
    }
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    g_stop_event = nullptr;
}

bool StopRequest::follow_owner(std::uint32_t pid, std::string& error) {
    // A handle keeps the process object, so a pid reused later is never
    // taken for the owner. One that has exited but is still held open by
    // someone is signalled already.
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process != nullptr) owner_ = platform::UniqueHandle(reinterpret_cast<platform::Handle>(process));
    if (process == nullptr || ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        error = "the owner process " + std::to_string(pid) + " is not running";
        return false;
    }
    const HANDLE cancel = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (cancel == nullptr) {
        error = "cannot create the owner watch's event";
        return false;
    }
    cancel_raise_ = platform::UniqueHandle(reinterpret_cast<platform::Handle>(cancel));
    watch_ = std::thread(watch_owner, process, cancel, native(wait_.get()));
    return true;
}

}  // namespace qvn::terminal
