// The paper-trading engine: market and pending orders, stops, close and
// close-by, swaps and stop-out, for hedging and netting accounts.
//
// Simulated time drives everything: before any request about an account
// the engine walks the price process from where it last stopped up to the
// market clock's "now", firing what the ticks trigger (pending orders, stop
// loss, take profit), expiring orders and charging swaps at each rollover,
// in time order. No background thread is needed and the outcome depends
// only on the clock, never on when clients happen to ask.
//
// Each account has its own lock, held for a whole request: trades on one
// account are serialized and a reader never sees half of one. Every change
// is committed to the store before the request is answered; a request
// costs the same whatever the account holds (see book.hpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "protocol/wire.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/market/quotes.hpp"
#include "terminal/market/watch.hpp"
#include "terminal/store/accounts.hpp"
#include "terminal/store/trade_store.hpp"
#include "terminal/trading/accounting.hpp"
#include "terminal/trading/book.hpp"
#include "terminal/trading/executor.hpp"
#include "terminal/trading/moment.hpp"

namespace qvn::terminal {

// An account's funds at one moment, as account_info reports them.
struct Figures {
    double balance = 0;
    double credit = 0;
    double profit = 0;  // floating profit and swaps of open positions
    double equity = 0;
    double margin = 0;
    double margin_free = 0;
    double margin_level = 0;  // percent; 0 without margin
};

class Trading {
    struct Slot;

public:
    Trading(Market& market, const Catalogue& catalogue, QuoteBoard& quotes, MarketWatch& watch, TradeStore& store);
    Trading(const Trading&) = delete;
    Trading& operator=(const Trading&) = delete;
    ~Trading();

    // One request's hold on an account: its lock and its book, brought up
    // to `now_ms`. `ok()` is false when the store failed.
    class Session {
    public:
        bool ok() const noexcept { return slot_ != nullptr; }
        const AccountBook& book() const noexcept;
        // Gives the account back before the session ends.
        void release();

    private:
        friend class Trading;
        std::unique_lock<std::mutex> lock_;
        Slot* slot_ = nullptr;
        const Account* account_ = nullptr;
        std::unique_ptr<MarketMoment> now_;
        std::unique_ptr<Accounting> accounting_;
    };

    Session begin(const Account& account, std::int64_t now_ms);

    Figures figures(const Session& s);
    // The records with the current price (and a position's profit) filled in.
    wire::TradePositionRecord position_now(const Session& s, const Position& p);
    wire::TradeOrderRecord order_now(const Session& s, const Order& o);

    wire::TradeCheckResultRecord check(Session& s, const wire::TradeRequestRecord& req);
    wire::TradeSendResultRecord send(Session& s, const wire::TradeRequestRecord& req);

private:
    bool load(Slot& slot, const Account& account, std::int64_t now_ms);
    // Commits the book's open transaction; rolls it back when the store fails.
    bool commit(Slot& slot);
    void update_watch(Slot& slot, const std::vector<std::size_t>& symbols);

    Market& market_;
    const Catalogue& catalogue_;
    QuoteBoard& quotes_;
    MarketWatch& watch_;
    TradeStore& store_;
    const Venue venue_;
    std::mutex slots_mutex_;
    std::map<std::uint64_t, std::unique_ptr<Slot>> slots_;
    std::uint32_t request_id_ = 0;  // under slots_mutex_
};

// The comment that goes with a trade return code.
std::u16string_view retcode_comment(TradeRetcode code) noexcept;

}  // namespace qvn::terminal
