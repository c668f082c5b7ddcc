// One running Terminal per executable path: a pid file beside the endpoint,
// held with an exclusive lock for the life of the process (flock on POSIX;
// on Windows a handle that shares no writing). The lock, not the file,
// decides: a file left by a crashed Terminal is simply taken over.
//
// The file's first line is the pid, written when the lock is taken. Once
// the Terminal knows its settings it publishes them after the pid (see
// publish), so that the command line can tell how a running Terminal was
// started without asking it.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "terminal/store/file_lock.hpp"

namespace qvn::terminal {

class InstanceLock {
public:
    using Result = LockResult;

    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock() { release(); }

    Result acquire(const std::string& path, std::string& why);
    // Rewrites the file as the pid line followed by `details` (lines ending
    // in '\n'). Readers may see the old or the new text, or the new text cut
    // short at any byte; the pid line is the same in all of them. Best
    // effort: a failed write leaves the pid alone, which readers accept.
    void publish(std::string_view details) noexcept;
    // Removes the pid file while still holding the lock, then unlocks.
    void release() noexcept;

private:
    platform::UniqueHandle fd_;
    std::string path_;
    std::string pid_line_;
};

}  // namespace qvn::terminal
