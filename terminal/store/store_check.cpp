#include "terminal/store/store_check.hpp"

#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "terminal/store/trade_rows.hpp"

namespace qvn::terminal {
namespace {

constexpr std::string_view kLogSuffixes[] = {"-wal", "-shm", "-journal"};

// What the rows say of one login.
struct LoginRows {
    bool has_account = false;
    std::uint64_t next_ticket = 0;
    std::string_view first_table;  // the first table with a row of the login
    std::uint64_t top_ticket = 0;  // the highest ticket of its rows, and where
    std::string_view top_table;
};

std::string_view held(ColumnType type) {
    switch (type) {
        case ColumnType::Integer: return "an integer";
        case ColumnType::Real: return "a real";
        case ColumnType::Text: return "text";
        case ColumnType::Blob: return "a blob";
        case ColumnType::Null: break;
    }
    return "NULL";
}

std::string wrong_value(std::string_view table, std::string_view column, ColumnType type, std::string_view where) {
    std::string out = "'";
    out.append(column).append("' of a row of ").append(table);
    if (!where.empty()) out.append(" (").append(where).append(")");
    return out.append(" holds ").append(held(type)).append(", which its field cannot");
}

// One line of SQLite's check: its lines joined.
std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

bool quick_check(Database& db, std::string& why) {
    Statement st(db, "PRAGMA quick_check(1)");
    if (st.valid() && st.step()) {
        const std::string first = st.text(0);
        if (first == "ok") return true;
        why = one_line(first);
        return false;
    }
    why = db.error();
    return false;
}

bool scan_accounts(Database& db, std::map<std::uint64_t, LoginRows>& logins, std::string& why) {
    Statement st(db, "SELECT login, balance, next_ticket, evaluated_ms FROM accounts");
    while (st.valid() && st.step()) {
        std::uint64_t login = 0, next = 0;
        double balance = 0;
        if (!read_u64(st, 0, login)) {
            why = wrong_value("accounts", "login", st.type(0), {});
            return false;
        }
        const std::string where = "login " + std::to_string(login);
        const int bad = !read_f64(st, 1, balance) ? 1 : !read_u64(st, 2, next) ? 2
                      : st.type(3) != ColumnType::Integer ? 3 : 0;
        if (bad != 0) {
            constexpr std::string_view kNames[] = {"login", "balance", "next_ticket", "evaluated_ms"};
            why = wrong_value("accounts", kNames[bad], st.type(bad), where);
            return false;
        }
        LoginRows& rows = logins[login];
        rows.has_account = true;
        rows.next_ticket = next;
    }
    if (st.valid() && !st.failed()) return true;
    why = db.error();
    return false;
}

// Reads every row of a record table as a load would.
bool scan_records(Database& db, const RowLayout& layout, bool with_seq, std::map<std::uint64_t, LoginRows>& logins,
                  std::string& why) {
    Statement st(db, "SELECT login, " + std::string(with_seq ? "seq, " : "") + column_list(layout) + " FROM " +
                         std::string(layout.table));
    std::vector<std::byte> record(layout.record_size);
    const int first = with_seq ? 2 : 1;
    while (st.valid() && st.step()) {
        std::uint64_t login = 0;
        if (!read_u64(st, 0, login)) {
            why = wrong_value(layout.table, "login", st.type(0), {});
            return false;
        }
        std::string where = "login " + std::to_string(login);
        if (with_seq && st.type(1) != ColumnType::Integer) {
            why = wrong_value(layout.table, "seq", st.type(1), where);
            return false;
        }
        const FieldColumn* bad = nullptr;
        // The ticket is every record's first field: known unless it is the bad one.
        std::uint64_t ticket = 0;
        const bool ok = read_fields(st, first, layout, record.data(), &bad);
        if (ok || bad != layout.columns.data())
            std::memcpy(&ticket, record.data() + layout.columns[0].offset, sizeof ticket);
        if (!ok) {
            if (bad != layout.columns.data()) where += ", ticket " + std::to_string(ticket);
            const int column = first + static_cast<int>(bad - layout.columns.data());
            why = wrong_value(layout.table, bad->name, st.type(column), where);
            return false;
        }
        LoginRows& rows = logins[login];
        if (rows.first_table.empty()) rows.first_table = layout.table;
        if (rows.top_table.empty() || ticket > rows.top_ticket) {
            rows.top_ticket = ticket;
            rows.top_table = layout.table;
        }
    }
    if (st.valid() && !st.failed()) return true;
    why = db.error();
    return false;
}

}  // namespace

bool check_store_logs(const std::string& db, const StoreFileSeen& database, const StoreFileSeen (&logs)[3],
                      std::string& why) {
    if (database.exists && database.size > 0) return true;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!logs[i].exists) continue;
        why = "the trading store '" + db + "' is " + (database.exists ? "empty" : "missing") + " but its '" + db +
              std::string(kLogSuffixes[i]) + "' remains: the store is damaged, not new";
        return false;
    }
    return true;
}

bool check_store_rows(Database& db, std::string& why) {
    if (!quick_check(db, why)) return false;
    std::map<std::uint64_t, LoginRows> logins;
    if (!scan_accounts(db, logins, why) || !scan_records(db, position_rows(), false, logins, why) ||
        !scan_records(db, order_rows(), false, logins, why) ||
        !scan_records(db, history_order_rows(), true, logins, why) ||
        !scan_records(db, deal_rows(), false, logins, why))
        return false;
    for (const auto& [login, rows] : logins) {
        const std::string account = "account " + std::to_string(login);
        if (!rows.has_account && !rows.first_table.empty()) {
            why = account + " has rows in " + std::string(rows.first_table) + " but none in accounts";
            return false;
        }
        if (!rows.top_table.empty() && rows.next_ticket <= rows.top_ticket) {
            why = account + " has next_ticket " + std::to_string(rows.next_ticket) + ", not above its ticket " +
                  std::to_string(rows.top_ticket) + " in " + std::string(rows.top_table);
            return false;
        }
    }
    return true;
}

}  // namespace qvn::terminal
