// The connection handle as the threads of a process share it, and the
// waits during which a caller lets other threads run.
//
// One thread at a time makes a call (the module's call lock sees to that);
// that thread alone opens, uses and closes the handle. Any other thread may
// interrupt it: the transfer it is blocked in fails at once, and every
// transfer it starts fails, until the interrupting thread has taken the
// call lock itself. The handle is closed exactly once, by the thread whose
// call it is, under a guard that the interrupting thread takes too, so an
// interrupt never reaches a handle that was closed (and whose number the
// system may already have handed to someone else).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/local.hpp"
#include "platform/platform.hpp"

namespace qvn::link {

// ---- Blocking waits --------------------------------------------------------

// What a caller does while it waits on the Terminal (a transfer, connecting,
// starting the Terminal, the pause between polls). The module lets go of the
// interpreter lock in `enter` and takes it back in `leave`, so other Python
// threads run meanwhile; without hooks (the C++ tests) a wait is just the
// wait. Hooks are set once, before any call.
struct WaitHooks {
    void* (*enter)() noexcept;             // returns what `leave` needs
    void (*leave)(void* token) noexcept;
};

void set_wait_hooks(const WaitHooks* hooks) noexcept;

namespace detail {
extern const WaitHooks* g_wait_hooks;  // what set_wait_hooks set; every wait reads it inline
}

class Channel;

// The span of one blocking wait. Nothing inside it may touch the
// interpreter. Waits never nest: one made for a channel's transfer is no
// wait at all while the call already waits around that transfer (a
// request's last send and the first read of its reply share one wait: see
// RequestWait).
class BlockingWait {
public:
    BlockingWait() noexcept { start(); }
    explicit BlockingWait(const Channel& channel) noexcept;
    ~BlockingWait() { stop(); }
    BlockingWait(const BlockingWait&) = delete;
    BlockingWait& operator=(const BlockingWait&) = delete;

protected:
    struct Later {};
    explicit BlockingWait(Later) noexcept {}

    void start() noexcept {
        if (detail::g_wait_hooks != nullptr) token_ = detail::g_wait_hooks->enter();
        started_ = true;
    }
    void stop() noexcept {
        if (!started_) return;
        started_ = false;
        if (detail::g_wait_hooks != nullptr) detail::g_wait_hooks->leave(token_);
    }

private:
    void* token_ = nullptr;
    bool started_ = false;
};

// ---- The shared connection handle ------------------------------------------

class Channel {
public:
    Channel() = default;
    explicit Channel(platform::Handle h) noexcept : handle_(h) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel() { close(); }

    platform::Handle get() const noexcept { return handle_; }
    bool open() const noexcept { return handle_ != platform::kInvalidHandle || local_ != nullptr; }
    // The peer in this process when the channel leads to one (local.hpp),
    // else null: the handle is then the connection.
    LocalPeer* local() const noexcept { return local_.get(); }

    // Takes over a connected handle, or a peer in this process (closing
    // what is still held).
    void adopt(platform::Handle h) noexcept;
    void adopt(std::unique_ptr<LocalPeer> peer) noexcept;

    // Closes the handle if it is open, or ends the peer in this process;
    // safe against a concurrent interrupt.
    void close() noexcept;

    // From any thread: the transfer in progress fails, and so does every
    // transfer until interrupt_served(). Each request is served once.
    void request_interrupt() noexcept;
    void interrupt_served() noexcept { pending_.fetch_sub(1, std::memory_order_acq_rel); }
    // Wakes the transfer in progress again (a request that found no
    // transfer blocked yet may need it on systems that do not keep it).
    void wake() noexcept;
    bool interrupted() const noexcept { return pending_.load(std::memory_order_acquire) != 0; }

    // True while the calling thread waits around the channel's transfers
    // (RequestWait): their own waits are then none. Only that thread reads
    // or sets it.
    bool waiting() const noexcept { return waiting_; }
    void set_waiting(bool on) noexcept { waiting_ = on; }

    // True from a request's first byte to the end of its reply (InFlight).
    // Only the thread holding the call lock reads or sets it.
    bool busy() const noexcept { return busy_; }
    void set_busy(bool on) noexcept { busy_ = on; }

    // The moment (platform::monotonic_ms) by which the call in progress
    // must end, 0 for none: a transfer then never waits past it (see
    // CallDeadline). Only the thread whose call it is reads or sets it.
    std::uint64_t deadline() const noexcept { return deadline_; }
    void set_deadline(std::uint64_t at_ms) noexcept {
        deadline_ = at_ms;
        expired_ = false;
    }
    // True once a transfer failed because the deadline had passed.
    bool expired() const noexcept { return expired_; }
    void set_expired() noexcept { expired_ = true; }

private:
    platform::Handle handle_ = platform::kInvalidHandle;
    std::unique_ptr<LocalPeer> local_;
    std::uint64_t deadline_ = 0;
    bool expired_ = false;
    bool waiting_ = false;
    bool busy_ = false;
    std::mutex guard_;  // held while the handle is closed or woken
    std::atomic<int> pending_{0};
};

inline BlockingWait::BlockingWait(const Channel& channel) noexcept {
    if (!channel.waiting()) start();
}

// A request and its reply in progress on the channel. A call made again on
// the same thread meanwhile (Python code run while the reply's fields become
// objects, such as a finaliser the collector runs) must not write its own
// request into the middle of this one: it finds the channel busy and sends
// nothing.
class InFlight {
public:
    explicit InFlight(Channel& channel) noexcept : channel_(channel) { channel_.set_busy(true); }
    ~InFlight() { channel_.set_busy(false); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

private:
    Channel& channel_;
};

// A bound on every transfer of one call (initialize's timeout), for the
// length of a scope. Other calls have none: they wait for the Terminal as
// long as it takes.
class CallDeadline {
public:
    CallDeadline(Channel& channel, std::uint64_t at_ms) noexcept : channel_(channel) { channel_.set_deadline(at_ms); }
    ~CallDeadline() { channel_.set_deadline(0); }
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;

private:
    Channel& channel_;
};

// One wait from a request's last send to the first bytes of its reply,
// started once the request is written: a call lets go of the interpreter
// lock once, before it sends, rather than once for the send and again for
// the reply. The transfers inside make no waits of their own.
class RequestWait : BlockingWait {
public:
    explicit RequestWait(Channel& channel) noexcept : BlockingWait(Later{}), channel_(channel) {}
    ~RequestWait() { finish(); }

    // A peer in this process answers within the call that sends the
    // request: there is nothing to wait for, and other threads wait for
    // the call rather than for the interpreter lock.
    void start() noexcept {
        if (channel_.local() != nullptr) return;
        BlockingWait::start();
        channel_.set_waiting(true);
    }
    void finish() noexcept {
        channel_.set_waiting(false);
        stop();
    }

private:
    Channel& channel_;
};

}  // namespace qvn::link
