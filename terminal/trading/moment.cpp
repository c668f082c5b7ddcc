#include "terminal/trading/moment.hpp"

#include "terminal/trading/money.hpp"

namespace qvn::terminal {

Quote MarketMoment::quote(const PriceSource& s) {
    const std::size_t index = s.index();
    for (std::size_t i = 0; i < few_count_; ++i)
        if (few_[i].first == index) return few_[i].second;
    if (const auto cached = more_.find(index); cached != more_.end()) return cached->second;
    const std::optional<wire::TickRecord> tick = now_ ? board_.latest(s, at_ms_) : s.latest(at_ms_);
    Quote q;
    if (tick) {
        const int digits = s.instrument().digits;
        q = {true, tick->bid, tick->ask, price_points(tick->bid, digits), price_points(tick->ask, digits)};
    }
    if (few_count_ < kInPlace)
        few_[few_count_++] = {index, q};
    else
        more_.emplace(index, q);
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
