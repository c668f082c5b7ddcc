#include "terminal/store/trade_store.hpp"

#include <cstring>

#include "terminal/store/trade_rows.hpp"

namespace qvn::terminal {
namespace {

constexpr std::string_view kAccountsTable = R"(
CREATE TABLE IF NOT EXISTS accounts (
    login INTEGER PRIMARY KEY,
    balance REAL NOT NULL,
    next_ticket INTEGER NOT NULL,
    evaluated_ms INTEGER NOT NULL
))";

std::string insert_sql(const RowLayout& layout, bool with_seq) {
    const std::size_t n = layout.columns.size() + (with_seq ? 2 : 1);
    std::string marks;
    for (std::size_t i = 0; i < n; ++i) marks += i == 0 ? "?" : ", ?";
    return "INSERT OR REPLACE INTO " + std::string(layout.table) + " (login, " + (with_seq ? "seq, " : "") +
           column_list(layout) + ") VALUES (" + marks + ")";
}

std::string select_sql(const RowLayout& layout, std::string_view order) {
    return "SELECT " + column_list(layout) + " FROM " + std::string(layout.table) + " WHERE login = ? ORDER BY " +
           std::string(order);
}

std::string delete_sql(const RowLayout& layout) {
    return "DELETE FROM " + std::string(layout.table) + " WHERE login = ? AND ticket = ?";
}

template <class Record>
bool load_rows(Statement& st, std::uint64_t login, const RowLayout& layout, std::vector<Record>& out) {
    static_assert(sizeof(Record) > 0);
    bool ok = bind_u64(st, 1, login);
    while (ok && st.step()) {
        Record r{};
        ok = read_fields(st, 0, layout, &r);
        out.push_back(r);
    }
    ok = ok && !st.failed();
    st.reset();
    return ok;
}

// The version-0 tables: the ticket (and history sequence) beside a blob of
// the record's wire layout.
template <class Record>
bool copy_blob_rows(Database& db, std::string_view old_table, const RowLayout& layout, bool with_seq) {
    Statement read(db, "SELECT login, " + std::string(with_seq ? "seq, " : "") + "record FROM " +
                           std::string(old_table));
    Statement write(db, insert_sql(layout, with_seq));
    if (!read.valid() || !write.valid()) return false;
    const int blob_column = with_seq ? 2 : 1;
    while (read.step()) {
        const auto blob = read.blob(blob_column);
        if (blob.size() != sizeof(Record)) return false;
        Record r;
        std::memcpy(&r, blob.data(), sizeof r);
        if (!write.bind(1, read.int64(0))) return false;
        if (with_seq && !write.bind(2, read.int64(1))) return false;
        if (!bind_fields(write, with_seq ? 3 : 2, layout, &r) || !write.run()) return false;
    }
    return !read.failed();
}

}  // namespace

// Every statement a trade runs, prepared once when the store opens.
struct TradeStore::Statements {
    explicit Statements(Database& db)
        : begin(db, "BEGIN IMMEDIATE"),
          commit(db, "COMMIT"),
          rollback(db, "ROLLBACK"),
          account(db, "SELECT balance, next_ticket, evaluated_ms FROM accounts WHERE login = ?"),
          put_account(db,
                      "INSERT INTO accounts (login, balance, next_ticket, evaluated_ms) VALUES (?, ?, ?, ?) "
                      "ON CONFLICT(login) DO UPDATE SET balance = excluded.balance, "
                      "next_ticket = excluded.next_ticket, evaluated_ms = excluded.evaluated_ms"),
          positions(db, select_sql(position_rows(), "ticket")),
          orders(db, select_sql(order_rows(), "ticket")),
          history(db, select_sql(history_order_rows(), "seq, ticket")),
          deals(db, select_sql(deal_rows(), "ticket")),
          put_position(db, insert_sql(position_rows(), false)),
          drop_position(db, delete_sql(position_rows())),
          put_order(db, insert_sql(order_rows(), false)),
          drop_order(db, delete_sql(order_rows())),
          add_history(db, insert_sql(history_order_rows(), true)),
          add_deal(db, insert_sql(deal_rows(), false)),
          last_activity(db, "SELECT MAX(evaluated_ms) FROM accounts") {}

    bool valid() const {
        for (const Statement* s : {&begin, &commit, &rollback, &account, &put_account, &positions, &orders, &history,
                                   &deals, &put_position, &drop_position, &put_order, &drop_order, &add_history,
                                   &add_deal, &last_activity})
            if (!s->valid()) return false;
        return true;
    }

