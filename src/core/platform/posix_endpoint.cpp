// Endpoints are Unix domain stream sockets in a private per-user folder.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/platform.hpp"

namespace qvn::platform {
namespace {

// A folder is safe when this user owns it and nobody else may write to it:
// otherwise another user could plant an endpoint and impersonate a Terminal.
bool safe_folder(const std::string& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        why = "Endpoint folder '" + path + "' is not accessible";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "Endpoint folder '" + path + "' is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        why = "Endpoint folder '" + path + "' is owned by another user";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "Endpoint folder '" + path + "' is writable by other users";
        return false;
    }
    return true;
}

bool socket_address(std::string_view name, sockaddr_un& addr, socklen_t& len, std::string& path,
                    std::string& why) {
    std::string folder;
    if (!endpoint_folder(folder, why)) return false;
    path = endpoint_location(folder, name);
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        why = "Endpoint path '" + path + "' is too long (" + std::to_string(path.size()) +
              " bytes; a socket path holds at most " + std::to_string(sizeof addr.sun_path - 1) +
              "): choose a shorter XDG_RUNTIME_DIR";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

}  // namespace

std::string endpoint_location(std::string_view folder, std::string_view name) {
    std::string path(folder);
    path += '/';
    path += name;
    return path;
}

bool endpoint_folder(std::string& out, std::string& why) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        out = runtime;
        while (out.size() > 1 && out.back() == '/') out.pop_back();
        return safe_folder(out, why);
    }
    out = "/tmp/qvn-" + std::to_string(::geteuid());
    if (::mkdir(out.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "Endpoint folder '" + out + "' cannot be created";
        return false;
    }
    return safe_folder(out, why);
}

// The pause between attempts at a server whose queue of clients is full.
constexpr unsigned kBusyPauseMs = 10;

Connect connect_endpoint(std::string_view name, Handle& out, unsigned busy_wait_ms) noexcept {
    out = kInvalidHandle;
    sockaddr_un addr;
    socklen_t len;
    std::string path, why;
    try {
        if (!socket_address(name, addr, len, path, why)) return Connect::Refused;
    } catch (...) {
        return Connect::Refused;
    }
    // Without waiting: a full queue of clients (a server that stopped
    // accepting them) answers EAGAIN instead of holding the caller.
    UniqueHandle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return Connect::Absent;
    const std::uint64_t until = monotonic_ms() + busy_wait_ms;
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Connect::Absent;  // ENOENT, ECONNREFUSED: nobody serves it
        const std::uint64_t now = monotonic_ms();
        if (now >= until) return Connect::Busy;
        sleep_ms(static_cast<unsigned>(until - now < kBusyPauseMs ? until - now : kBusyPauseMs));
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return Connect::Absent;
    // The folder is ours, but check the peer too: only a Terminal of this
    // user may receive our requests.
    ucred cred{};
    socklen_t cred_len = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0 || cred.uid != ::geteuid())
        return Connect::Refused;
    out = fd.release();
    return Connect::Ok;
}

std::string refusal_reason(std::string_view name) {
    sockaddr_un addr;
    socklen_t len;
    std::string path, why;
    if (!socket_address(name, addr, len, path, why)) return why;
    return "Terminal endpoint is served by another user";
}

Handle listen_endpoint(std::string_view name, std::string& path, std::string& why) {
    sockaddr_un addr;
    socklen_t len;
    if (!socket_address(name, addr, len, path, why)) return kInvalidHandle;
    UniqueHandle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        why = std::string("socket: ") + std::strerror(errno);
        return kInvalidHandle;
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        if (errno != EADDRINUSE) {
            why = "bind '" + path + "': " + std::strerror(errno);
            return kInvalidHandle;
        }
        // A socket file exists. If somebody serves it (even one too busy to
        // take us), it is taken; otherwise it is left over from a Terminal
        // that died, and is replaced.
        Handle probe;
        const Connect served = connect_endpoint(name, probe, 0);
        if (served == Connect::Ok || served == Connect::Busy) {
            close_handle(probe);
            why = "endpoint '" + path + "' is already served";
            return kInvalidHandle;
        }
        ::unlink(path.c_str());
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
            why = "bind '" + path + "': " + std::strerror(errno);
            return kInvalidHandle;
        }
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(fd.get(), 64) != 0) {
        why = std::string("listen: ") + std::strerror(errno);
        ::unlink(path.c_str());
        return kInvalidHandle;
    }
    return fd.release();
}

void remove_endpoint(const std::string& path) noexcept {
    if (!path.empty()) ::unlink(path.c_str());
}

}  // namespace qvn::platform
