#include "terminal/store/trade_store.hpp"

#include <cstdio>
#include <cstring>

#include "terminal/store/store_check.hpp"
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

// Open positions and orders are replaced as they change; history is only
// ever added to, so a ticket already there is a conflict, never overwritten.
std::string insert_sql(const RowLayout& layout, bool with_seq, bool replace) {
    const std::size_t n = layout.columns.size() + (with_seq ? 2 : 1);
    std::string marks;
    for (std::size_t i = 0; i < n; ++i) marks += i == 0 ? "?" : ", ?";
    return std::string(replace ? "INSERT OR REPLACE INTO " : "INSERT INTO ") + std::string(layout.table) +
           " (login, " + (with_seq ? "seq, " : "") + column_list(layout) + ") VALUES (" + marks + ")";
}

std::string select_sql(const RowLayout& layout, std::string_view order) {
    return "SELECT " + column_list(layout) + " FROM " + std::string(layout.table) + " WHERE login = ? ORDER BY " +
           std::string(order);
}

std::string delete_sql(const RowLayout& layout) {
    return "DELETE FROM " + std::string(layout.table) + " WHERE login = ? AND ticket = ?";
}

// False with `bad` set when a column holds what its field cannot, with
// `bad` null when SQLite failed.
template <class Record>
bool load_rows(Statement& st, std::uint64_t login, const RowLayout& layout, std::vector<Record>& out,
               const FieldColumn*& bad) {
    static_assert(sizeof(Record) > 0);
    bool ok = bind_u64(st, 1, login);
    while (ok && st.step()) {
        Record r{};
        ok = read_fields(st, 0, layout, &r, &bad);
        out.push_back(r);
    }
    ok = ok && !st.failed();
    st.reset();
    return ok;
}

// The version-0 tables: the ticket (and history sequence) beside a blob of
// the record's wire layout. False with `why` set.
template <class Record>
bool copy_blob_rows(Database& db, std::string_view old_table, const RowLayout& layout, bool with_seq,
                    std::string& why) {
    Statement read(db, "SELECT login, " + std::string(with_seq ? "seq, " : "") + "record FROM " +
                           std::string(old_table));
    Statement write(db, insert_sql(layout, with_seq, false));
    const int blob_column = with_seq ? 2 : 1;
    bool written = true;
    while (written && read.valid() && write.valid() && read.step()) {
        const auto blob = read.blob(blob_column);
        if (blob.size() != sizeof(Record)) {
            why = "a record of " + std::string(old_table) + " (login " + std::to_string(read.int64(0)) + ") has " +
                  std::to_string(blob.size()) + " bytes, not " + std::to_string(sizeof(Record));
            return false;
        }
        Record r;
        std::memcpy(&r, blob.data(), sizeof r);
        written = write.bind(1, read.int64(0)) && (!with_seq || write.bind(2, read.int64(1))) &&
                  bind_fields(write, with_seq ? 3 : 2, layout, &r) && write.run();
    }
    if (written && read.valid() && write.valid() && !read.failed()) return true;
    why = "a record of " + std::string(old_table) + " cannot be written: " + db.error();
    return false;
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
          put_position(db, insert_sql(position_rows(), false, true)),
          drop_position(db, delete_sql(position_rows())),
          put_order(db, insert_sql(order_rows(), false, true)),
          drop_order(db, delete_sql(order_rows())),
          add_history(db, insert_sql(history_order_rows(), true, false)),
          add_deal(db, insert_sql(deal_rows(), false, false)),
          last_activity(db, "SELECT MAX(evaluated_ms) FROM accounts"),
          rows_of(db,
                  "SELECT 'positions' FROM positions WHERE login = ?1 UNION ALL "
                  "SELECT 'orders' FROM orders WHERE login = ?1 UNION ALL "
                  "SELECT 'history_orders' FROM history_orders WHERE login = ?1 UNION ALL "
                  "SELECT 'deals' FROM deals WHERE login = ?1 LIMIT 1") {}

    bool valid() const {
        for (const Statement* s : {&begin, &commit, &rollback, &account, &put_account, &positions, &orders, &history,
                                   &deals, &put_position, &drop_position, &put_order, &drop_order, &add_history,
                                   &add_deal, &last_activity, &rows_of})
            if (!s->valid()) return false;
        return true;
    }

    Statement begin, commit, rollback;
    Statement account, put_account;
    Statement positions, orders, history, deals;
    Statement put_position, drop_position, put_order, drop_order, add_history, add_deal;
    Statement last_activity;
    Statement rows_of;  // the first table holding rows of a login, if any
};