    Statement begin, commit, rollback;
    Statement account, put_account;
    Statement positions, orders, history, deals;
    Statement put_position, drop_position, put_order, drop_order, add_history, add_deal;
    Statement last_activity;
};

TradeStore::TradeStore() = default;
TradeStore::~TradeStore() = default;

bool TradeStore::open(const std::string& path, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!db_.open(path)) {
        error = "cannot open the trading store '" + path + "': " + db_.error();
        return false;
    }
    // WAL keeps readers off the writer's back; FULL syncs every commit, so
    // an acknowledged trade survives a crash of the machine as well. A new
    // store gets 1 KiB pages: a trade rewrites one page of each table it
    // touches, so its commit syncs about 6 KiB rather than 19 KiB with the
    // default 4 KiB pages. An existing store keeps the page size it has.
    if (!db_.exec("PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;")) {
        error = "cannot prepare the trading store '" + path + "': " + db_.error();
        return false;
    }
    int version = -1;
    bool has_tables = false;
    {
        Statement v(db_, "PRAGMA user_version");
        if (v.step()) version = static_cast<int>(v.int64(0));
        Statement t(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'positions'");
        has_tables = t.step();
        if (v.failed() || t.failed() || version < 0) {
            error = "cannot read the trading store '" + path + "': " + db_.error();
            return false;
        }
    }
    if (version > kSchemaVersion) {
        error = "the trading store '" + path + "' was written by a newer release (layout " +
                std::to_string(version) + ")";
        return false;
    }
    if (version == 0) {
        Transaction tx(db_);
        bool ok = tx.active() && db_.exec(kAccountsTable);
        if (ok && has_tables) ok = migrate_blobs(error);
        if (ok && !has_tables)
            ok = db_.exec(create_table_sql(position_rows(), "positions", false)) &&
                 db_.exec(create_table_sql(order_rows(), "orders", false)) &&
                 db_.exec(create_table_sql(history_order_rows(), "history_orders", true)) &&
                 db_.exec(create_table_sql(deal_rows(), "deals", false));
        ok = ok && db_.exec("PRAGMA user_version = " + std::to_string(kSchemaVersion)) && tx.commit();
        if (!ok) {
            if (error.empty()) error = db_.error();
            error = "cannot bring the trading store '" + path + "' up to date: " + error;
            return false;
        }
    }
    st_ = std::make_unique<Statements>(db_);
    if (!st_->valid()) {
        error = "the trading store '" + path + "' does not have the expected tables: " + db_.error();
        st_.reset();
        return false;
    }
    return true;
}

// Version 0 to 1, inside the caller's transaction: each blob table is
// renamed, its records written into the new table field by field, and
// dropped. A blob of the wrong size fails the whole migration.
bool TradeStore::migrate_blobs(std::string& error) {
    struct Step {
        std::string_view name;
        bool with_seq;
    };
    for (const Step s : {Step{"positions", false}, Step{"orders", false}, Step{"history_orders", true},
                         Step{"deals", false}})
        if (!db_.exec("ALTER TABLE " + std::string(s.name) + " RENAME TO " + std::string(s.name) + "_v0")) return false;
    const bool ok =
        db_.exec(create_table_sql(position_rows(), "positions", false)) &&
        db_.exec(create_table_sql(order_rows(), "orders", false)) &&
        db_.exec(create_table_sql(history_order_rows(), "history_orders", true)) &&
        db_.exec(create_table_sql(deal_rows(), "deals", false)) &&
        copy_blob_rows<wire::TradePositionRecord>(db_, "positions_v0", position_rows(), false) &&
        copy_blob_rows<wire::TradeOrderRecord>(db_, "orders_v0", order_rows(), false) &&
        copy_blob_rows<wire::TradeOrderRecord>(db_, "history_orders_v0", history_order_rows(), true) &&
        copy_blob_rows<wire::TradeDealRecord>(db_, "deals_v0", deal_rows(), false) &&
        db_.exec("DROP TABLE positions_v0; DROP TABLE orders_v0; DROP TABLE history_orders_v0; DROP TABLE deals_v0");
    if (!ok && error.empty()) error = "a record of the old layout is damaged or cannot be written (" + db_.error() + ")";
    return ok;
}

