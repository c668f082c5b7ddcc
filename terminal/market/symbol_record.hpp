// A catalogue entry as the symbol record clients receive: the fixed trading
// terms of its instrument, its quote and day figures, its place in Market
// Watch, and the tick value in the account's currency.
#pragma once

#include "protocol/wire.hpp"
#include "terminal/market/calc.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/market/quotes.hpp"

namespace qvn::terminal {

inline constexpr std::int32_t kStopsLevelForex = 10;  // points
inline constexpr std::int32_t kStopsLevelOther = 50;

// Value of one tick of one lot in the account currency: for a profitable
// and a losing position, which convert at the two sides of the quotes.
struct TickValue {
    double profit = 0;
    double loss = 0;
};
TickValue tick_value(const Instrument& ins, std::string_view account_currency, const Rates& rates);

// Swap rates in points per lot and day, for long and short positions.
struct Swaps {
    double long_points;
    double short_points;
};
Swaps swap_points(const Instrument& ins) noexcept;

void fill_symbol_record(wire::SymbolInfoRecord& r, const CatalogueEntry& e, const DaySummary& quote, bool selected,
                        TickValue value);

// The two halves of fill_symbol_record. A source's record holds everything
// that follows from its instrument, its quote and the tick value, which all
// entries of one price source share; an entry's fields (its texts, custom,
// its place in Market Watch) then complete a copy of it.
void fill_source_record(wire::SymbolInfoRecord& r, const Instrument& ins, const DaySummary& quote, TickValue value);
void put_entry_fields(wire::SymbolInfoRecord& r, const CatalogueEntry& e, bool selected) noexcept;

}  // namespace qvn::terminal
