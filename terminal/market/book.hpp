// The Depth of Market of a symbol, derived from its latest quote: a ladder
// of sell levels from the top down to the ask, then buy levels from the bid
// down, spaced by about half the spread. Volumes grow with the distance from
// the quote and vary with the quote's time, so the same quote always gives
// the same book.
#pragma once

#include <cstddef>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/market/market.hpp"

namespace qvn::terminal {

inline constexpr std::size_t kBookLevels = 8;  // levels on each side

// The book at `quote`; empty when the symbol has no quote yet.
std::vector<wire::BookRecord> make_book(const PriceSource& s, const wire::TickRecord& quote);

}  // namespace qvn::terminal
