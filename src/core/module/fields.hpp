// The field tables of the named-tuple types.
//
// Each type has exactly one table, in tuple order. A row holds the field's
// name (which is also its _asdict key and its name in the struct-sequence
// type), where the field lives in the type's wire record and how it converts.
// The conversion follows from the C type of the record member the row is
// made from, so a row cannot disagree with the wire declaration:
//
//   u8 -> bool, u32/u64 -> unsigned int, i32/i64 -> signed int,
//   double -> float, char16_t[n] -> str (ends at the first zero unit or at
//   the field's end).
//
// Types whose wire record is not declared yet carry named rows without a
// place (Kind::Unplaced); giving them offsets is a change of their table only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "module/types.hpp"

namespace qvn::module {

enum class Kind : std::uint8_t {
    Bool,
    U32,
    I32,
    U64,
    I64,
    F64,
    Text,
    Unplaced,  // named, but no wire record yet
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
            case Kind::Unplaced: return 0;
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
    ::qvn::module::Field {                                                                \
        #member, static_cast<std::uint32_t>(offsetof(Record, member)),                    \
            ::qvn::module::kind_of<decltype(Record::member)>(),                           \
            ::qvn::module::units_of<decltype(Record::member)>()                           \
    }

// A row of a type that has no wire record yet.
constexpr Field unplaced(const char* name) noexcept { return {name, 0, Kind::Unplaced, 0}; }

// True when the rows cover the record's `size` bytes exactly once each: no
// byte of the record is left out and no two rows overlap. Checked at compile
// time for every placed table.
template <std::size_t N>
constexpr bool covers_record(const std::array<Field, N>& rows, std::size_t size) noexcept {
    std::array<std::pair<std::uint32_t, std::uint32_t>, N> spans{};
    for (std::size_t i = 0; i < N; ++i) spans[i] = {rows[i].offset, rows[i].width()};
    std::sort(spans.begin(), spans.end());
    std::size_t at = 0;
    for (const auto& [offset, width] : spans) {
        if (offset != at || width == 0) return false;
        at += width;
    }
    return at == size;
}

// The table of a type, in tuple order.
std::span<const Field> fields_of(TypeId type) noexcept;

// Size of the wire record a type is converted from; 0 when it has none yet.
std::size_t record_size_of(TypeId type) noexcept;

}  // namespace qvn::module
