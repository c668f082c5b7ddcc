// The latest quote of a symbol and the figures of its current trading day,
// taken from the same tick stream that tick history serves: the latest tick
// is the last tick of that stream at or before the market clock, flags
// included, and the day's highs and lows are those of its ticks (so they
// equal the day's bars).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "protocol/wire.hpp"
#include "terminal/market/calc.hpp"
#include "terminal/market/market.hpp"

namespace qvn::terminal {

struct DaySummary {
    bool quoted = false;           // false: no tick yet, every figure is 0
    wire::TickRecord latest{};     // the latest tick
    std::int64_t day = 0;          // day of the latest tick
    std::int64_t upto_ms = 0;      // ticks up to this instant are counted
    double open = 0;               // first bid of the day
    double previous_close = 0;     // last bid before the day; 0 when none
    double bid_high = 0, bid_low = 0;
    double ask_high = 0, ask_low = 0;
    double last_high = 0, last_low = 0;  // deal prices; 0 without deals
    std::uint64_t deals = 0, buys = 0, sells = 0;
    std::uint64_t last_volume = 0, volume_high = 0, volume_low = 0;  // whole units
    double last_volume_real = 0, volume_high_real = 0, volume_low_real = 0;
    double volume_real = 0;        // sum of deal sizes
    double buy_volume_real = 0, sell_volume_real = 0;
    double turnover = 0;           // sum of deal price x size

    // Adds a tick of the same day, later than every tick counted so far.
    void add(const wire::TickRecord& t) noexcept;
};

// Summaries of every price process, kept per process and brought forward
// tick by tick as the clock moves; a frozen clock computes each day once.
class QuoteBoard {
public:
    explicit QuoteBoard(Market& market) : market_(market) {}

    Market& market() noexcept { return market_; }
    QuoteBoard(const QuoteBoard&) = delete;
    QuoteBoard& operator=(const QuoteBoard&) = delete;

    DaySummary summary(const PriceSource& s, std::int64_t now_ms);
    // The latest tick at or before `now_ms`: the summary's when it stands
    // there, else found on its own (no scan of the day's ticks, which a
    // clock that jumps ahead would otherwise pay for every pair it prices).
    std::optional<wire::TickRecord> latest(const PriceSource& s, std::int64_t now_ms);

private:
    static DaySummary compute(const PriceSource& s, std::int64_t now_ms);
    // Folds the ticks after `sum.upto_ms` up to `now_ms` into `sum`; false
    // when one of them opens a new day, which needs a fresh summary.
    static bool extend(const PriceSource& s, DaySummary& sum, std::int64_t now_ms);

    Market& market_;
    std::mutex mutex_;
    std::unordered_map<std::size_t, DaySummary> cache_;  // by source index
    // The latest tick found on its own at an instant, by source index.
    std::unordered_map<std::size_t, std::pair<std::int64_t, std::optional<wire::TickRecord>>> latest_;
};

// Conversion rates from the quotes of the market's currency pairs at `at_ms`
// (the simulated ones first, then any imported ones): the latest tick of each
// pair at or before it, kept on the board when `at_ms` is the market clock's
// now (`now` true).
Rates rates_at(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now);
// The same for converting `from` into `to` alone: only the pairs of two of
// `from`, `to` and USD, the only ones a conversion between them looks at
// (directly or through USD), in the same order, so it gives the same
// factors; the other pairs' prices are not made.
Rates rates_at(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now, std::string_view from,
               std::string_view to);

}  // namespace qvn::terminal
