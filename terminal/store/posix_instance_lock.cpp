#include "terminal/store/instance_lock.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvn::terminal {

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& why) {
    // A Terminal that is exiting unlinks the file before it unlocks; a lock
    // won on such an unlinked file is worthless, so check that the path
    // still names the locked file and retry otherwise.
    for (int attempt = 0; attempt < 8; ++attempt) {
        platform::UniqueHandle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!fd.valid()) {
            why = "cannot open '" + path + "': " + std::strerror(errno);
            return Result::Failed;
        }
        if (const Result r = try_flock(fd.get(), path, why); r != Result::Acquired) return r;
        struct stat held {}, named {};
        if (::fstat(fd.get(), &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
            held.st_dev != named.st_dev)
            continue;
        pid_line_ = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd.get(), 0) == 0) {
            ssize_t ignored = ::pwrite(fd.get(), pid_line_.data(), pid_line_.size(), 0);
            (void)ignored;
        }
        fd_ = std::move(fd);
        path_ = path;
        return Result::Acquired;
    }
    why = "the pid file '" + path + "' keeps changing";
    return Result::Failed;
}

void InstanceLock::publish(std::string_view details) noexcept {
    if (!fd_.valid()) return;
    try {
        // One write from offset 0: the file only grows past the pid line, so
        // nothing of an older text can remain after it.
        const std::string text = pid_line_ + std::string(details);
        const ssize_t written = ::pwrite(fd_.get(), text.data(), text.size(), 0);
        if (written == static_cast<ssize_t>(text.size())) {
            int ignored = ::ftruncate(fd_.get(), static_cast<off_t>(text.size()));
            (void)ignored;
        }
    } catch (...) {
        // Out of memory: the pid alone stays published.
    }
}

void InstanceLock::release() noexcept {
    if (!fd_.valid()) return;
    ::unlink(path_.c_str());
    fd_.reset();
}

}  // namespace qvn::terminal
