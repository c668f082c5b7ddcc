#include "module/calls.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "link/channel.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "module/call_lock.hpp"

namespace qvn::module {
namespace {

CallLock g_call_lock;
// The thread holding the call lock. Only the holder writes it, and another
// thread can never find its own id here, so a relaxed read is enough to
// tell "mine" from "not mine".
std::atomic<std::thread::id> g_owner{};

// An interrupted call may be blocked where an interrupt is not kept (a
// Windows transfer that had not started yet): it is woken again this often
// until it has ended.
constexpr auto kWakeAgain = std::chrono::milliseconds(100);

void* let_others_run() noexcept { return PyEval_SaveThread(); }
void take_back(void* state) noexcept { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

constexpr link::WaitHooks kReleaseInterpreterLock = {let_others_run, take_back};

// Interrupting calls go first: while one waits, an ordinary call that gets
// the lock gives it back and waits until every interrupt was served, so
// only the call in flight when initialize or shutdown came is cut short.
std::mutex g_turn_guard;
std::condition_variable g_turn;

// Waits for the call lock, letting other threads run meanwhile.
[[gnu::noinline]] void wait_for_turn(Call::Kind kind, link::Channel& channel) noexcept {
    const bool interrupting = kind == Call::Kind::Interrupting;
    PyThreadState* state = PyEval_SaveThread();
    for (;;) {
        if (interrupting) {
            while (!g_call_lock.try_lock_for(kWakeAgain)) channel.wake();
            break;
        }
        {
            std::unique_lock<std::mutex> turn(g_turn_guard);
            g_turn.wait(turn, [&channel] { return !channel.interrupted(); });
        }
        g_call_lock.lock();
        if (!channel.interrupted()) break;
        g_call_lock.unlock();
    }
    PyEval_RestoreThread(state);
}

void lock(Call::Kind kind, link::Channel& channel) noexcept {
    if (g_call_lock.try_lock()) {
        if (kind == Call::Kind::Interrupting || !channel.interrupted()) return;
        g_call_lock.unlock();
    }
    wait_for_turn(kind, channel);
}

void served(link::Channel& channel) noexcept {
    {
        const std::lock_guard<std::mutex> turn(g_turn_guard);
        channel.interrupt_served();
    }
    g_turn.notify_all();
}

}  // namespace

void install_wait_hooks() noexcept {
#ifdef QVN_TEST_BUILD
    if (const char* hold = std::getenv("QVN_TEST_HOLD_GIL"); hold != nullptr && std::strcmp(hold, "1") == 0) return;
#endif
    link::set_wait_hooks(&kReleaseInterpreterLock);
}

Call::Call(Kind kind) noexcept {
    const std::thread::id self = std::this_thread::get_id();
    if (g_owner.load(std::memory_order_relaxed) == self) {
        link::save_error(outer_.emplace());
        return;
    }
    link::Channel& channel = link::client().handle();
    if (kind == Kind::Interrupting) channel.request_interrupt();
    lock(kind, channel);
    if (kind == Kind::Interrupting) served(channel);
    g_owner.store(self, std::memory_order_relaxed);
}

Call::~Call() {
    link::publish_error();
    if (outer_) {
        link::restore_error(*outer_);
        return;
    }
    g_owner.store(std::thread::id{}, std::memory_order_relaxed);
    g_call_lock.unlock();
}

}  // namespace qvn::module
