// The trading store: every account's balance, open positions, pending
// orders and history, in SQLite (trading.db in the folder holding config/),
// one table per kind of record with a column per field. A trade's rows are
// committed (write-ahead log, full sync) before the client hears of it,
// in a transaction of their own or with those of concurrent trades (see
// group_commit.hpp); a Terminal killed at any moment restarts with each
// trade either whole or absent.
//
// The store persists wire records and the change sets that name them; it
// knows nothing of the trading rules.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/store/database.hpp"

namespace qvn::terminal {

// The account row.
struct StoredAccount {
    std::uint64_t login = 0;
    double balance = 0;
    std::uint64_t next_ticket = 1;  // orders, deals and positions share one sequence
    std::int64_t evaluated_ms = 0;  // the price process has been applied up to here
};

// Everything stored about one account.
struct StoredBook {
    StoredAccount account;
    std::vector<wire::TradePositionRecord> positions;   // ticket order
    std::vector<wire::TradeOrderRecord> orders;         // active pending orders, ticket order
    std::vector<wire::TradeOrderRecord> history_orders; // in the order they were done
    std::vector<wire::TradeDealRecord> deals;           // ticket order
};

// The rows one transaction writes: the account row, the open positions and
// orders it wrote or removed, and the history it appended. Nothing else is
// touched, so a trade costs the same whatever the account holds. A change
// set is complete in itself: change sets of different trades can be
// written in one SQLite transaction and synced once.
struct ChangeSet {
    StoredAccount account;
    std::vector<wire::TradePositionRecord> put_positions;
    std::vector<std::uint64_t> drop_positions;
    std::vector<wire::TradeOrderRecord> put_orders;
    std::vector<std::uint64_t> drop_orders;
    std::uint64_t history_seq = 0;  // place of the first appended history order in the account's history
    std::vector<wire::TradeOrderRecord> history_orders;
    std::vector<wire::TradeDealRecord> deals;
};

class TradeStore {
public:
    // The layout this release writes (PRAGMA user_version). Version 0 kept
    // each record as one blob; it is migrated on open.
    static constexpr int kSchemaVersion = 1;

    TradeStore();
    ~TradeStore();
    TradeStore(const TradeStore&) = delete;
    TradeStore& operator=(const TradeStore&) = delete;

    // Opens or creates `path` (which the caller has checked: a regular file
    // or nothing, in a folder only this user may change), bringing an older
    // layout up to date in one transaction.
    bool open(const std::string& path, std::string& error);
    bool is_open() const noexcept { return db_.is_open(); }

    enum class Load { Found, Missing, Failed };
    // The account's stored state. Missing (a new account) and Failed (the
    // database could not be read, or holds a value no record field can)
    // are kept apart, so a read error never passes for a fresh account.
    Load load(std::uint64_t login, StoredBook& out);
    // Writes the change sets in one transaction, synced once; false (and
    // nothing written) on failure.
    bool commit(std::span<const ChangeSet* const> group);
    bool commit(const ChangeSet& changes) {
        const ChangeSet* one = &changes;
        return commit({&one, 1});
    }
    // The latest evaluation time any account row records; empty for an
    // empty store, or when it cannot be read (`ok` false).
    std::optional<std::int64_t> last_activity(bool& ok);

    // For tests: the commit after the next `statements` row writes fails,
    // as a full disk would, once.
    void fail_commit_after(int statements) noexcept { fault_after_ = statements; }

private:
    struct Statements;
    bool migrate_blobs(std::string& error);
    bool step_write(Statement& st);
    bool write(const ChangeSet& changes);  // inside the caller's transaction

    std::mutex mutex_;  // one transaction at a time on the connection
    Database db_;
    std::unique_ptr<Statements> st_;  // prepared once, on open
    int fault_after_ = -1;
};

}  // namespace qvn::terminal
