// Wire records as table rows: one column per field, described once per
// record by a table of (column, kind, offset) rows that the schema, the
// statements and the conversions all walk.
//
// A row reads back as the very bytes that were written. SQLite cannot hold
// every value of a field in the column's natural type, so those few are
// kept as a BLOB in the same column:
//   - a double that is NaN or -0.0 (a REAL column keeps an integral value
//     as an integer and loses the sign of zero; NaN becomes NULL): its 8
//     bytes, little-endian;
//   - a u64 above 2^63 - 1: its 8 bytes, little-endian;
//   - a text field that is not plain text (a lone surrogate, or units after
//     the first zero unit): its UTF-16LE units up to the last non-zero one.
// Everything else is an INTEGER, a REAL or TEXT that any SQLite tool reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "terminal/store/database.hpp"

namespace qvn::terminal {

enum class FieldKind : std::uint8_t { U64, I64, U32, F64, Text, Bytes };

struct FieldColumn {
    std::string_view name;
    FieldKind kind;
    std::size_t offset;
    std::size_t size;
};

struct RowLayout {
    std::string_view table;
    std::span<const FieldColumn> columns;
    std::size_t record_size;
};

// The record tables. Their key is (login, ticket); history orders also keep
// `seq`, their place in the account's history.
const RowLayout& position_rows() noexcept;
const RowLayout& order_rows() noexcept;
const RowLayout& history_order_rows() noexcept;
const RowLayout& deal_rows() noexcept;

// "CREATE TABLE <table> (login INTEGER NOT NULL, [seq INTEGER NOT NULL,]
// <columns>, PRIMARY KEY (login, ticket)) WITHOUT ROWID".
std::string create_table_sql(const RowLayout& layout, std::string_view table_name, bool with_seq);
// The comma-separated column names.
std::string column_list(const RowLayout& layout);

// Binds the record's fields to parameters first_index, first_index + 1, ...
bool bind_fields(Statement& st, int first_index, const RowLayout& layout, const void* record);
// Reads the record's fields from columns first_column, ...; false when a
// column holds a value the field cannot (a damaged or foreign database),
// with `bad` (when given) naming that column.
bool read_fields(const Statement& st, int first_column, const RowLayout& layout, void* record,
                 const FieldColumn** bad = nullptr);

// One u64 and one double, as the record fields keep them.
bool bind_u64(Statement& st, int index, std::uint64_t value);
bool read_u64(const Statement& st, int column, std::uint64_t& out);
bool bind_f64(Statement& st, int index, double value);
bool read_f64(const Statement& st, int column, double& out);

}  // namespace qvn::terminal
