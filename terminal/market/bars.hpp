// Bar history: periods of every timeframe, which of them hold ticks, and a
// cursor that writes their bars. Bars are built from the same ticks the tick
// history serves: open and close are the first and last bid of the period,
// high and low the extremes of the bid, tick_volume the number of ticks,
// spread the narrowest spread in points, real_volume the sum of deal
// volumes. A period without ticks has no bar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/wire.hpp"
#include "terminal/enums.hpp"
#include "terminal/market/bar_book.hpp"
#include "terminal/market/market.hpp"

namespace qvn::terminal {

bool valid_timeframe(std::int32_t value) noexcept;

// The bar of the period opening at minute `start` holding `a`.
wire::BarRecord bar_record(std::int64_t start, const Aggregate& a) noexcept;

// Periods are addressed by their first minute (minutes since 1970).
std::int64_t period_start(Timeframe tf, std::int64_t minute) noexcept;
std::int64_t period_next(Timeframe tf, std::int64_t start) noexcept;
std::int64_t period_prev(Timeframe tf, std::int64_t start) noexcept;

// Whether a period holds a tick visible at `now_ms` (served by the source
// and at or before that instant). One request uses one `now_ms` throughout,
// so its count and its bars always agree.
bool period_has_ticks(const PriceSource& s, Timeframe tf, std::int64_t start, std::int64_t now_ms);

// The bars a request selects: `count` bars with ticks, the first of which
// opens at `first` (a period start); count 0 selects nothing.
struct BarSelection {
    std::int64_t first = 0;
    std::uint64_t count = 0;
};

// Bars opening in [from_s, to_s]; stops counting above `limit`.
BarSelection select_range(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                          std::int64_t from_s, std::int64_t to_s, std::uint64_t limit);
// The `count` newest bars opening at or before `date_s`.
BarSelection select_from(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                         std::int64_t date_s, std::uint64_t count);
// `count` bars starting `start_pos` bars back from the newest one (0 = the
// bar in progress), returned oldest first.
BarSelection select_from_pos(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                             std::uint64_t start_pos, std::uint64_t count);

// A reply's bars: closed ones straight from a kept series, then the ones
// after them built from the ticks. The plans select exactly the bars of the
// select_* functions above, and write the same bytes; they fall back to
// those when no series serves the request.
struct BarPlan {
    std::shared_ptr<const BarSeries> series;
    std::size_t from = 0;   // the first bar of the series sent
    std::size_t count = 0;  // bars of the series sent
    BarSelection tail;      // bars after them

    std::uint64_t total() const noexcept { return count + tail.count; }
};

BarPlan plan_range(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t from_s,
                   std::int64_t to_s, std::uint64_t limit);
BarPlan plan_from(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t date_s,
                  std::uint64_t count);
BarPlan plan_from_pos(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                      std::uint64_t start_pos, std::uint64_t count);

// Writes the bars of a selection, oldest first.
class BarCursor {
public:
    BarCursor(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms, BarSelection selection);

    std::size_t fill(wire::BarRecord* out, std::size_t max);

private:
    Aggregate aggregate(std::int64_t start, std::int64_t end);
    const Aggregate& minute_of(std::int64_t minute);
    const HourBlock& hours_of(std::int64_t day);

    Market& market_;
    const PriceSource& s_;
    Timeframe tf_;
    std::int64_t next_;
    std::uint64_t left_;
    std::int64_t upto_ms_;

    std::int64_t minutes_day_ = -1;  // the day whose minutes are loaded
    DayMinutes minutes_;
    std::int64_t hours_day_ = -1;
    HourBlock hours_{};
};

}  // namespace qvn::terminal
