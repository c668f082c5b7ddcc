// Tick history: which ticks a request selects, how many there are, and a
// cursor that writes them as wire records chunk by chunk.
//
// Flags compare each tick with the tick just before it in the full stream
// (selected or not), so a tick's record is the same whichever request
// returns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "protocol/wire.hpp"
#include "terminal/market/market.hpp"

namespace qvn::terminal {

struct TickFilter {
    bool quotes = true;
    bool deals = true;
};

// The filter for a request's copy flags; empty for a value that is not one
// of the CopyTicks values.
std::optional<TickFilter> tick_filter(std::int32_t copy_flags) noexcept;

// The span of time a request can see: [lo, hi] clipped to the history start,
// the market clock and the end of the process. Empty when nothing is left.
struct TickSpan {
    std::int64_t lo_ms = 0;
    std::int64_t hi_ms = -1;
    bool empty() const noexcept { return lo_ms > hi_ms; }
};
TickSpan visible_span(const Market& market, std::int64_t lo_ms, std::int64_t hi_ms) noexcept;

// Number of selected ticks in the span; stops counting as soon as the count
// exceeds `limit` and then returns some value above it.
std::uint64_t count_ticks(Market& market, const SymbolModel& s, TickSpan span, TickFilter filter,
                          std::uint64_t limit);

// Writes the selected ticks of a span, oldest first.
class TickCursor {
public:
    TickCursor(Market& market, const SymbolModel& s, TickSpan span, TickFilter filter);
    TickCursor(const TickCursor&) = delete;
    TickCursor& operator=(const TickCursor&) = delete;

    // Writes up to `max` records; fewer only when the span is exhausted.
    std::size_t fill(wire::TickRecord* out, std::size_t max);

private:
    bool load_next_minute();
    void init_context(std::int64_t minute);

    Market& market_;
    const SymbolModel& s_;
    TickSpan span_;
    TickFilter filter_;

    std::int64_t day_ = 0;
    int minute_ = -1;  // minute of day_ currently loaded
    std::shared_ptr<const DayPlan> plan_;
    std::unique_ptr<RawTick[]> ticks_;
    int count_ = 0;
    int pos_ = 0;
    bool done_ = false;

    // The tick before the next one; bid -1 when there is none.
    std::int64_t bid_ = -1;
    std::int64_t ask_ = -1;
    std::int64_t last_ = 0;  // price of the latest deal in price ticks, 0 before any
    double last_price_ = 0;  // the same as written to records
};

}  // namespace qvn::terminal
