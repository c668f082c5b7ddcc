// Margin and profit of a trade, and the currency conversions they need.
//
// Amounts arise in the symbol's margin or profit currency and are converted
// to the account currency: by the trade's own price when the symbol itself
// quotes one in the other (EURUSD margin in EUR for a USD account; USDJPY
// profit in JPY for a USD account), otherwise at the current quotes of the
// catalogue's pairs (see Rates).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "terminal/enums.hpp"
#include "terminal/market/symbols.hpp"

namespace qvn::terminal {

// Which side of a pair's quote a conversion takes. Bid multiplies by the bid
// of a FROM/TO pair or divides by the ask of a TO/FROM pair, the smaller
// result; Ask the other way round, the larger.
enum class RateSide { Bid, Ask };

struct PairQuote {
    std::string_view base;
    std::string_view quote;
    double bid;
    double ask;
};

class Rates {
public:
    explicit Rates(std::vector<PairQuote> pairs) : pairs_(std::move(pairs)) {}

    // The factor that turns an amount in `from` into `to`: a pair linking the
    // two, else a path through USD; empty when no quoted pair links them.
    std::optional<double> factor(std::string_view from, std::string_view to, RateSide side = RateSide::Bid) const;
    // Converts an amount step by step: x bid of a FROM/TO pair or / ask of a
    // TO/FROM pair, else into USD and then out of it, each step one
    // operation in double precision; empty when no quoted pair links them.
    std::optional<double> convert(double amount, std::string_view from, std::string_view to) const;

private:
    std::optional<double> direct(std::string_view from, std::string_view to, RateSide side) const;
    std::optional<double> step(double amount, std::string_view from, std::string_view to) const;

    std::vector<PairQuote> pairs_;
};

struct AccountTerms {
    std::string_view currency;
    std::uint32_t leverage;  // 1:N; 0 is taken as 1
};

// The buy or sell side of an order type used in a calculation; empty for a
// type that is neither (close-by, unknown values).
std::optional<bool> is_buy(std::uint32_t order_type) noexcept;

// Validation shared by both calculations: volume and prices positive and
// finite.
bool valid_amount(double x) noexcept;

// Margin of `volume` lots at `price`, in the account currency; empty when no
// conversion links the currencies.
std::optional<double> margin(const Instrument& ins, SymbolCalcMode mode, double volume, double price,
                             const AccountTerms& account, const Rates& rates);

// Profit of `volume` lots opened at `open` and closed at `close`, in the
// account currency (negative for a loss).
std::optional<double> profit(const Instrument& ins, bool buy, double volume, double open, double close,
                             const AccountTerms& account, const Rates& rates);

}  // namespace qvn::terminal
