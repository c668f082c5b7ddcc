#include "terminal/store/trade_store.hpp"

#include <cstring>
#include <span>

#include "protocol/text.hpp"
#include "terminal/store/files.hpp"

namespace qvn::terminal {
namespace {

// Records are stored whole, as blobs of their wire layout, beside the
// columns queries select by.
constexpr std::string_view kSchema = R"(
CREATE TABLE IF NOT EXISTS accounts (
    login INTEGER PRIMARY KEY,
    balance REAL NOT NULL,
    next_ticket INTEGER NOT NULL,
    evaluated_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS positions (
    login INTEGER NOT NULL, ticket INTEGER NOT NULL, record BLOB NOT NULL,
    PRIMARY KEY (login, ticket)
);
CREATE TABLE IF NOT EXISTS orders (
    login INTEGER NOT NULL, ticket INTEGER NOT NULL, record BLOB NOT NULL,
    PRIMARY KEY (login, ticket)
);
CREATE TABLE IF NOT EXISTS history_orders (
    login INTEGER NOT NULL, ticket INTEGER NOT NULL, seq INTEGER NOT NULL, record BLOB NOT NULL,
    PRIMARY KEY (login, ticket)
);
CREATE TABLE IF NOT EXISTS deals (
    login INTEGER NOT NULL, ticket INTEGER NOT NULL, record BLOB NOT NULL,
    PRIMARY KEY (login, ticket)
);
)";

template <class Record>
std::span<const std::byte> bytes_of(const Record& r) {
    return {reinterpret_cast<const std::byte*>(&r), sizeof r};
}

// Reads every record of a table for one account, in ticket order (or the
// order column given). A blob of the wrong size means a damaged database.
template <class Record>
bool load_records(Database& db, std::string_view sql, std::uint64_t login, std::vector<Record>& out) {
    Statement st(db, sql);
    if (!st.bind(1, login)) return false;
    while (st.step()) {
        const auto blob = st.blob(0);
        if (blob.size() != sizeof(Record)) return false;
        Record r;
        std::memcpy(&r, blob.data(), sizeof r);
        out.push_back(r);
    }
    return !st.failed();
}

template <class Record>
bool insert_records(Statement& st, std::uint64_t login, const std::vector<Record>& records) {
    for (const Record& r : records) {
        const std::uint64_t ticket = r.ticket;
        if (!st.bind(1, login) || !st.bind(2, ticket) || !st.bind_blob(3, bytes_of(r)) || !st.run()) return false;
    }
    return true;
}

}  // namespace

bool TradeStore::open(std::u16string_view path, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!make_private_file(path)) {
        error = "cannot create " + protocol::utf16_to_utf8(path);
        return false;
    }
    if (!db_.open(protocol::utf16_to_path(path))) {
        error = "cannot open the trading database: " + db_.error();
        return false;
    }
    // WAL keeps readers off the writer's back; FULL syncs every commit, so
    // an acknowledged trade survives a crash of the machine as well.
    if (!db_.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") || !db_.exec(kSchema)) {
        error = "cannot prepare the trading database: " + db_.error();
        return false;
    }
    return true;
}

TradeStore::Load TradeStore::load(std::uint64_t login, AccountBook& out) {
    std::lock_guard lock(mutex_);
    // One transaction: a snapshot, never half of a commit.
    Transaction tx(db_);
    if (!tx.active()) return Load::Failed;
    Statement st(db_, "SELECT balance, next_ticket, evaluated_ms FROM accounts WHERE login = ?");
    if (!st.bind(1, login)) return Load::Failed;
    if (!st.step()) return st.failed() ? Load::Failed : Load::Missing;
    out = AccountBook{};
    out.login = login;
    out.balance = st.real(0);
    out.next_ticket = static_cast<std::uint64_t>(st.int64(1));
    out.evaluated_ms = st.int64(2);
    const bool ok =
        load_records(db_, "SELECT record FROM positions WHERE login = ? ORDER BY ticket", login, out.positions) &&
        load_records(db_, "SELECT record FROM orders WHERE login = ? ORDER BY ticket", login, out.orders) &&
        load_records(db_, "SELECT record FROM history_orders WHERE login = ? ORDER BY seq", login,
                     out.history_orders) &&
        load_records(db_, "SELECT record FROM deals WHERE login = ? ORDER BY ticket", login, out.deals);
    return ok ? Load::Found : Load::Failed;
}

bool TradeStore::commit(const AccountBook& book, const Draft& draft) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (!tx.active()) return false;
    const std::uint64_t login = book.login;
    Statement account(db_,
                      "INSERT INTO accounts (login, balance, next_ticket, evaluated_ms) VALUES (?, ?, ?, ?) "
                      "ON CONFLICT(login) DO UPDATE SET balance = excluded.balance, "
                      "next_ticket = excluded.next_ticket, evaluated_ms = excluded.evaluated_ms");
    if (!account.bind(1, login) || !account.bind(2, draft.balance) || !account.bind(3, draft.next_ticket) ||
        !account.bind(4, draft.evaluated_ms) || !account.run())
        return false;
    // Open positions and orders are few: rewritten whole.
    Statement clear_positions(db_, "DELETE FROM positions WHERE login = ?");
    Statement clear_orders(db_, "DELETE FROM orders WHERE login = ?");
    if (!clear_positions.bind(1, login) || !clear_positions.run() || !clear_orders.bind(1, login) ||
        !clear_orders.run())
        return false;
    Statement add_position(db_, "INSERT INTO positions (login, ticket, record) VALUES (?, ?, ?)");
    Statement add_order(db_, "INSERT INTO orders (login, ticket, record) VALUES (?, ?, ?)");
    Statement add_deal(db_, "INSERT INTO deals (login, ticket, record) VALUES (?, ?, ?)");
    if (!insert_records(add_position, login, draft.positions) || !insert_records(add_order, login, draft.orders) ||
        !insert_records(add_deal, login, draft.new_deals))
        return false;
    Statement add_history(db_, "INSERT INTO history_orders (login, ticket, seq, record) VALUES (?, ?, ?, ?)");
    std::uint64_t seq = book.history_orders.size();
    for (const wire::TradeOrderRecord& r : draft.new_history_orders) {
        const std::uint64_t ticket = r.ticket;
        if (!add_history.bind(1, login) || !add_history.bind(2, ticket) || !add_history.bind(3, seq++) ||
            !add_history.bind_blob(4, bytes_of(r)) || !add_history.run())
            return false;
    }
    return tx.commit();
}

}  // namespace qvn::terminal
