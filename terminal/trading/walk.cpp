// The catch-up walk: the price process applied from where the account last
// stopped up to the market clock's now, in time order. Pending orders
// trigger and stops close positions at the first quote tick that reaches
// them, orders expire, and swaps are charged at each 00:00 UTC rollover;
// each event is priced at its own moment. The stop-out follows at now.
//
// Only what can fire is walked: an account without pending orders or stops
// reads no tick (rollovers and expirations come at their times), and of a
// symbol with levels only the stretches whose price bounds (which the
// source gives without making ticks: see PriceSource::bound_quotes) reach
// its nearest level are read, tick by tick, so the tick that fires is the
// one a walk over every tick would find. Each tick is checked against the
// nearest level of each kind (the book keeps them ordered), so a tick costs
// the same however many orders and positions the account has.
#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "terminal/trading/executor.hpp"

namespace qvn::terminal {
namespace {

// Events (fills, stops, expirations, rollovers) applied in one walk at most.
constexpr int kMaxEvents = 100000;
// Ticks read at a time, on the stack (a run is mostly a minute or two).
constexpr std::size_t kTickChunk = 256;

bool has_levels(const SymbolBook& s) {
    return !s.buy_limits.empty() || !s.sell_limits.empty() || !s.buy_stops.empty() || !s.sell_stops.empty() ||
           !s.buy_sl.empty() || !s.buy_tp.empty() || !s.sell_sl.empty() || !s.sell_tp.empty();
}

// Where a symbol's nearest levels lie: a quote fires something when its ask
// is at most ask_down (a buy limit, a sell's TP) or at least ask_up (a buy
// stop, a sell's SL), or its bid is at most bid_down (a sell stop, a buy's
// SL) or at least bid_up (a sell limit, a buy's TP); infinite when the
// symbol has no such level.
struct Reach {
    double ask_down, ask_up, bid_down, bid_up;

    bool fires(double bid, double ask) const noexcept {
        return ask <= ask_down || ask >= ask_up || bid <= bid_down || bid >= bid_up;
    }
    bool may_fire(const QuoteBounds& b) const noexcept {
        return b.ask_lo <= ask_down || b.ask_hi >= ask_up || b.bid_lo <= bid_down || b.bid_hi >= bid_up;
    }
};

Reach reach_of(const SymbolBook& s) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const auto top = [](const Levels& l) { return l.empty() ? -inf : l.rbegin()->first; };
    const auto bottom = [](const Levels& l) { return l.empty() ? inf : l.begin()->first; };
    return {std::max(top(s.buy_limits), top(s.sell_tp)), std::min(bottom(s.buy_stops), bottom(s.sell_sl)),
            std::max(top(s.sell_stops), top(s.buy_sl)), std::min(bottom(s.sell_limits), bottom(s.buy_tp))};
}

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// The lowest ticket among the levels at or above `x` (or at or below it):
// the levels that fire at a tick, from the nearest one outwards.
std::uint64_t lowest_at_or_above(const Levels& levels, double x) {
    std::uint64_t best = kNone;
    for (auto it = levels.rbegin(); it != levels.rend() && it->first >= x; ++it) best = std::min(best, it->second);
    return best;
}

std::uint64_t lowest_at_or_below(const Levels& levels, double x) {
    std::uint64_t best = kNone;
    for (auto it = levels.begin(); it != levels.end() && it->first <= x; ++it) best = std::min(best, it->second);
    return best;
}

}  // namespace

