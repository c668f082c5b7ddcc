#include "link/channel.hpp"

namespace qvn::link {

const WaitHooks* detail::g_wait_hooks = nullptr;

void set_wait_hooks(const WaitHooks* hooks) noexcept { detail::g_wait_hooks = hooks; }

void Channel::adopt(platform::Handle h) noexcept {
    std::unique_ptr<LocalPeer> ended;
    const std::lock_guard<std::mutex> hold(guard_);
    platform::close_handle(handle_);
    ended = std::move(local_);
    handle_ = h;
}

void Channel::adopt(std::unique_ptr<LocalPeer> peer) noexcept {
    std::unique_ptr<LocalPeer> ended;
    const std::lock_guard<std::mutex> hold(guard_);
    platform::close_handle(handle_);
    ended = std::move(local_);
    local_ = std::move(peer);
}

// A peer in this process ends with its connection: it is destroyed here,
// by the thread whose call it is (after the guard is let go).
void Channel::close() noexcept {
    if (handle_ == platform::kInvalidHandle && local_ == nullptr) return;
    std::unique_ptr<LocalPeer> ended;
    const std::lock_guard<std::mutex> hold(guard_);
    platform::close_handle(handle_);
    ended = std::move(local_);
}

void Channel::request_interrupt() noexcept {
    pending_.fetch_add(1, std::memory_order_acq_rel);
    wake();
}

void Channel::wake() noexcept {
    const std::lock_guard<std::mutex> hold(guard_);
    if (handle_ != platform::kInvalidHandle) platform::interrupt_transfers(handle_);
}

}  // namespace qvn::link
