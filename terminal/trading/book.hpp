// One account's trading state: balance, open positions, pending orders and
// the history of orders and deals, kept in their wire records (which are
// what the store persists and what clients read), with what the engine
// needs to stay fast whatever the account holds:
//
//   - positions and orders keyed by ticket, so they are found in O(log n)
//     and iterated in ticket order;
//   - per symbol and side, the open volume and the volume-weighted opening
//     price as exact integers, from which the account's profit and margin
//     follow in O(symbols);
//   - per symbol, the prices at which a pending order or a position's stop
//     fires, in ordered sets, so a tick is checked against the nearest
//     level alone;
//   - the pending orders' expirations in time order.
//
// Changes are made in place inside a transaction that logs how to undo
// each one: order_check always rolls back, a failed commit rolls back
// exactly, and a successful one hands the store only the rows it touched.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/store/trade_store.hpp"
#include "terminal/trading/money.hpp"

namespace qvn::terminal {

inline constexpr std::size_t kNoSymbol = Catalogue::npos;

struct Position {
    wire::TradePositionRecord record;
    std::size_t symbol;   // catalogue index, kNoSymbol when the catalogue lacks it
    bool buy;
    std::int64_t volume;  // volume units
    std::int64_t open;    // points
    std::int64_t swap;    // account money units
};

struct Order {
    wire::TradeOrderRecord record;
    std::size_t symbol;
};

// Open positions of one symbol on one side.
struct SideSums {
    std::int64_t volume = 0;  // sum of volumes
    Fine weighted = 0;        // sum of opening points x volume
};

// Price levels, each with its ticket; the ticket breaks ties.
using Levels = std::set<std::pair<double, std::uint64_t>>;

struct SymbolBook {
    SideSums buy, sell;
    std::set<std::uint64_t> positions;                     // tickets
    std::size_t orders = 0;                                // pending orders
    Levels buy_limits, sell_limits, buy_stops, sell_stops;  // by price_open (stops include stop-limits)
    Levels buy_sl, buy_tp, sell_sl, sell_tp;               // positions' stops

    bool empty() const noexcept { return positions.empty() && orders == 0; }
};

// The symbol units of a record's fixed text field, up to its first zero.
std::u16string text_field(const char16_t (&field)[wire::kTextUnits]);
template <class Record>
std::u16string symbol_of(const Record& r) {
    char16_t units[wire::kTextUnits];
    std::memcpy(units, r.symbol, sizeof units);
    return text_field(units);
}

// An account's funds at one moment, in units of the last currency digit.
struct Funds {
    std::int64_t balance = 0;
    std::int64_t credit = 0;
    std::int64_t profit = 0;  // floating profit and swaps of open positions
    std::int64_t equity = 0;
    std::int64_t margin = 0;
    std::int64_t margin_free = 0;
    double margin_level = 0;  // percent; 0 without margin
};

class AccountBook {
public:
    AccountBook(std::uint64_t login, const Catalogue& catalogue, std::uint32_t currency_digits);
    AccountBook(const AccountBook&) = delete;
    AccountBook& operator=(const AccountBook&) = delete;

    // Takes over what the store holds (outside any transaction).
    void load(StoredBook&& stored);

    std::uint64_t login() const noexcept { return login_; }
    const MoneyScale& money() const noexcept { return money_; }
    std::int64_t balance() const noexcept { return balance_; }
    std::uint64_t next_ticket() const noexcept { return next_ticket_; }
    std::int64_t evaluated_ms() const noexcept { return evaluated_ms_; }
    std::int64_t swap_total() const noexcept { return swap_total_; }

    const std::map<std::uint64_t, Position>& positions() const noexcept { return positions_; }
    const std::map<std::uint64_t, Order>& orders() const noexcept { return orders_; }
    const std::vector<wire::TradeOrderRecord>& history_orders() const noexcept { return history_; }
    const std::vector<wire::TradeDealRecord>& deals() const noexcept { return deals_; }
    const Position* position(std::uint64_t ticket) const;
    const Order* order(std::uint64_t ticket) const;
    // Symbols with open positions or pending orders, by catalogue index.
    const std::map<std::size_t, SymbolBook>& symbols() const noexcept { return symbols_; }
    const SymbolBook* symbol(std::size_t index) const;
    // Pending orders with an expiration: (time_expiration, ticket).
    const std::set<std::pair<std::int64_t, std::uint64_t>>& expirations() const noexcept { return expirations_; }

