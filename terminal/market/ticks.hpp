// Tick history requests: the filter a request's copy flags select, and the
// span of time it can see.
#pragma once

#include <cstdint>
#include <optional>

#include "terminal/market/market.hpp"

namespace qvn::terminal {

// The filter for a request's copy flags; empty for a value that is not one
// of the CopyTicks values.
std::optional<TickFilter> tick_filter(std::int32_t copy_flags) noexcept;

// [lo_ms, hi_ms] clipped to what the source serves (from its first day),
// the market clock and the end of the market. Empty when nothing is left.
TickSpan visible_span(const Market& market, const PriceSource& s, std::int64_t lo_ms, std::int64_t hi_ms) noexcept;

}  // namespace qvn::terminal