void Executor::walk(std::int64_t from_ms) {
    const std::int64_t to_ms = now_.time_ms();
    if (to_ms < from_ms) return;
    from_ms = std::max(from_ms, to_ms - kMaxWalkMs);
    // The walk has seen everything before (t, resume): ticks from t on, but
    // at t itself, of the symbol `resume.symbol`, only from its
    // `resume.skip`th quote tick of that millisecond (imported ticks may
    // share one). An event resumes at its own tick, which is examined again.
    std::int64_t t = from_ms;
    struct {
        std::size_t symbol = kNoSymbol;
        std::size_t skip = 0;
    } resume;
    std::int64_t boundary = (floor_div(from_ms - 1, kMsPerDay) + 1) * kMsPerDay;
    std::uint64_t walked = 0;  // quote ticks read
    for (int events = 0; events < kMaxEvents; ++events) {
        // The next fixed event: a rollover or the earliest expiration.
        std::int64_t fixed = boundary;
        if (!book_.expirations().empty()) fixed = std::min(fixed, std::max(book_.expirations().begin()->first * 1000, t));
        const std::int64_t scan_to = std::min(fixed - 1, to_ms);
        // The earliest tick in [t, scan_to] that fires something; at equal
        // times the symbol first in name order.
        struct Hit {
            std::int64_t time = std::numeric_limits<std::int64_t>::max();
            std::size_t symbol = kNoSymbol;
            std::size_t within = 0;  // quote ticks of the symbol before it in its millisecond
            Quote quote;
        } hit;
        if (scan_to >= t) {
            std::vector<std::pair<std::u16string_view, std::size_t>> symbols;
            for (const auto& [index, s] : book_.symbols())
                if (has_levels(s)) symbols.emplace_back(venue_.catalogue[index].name, index);
            std::sort(symbols.begin(), symbols.end());
            for (const auto& named : symbols) {
                const std::size_t index = named.second;  // a plain local: the scan below captures it
                const PriceSource& source = *venue_.catalogue[index].source;
                const Reach reach = reach_of(*book_.symbol(index));
                const TickSpan span{t, std::min(scan_to, hit.time - 1)};
                if (span.empty()) continue;
                const std::size_t skip = index == resume.symbol ? resume.skip : 0;
                // Reads the quotes of a run of stretches that may fire, from
                // where the last run ended (stretches may share a millisecond);
                // true when one fires. A run starting at t holds all of t's
                // quotes, so they are counted from the first.
                std::int64_t unread = span.lo_ms;
                const auto scan = [&](TickSpan run) {
                    run.lo_ms = std::max(run.lo_ms, unread);
                    if (run.empty()) return false;
                    unread = run.hi_ms + 1;
                    const auto reader = source.read(run, TickFilter{true, false});
                    wire::TickRecord buffer[kTickChunk];
                    std::int64_t previous = std::numeric_limits<std::int64_t>::min();
                    std::size_t within = 0;
                    for (;;) {
                        const std::size_t n = reader->fill(buffer, kTickChunk);
                        for (std::size_t k = 0; k < n; ++k) {
                            ++walked;
                            const std::int64_t ms = buffer[k].time_msc;
                            within = ms == previous ? within + 1 : 0;
                            previous = ms;
                            if (ms == t && within < skip) continue;
                            const double bid = buffer[k].bid, ask = buffer[k].ask;
                            if (!reach.fires(bid, ask)) continue;
                            const int digits = source.instrument().digits;
                            hit = {ms, index, within,
                                   Quote{true, bid, ask, price_points(bid, digits), price_points(ask, digits)}};
                            return true;
                        }
                        if (n < kTickChunk) return false;
                    }
                };
                std::optional<TickSpan> run;
                bool found = false;
                source.bound_quotes(span, [&](const QuoteBounds& b) {
                    if (reach.may_fire(b)) {
                        if (run) run->hi_ms = b.span.hi_ms;
                        else run = b.span;
                        return true;
                    }
                    if (run) found = scan(*run);
                    run.reset();
                    return !found;
                });
                if (!found && run) scan(*run);
            }
        }
        if (hit.symbol != kNoSymbol) {
            MarketMoment event(venue_.market, venue_.quotes, hit.time, false);
            at_ = &event;
            const SymbolBook& s = *book_.symbol(hit.symbol);
            const double bid = hit.quote.bid, ask = hit.quote.ask;
            // Pending orders first, then positions' stops, each the lowest
            // ticket that fires; the same tick is examined again after it.
            const std::uint64_t order =
                std::min({lowest_at_or_above(s.buy_limits, ask), lowest_at_or_below(s.sell_limits, bid),
                          lowest_at_or_below(s.buy_stops, ask), lowest_at_or_above(s.sell_stops, bid)});
            if (order != kNone) {
                trigger_order(order, hit.quote);
            } else {
                const std::uint64_t ticket =
                    std::min({lowest_at_or_above(s.buy_sl, bid), lowest_at_or_below(s.buy_tp, bid),
                              lowest_at_or_below(s.sell_sl, ask), lowest_at_or_above(s.sell_tp, ask)});
                const Position& p = *book_.position(ticket);
                const double sl = p.record.sl;
                const bool sl_hit = sl != 0 && (p.buy ? bid <= sl : ask >= sl);
                close_out(ticket, p.buy ? hit.quote.bid_points : hit.quote.ask_points,
                          sl_hit ? OrderReason::Sl : OrderReason::Tp, sl_hit ? DealReason::Sl : DealReason::Tp,
                          sl_hit ? u"[sl]" : u"[tp]");
            }
            at_ = &now_;
            t = hit.time;
            resume = {hit.symbol, hit.within};
            continue;
        }
        if (fixed > to_ms) break;
        MarketMoment event(venue_.market, venue_.quotes, fixed, false);
        at_ = &event;
        if (fixed == boundary) {
            charge_swaps(boundary);
            boundary += kMsPerDay;
        }
        expire(fixed);
        at_ = &now_;
        if (fixed > t) resume = {};
        t = fixed;
    }
    if (venue_.ticks_walked != nullptr) venue_.ticks_walked->fetch_add(walked, std::memory_order_relaxed);
    stop_out();
}

