// A symbol's price source: where its ticks come from. The simulated market
// model (model_source.hpp) and ticks a user imported (imported_source.hpp)
// are the two kinds; everything else in the Terminal (tick and bar history,
// quotes and symbol records, the Depth of Market, trading and the clock
// walk) asks a source through this interface and never which kind it is.
//
// A source answers for its whole tick stream regardless of the market
// clock: callers clip what they ask for to the clock (see ticks.hpp and
// bars.hpp), so nothing after it is ever served.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "protocol/wire.hpp"
#include "terminal/market/calendar.hpp"
#include "terminal/market/symbols.hpp"

namespace qvn::terminal {

// Which ticks a request selects: quotes (a tick that changes the bid or the
// ask) and deals (a tick that carries a deal's volume or last price). A tick
// may be both.
struct TickFilter {
    bool quotes = true;
    bool deals = true;
};

// Milliseconds [lo_ms, hi_ms]; empty when lo_ms > hi_ms.
struct TickSpan {
    std::int64_t lo_ms = 0;
    std::int64_t hi_ms = -1;
    bool empty() const noexcept { return lo_ms > hi_ms; }
};

// Summary of consecutive ticks: the unit bars are built from, in the very
// values bars carry. An aggregate with ticks == 0 is empty.
struct Aggregate {
    double open = 0;
    double high = 0;
    double low = 0;
    double close = 0;
    std::uint64_t ticks = 0;
    std::int32_t spread = 0;  // narrowest spread, in points
    std::uint64_t volume = 0; // sum of the deals' whole-unit volumes

    void add(const Aggregate& later) noexcept;
};

// The aggregates of every minute of one day, over all the day's ticks.
using MinuteBlock = std::array<Aggregate, kMinutesPerDay>;
using HourBlock = std::array<Aggregate, 24>;

// Writes tick records of a span, oldest first.
class TickReader {
public:
    virtual ~TickReader() = default;
    // Up to `max` records; fewer only when the span is exhausted.
    virtual std::size_t fill(wire::TickRecord* out, std::size_t max) = 0;
};

// A stretch of a source's time and bounds on the prices of its quote ticks:
// no quote in it has a bid or an ask outside them. The bounds may be wider
// than the quotes are (they are what a source knows without making them),
// never narrower.
struct QuoteBounds {
    TickSpan span;
    double bid_lo = 0, bid_hi = 0;
    double ask_lo = 0, ask_hi = 0;
};
using QuoteBoundsVisitor = std::function<bool(const QuoteBounds&)>;

// What the catalogue shows of a source.
struct SourceLabel {
    std::u16string name;
    std::u16string path;  // "<group>\<subgroup>\<name>"
    std::u16string description;
    bool custom = false;  // imported ticks: the record's custom flag
};

class PriceSource {
public:
    // `terms` must outlive the source; `first_day` is the first day served
    // and `end_day` one past the last day that may hold ticks.
    PriceSource(const Instrument& terms, SourceLabel label, std::int64_t first_day, std::int64_t end_day);
    PriceSource(const PriceSource&) = delete;
    PriceSource& operator=(const PriceSource&) = delete;
    virtual ~PriceSource();

    const Instrument& instrument() const noexcept { return *terms_; }
    const SourceLabel& label() const noexcept { return label_; }
    // Dense, in the market's order: caches are kept by it.
    std::size_t index() const noexcept { return index_; }
    void set_index(std::size_t i) noexcept { index_ = i; }
    std::uint64_t seed() const noexcept { return seed_; }
    std::int64_t first_day() const noexcept { return first_day_; }
    std::int64_t end_day() const noexcept { return end_day_; }
    std::int64_t first_ms() const noexcept { return first_day_ * kMsPerDay; }

    // A count of price ticks (the symbol's tick size) as a price: integer
    // points divided by a power of ten, correctly rounded.
    double price(std::int64_t ticks) const noexcept {
        return static_cast<double>(ticks * terms_->tick_points) / point_scale_;
    }
    std::int32_t spread_points(std::int64_t ticks) const noexcept {
        return static_cast<std::int32_t>(ticks * terms_->tick_points);
    }

    // Whether the symbol trades at `ms` (orders are accepted).
    virtual bool open_at(std::int64_t ms) const noexcept = 0;
    // The selected ticks of a span (already clipped by the caller).
    virtual std::unique_ptr<TickReader> read(TickSpan span, TickFilter filter) const = 0;
    // Their number; stops counting as soon as it exceeds `limit` and then
    // returns some value above it.
    virtual std::uint64_t count(TickSpan span, TickFilter filter, std::uint64_t limit) const = 0;
    // The last tick at or before `at_ms`, exactly as `read` writes it; empty
    // when there is none.
    virtual std::optional<wire::TickRecord> latest(std::int64_t at_ms) const = 0;
    // The time of the first tick strictly after `ms`; empty when none follows.
    virtual std::optional<std::int64_t> next_after(std::int64_t ms) const = 0;
    // Whether any tick lies in [lo_ms, hi_ms].
    virtual bool any_in(std::int64_t lo_ms, std::int64_t hi_ms) const = 0;
    // Every minute of a day, all of its ticks (callers cut at the clock).
    virtual void day_minutes(std::int64_t day, MinuteBlock& out) const = 0;
    // One minute's ticks at or before `upto_ms`.
    virtual Aggregate minute_upto(std::int64_t minute, std::int64_t upto_ms) const = 0;
    // The quotes of a span as consecutive stretches in time order, each with
    // its bounds, until `visit` returns false; time without quotes may be
    // left out. Cheaper than the ticks: the walk reads only the stretches
    // whose bounds reach a level. This one is a single stretch of the span,
    // unbounded.
    virtual void bound_quotes(TickSpan span, const QuoteBoundsVisitor& visit) const;

private:
    const Instrument* terms_;
    SourceLabel label_;
    std::size_t index_ = 0;
    std::uint64_t seed_;
    double point_scale_;
    std::int64_t first_day_;
    std::int64_t end_day_;
};

}  // namespace qvn::terminal
