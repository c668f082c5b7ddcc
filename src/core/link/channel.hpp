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
#include <mutex>

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

// The span of one blocking wait. Waits never nest: each wraps one system
// call or one pause, and nothing inside it may touch the interpreter.
class BlockingWait {
public:
    BlockingWait() noexcept {
        if (detail::g_wait_hooks != nullptr) token_ = detail::g_wait_hooks->enter();
    }
    ~BlockingWait() {
        if (detail::g_wait_hooks != nullptr) detail::g_wait_hooks->leave(token_);
    }
    BlockingWait(const BlockingWait&) = delete;
    BlockingWait& operator=(const BlockingWait&) = delete;

private:
    void* token_ = nullptr;
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
    bool open() const noexcept { return handle_ != platform::kInvalidHandle; }

    // Takes over a connected handle (closing one still held).
    void adopt(platform::Handle h) noexcept;

    // Closes the handle if it is open; safe against a concurrent interrupt.
    void close() noexcept;

    // From any thread: the transfer in progress fails, and so does every
    // transfer until interrupt_served(). Each request is served once.
    void request_interrupt() noexcept;
    void interrupt_served() noexcept { pending_.fetch_sub(1, std::memory_order_acq_rel); }
    // Wakes the transfer in progress again (a request that found no
    // transfer blocked yet may need it on systems that do not keep it).
    void wake() noexcept;
    bool interrupted() const noexcept { return pending_.load(std::memory_order_acquire) != 0; }

private:
    platform::Handle handle_ = platform::kInvalidHandle;
    std::mutex guard_;  // held while the handle is closed or woken
    std::atomic<int> pending_{0};
};

}  // namespace qvn::link
