#include "terminal/trading/accounting.hpp"

#include <cmath>

#include "terminal/market/symbol_record.hpp"

namespace qvn::terminal {
namespace {

// Contract sizes are whole units in the symbol table.
Fine contract(const Instrument& ins) noexcept { return static_cast<Fine>(std::llround(ins.contract_size)); }

// Fine units per (point x volume unit) of a symbol: 10^-(digits + 8) of a
// currency unit is 10^(8 - digits) fine units.
Fine point_volume(const Instrument& ins) noexcept { return pow10_fine(kMaxPriceDigits - ins.digits); }

}  // namespace

Fine profit_fine(const Instrument& ins, bool buy, std::int64_t volume, Fine weighted, std::int64_t close) noexcept {
    const Fine diff = static_cast<Fine>(close) * volume - weighted;
    return (buy ? diff : -diff) * contract(ins) * point_volume(ins);
}

Accounting::Accounting(const Catalogue& catalogue, const Account& account, std::string currency,
                       const MoneyScale& money)
    : catalogue_(catalogue),
      account_(account),
      currency_(std::move(currency)),
      money_(money),
      leverage_(account.leverage == 0 ? 1 : account.leverage) {}

// As order_calc_profit converts: nothing to do in the account currency; a
// symbol whose base is the account currency divides by the closing price;
// anything else takes the moment's factor.
void Accounting::add_profit(Amount& sum, const Instrument& ins, Fine fine, std::int64_t close,
                            MarketMoment& at) const {
    if (ins.currency_profit == currency_) return sum.add_exact(fine);
    const double amount = fine_to_double(fine);
    if (ins.currency_base == currency_) return sum.add_converted(amount / price_of(close, ins.digits));
    if (const auto f = at.rates().factor(ins.currency_profit, currency_)) sum.add_converted(amount * *f);
}

// As order_calc_margin, at each position's opening price: with the sums of
// volume and volume x price a whole side of a symbol is one term. `sum`
// counts over the account's leverage.
void Accounting::add_margin(Amount& sum, const Instrument& ins, const SideSums& side, MarketMoment& at) const {
    if (side.volume == 0) return;
    const Fine volume_fine = contract(ins) * side.volume * pow10_fine(kFineDigits - kMaxPriceDigits);
    const Fine value_fine = contract(ins) * side.weighted * point_volume(ins);
    const SymbolCalcMode mode = calc_mode(ins);
    Fine fine = 0;
    switch (mode) {
        case SymbolCalcMode::Forex: fine = volume_fine; break;
        case SymbolCalcMode::ForexNoLeverage: fine = volume_fine * leverage_; break;
        case SymbolCalcMode::Cfd: fine = value_fine * leverage_; break;
        case SymbolCalcMode::CfdLeverage: fine = value_fine; break;
    }
    const bool forex = mode == SymbolCalcMode::Forex || mode == SymbolCalcMode::ForexNoLeverage;
    if (ins.currency_margin == currency_) return sum.add_exact(fine);
    // A pair's own (opening) price turns its base into its quote currency.
    // (A CFD's margin is in its profit currency, so it never comes here.)
    if (forex && ins.currency_margin == ins.currency_base && ins.currency_profit == currency_)
        return sum.add_exact(mode == SymbolCalcMode::Forex ? value_fine : value_fine * leverage_);
    if (const auto f = at.rates().factor(ins.currency_margin, currency_))
        sum.add_converted(fine_to_double(fine, leverage_) * *f);
}

Funds Accounting::funds(const AccountBook& book, MarketMoment& at) const {
    Amount profit;
    Amount margin(leverage_);
    for (const auto& [index, s] : book.symbols()) {
        if (s.buy.volume == 0 && s.sell.volume == 0) continue;
        const SymbolModel& model = *catalogue_[index].model;
        const Instrument& ins = model.instrument();
        if (const Quote q = at.quote(model); q.valid) {
            if (s.buy.volume != 0)
                add_profit(profit, ins, profit_fine(ins, true, s.buy.volume, s.buy.weighted, q.bid_points),
                           q.bid_points, at);
            if (s.sell.volume != 0)
                add_profit(profit, ins, profit_fine(ins, false, s.sell.volume, s.sell.weighted, q.ask_points),
                           q.ask_points, at);
        }
        add_margin(margin, ins, s.buy, at);
        add_margin(margin, ins, s.sell, at);
    }
    Funds f;
    f.balance = book.balance();
    f.credit = money_.units(account_.credit);
    f.profit = profit.round(money_) + book.swap_total();
    f.margin = margin.round(money_);
    f.equity = f.balance + f.credit + f.profit;
    f.margin_free = f.equity - f.margin;
    f.margin_level = f.margin > 0 ? money_.to_double(f.equity) / money_.to_double(f.margin) * 100.0 : 0.0;
    return f;
}

std::int64_t Accounting::profit(const Position& p, std::int64_t volume, std::int64_t close, MarketMoment& at) const {
    if (p.symbol == kNoSymbol) return 0;
    const Instrument& ins = catalogue_[p.symbol].model->instrument();
    Amount sum;
    add_profit(sum, ins, profit_fine(ins, p.buy, volume, static_cast<Fine>(p.open) * volume, close), close, at);
    return sum.round(money_);
}

std::int64_t Accounting::commission(std::int64_t volume, MarketMoment& at) const {
    Amount sum;
    // 2.50 x lots in fine units: 2.5 x volume x 10^-8 x 10^16.
    if (currency_ == "USD") sum.add_exact(static_cast<Fine>(volume) * 250000000);
    else if (const auto f = at.rates().factor("USD", currency_)) sum.add_converted(kCommissionPerLot * lots_of(volume) * *f);
    return -sum.round(money_);
}

std::optional<std::int64_t> Accounting::swap(const Position& p, int nights, MarketMoment& at) const {
    if (p.symbol == kNoSymbol) return std::nullopt;
    const Instrument& ins = catalogue_[p.symbol].model->instrument();
    const Swaps s = swap_points(ins);
    const double points = p.buy ? s.long_points : s.short_points;
    const double lots = p.record.volume;
    const double amount = points * decimal_point(ins.digits) * ins.contract_size * lots * nights;
    const auto f = at.rates().factor(ins.currency_profit, currency_);
    if (!f) return std::nullopt;
    return money_.round(amount * *f);
}

}  // namespace qvn::terminal
