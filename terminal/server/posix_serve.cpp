// The accept loop on a Unix domain socket, and the socket's waits.
#include "terminal/server/server.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "terminal/server/session.hpp"

namespace qvn::terminal {

Rx wait_readable(platform::Handle fd, Clock::time_point deadline, const SessionState&) noexcept {
    // An evicted session's socket is shut down, which wakes the poll.
    for (;;) {
        int timeout = -1;
        if (deadline != kNever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return Rx::Late;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, timeout);
        if (rc > 0) return Rx::Ok;
        if (rc < 0 && errno != EINTR) return Rx::Closed;
    }
}

Rx receive(platform::Handle fd, void* data, std::size_t n, Clock::time_point deadline) noexcept {
    static const SessionState unused;
    auto p = static_cast<char*>(data);
    // Bytes already there are taken at once (a request's frame usually is
    // whole by the time its first byte is read); only an empty socket is
    // waited for, and only while the deadline allows.
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, MSG_DONTWAIT);
        if (got == 0) return Rx::Closed;
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return Rx::Closed;
            if (const Rx w = wait_readable(fd, deadline, unused); w != Rx::Ok) return w;
            continue;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return Rx::Ok;
}

Rx receive_first(platform::Handle fd, void* data, std::size_t n, std::size_t& got, Clock::time_point deadline,
                 const SessionState& s) noexcept {
    for (;;) {
        // Without a deadline the blocking read is the wait (an eviction's
        // shutdown ends it): one call a request instead of a poll and a read.
        const ssize_t r = ::recv(fd, data, n, deadline == kNever ? 0 : MSG_DONTWAIT);
        if (r > 0) {
            got = static_cast<std::size_t>(r);
            return Rx::Ok;
        }
        if (r == 0) return Rx::Closed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Rx::Closed;
        if (const Rx w = wait_readable(fd, deadline, s); w != Rx::Ok) return w;
    }
}

namespace {

struct Session {
    platform::UniqueHandle fd;  // closed by the main thread after the join
    std::thread thread;
    SessionState state;
};

void prepare_socket(platform::Handle fd) noexcept {
    // A deep send buffer lets the client drain one chunk while the next is
    // generated; the system caps the request at its own limit.
    const int send_buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    const timeval stall{kSendStallSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
}

// Only a client of the Terminal's own user is served. The socket and its
// folder are private to the user, but a mode widened by hand must not let
// another user trade on these accounts: a stranger (or a peer whose user
// cannot be learnt) is closed without an answer, and named on stderr.
bool own_user(platform::Handle fd) noexcept {
    ucred cred{};
    socklen_t len = sizeof cred;
    const uid_t self = ::geteuid();
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        std::fprintf(stderr, "terminal64: client refused: its user cannot be learnt\n");
        return false;
    }
    if (cred.uid == self) return true;
    std::fprintf(stderr, "terminal64: client of user %lu refused: this Terminal serves user %lu only\n",
                 static_cast<unsigned long>(cred.uid), static_cast<unsigned long>(self));
    return false;
}

}  // namespace

void serve(Terminal& terminal, platform::Handle listener, const std::string&, platform::Handle stop_fd,
           std::uint32_t idle_exit_s) {
    const Settings& settings = terminal.settings();
    const Limits limits{std::chrono::milliseconds(settings.frame_timeout_ms),
                        std::chrono::milliseconds(settings.handshake_timeout_ms)};
    const std::size_t max_clients = settings.max_clients;
    std::list<Session> sessions;
    auto idle_since = Clock::now();

    const auto evict = [](Session& s) { ::shutdown(s.fd.get(), SHUT_RDWR); };

    for (;;) {
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {listener, POLLIN, 0}};
        const nfds_t n = listener != platform::kInvalidHandle ? 2 : 1;
        const int rc = ::poll(fds, n, 200);
        if (rc < 0 && errno != EINTR) break;
        if (rc > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) break;
        if (rc > 0 && n == 2 && (fds[1].revents & POLLIN) != 0) {
            platform::UniqueHandle client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            // Out of descriptors: the pending client stays queued and the
            // listener readable; pause rather than spin until one frees up.
            if (!client.valid() && (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS))
                platform::sleep_ms(50);
            reap_finished(sessions);
            // A stranger, or a client that finds no room, is closed at once
            // (by `client`); a stranger never takes a client's slot.
            if (client.valid() && own_user(client.get()) && make_room(sessions, max_clients, evict)) {
                prepare_socket(client.get());
                Session& s = sessions.emplace_back();
                s.fd = std::move(client);
                try {
                    s.thread = std::thread([&terminal, &s, &limits] {
                        serve_client(terminal, s.fd.get(), s.state, limits);
                        s.state.done.store(true, std::memory_order_release);
                    });
                } catch (...) {
                    sessions.pop_back();  // no thread to run it: drop the client
                }
            }
        }
        reap_finished(sessions);
        if (!sessions.empty()) {
            idle_since = Clock::now();
        } else if (idle_exit_s > 0 && Clock::now() - idle_since >= std::chrono::seconds(idle_exit_s)) {
            break;
        }
    }

    // Wake every session: reads see end of stream, writes fail at once.
    for (Session& s : sessions) ::shutdown(s.fd.get(), SHUT_RDWR);
    for (Session& s : sessions) s.thread.join();
}

}  // namespace qvn::terminal
