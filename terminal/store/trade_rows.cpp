#include "terminal/store/trade_rows.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/wire.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

static_assert(std::endian::native == std::endian::little, "rows keep the wire's little-endian bytes");

#define QVN_FIELD(Record, field, kind) \
    FieldColumn { #field, FieldKind::kind, offsetof(wire::Record, field), sizeof(wire::Record::field) }

constexpr std::array kPositionColumns = {
    QVN_FIELD(TradePositionRecord, ticket, U64),
    QVN_FIELD(TradePositionRecord, time, I64),
    QVN_FIELD(TradePositionRecord, time_msc, I64),
    QVN_FIELD(TradePositionRecord, time_update, I64),
    QVN_FIELD(TradePositionRecord, time_update_msc, I64),
    QVN_FIELD(TradePositionRecord, type, U32),
    QVN_FIELD(TradePositionRecord, magic, U64),
    QVN_FIELD(TradePositionRecord, identifier, U64),
    QVN_FIELD(TradePositionRecord, reason, U32),
    QVN_FIELD(TradePositionRecord, volume, F64),
    QVN_FIELD(TradePositionRecord, price_open, F64),
    QVN_FIELD(TradePositionRecord, sl, F64),
    QVN_FIELD(TradePositionRecord, tp, F64),
    QVN_FIELD(TradePositionRecord, price_current, F64),
    QVN_FIELD(TradePositionRecord, reserved, Bytes),
    QVN_FIELD(TradePositionRecord, swap, F64),
    QVN_FIELD(TradePositionRecord, profit, F64),
    QVN_FIELD(TradePositionRecord, symbol, Text),
    QVN_FIELD(TradePositionRecord, comment, Text),
    QVN_FIELD(TradePositionRecord, external_id, Text),
};

constexpr std::array kOrderColumns = {
    QVN_FIELD(TradeOrderRecord, ticket, U64),
    QVN_FIELD(TradeOrderRecord, time_setup, I64),
    QVN_FIELD(TradeOrderRecord, time_setup_msc, I64),
    QVN_FIELD(TradeOrderRecord, time_done, I64),
    QVN_FIELD(TradeOrderRecord, time_done_msc, I64),
    QVN_FIELD(TradeOrderRecord, time_expiration, I64),
    QVN_FIELD(TradeOrderRecord, type, U32),
    QVN_FIELD(TradeOrderRecord, type_time, U32),
    QVN_FIELD(TradeOrderRecord, type_filling, U32),
    QVN_FIELD(TradeOrderRecord, state, U32),
    QVN_FIELD(TradeOrderRecord, magic, U64),
    QVN_FIELD(TradeOrderRecord, position_id, U64),
    QVN_FIELD(TradeOrderRecord, position_by_id, U64),
    QVN_FIELD(TradeOrderRecord, reason, U32),
    QVN_FIELD(TradeOrderRecord, volume_initial, F64),
    QVN_FIELD(TradeOrderRecord, volume_current, F64),
    QVN_FIELD(TradeOrderRecord, price_open, F64),
    QVN_FIELD(TradeOrderRecord, sl, F64),
    QVN_FIELD(TradeOrderRecord, tp, F64),
    QVN_FIELD(TradeOrderRecord, price_current, F64),
    QVN_FIELD(TradeOrderRecord, price_stoplimit, F64),
    QVN_FIELD(TradeOrderRecord, symbol, Text),
    QVN_FIELD(TradeOrderRecord, comment, Text),
    QVN_FIELD(TradeOrderRecord, external_id, Text),
};

constexpr std::array kDealColumns = {
    QVN_FIELD(TradeDealRecord, ticket, U64),
    QVN_FIELD(TradeDealRecord, order, U64),
    QVN_FIELD(TradeDealRecord, time, I64),
    QVN_FIELD(TradeDealRecord, time_msc, I64),
    QVN_FIELD(TradeDealRecord, type, U32),
    QVN_FIELD(TradeDealRecord, entry, U32),
    QVN_FIELD(TradeDealRecord, magic, U64),
    QVN_FIELD(TradeDealRecord, position_id, U64),
    QVN_FIELD(TradeDealRecord, reason, U32),
    QVN_FIELD(TradeDealRecord, volume, F64),
    QVN_FIELD(TradeDealRecord, price, F64),
    QVN_FIELD(TradeDealRecord, commission, F64),
    QVN_FIELD(TradeDealRecord, swap, F64),
    QVN_FIELD(TradeDealRecord, profit, F64),
    QVN_FIELD(TradeDealRecord, fee, F64),
    QVN_FIELD(TradeDealRecord, symbol, Text),
    QVN_FIELD(TradeDealRecord, comment, Text),
    QVN_FIELD(TradeDealRecord, external_id, Text),
};

#undef QVN_FIELD

const RowLayout kPositions{"positions", kPositionColumns, sizeof(wire::TradePositionRecord)};
const RowLayout kOrders{"orders", kOrderColumns, sizeof(wire::TradeOrderRecord)};
const RowLayout kHistoryOrders{"history_orders", kOrderColumns, sizeof(wire::TradeOrderRecord)};
const RowLayout kDeals{"deals", kDealColumns, sizeof(wire::TradeDealRecord)};

std::string_view sql_type(FieldKind kind) {
    switch (kind) {
        case FieldKind::U64:
        case FieldKind::I64:
        case FieldKind::U32: return "INTEGER";
        case FieldKind::F64: return "REAL";
        case FieldKind::Text: return "TEXT";
        case FieldKind::Bytes: return "BLOB";
    }
    return "BLOB";
}

std::span<const std::byte> bytes8(const std::uint64_t& v) { return {reinterpret_cast<const std::byte*>(&v), 8}; }

// Whether the units before the first zero are well-formed UTF-16 and only
// zero units follow: such a field is stored as TEXT.
bool plain_text(const char16_t* units, std::size_t count, std::size_t& length) {
    length = 0;
    while (length < count && units[length] != 0) ++length;
    for (std::size_t i = length; i < count; ++i)
        if (units[i] != 0) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= length || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool bind_field(Statement& st, int index, const FieldColumn& c, const std::byte* field) {
    switch (c.kind) {
        case FieldKind::U64: {
            std::uint64_t v;
            std::memcpy(&v, field, 8);
            return bind_u64(st, index, v);
        }
        case FieldKind::I64: {
            std::int64_t v;
            std::memcpy(&v, field, 8);
            return st.bind(index, v);
        }
        case FieldKind::U32: {
            std::uint32_t v;
            std::memcpy(&v, field, 4);
            return st.bind(index, static_cast<std::int64_t>(v));
        }
        case FieldKind::F64: {
            double v;
            std::memcpy(&v, field, 8);
            return bind_f64(st, index, v);
        }
        case FieldKind::Text: {
            char16_t units[64];
            const std::size_t count = c.size / sizeof(char16_t);
            std::memcpy(units, field, c.size);
            std::size_t length = 0;
            if (plain_text(units, count, length)) return st.bind_text16(index, units, length);
            std::size_t used = count;
            while (used > 0 && units[used - 1] == 0) --used;
            return st.bind_blob(index, {field, used * sizeof(char16_t)});
        }
        case FieldKind::Bytes: return st.bind_blob(index, {field, c.size});
    }
    return false;
}

bool read_field(const Statement& st, int column, const FieldColumn& c, std::byte* field) {
    const ColumnType type = st.type(column);
    switch (c.kind) {
        case FieldKind::U64: {
            std::uint64_t v;
            if (!read_u64(st, column, v)) return false;
            std::memcpy(field, &v, 8);
            return true;
        }
        case FieldKind::I64: {
            if (type != ColumnType::Integer) return false;
            const std::int64_t v = st.int64(column);
            std::memcpy(field, &v, 8);
            return true;
        }
        case FieldKind::U32: {
            if (type != ColumnType::Integer) return false;
            const std::int64_t v = st.int64(column);
            if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return false;
            const auto u = static_cast<std::uint32_t>(v);
            std::memcpy(field, &u, 4);
            return true;
        }
        case FieldKind::F64: {
            double v;
            if (!read_f64(st, column, v)) return false;
            std::memcpy(field, &v, 8);
            return true;
        }
        case FieldKind::Text: {
            std::span<const std::byte> units;
            if (type == ColumnType::Text) units = st.text16(column);
            else if (type == ColumnType::Blob) units = st.blob(column);
            else return false;
            if (units.size() > c.size || units.size() % sizeof(char16_t) != 0) return false;
            std::memset(field, 0, c.size);
            if (!units.empty()) std::memcpy(field, units.data(), units.size());
            return true;
        }
        case FieldKind::Bytes: {
            if (type != ColumnType::Blob) return false;
            const auto bytes = st.blob(column);
            if (bytes.size() != c.size) return false;
            std::memcpy(field, bytes.data(), c.size);
            return true;
        }
    }
    return false;
}

}  // namespace

const RowLayout& position_rows() noexcept { return kPositions; }
const RowLayout& order_rows() noexcept { return kOrders; }
const RowLayout& history_order_rows() noexcept { return kHistoryOrders; }
const RowLayout& deal_rows() noexcept { return kDeals; }

// Built with append: gcc 12 warns falsely (-Wrestrict) on chains of + here.
std::string create_table_sql(const RowLayout& layout, std::string_view table_name, bool with_seq) {
    std::string sql = "CREATE TABLE ";
    sql.append(table_name).append(" (\n    login INTEGER NOT NULL,\n");
    if (with_seq) sql.append("    seq INTEGER NOT NULL,\n");
    for (const FieldColumn& c : layout.columns)
        sql.append("    \"").append(c.name).append("\" ").append(sql_type(c.kind)).append(" NOT NULL,\n");
    sql.append("    PRIMARY KEY (login, ticket)\n) WITHOUT ROWID");
    return sql;
}

std::string column_list(const RowLayout& layout) {
    // Quoted: "order" is a keyword of SQL.
    std::string out;
    for (const FieldColumn& c : layout.columns) {
        if (!out.empty()) out.append(", ");
        out.append("\"").append(c.name).append("\"");
    }
    return out;
}

bool bind_fields(Statement& st, int first_index, const RowLayout& layout, const void* record) {
    const auto* base = static_cast<const std::byte*>(record);
    int index = first_index;
    for (const FieldColumn& c : layout.columns)
        if (!bind_field(st, index++, c, base + c.offset)) return false;
    return true;
}

bool read_fields(const Statement& st, int first_column, const RowLayout& layout, void* record,
                 const FieldColumn** bad) {
    auto* base = static_cast<std::byte*>(record);
    int column = first_column;
    for (const FieldColumn& c : layout.columns) {
        if (read_field(st, column++, c, base + c.offset)) continue;
        if (bad != nullptr) *bad = &c;
        return false;
    }
    return true;
}

bool bind_u64(Statement& st, int index, std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return st.bind(index, static_cast<std::int64_t>(value));
    return st.bind_blob(index, bytes8(value));
}

bool read_u64(const Statement& st, int column, std::uint64_t& out) {
    switch (st.type(column)) {
        case ColumnType::Integer: {
            const std::int64_t v = st.int64(column);
            if (v < 0) return false;
            out = static_cast<std::uint64_t>(v);
            return true;
        }
        case ColumnType::Blob: {
            const auto bytes = st.blob(column);
            if (bytes.size() != 8) return false;
            std::memcpy(&out, bytes.data(), 8);
            return true;
        }
        default: return false;
    }
}

bool bind_f64(Statement& st, int index, double value) {
    if (!std::isnan(value) && !(value == 0 && std::signbit(value))) return st.bind(index, value);
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return st.bind_blob(index, bytes8(bits));
}

bool read_f64(const Statement& st, int column, double& out) {
    switch (st.type(column)) {
        case ColumnType::Integer:
        case ColumnType::Real: out = st.real(column); return true;
        case ColumnType::Blob: {
            const auto bytes = st.blob(column);
            if (bytes.size() != 8) return false;
            std::uint64_t bits;
            std::memcpy(&bits, bytes.data(), 8);
            out = std::bit_cast<double>(bits);
            return true;
        }
        default: return false;
    }
}

}  // namespace qvn::terminal
