#include "terminal/store/database.hpp"

#include <sqlite3.h>

#include "terminal/store/wal_writes.hpp"

namespace qvn::terminal {

Database::~Database() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
}

bool Database::open(const std::string& path, bool gather) {
    if (db_ != nullptr) return false;
    // NOFOLLOW refuses a database path with a symbolic link in it; the
    // caller passes a path whose folder is already resolved, so only a link
    // planted as the file itself is refused. NOMUTEX: the owner lets one
    // thread at a time use the connection (the trading store holds its own
    // lock around every use), so SQLite need not lock it again on every
    // call (each bound value of a trade's rows took and released a mutex).
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, gather ? gathering_vfs() : nullptr) != SQLITE_OK) {
        // A handle may come back even on failure: keep its message, then
        // close it, so an unopened database never looks open.
        open_error_ = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    return true;
}

bool Database::exec(std::string_view sql) {
    if (db_ == nullptr) return false;
    const std::string text(sql);
    return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string Database::error() const {
    if (db_ == nullptr) return open_error_.empty() ? "database not open" : open_error_;
    // SQLite's message for "no error" ("not an error") would hide that the
    // failure was not SQLite's: callers name such failures themselves.
    if (sqlite3_errcode(db_) == SQLITE_OK) return "a failure SQLite did not report";
    return sqlite3_errmsg(db_);
}

int Database::error_code() const noexcept { return db_ != nullptr ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN; }

Statement::Statement(Database& db, std::string_view sql) {
    if (!db.is_open() ||
        sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        stmt_ = nullptr;
        failed_ = true;
    }
}

Statement::~Statement() {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

bool Statement::bind(int index, std::int64_t value) {
    return stmt_ != nullptr && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

bool Statement::bind(int index, double value) {
    return stmt_ != nullptr && sqlite3_bind_double(stmt_, index, value) == SQLITE_OK;
}

bool Statement::bind_blob(int index, std::span<const std::byte> bytes) {
    return stmt_ != nullptr &&
           sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT) ==
               SQLITE_OK;
}

bool Statement::bind_text16(int index, const char16_t* text, std::size_t units) {
    return stmt_ != nullptr &&
           sqlite3_bind_text16(stmt_, index, units == 0 ? u"" : text, static_cast<int>(units * sizeof(char16_t)),
                               SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Statement::step() {
    if (stmt_ == nullptr) return false;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) failed_ = true;
    return false;
}

bool Statement::run() {
    if (stmt_ == nullptr) return false;
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return rc == SQLITE_DONE;
}

void Statement::reset() {
    if (stmt_ == nullptr) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

ColumnType Statement::type(int column) const {
    switch (sqlite3_column_type(stmt_, column)) {
        case SQLITE_INTEGER: return ColumnType::Integer;
        case SQLITE_FLOAT: return ColumnType::Real;
        case SQLITE_TEXT: return ColumnType::Text;
        case SQLITE_BLOB: return ColumnType::Blob;
        default: return ColumnType::Null;
    }
}

std::int64_t Statement::int64(int column) const { return sqlite3_column_int64(stmt_, column); }

double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }

std::span<const std::byte> Statement::blob(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int n = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || n <= 0) return {};
    return {static_cast<const std::byte*>(data), static_cast<std::size_t>(n)};
}

std::span<const std::byte> Statement::text16(int column) const {
    const void* data = sqlite3_column_text16(stmt_, column);
    const int n = sqlite3_column_bytes16(stmt_, column);
    if (data == nullptr || n <= 0) return {};
    return {static_cast<const std::byte*>(data), static_cast<std::size_t>(n)};
}

std::string Statement::text(int column) const {
    const unsigned char* data = sqlite3_column_text(stmt_, column);
    const int n = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || n <= 0) return {};
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
}

Transaction::Transaction(Database& db) : db_(db) { active_ = db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
    if (active_) db_.exec("ROLLBACK");
}

bool Transaction::commit() {
    if (!active_) return false;
    if (!db_.exec("COMMIT")) return false;  // the destructor rolls back
    active_ = false;
    return true;
}

}  // namespace qvn::terminal
