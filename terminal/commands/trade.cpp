// Trading commands: open positions and pending orders, the history of
// orders and deals, and order_check / order_send. Every command first
// brings the current account up to the market clock (see
// terminal/trading/engine.hpp) and holds the account's lock until its reply
// is built, so a reader never sees half of a trade, nor one not yet on disk.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// What a list request selects.
struct Selection {
    enum class Kind { All, Symbol, Ticket, Position, Period } kind = Kind::All;
    std::u16string symbol;
    std::uint64_t id = 0;
    std::int64_t from_s = 0;
    std::int64_t to_s = 0;

    // Whether a history record with these keys is selected; a record's
    // period is the time it was placed (orders) or done (deals). Takes the
    // keys by value: records are packed.
    bool selects(std::uint64_t ticket, std::uint64_t position, std::int64_t time) const noexcept {
        switch (kind) {
            case Kind::Ticket: return ticket == id;
            case Kind::Position: return position == id;
            case Kind::Period: return time >= from_s && time <= to_s;
            default: return true;
        }
    }
};

// Reads the request of a command by its shape; false when it is malformed.
bool read_selection(std::uint32_t cmd, RequestReader& in, Selection& sel) {
    switch (cmd) {
        case wire::kPositionsGet:
        case wire::kOrdersGet:
        case wire::kPositionsTotal:
        case wire::kOrdersTotal: sel.kind = Selection::Kind::All; break;
        case wire::kPositionsBySymbol:
        case wire::kOrdersBySymbol:
            sel.kind = Selection::Kind::Symbol;
            if (!in.wide(sel.symbol) || sel.symbol.size() > wire::kSymbolUnits) return false;
            break;
        case wire::kPositionByTicket:
        case wire::kOrderByTicket:
        case wire::kHistoryOrderByTicket:
        case wire::kHistoryDealByTicket:
            sel.kind = Selection::Kind::Ticket;
            if (!in.read(sel.id)) return false;
            break;
        case wire::kHistoryOrdersByPosition:
        case wire::kHistoryDealsByPosition:
            sel.kind = Selection::Kind::Position;
            if (!in.read(sel.id)) return false;
            break;
        default:
            sel.kind = Selection::Kind::Period;
            if (!in.read(sel.from_s) || !in.read(sel.to_s)) return false;
            break;
    }
    return in.done();
}

// Open positions or orders as a selection picks them: the one with the
// ticket (`by_ticket`, null when there is none), or all of them (of one
// symbol), each as `now` makes its record.
template <class Item, class Record, class Now>
void collect_open(const Selection& sel, const Item* by_ticket, const std::map<std::uint64_t, Item>& all,
                  std::vector<Record>& out, Now&& now) {
    if (sel.kind == Selection::Kind::Ticket) {
        if (by_ticket != nullptr) out.push_back(now(*by_ticket));
        return;
    }
    for (const auto& [ticket, item] : all)
        if (sel.kind != Selection::Kind::Symbol || symbol_of(item.record) == sel.symbol) out.push_back(now(item));
}

bool is_total(std::uint32_t cmd) {
    return cmd == wire::kPositionsTotal || cmd == wire::kOrdersTotal || cmd == wire::kHistoryOrdersTotal ||
           cmd == wire::kHistoryDealsTotal;
}

// Replies with a count, one record (a ticket lookup; kNotFound without
// one) or a counted list, as the command asks.
template <class Record>
bool reply_records(Exchange& ex, std::uint32_t cmd, const Selection& sel, const std::vector<Record>& records,
                   std::uint64_t max_bytes) {
    if (is_total(cmd)) {
        Response r(cmd, wire::kSuccess);
        r.put(static_cast<std::uint32_t>(records.size()));
        return ex.send(r);
    }
    if (sel.kind == Selection::Kind::Ticket) {
        if (records.empty()) return ex.status(cmd, wire::kNotFound);
        Response r(cmd, wire::kSuccess);
        r.put(records.front());
        return ex.send(r);
    }
    if (records.size() > 0xFFFFFFFFu || records.size() > (max_bytes - 16) / sizeof(Record))
        return ex.status(cmd, wire::kOutOfMemory);
    Response r(cmd, wire::kSuccess);
    r.put(static_cast<std::uint32_t>(records.size()));
    if (!records.empty()) r.put_bytes(records.data(), records.size() * sizeof(Record));
    return ex.send(r);
}

}  // namespace

// A list command: reads its selection, holds the account brought up to the
// market clock while `collect` picks the records, and replies once the
// account is released.
template <class Record, class Collect>
bool Terminal::reply_trade_list(std::uint32_t cmd, RequestReader& in, Exchange& ex, Collect&& collect) {
    Selection sel;
    if (!read_selection(cmd, in, sel)) return ex.status(cmd, wire::kInvalidParams);
    const Account& a = current_account();
    Trading::Session s = trading_.begin(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    std::vector<Record> out;
    collect(s, sel, out);
    s.release();  // the reply goes out without holding the account
    return reply_records(ex, cmd, sel, out, settings_.max_response_bytes());
}

bool Terminal::on_positions(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    const auto collect = [&](const Trading::Session& s, const Selection& sel, auto& out) {
        collect_open(sel, s.book().position(sel.id), s.book().positions(), out,
                     [&](const Position& p) { return is_total(cmd) ? p.record : trading_.position_now(s, p); });
    };
    return reply_trade_list<wire::TradePositionRecord>(cmd, in, ex, collect);
}

bool Terminal::on_orders(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    const auto collect = [&](const Trading::Session& s, const Selection& sel, auto& out) {
        collect_open(sel, s.book().order(sel.id), s.book().orders(), out,
                     [&](const Order& o) { return is_total(cmd) ? o.record : trading_.order_now(s, o); });
    };
    return reply_trade_list<wire::TradeOrderRecord>(cmd, in, ex, collect);
}

bool Terminal::on_history_orders(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    const auto collect = [](const Trading::Session& s, const Selection& sel, auto& out) {
        for (const wire::TradeOrderRecord& o : s.book().history_orders())
            if (sel.selects(o.ticket, o.position_id, o.time_setup)) out.push_back(o);
    };
    return reply_trade_list<wire::TradeOrderRecord>(cmd, in, ex, collect);
}

bool Terminal::on_history_deals(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    const auto collect = [](const Trading::Session& s, const Selection& sel, auto& out) {
        for (const wire::TradeDealRecord& d : s.book().deals())
            if (sel.selects(d.ticket, d.position_id, d.time)) out.push_back(d);
    };
    return reply_trade_list<wire::TradeDealRecord>(cmd, in, ex, collect);
}

bool Terminal::on_order_check(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    wire::TradeRequestRecord req{};
    if (!in.read(req) || !in.done()) return ex.status(cmd, wire::kInvalidParams);
    const Account& a = current_account();
    Trading::Session s = trading_.begin(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    Response r(cmd, wire::kSuccess);
    r.put(trading_.check(s, req));
    s.release();
    return ex.send(r);
}

bool Terminal::on_order_send(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    wire::TradeRequestRecord req{};
    if (!in.read(req) || !in.done()) return ex.status(cmd, wire::kInvalidParams);
    if (!auto_trading()) return ex.status(cmd, wire::kAutoTradingDisabled);
    const Account& a = current_account();
    Trading::Session s = trading_.begin_trade(a, market_.now_ms());
    // The result is built after the trade has been committed; a store that
    // failed makes it STORAGE, whose comment tells how.
    const wire::TradeSendResultRecord result = trading_.send(s, req);
    Response r(cmd, wire::kSuccess);
    r.put(result);
    return ex.send(r);
}

}  // namespace qvn::terminal
