// The simulated market: a deterministic price process per symbol, built in
// three layers so that any moment can be produced without what came before.
//
//   day table   log price at every day start from 2000-01-01 to 2100-01-01:
//               a mean-reverting random walk whose daily volatility follows
//               the weekly session pattern and slow volatility clusters.
//   day plan    for one day: the tick count of every minute (session
//               intensity x volatility cluster), and the bid at every minute
//               boundary, a bridge between the two day anchors.
//   minute      the ticks of one minute: times, kinds (quote or deal), and a
//               bid walk of non-zero steps from the minute's start bid to
//               its end bid, so every quote tick changes the bid.
//
// Prices are integers counted in price ticks (the symbol's tick size) until
// they are written to a record, so bars and ticks always agree exactly.
// Every open minute holds at least one tick, and its first tick is a quote:
// whether a bar exists is therefore a property of the session calendar, and
// tick counts never depend on prices.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "terminal/market/calendar.hpp"
#include "terminal/market/symbols.hpp"

namespace qvn::terminal {

inline constexpr int kMaxTicksPerMinute = 2000;
// How far back the previous open day or tick is looked for. Every symbol
// trades at least every few days, so this never cuts a real gap short.
inline constexpr std::int64_t kLookbackDays = 14;

struct MinutePlan {
    std::int64_t start_bid = 0;  // bid before the minute's first tick, in price ticks
    std::int64_t delta = 0;      // bid change over the minute; non-zero when quotes == 1
    std::uint16_t ticks = 0;     // 0 when the market is closed
    std::uint16_t quotes = 0;    // quote ticks; the other ticks are deals
    float step_sigma = 0;        // spread of one bid step, in price ticks
    float spread = 0;            // typical spread this minute, in price ticks
};

struct DayPlan {
    std::int64_t day = 0;
    std::uint32_t quotes = 0;
    std::uint32_t deals = 0;
    int first_open = -1;  // minute of the day, -1 when closed all day
    int last_open = -1;
    std::array<MinutePlan, kMinutesPerDay> minutes{};
};

enum class TickKind : std::uint8_t { Quote, Buy, Sell };

// A tick as the process makes it; flags and the carried last price are
// added when ticks are emitted (see ticks.hpp).
struct RawTick {
    std::int64_t time_msc;
    std::int64_t bid;  // price ticks
    std::int64_t ask;
    double volume;     // deal size, 0 for quotes
    TickKind kind;
};

// Bounds on the quotes of one minute, in price ticks: every quote's bid
// lies in [bid_lo, bid_hi] and its spread (ask - bid) in [spread_lo,
// spread_hi].
struct QuoteRange {
    std::int64_t bid_lo = 0, bid_hi = 0;
    std::int64_t spread_lo = 0, spread_hi = 0;
};

// Deal volume in whole units, as carried in a tick's `volume` and summed
// into a bar's real volume: never 0 for a deal.
std::uint64_t deal_units(double volume) noexcept;

// Everything about one symbol that does not depend on the day asked for.
class SymbolModel {
public:
    explicit SymbolModel(const Instrument& ins);

    const Instrument& instrument() const noexcept { return *instrument_; }

    double intensity(std::int64_t day, int minute) const noexcept {
        return intensity_[static_cast<std::size_t>(weekday_from_monday(day) * kMinutesPerDay + minute)];
    }
    bool open_day(std::int64_t day) const noexcept {
        return day >= kProcessFirstDay && day < kProcessEndDay && open_weekday_[weekday_from_monday(day)];
    }
    // The first and last open minute of a weekday's session (-1 when closed).
    int first_open_minute(std::int64_t day) const noexcept { return first_open_[weekday_from_monday(day)]; }
    int last_open_minute(std::int64_t day) const noexcept { return last_open_[weekday_from_monday(day)]; }
    bool open_minute(std::int64_t minute) const noexcept;

    // Price of a count of price ticks, exactly as written to records:
    // integer points divided by a power of ten is correctly rounded.
    double price(std::int64_t ticks) const noexcept {
        return static_cast<double>(ticks * instrument_->tick_points) / point_scale_;
    }
    std::int32_t spread_points(std::int64_t ticks) const noexcept {
        return static_cast<std::int32_t>(ticks * instrument_->tick_points);
    }

    DayPlan make_plan(std::int64_t day) const;
    // Fills `out` (room for kMaxTicksPerMinute) with the ticks of a minute
    // of `plan`; returns how many.
    int minute_ticks(const DayPlan& plan, int minute, RawTick* out) const noexcept;
    // Bounds on the quotes minute_ticks() makes for an open minute, from
    // the plan alone (no tick is made).
    QuoteRange quote_range(const MinutePlan& mp) const noexcept;
    // Time of the first tick of an open minute.
    std::int64_t first_tick_time(std::int64_t minute, const MinutePlan& mp) const noexcept;

    std::uint64_t seed() const noexcept { return seed_; }

private:
    double day_log(std::int64_t day) const noexcept {
        return day_table().log[static_cast<std::size_t>(day - kProcessFirstDay)];
    }
    float day_sigma(std::int64_t day) const noexcept {
        return day_table().sigma[static_cast<std::size_t>(day - kProcessFirstDay)];
    }
    std::int64_t quantize(double log_price) const noexcept;
    std::int64_t day_start_bid(std::int64_t day) const noexcept;
    double volatility(std::int64_t minute) const noexcept;

    const Instrument* instrument_;
    std::uint64_t seed_;
    double point_scale_;        // 10^digits
    double tick_price_;         // price of one price tick
    std::int64_t spread_ticks_; // typical spread in price ticks, at least 1
    std::uint32_t deal_threshold_;
    std::vector<float> intensity_;  // by Monday-based minute of the week
    std::array<bool, 7> open_weekday_{};
    std::array<int, 7> first_open_{};
    std::array<int, 7> last_open_{};
    // The day table: each day's latent log price at its start (one more
    // entry than days: the end anchor) and its volatility. Made when a day
    // is first asked for, not with the model: a Terminal makes every
    // symbol's model when it starts, and a run mostly trades a few. Its
    // room is taken with the model, so making it allocates nothing.
    struct DayTable {
        std::vector<double> log;
        std::vector<float> sigma;
    };
    // A flag and a mutex rather than std::call_once, whose thread-local
    // state would make the Terminal program need the dynamic loader itself.
    const DayTable& day_table() const noexcept {
        if (!day_table_made_.load(std::memory_order_acquire)) make_day_table();
        return day_table_;
    }
    void make_day_table() const noexcept;

    std::array<double, 7> weekday_weight_{};  // each weekday's session weight
    mutable std::mutex day_table_mutex_;
    mutable std::atomic<bool> day_table_made_{false};
    mutable DayTable day_table_;
};

}  // namespace qvn::terminal
