// The request and reply shared by the tick and bar history commands.
//
// Every history request is a symbol followed by three integers, and every
// reply is a counted block of 60-byte records; a command is described by its
// code and its three fields, and one writer and one reader serve them all.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "convert/layouts.hpp"

namespace qvn::history {

// A signed integer argument at its wire width (4 or 8 bytes).
struct WireInt {
    std::int64_t value;
    std::uint8_t width;
};

constexpr WireInt i32(std::int32_t value) noexcept { return {value, 4}; }
constexpr WireInt i64(std::int64_t value) noexcept { return {value, 8}; }

struct HistoryRequest {
    std::uint32_t command;
    std::u16string_view symbol;
    std::array<WireInt, 3> fields;  // after the symbol, in wire order
};

// Sends `request` and returns its records as a NumPy array of `layout`
// (borrowed; null when the layout was never built), or None with the error
// state set. The array is the received block itself, not a copy.
PyObject* fetch_records(const HistoryRequest& request, std::size_t record_size, PyArray_Descr* layout) noexcept;

}  // namespace qvn::history
