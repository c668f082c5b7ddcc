// Unit tests of the module's call lock (module/call_lock.hpp), without Python.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <thread>

#include "check.hpp"
#include "module/call_lock.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Pauses begun by waiters between finding the lock taken and falling asleep
// (a count that only grows: a pause that ends before the test thread looks
// is still seen, where a count of pauses under way would read 0 again).
std::atomic<int> g_pauses{0};

// A condition variable whose waiter, having tested the lock and found it
// taken, pauses before it falls asleep, the guard mutex still held: as a
// waiter preempted at that moment would. A wake-up sent during the pause
// reaches nobody.
class SlowToSleep {
public:
    template <class Taken>
    void wait(std::unique_lock<std::mutex>& hold, Taken taken) {
        while (!taken()) {
            pause();
            cv_.wait(hold);
        }
    }

    template <class Taken>
    bool wait_for(std::unique_lock<std::mutex>& hold, std::chrono::milliseconds limit, Taken taken) {
        const auto until = Clock::now() + limit;
        while (!taken()) {
            pause();
            if (cv_.wait_until(hold, until) == std::cv_status::timeout) return taken();
        }
        return true;
    }

    void notify_all() noexcept { cv_.notify_all(); }

private:
    static void pause() {
        g_pauses.fetch_add(1);
        std::this_thread::sleep_for(5ms);
    }

    std::condition_variable cv_;
};

// The lock is let go while its one waiter is between its test and its
// sleep; the waiter (lock(), or try_lock_for() with a limit far beyond the
// test's wait) must still get it. A lost wake-up leaves it asleep on a free
// lock: reported after a bounded wait, then woken by more unlocks so that
// the program ends.
void a_waiter_pausing_before_its_sleep_is_woken() {
    qvn::module::BasicCallLock<SlowToSleep> lock;
    for (const bool limited : {false, true}) {
        CHECK(lock.try_lock());
        std::atomic<bool> served{false}, finished{false};
        const int pauses = g_pauses.load();
        std::thread waiter([&] {
            if (limited ? lock.try_lock_for(std::chrono::milliseconds(600'000)) : (lock.lock(), true)) {
                served = true;
                lock.unlock();
            }
            finished = true;
        });
        while (g_pauses.load() == pauses) std::this_thread::yield();
        lock.unlock();
        const auto until = Clock::now() + 30s;
        while (!finished && Clock::now() < until) std::this_thread::sleep_for(1ms);
        if (!finished)
            std::fprintf(stderr, "%s: the waiter sleeps on a free lock\n", limited ? "try_lock_for" : "lock");
        CHECK(finished && served);
        while (!finished) {
            lock.unlock();
            std::this_thread::sleep_for(10ms);
        }
        waiter.join();
        CHECK(lock.try_lock());  // free again
        lock.unlock();
    }
}

}  // namespace

int main() {
    a_waiter_pausing_before_its_sleep_is_woken();
    return qvn::test::finish("call lock");
}
