// The market clock: what "now" is for the whole Terminal, in one of four
// modes. Everything else reads now_ms() and never asks which.
//
//   wall     the system clock;
//   frozen   one instant, for ever (--now);
//   moving   from a start instant at a multiple of real time, measured on
//            the monotonic clock (--clock, --speed);
//   stepped  from a start instant, moved forward only by the control
//            command (--clock --step), so a driver decides every instant the
//            Terminal lives through and no real time ever shows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qvn::terminal {

class MarketClock {
public:
    enum class Mode { Wall, Frozen, Moving, Stepped };

    // Frozen at `frozen_ms`, or the wall clock when it is empty.
    explicit MarketClock(std::optional<std::int64_t> frozen_ms = std::nullopt) noexcept;
    static MarketClock moving(std::int64_t start_ms, std::uint32_t speed) noexcept;
    static MarketClock stepped(std::int64_t start_ms) noexcept;
    // The clock the settings ask for: a frozen instant wins over a start,
    // which moves at `speed` or by steps.
    static MarketClock from(std::optional<std::int64_t> now_ms, std::optional<std::int64_t> start_ms,
                            std::uint32_t speed, bool step) noexcept;

    // A copy stands where the original stands now.
    MarketClock(const MarketClock& other) noexcept;
    MarketClock& operator=(const MarketClock&) = delete;

    Mode mode() const noexcept { return mode_; }
    bool stepped() const noexcept { return mode_ == Mode::Stepped; }
    std::int64_t now_ms() const noexcept;
    // The instant the clock started at (the wall clock: now), which the
    // trading store's clock rule compares with its last activity.
    std::int64_t start_ms() const noexcept;

    // Moves a stepped clock forward to `target_ms`; false (and nothing
    // moves) for any other clock or a target before now.
    bool advance(std::int64_t target_ms) noexcept;

    // The pid file's clock line, without its newline: "clock wall",
    // "clock frozen MS", "clock moving START_MS SPEED WALL_MS" (WALL_MS the
    // wall time at which it stood at START_MS) or "clock stepped START_MS".
    std::string describe(std::int64_t wall_ms) const;

private:
    Mode mode_ = Mode::Wall;
    std::int64_t start_ms_ = 0;  // frozen: the instant; moving, stepped: the start
    std::uint32_t speed_ = 1;
    std::chrono::steady_clock::time_point started_{};
    std::atomic<std::int64_t> stepped_ms_{0};  // where a stepped clock stands
};

}  // namespace qvn::terminal