    // Changes. Inside a transaction each is logged so that it can be undone.
    void put_position(const wire::TradePositionRecord& r);
    void erase_position(std::uint64_t ticket);
    void put_order(const wire::TradeOrderRecord& r);
    void erase_order(std::uint64_t ticket);
    void add_history(const wire::TradeOrderRecord& r) { history_.push_back(r); }
    void add_deal(const wire::TradeDealRecord& r) { deals_.push_back(r); }
    void add_balance(std::int64_t units) noexcept {
        balance_ += units;
        funds_kept_ = false;
    }
    std::uint64_t take_ticket() noexcept { return next_ticket_++; }
    void set_evaluated(std::int64_t ms) noexcept { evaluated_ms_ = ms; }

    // The funds last figured (Accounting::funds) at `at_ms` by a moment at
    // the clock's now or not, kept until the book next changes; null when
    // there are none. A step's walk figures them for its stop-out check,
    // and the next step asks for them at the same instant.
    const Funds* funds_at(std::int64_t at_ms, bool now) const noexcept {
        return funds_kept_ && kept_at_ms_ == at_ms && kept_now_ == now ? &kept_funds_ : nullptr;
    }
    void keep_funds(std::int64_t at_ms, bool now, const Funds& f) const noexcept {
        kept_funds_ = f;
        kept_at_ms_ = at_ms;
        kept_now_ = now;
        funds_kept_ = true;
    }

    // ---- transactions ----
    void begin();
    // Whether the transaction changed anything the store keeps (moving
    // evaluated_ms alone does not count).
    bool changed() const;
    // The rows to write for the transaction so far; into `out`, which
    // keeps its room from one transaction to the next.
    ChangeSet changes() const {
        ChangeSet c;
        changes(c);
        return c;
    }
    void changes(ChangeSet& out) const;
    // Symbols whose positions or orders the transaction touched.
    std::vector<std::size_t> touched_symbols() const;
    void rollback();
    void end();  // keeps what the transaction did

private:
    struct PositionWas {
        std::uint64_t ticket;
        bool existed;
        wire::TradePositionRecord record;
    };
    struct OrderWas {
        std::uint64_t ticket;
        bool existed;
        wire::TradeOrderRecord record;
    };

    std::size_t symbol_index(const std::u16string& name) const;
    SymbolBook& symbol_book(std::size_t index) { return symbols_[index]; }
    void drop_if_empty(std::size_t index);
    void index_position(const Position& p);
    void unindex_position(const Position& p);
    void index_order(const Order& o);
    void unindex_order(const Order& o);
    void set_position(const wire::TradePositionRecord& r);
    void remove_position(std::uint64_t ticket);
    void set_order(const wire::TradeOrderRecord& r);
    void remove_order(std::uint64_t ticket);

    std::uint64_t login_;
    const Catalogue& catalogue_;
    MoneyScale money_;
    std::int64_t balance_ = 0;
    std::uint64_t next_ticket_ = 1;
    std::int64_t evaluated_ms_ = 0;
    std::int64_t swap_total_ = 0;
    std::map<std::uint64_t, Position> positions_;
    std::map<std::uint64_t, Order> orders_;
    std::vector<wire::TradeOrderRecord> history_;
    std::vector<wire::TradeDealRecord> deals_;
    std::map<std::size_t, SymbolBook> symbols_;
    std::set<std::pair<std::int64_t, std::uint64_t>> expirations_;
    // See funds_at(): every change that moves a figure of the funds (the
    // balance, a position, an order) drops them.
    mutable bool funds_kept_ = false;
    mutable bool kept_now_ = false;
    mutable std::int64_t kept_at_ms_ = 0;
    mutable Funds kept_funds_{};

    // The open transaction: the undo log and the scalars at its start.
    bool in_transaction_ = false;
    std::vector<std::variant<PositionWas, OrderWas>> undo_;
    std::size_t history_at_ = 0, deals_at_ = 0;
    std::int64_t balance_at_ = 0, evaluated_at_ = 0;
    std::uint64_t ticket_at_ = 0;
};

}  // namespace qvn::terminal
