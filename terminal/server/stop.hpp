// A request to stop the Terminal, raised by the system: SIGTERM or SIGINT
// on POSIX, a console control event (Ctrl+C, Ctrl+Break, a closed console,
// log-off, shut-down) on Windows. The serving loop waits on its handle.
#pragma once

#include "platform/platform.hpp"

namespace qvn::terminal {

class StopRequest {
public:
    // Routes the system's stop requests here; throws std::runtime_error when
    // that cannot be set up. Only one may exist at a time.
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // Readable (a pipe on POSIX) or signalled (an event on Windows) once a
    // stop was asked.
    platform::Handle handle() const noexcept { return wait_.get(); }

private:
    platform::UniqueHandle wait_;
    platform::UniqueHandle raise_;
};

}  // namespace qvn::terminal
