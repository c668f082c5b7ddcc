#include "terminal/trading/engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/text.hpp"
#include "terminal/market/symbol_record.hpp"
#include "terminal/market/ticks.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;
using protocol::put_field;

// The longest stretch of simulated time walked in one go; a Terminal that
// comes back after a longer pause applies only the most recent part.
constexpr std::int64_t kMaxWalkMs = 31 * kMsPerDay;
// Events (fills, stops, expirations, rollovers) applied in one walk at most.
constexpr int kMaxEvents = 100000;
constexpr std::size_t kTickChunk = 1024;

double round_to(double x, std::uint32_t digits) {
    const double scale = decimal_scale(static_cast<int>(std::min<std::uint32_t>(digits, 8)));
    return std::round(x * scale) / scale;
}

double point_of(const Instrument& ins) { return decimal_point(ins.digits); }

std::int32_t stops_level(const Instrument& ins) {
    return ins.kind == MarketKind::Forex ? kStopsLevelForex : kStopsLevelOther;
}

std::u16string text_of(const char16_t* field, std::size_t units) {
    std::size_t n = 0;
    while (n < units && field[n] != 0) ++n;
    return std::u16string(field, n);
}

template <class Record>
std::u16string symbol_of(const Record& r) {
    char16_t units[wire::kTextUnits];
    std::memcpy(units, r.symbol, sizeof units);
    return text_of(units, wire::kTextUnits);
}

template <class Record>
std::u16string comment_of(const Record& r) {
    char16_t units[wire::kTextUnits];
    std::memcpy(units, r.comment, sizeof units);
    return text_of(units, wire::kTextUnits);
}

bool is_buy_type(std::uint32_t type) {
    const auto b = is_buy(type);
    return b && *b;
}

bool is_pending_type(std::uint32_t type) {
    const auto t = static_cast<OrderType>(type);
    return t == OrderType::BuyLimit || t == OrderType::SellLimit || t == OrderType::BuyStop ||
           t == OrderType::SellStop || t == OrderType::BuyStopLimit || t == OrderType::SellStopLimit;
}

std::int64_t next_midnight_ms(std::int64_t ms) { return (floor_div(ms, kMsPerDay) + 1) * kMsPerDay; }

struct Quote {
    bool valid = false;
    double bid = 0;
    double ask = 0;
};

}  // namespace

// ---- One transaction ------------------------------------------------------

// Applies trades to a draft of one account. Everything a request or the
// price process does goes through here, so order_check validates exactly
// what order_send would execute.
class Executor {
public:
    Executor(Trading& t, const Account& account, std::string_view currency, Draft& draft, std::int64_t now_ms,
             Rates rates)
        : t_(t), account_(account), currency_(currency), d_(draft), now_ms_(now_ms),
          rates_(std::move(rates)) {}

    void set_time(std::int64_t ms) { now_ms_ = ms; }
    std::int64_t now_ms() const { return now_ms_; }
    const Rates& rates() const { return rates_; }

    const CatalogueEntry* entry(std::u16string_view name) const { return t_.catalogue_.find(name); }

    Quote quote(const CatalogueEntry& e) const {
        const DaySummary s = t_.quotes_.summary(*e.model, now_ms_);
        Quote q;
        q.valid = s.quoted;
        q.bid = s.latest.bid;
        q.ask = s.latest.ask;
        return q;
    }

    bool market_open(const CatalogueEntry& e) const { return e.model->open_minute(floor_div(now_ms_, kMsPerMinute)); }

    AccountTerms terms() const { return {currency_, account_.leverage}; }
    bool netting() const { return account_.margin_mode != AccountMarginMode::RetailHedging; }
    std::uint32_t digits() const { return account_.currency_digits; }

    double money(double x) const { return round_to(x, digits()); }

    std::optional<double> position_profit(const wire::TradePositionRecord& p, double close, double volume) const {
        const CatalogueEntry* e = entry(symbol_of(p));
        if (e == nullptr) return std::nullopt;
        const double open = p.price_open;
        return profit(e->model->instrument(), p.type == static_cast<std::uint32_t>(PositionType::Buy), volume, open,
                      close, terms(), rates_);
    }

    // The price a position closes at now: the bid for a buy, the ask for a sell.
    std::optional<double> close_price(const wire::TradePositionRecord& p) const {
        const CatalogueEntry* e = entry(symbol_of(p));
        if (e == nullptr) return std::nullopt;
        const Quote q = quote(*e);
        if (!q.valid) return std::nullopt;
        return p.type == static_cast<std::uint32_t>(PositionType::Buy) ? q.bid : q.ask;
    }

    Figures figures() const {
        Figures f;
        f.balance = d_.balance;
        f.credit = account_.credit;
        for (const wire::TradePositionRecord& p : d_.positions) {
            const double volume = p.volume;
            const double swap = p.swap;
            if (const auto close = close_price(p))
                if (const auto pr = position_profit(p, *close, volume)) f.profit += money(*pr);
            f.profit += swap;
            const CatalogueEntry* e = entry(symbol_of(p));
            if (e == nullptr) continue;
            const Instrument& ins = e->model->instrument();
            if (const auto m = margin(ins, calc_mode(ins), volume, p.price_open, terms(), rates_)) f.margin += *m;
        }
        f.profit = money(f.profit);
        f.margin = money(f.margin);
        f.equity = money(f.balance + f.credit + f.profit);
        f.margin_free = money(f.equity - f.margin);
        f.margin_level = f.margin > 0 ? f.equity / f.margin * 100.0 : 0.0;
        return f;
    }

    // ---- records ----

    wire::TradeOrderRecord make_order(std::uint64_t ticket, const CatalogueEntry& e, std::uint32_t type,
                                      double volume, double price, OrderReason reason, std::uint64_t magic,
                                      std::u16string_view comment) const {
        wire::TradeOrderRecord o{};
        o.ticket = ticket;
        o.time_setup = floor_div(now_ms_, 1000);
        o.time_setup_msc = now_ms_;
        o.type = type;
        o.type_time = static_cast<std::uint32_t>(OrderTime::Gtc);
        o.type_filling = static_cast<std::uint32_t>(OrderFilling::Fok);
        o.state = static_cast<std::uint32_t>(OrderState::Started);
        o.magic = magic;
        o.reason = static_cast<std::uint32_t>(reason);
        o.volume_initial = volume;
        o.volume_current = volume;
        o.price_open = price;
        o.price_current = price;
        put_field(o.symbol, sizeof o.symbol, e.name);
        put_field(o.comment, sizeof o.comment, comment);
        return o;
    }

