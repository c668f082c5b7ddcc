// The trading store's rows kept in memory, for a store that is never a
// file (TradeStore::open_in_memory): the tables, keys and rules of the
// SQLite store, held as the wire records themselves, so a commit costs a
// few look-ups rather than SQLite's statements.
//
// What the SQLite store does, this does alike: a commit writes its change
// sets in the order given, each as the same sequence of row writes (the
// account row, positions put and dropped, orders put and dropped, history
// orders, deals); a history order or deal whose ticket the account already
// has fails the whole commit, which then changes nothing; an account is
// loaded with its positions, orders and deals in ticket order and its
// history in (seq, ticket) order. Every record reads back as the bytes
// committed.
//
// Not locked: the owning TradeStore holds its lock around every call.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "protocol/wire.hpp"

namespace qvn::terminal {

struct ChangeSet;
struct StoredBook;

class MemoryRows {
public:
    // Why a commit failed.
    enum class Refusal { None, Injected, Conflict };

    // Writes the change sets, all or nothing. `fault_after` counts down row
    // writes as TradeStore::fail_commit_after asks: the write it reaches 0
    // at fails the commit (Injected) and it becomes -1. A conflict sets
    // `what` to the row that clashed.
    Refusal commit(std::span<const ChangeSet* const> group, int& fault_after, std::string& what);
    // False for an account with no rows (a new one).
    bool load(std::uint64_t login, StoredBook& out) const;
    std::optional<std::int64_t> last_activity() const;

private:
    struct HistoryRow {
        std::uint64_t seq;
        wire::TradeOrderRecord record;
    };
    struct Account {
        double balance = 0;
        std::uint64_t next_ticket = 1;
        std::int64_t evaluated_ms = 0;
        std::map<std::uint64_t, wire::TradePositionRecord> positions;  // by ticket
        std::map<std::uint64_t, wire::TradeOrderRecord> orders;
        std::map<std::uint64_t, HistoryRow> history;
        std::map<std::uint64_t, wire::TradeDealRecord> deals;
    };

    // A history order or deal a commit adds, with the place of its row
    // write among the commit's writes.
    struct Added {
        bool deal;
        std::uint64_t login;
        std::uint64_t ticket;
        std::size_t write;
    };

    std::map<std::uint64_t, Account> accounts_;  // by login
    std::vector<Added> added_;  // a commit's, kept for its room
};

}  // namespace qvn::terminal
