#include "link/lazy_clock.hpp"

#include <atomic>
#include <mutex>

#include "link/stream.hpp"

namespace qvn::link {
namespace {

std::atomic<std::int64_t> g_target{0};
std::mutex g_names_mutex;
std::vector<std::u16string> g_names;

}  // namespace

void set_lazy_clock(std::int64_t target_ms) noexcept { g_target.store(target_ms, std::memory_order_relaxed); }

bool set_lazy_clock_names(const std::vector<std::u16string>& names) noexcept {
    const std::lock_guard hold(g_names_mutex);
    try {
        g_names = names;
    } catch (...) {
        g_names.clear();
        return false;
    }
    return true;
}

bool lazy_clock_pending() noexcept { return g_target.load(std::memory_order_relaxed) != 0; }

std::int32_t settle_lazy_clock(Channel& channel) noexcept {
    const std::int64_t target = g_target.exchange(0, std::memory_order_relaxed);
    if (target == 0) return wire::kSuccess;
    const std::lock_guard hold(g_names_mutex);
    std::uint64_t size = 8 + 4;
    for (const std::u16string& name : g_names) size += text_size(name);
    if (size > 0xFFFFFFFFu) return wire::kInvalidParams;
    std::int64_t now = 0, next = 0;
    return transact(
        channel, kClockMoveCommand, static_cast<std::uint32_t>(size),
        [target](PipeWriter& w) noexcept {
            if (!w.put(target) || !w.put(static_cast<std::uint32_t>(g_names.size()))) return false;
            for (const std::u16string& name : g_names)
                if (!w.put_text(name)) return false;
            return true;
        },
        [&now, &next](PipeReader& r) noexcept { return r.get(now) && r.get(next); });
}

}  // namespace qvn::link
