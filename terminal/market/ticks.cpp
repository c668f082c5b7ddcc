#include "terminal/market/ticks.hpp"

#include <algorithm>

#include "terminal/enums.hpp"

namespace qvn::terminal {

std::optional<TickFilter> tick_filter(std::int32_t copy_flags) noexcept {
    switch (static_cast<CopyTicks>(copy_flags)) {
        case CopyTicks::Info: return TickFilter{true, false};
        case CopyTicks::Trade: return TickFilter{false, true};
        case CopyTicks::All: return TickFilter{true, true};
    }
    return std::nullopt;
}

TickSpan visible_span(const Market& market, const PriceSource& s, std::int64_t lo_ms, std::int64_t hi_ms) noexcept {
    TickSpan span;
    span.lo_ms = std::max(lo_ms, s.first_ms());
    span.hi_ms = std::min({hi_ms, market.now_ms(), Market::process_end_ms() - 1});
    return span;
}

}  // namespace qvn::terminal