void Executor::trigger_order(std::uint64_t ticket, const Quote& tick) {
    wire::TradeOrderRecord o = book_.order(ticket)->record;
    const CatalogueEntry& e = venue_.catalogue[book_.order(ticket)->symbol];
    book_.erase_order(ticket);
    const auto type = static_cast<OrderType>(o.type);
    const bool buy = type == OrderType::BuyLimit || type == OrderType::BuyStop || type == OrderType::BuyStopLimit;
    if (type == OrderType::BuyStopLimit || type == OrderType::SellStopLimit) {
        // The stop reached: a limit order at the stop-limit price takes its place.
        finish_order(o, OrderState::Filled, 0, 0, buy ? tick.ask : tick.bid);
        wire::TradeOrderRecord l = o;
        l.ticket = book_.take_ticket();
        l.type = static_cast<std::uint32_t>(buy ? OrderType::BuyLimit : OrderType::SellLimit);
        l.price_open = o.price_stoplimit;
        l.price_stoplimit = 0.0;
        l.time_setup = floor_div(now_ms(), 1000);
        l.time_setup_msc = now_ms();
        l.state = static_cast<std::uint32_t>(OrderState::Placed);
        book_.put_order(l);
        return;
    }
    o.price_current = buy ? tick.ask : tick.bid;
    fill(e, buy, volume_units(o.volume_current), buy ? tick.ask_points : tick.bid_points, o, 0);
}

void Executor::expire(std::int64_t at_ms) {
    while (!book_.expirations().empty() && book_.expirations().begin()->first * 1000 <= at_ms) {
        const wire::TradeOrderRecord o = book_.order(book_.expirations().begin()->second)->record;
        book_.erase_order(o.ticket);
        finish_order(o, OrderState::Expired, 0, 0, o.price_current);
    }
}

void Executor::charge_swaps(std::int64_t boundary_ms) {
    // The night that ends at the boundary belongs to the day before it.
    const std::int64_t day = boundary_ms / kMsPerDay - 1;
    const int weekday = weekday_from_monday(day);  // 0 = Monday
    if (weekday >= 5) return;                      // no rollover over the weekend
    std::vector<std::uint64_t> held;
    for (const auto& [ticket, p] : book_.positions())
        if (p.symbol != kNoSymbol && p.record.time_msc < boundary_ms) held.push_back(ticket);
    for (const std::uint64_t ticket : held) {
        const Position& p = *book_.position(ticket);
        const Instrument& ins = venue_.catalogue[p.symbol].source->instrument();
        if (ins.kind == MarketKind::Crypto) continue;  // swaps disabled
        const DayOfWeek triple = ins.kind == MarketKind::Index ? DayOfWeek::Friday : DayOfWeek::Wednesday;
        const int nights = weekday == static_cast<int>(triple) - 1 ? 3 : 1;  // DayOfWeek counts from Sunday
        const auto charge = accounting_.swap(p, nights, *at_);
        if (!charge || *charge == 0) continue;
        wire::TradePositionRecord r = p.record;
        r.swap = book_.money().to_double(p.swap + *charge);
        book_.put_position(r);
    }
}

void Executor::stop_out() {
    for (std::size_t guard = book_.positions().size(); guard > 0; --guard) {
        const Funds f = accounting_.funds(book_, now_);
        if (f.margin <= 0 || f.margin_level >= kStopOutLevel) return;
        // The position with the lowest floating profit (its own rounded
        // figure); the lowest ticket among equals.
        std::uint64_t worst = 0;
        std::int64_t worst_profit = 0, worst_price = 0;
        for (const auto& [ticket, p] : book_.positions()) {
            if (p.symbol == kNoSymbol) continue;
            const Quote q = now_.quote(*venue_.catalogue[p.symbol].source);
            if (!q.valid) continue;
            const std::int64_t close = p.buy ? q.bid_points : q.ask_points;
            const std::int64_t profit = accounting_.profit(p, p.volume, close, now_);
            if (worst == 0 || profit < worst_profit) {
                worst = ticket;
                worst_profit = profit;
                worst_price = close;
            }
        }
        if (worst == 0) return;
        close_out(worst, worst_price, OrderReason::So, DealReason::So, u"[so]");
    }
}

}  // namespace qvn::terminal
