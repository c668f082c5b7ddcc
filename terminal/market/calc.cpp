#include "terminal/market/calc.hpp"

#include <cmath>

namespace qvn::terminal {

std::optional<double> Rates::direct(std::string_view from, std::string_view to, RateSide side) const {
    for (const PairQuote& p : pairs_) {
        if (p.bid <= 0 || p.ask <= 0) continue;
        if (p.base == from && p.quote == to) return side == RateSide::Bid ? p.bid : p.ask;
        if (p.base == to && p.quote == from) return 1.0 / (side == RateSide::Bid ? p.ask : p.bid);
    }
    return std::nullopt;
}

std::optional<double> Rates::factor(std::string_view from, std::string_view to, RateSide side) const {
    if (from == to) return 1.0;
    if (auto f = direct(from, to, side)) return f;
    constexpr std::string_view kHub = "USD";
    if (from == kHub || to == kHub) return std::nullopt;
    const auto a = direct(from, kHub, side);
    const auto b = direct(kHub, to, side);
    if (!a || !b) return std::nullopt;
    return *a * *b;
}

std::optional<double> Rates::step(double amount, std::string_view from, std::string_view to) const {
    for (const PairQuote& p : pairs_) {
        if (p.bid <= 0 || p.ask <= 0) continue;
        if (p.base == from && p.quote == to) return amount * p.bid;
        if (p.base == to && p.quote == from) return amount / p.ask;
    }
    return std::nullopt;
}

std::optional<double> Rates::convert(double amount, std::string_view from, std::string_view to) const {
    if (from == to) return amount;
    if (auto r = step(amount, from, to)) return r;
    constexpr std::string_view kHub = "USD";
    if (from == kHub || to == kHub) return std::nullopt;
    const auto usd = step(amount, from, kHub);
    if (!usd) return std::nullopt;
    return step(*usd, kHub, to);
}

std::optional<bool> is_buy(std::uint32_t order_type) noexcept {
    switch (static_cast<OrderType>(order_type)) {
        case OrderType::Buy:
        case OrderType::BuyLimit:
        case OrderType::BuyStop:
        case OrderType::BuyStopLimit: return true;
        case OrderType::Sell:
        case OrderType::SellLimit:
        case OrderType::SellStop:
        case OrderType::SellStopLimit: return false;
        case OrderType::CloseBy: break;
    }
    return std::nullopt;
}

bool valid_amount(double x) noexcept { return std::isfinite(x) && x > 0; }

std::optional<double> margin(const Instrument& ins, SymbolCalcMode mode, double volume, double price,
                             const AccountTerms& account, const Rates& rates) {
    const double leverage = account.leverage == 0 ? 1.0 : static_cast<double>(account.leverage);
    const double units = volume * ins.contract_size;
    double amount = 0;
    switch (mode) {
        case SymbolCalcMode::Forex: amount = units / leverage; break;
        case SymbolCalcMode::ForexNoLeverage: amount = units; break;
        case SymbolCalcMode::Cfd: amount = units * price; break;
        case SymbolCalcMode::CfdLeverage: amount = units * price / leverage; break;
    }
    const std::string_view currency = ins.currency_margin;
    if (currency == account.currency) return amount;
    // A pair's own price converts its base into its quote currency.
    if (currency == ins.currency_base && ins.currency_profit == account.currency) return amount * price;
    const auto f = rates.factor(currency, account.currency);
    if (!f) return std::nullopt;
    return amount * *f;
}

std::optional<double> profit(const Instrument& ins, bool buy, double volume, double open, double close,
                             const AccountTerms& account, const Rates& rates) {
    const double amount = (buy ? close - open : open - close) * ins.contract_size * volume;
    const std::string_view currency = ins.currency_profit;
    if (currency == account.currency) return amount;
    // The quote currency back into the base at the closing price.
    if (ins.currency_base == account.currency) return amount / close;
    const auto f = rates.factor(currency, account.currency);
    if (!f) return std::nullopt;
    return amount * *f;
}

}  // namespace qvn::terminal
