// The accept loop on a named pipe. Every client takes a pipe instance of its
// own: an acceptor thread waits for a client on the free instance, offers
// the next instance, and hands the connected one to a session thread. The
// main thread reaps finished sessions and watches for a stop request and the
// idle limit.
//
// Transfers on these pipes are synchronous, so a wait with a deadline is a
// poll of the bytes available, and a read with a deadline takes only bytes
// that have arrived: the handshake idle limit and the frame deadline hold,
// and an evicted session stops waiting at once. Only a greeted client's
// wait for its next request blocks in a read; an eviction or a stop cancels
// it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32_handle.hpp"
#include "terminal/server/server.hpp"
#include "terminal/server/session.hpp"

namespace qvn::terminal {
namespace {

HANDLE native(platform::Handle h) noexcept { return reinterpret_cast<HANDLE>(h); }

}  // namespace

namespace {

// Waits until bytes have arrived (`available` holds how many), the peer is
// gone, the session is evicted or `deadline` passes. Short pauses first: a
// client usually sends the rest of a frame at once.
Rx poll_available(platform::Handle fd, Clock::time_point deadline, const SessionState* s, DWORD& available) noexcept {
    DWORD pause = 1;
    for (;;) {
        if (s != nullptr && s->evicted.load(std::memory_order_relaxed)) return Rx::Closed;
        available = 0;
        if (!::PeekNamedPipe(native(fd), nullptr, 0, nullptr, &available, nullptr)) return Rx::Closed;
        if (available > 0) return Rx::Ok;
        if (Clock::now() >= deadline) return Rx::Late;
        ::Sleep(pause);
        pause = std::min<DWORD>(pause * 2, 20);
    }
}

}  // namespace

Rx wait_readable(platform::Handle fd, Clock::time_point deadline, const SessionState& s) noexcept {
    if (deadline == kNever) return Rx::Ok;  // the read that follows blocks
    DWORD available = 0;
    return poll_available(fd, deadline, &s, available);
}

Rx receive(platform::Handle fd, void* data, std::size_t n, Clock::time_point deadline) noexcept {
    if (deadline == kNever) return platform::read_all(fd, data, n) == platform::Io::Ok ? Rx::Ok : Rx::Closed;
    auto p = static_cast<char*>(data);
    while (n > 0) {
        DWORD available = 0;
        if (const Rx w = poll_available(fd, deadline, nullptr, available); w != Rx::Ok) return w;
        // Never more than has arrived, so the read cannot block.
        const std::size_t take = std::min<std::size_t>(n, available);
        if (platform::read_all(fd, p, take) != platform::Io::Ok) return Rx::Closed;
        p += take;
        n -= take;
    }
    return Rx::Ok;
}

Rx receive_first(platform::Handle fd, void* data, std::size_t, std::size_t& got, Clock::time_point deadline,
                 const SessionState& s) noexcept {
    // A pipe's read cannot be told to return what has arrived, so the first
    // read takes one byte (and blocks, as the wait, when there is no deadline).
    if (const Rx w = wait_readable(fd, deadline, s); w != Rx::Ok) return w;
    got = 1;
    return receive(fd, data, 1, deadline);
}

namespace {

struct Session {
    platform::UniqueHandle pipe;  // closed by the main thread after the join
    std::thread thread;
    // The session thread's own handle, so a stop or an eviction can cancel
    // the blocking transfer it waits in. The thread opens it into `owner`
    // and then publishes it in `self`; `owner` closes it after the join.
    platform::win32::OwnedHandle owner;
    std::atomic<HANDLE> self{nullptr};
    SessionState state;
};

// The TOKEN_USER of a process (its user's SID), or empty.
std::vector<unsigned char> process_user(HANDLE process) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
    const platform::win32::OwnedHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return {};
    std::vector<unsigned char> user(size);  // new[]'s alignment suits TOKEN_USER
    if (!::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

PSID sid_of(std::vector<unsigned char>& user) noexcept { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }

// Only a client of the Terminal's own user is served: the pipe's default
// access list keeps other users' writes out, but one changed by hand must
// not let them trade on these accounts. The client process's token names
// its user; a stranger (or a client whose user cannot be learnt) is
// disconnected without an answer, and named on stderr.
bool own_user(platform::Handle pipe, std::vector<unsigned char>& self) {
    ULONG pid = 0;
    std::vector<unsigned char> user;
    if (::GetNamedPipeClientProcessId(native(pipe), &pid)) {
        const platform::win32::OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (process.valid()) user = process_user(process.get());
    }
    if (!user.empty() && !self.empty() && ::EqualSid(sid_of(user), sid_of(self))) return true;
    std::fprintf(stderr, "terminal64: client (process %lu) refused: not of this Terminal's user\n",
                 static_cast<unsigned long>(pid));
    return false;
}

platform::Handle duplicate(platform::Handle h) noexcept {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), native(h), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return platform::kInvalidHandle;
    return reinterpret_cast<platform::Handle>(copy);
}

class Server {
public:
    Server(Terminal& terminal, const std::string& path)
        : terminal_(terminal),
          path_(path),
          limits_{std::chrono::milliseconds(terminal.settings().frame_timeout_ms),
                  std::chrono::milliseconds(terminal.settings().handshake_timeout_ms)},
          max_clients_(terminal.settings().max_clients),
          self_(process_user(::GetCurrentProcess())) {}

