// A small owning wrapper over SQLite: one connection, prepared statements
// and transactions, each released by its destructor. Errors are return
// values; the message of the last failure stays on the connection. The
// connection does not lock itself: its owner uses it (and its statements)
// from one thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace qvn::terminal {

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens (creating if needed) the database at a UTF-8 path. A path that
    // names a symbolic link is refused. `gather`: through the layer that
    // writes a commit's log in one go, ahead of its sync (wal_writes.hpp);
    // a database that never syncs does without it, so each commit still
    // reaches the system before it is reported done.
    bool open(const std::string& path, bool gather = true);
    bool is_open() const noexcept { return db_ != nullptr; }
    // Runs statements without results (schema, pragmas).
    bool exec(std::string_view sql);
    // SQLite's message of the last failure (never its "not an error").
    std::string error() const;
    // SQLite's extended result code of the last failure on the connection.
    int error_code() const noexcept;
    sqlite3* handle() const noexcept { return db_; }

private:
    sqlite3* db_ = nullptr;
    std::string open_error_;
};

// What a column of the current row holds.
enum class ColumnType { Integer, Real, Text, Blob, Null };

class Statement {
public:
    Statement(Database& db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool valid() const noexcept { return stmt_ != nullptr; }
    // Bind by 1-based position; false on failure.
    bool bind(int index, std::int64_t value);
    bool bind(int index, std::uint64_t value) { return bind(index, static_cast<std::int64_t>(value)); }
    bool bind(int index, double value);
    bool bind_blob(int index, std::span<const std::byte> bytes);
    // UTF-16 text in the machine's byte order, stored as the database's UTF-8.
    bool bind_text16(int index, const char16_t* text, std::size_t units);

    // Advances: true with a row available, false when done or failed
    // (`failed()` tells which).
    bool step();
    bool failed() const noexcept { return failed_; }
    // Runs a statement without results to its end, then makes it ready to
    // run again; true on success.
    bool run();
    // Ends a run of step() and clears the bindings; the statement can run again.
    void reset();

    ColumnType type(int column) const;
    std::int64_t int64(int column) const;
    double real(int column) const;
    std::span<const std::byte> blob(int column) const;
    // The column as UTF-16 text in the machine's byte order.
    std::span<const std::byte> text16(int column) const;
    // The column as UTF-8 text (a message of SQLite's own).
    std::string text(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
};

// BEGIN IMMEDIATE on construction; rolls back on destruction unless
// committed.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool active() const noexcept { return active_; }
    bool commit();

private:
    Database& db_;
    bool active_ = false;
};

}  // namespace qvn::terminal
