// The six trade actions. Each checks its request in a fixed order (the
// order terminal/README.md gives), answering the code of the first rule
// broken; then it changes the book.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "terminal/trading/executor.hpp"

namespace qvn::terminal {
namespace {

Outcome refuse(TradeRetcode code) { return Outcome{code}; }

// Takes the field as bytes: it sits in a packed record.
std::u16string request_text(const void* field) {
    char16_t units[wire::kTextUnits];
    std::memcpy(units, field, sizeof units);
    return text_field(units);
}

bool is_stop_limit(std::uint32_t type) {
    const auto t = static_cast<OrderType>(type);
    return t == OrderType::BuyStopLimit || t == OrderType::SellStopLimit;
}

bool is_pending(std::uint32_t type) {
    const auto t = static_cast<OrderType>(type);
    return t == OrderType::BuyLimit || t == OrderType::SellLimit || t == OrderType::BuyStop ||
           t == OrderType::SellStop || is_stop_limit(type);
}

bool buys(std::uint32_t type) {
    const auto b = is_buy(type);
    return b && *b;
}

double price_or_zero(std::int64_t points, int digits) { return points == 0 ? 0.0 : price_of(points, digits); }

}  // namespace

Outcome Executor::execute(const wire::TradeRequestRecord& req) {
    concerned_ = nullptr;
    if (!names_well_formed(req)) return refuse(TradeRetcode::Invalid);
    switch (static_cast<TradeAction>(req.action)) {
        case TradeAction::Deal: return deal(req);
        case TradeAction::Pending: return pending(req);
        case TradeAction::Sltp: return sltp(req);
        case TradeAction::Modify: return modify(req);
        case TradeAction::Remove: return remove(req);
        case TradeAction::CloseBy: return close_by(req);
    }
    return refuse(TradeRetcode::Invalid);
}

Outcome Executor::deal(const wire::TradeRequestRecord& req) {
    std::u16string name = request_text(req.symbol);
    const std::uint64_t position = req.position;
    bool held_buy = false;
    std::int64_t held_volume = 0;
    if (position != 0) {
        const Position* held = book_.position(position);
        if (held == nullptr) return refuse(TradeRetcode::PositionClosed);
        // Closing by ticket: the symbol may be left out.
        const std::u16string own = symbol_of(held->record);
        if (name.empty()) name = own;
        if (name != own) return refuse(TradeRetcode::Invalid);
        held_buy = held->buy;
        held_volume = held->volume;
    }
    const Located at = locate(name);
    if (at.code != TradeRetcode::Done) return refuse(at.code);
    const Instrument& ins = *at.ins;
    const auto type = static_cast<OrderType>(req.type);
    if (type != OrderType::Buy && type != OrderType::Sell) return refuse(TradeRetcode::Invalid);
    if (req.type_filling > static_cast<std::uint32_t>(OrderFilling::Return)) return refuse(TradeRetcode::InvalidFill);
    std::int64_t volume = 0;
    if (const auto c = check_volume(ins, req.volume, volume); c != TradeRetcode::Done) return refuse(c);
    const bool buy = type == OrderType::Buy;
    const std::int64_t fill_points = buy ? at.quote.ask_points : at.quote.bid_points;
    // A quote between two points (imported ticks may have more decimals than
    // the symbol's digits) is traded at its nearest point: the deal's price.
    const double fill_price = price_of(fill_points, ins.digits);
    const double asked = req.price;
    if (asked != 0) {
        if (!std::isfinite(asked) || asked < 0) return refuse(TradeRetcode::InvalidPrice);
        const std::uint64_t deviation = req.deviation;
        if (std::fabs(asked - fill_price) > static_cast<double>(deviation) * decimal_point(ins.digits) + 1e-9)
            return refuse(TradeRetcode::PriceChanged);
    }
    std::int64_t sl = 0, tp = 0;
    if (const auto c = grid_stops(ins, req.sl, req.tp, at.quote, sl, tp); c != TradeRetcode::Done) return refuse(c);
    if (position != 0) {
        if (held_buy == buy) return refuse(TradeRetcode::Invalid);
        if (volume > held_volume) return refuse(TradeRetcode::InvalidCloseVolume);
    } else if (const auto c = check_stops(ins, buy, at.quote.bid_points, at.quote.ask_points, sl, tp);
               c != TradeRetcode::Done) {
        return refuse(c);
    }
    const Funds before = accounting_.funds(book_, now_);
    wire::TradeOrderRecord o = make_order(*at.entry, req.type, lots_of(volume), fill_price, OrderReason::Expert,
                                          req.magic, request_text(req.comment));
    o.type_filling = req.type_filling;
    o.sl = price_or_zero(sl, ins.digits);
    o.tp = price_or_zero(tp, ins.digits);
    const std::uint64_t deal = fill(*at.entry, buy, volume, fill_points, o, position);
    const Funds after = accounting_.funds(book_, now_);
    if (after.margin > before.margin && after.margin_free < 0) return refuse(TradeRetcode::NoMoney);
    return Outcome{TradeRetcode::Done, deal, o.ticket, lots_of(volume), fill_price};
}

Outcome Executor::pending(const wire::TradeRequestRecord& req) {
    const Located at = locate(request_text(req.symbol));
    if (at.code != TradeRetcode::Done) return refuse(at.code);
    const Instrument& ins = *at.ins;
    if (!is_pending(req.type)) return refuse(TradeRetcode::Invalid);
    if (req.type_filling > static_cast<std::uint32_t>(OrderFilling::Boc)) return refuse(TradeRetcode::InvalidFill);
    std::int64_t volume = 0;
    if (const auto c = check_volume(ins, req.volume, volume); c != TradeRetcode::Done) return refuse(c);
    const bool stop_limit = is_stop_limit(req.type);
    const auto price = on_grid(ins, req.price, at.quote);
    const auto stoplimit = stop_limit ? on_grid(ins, req.stoplimit, at.quote) : std::optional<std::int64_t>(0);
    if (!price || !stoplimit) return refuse(TradeRetcode::InvalidPrice);
    if (const auto c = check_pending_price(ins, req.type, *price, *stoplimit, at.quote); c != TradeRetcode::Done)
        return refuse(c);
    std::int64_t sl = 0, tp = 0;
    if (const auto c = grid_stops(ins, req.sl, req.tp, at.quote, sl, tp); c != TradeRetcode::Done) return refuse(c);
    const std::int64_t entry = stop_limit ? *stoplimit : *price;
    if (const auto c = check_stops(ins, buys(req.type), entry, entry, sl, tp); c != TradeRetcode::Done)
        return refuse(c);
    std::int64_t expiration_s = 0;
    if (const auto c = expiration_of(req, expiration_s); c != TradeRetcode::Done) return refuse(c);
    if (book_.orders().size() >= account_.limit_orders) return refuse(TradeRetcode::LimitOrders);
    wire::TradeOrderRecord o = make_order(*at.entry, req.type, lots_of(volume), price_of(*price, ins.digits),
                                          OrderReason::Expert, req.magic, request_text(req.comment));
    o.state = static_cast<std::uint32_t>(OrderState::Placed);
    o.type_time = req.type_time;
    o.type_filling = req.type_filling;
    o.time_expiration = expiration_s;
    o.sl = price_or_zero(sl, ins.digits);
    o.tp = price_or_zero(tp, ins.digits);
    o.price_stoplimit = price_or_zero(*stoplimit, ins.digits);
    o.price_current = buys(req.type) ? at.quote.ask : at.quote.bid;
    book_.put_order(o);
    return Outcome{TradeRetcode::Placed, 0, o.ticket, lots_of(volume), price_of(*price, ins.digits)};
}

Outcome Executor::sltp(const wire::TradeRequestRecord& req) {
    const Position* p = book_.position(req.position);
    if (p == nullptr) return refuse(TradeRetcode::PositionClosed);
    const Located at = locate(symbol_of(p->record));
    if (at.code != TradeRetcode::Done) return refuse(at.code);
    const Instrument& ins = *at.ins;
    std::int64_t sl = 0, tp = 0;
    if (const auto c = grid_stops(ins, req.sl, req.tp, at.quote, sl, tp); c != TradeRetcode::Done) return refuse(c);
    wire::TradePositionRecord r = p->record;
    const double new_sl = price_or_zero(sl, ins.digits), new_tp = price_or_zero(tp, ins.digits);
    if (new_sl == r.sl && new_tp == r.tp) return refuse(TradeRetcode::NoChanges);
    if (const auto c = check_stops(ins, p->buy, at.quote.bid_points, at.quote.ask_points, sl, tp);
        c != TradeRetcode::Done)
        return refuse(c);
    r.sl = new_sl;
    r.tp = new_tp;
    r.time_update = floor_div(now_ms(), 1000);
    r.time_update_msc = now_ms();
    book_.put_position(r);
    return Outcome{TradeRetcode::Done};
}

Outcome Executor::modify(const wire::TradeRequestRecord& req) {
    const Order* existing = book_.order(req.order);
    if (existing == nullptr) return refuse(TradeRetcode::InvalidOrder);
    wire::TradeOrderRecord o = existing->record;
    const Located at = locate(symbol_of(o));
    if (at.code != TradeRetcode::Done) return refuse(at.code);
    const Instrument& ins = *at.ins;
    std::int64_t expiration_s = 0;
    if (const auto c = expiration_of(req, expiration_s); c != TradeRetcode::Done) return refuse(c);
    const bool stop_limit = is_stop_limit(o.type);
    const auto price = on_grid(ins, req.price, at.quote);
    const auto stoplimit = stop_limit ? on_grid(ins, req.stoplimit, at.quote) : std::optional<std::int64_t>(0);
    if (!price || !stoplimit) return refuse(TradeRetcode::InvalidPrice);
    std::int64_t sl = 0, tp = 0;
    if (const auto c = grid_stops(ins, req.sl, req.tp, at.quote, sl, tp); c != TradeRetcode::Done) return refuse(c);
    const double new_price = price_of(*price, ins.digits), new_stoplimit = price_or_zero(*stoplimit, ins.digits);
    const double new_sl = price_or_zero(sl, ins.digits), new_tp = price_or_zero(tp, ins.digits);
    const std::int64_t old_expiration = o.time_expiration;
    if (new_price == o.price_open && new_stoplimit == o.price_stoplimit && new_sl == o.sl && new_tp == o.tp &&
        req.type_time == o.type_time && expiration_s == old_expiration)
        return refuse(TradeRetcode::NoChanges);
    if (const auto c = check_pending_price(ins, o.type, *price, *stoplimit, at.quote); c != TradeRetcode::Done)
        return refuse(c);
    const std::int64_t entry = stop_limit ? *stoplimit : *price;
    if (const auto c = check_stops(ins, buys(o.type), entry, entry, sl, tp); c != TradeRetcode::Done) return refuse(c);
    o.price_open = new_price;
    o.price_stoplimit = new_stoplimit;
    o.sl = new_sl;
    o.tp = new_tp;
    o.type_time = req.type_time;
    o.time_expiration = expiration_s;
    book_.put_order(o);
    return Outcome{TradeRetcode::Done, 0, o.ticket, o.volume_current, new_price};
}

Outcome Executor::remove(const wire::TradeRequestRecord& req) {
    const Order* existing = book_.order(req.order);
    if (existing == nullptr) return refuse(TradeRetcode::InvalidOrder);
    const wire::TradeOrderRecord o = existing->record;
    concerned_ = venue_.catalogue.find(symbol_of(o));
    book_.erase_order(o.ticket);
    finish_order(o, OrderState::Canceled, 0, 0, o.price_current);
    return Outcome{TradeRetcode::Done, 0, o.ticket};
}

// The pair's whole result goes to `position`, closed at `position_by`'s
// opening price; `position_by` closes at its own opening price, for nothing.
Outcome Executor::close_by(const wire::TradeRequestRecord& req) {
    if (account_.margin_mode != AccountMarginMode::RetailHedging) return refuse(TradeRetcode::HedgeProhibited);
    const Position* pa = book_.position(req.position);
    const Position* pb = book_.position(req.position_by);
    if (pa == nullptr || pb == nullptr) return refuse(TradeRetcode::PositionClosed);
    const Position a = *pa, b = *pb;
    const std::u16string symbol = symbol_of(a.record);
    const std::uint64_t a_ticket = a.record.ticket, b_ticket = b.record.ticket;
    if (a_ticket == b_ticket || symbol != symbol_of(b.record) || a.buy == b.buy) return refuse(TradeRetcode::Invalid);
    const Located at = locate(symbol);
    if (at.code != TradeRetcode::Done) return refuse(at.code);
    const std::int64_t volume = std::min(a.volume, b.volume);
    const double price = b.record.price_open;
    const wire::TradeOrderRecord o =
        make_order(*at.entry, static_cast<std::uint32_t>(OrderType::CloseBy), lots_of(volume), price,
                   OrderReason::Expert, a.record.magic, u"");
    const std::uint64_t deal =
        close_part(a_ticket, volume, b.open, o.ticket, DealReason::Expert, DealEntry::OutBy, u"", b.open);
    close_part(b_ticket, volume, b.open, o.ticket, DealReason::Expert, DealEntry::OutBy, u"", b.open);
    finish_order(o, OrderState::Filled, a_ticket, b_ticket, price);
    return Outcome{TradeRetcode::Done, deal, o.ticket, lots_of(volume), price};
}

}  // namespace qvn::terminal
