// Conversion of wire records to named tuples, driven by one table per record:
// each row says where a tuple item lives in the record and how it converts.
// The tuple order and the wire order may differ; the table is where that
// difference is written down.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "module/types.hpp"

namespace qvn::module {

enum class Kind : std::uint8_t {
    Bool,  // u8, non-zero is True
    U32,
    I32,
    U64,
    I64,
    F64,
    Text,  // UTF-16[units], ends at the first zero unit or the field's end
};

struct FieldRow {
    std::uint32_t offset;
    Kind kind;
    std::uint16_t units = 0;  // Text only
};

// A new named tuple of `type` whose items are converted from `record` as
// the rows say, in row order; null (with the Python error cleared) when it
// cannot be built.
PyObject* make_record_tuple(TypeId type, std::span<const FieldRow> rows, const void* record) noexcept;

// UTF-16 text to str; lone surrogates are kept as they are.
PyObject* text_to_str(const char16_t* text, std::size_t units) noexcept;

// The Python form of one field (a new reference, or null).
PyObject* field_value(const FieldRow& row, const std::uint8_t* record) noexcept;

}  // namespace qvn::module
