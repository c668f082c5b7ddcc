// Trading commands: open positions and pending orders, the history of
// orders and deals, and order_check / order_send. Every command first
// brings the current account up to the market clock (see
// terminal/trading/engine.hpp) and holds the account's lock until its reply
// is built, so a reader never sees half of a trade, nor one not yet on disk.
#include <algorithm>
#include <cstring>

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

template <class Record, class Pick>
std::vector<Record> select_records(const std::vector<Record>& all, Pick&& pick) {
    std::vector<Record> out;
    for (const Record& r : all)
        if (pick(r)) out.push_back(r);
    return out;
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

bool Terminal::on_positions(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    Selection sel;
    if (!read_selection(cmd, in, sel)) return ex.status(cmd, wire::kInvalidParams);
    const Account a = current_account();
    Trading::Session s = trading_.begin(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    std::vector<wire::TradePositionRecord> out;
    const auto take = [&](const Position& p) { out.push_back(is_total(cmd) ? p.record : trading_.position_now(s, p)); };
    if (sel.kind == Selection::Kind::Ticket) {
        if (const Position* p = s.book().position(sel.id)) take(*p);
    } else {
        for (const auto& [ticket, p] : s.book().positions())
            if (sel.kind != Selection::Kind::Symbol || symbol_of(p.record) == sel.symbol) take(p);
    }
    s.release();  // the reply goes out without holding the account
    return reply_records(ex, cmd, sel, out, settings_.max_response_bytes());
}

bool Terminal::on_orders(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    Selection sel;
    if (!read_selection(cmd, in, sel)) return ex.status(cmd, wire::kInvalidParams);
    const Account a = current_account();
    Trading::Session s = trading_.begin(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    std::vector<wire::TradeOrderRecord> out;
    const auto take = [&](const Order& o) { out.push_back(is_total(cmd) ? o.record : trading_.order_now(s, o)); };
    if (sel.kind == Selection::Kind::Ticket) {
        if (const Order* o = s.book().order(sel.id)) take(*o);
    } else {
        for (const auto& [ticket, o] : s.book().orders())
            if (sel.kind != Selection::Kind::Symbol || symbol_of(o.record) == sel.symbol) take(o);
    }
    s.release();  // the reply goes out without holding the account
    return reply_records(ex, cmd, sel, out, settings_.max_response_bytes());
}

bool Terminal::on_history_orders(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    Selection sel;
    if (!read_selection(cmd, in, sel)) return ex.status(cmd, wire::kInvalidParams);
    const Account a = current_account();
    Trading::Session s = trading_.begin(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    const auto out = select_records(s.book().history_orders(), [&sel](const wire::TradeOrderRecord& o) {
        return sel.selects(o.ticket, o.position_id, o.time_setup);
    });
    s.release();  // the reply goes out without holding the account
    return reply_records(ex, cmd, sel, out, settings_.max_response_bytes());
}

bool Terminal::on_history_deals(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    Selection sel;
    if (!read_selection(cmd, in, sel)) return ex.status(cmd, wire::kInvalidParams);
    const Account a = current_account();
    Trading::Session s = trading_.begin(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    const auto out = select_records(s.book().deals(), [&sel](const wire::TradeDealRecord& d) {
        return sel.selects(d.ticket, d.position_id, d.time);
    });
    s.release();  // the reply goes out without holding the account
    return reply_records(ex, cmd, sel, out, settings_.max_response_bytes());
}

bool Terminal::on_order_check(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    wire::TradeRequestRecord req{};
    if (!in.read(req) || !in.done()) return ex.status(cmd, wire::kInvalidParams);
    const Account a = current_account();
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
    const Account a = current_account();
    Trading::Session s = trading_.begin_trade(a, market_.now_ms());
    if (!s.ok()) return ex.status(cmd, wire::kFailed);
    // The result is built after the trade has been committed.
    const std::optional<wire::TradeSendResultRecord> result = trading_.send(s, req);
    if (!result) return ex.status(cmd, wire::kFailed);
    Response r(cmd, wire::kSuccess);
    r.put(*result);
    return ex.send(r);
}

}  // namespace qvn::terminal
