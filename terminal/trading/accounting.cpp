#include "terminal/trading/accounting.hpp"

#include <cmath>

#include "terminal/market/symbol_record.hpp"

namespace qvn::terminal {
namespace {

// `n` points x volume units of a contract, exactly. A contract size is the
// decimal it was written as, units x 10^-decimals (the importer allows 8
// decimals at most), so one point x one volume unit x the contract is
// 10^-(digits + 8 + decimals) currency units: 10^(8 - digits - decimals)
// fine units, or a fraction of one when digits and decimals pass 8.
Exact point_volume_contract(const Instrument& ins, Fine n) noexcept {
    const Decimal c = decimal_of(ins.contract_size);
    return exact_scaled(n * c.units, kMaxPriceDigits - ins.digits - c.decimals);
}

}  // namespace

Exact profit_exact(const Instrument& ins, bool buy, std::int64_t volume, Fine weighted, std::int64_t close) noexcept {
    const Fine diff = static_cast<Fine>(close) * volume - weighted;
    return point_volume_contract(ins, buy ? diff : -diff);
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
// anything else converts step by step at the moment's quotes. A converted
// amount starts from the nearest double of the exact one.
void Accounting::add_profit(Amount& sum, const CatalogueEntry& e, int side, Exact fine, std::int64_t close,
                            MarketMoment& at) const {
    const Instrument& ins = e.source->instrument();
    if (ins.currency_profit == currency_) return sum.add_exact(fine);
    const double amount = fine_to_double(fine);
    if (ins.currency_base == currency_) return sum.add_converted(e.name, side, amount / price_of(close, ins.digits));
    if (const auto x = at.rates().convert(amount, ins.currency_profit, currency_)) sum.add_converted(e.name, side, *x);
}

// As order_calc_margin, at each position's opening price: with the sums of
// volume and volume x price, a symbol's positions are one term. `sum`
// counts over the account's leverage.
void Accounting::add_margin(Amount& sum, const CatalogueEntry& e, const SymbolBook& s, MarketMoment& at) const {
    const Instrument& ins = e.source->instrument();
    const std::int64_t volume = s.buy.volume + s.sell.volume;
    if (volume == 0) return;
    // A volume unit of the contract is 10^-(8 + decimals) currency units.
    const Decimal c = decimal_of(ins.contract_size);
    const Exact volume_fine = exact_scaled(c.units * volume, kFineDigits - kMaxPriceDigits - c.decimals);
    const Exact value_fine = point_volume_contract(ins, s.buy.weighted + s.sell.weighted);
    const SymbolCalcMode mode = calc_mode(ins);
    Exact fine;
    switch (mode) {
        case SymbolCalcMode::Forex: fine = volume_fine; break;
        case SymbolCalcMode::ForexNoLeverage: fine = times(volume_fine, leverage_); break;
        case SymbolCalcMode::Cfd: fine = times(value_fine, leverage_); break;
        case SymbolCalcMode::CfdLeverage: fine = value_fine; break;
    }
    const bool forex = mode == SymbolCalcMode::Forex || mode == SymbolCalcMode::ForexNoLeverage;
    if (ins.currency_margin == currency_) return sum.add_exact(fine);
    // A pair's own (opening) price turns its base into its quote currency.
    // (A CFD's margin is in its profit currency, so it never comes here.)
    if (forex && ins.currency_margin == ins.currency_base && ins.currency_profit == currency_)
        return sum.add_exact(mode == SymbolCalcMode::Forex ? value_fine : times(value_fine, leverage_));
    if (const auto x = at.rates().convert(fine_to_double(fine, leverage_), ins.currency_margin, currency_))
        sum.add_converted(e.name, 0, *x);
}

Funds Accounting::funds(const AccountBook& book, MarketMoment& at) const {
    // The same book at the same instant has the same funds (the quotes and
    // rates of an instant do not change).
    if (const Funds* kept = book.funds_at(at.time_ms(), at.now())) return *kept;
    Amount profit;
    Amount margin(leverage_);
    for (const auto& [index, s] : book.symbols()) {
        if (s.buy.volume == 0 && s.sell.volume == 0) continue;
        const CatalogueEntry& e = catalogue_[index];
        const Instrument& ins = e.source->instrument();
        if (const Quote q = at.quote(*e.source); q.valid) {
            if (s.buy.volume != 0)
                add_profit(profit, e, 0, profit_exact(ins, true, s.buy.volume, s.buy.weighted, q.bid_points),
                           q.bid_points, at);
            if (s.sell.volume != 0)
                add_profit(profit, e, 1, profit_exact(ins, false, s.sell.volume, s.sell.weighted, q.ask_points),
                           q.ask_points, at);
        }
        add_margin(margin, e, s, at);
    }
    Funds f;
    f.balance = book.balance();
    f.credit = money_.units(account_.credit);
    f.profit = profit.round(money_) + book.swap_total();
    f.margin = margin.round(money_);
    f.equity = f.balance + f.credit + f.profit;
    f.margin_free = f.equity - f.margin;
    f.margin_level = f.margin > 0 ? money_.to_double(f.equity) / money_.to_double(f.margin) * 100.0 : 0.0;
    book.keep_funds(at.time_ms(), at.now(), f);
    return f;
}

std::int64_t Accounting::profit(const Position& p, std::int64_t volume, std::int64_t close, MarketMoment& at) const {
    if (p.symbol == kNoSymbol) return 0;
    const CatalogueEntry& e = catalogue_[p.symbol];
    Amount sum;
    add_profit(sum, e, 0,
               profit_exact(e.source->instrument(), p.buy, volume, static_cast<Fine>(p.open) * volume, close), close,
               at);
    return sum.round(money_);
}

// An exact amount in `currency`, in the account currency and rounded.
std::int64_t Accounting::money_of(Exact fine, std::string_view currency, MarketMoment& at) const {
    Amount sum;
    if (currency == currency_) sum.add_exact(fine);
    else if (const auto x = at.rates().convert(fine_to_double(fine), currency, currency_)) sum.add_converted({}, 0, *x);
    return sum.round(money_);
}

std::int64_t Accounting::commission(std::int64_t volume, MarketMoment& at) const {
    // 2.50 x lots in fine units: 2.5 x volume x 10^-8 x 10^16.
    return -money_of({static_cast<Fine>(volume) * 250000000, 0}, "USD", at);
}

std::optional<std::int64_t> Accounting::swap(const Position& p, int nights, MarketMoment& at) const {
    if (p.symbol == kNoSymbol) return std::nullopt;
    const Instrument& ins = catalogue_[p.symbol].source->instrument();
    const Swaps s = swap_points(ins);
    // Swap points have two decimals: points x point x contract x volume x
    // nights is exact, a whole number of 10^-(2 + digits + decimals + 8)
    // currency units, which are 10^(6 - digits - decimals) fine units.
    const Fine hundredths = std::llround((p.buy ? s.long_points : s.short_points) * 100.0);
    const Decimal c = decimal_of(ins.contract_size);
    const Exact fine = exact_scaled(hundredths * c.units * p.volume * nights, 6 - ins.digits - c.decimals);
    if (ins.currency_profit != currency_ && !at.rates().convert(1.0, ins.currency_profit, currency_))
        return std::nullopt;
    return money_of(fine, ins.currency_profit, at);
}

}  // namespace qvn::terminal
