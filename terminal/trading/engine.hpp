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
// is committed to the database before the request is answered.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/wire.hpp"
#include "terminal/market/calc.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/market/quotes.hpp"
#include "terminal/market/watch.hpp"
#include "terminal/store/accounts.hpp"
#include "terminal/store/trade_store.hpp"
#include "terminal/trading/book.hpp"

namespace qvn::terminal {

// Commission charged on every deal, per lot, in the account currency.
inline constexpr double kCommissionPerLot = 2.5;
// Margin level (equity / margin, percent) of the margin call and stop-out.
inline constexpr double kMarginCallLevel = 100.0;
inline constexpr double kStopOutLevel = 50.0;

// An account's funds at one moment.
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
public:
    using RatesAt = std::function<Rates(std::int64_t now_ms)>;

    Trading(Market& market, const Catalogue& catalogue, QuoteBoard& quotes, MarketWatch& watch, TradeStore& store,
            RatesAt rates);
    Trading(const Trading&) = delete;
    Trading& operator=(const Trading&) = delete;

    // One request's hold on an account: its lock and its book, brought up
    // to `now_ms`. `ok()` is false when the database failed.
    class Session {
    public:
        bool ok() const noexcept { return book_ != nullptr; }
        const AccountBook& book() const noexcept { return *book_; }
        // Gives the account back before the session ends.
        void release() {
            book_ = nullptr;
            if (lock_.owns_lock()) lock_.unlock();
        }

    private:
        friend class Trading;
        std::unique_lock<std::mutex> lock_;
        AccountBook* book_ = nullptr;
        const Account* account_ = nullptr;
        std::string currency_;
        std::int64_t now_ms_ = 0;
        std::optional<Rates> rates_;
    };

    Session begin(const Account& account, std::int64_t now_ms);

    Figures figures(const Session& s);
    // The records with the current price (and a position's profit) filled in.
    wire::TradePositionRecord position_now(const Session& s, const wire::TradePositionRecord& p);
    wire::TradeOrderRecord order_now(const Session& s, const wire::TradeOrderRecord& o);

    wire::TradeCheckResultRecord check(Session& s, const wire::TradeRequestRecord& req);
    wire::TradeSendResultRecord send(Session& s, const wire::TradeRequestRecord& req);

private:
    struct Slot {
        std::mutex mutex;
        bool loaded = false;
        AccountBook book;
        std::vector<std::size_t> used_symbols;  // held in Market Watch by this account
    };
    friend class Executor;

    bool load(Slot& slot, const Account& account, std::int64_t now_ms);
    bool commit(Slot& slot, Draft&& draft);
    void update_watch(Slot& slot);

    Market& market_;
    const Catalogue& catalogue_;
    QuoteBoard& quotes_;
    MarketWatch& watch_;
    TradeStore& store_;
    RatesAt rates_;
    std::mutex slots_mutex_;
    std::map<std::uint64_t, std::unique_ptr<Slot>> slots_;
    std::uint32_t request_id_ = 0;  // under slots_mutex_
};

// The comment that goes with a trade return code.
std::u16string_view retcode_comment(TradeRetcode code) noexcept;

}  // namespace qvn::terminal
