// Market Watch: the Terminal-wide set of selected symbols, and the Depth of
// Market subscriptions that keep symbols in it. Every client shares one
// Market Watch; each connection holds its own book subscriptions in a
// BookSubscriptions object, which gives them back when the connection ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "terminal/market/catalogue.hpp"

namespace qvn::terminal {

class MarketWatch {
public:
    // Selects the default set: the major pairs, gold, the US 500 index and
    // bitcoin.
    explicit MarketWatch(const Catalogue& catalogue);
    MarketWatch(const MarketWatch&) = delete;
    MarketWatch& operator=(const MarketWatch&) = delete;

    bool selected(std::size_t symbol) const;
    // A snapshot of the selection, by catalogue index.
    std::vector<std::uint8_t> selection() const;

    void select(std::size_t symbol);
    // Wire result code: kSuccess, or kFailed while the symbol is in use.
    std::int32_t deselect(std::size_t symbol);

    // Counted subscriptions of all clients; a subscription selects its
    // symbol.
    void add_book(std::size_t symbol);
    void release_book(std::size_t symbol);

    // Counted uses by open positions and pending orders of any account; a
    // use selects its symbol and keeps it selected.
    void add_trade_use(std::size_t symbol);
    void release_trade_use(std::size_t symbol);

private:
    // Whether anything keeps the symbol in Market Watch: a book
    // subscription, an open position or a pending order.
    bool in_use_locked(std::size_t symbol) const;
    // Counts one more use in `uses` (books_ or trades_), which selects the
    // symbol; and one less, never below none.
    void add_use(std::vector<std::uint32_t>& uses, std::size_t symbol);
    void release_use(std::vector<std::uint32_t>& uses, std::size_t symbol);

    mutable std::mutex mutex_;
    std::vector<std::uint8_t> selected_;   // by catalogue index
    std::vector<std::uint32_t> books_;     // subscriptions, by catalogue index
    std::vector<std::uint32_t> trades_;    // positions and orders, by catalogue index
};

// The book subscriptions of one client connection. Destroying it releases
// every subscription it still holds.
class BookSubscriptions {
public:
    explicit BookSubscriptions(MarketWatch& watch) : watch_(watch) {}
    ~BookSubscriptions();
    BookSubscriptions(const BookSubscriptions&) = delete;
    BookSubscriptions& operator=(const BookSubscriptions&) = delete;

    // Adding a held subscription again changes nothing.
    void add(std::size_t symbol);
    // False when this client holds no subscription to the symbol.
    bool release(std::size_t symbol);
    bool holds(std::size_t symbol) const;

private:
    MarketWatch& watch_;
    std::unordered_set<std::size_t> symbols_;  // catalogue indices
};

}  // namespace qvn::terminal
