#include "terminal/market/source.hpp"

#include <algorithm>
#include <limits>

#include "terminal/market/noise.hpp"

namespace qvn::terminal {

void Aggregate::add(const Aggregate& later) noexcept {
    if (later.ticks == 0) return;
    if (ticks == 0) {
        *this = later;
        return;
    }
    high = std::max(high, later.high);
    low = std::min(low, later.low);
    close = later.close;
    ticks += later.ticks;
    spread = std::min(spread, later.spread);
    volume += later.volume;
}

PriceSource::PriceSource(const Instrument& terms, SourceLabel label, std::int64_t first_day, std::int64_t end_day)
    : terms_(&terms),
      label_(std::move(label)),
      seed_(name_seed(terms.name)),
      point_scale_(decimal_scale(terms.digits)),
      first_day_(first_day),
      end_day_(end_day) {}

PriceSource::~PriceSource() = default;

void PriceSource::bound_quotes(TickSpan span, const QuoteBoundsVisitor& visit) const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (!span.empty()) visit(QuoteBounds{span, -inf, inf, -inf, inf});
}

}  // namespace qvn::terminal
