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
// Each account has its own lock, held while a request works on its book:
// trades on one account are applied one after the other and a reader never
// sees half of one. A trade's changes are committed to the store (together
// with those of concurrent trades, see store/group_commit.hpp) before it is
// answered, and only what is on disk is shown: a reader waits until the
// account's last change is durable before it looks. A trade may build on
// the changes of an earlier one while their group is still gathering; a
// group that fails takes all its trades back (the account's book is loaded
// again from the store, which never saw them). A store in memory takes
// each change set alone, at once, under the account's lock (nothing to
// wait for); a trade after a walk that store refused is refused too. A
// request costs the same whatever the account holds (see book.hpp).
//
// A catch-up walk that cannot be stored is no reason to refuse a reader:
// the walk is a function of the stored account and the clock, so the reader
// is shown it done again in memory, and the next request starts again from
// the store (storing the walk once the store takes it). A trade is refused
// with STORAGE, its comment telling what failed.
#pragma once

#include <atomic>
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
#include "terminal/store/group_commit.hpp"
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

// Writes the funds a reply record reports (account_info, order_check).
template <class Record>
void put_figures(Record& r, const Figures& f) noexcept {
    r.balance = f.balance;
    r.profit = f.profit;
    r.equity = f.equity;
    r.margin = f.margin;
    r.margin_free = f.margin_free;
    r.margin_level = f.margin_level;
}

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
        // Held in place: a session is opened for every request and step.
        // The moment only caches the quotes it prices, also for a session
        // read through a const reference.
        mutable std::optional<MarketMoment> now_;
        std::optional<Accounting> accounting_;
        GroupCommit::Arrival arrival_;  // a trade's, until it joins a group
        GroupCommit::Ticket walked_;    // the catch-up walk's change set, if it made one
        StoreFault fault_ = StoreFault::None;  // why the store failed
    };

    // A session that reads: the book as it is on disk.
    Session begin(const Account& account, std::int64_t now_ms) { return open(account, now_ms, false); }
    // A session keeps the account it was given: never a temporary.
    Session begin(Account&&, std::int64_t) = delete;
    // A session for send(): the book may hold trades whose group is still
    // gathering, which this trade then joins.
    Session begin_trade(const Account& account, std::int64_t now_ms) { return open(account, now_ms, true); }
    Session begin_trade(Account&&, std::int64_t) = delete;

    Figures figures(const Session& s);
    // The records with the current price (and a position's profit) filled in.
    wire::TradePositionRecord position_now(const Session& s, const Position& p);
    wire::TradeOrderRecord order_now(const Session& s, const Order& o);

    wire::TradeCheckResultRecord check(Session& s, const wire::TradeRequestRecord& req);
    // Executes the request and waits until what it did is on disk; gives
    // the account back first. STORAGE when the store failed (a session that
    // is not ok, a group that could not be committed), nothing done.
    wire::TradeSendResultRecord send(Session& s, const wire::TradeRequestRecord& req);

    // For tests: change sets waiting in the open group.
    std::size_t gathering() { return group_.gathering(); }
    // For tests: quote ticks the catch-up walks have read (counted, not
    // timed: what a walk skips is work it does not do).
    std::uint64_t ticks_walked() const noexcept { return ticks_walked_.load(std::memory_order_relaxed); }

private:
    Session open(const Account& account, std::int64_t now_ms, bool trade);
    // Brings the account's newest change set to an end, waiting without
    // holding the account: until it is durable, or, for a trade, until its
    // group no longer gathers. A failed group's book is dropped.
    void settle(Slot& slot, std::unique_lock<std::mutex>& lock, bool trade);
    bool load(Slot& slot, const Account& account, std::int64_t now_ms, StoreFault& why);
    // Hands the book's open transaction to the open group and ends it.
    GroupCommit::Ticket join(Slot& slot, GroupCommit::Arrival* arrival);
    void update_watch(Slot& slot, const std::vector<std::size_t>& symbols);

    Market& market_;
    const Catalogue& catalogue_;
    QuoteBoard& quotes_;
    MarketWatch& watch_;
    TradeStore& store_;
    GroupCommit group_;
    std::atomic<std::uint64_t> ticks_walked_{0};
    const Venue venue_;
    std::mutex slots_mutex_;
    std::map<std::uint64_t, std::unique_ptr<Slot>> slots_;
    std::uint32_t request_id_ = 0;  // under slots_mutex_
};

// The comment that goes with a trade return code.
std::u16string_view retcode_comment(TradeRetcode code) noexcept;

}  // namespace qvn::terminal
