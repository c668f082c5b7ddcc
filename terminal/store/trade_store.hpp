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
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/store/database.hpp"
#include "terminal/store/memory_rows.hpp"
#include "terminal/store/store_fault.hpp"

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
    // layout up to date in one transaction, then checks what it holds (see
    // store_check.hpp): false with `error` naming the file and the damage.
    // Without `sync` no commit waits for the disk: a crash of the machine
    // (not of the Terminal) may then lose or damage what was committed.
    bool open(const std::string& path, std::string& error, bool sync = true);
    // Opens a new, empty store kept in memory (memory_rows.hpp), not in
    // SQLite: nothing is written to a file, nothing outlives the store,
    // and a commit is a few look-ups. Messages name it ":memory:".
    void open_in_memory();
    bool is_open() const noexcept { return db_.is_open() || memory_ != nullptr; }
    bool in_memory() const noexcept { return memory_ != nullptr; }

    // Failures at run time: each sets `why` (when given) to what went
    // wrong and is written to stderr, naming the store, unless the same
    // failure was written since the last commit that worked.

    enum class Load { Found, Missing, Failed };
    // The account's stored state. Missing (a new account) and Failed (the
    // database could not be read, or holds a value no record field can)
    // are kept apart, so a read error never passes for a fresh account;
    // nor do rows of an account whose accounts row has gone (Failed).
    Load load(std::uint64_t login, StoredBook& out, StoreFault* why = nullptr);
    // Writes the change sets in one transaction, synced once; false (and
    // nothing written) on failure. A history order or deal is only ever
    // added: one whose ticket is already stored fails the commit.
    bool commit(std::span<const ChangeSet* const> group, StoreFault* why = nullptr);
    bool commit(const ChangeSet& changes, StoreFault* why = nullptr) {
        const ChangeSet* one = &changes;
        return commit({&one, 1}, why);
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
    bool commit_in_memory(std::span<const ChangeSet* const> group, StoreFault* why);
    bool step_write(Statement& st);
    bool write(const ChangeSet& changes);  // inside the caller's transaction
    // Records a failure (under mutex_): `what` says what failed; SQLite's
    // message follows unless the failure was not SQLite's.
    StoreFault fail(std::string_view what, StoreFault* why, StoreFault fault = StoreFault::None,
                    std::string_view detail = {});

    std::mutex mutex_;  // one transaction at a time on the connection
    Database db_;
    std::unique_ptr<Statements> st_;  // prepared once, on open
    std::string path_;
    std::unique_ptr<MemoryRows> memory_;  // instead of db_, for a store in memory
    std::set<std::string> reported_;  // faults written to stderr since the last commit that worked
    int fault_after_ = -1;
    bool injected_ = false;  // the failing write was fail_commit_after's
};

}  // namespace qvn::terminal
