// The market at one moment, as the engine prices a trade: each symbol's
// latest quote and the conversion rates between currencies at that moment.
// A request is priced at the market clock's now; an event of a catch-up
// walk (a fill, a stop, a rollover) at its own time, so every conversion
// uses the quotes of the moment the event happened.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "terminal/market/calc.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/market/quotes.hpp"

namespace qvn::terminal {

struct Quote {
    bool valid = false;
    double bid = 0;
    double ask = 0;
    std::int64_t bid_points = 0;
    std::int64_t ask_points = 0;
};

class MarketMoment {
public:
    // `now`: `at_ms` is the market clock's now, whose quotes are cached.
    MarketMoment(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now)
        : market_(market), board_(board), at_ms_(at_ms), now_(now) {}
    MarketMoment(const MarketMoment&) = delete;
    MarketMoment& operator=(const MarketMoment&) = delete;
    MarketMoment(MarketMoment&&) = default;  // a session holds its moment by value

    std::int64_t time_ms() const noexcept { return at_ms_; }
    bool now() const noexcept { return now_; }
    Quote quote(const PriceSource& s);
    bool open(const PriceSource& s) const noexcept;
    const Rates& rates();

private:
    Market& market_;
    QuoteBoard& board_;
    std::int64_t at_ms_;
    bool now_;
    // The quotes priced so far, by price process: a moment prices few
    // symbols (a step those held, a request one), so the first few are
    // kept in place and only more go to the map.
    static constexpr std::size_t kInPlace = 4;
    std::array<std::pair<std::size_t, Quote>, kInPlace> few_{};
    std::size_t few_count_ = 0;
    std::map<std::size_t, Quote> more_;
    std::optional<Rates> rates_;
};

}  // namespace qvn::terminal
