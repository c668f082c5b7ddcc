// The call lock the module's calls take turns on (module/calls.cpp), kept
// apart from Python so that the C++ unit tests can drive it directly.
//
// Taking it when it is free and giving it back when nobody waits for it,
// every call of a single-threaded caller, is one atomic operation each; a
// thread that has to wait sleeps on a condition variable. `Sleeper` is that
// condition variable's type: std::condition_variable, or in the tests one
// whose waiters are slow to fall asleep after finding the lock taken.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qvn::module {

template <class Sleeper = std::condition_variable>
class BasicCallLock {
public:
    bool try_lock() noexcept {
        bool expected = false;
        return held_.compare_exchange_strong(expected, true, std::memory_order_seq_cst);
    }

    // A waiter counts itself before it tries, and unlock frees before it
    // counts: one of them sees the other, so no waiter sleeps on a free lock.
    void unlock() noexcept {
        held_.store(false, std::memory_order_seq_cst);
        if (waiters_.load(std::memory_order_seq_cst) == 0) return;
        { const std::lock_guard<std::mutex> hold(guard_); }  // a waiter between its test and its sleep is asleep now
        freed_.notify_all();
    }

    void lock() noexcept { (void)wait_until_taken(nullptr); }

    bool try_lock_for(std::chrono::milliseconds limit) noexcept { return wait_until_taken(&limit); }

private:
    bool wait_until_taken(const std::chrono::milliseconds* limit) noexcept {
        if (try_lock()) return true;
        std::unique_lock<std::mutex> hold(guard_);
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        const auto taken = [this] { return try_lock(); };
        bool ok = true;
        if (limit == nullptr) freed_.wait(hold, taken);
        else ok = freed_.wait_for(hold, *limit, taken);
        waiters_.fetch_sub(1, std::memory_order_seq_cst);
        return ok;
    }

    std::atomic<bool> held_{false};
    std::atomic<int> waiters_{0};
    std::mutex guard_;
    Sleeper freed_;
};

using CallLock = BasicCallLock<>;

}  // namespace qvn::module
