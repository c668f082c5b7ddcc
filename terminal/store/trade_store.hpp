// The trading database: every account's balance, positions, pending orders
// and history, in SQLite in the Terminal's data folder (mode 0600). A trade
// is one transaction, committed before the client hears of it; a Terminal
// killed at any moment restarts with each trade either whole or absent.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "terminal/store/database.hpp"
#include "terminal/trading/book.hpp"

namespace qvn::terminal {

class TradeStore {
public:
    // Opens or creates the database and its schema.
    bool open(std::u16string_view path, std::string& error);
    bool is_open() const noexcept { return db_.is_open(); }

    enum class Load { Found, Missing, Failed };
    // The account's stored state. Missing (a new account) and Failed (the
    // database could not be read) are kept apart, so a read error never
    // passes for a fresh account.
    Load load(std::uint64_t login, AccountBook& out);
    // Writes a draft of `book`'s account in one transaction.
    bool commit(const AccountBook& book, const Draft& draft);

private:
    std::mutex mutex_;  // one transaction at a time on the connection
    Database db_;
};

}  // namespace qvn::terminal
