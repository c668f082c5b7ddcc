#include "terminal/trading/moment.hpp"

#include "terminal/trading/money.hpp"

namespace qvn::terminal {

Quote MarketMoment::quote(const PriceSource& s) {
    const auto cached = quotes_.find(s.index());
    if (cached != quotes_.end()) return cached->second;
    const std::optional<wire::TickRecord> tick = now_ ? board_.latest(s, at_ms_) : s.latest(at_ms_);
    Quote q;
    if (tick) {
        const int digits = s.instrument().digits;
        q = {true, tick->bid, tick->ask, price_points(tick->bid, digits), price_points(tick->ask, digits)};
    }
    quotes_.emplace(s.index(), q);
    return q;
}

bool MarketMoment::open(const PriceSource& s) const noexcept {
    return s.open_at(at_ms_);
}

const Rates& MarketMoment::rates() {
    if (!rates_) rates_.emplace(rates_at(market_, board_, at_ms_, now_));
    return *rates_;
}

}  // namespace qvn::terminal
