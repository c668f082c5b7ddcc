#include "module/calls.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "link/channel.hpp"
#include "link/client.hpp"
#include "link/error.hpp"

namespace qvn::module {
namespace {

std::timed_mutex g_call_lock;
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

void lock(Call::Kind kind) noexcept {
    if (g_call_lock.try_lock()) return;
    link::Channel& channel = link::client().handle();
    PyThreadState* state = PyEval_SaveThread();
    if (kind == Call::Kind::Interrupting) {
        while (!g_call_lock.try_lock_for(kWakeAgain)) channel.wake();
    } else {
        g_call_lock.lock();
    }
    PyEval_RestoreThread(state);
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
        outermost_ = false;
        return;
    }
    link::Channel& channel = link::client().handle();
    if (kind == Kind::Interrupting) channel.request_interrupt();
    lock(kind);
    if (kind == Kind::Interrupting) channel.interrupt_served();
    g_owner.store(self, std::memory_order_relaxed);
}

Call::~Call() {
    if (!outermost_) return;
    link::publish_error();
    g_owner.store(std::thread::id{}, std::memory_order_relaxed);
    g_call_lock.unlock();
}

}  // namespace qvn::module
