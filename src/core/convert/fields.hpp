// The field tables of the wire records: one per named-tuple type, and the
// bar's, which is an array element only.
//
// Each type has exactly one table, in tuple order; a record's NumPy data
// type is made from the same table (layouts.cpp). A row holds the field's
// name (which is also its _asdict key and its name in the struct-sequence
// type), where the field lives in the type's wire record and how it converts.
// The conversion follows from the C type of the record member the row is
// made from, so a row cannot disagree with the wire declaration:
//
//   u8 -> bool, u32/u64 -> unsigned int, i32/i64 -> signed int,
//   double -> float, char16_t[n] -> str (ends at the first zero unit or at
//   the field's end).
//
// An item that is not on the wire (the `request` of the trade results) is a
// named row without a place (Kind::Attached): the caller supplies its value.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "convert/types.hpp"

namespace qvn::convert {

enum class Kind : std::uint8_t {
    Bool,
    U32,
    I32,
    U64,
    I64,
    F64,
    Text,
    Attached,  // not on the wire: the caller supplies the value
};

// The largest field count of any type (SymbolInfo).
inline constexpr std::size_t kMaxFields = 96;

struct Field {
    const char* name;
    std::uint32_t offset;
    Kind kind;
    std::uint16_t units;  // Text only: the field's width in UTF-16 units

    constexpr std::uint32_t width() const noexcept {
        switch (kind) {
            case Kind::Bool: return 1;
            case Kind::U32:
            case Kind::I32: return 4;
            case Kind::U64:
            case Kind::I64:
            case Kind::F64: return 8;
            case Kind::Text: return 2u * units;
            case Kind::Attached: return 0;
        }
        return 0;
    }
};

template <class T>
constexpr Kind kind_of() noexcept {
    if constexpr (std::is_array_v<T>) {
        static_assert(std::is_same_v<std::remove_extent_t<T>, char16_t>, "text fields are UTF-16");
        return Kind::Text;
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return Kind::Bool;
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return Kind::U32;
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return Kind::I32;
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return Kind::U64;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return Kind::I64;
    } else {
        static_assert(std::is_same_v<T, double>, "no conversion for this wire type");
        return Kind::F64;
    }
}

template <class T>
constexpr std::uint16_t units_of() noexcept {
    if constexpr (std::is_array_v<T>)
        return static_cast<std::uint16_t>(std::extent_v<T>);
    else
        return 0;
}

// A row made from a member of a wire record: name, offset and conversion all
// come from the member's declaration.
#define QVN_FIELD(Record, member)                                                         \
    ::qvn::convert::Field {                                                                \
        #member, static_cast<std::uint32_t>(offsetof(Record, member)),                    \
            ::qvn::convert::kind_of<decltype(Record::member)>(),                           \
            ::qvn::convert::units_of<decltype(Record::member)>()                           \
    }

// A row whose value is not taken from the record.
constexpr Field attached(const char* name) noexcept { return {name, 0, Kind::Attached, 0}; }

// Bytes of a record that the wire carries but no tuple item takes.
struct Gap {
    std::uint32_t offset;
    std::uint32_t width;
};

#define QVN_GAP(Record, member)                                                           \
    ::qvn::convert::Gap {                                                                  \
        static_cast<std::uint32_t>(offsetof(Record, member)),                             \
            static_cast<std::uint32_t>(sizeof(Record::member))                            \
    }

// True when the rows and the declared gaps cover the record's `size` bytes
// exactly once each: no byte of the record is left out and no two rows
// overlap. Attached rows take no bytes and are not counted. Checked at
// compile time for every table.
template <std::size_t N, std::size_t G = 0>
constexpr bool covers_record(const std::array<Field, N>& rows, std::size_t size,
                             const std::array<Gap, G>& gaps = {}) noexcept {
    std::array<std::pair<std::uint32_t, std::uint32_t>, N + G> spans{};
    std::size_t used = 0;
    for (const Field& row : rows)
        if (row.kind != Kind::Attached) spans[used++] = {row.offset, row.width()};
    for (const Gap& gap : gaps) spans[used++] = {gap.offset, gap.width};
    std::sort(spans.begin(), spans.begin() + static_cast<std::ptrdiff_t>(used));
    std::size_t at = 0;
    for (std::size_t i = 0; i < used; ++i) {
        const auto [offset, width] = spans[i];
        if (offset != at || width == 0) return false;
        at += width;
    }
    return at == size;
}

// The table of a type, in tuple order.
std::span<const Field> fields_of(TypeId type) noexcept;

// Size of the wire record a type is converted from.
std::size_t record_size_of(TypeId type) noexcept;

// The table of the bar record, which no named tuple takes: the bar arrays'
// data type is made from it, as the tick arrays' is from Tick's table.
std::span<const Field> bar_fields() noexcept;

}  // namespace qvn::convert
