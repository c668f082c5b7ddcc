// One account's trading state: balance, open positions, pending orders and
// the history of orders and deals. Positions, orders and deals are kept in
// their wire records, which are also what the database stores, so a record
// a client reads is the record that was committed.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/wire.hpp"

namespace qvn::terminal {

struct AccountBook {
    std::uint64_t login = 0;
    double balance = 0;
    std::uint64_t next_ticket = 1;   // orders, deals and positions share one sequence
    std::int64_t evaluated_ms = 0;   // the price process has been applied up to here
    std::vector<wire::TradePositionRecord> positions;
    std::vector<wire::TradeOrderRecord> orders;          // active pending orders
    std::vector<wire::TradeOrderRecord> history_orders;  // in the order they were done
    std::vector<wire::TradeDealRecord> deals;            // in the order they were made
};

// The changes of one transaction, made on copies: nothing reaches the book
// until the database has committed them.
struct Draft {
    double balance = 0;
    std::uint64_t next_ticket = 1;
    std::int64_t evaluated_ms = 0;
    std::vector<wire::TradePositionRecord> positions;
    std::vector<wire::TradeOrderRecord> orders;
    std::vector<wire::TradeOrderRecord> new_history_orders;
    std::vector<wire::TradeDealRecord> new_deals;

    explicit Draft(const AccountBook& book)
        : balance(book.balance),
          next_ticket(book.next_ticket),
          evaluated_ms(book.evaluated_ms),
          positions(book.positions),
          orders(book.orders) {}

    std::uint64_t ticket() noexcept {
        dirty = true;
        return next_ticket++;
    }
    bool dirty = false;  // something changed that must be committed

    // Makes the committed draft the book's state.
    void apply_to(AccountBook& book) && {
        book.balance = balance;
        book.next_ticket = next_ticket;
        book.evaluated_ms = evaluated_ms;
        book.positions = std::move(positions);
        book.orders = std::move(orders);
        book.history_orders.insert(book.history_orders.end(), new_history_orders.begin(), new_history_orders.end());
        book.deals.insert(book.deals.end(), new_deals.begin(), new_deals.end());
    }
};

}  // namespace qvn::terminal
