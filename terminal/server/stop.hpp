// A request to stop the Terminal, raised by the system: SIGTERM or SIGINT
// on POSIX, a console control event (Ctrl+C, Ctrl+Break, a closed console,
// log-off, shut-down) on Windows; or, once follow_owner was called, the end
// of the process that owns this Terminal. The serving loop waits on its
// handle.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

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

    // Raises the stop once the process `pid` has ended (a private Terminal
    // ends with the program that started it, however that program ends). A
    // helper thread waits on the process itself (a pidfd on Linux, a process
    // handle on Windows), so a pid reused later is never mistaken for it.
    // False, saying why, when that process is not running now. Called once.
    bool follow_owner(std::uint32_t pid, std::string& error);

private:
    platform::UniqueHandle wait_;
    platform::UniqueHandle raise_;
    // The owner's watch: the process (when the system gives a handle to
    // it), and what wakes the watching thread when this request ends first.
    platform::UniqueHandle owner_;
    platform::UniqueHandle cancel_wait_;
    platform::UniqueHandle cancel_raise_;
    std::thread watch_;
};

}  // namespace qvn::terminal
