#include "terminal/server/server.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <vector>

#include "protocol/wire.hpp"

namespace qvn::terminal {
namespace {

using Clock = std::chrono::steady_clock;

// What a session is doing, as the accept loop sees it when it needs a slot.
enum class Phase {
    Waiting,    // between requests
    Receiving,  // a request frame has begun and is not complete yet
    Answering,  // the Terminal handles a request or sends its reply
};

struct Session {
    platform::UniqueHandle fd;  // closed by the main thread after the join
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> evicted{false};
    std::atomic<bool> greeted{false};  // a handshake was answered with success
    std::atomic<Phase> phase{Phase::Waiting};
    std::atomic<Clock::rep> phase_since{Clock::now().time_since_epoch().count()};

    void enter(Phase p) noexcept {
        phase_since.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        phase.store(p, std::memory_order_release);
    }

    // In the middle of a frame, or silent without having greeted: such a
    // session gives way to a new client when every slot is taken. A greeted
    // client may idle between calls for as long as it likes.
    bool stalled() const noexcept {
        const Phase p = phase.load(std::memory_order_acquire);
        return p == Phase::Receiving || (p == Phase::Waiting && !greeted.load(std::memory_order_acquire));
    }
};

struct Limits {
    Clock::duration frame;      // a begun frame must be complete within this
    Clock::duration handshake;  // silence allowed before a handshake
};

// Writes responses to the client and notes the result code of each one, so
// the session knows when a handshake succeeded.
class SocketSink final : public Sink {
public:
    explicit SocketSink(platform::Handle fd) : fd_(fd) {}

    void expect_response() noexcept {
        fresh_ = true;
        result_ = 0;
    }
    std::int32_t result() const noexcept { return result_; }

    bool write(std::span<const std::byte> bytes) override {
        // Every response's first write holds at least length, echo and result.
        if (fresh_ && bytes.size() >= 12) std::memcpy(&result_, bytes.data() + 8, sizeof result_);
        fresh_ = false;
        return platform::write_all(fd_, bytes.data(), bytes.size()) == platform::Io::Ok;
    }

private:
    platform::Handle fd_;
    bool fresh_ = false;
    std::int32_t result_ = 0;
};

enum class Rx { Ok, Closed, Late };

constexpr Clock::time_point kNever = Clock::time_point::max();

// Waits until `fd` has bytes, an end of stream or an error for recv to
// report, or `deadline` passes.
Rx wait_readable(platform::Handle fd, Clock::time_point deadline) noexcept {
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

// Receives exactly `n` bytes before `deadline`.
Rx receive(platform::Handle fd, void* data, std::size_t n, Clock::time_point deadline) noexcept {
    auto p = static_cast<char*>(data);
    while (n > 0) {
        if (const Rx w = wait_readable(fd, deadline); w != Rx::Ok) return w;
        const ssize_t got = ::recv(fd, p, n, MSG_DONTWAIT);
        if (got == 0) return Rx::Closed;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return Rx::Closed;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return Rx::Ok;
}

// Serves one connected client until it disconnects, breaks the protocol,
// overruns a limit or is evicted. Never throws.
void serve_client(Terminal& terminal, Session& s, const Limits& limits) noexcept {
    const platform::Handle fd = s.fd.get();
    try {
        SocketSink sink(fd);
        Exchange exchange(sink);
        ClientState client(terminal);  // released when the connection ends
        // Never larger than kMaxRequestBytes: the frame length is checked
        // before the body is given room.
        std::vector<std::byte> body;
        for (;;) {
            s.enter(Phase::Waiting);
            const Clock::time_point idle_until =
                s.greeted.load(std::memory_order_acquire) ? kNever : Clock::now() + limits.handshake;
            if (wait_readable(fd, idle_until) != Rx::Ok) return;

            s.enter(Phase::Receiving);
            const Clock::time_point frame_until = Clock::now() + limits.frame;
            std::uint32_t length = 0;
            if (receive(fd, &length, sizeof length, frame_until) != Rx::Ok) return;
            // Too short to hold a command, or longer than any request: not a
            // client of ours. Dropping it is the only safe answer.
            if (length < 4 || length > kMaxRequestBytes) return;
            body.resize(length);
            if (receive(fd, body.data(), length, frame_until) != Rx::Ok) return;

            s.enter(Phase::Answering);
            std::uint32_t command = 0;
            std::memcpy(&command, body.data(), sizeof command);
            sink.expect_response();
            if (!terminal.handle(body, exchange, client)) return;
            if (command == wire::kHandshake && sink.result() >= 0) s.greeted.store(true, std::memory_order_release);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "terminal64: client dropped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "terminal64: client dropped\n");
    }
}

// True when a new client may be admitted: a slot is free, or the session
// stalled longest was evicted to free one. Evicted sessions end within
// moments (their socket is shut down), but never let them pile up.
bool make_room(std::list<Session>& sessions, std::size_t max_clients) {
    std::size_t active = 0;
    Session* victim = nullptr;
    Clock::rep oldest = 0;
    for (Session& s : sessions) {
        if (s.evicted.load(std::memory_order_relaxed) || s.done.load(std::memory_order_acquire)) continue;
        ++active;
        if (!s.stalled()) continue;
        const Clock::rep since = s.phase_since.load(std::memory_order_relaxed);
        if (victim == nullptr || since < oldest) {
            victim = &s;
            oldest = since;
        }
    }
    if (active < max_clients) return sessions.size() < 2 * max_clients;
    if (victim == nullptr || sessions.size() >= 2 * max_clients) return false;
    victim->evicted.store(true, std::memory_order_relaxed);
    ::shutdown(victim->fd.get(), SHUT_RDWR);
    return true;
}

void prepare_socket(platform::Handle fd) noexcept {
    // A deep send buffer lets the client drain one chunk while the next is
    // generated; the system caps the request at its own limit.
    const int send_buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    const timeval stall{kSendStallSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
}

}  // namespace

void serve(Terminal& terminal, platform::Handle listener, platform::Handle stop_fd, std::uint32_t idle_exit_s) {
    const Settings& settings = terminal.settings();
    const Limits limits{std::chrono::milliseconds(settings.frame_timeout_ms),
                        std::chrono::milliseconds(settings.handshake_timeout_ms)};
    const std::size_t max_clients = settings.max_clients;
    std::list<Session> sessions;
    auto idle_since = Clock::now();

    const auto reap = [&sessions] {
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (it->done.load(std::memory_order_acquire)) {
                it->thread.join();
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    };

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
            reap();
            // A client that finds no room is closed at once (by `client`).
            if (client.valid() && make_room(sessions, max_clients)) {
                prepare_socket(client.get());
                Session& s = sessions.emplace_back();
                s.fd = std::move(client);
                try {
                    s.thread = std::thread([&terminal, &s, &limits] {
                        serve_client(terminal, s, limits);
                        s.done.store(true, std::memory_order_release);
                    });
                } catch (...) {
                    sessions.pop_back();  // no thread to run it: drop the client
                }
            }
        }
        reap();
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
