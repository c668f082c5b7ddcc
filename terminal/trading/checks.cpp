// Request checks: names, the symbol and its market, volumes, prices on the
// tick grid, stops and expirations. Each answers the refusal code of the
// first rule a request breaks, or Done.
#include <cmath>
#include <cstring>

#include "terminal/market/symbol_record.hpp"
#include "terminal/trading/executor.hpp"

namespace qvn::terminal {
namespace {

// A price above this many times the current ask cannot be reached.
constexpr double kReach = 1000.0;
// How far a price may sit from the tick grid, in ticks: the rounding of a
// decimal written as a double, never a real price difference.
constexpr double kGridTolerance = 1e-7;

// At most the texts' limit of units (a 32-unit field could hold 32, which
// no record could keep with its terminator), then zero units only.
bool well_formed_text(const char16_t (&field)[wire::kTextUnits]) {
    std::size_t n = 0;
    while (n < wire::kTextUnits && field[n] != 0) ++n;
    if (n > wire::kSymbolUnits) return false;
    for (; n < wire::kTextUnits; ++n)
        if (field[n] != 0) return false;
    return true;
}

std::int64_t next_midnight_ms(std::int64_t ms) { return (floor_div(ms, kMsPerDay) + 1) * kMsPerDay; }

std::int32_t stops_level(const Instrument& ins) {
    return ins.kind == MarketKind::Forex ? kStopsLevelForex : kStopsLevelOther;
}

}  // namespace

bool names_well_formed(const wire::TradeRequestRecord& req) {
    char16_t symbol[wire::kTextUnits], comment[wire::kTextUnits];
    std::memcpy(symbol, req.symbol, sizeof symbol);
    std::memcpy(comment, req.comment, sizeof comment);
    return well_formed_text(symbol) && well_formed_text(comment);
}

Executor::Located Executor::locate(std::u16string_view name) {
    Located at;
    at.entry = venue_.catalogue.find(name);
    if (at.entry == nullptr) {
        at.code = TradeRetcode::Invalid;
        return at;
    }
    concerned_ = at.entry;
    at.ins = &at.entry->source->instrument();
    if (!now_.open(*at.entry->source)) {
        at.code = TradeRetcode::MarketClosed;
        return at;
    }
    at.quote = now_.quote(*at.entry->source);
    if (!at.quote.valid) at.code = TradeRetcode::PriceOff;
    return at;
}

// Whole steps between the minimum and the maximum; the volume taken is the
// nearest whole number of steps.
TradeRetcode Executor::check_volume(const Instrument& ins, double volume, std::int64_t& units) const {
    if (!std::isfinite(volume) || volume <= 0 || volume < ins.volume_min - 1e-9 || volume > ins.volume_max + 1e-9)
        return TradeRetcode::InvalidVolume;
    const double steps = volume / ins.volume_step;
    if (std::fabs(steps - std::round(steps)) > 1e-6) return TradeRetcode::InvalidVolume;
    units = std::llround(steps) * volume_units(ins.volume_step);
    return TradeRetcode::Done;
}

std::optional<std::int64_t> Executor::on_grid(const Instrument& ins, double price, const Quote& q) const {
    const double tick = ins.tick_points * decimal_point(ins.digits);
    const double ticks = price / tick;
    // Bounded before rounding: NaN, infinities and absurd values go here.
    if (!std::isfinite(ticks) || ticks < 0.5 || ticks > kReach * static_cast<double>(q.ask_points) + 1) return {};
    const double whole = std::round(ticks);
    if (std::fabs(ticks - whole) > kGridTolerance) return {};
    const std::int64_t points = static_cast<std::int64_t>(whole) * ins.tick_points;
    if (static_cast<double>(points) > kReach * static_cast<double>(q.ask_points)) return {};
    return points;
}

// Non-zero stops must lie on the grid; 0 means none.
TradeRetcode Executor::grid_stops(const Instrument& ins, double sl, double tp, const Quote& q, std::int64_t& sl_points,
                                  std::int64_t& tp_points) const {
    sl_points = tp_points = 0;
    if (sl != 0) {
        const auto p = on_grid(ins, sl, q);
        if (!p) return TradeRetcode::InvalidStops;
        sl_points = *p;
    }
    if (tp != 0) {
        const auto p = on_grid(ins, tp, q);
        if (!p) return TradeRetcode::InvalidStops;
        tp_points = *p;
    }
    return TradeRetcode::Done;
}

// Stops of a buy are measured from the bid (which closes it), of a sell
// from the ask; both keep the symbol's stops level away. 0 is no stop.
TradeRetcode Executor::check_stops(const Instrument& ins, bool buy, std::int64_t ref_bid, std::int64_t ref_ask,
                                   std::int64_t sl, std::int64_t tp) const {
    const std::int64_t gap = stops_level(ins);
    const bool ok = buy ? (sl == 0 || sl <= ref_bid - gap) && (tp == 0 || tp >= ref_bid + gap)
                        : (sl == 0 || sl >= ref_ask + gap) && (tp == 0 || tp <= ref_ask - gap);
    return ok ? TradeRetcode::Done : TradeRetcode::InvalidStops;
}

// Limits lie beyond the market, stops before it, by the stops level; a buy
// stop-limit's limit is at or below its stop, a sell's at or above.
TradeRetcode Executor::check_pending_price(const Instrument& ins, std::uint32_t type, std::int64_t price,
                                           std::int64_t stoplimit, const Quote& q) const {
    const std::int64_t gap = stops_level(ins);
    bool ok = false;
    switch (static_cast<OrderType>(type)) {
        case OrderType::BuyLimit: ok = price <= q.ask_points - gap; break;
        case OrderType::SellLimit: ok = price >= q.bid_points + gap; break;
        case OrderType::BuyStop: ok = price >= q.ask_points + gap; break;
        case OrderType::SellStop: ok = price <= q.bid_points - gap; break;
        case OrderType::BuyStopLimit: ok = price >= q.ask_points + gap && stoplimit <= price; break;
        case OrderType::SellStopLimit: ok = price <= q.bid_points - gap && stoplimit >= price; break;
        default: break;
    }
    return ok ? TradeRetcode::Done : TradeRetcode::InvalidPrice;
}

TradeRetcode Executor::expiration_of(const wire::TradeRequestRecord& req, std::int64_t& out_s) const {
    const std::int64_t now = now_.time_ms();
    const std::int64_t now_s = floor_div(now, 1000);
    const std::int64_t expiration = req.expiration;
    switch (static_cast<OrderTime>(req.type_time)) {
        case OrderTime::Gtc: out_s = 0; return TradeRetcode::Done;
        case OrderTime::Day: out_s = next_midnight_ms(now) / 1000; return TradeRetcode::Done;
        case OrderTime::Specified:
            if (expiration <= now_s || expiration >= Market::process_end_ms() / 1000)
                return TradeRetcode::InvalidExpiration;
            out_s = expiration;
            return TradeRetcode::Done;
        case OrderTime::SpecifiedDay: {
            if (expiration <= 0 || expiration >= Market::process_end_ms() / 1000)
                return TradeRetcode::InvalidExpiration;
            const std::int64_t end = next_midnight_ms(expiration * 1000) / 1000;
            if (end <= now_s) return TradeRetcode::InvalidExpiration;
            out_s = end;
            return TradeRetcode::Done;
        }
    }
    return TradeRetcode::InvalidExpiration;
}

}  // namespace qvn::terminal