    void finish_order(wire::TradeOrderRecord o, OrderState state, std::uint64_t position, std::uint64_t position_by,
                      double price_current) {
        o.time_done = floor_div(now_ms_, 1000);
        o.time_done_msc = now_ms_;
        o.state = static_cast<std::uint32_t>(state);
        if (state == OrderState::Filled) o.volume_current = 0.0;
        o.position_id = position;
        o.position_by_id = position_by;
        o.price_current = price_current;
        d_.new_history_orders.push_back(o);
        d_.dirty = true;
    }

    std::uint64_t add_deal(const CatalogueEntry& e, bool buy, DealEntry entry_kind, double volume, double price,
                           std::uint64_t order, std::uint64_t position, DealReason reason, std::uint64_t magic,
                           std::u16string_view comment, double profit_amount, double swap) {
        wire::TradeDealRecord r{};
        r.ticket = d_.ticket();
        r.order = order;
        r.time = floor_div(now_ms_, 1000);
        r.time_msc = now_ms_;
        r.type = static_cast<std::uint32_t>(buy ? DealType::Buy : DealType::Sell);
        r.entry = static_cast<std::uint32_t>(entry_kind);
        r.magic = magic;
        r.position_id = position;
        r.reason = static_cast<std::uint32_t>(reason);
        r.volume = volume;
        r.price = price;
        r.commission = money(-kCommissionPerLot * volume);
        r.swap = money(swap);
        r.profit = money(profit_amount);
        r.fee = 0.0;
        put_field(r.symbol, sizeof r.symbol, e.name);
        put_field(r.comment, sizeof r.comment, comment);
        d_.balance = money(d_.balance + r.profit + r.commission + r.swap);
        d_.new_deals.push_back(r);
        return r.ticket;
    }

    std::uint64_t add_balance_deal(double amount, std::u16string_view comment) {
        wire::TradeDealRecord r{};
        r.ticket = d_.ticket();
        r.time = floor_div(now_ms_, 1000);
        r.time_msc = now_ms_;
        r.type = static_cast<std::uint32_t>(DealType::Balance);
        r.entry = static_cast<std::uint32_t>(DealEntry::In);
        r.reason = static_cast<std::uint32_t>(DealReason::Client);
        r.profit = money(amount);
        put_field(r.comment, sizeof r.comment, comment);
        d_.balance = money(d_.balance + r.profit);
        d_.new_deals.push_back(r);
        return r.ticket;
    }

    // ---- position changes ----

    std::size_t find_position(std::uint64_t ticket) const {
        for (std::size_t i = 0; i < d_.positions.size(); ++i)
            if (d_.positions[i].ticket == ticket) return i;
        return npos;
    }
    std::size_t find_order(std::uint64_t ticket) const {
        for (std::size_t i = 0; i < d_.orders.size(); ++i)
            if (d_.orders[i].ticket == ticket) return i;
        return npos;
    }
    std::size_t netting_position(std::u16string_view symbol) const {
        for (std::size_t i = 0; i < d_.positions.size(); ++i)
            if (symbol_of(d_.positions[i]) == symbol) return i;
        return npos;
    }

