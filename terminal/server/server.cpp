// The accept loop on a Unix domain socket.
#include "terminal/server/server.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <list>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvn::terminal {
namespace {

struct Session {
    platform::UniqueHandle fd;  // closed by the main thread after the join
    std::thread thread;
    std::atomic<bool> done{false};
};

}  // namespace

void serve(Terminal& terminal, platform::Handle listener, const std::string&, platform::Handle stop_fd,
           std::uint32_t idle_exit_s) {
    using Clock = std::chrono::steady_clock;
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
            if (client.valid() && sessions.size() < kMaxClients) {
                // A deep send buffer lets the client drain one chunk while
                // the next is generated; the system caps the request at its
                // own limit.
                const int send_buffer = 4 << 20;
                ::setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
                Session& s = sessions.emplace_back();
                s.fd = std::move(client);
                try {
                    s.thread = std::thread([&terminal, &s] {
                        serve_client(terminal, s.fd.get());
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
