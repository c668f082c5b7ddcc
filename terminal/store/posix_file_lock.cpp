#include "terminal/store/file_lock.hpp"

#include <cerrno>
#include <cstring>
#include <sys/file.h>

namespace qvn::terminal {

LockResult try_flock(platform::Handle fd, const std::string& path, std::string& why) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return LockResult::Acquired;
    if (errno == EWOULDBLOCK) return LockResult::Held;
    why = "cannot lock '" + path + "': " + std::strerror(errno);
    return LockResult::Failed;
}

}  // namespace qvn::terminal