TradeStore::Load TradeStore::load(std::uint64_t login, StoredBook& out) {
    std::lock_guard lock(mutex_);
    if (!st_) return Load::Failed;
    // One transaction: a snapshot, never half of a commit.
    Transaction tx(db_);
    if (!tx.active()) return Load::Failed;
    Statement& a = st_->account;
    if (!bind_u64(a, 1, login)) return Load::Failed;
    const bool found = a.step();
    out = StoredBook{};
    out.account.login = login;
    bool ok = !a.failed();
    if (found)
        ok = read_f64(a, 0, out.account.balance) && read_u64(a, 1, out.account.next_ticket) &&
             a.type(2) == ColumnType::Integer;
    if (found && ok) out.account.evaluated_ms = a.int64(2);
    a.reset();
    if (!ok) return Load::Failed;
    if (!found) return Load::Missing;
    ok = load_rows(st_->positions, login, position_rows(), out.positions) &&
         load_rows(st_->orders, login, order_rows(), out.orders) &&
         load_rows(st_->history, login, history_order_rows(), out.history_orders) &&
         load_rows(st_->deals, login, deal_rows(), out.deals);
    return ok ? Load::Found : Load::Failed;
}

bool TradeStore::step_write(Statement& st) {
    if (fault_after_ == 0) {
        fault_after_ = -1;
        st.reset();
        return false;
    }
    if (fault_after_ > 0) --fault_after_;
    return st.run();
}

bool TradeStore::write(const ChangeSet& c) {
    Statements& s = *st_;
    const std::uint64_t login = c.account.login;
    const auto keyed = [&](Statement& st, std::uint64_t ticket) {
        return bind_u64(st, 1, login) && bind_u64(st, 2, ticket) && step_write(st);
    };
    const auto row = [&](Statement& st, int first, const RowLayout& layout, const void* record) {
        return bind_u64(st, 1, login) && bind_fields(st, first, layout, record) && step_write(st);
    };
    bool ok = bind_u64(s.put_account, 1, login) && bind_f64(s.put_account, 2, c.account.balance) &&
              bind_u64(s.put_account, 3, c.account.next_ticket) &&
              s.put_account.bind(4, c.account.evaluated_ms) && step_write(s.put_account);
    for (std::size_t i = 0; ok && i < c.put_positions.size(); ++i)
        ok = row(s.put_position, 2, position_rows(), &c.put_positions[i]);
    for (std::size_t i = 0; ok && i < c.drop_positions.size(); ++i) ok = keyed(s.drop_position, c.drop_positions[i]);
    for (std::size_t i = 0; ok && i < c.put_orders.size(); ++i)
        ok = row(s.put_order, 2, order_rows(), &c.put_orders[i]);
    for (std::size_t i = 0; ok && i < c.drop_orders.size(); ++i) ok = keyed(s.drop_order, c.drop_orders[i]);
    for (std::size_t i = 0; ok && i < c.history_orders.size(); ++i)
        ok = bind_u64(s.add_history, 2, c.history_seq + i) &&
             row(s.add_history, 3, history_order_rows(), &c.history_orders[i]);
    for (std::size_t i = 0; ok && i < c.deals.size(); ++i) ok = row(s.add_deal, 2, deal_rows(), &c.deals[i]);
    return ok;
}

bool TradeStore::commit(std::span<const ChangeSet* const> group) {
    std::lock_guard lock(mutex_);
    if (!st_) return false;
    Statements& s = *st_;
    if (!s.begin.run()) return false;
    // In the order given: a later change set of an account builds on the
    // earlier ones, and its rows replace theirs.
    bool ok = true;
    for (std::size_t i = 0; ok && i < group.size(); ++i) ok = write(*group[i]);
    if (ok && s.commit.run()) return true;
    // Whatever failed, the statements are reset and the transaction undone.
    for (Statement* st : {&s.put_account, &s.put_position, &s.drop_position, &s.put_order, &s.drop_order,
                          &s.add_history, &s.add_deal})
        st->reset();
    s.rollback.run();
    return false;
}

std::optional<std::int64_t> TradeStore::last_activity(bool& ok) {
    std::lock_guard lock(mutex_);
    ok = false;
    if (!st_) return std::nullopt;
    Statement& st = st_->last_activity;
    std::optional<std::int64_t> out;
    if (st.step()) {
        ok = true;
        if (st.type(0) == ColumnType::Integer) out = st.int64(0);
    }
    st.reset();
    return out;
}

}  // namespace qvn::terminal
