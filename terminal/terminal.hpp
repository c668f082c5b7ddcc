// The Terminal's shared state and its request dispatch: one call of
// `handle` takes one request body and writes exactly one response frame.
// Client threads call it concurrently; the account state has its own lock,
// the market its own caches.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "terminal/store/accounts.hpp"
#include "terminal/enums.hpp"
#include "terminal/wire/frame.hpp"
#include "terminal/store/installation.hpp"
#include "terminal/market/bars.hpp"
#include "terminal/market/calc.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/market/market.hpp"
#include "terminal/market/quotes.hpp"
#include "terminal/market/watch.hpp"
#include "terminal/config/settings.hpp"
#include "terminal/store/trade_store.hpp"
#include "terminal/trading/engine.hpp"

namespace qvn::terminal {

inline constexpr std::uint32_t kVersionMajor = 5;
inline constexpr std::u16string_view kReleaseDate = u"14 Jun 2024";
inline constexpr std::u16string_view kCompanyName = u"Belvastor Software";
inline constexpr std::u16string_view kProductName = u"Quorvane Terminal";
// The Terminal's own commands, outside the module's protocol: move a stepped
// market clock (see commands/clock.cpp), and move it answering what a
// backtest needs after the move (wire::kStepCommand, commands/step.cpp).
inline constexpr std::uint32_t kClockCommand = 900;
// Ticks ahead of a stepped clock, for a tick backtest's driver (commands/ahead.cpp).
inline constexpr std::uint32_t kTicksAheadCommand = 902;

class Terminal;

// What one client connection holds in the Terminal. The connection owns it;
// destroying it ends the client's Depth of Market subscriptions.
class ClientState {
public:
    explicit ClientState(Terminal& terminal);
    ClientState(const ClientState&) = delete;
    ClientState& operator=(const ClientState&) = delete;

    BookSubscriptions books;
};

class Terminal {
public:
    // `store` is the trading store, opened by the caller (trading commands
    // answer kFailed while it is not open).
    Terminal(Settings settings, Installation installation, std::vector<Account> accounts, AccountHistory history,
             Market& market, TradeStore& store);

    // `body` is the request after its length field: command code, arguments.
    // False when the response could not be written (the client is gone).
    bool handle(std::span<const std::byte> body, Exchange& ex, ClientState& client);

    ReadyState ready_state() const;
    const Settings& settings() const noexcept { return settings_; }
    Market& market() noexcept { return market_; }
    const Catalogue& catalogue() const noexcept { return catalogue_; }
    MarketWatch& market_watch() noexcept { return watch_; }
    // The largest record count one response may carry.
    std::uint64_t max_records() const noexcept;

    // Account state; the result is a wire result code.
    std::int32_t login(std::uint64_t login, std::u16string_view password, std::u16string_view server);
    // The account logged in to; the accounts are fixed for the Terminal's
    // life, so the reference stays valid after another login.
    const Account& current_account() const;
    // False while no account is logged in to (see the constructor).
    bool logged_in() const;
    // A symbol name from a request: kSuccess with `index` set, kInvalidParams
    // for a name longer than any client may send, kNotFound for one the
    // catalogue lacks.
    std::int32_t symbol_index(std::u16string_view name, std::size_t& index) const;
    // The current account's currency code (ASCII, as the symbol table's).
    std::string account_currency() const;

    // Whether programs may trade: order_send answers kAutoTradingDisabled
    // otherwise.
    bool auto_trading() const noexcept { return settings_.trade_allowed && !settings_.tradeapi_disabled; }

private:
    bool on_version(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_handshake(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_login(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_ready(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_terminal_info(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_account_info(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_ticks_from(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_ticks_range(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_rates_from(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_rates_range(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_rates_from_pos(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_symbol_info(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_symbol_select(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_symbol_info_tick(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_symbols_total(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_symbols_get(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_symbols_get_group(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_calc_margin(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_calc_profit(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_positions(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_orders(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_history_orders(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_history_deals(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    // The list commands of positions, orders and the trade history (see
    // commands/trade.cpp).
    template <class Record, class Collect>
    bool reply_trade_list(std::uint32_t cmd, RequestReader& in, Exchange& ex, Collect&& collect);
    bool on_order_check(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_order_send(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_book_add(std::uint32_t cmd, RequestReader& in, Exchange& ex, ClientState& client);
    bool on_book_release(std::uint32_t cmd, RequestReader& in, Exchange& ex, ClientState& client);
    bool on_book_get(std::uint32_t cmd, RequestReader& in, Exchange& ex, ClientState& client);
    bool on_clock(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_step(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    bool on_ticks_ahead(std::uint32_t cmd, RequestReader& in, Exchange& ex);
    // The stepped clock's shared steps (commands/clock.cpp). A request's
    // u32 n and n symbol names; false when malformed (a count beyond the
    // frame takes nothing: each name needs its own count's bytes).
    static bool read_names(RequestReader& in, std::vector<std::u16string>& names);
    // The sources of the symbols named, in their order: kSuccess, or the
    // code to answer.
    std::int32_t clock_sources(const std::vector<std::u16string>& names,
                               std::vector<const PriceSource*>& out) const;
    // The first tick strictly after `now_ms` among `sources` (every
    // catalogue symbol's when empty), or -1.
    std::int64_t next_tick(const std::vector<const PriceSource*>& sources, std::int64_t now_ms) const;
    // Moves the stepped clock forward to `target_ms`, walking the current
    // account along; the caller holds step_mutex_. False when the store
    // failed: the clock then stands where that walk was to end. `after`,
    // when the clock moved, receives the account's funds at the target.
    bool advance_clock(std::int64_t target_ms, Figures* after);

    // Streams the symbols at `indices` of the catalogue as full records.
    bool stream_symbols(std::uint32_t cmd, const std::vector<std::uint32_t>* indices, Exchange& ex);
    // Quotes of the catalogue's currency pairs at the market clock.
    Rates rates(std::int64_t now_ms);
    // Whether the build serves the full catalogue (count, lists, long records).
    bool serves_catalogue() const noexcept { return settings_.build >= wire::kCatalogueBuild; }

    void save_history_locked();

    const Settings settings_;
    const Installation installation_;
    const std::vector<Account> accounts_;
    Market& market_;
    const Catalogue catalogue_;
    QuoteBoard quotes_;
    MarketWatch watch_;
    Trading trading_;
    const std::chrono::steady_clock::time_point started_;

    std::mutex step_mutex_;  // one clock move at a time
    // The next tick the last step answered, which the next step, starting
    // where that one ended, asks for again; held under step_mutex_.
    struct NextTick {
        std::vector<const PriceSource*> sources;
        std::int64_t after_ms = -1;
        std::int64_t next_ms = -1;
    } last_next_;
    // The lists a step works with, kept from one step to the next (a
    // backtest steps hundreds of thousands of times, with the same names);
    // held under step_mutex_.
    struct StepLists {
        std::vector<std::u16string> names;
        std::vector<const PriceSource*> sources;
        std::vector<BarPlan> plans;
        std::vector<wire::BarRecord> scratch;
    } step_lists_;

    mutable std::mutex account_mutex_;
    std::size_t current_ = 0;       // index into accounts_
    bool logged_in_ = false;        // false until an account is logged in to
    AccountHistory history_;
};

}  // namespace qvn::terminal
