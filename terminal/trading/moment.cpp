#include "terminal/trading/moment.hpp"

#include "terminal/trading/money.hpp"

namespace qvn::terminal {

Quote MarketMoment::quote(const SymbolModel& s) {
    const auto cached = quotes_.find(s.index());
    if (cached != quotes_.end()) return cached->second;
    std::optional<wire::TickRecord> tick;
    if (now_) {
        const DaySummary d = board_.summary(s, at_ms_);
        if (d.quoted) tick = d.latest;
    } else {
        tick = latest_tick(market_, s, at_ms_);
    }
    Quote q;
    if (tick) {
        const int digits = s.instrument().digits;
        q = {true, tick->bid, tick->ask, price_points(tick->bid, digits), price_points(tick->ask, digits)};
    }
    quotes_.emplace(s.index(), q);
    return q;
}

bool MarketMoment::open(const SymbolModel& s) const noexcept {
    return s.open_minute(floor_div(at_ms_, kMsPerMinute));
}

const Rates& MarketMoment::rates() {
    if (!rates_) rates_.emplace(rates_at(market_, board_, at_ms_, now_));
    return *rates_;
}

}  // namespace qvn::terminal
