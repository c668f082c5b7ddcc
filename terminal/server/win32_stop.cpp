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

}  // namespace

StopRequest::StopRequest() {
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) throw std::runtime_error("cannot create the stop event");
    wait_ = platform::UniqueHandle(reinterpret_cast<platform::Handle>(event));
    g_stop_event = event;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

StopRequest::~StopRequest() {
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    g_stop_event = nullptr;
}

}  // namespace qvn::terminal
