#include "terminal/market/clock.hpp"

namespace qvn::terminal {

MarketClock::MarketClock(std::optional<std::int64_t> frozen_ms) noexcept {
    if (frozen_ms) {
        mode_ = Mode::Frozen;
        start_ms_ = *frozen_ms;
    }
}

MarketClock MarketClock::moving(std::int64_t start_ms, std::uint32_t speed) noexcept {
    MarketClock c;
    c.mode_ = Mode::Moving;
    c.start_ms_ = start_ms;
    c.speed_ = speed == 0 ? 1 : speed;
    c.started_ = std::chrono::steady_clock::now();
    return c;
}

MarketClock MarketClock::stepped(std::int64_t start_ms) noexcept {
    MarketClock c;
    c.mode_ = Mode::Stepped;
    c.start_ms_ = start_ms;
    c.stepped_ms_.store(start_ms, std::memory_order_relaxed);
    return c;
}

MarketClock MarketClock::from(std::optional<std::int64_t> now_ms, std::optional<std::int64_t> start_ms,
                              std::uint32_t speed, bool step) noexcept {
    if (now_ms || !start_ms) return MarketClock(now_ms);
    return step ? stepped(*start_ms) : moving(*start_ms, speed);
}

MarketClock::MarketClock(const MarketClock& other) noexcept
    : mode_(other.mode_), start_ms_(other.start_ms_), speed_(other.speed_), started_(other.started_) {
    stepped_ms_.store(other.stepped_ms_.load(std::memory_order_acquire), std::memory_order_relaxed);
}

std::int64_t MarketClock::now_ms() const noexcept {
    switch (mode_) {
        case Mode::Frozen: return start_ms_;
        case Mode::Stepped: return stepped_ms_.load(std::memory_order_acquire);
        case Mode::Moving: {
            // Counted in wall microseconds, so that the market moves on every
            // millisecond rather than in jumps of `speed` milliseconds (two
            // requests a moment apart get distinct times); whole milliseconds
            // and the rest are scaled apart so no product can overflow.
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started_).count();
            const auto speed = static_cast<std::int64_t>(speed_);
            return start_ms_ + us / 1000 * speed + us % 1000 * speed / 1000;
        }
        case Mode::Wall: break;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t MarketClock::start_ms() const noexcept { return mode_ == Mode::Wall ? now_ms() : start_ms_; }

bool MarketClock::advance(std::int64_t target_ms) noexcept {
    if (mode_ != Mode::Stepped) return false;
    std::int64_t now = stepped_ms_.load(std::memory_order_acquire);
    // Only ever forward, even when two drivers race.
    while (target_ms >= now) {
        if (stepped_ms_.compare_exchange_weak(now, target_ms, std::memory_order_acq_rel)) return true;
    }
    return false;
}

std::string MarketClock::describe(std::int64_t wall_ms) const {
    switch (mode_) {
        case Mode::Frozen: return "clock frozen " + std::to_string(start_ms_);
        case Mode::Moving:
            return "clock moving " + std::to_string(start_ms_) + " " + std::to_string(speed_) + " " +
                   std::to_string(wall_ms);
        case Mode::Stepped: return "clock stepped " + std::to_string(start_ms_);
        case Mode::Wall: break;
    }
    return "clock wall";
}

}  // namespace qvn::terminal
