// One client's session, shared by the accept loops of every system: the
// state the accept loop watches to keep room for new clients, the limits a
// session runs under, and the two waits each system provides.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "platform/platform.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {

using Clock = std::chrono::steady_clock;
inline constexpr Clock::time_point kNever = Clock::time_point::max();

// What a session is doing, as the accept loop sees it when it needs a slot.
enum class Phase {
    Waiting,    // between requests
    Receiving,  // a request frame has begun and is not complete yet
    Answering,  // the Terminal handles a request or sends its reply
};

struct SessionState {
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

enum class Rx { Ok, Closed, Late };

// The system's waits. wait_readable returns once `fd` has bytes, an end of
// stream or an error to report, `deadline` passes, or the session is
// evicted; receive reads exactly `n` bytes before `deadline`; receive_first
// waits like wait_readable and then reads between 1 and `n` bytes (`got`).
Rx wait_readable(platform::Handle fd, Clock::time_point deadline, const SessionState& s) noexcept;
Rx receive(platform::Handle fd, void* data, std::size_t n, Clock::time_point deadline) noexcept;
Rx receive_first(platform::Handle fd, void* data, std::size_t n, std::size_t& got, Clock::time_point deadline,
                 const SessionState& s) noexcept;

// Serves one connected client until it disconnects, breaks the protocol,
// overruns a limit or is evicted. Never throws.
void serve_client(Terminal& terminal, platform::Handle fd, SessionState& s, const Limits& limits) noexcept;

// True when a new client may be admitted: a slot is free, or the session
// stalled longest was evicted (through `evict`) to free one. Evicted
// sessions end within moments, but never let them pile up. `sessions` holds
// records with a `state` member.
template <class List, class Evict>
bool make_room(List& sessions, std::size_t max_clients, Evict&& evict) {
    std::size_t active = 0;
    typename List::value_type* victim = nullptr;
    Clock::rep oldest = 0;
    for (auto& s : sessions) {
        if (s.state.evicted.load(std::memory_order_relaxed) || s.state.done.load(std::memory_order_acquire)) continue;
        ++active;
        if (!s.state.stalled()) continue;
        const Clock::rep since = s.state.phase_since.load(std::memory_order_relaxed);
        if (victim == nullptr || since < oldest) {
            victim = &s;
            oldest = since;
        }
    }
    if (active < max_clients) return sessions.size() < 2 * max_clients;
    if (victim == nullptr || sessions.size() >= 2 * max_clients) return false;
    victim->state.evicted.store(true, std::memory_order_relaxed);
    evict(*victim);
    return true;
}

// Joins and drops the sessions whose threads have finished; returns how
// many are left. `sessions` holds records with `state` and `thread` members.
template <class List>
std::size_t reap_finished(List& sessions) {
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (it->state.done.load(std::memory_order_acquire)) {
            it->thread.join();
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    return sessions.size();
}

}  // namespace qvn::terminal
