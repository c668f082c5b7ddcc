// The account's money: figures, a position's floating profit, margins,
// commissions and swaps, in the account currency.
//
// Floating profit and margin are summed per symbol (and side, for profit)
// from the book's exact sums (volume, volume x opening price), so they cost
// O(symbols) whatever the number of positions, and are exact until a
// currency conversion; each total is rounded once, half away from zero
// (see Amount).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "terminal/market/calc.hpp"
#include "terminal/store/accounts.hpp"
#include "terminal/trading/book.hpp"
#include "terminal/trading/moment.hpp"

namespace qvn::terminal {

// Commission charged on every deal, in USD per lot.
inline constexpr double kCommissionPerLot = 2.5;
// Margin level (equity / margin, percent) of the margin call and stop-out.
inline constexpr double kMarginCallLevel = 100.0;
inline constexpr double kStopOutLevel = 50.0;

class Accounting {
public:
    Accounting(const Catalogue& catalogue, const Account& account, std::string currency, const MoneyScale& money);

    std::string_view currency() const noexcept { return currency_; }
    const MoneyScale& money() const noexcept { return money_; }

    Funds funds(const AccountBook& book, MarketMoment& at) const;

    // The profit of `volume` units of a position closed at `close` points,
    // converted at the moment's quotes and rounded.
    std::int64_t profit(const Position& p, std::int64_t volume, std::int64_t close, MarketMoment& at) const;
    // The commission of a deal of `volume` units (negative).
    std::int64_t commission(std::int64_t volume, MarketMoment& at) const;
    // One night's swap of a position (`nights` is 3 on the triple day);
    // empty when no quoted pair links the currencies.
    std::optional<std::int64_t> swap(const Position& p, int nights, MarketMoment& at) const;

private:
    void add_profit(Amount& sum, const CatalogueEntry& e, int side, Exact fine, std::int64_t close,
                    MarketMoment& at) const;
    void add_margin(Amount& sum, const CatalogueEntry& e, const SymbolBook& s, MarketMoment& at) const;
    std::int64_t money_of(Exact fine, std::string_view currency, MarketMoment& at) const;

    const Catalogue& catalogue_;
    const Account& account_;
    std::string currency_;
    MoneyScale money_;
    Fine leverage_;
};

// The exact profit, in fine units of the profit currency, of `volume`
// units opened at `weighted` / `volume` points and closed at `close`.
Exact profit_exact(const Instrument& ins, bool buy, std::int64_t volume, Fine weighted, std::int64_t close) noexcept;

}  // namespace qvn::terminal
