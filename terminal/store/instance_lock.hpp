// One running Terminal per executable path: a pid file beside the endpoint,
// held with an exclusive lock for the life of the process (flock on POSIX;
// on Windows a handle that shares no writing). The lock, not the file,
// decides: a file left by a crashed Terminal is simply taken over.
#pragma once

#include <string>

#include "platform/platform.hpp"

namespace qvn::terminal {

class InstanceLock {
public:
    enum class Result { Acquired, Held, Failed };

    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock() { release(); }

    Result acquire(const std::string& path, std::string& why);
    // Removes the pid file while still holding the lock, then unlocks.
    void release() noexcept;

private:
    platform::UniqueHandle fd_;
    std::string path_;
};

}  // namespace qvn::terminal