TradeStore::TradeStore() = default;
TradeStore::~TradeStore() = default;

void TradeStore::open_in_memory() {
    std::lock_guard lock(mutex_);
    path_ = ":memory:";
    memory_ = std::make_unique<MemoryRows>();
}

bool TradeStore::open(const std::string& path, std::string& error, bool sync) {
    std::lock_guard lock(mutex_);
    path_ = path;
    // SQLite's failures while opening: damage is called so, whatever step
    // met it.
    const auto refuse = [&](std::string_view doing) {
        error = store_fault(db_.error_code()) == StoreFault::Damaged
                    ? "the trading store '" + path + "' is damaged: " + db_.error()
                    : std::string(doing) + " the trading store '" + path + "': " + db_.error();
        st_.reset();
        return false;
    };
    if (!db_.open(path, sync)) return refuse("cannot open");
    // WAL keeps readers off the writer's back; FULL syncs every commit, so
    // an acknowledged trade survives a crash of the machine as well (OFF
    // syncs nothing, the log and checkpoints included: a Terminal that dies
    // still loses nothing, as the system holds what was written). A new
    // store gets 1 KiB pages: a trade rewrites one page of each table it
    // touches, so its commit syncs about 6 KiB rather than 19 KiB with the
    // default 4 KiB pages. An existing store keeps the page size it has.
    if (!db_.exec(sync ? "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                       : "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"))
        return refuse("cannot prepare");
    int version = -1;
    bool has_tables = false;
    {
        Statement v(db_, "PRAGMA user_version");
        if (v.step()) version = static_cast<int>(v.int64(0));
        Statement t(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'positions'");
        has_tables = t.step();
        if (!v.valid() || !t.valid() || v.failed() || t.failed()) return refuse("cannot read");
    }
    if (version < 0) {
        error = "the trading store '" + path + "' tells no layout version";
        return false;
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
        if (store_fault(db_.error_code()) == StoreFault::Damaged) return refuse("");
        error = "the trading store '" + path + "' does not have the expected tables: " + db_.error();
        st_.reset();
        return false;
    }
    std::string why;
    if (!check_store_rows(db_, why)) {
        error = "the trading store '" + path + "' is damaged: " + why;
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
        copy_blob_rows<wire::TradePositionRecord>(db_, "positions_v0", position_rows(), false, error) &&
        copy_blob_rows<wire::TradeOrderRecord>(db_, "orders_v0", order_rows(), false, error) &&
        copy_blob_rows<wire::TradeOrderRecord>(db_, "history_orders_v0", history_order_rows(), true, error) &&
        copy_blob_rows<wire::TradeDealRecord>(db_, "deals_v0", deal_rows(), false, error) &&
        db_.exec("DROP TABLE positions_v0; DROP TABLE orders_v0; DROP TABLE history_orders_v0; DROP TABLE deals_v0");
    return ok;
}

StoreFault TradeStore::fail(std::string_view what, StoreFault* why, StoreFault fault, std::string_view detail) {
    std::string text(what);
    if (fault == StoreFault::None) {
        fault = injected_ ? StoreFault::Other : store_fault(db_.error_code());
        text += ": ";
        text += injected_ ? std::string("a failure injected by a test") : db_.error();
    } else if (!detail.empty()) {
        text.append(": ").append(detail);
    }
    injected_ = false;
    if (why != nullptr) *why = fault;
    if (reported_.insert(text).second)
        std::fprintf(stderr, "terminal64: the trading store '%s' %s\n", path_.c_str(), text.c_str());
    return fault;
}

TradeStore::Load TradeStore::load(std::uint64_t login, StoredBook& out, StoreFault* why) {
    std::lock_guard lock(mutex_);
    if (memory_) return memory_->load(login, out) ? Load::Found : Load::Missing;
    if (!st_) return Load::Failed;
    const std::string account = "account " + std::to_string(login);
    const auto failed = [&] {
        fail("cannot be read for " + account, why);
        return Load::Failed;
    };
    // One transaction: a snapshot, never half of a commit.
    Transaction tx(db_);
    if (!tx.active()) return failed();
    Statement& a = st_->account;
    if (!bind_u64(a, 1, login)) return failed();
    const bool found = a.step();
    out = StoredBook{};
    out.account.login = login;
    const bool stepped = !a.failed();
    bool ok = stepped;
    if (found)
        ok = read_f64(a, 0, out.account.balance) && read_u64(a, 1, out.account.next_ticket) &&
             a.type(2) == ColumnType::Integer;
    if (found && ok) out.account.evaluated_ms = a.int64(2);
    a.reset();
    if (!stepped) return failed();
    if (!ok) {
        fail("is damaged", why, StoreFault::Damaged,
             "the accounts row of " + account + " holds a value of the wrong type");
        return Load::Failed;
    }
    if (!found) {
        // No accounts row: a new account, unless rows of it remain.
        Statement& r = st_->rows_of;
        if (!bind_u64(r, 1, login)) return failed();
        const bool rows = r.step();
        const std::string table = rows ? r.text(0) : std::string();
        const bool read = !r.failed();
        r.reset();
        if (!read) return failed();
        if (!rows) return Load::Missing;
        fail("is damaged", why, StoreFault::Damaged, account + " has rows in " + table + " but none in accounts");
        return Load::Failed;
    }
    const FieldColumn* bad = nullptr;
    ok = load_rows(st_->positions, login, position_rows(), out.positions, bad) &&
         load_rows(st_->orders, login, order_rows(), out.orders, bad) &&
         load_rows(st_->history, login, history_order_rows(), out.history_orders, bad) &&
         load_rows(st_->deals, login, deal_rows(), out.deals, bad);
    if (ok) return Load::Found;
    if (bad == nullptr) return failed();
    fail("is damaged", why, StoreFault::Damaged,
         "a row of " + account + " holds a value of the wrong type in '" + std::string(bad->name) + "'");
    return Load::Failed;
}

bool TradeStore::step_write(Statement& st) {
    if (fault_after_ == 0) {
        fault_after_ = -1;
        injected_ = true;
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

bool TradeStore::commit_in_memory(std::span<const ChangeSet* const> group, StoreFault* why) {
    std::string what;
    switch (memory_->commit(group, fault_after_, what)) {
        case MemoryRows::Refusal::None: reported_.clear(); return true;
        case MemoryRows::Refusal::Injected: injected_ = true; fail("cannot be written", why); return false;
        case MemoryRows::Refusal::Conflict: fail("cannot be written", why, StoreFault::Damaged, what); return false;
    }
    return false;
}

bool TradeStore::commit(std::span<const ChangeSet* const> group, StoreFault* why) {
    std::lock_guard lock(mutex_);
    if (memory_) return commit_in_memory(group, why);
    if (!st_) return false;
    Statements& s = *st_;
    if (!s.begin.run()) {
        fail("cannot be written", why);
        return false;
    }
    // In the order given: a later change set of an account builds on the
    // earlier ones, and its rows replace theirs.
    bool ok = true;
    for (std::size_t i = 0; ok && i < group.size(); ++i) ok = write(*group[i]);
    if (ok && s.commit.run()) {
        reported_.clear();
        return true;
    }
    // SQLite's message first: undoing the transaction replaces it.
    fail("cannot be written", why);
    // Whatever failed, the statements are reset and the transaction undone.
    for (Statement* st : {&s.put_account, &s.put_position, &s.drop_position, &s.put_order, &s.drop_order,
                          &s.add_history, &s.add_deal})
        st->reset();
    s.rollback.run();
    return false;
}

std::optional<std::int64_t> TradeStore::last_activity(bool& ok) {
    std::lock_guard lock(mutex_);
    ok = memory_ != nullptr;
    if (memory_) return memory_->last_activity();
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
