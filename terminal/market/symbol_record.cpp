#include "terminal/market/symbol_record.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "protocol/text.hpp"
#include "terminal/market/book.hpp"

namespace qvn::terminal {
namespace {

using protocol::put_field;

// Writes narrow ASCII text (table currencies) into a wide field.
void put_ascii(void* field, std::size_t field_bytes, std::string_view text) {
    std::array<char16_t, 64> wide{};
    const std::size_t n = std::min(text.size(), wide.size());
    for (std::size_t i = 0; i < n; ++i) wide[i] = static_cast<char16_t>(text[i]);
    put_field(field, field_bytes, std::u16string_view(wide.data(), n));
}

// Policy rates in percent, for swaps: a long position earns the base
// currency's rate and pays the quote currency's.
double policy_rate(std::string_view currency) noexcept {
    struct Rate {
        std::string_view currency;
        double percent;
    };
    static constexpr std::array kRates = {
        Rate{"USD", 5.25}, Rate{"EUR", 4.00}, Rate{"GBP", 5.25}, Rate{"JPY", -0.10}, Rate{"CHF", 1.50},
        Rate{"AUD", 4.35}, Rate{"CAD", 5.00}, Rate{"NZD", 5.50},
    };
    for (const Rate& r : kRates)
        if (r.currency == currency) return r.percent;
    return 0.0;
}

double round2(double x) noexcept { return std::round(x * 100.0) / 100.0; }

}  // namespace

TickValue tick_value(const Instrument& ins, std::string_view account_currency, const Rates& rates) {
    const double tick_size = ins.tick_points * decimal_point(ins.digits);
    const double per_lot = tick_size * ins.contract_size;  // in the profit currency
    TickValue v;
    const auto profit = rates.factor(ins.currency_profit, account_currency, RateSide::Bid);
    const auto loss = rates.factor(ins.currency_profit, account_currency, RateSide::Ask);
    if (profit) v.profit = per_lot * *profit;
    if (loss) v.loss = per_lot * *loss;
    return v;
}

Swaps swap_points(const Instrument& ins) noexcept {
    // Crypto has swaps disabled (swap mode DISABLED): no rate to report or charge.
    if (ins.kind == MarketKind::Crypto) return {0.0, 0.0};
    // A yearly rate on the position's value at the reference price, per day
    // of a 360-day year, in points; the broker keeps a markup either way.
    const double points_per_unit_rate = ins.reference_price / decimal_point(ins.digits) / 100.0 / 360.0;
    double long_rate = 0, short_rate = 0;
    if (ins.kind == MarketKind::Forex) {
        const double diff = policy_rate(ins.currency_base) - policy_rate(ins.currency_profit);
        long_rate = diff - 1.0;
        short_rate = -diff - 1.0;
    } else {
        const double financing = policy_rate(ins.currency_profit);
        long_rate = -(financing + 2.5);
        short_rate = financing - 2.5;
    }
    return {round2(long_rate * points_per_unit_rate), round2(short_rate * points_per_unit_rate)};
}

void fill_symbol_record(wire::SymbolInfoRecord& r, const CatalogueEntry& e, const DaySummary& q, bool selected,
                        TickValue value) {
    fill_source_record(r, e.source->instrument(), q, value);
    put_entry_fields(r, e, selected);
}

void put_entry_fields(wire::SymbolInfoRecord& r, const CatalogueEntry& e, bool selected) noexcept {
    r.custom = e.custom ? 1 : 0;
    r.select = selected ? 1 : 0;
    r.visible = selected ? 1 : 0;
    put_field(r.description, sizeof r.description, e.description);
    put_field(r.path, sizeof r.path, e.path);
    put_field(r.name, sizeof r.name, e.name);
}

void fill_source_record(wire::SymbolInfoRecord& r, const Instrument& ins, const DaySummary& q, TickValue value) {
    std::memset(&r, 0, sizeof r);
    const bool deals = ins.has_deals();
    const double point = decimal_point(ins.digits);

    r.chart_mode = static_cast<std::uint32_t>(deals ? SymbolChartMode::Last : SymbolChartMode::Bid);
    r.session_deals = q.deals;
    r.session_buy_orders = q.buys;
    r.session_sell_orders = q.sells;
    r.volume = q.last_volume;
    r.volumehigh = q.volume_high;
    r.volumelow = q.volume_low;
    r.time = q.latest.time;
    r.digits = static_cast<std::uint32_t>(ins.digits);
    r.spread = q.quoted ? static_cast<std::int32_t>(std::llround((q.latest.ask - q.latest.bid) / point)) : 0;
    r.spread_float = 1;
    r.ticks_bookdepth = static_cast<std::uint32_t>(kBookLevels);
    r.trade_calc_mode = static_cast<std::uint32_t>(calc_mode(ins));
    r.trade_mode = static_cast<std::uint32_t>(SymbolTradeMode::Full);
    r.start_time = 0;
    r.expiration_time = 0;
    r.trade_stops_level = ins.kind == MarketKind::Forex ? kStopsLevelForex : kStopsLevelOther;
    r.trade_freeze_level = 0;
    r.trade_exemode = static_cast<std::uint32_t>(deals ? SymbolTradeExecution::Market : SymbolTradeExecution::Instant);
    r.swap_mode = static_cast<std::uint32_t>(ins.kind == MarketKind::Crypto ? SymbolSwapMode::Disabled
                                                                           : SymbolSwapMode::Points);
    // Triple swap on Wednesday covers the weekend of spot settlement; index
    // CFDs charge it on Friday.
    r.swap_rollover3days =
        static_cast<std::uint32_t>(ins.kind == MarketKind::Index ? DayOfWeek::Friday : DayOfWeek::Wednesday);
    r.margin_hedged_use_leg = 0;
    r.expiration_mode = static_cast<std::int32_t>(flag_bits({SymbolExpirationFlags::Gtc, SymbolExpirationFlags::Day,
                                                             SymbolExpirationFlags::Specified,
                                                             SymbolExpirationFlags::SpecifiedDay}));
    r.filling_mode = static_cast<std::int32_t>(flag_bits({SymbolFillingFlags::Fok, SymbolFillingFlags::Ioc}));
    r.order_mode = static_cast<std::int32_t>(
        flag_bits({SymbolOrderFlags::Market, SymbolOrderFlags::Limit, SymbolOrderFlags::Stop,
                   SymbolOrderFlags::StopLimit, SymbolOrderFlags::Sl, SymbolOrderFlags::Tp,
                   SymbolOrderFlags::CloseBy}));
    r.order_gtc_mode = static_cast<std::uint32_t>(SymbolOrderGTCMode::Gtc);
    r.option_mode = static_cast<std::uint32_t>(SymbolOptionMode::European);
    r.option_right = static_cast<std::uint32_t>(SymbolOptionRight::Call);

    r.bid = q.latest.bid;
    r.bidhigh = q.bid_high;
    r.bidlow = q.bid_low;
    r.ask = q.latest.ask;
    r.askhigh = q.ask_high;
    r.asklow = q.ask_low;
    r.last = q.latest.last;
    r.lasthigh = q.last_high;
    r.lastlow = q.last_low;
    r.volume_real = q.last_volume_real;
    r.volumehigh_real = q.volume_high_real;
    r.volumelow_real = q.volume_low_real;
    r.option_strike = 0;
    r.point = point;
    r.trade_tick_value = value.profit;
    r.trade_tick_value_profit = value.profit;
    r.trade_tick_value_loss = value.loss;
    r.trade_tick_size = ins.tick_points * point;
    r.trade_contract_size = ins.contract_size;
    r.volume_min = ins.volume_min;
    r.volume_max = ins.volume_max;
    r.volume_step = ins.volume_step;
    r.volume_limit = ins.volume_max * 10.0;
    const Swaps swaps = swap_points(ins);
    r.swap_long = swaps.long_points;
    r.swap_short = swaps.short_points;
    // Margins follow from the calculation mode (margin_initial 0); a hedged
    // pair of positions is charged half a contract per lot.
    r.margin_initial = 0;
    r.margin_maintenance = 0;
    r.margin_hedged = ins.contract_size / 2.0;
    r.session_volume = q.volume_real;
    r.session_turnover = q.turnover * ins.contract_size;
    r.session_buy_orders_volume = q.buy_volume_real;
    r.session_sell_orders_volume = q.sell_volume_real;
    r.session_open = q.open;
    r.session_close = q.previous_close;
    r.session_aw = q.volume_real > 0 ? q.turnover / q.volume_real : 0.0;
    r.price_change =
        q.quoted && q.previous_close > 0 ? (q.latest.bid - q.previous_close) / q.previous_close * 100.0 : 0.0;

    const std::string_view category = ins.path.substr(0, ins.path.find('\\'));
    put_ascii(r.category, sizeof r.category, category);
    put_ascii(r.currency_base, sizeof r.currency_base, ins.currency_base);
    put_ascii(r.currency_profit, sizeof r.currency_profit, ins.currency_profit);
    put_ascii(r.currency_margin, sizeof r.currency_margin, ins.currency_margin);
}

}  // namespace qvn::terminal