    // Closes `volume` of position i at `price` with a deal; the position is
    // removed when nothing is left. Its swap goes with the closed share.
    std::uint64_t close_part(std::size_t i, double volume, double price, std::uint64_t order, DealReason reason,
                             DealEntry entry_kind, std::u16string_view comment, double profit_price) {
        wire::TradePositionRecord p = d_.positions[i];
        const CatalogueEntry* e = entry(symbol_of(p));
        const double pos_volume = p.volume;
        const double share = volume / pos_volume;
        const double swap = money(p.swap * share);
        const double pr = position_profit(p, profit_price, volume).value_or(0.0);
        const bool pos_buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
        const std::uint64_t deal = add_deal(*e, !pos_buy, entry_kind, volume, price, order, p.identifier, reason,
                                            p.magic, comment, pr, swap);
        const double left = round_to(pos_volume - volume, 8);
        if (left <= 0) {
            d_.positions.erase(d_.positions.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            p.volume = left;
            p.swap = money(p.swap - swap);
            p.time_update = floor_div(now_ms_, 1000);
            p.time_update_msc = now_ms_;
            d_.positions[i] = p;
            d_.dirty = true;
        }
        d_.dirty = true;
        return deal;
    }

    // Fills an order: opens a position, adds to one, or (netting) reduces or
    // reverses the symbol's position. Returns the deal ticket.
    std::uint64_t fill(const CatalogueEntry& e, bool buy, double volume, double price, const wire::TradeOrderRecord& o,
                       DealReason reason, double sl, double tp, std::uint64_t close_position) {
        const std::u16string comment = comment_of(o);
        const std::uint64_t magic = o.magic;
        if (close_position != 0) {
            const std::size_t i = find_position(close_position);
            const std::uint64_t deal =
                close_part(i, volume, price, o.ticket, reason, DealEntry::Out, comment, price);
            finish_order(o, OrderState::Filled, close_position, 0, price);
            return deal;
        }
        if (netting()) {
            const std::size_t i = netting_position(e.name);
            if (i != npos) {
                wire::TradePositionRecord p = d_.positions[i];
                const bool pos_buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
                const double pos_volume = p.volume;
                const std::uint64_t id = p.identifier;
                if (pos_buy == buy) {
                    const double open = p.price_open;
                    const double total = round_to(pos_volume + volume, 8);
                    p.price_open = round_to((open * pos_volume + price * volume) / total, e.model->instrument().digits);
                    p.volume = total;
                    p.time_update = floor_div(now_ms_, 1000);
                    p.time_update_msc = now_ms_;
                    if (sl != 0) p.sl = sl;
                    if (tp != 0) p.tp = tp;
                    d_.positions[i] = p;
                    d_.dirty = true;
                    const std::uint64_t deal = add_deal(e, buy, DealEntry::In, volume, price, o.ticket, id, reason,
                                                        magic, comment, 0.0, 0.0);
                    finish_order(o, OrderState::Filled, id, 0, price);
                    return deal;
                }
                if (volume <= pos_volume + 1e-9) {
                    const std::uint64_t deal =
                        close_part(i, std::min(volume, pos_volume), price, o.ticket, reason, DealEntry::Out, comment,
                                   price);
                    finish_order(o, OrderState::Filled, id, 0, price);
                    return deal;
                }
                // Reversal: the deal closes the position and opens the rest
                // the other way, under the same identifier.
                const double swap = p.swap;
                const double pr = position_profit(p, price, pos_volume).value_or(0.0);
                const std::uint64_t deal = add_deal(e, buy, DealEntry::Inout, volume, price, o.ticket, id, reason,
                                                    magic, comment, pr, swap);
                p.type = static_cast<std::uint32_t>(buy ? PositionType::Buy : PositionType::Sell);
                p.volume = round_to(volume - pos_volume, 8);
                p.price_open = price;
                p.swap = 0.0;
                p.sl = sl;
                p.tp = tp;
                p.time_update = floor_div(now_ms_, 1000);
                p.time_update_msc = now_ms_;
                d_.positions[i] = p;
                d_.dirty = true;
                finish_order(o, OrderState::Filled, id, 0, price);
                return deal;
            }
        }
        wire::TradePositionRecord p{};
        p.ticket = o.ticket;
        p.identifier = o.ticket;
        p.time = floor_div(now_ms_, 1000);
        p.time_msc = now_ms_;
        p.time_update = p.time;
        p.time_update_msc = now_ms_;
        p.type = static_cast<std::uint32_t>(buy ? PositionType::Buy : PositionType::Sell);
        p.magic = magic;
        p.reason = static_cast<std::uint32_t>(PositionReason::Expert);
        p.volume = volume;
        p.price_open = price;
        p.sl = sl;
        p.tp = tp;
        p.price_current = price;
        put_field(p.symbol, sizeof p.symbol, e.name);
        put_field(p.comment, sizeof p.comment, comment);
        d_.positions.push_back(p);
        const std::uint64_t deal =
            add_deal(e, buy, DealEntry::In, volume, price, o.ticket, p.identifier, reason, magic, comment, 0.0, 0.0);
        finish_order(o, OrderState::Filled, p.identifier, 0, price);
        return deal;
    }

    // ---- requests ----

    struct Outcome {
        TradeRetcode code = TradeRetcode::Done;
        std::uint64_t deal = 0;
        std::uint64_t order = 0;
        double volume = 0;
        double price = 0;
        Quote quote;
    };

    Outcome execute(const wire::TradeRequestRecord& req);

    // ---- the price process ----

    void walk(std::int64_t from_ms, std::int64_t to_ms);
    void stop_out();

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    TradeRetcode check_volume(const Instrument& ins, double volume) const;
    TradeRetcode check_stops(const Instrument& ins, bool buy, double ref_bid, double ref_ask, double sl,
                             double tp) const;
    TradeRetcode expiration_of(const wire::TradeRequestRecord& req, std::int64_t& out_s) const;
    Outcome deal(const wire::TradeRequestRecord& req);
    Outcome pending(const wire::TradeRequestRecord& req);
    Outcome sltp(const wire::TradeRequestRecord& req);
    Outcome modify(const wire::TradeRequestRecord& req);
    Outcome remove(const wire::TradeRequestRecord& req);
    Outcome close_by(const wire::TradeRequestRecord& req);
    TradeRetcode check_pending_price(const Instrument& ins, std::uint32_t type, double price, double stoplimit,
                                     const Quote& q) const;

    // Whether order o (pending) triggers at a tick.
    static bool triggers(const wire::TradeOrderRecord& o, double bid, double ask);
    void trigger_order(std::size_t i, double bid, double ask);
    void charge_swaps(std::int64_t boundary_ms);

    Trading& t_;
    const Account& account_;
    std::string_view currency_;
    Draft& d_;
    std::int64_t now_ms_;
    Rates rates_;
};

TradeRetcode Executor::check_volume(const Instrument& ins, double volume) const {
    if (!std::isfinite(volume) || volume <= 0 || volume < ins.volume_min - 1e-9 || volume > ins.volume_max + 1e-9)
        return TradeRetcode::InvalidVolume;
    const double steps = volume / ins.volume_step;
    if (std::fabs(steps - std::round(steps)) > 1e-6) return TradeRetcode::InvalidVolume;
    return TradeRetcode::Done;
}

// Stops of a buy are checked against the bid (which closes it), of a sell
// against the ask; both must keep the symbol's stops level away.
TradeRetcode Executor::check_stops(const Instrument& ins, bool buy, double ref_bid, double ref_ask, double sl,
                                   double tp) const {
    if (!std::isfinite(sl) || !std::isfinite(tp) || sl < 0 || tp < 0) return TradeRetcode::InvalidStops;
    const double gap = stops_level(ins) * point_of(ins) - 1e-12;
    if (buy) {
        if (sl != 0 && sl > ref_bid - gap) return TradeRetcode::InvalidStops;
        if (tp != 0 && tp < ref_bid + gap) return TradeRetcode::InvalidStops;
    } else {
        if (sl != 0 && sl < ref_ask + gap) return TradeRetcode::InvalidStops;
        if (tp != 0 && tp > ref_ask - gap) return TradeRetcode::InvalidStops;
    }
    return TradeRetcode::Done;
}

TradeRetcode Executor::expiration_of(const wire::TradeRequestRecord& req, std::int64_t& out_s) const {
    const std::int64_t now_s = floor_div(now_ms_, 1000);
    const std::int64_t expiration = req.expiration;
    switch (static_cast<OrderTime>(req.type_time)) {
        case OrderTime::Gtc: out_s = 0; return TradeRetcode::Done;
        case OrderTime::Day: out_s = next_midnight_ms(now_ms_) / 1000; return TradeRetcode::Done;
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

Executor::Outcome Executor::execute(const wire::TradeRequestRecord& req) {
    switch (static_cast<TradeAction>(req.action)) {
        case TradeAction::Deal: return deal(req);
        case TradeAction::Pending: return pending(req);
        case TradeAction::Sltp: return sltp(req);
        case TradeAction::Modify: return modify(req);
        case TradeAction::Remove: return remove(req);
        case TradeAction::CloseBy: return close_by(req);
    }
    Outcome out;
    out.code = TradeRetcode::Invalid;
    return out;
}

Executor::Outcome Executor::deal(const wire::TradeRequestRecord& req) {
    Outcome out;
    char16_t units[wire::kTextUnits];
    std::memcpy(units, req.symbol, sizeof units);
    std::u16string name = text_of(units, wire::kTextUnits);
    const std::uint64_t position = req.position;
    std::size_t pi = npos;
    if (position != 0) {
        pi = find_position(position);
        if (pi == npos) return out.code = TradeRetcode::PositionClosed, out;
        // Closing by ticket: the symbol may be left out.
        const std::u16string pos_symbol = symbol_of(d_.positions[pi]);
        if (name.empty()) name = pos_symbol;
        if (name != pos_symbol) return out.code = TradeRetcode::Invalid, out;
    }
    const CatalogueEntry* e = entry(name);
    if (e == nullptr) return out.code = TradeRetcode::Invalid, out;
    const Instrument& ins = e->model->instrument();
    const auto type = static_cast<OrderType>(req.type);
    if (type != OrderType::Buy && type != OrderType::Sell) return out.code = TradeRetcode::Invalid, out;
    const bool buy = type == OrderType::Buy;
    if (req.type_filling > static_cast<std::uint32_t>(OrderFilling::Return)) return out.code = TradeRetcode::InvalidFill, out;
    const double volume = req.volume;
    if (const auto c = check_volume(ins, volume); c != TradeRetcode::Done) return out.code = c, out;
    if (!market_open(*e)) return out.code = TradeRetcode::MarketClosed, out;
    const Quote q = quote(*e);
    out.quote = q;
    if (!q.valid) return out.code = TradeRetcode::PriceOff, out;
    const double fill_price = buy ? q.ask : q.bid;
    const double asked = req.price;
    const std::uint64_t deviation = req.deviation;
    if (asked != 0) {
        if (!std::isfinite(asked) || asked < 0) return out.code = TradeRetcode::InvalidPrice, out;
        if (std::fabs(asked - fill_price) > static_cast<double>(deviation) * point_of(ins) + 1e-9)
            return out.code = TradeRetcode::PriceChanged, out;
    }
    if (pi != npos) {
        const wire::TradePositionRecord p = d_.positions[pi];
        const bool pos_buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
        if (pos_buy == buy) return out.code = TradeRetcode::Invalid, out;
        const double pos_volume = p.volume;
        if (volume > pos_volume + 1e-9) return out.code = TradeRetcode::InvalidCloseVolume, out;
    } else {
        if (const auto c = check_stops(ins, buy, q.bid, q.ask, req.sl, req.tp); c != TradeRetcode::Done)
            return out.code = c, out;
    }
    const Figures before = figures();
    char16_t comment_units[wire::kTextUnits];
    std::memcpy(comment_units, req.comment, sizeof comment_units);
    wire::TradeOrderRecord o = make_order(d_.ticket(), *e, req.type, volume, fill_price, OrderReason::Expert,
                                          req.magic, text_of(comment_units, wire::kTextUnits));
    o.type_filling = req.type_filling;
    o.sl = req.sl;
    o.tp = req.tp;
    out.deal = fill(*e, buy, volume, fill_price, o, DealReason::Expert, req.sl, req.tp, pi != npos ? position : 0);
    out.order = o.ticket;
    out.volume = volume;
    out.price = fill_price;
    const Figures after = figures();
    if (after.margin > before.margin + 1e-9 && after.margin_free < 0) return out.code = TradeRetcode::NoMoney, out;
    out.code = TradeRetcode::Done;
    return out;
}

TradeRetcode Executor::check_pending_price(const Instrument& ins, std::uint32_t type, double price, double stoplimit,
                                           const Quote& q) const {
    if (!std::isfinite(price) || price <= 0) return TradeRetcode::InvalidPrice;
    const double gap = stops_level(ins) * point_of(ins) - 1e-12;
    switch (static_cast<OrderType>(type)) {
        case OrderType::BuyLimit: return price <= q.ask - gap ? TradeRetcode::Done : TradeRetcode::InvalidPrice;
        case OrderType::SellLimit: return price >= q.bid + gap ? TradeRetcode::Done : TradeRetcode::InvalidPrice;
        case OrderType::BuyStop: return price >= q.ask + gap ? TradeRetcode::Done : TradeRetcode::InvalidPrice;
        case OrderType::SellStop: return price <= q.bid - gap ? TradeRetcode::Done : TradeRetcode::InvalidPrice;
        case OrderType::BuyStopLimit:
            if (price < q.ask + gap) return TradeRetcode::InvalidPrice;
            return std::isfinite(stoplimit) && stoplimit > 0 && stoplimit <= price ? TradeRetcode::Done
                                                                                  : TradeRetcode::InvalidPrice;
        case OrderType::SellStopLimit:
            if (price > q.bid - gap) return TradeRetcode::InvalidPrice;
            return std::isfinite(stoplimit) && stoplimit >= price ? TradeRetcode::Done : TradeRetcode::InvalidPrice;
        default: return TradeRetcode::Invalid;
    }
}

namespace {

// The price a pending order becomes a position at (the limit price of a
// stop-limit), which its stops are measured from.
double entry_price(std::uint32_t type, double price, double stoplimit) {
    const auto t = static_cast<OrderType>(type);
    return t == OrderType::BuyStopLimit || t == OrderType::SellStopLimit ? stoplimit : price;
}

}  // namespace

Executor::Outcome Executor::pending(const wire::TradeRequestRecord& req) {
    Outcome out;
    char16_t units[wire::kTextUnits];
    std::memcpy(units, req.symbol, sizeof units);
    const CatalogueEntry* e = entry(text_of(units, wire::kTextUnits));
    if (e == nullptr) return out.code = TradeRetcode::Invalid, out;
    const Instrument& ins = e->model->instrument();
    if (!is_pending_type(req.type)) return out.code = TradeRetcode::Invalid, out;
    if (req.type_filling > static_cast<std::uint32_t>(OrderFilling::Boc)) return out.code = TradeRetcode::InvalidFill, out;
    const double volume = req.volume;
    if (const auto c = check_volume(ins, volume); c != TradeRetcode::Done) return out.code = c, out;
    if (!market_open(*e)) return out.code = TradeRetcode::MarketClosed, out;
    const Quote q = quote(*e);
    out.quote = q;
    if (!q.valid) return out.code = TradeRetcode::PriceOff, out;
    if (const auto c = check_pending_price(ins, req.type, req.price, req.stoplimit, q); c != TradeRetcode::Done)
        return out.code = c, out;
    const double at = entry_price(req.type, req.price, req.stoplimit);
    if (const auto c = check_stops(ins, is_buy_type(req.type), at, at, req.sl, req.tp); c != TradeRetcode::Done)
        return out.code = c, out;
    std::int64_t expiration_s = 0;
    if (const auto c = expiration_of(req, expiration_s); c != TradeRetcode::Done) return out.code = c, out;
    if (d_.orders.size() >= account_.limit_orders) return out.code = TradeRetcode::LimitOrders, out;
    char16_t comment_units[wire::kTextUnits];
    std::memcpy(comment_units, req.comment, sizeof comment_units);
    wire::TradeOrderRecord o = make_order(d_.ticket(), *e, req.type, volume, req.price, OrderReason::Expert,
                                          req.magic, text_of(comment_units, wire::kTextUnits));
    o.state = static_cast<std::uint32_t>(OrderState::Placed);
    o.type_time = req.type_time;
    o.type_filling = req.type_filling;
    o.time_expiration = expiration_s;
    o.sl = req.sl;
    o.tp = req.tp;
    o.price_stoplimit = req.stoplimit;
    o.price_current = is_buy_type(req.type) ? q.ask : q.bid;
    d_.orders.push_back(o);
    out.order = o.ticket;
    out.volume = volume;
    out.price = req.price;
    out.code = TradeRetcode::Placed;
    return out;
}

Executor::Outcome Executor::sltp(const wire::TradeRequestRecord& req) {
    Outcome out;
    const std::size_t i = find_position(req.position);
    if (i == npos) return out.code = TradeRetcode::PositionClosed, out;
    wire::TradePositionRecord p = d_.positions[i];
    const CatalogueEntry* e = entry(symbol_of(p));
    if (e == nullptr) return out.code = TradeRetcode::Invalid, out;
    if (!market_open(*e)) return out.code = TradeRetcode::MarketClosed, out;
    const Quote q = quote(*e);
    out.quote = q;
    if (!q.valid) return out.code = TradeRetcode::PriceOff, out;
    const double sl = req.sl, tp = req.tp, old_sl = p.sl, old_tp = p.tp;
    if (sl == old_sl && tp == old_tp) return out.code = TradeRetcode::NoChanges, out;
    const bool buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
    if (const auto c = check_stops(e->model->instrument(), buy, q.bid, q.ask, sl, tp); c != TradeRetcode::Done)
        return out.code = c, out;
    p.sl = sl;
    p.tp = tp;
    p.time_update = floor_div(now_ms_, 1000);
    p.time_update_msc = now_ms_;
    d_.positions[i] = p;
    d_.dirty = true;
    out.code = TradeRetcode::Done;
    return out;
}

Executor::Outcome Executor::modify(const wire::TradeRequestRecord& req) {
    Outcome out;
    const std::size_t i = find_order(req.order);
    if (i == npos) return out.code = TradeRetcode::InvalidOrder, out;
    wire::TradeOrderRecord o = d_.orders[i];
    const CatalogueEntry* e = entry(symbol_of(o));
    if (e == nullptr) return out.code = TradeRetcode::Invalid, out;
    const Instrument& ins = e->model->instrument();
    if (!market_open(*e)) return out.code = TradeRetcode::MarketClosed, out;
    const Quote q = quote(*e);
    out.quote = q;
    if (!q.valid) return out.code = TradeRetcode::PriceOff, out;
    const double price = req.price, stoplimit = req.stoplimit, sl = req.sl, tp = req.tp;
    const std::int64_t old_exp = o.time_expiration;
    std::int64_t expiration_s = 0;
    if (const auto c = expiration_of(req, expiration_s); c != TradeRetcode::Done) return out.code = c, out;
    const double old_price = o.price_open, old_stoplimit = o.price_stoplimit, old_sl = o.sl, old_tp = o.tp;
    const std::uint32_t old_time = o.type_time;
    if (price == old_price && stoplimit == old_stoplimit && sl == old_sl && tp == old_tp &&
        req.type_time == old_time && expiration_s == old_exp)
        return out.code = TradeRetcode::NoChanges, out;
    if (const auto c = check_pending_price(ins, o.type, price, stoplimit, q); c != TradeRetcode::Done)
        return out.code = c, out;
    const double at = entry_price(o.type, price, stoplimit);
    if (const auto c = check_stops(ins, is_buy_type(o.type), at, at, sl, tp); c != TradeRetcode::Done)
        return out.code = c, out;
    o.price_open = price;
    o.price_stoplimit = stoplimit;
    o.sl = sl;
    o.tp = tp;
    o.type_time = req.type_time;
    o.time_expiration = expiration_s;
    d_.orders[i] = o;
    d_.dirty = true;
    out.order = o.ticket;
    out.volume = o.volume_current;
    out.price = price;
    out.code = TradeRetcode::Done;
    return out;
}

Executor::Outcome Executor::remove(const wire::TradeRequestRecord& req) {
    Outcome out;
    const std::size_t i = find_order(req.order);
    if (i == npos) return out.code = TradeRetcode::InvalidOrder, out;
    const wire::TradeOrderRecord o = d_.orders[i];
    const CatalogueEntry* e = entry(symbol_of(o));
    if (e != nullptr) {
        const Quote q = quote(*e);
        out.quote = q;
    }
    d_.orders.erase(d_.orders.begin() + static_cast<std::ptrdiff_t>(i));
    const double current = o.price_current;
    finish_order(o, OrderState::Canceled, 0, 0, current);
    out.order = o.ticket;
    out.code = TradeRetcode::Done;
    return out;
}

Executor::Outcome Executor::close_by(const wire::TradeRequestRecord& req) {
    Outcome out;
    if (netting()) return out.code = TradeRetcode::HedgeProhibited, out;
    const std::size_t i = find_position(req.position);
    const std::size_t j = find_position(req.position_by);
    if (i == npos || j == npos || i == j) return out.code = TradeRetcode::PositionClosed, out;
    const wire::TradePositionRecord a = d_.positions[i];
    const wire::TradePositionRecord b = d_.positions[j];
    const std::u16string symbol = symbol_of(a);
    if (symbol != symbol_of(b) || a.type == b.type) return out.code = TradeRetcode::Invalid, out;
    const CatalogueEntry* e = entry(symbol);
    if (e == nullptr) return out.code = TradeRetcode::Invalid, out;
    if (!market_open(*e)) return out.code = TradeRetcode::MarketClosed, out;
    out.quote = quote(*e);
    const double va = a.volume, vb = b.volume;
    const double volume = std::min(va, vb);
    const std::uint64_t a_ticket = a.ticket, b_ticket = b.ticket;
    // Both close at the opening price of the opposite position: the pair's
    // profit is the spread between their opening prices.
    const double a_close = b.price_open;
    const double b_close = a.price_open;
    wire::TradeOrderRecord o = make_order(d_.ticket(), *e, static_cast<std::uint32_t>(OrderType::CloseBy), volume,
                                          a_close, OrderReason::Expert, a.magic, u"");
    const std::uint64_t deal = close_part(i, volume, a_close, o.ticket, DealReason::Expert, DealEntry::OutBy, u"",
                                          a_close);
    const std::size_t jb = find_position(b_ticket);
    close_part(jb, volume, b_close, o.ticket, DealReason::Expert, DealEntry::OutBy, u"", b_close);
    finish_order(o, OrderState::Filled, a_ticket, b_ticket, a_close);
    out.deal = deal;
    out.order = o.ticket;
    out.volume = volume;
    out.price = a_close;
    out.code = TradeRetcode::Done;
    return out;
}

// ---- the price process ----------------------------------------------------

bool Executor::triggers(const wire::TradeOrderRecord& o, double bid, double ask) {
    const double price = o.price_open;
    switch (static_cast<OrderType>(o.type)) {
        case OrderType::BuyLimit: return ask <= price;
        case OrderType::SellLimit: return bid >= price;
        case OrderType::BuyStop:
        case OrderType::BuyStopLimit: return ask >= price;
        case OrderType::SellStop:
        case OrderType::SellStopLimit: return bid <= price;
        default: return false;
    }
}

void Executor::trigger_order(std::size_t i, double bid, double ask) {
    wire::TradeOrderRecord o = d_.orders[i];
    d_.orders.erase(d_.orders.begin() + static_cast<std::ptrdiff_t>(i));
    d_.dirty = true;
    const auto type = static_cast<OrderType>(o.type);
    const CatalogueEntry* e = entry(symbol_of(o));
    if (e == nullptr) return;
    if (type == OrderType::BuyStopLimit || type == OrderType::SellStopLimit) {
        // The stop reached: a limit order at the stop-limit price takes its place.
        const double limit = o.price_stoplimit;
        finish_order(o, OrderState::Filled, 0, 0, type == OrderType::BuyStopLimit ? ask : bid);
        wire::TradeOrderRecord l = o;
        l.ticket = d_.ticket();
        l.type = static_cast<std::uint32_t>(type == OrderType::BuyStopLimit ? OrderType::BuyLimit
                                                                            : OrderType::SellLimit);
        l.price_open = limit;
        l.price_stoplimit = 0.0;
        l.time_setup = floor_div(now_ms_, 1000);
        l.time_setup_msc = now_ms_;
        l.state = static_cast<std::uint32_t>(OrderState::Placed);
        d_.orders.push_back(l);
        return;
    }
    const bool buy = is_buy_type(o.type);
    const double price = buy ? ask : bid;
    o.price_current = price;
    fill(*e, buy, o.volume_current, price, o, DealReason::Expert, o.sl, o.tp, 0);
}

void Executor::charge_swaps(std::int64_t boundary_ms) {
    // The night that ends at the boundary belongs to the day before it.
    const std::int64_t day = boundary_ms / kMsPerDay - 1;
    const int weekday = weekday_from_monday(day);  // 0 = Monday
    if (weekday >= 5) return;                        // no rollover over the weekend
    for (std::size_t i = 0; i < d_.positions.size(); ++i) {
        wire::TradePositionRecord p = d_.positions[i];
        const std::int64_t opened = p.time_msc;
        if (opened >= boundary_ms) continue;
        const CatalogueEntry* e = entry(symbol_of(p));
        if (e == nullptr) continue;
        const Instrument& ins = e->model->instrument();
        if (ins.kind == MarketKind::Crypto) continue;  // swaps disabled
        const DayOfWeek triple = ins.kind == MarketKind::Index ? DayOfWeek::Friday : DayOfWeek::Wednesday;
        const int triple_weekday = static_cast<int>(triple) - 1;  // DayOfWeek counts from Sunday
        const double factor = weekday == triple_weekday ? 3.0 : 1.0;
        const Swaps s = swap_points(ins);
        const bool buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
        const double volume = p.volume;
        const double amount = (buy ? s.long_points : s.short_points) * point_of(ins) * ins.contract_size * volume *
                              factor;
        const auto f = rates_.factor(ins.currency_profit, currency_);
        if (!f) continue;
        p.swap = money(p.swap + amount * *f);
        d_.positions[i] = p;
        d_.dirty = true;
    }
}

void Executor::walk(std::int64_t from_ms, std::int64_t to_ms) {
    if (to_ms < from_ms) return;
    from_ms = std::max(from_ms, to_ms - kMaxWalkMs);
    const std::int64_t end_ms = now_ms_;
    std::int64_t t = from_ms;
    std::int64_t boundary = (floor_div(from_ms - 1, kMsPerDay) + 1) * kMsPerDay;
    auto buffer = std::make_unique<wire::TickRecord[]>(kTickChunk);
    for (int events = 0; events < kMaxEvents; ++events) {
        // The next fixed event: a rollover or the earliest expiration.
        std::int64_t fixed = boundary;
        for (const wire::TradeOrderRecord& o : d_.orders) {
            const std::int64_t exp = o.time_expiration;
            if (exp > 0) fixed = std::min(fixed, std::max(exp * 1000, t));
        }
        const std::int64_t scan_to = std::min(fixed - 1, to_ms);
        // The earliest tick in [t, scan_to] that triggers something.
        struct Hit {
            std::int64_t time = std::numeric_limits<std::int64_t>::max();
            bool is_order = false;
            std::uint64_t ticket = 0;
            double bid = 0, ask = 0;
        } hit;
        if (scan_to >= t) {
            std::vector<std::u16string> symbols;
            for (const auto& o : d_.orders) symbols.push_back(symbol_of(o));
            for (const auto& p : d_.positions) {
                const double sl = p.sl, tp = p.tp;
                if (sl != 0 || tp != 0) symbols.push_back(symbol_of(p));
            }
            std::sort(symbols.begin(), symbols.end());
            symbols.erase(std::unique(symbols.begin(), symbols.end()), symbols.end());
            for (const std::u16string& name : symbols) {
                const CatalogueEntry* e = entry(name);
                if (e == nullptr) continue;
                TickSpan span;
                span.lo_ms = t;
                span.hi_ms = std::min(scan_to, hit.time - 1);
                if (span.empty()) continue;
                TickCursor cursor(t_.market_, *e->model, span, TickFilter{true, false});
                bool found = false;
                for (;;) {
                    const std::size_t n = cursor.fill(buffer.get(), kTickChunk);
                    for (std::size_t k = 0; k < n && !found; ++k) {
                        const wire::TickRecord tick = buffer[k];
                        for (const auto& o : d_.orders) {
                            if (symbol_of(o) != name || !triggers(o, tick.bid, tick.ask)) continue;
                            hit = {tick.time_msc, true, o.ticket, tick.bid, tick.ask};
                            found = true;
                            break;
                        }
                        if (found) break;
                        for (const auto& p : d_.positions) {
                            if (symbol_of(p) != name) continue;
                            const double sl = p.sl, tp = p.tp;
                            const bool buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
                            const double px = buy ? tick.bid : tick.ask;
                            const bool sl_hit = sl != 0 && (buy ? px <= sl : px >= sl);
                            const bool tp_hit = tp != 0 && (buy ? px >= tp : px <= tp);
                            if (!sl_hit && !tp_hit) continue;
                            hit = {tick.time_msc, false, p.ticket, tick.bid, tick.ask};
                            found = true;
                            break;
                        }
                    }
                    if (found || n < kTickChunk) break;
                }
            }
        }
        if (hit.time != std::numeric_limits<std::int64_t>::max()) {
            set_time(hit.time);
            if (hit.is_order) {
                const std::size_t i = find_order(hit.ticket);
                if (i != npos) trigger_order(i, hit.bid, hit.ask);
            } else {
                const std::size_t i = find_position(hit.ticket);
                if (i != npos) {
                    const wire::TradePositionRecord p = d_.positions[i];
                    const bool buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
                    const double px = buy ? hit.bid : hit.ask;
                    const double sl = p.sl;
                    const bool sl_hit = sl != 0 && (buy ? px <= sl : px >= sl);
                    const CatalogueEntry* e = entry(symbol_of(p));
                    const OrderReason oreason = sl_hit ? OrderReason::Sl : OrderReason::Tp;
                    wire::TradeOrderRecord o =
                        make_order(d_.ticket(), *e, static_cast<std::uint32_t>(buy ? OrderType::Sell : OrderType::Buy),
                                   p.volume, px, oreason, p.magic, sl_hit ? u"[sl]" : u"[tp]");
                    close_part(i, p.volume, px, o.ticket, sl_hit ? DealReason::Sl : DealReason::Tp, DealEntry::Out,
                               sl_hit ? u"[sl]" : u"[tp]", px);
                    finish_order(o, OrderState::Filled, p.identifier, 0, px);
                }
            }
            t = hit.time;
            continue;
        }
        if (fixed > to_ms) break;
        set_time(fixed);
        if (fixed == boundary) {
            charge_swaps(boundary);
            boundary += kMsPerDay;
        }
        for (std::size_t i = 0; i < d_.orders.size();) {
            const wire::TradeOrderRecord o = d_.orders[i];
            const std::int64_t exp = o.time_expiration;
            if (exp > 0 && exp * 1000 <= fixed) {
                d_.orders.erase(d_.orders.begin() + static_cast<std::ptrdiff_t>(i));
                const double current = o.price_current;
                finish_order(o, OrderState::Expired, 0, 0, current);
            } else {
                ++i;
            }
        }
        t = fixed;
    }
    set_time(end_ms);
}

void Executor::stop_out() {
    for (std::size_t guard = d_.positions.size(); guard > 0; --guard) {
        const Figures f = figures();
        if (f.margin <= 0 || f.margin_level >= kStopOutLevel) return;
        // Close the position losing most.
        std::size_t worst = npos;
        double worst_profit = 0;
        for (std::size_t i = 0; i < d_.positions.size(); ++i) {
            const auto close = close_price(d_.positions[i]);
            if (!close) continue;
            const double pr = position_profit(d_.positions[i], *close, d_.positions[i].volume).value_or(0.0);
            if (worst == npos || pr < worst_profit) {
                worst = i;
                worst_profit = pr;
            }
        }
        if (worst == npos) return;
        const wire::TradePositionRecord p = d_.positions[worst];
        const double px = *close_price(p);
        const CatalogueEntry* e = entry(symbol_of(p));
        const bool buy = p.type == static_cast<std::uint32_t>(PositionType::Buy);
        wire::TradeOrderRecord o = make_order(d_.ticket(), *e,
                                              static_cast<std::uint32_t>(buy ? OrderType::Sell : OrderType::Buy),
                                              p.volume, px, OrderReason::So, p.magic, u"[so]");
        close_part(worst, p.volume, px, o.ticket, DealReason::So, DealEntry::Out, u"[so]", px);
        finish_order(o, OrderState::Filled, p.identifier, 0, px);
    }
}

// ---- Trading --------------------------------------------------------------

Trading::Trading(Market& market, const Catalogue& catalogue, QuoteBoard& quotes, MarketWatch& watch,
                 TradeStore& store, RatesAt rates)
    : market_(market), catalogue_(catalogue), quotes_(quotes), watch_(watch), store_(store), rates_(std::move(rates)) {}

namespace {

std::string ascii(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace

bool Trading::load(Slot& slot, const Account& account, std::int64_t now_ms) {
    if (slot.loaded) return true;
    AccountBook book;
    if (!store_.is_open()) return false;
    const TradeStore::Load loaded = store_.load(account.login, book);
    if (loaded == TradeStore::Load::Failed) return false;
    if (loaded == TradeStore::Load::Missing) {
        // A new account: its opening balance is its first deal.
        book = AccountBook{};
        book.login = account.login;
        book.evaluated_ms = now_ms;
        Draft draft(book);
        const std::string currency = ascii(account.currency);
        Executor ex(*this, account, currency, draft, now_ms, rates_(now_ms));
        if (account.balance != 0) ex.add_balance_deal(account.balance, u"Initial deposit");
        if (!store_.commit(book, draft)) return false;
        std::move(draft).apply_to(book);
    }
    slot.book = std::move(book);
    slot.loaded = true;
    update_watch(slot);
    return true;
}

bool Trading::commit(Slot& slot, Draft&& draft) {
    if (!store_.commit(slot.book, draft)) return false;
    std::move(draft).apply_to(slot.book);
    update_watch(slot);
    return true;
}

void Trading::update_watch(Slot& slot) {
    std::vector<std::size_t> used;
    for (const auto& p : slot.book.positions) {
        const std::size_t i = catalogue_.index_of(symbol_of(p));
        if (i != Catalogue::npos) used.push_back(i);
    }
    for (const auto& o : slot.book.orders) {
        const std::size_t i = catalogue_.index_of(symbol_of(o));
        if (i != Catalogue::npos) used.push_back(i);
    }
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    for (std::size_t i : used) watch_.add_trade_use(i);
    for (std::size_t i : slot.used_symbols) watch_.release_trade_use(i);
    slot.used_symbols = std::move(used);
}

Trading::Session Trading::begin(const Account& account, std::int64_t now_ms) {
    Session s;
    Slot* slot = nullptr;
    {
        std::lock_guard lock(slots_mutex_);
        auto& p = slots_[account.login];
        if (!p) p = std::make_unique<Slot>();
        slot = p.get();
    }
    s.lock_ = std::unique_lock(slot->mutex);
    if (!load(*slot, account, now_ms)) return s;
    s.account_ = &account;
    s.currency_ = ascii(account.currency);
    s.now_ms_ = now_ms;
    // One set of conversion rates serves the whole request.
    s.rates_.emplace(rates_(now_ms));
    if (now_ms > slot->book.evaluated_ms) {
        Draft draft(slot->book);
        Executor ex(*this, account, s.currency_, draft, now_ms, *s.rates_);
        ex.walk(slot->book.evaluated_ms + 1, now_ms);
        ex.stop_out();
        draft.evaluated_ms = now_ms;
        if (draft.dirty) {
            if (!commit(*slot, std::move(draft))) return s;
        } else {
            // Nothing happened: only memory moves on. After a restart the
            // walk covers this stretch again and again finds nothing, so
            // quiet reads cost no disk write.
            slot->book.evaluated_ms = now_ms;
        }
    }
    s.book_ = &slot->book;
    return s;
}

Figures Trading::figures(const Session& s) {
    Draft draft(*s.book_);
    Executor ex(*this, *s.account_, s.currency_, draft, s.now_ms_, *s.rates_);
    return ex.figures();
}

wire::TradePositionRecord Trading::position_now(const Session& s, const wire::TradePositionRecord& p) {
    // Pricing one position needs none of the account's other records.
    const AccountBook nothing;
    Draft draft(nothing);
    Executor ex(*this, *s.account_, s.currency_, draft, s.now_ms_, *s.rates_);
    wire::TradePositionRecord out = p;
    if (const auto close = ex.close_price(p)) {
        const double volume = p.volume;
        out.price_current = *close;
        out.profit = ex.money(ex.position_profit(p, *close, volume).value_or(0.0));
    }
    return out;
}

wire::TradeOrderRecord Trading::order_now(const Session& s, const wire::TradeOrderRecord& o) {
    wire::TradeOrderRecord out = o;
    const CatalogueEntry* e = catalogue_.find(symbol_of(o));
    if (e == nullptr) return out;
    const DaySummary q = quotes_.summary(*e->model, s.now_ms_);
    if (q.quoted) out.price_current = is_buy_type(o.type) ? q.latest.ask : q.latest.bid;
    return out;
}

wire::TradeCheckResultRecord Trading::check(Session& s, const wire::TradeRequestRecord& req) {
    Draft draft(*s.book_);
    Executor ex(*this, *s.account_, s.currency_, draft, s.now_ms_, *s.rates_);
    const Executor::Outcome out = ex.execute(req);
    wire::TradeCheckResultRecord r{};
    // A request that would pass is reported as Done, with the account as
    // the trade would leave it; a refused one with the account unchanged.
    const bool ok = out.code == TradeRetcode::Done || out.code == TradeRetcode::Placed;
    Figures f;
    if (ok) {
        f = ex.figures();
    } else {
        Draft unchanged(*s.book_);
        Executor before(*this, *s.account_, s.currency_, unchanged, s.now_ms_, *s.rates_);
        f = before.figures();
    }
    const TradeRetcode code = ok ? TradeRetcode::Done : out.code;
    r.retcode = static_cast<std::uint32_t>(code);
    r.balance = f.balance;
    r.equity = f.equity;
    r.profit = f.profit;
    r.margin = f.margin;
    r.margin_free = f.margin_free;
    r.margin_level = f.margin_level;
    put_field(r.comment, sizeof r.comment, retcode_comment(code));
    return r;
}

wire::TradeSendResultRecord Trading::send(Session& s, const wire::TradeRequestRecord& req) {
    Draft draft(*s.book_);
    Executor ex(*this, *s.account_, s.currency_, draft, s.now_ms_, *s.rates_);
    Executor::Outcome out = ex.execute(req);
    wire::TradeSendResultRecord r{};
    {
        std::lock_guard lock(slots_mutex_);
        r.request_id = ++request_id_;
    }
    const bool ok = out.code == TradeRetcode::Done || out.code == TradeRetcode::Placed;
    if (ok) {
        Slot* slot = nullptr;
        {
            std::lock_guard lock(slots_mutex_);
            slot = slots_[s.book_->login].get();
        }
        if (!commit(*slot, std::move(draft))) out = Executor::Outcome{TradeRetcode::Storage, 0, 0, 0, 0, out.quote};
    }
    if (out.code != TradeRetcode::Done && out.code != TradeRetcode::Placed) {
        out.deal = out.order = 0;
        out.volume = out.price = 0;
    }
    r.retcode = static_cast<std::uint32_t>(out.code);
    r.deal = out.deal;
    r.order = out.order;
    r.volume = out.volume;
    r.price = out.price;
    r.bid = out.quote.bid;
    r.ask = out.quote.ask;
    put_field(r.comment, sizeof r.comment, retcode_comment(out.code));
    r.retcode_external = 0;
    return r;
}

}  // namespace qvn::terminal
