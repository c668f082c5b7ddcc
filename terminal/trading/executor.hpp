// One transaction's work on an account's book: the requests, the fills and
// closes they make, and the catch-up walk of the price process. Everything
// a request or the price process does goes through here, so order_check
// validates exactly what order_send executes. The book logs each change;
// the caller commits or rolls back.
//
// The work is split by concern: request checks (checks.cpp), the six
// actions (actions.cpp), fills and closes (fills.cpp), the walk and its
// triggers (walk.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/wire.hpp"
#include "terminal/enums.hpp"
#include "terminal/market/catalogue.hpp"
#include "terminal/store/accounts.hpp"
#include "terminal/trading/accounting.hpp"
#include "terminal/trading/book.hpp"
#include "terminal/trading/moment.hpp"

namespace qvn::terminal {

// The longest stretch of simulated time walked in one go; a Terminal that
// comes back after a longer pause applies only the most recent part.
inline constexpr std::int64_t kMaxWalkMs = 31 * kMsPerDay;

// What the engine works with besides the account: the market and its
// catalogue, and where walks count the ticks they read (none when null).
struct Venue {
    Market& market;
    const Catalogue& catalogue;
    QuoteBoard& quotes;
    std::atomic<std::uint64_t>* ticks_walked = nullptr;
};

// The result of one request.
struct Outcome {
    TradeRetcode code = TradeRetcode::Done;
    std::uint64_t deal = 0;
    std::uint64_t order = 0;
    double volume = 0;
    double price = 0;
};

class Executor {
public:
    // `now` is the market at the request's moment.
    Executor(const Venue& venue, const Account& account, AccountBook& book, MarketMoment& now);

    Outcome execute(const wire::TradeRequestRecord& req);
    // The symbol the last request concerned (its quote goes into the
    // result), nullptr when it got no further than that.
    const CatalogueEntry* concerned() const noexcept { return concerned_; }

    // Applies the price process from `from_ms` to the moment's time, then
    // the stop-out.
    void walk(std::int64_t from_ms);
    // Opens an account: its first deal, the opening balance.
    void deposit(double amount);

    Funds funds() const { return accounting_.funds(book_, now_); }
    const Accounting& accounting() const noexcept { return accounting_; }

private:
    // ---- checks.cpp ----
    // A symbol a request acts on, found in the catalogue with its market
    // open and quoted.
    struct Located {
        TradeRetcode code = TradeRetcode::Done;
        const CatalogueEntry* entry = nullptr;
        const Instrument* ins = nullptr;
        Quote quote;
    };
    Located locate(std::u16string_view name);
    TradeRetcode check_volume(const Instrument& ins, double volume, std::int64_t& units) const;
    // A price on the symbol's tick grid, within reach: its points.
    std::optional<std::int64_t> on_grid(const Instrument& ins, double price, const Quote& q) const;
    TradeRetcode grid_stops(const Instrument& ins, double sl, double tp, const Quote& q, std::int64_t& sl_points,
                            std::int64_t& tp_points) const;
    TradeRetcode check_stops(const Instrument& ins, bool buy, std::int64_t ref_bid, std::int64_t ref_ask,
                             std::int64_t sl, std::int64_t tp) const;
    TradeRetcode check_pending_price(const Instrument& ins, std::uint32_t type, std::int64_t price,
                                     std::int64_t stoplimit, const Quote& q) const;
    TradeRetcode expiration_of(const wire::TradeRequestRecord& req, std::int64_t& out_s) const;

    // ---- actions.cpp ----
    Outcome deal(const wire::TradeRequestRecord& req);
    Outcome pending(const wire::TradeRequestRecord& req);
    Outcome sltp(const wire::TradeRequestRecord& req);
    Outcome modify(const wire::TradeRequestRecord& req);
    Outcome remove(const wire::TradeRequestRecord& req);
    Outcome close_by(const wire::TradeRequestRecord& req);

    // ---- fills.cpp ----
    std::int64_t now_ms() const noexcept { return at_->time_ms(); }
    wire::TradeOrderRecord make_order(const CatalogueEntry& e, std::uint32_t type, double volume, double price,
                                      OrderReason reason, std::uint64_t magic, std::u16string_view comment);
    void finish_order(wire::TradeOrderRecord o, OrderState state, std::uint64_t position,
                      std::uint64_t position_by, double price_current);
    struct DealMoney {
        std::int64_t profit = 0;
        std::int64_t swap = 0;
    };
    std::uint64_t add_deal(const CatalogueEntry& e, bool buy, DealEntry entry, std::int64_t volume, double price,
                           std::uint64_t order, std::uint64_t position, DealReason reason, std::uint64_t magic,
                           std::u16string_view comment, DealMoney money);
    // Closes `volume` of a position at `price` points with a deal whose
    // profit is taken at `profit_price` points; the position goes when
    // nothing is left, and its swap goes with the closed share.
    std::uint64_t close_part(std::uint64_t ticket, std::int64_t volume, std::int64_t price, std::uint64_t order,
                             DealReason reason, DealEntry entry, std::u16string_view comment,
                             std::int64_t profit_price);
    // Fills an order record: opens a position, or (netting) adds to, reduces
    // or reverses the symbol's position, or closes `close_position`.
    std::uint64_t fill(const CatalogueEntry& e, bool buy, std::int64_t volume, std::int64_t price,
                       const wire::TradeOrderRecord& o, std::uint64_t close_position);
    // Closes a whole position at the moment's price with a new order (stops
    // and stop-out).
    void close_out(std::uint64_t ticket, std::int64_t price, OrderReason order_reason, DealReason deal_reason,
                   std::u16string_view comment);

    // ---- walk.cpp ----
    void trigger_order(std::uint64_t ticket, const Quote& tick);
    void expire(std::int64_t at_ms);
    void charge_swaps(std::int64_t boundary_ms);
    void stop_out();

    const Venue& venue_;
    const Account& account_;
    AccountBook& book_;
    MarketMoment& now_;
    MarketMoment* at_;  // the moment being worked on: now, or an event's
    Accounting accounting_;
    const CatalogueEntry* concerned_ = nullptr;
};

// Whether a request's symbol and comment fields hold a text of at most 29
// units (the module's limit) and nothing but zero units after it: anything
// after a zero unit, or past the limit, is text the caller gave and the
// records would lose.
bool names_well_formed(const wire::TradeRequestRecord& req);

// The account currency as the symbol table spells it (ASCII).
std::string currency_code(std::u16string_view currency);

}  // namespace qvn::terminal