    // Runs on the acceptor thread until `stopping_` is set. `free` is the
    // instance offered to the next client.
    void accept(platform::UniqueHandle free) {
        accept_loop(std::move(free));
        accepting_done_.store(true);
    }

    // Joins finished sessions; returns how many are still running.
    std::size_t reap() {
        const std::lock_guard lock(mutex_);
        return reap_finished(sessions_);
    }

    void stop_accepting() { stopping_.store(true); }

    // Wakes an acceptor that waits for a client by becoming that client,
    // until it has seen the stop.
    void wake_acceptor() const {
        const std::wstring name(path_.begin(), path_.end());
        while (!accepting_done_.load()) {
            const platform::win32::OwnedHandle client(
                ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ::Sleep(10);
        }
    }

    // Ends every session: each instance is disconnected, so polls and later
    // transfers fail at once, and blocking transfers are cancelled until
    // each thread has seen its stream fail and finished.
    void end_sessions() {
        const std::lock_guard lock(mutex_);
        for (Session& s : sessions_) {
            s.state.evicted.store(true, std::memory_order_relaxed);
            ::DisconnectNamedPipe(native(s.pipe.get()));
        }
        for (Session& s : sessions_) {
            while (!s.state.done.load(std::memory_order_acquire)) {
                if (HANDLE h = s.self.load(); h != nullptr) ::CancelSynchronousIo(h);
                ::Sleep(10);
            }
            s.thread.join();
        }
        sessions_.clear();
    }

private:
    void accept_loop(platform::UniqueHandle free) {
        while (!stopping_.load()) {
            const bool connected =
                ::ConnectNamedPipe(native(free.get()), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
            if (stopping_.load()) return;
            // A client that left before it was served, or another user's:
            // the instance is disconnected and offered again.
            if (!connected || !own_user(free.get(), self_)) {
                ::DisconnectNamedPipe(native(free.get()));
                continue;
            }
            // Offer the next instance before handing this one over, so the
            // pipe never vanishes between clients: a client that finds no
            // pipe would start a second Terminal.
            std::string why;
            platform::UniqueHandle next(platform::add_endpoint_instance(path_, why));
            if (!next.valid()) {
                std::fprintf(stderr, "terminal64: %s\n", why.c_str());
                ::DisconnectNamedPipe(native(free.get()));
                platform::sleep_ms(50);
                continue;
            }
            start_session(std::move(free));
            free = std::move(next);
        }
    }

    void start_session(platform::UniqueHandle pipe) {
        const std::lock_guard lock(mutex_);
        reap_finished(sessions_);
        // Disconnecting fails every later transfer on the instance; the
        // cancel ends the one the session may be blocked in right now.
        const auto evict = [](Session& victim) {
            ::DisconnectNamedPipe(native(victim.pipe.get()));
            if (HANDLE h = victim.self.load(); h != nullptr) ::CancelSynchronousIo(h);
        };
        if (!make_room(sessions_, max_clients_, evict)) return;  // dropped: the instance closes
        Session& s = sessions_.emplace_back();
        s.pipe = std::move(pipe);
        try {
            s.thread = std::thread([this, &s] {
                HANDLE self = nullptr;
                if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0,
                                      FALSE, DUPLICATE_SAME_ACCESS)) {
                    s.owner.reset(self);
                    s.self.store(self);
                }
                serve_client(terminal_, s.pipe.get(), s.state, limits_);
                s.state.done.store(true, std::memory_order_release);
            });
        } catch (...) {
            sessions_.pop_back();  // no thread to run it: drop the client
        }
    }

    Terminal& terminal_;
    const std::string path_;
    const Limits limits_;
    const std::size_t max_clients_;
    std::vector<unsigned char> self_;  // the Terminal's own TOKEN_USER
    std::atomic<bool> stopping_{false};
    std::atomic<bool> accepting_done_{false};
    std::mutex mutex_;
    std::list<Session> sessions_;
};

}  // namespace

void serve(Terminal& terminal, platform::Handle listener, const std::string& endpoint_path, platform::Handle stop,
           std::uint32_t idle_exit_s) {
    using Clock = std::chrono::steady_clock;
    Server server(terminal, endpoint_path);
    std::thread acceptor;
    if (listener != platform::kInvalidHandle) {
        // The caller keeps its handle of the first instance; the acceptor
        // works with its own, which may pass on to a session.
        platform::UniqueHandle first(duplicate(listener));
        if (first.valid())
            acceptor = std::thread([&server, h = first.release()] { server.accept(platform::UniqueHandle(h)); });
    }

    auto idle_since = Clock::now();
    for (;;) {
        if (::WaitForSingleObject(native(stop), 200) != WAIT_TIMEOUT) break;
        if (server.reap() > 0) {
            idle_since = Clock::now();
        } else if (idle_exit_s > 0 && Clock::now() - idle_since >= std::chrono::seconds(idle_exit_s)) {
            break;
        }
    }

    server.stop_accepting();
    if (acceptor.joinable()) {
        server.wake_acceptor();
        acceptor.join();
    }
    server.end_sessions();
}

}  // namespace qvn::terminal
