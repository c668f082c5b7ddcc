// Argument conversion shared by the module functions. Every converter
// reports a rejected value by returning false with no Python error left set:
// module functions report argument errors through the error state only.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/wire.hpp"

namespace qvn::convert {

// A text argument held in a fixed buffer of `Capacity` units plus a zero.
template <std::size_t Capacity>
struct WideText {
    char16_t units[Capacity + 1] = {};
    std::size_t length = 0;  // units before the first zero unit

    std::u16string_view view() const noexcept { return {units, length}; }
};

// Copies a str (or subclass) of at most `max_units` UTF-16 units into
// `out[0..capacity]`, zero-terminated. A character outside the BMP counts two
// units. A str holding NUL is refused: the wire's fixed fields end at the
// first zero unit, so the Terminal would act on the text before it
// ("EURUSD\0GBPUSD" would trade EURUSD). `length` is the number of units.
bool str_to_utf16(PyObject* obj, char16_t* out, std::size_t capacity, std::size_t max_units,
                  std::size_t& length) noexcept;

template <std::size_t Capacity>
bool to_text(PyObject* obj, std::size_t max_units, WideText<Capacity>& out) noexcept {
    return str_to_utf16(obj, out.units, Capacity, max_units, out.length);
}

// A symbol name: at most 29 units, held with its terminator in 32.
using SymbolName = WideText<31>;

inline bool to_symbol(PyObject* obj, SymbolName& out) noexcept { return to_text(obj, wire::kSymbolUnits, out); }

// Integers: an int (or subclass, bool included), or any other object whose
// __index__ gives one (NumPy integers), that fits the target type. A float
// has no __index__ and stays refused; so does NumPy's bool, which NumPy 2
// no longer treats as an integer (NumPy 1 would with a warning), so that
// both behave alike.
bool to_u64(PyObject* obj, std::uint64_t& out) noexcept;
bool to_u32(PyObject* obj, std::uint32_t& out) noexcept;
bool to_i64(PyObject* obj, std::int64_t& out) noexcept;
bool to_i32(PyObject* obj, std::int32_t& out) noexcept;
// Any integer as above, cut to its low 32 bits (-1 becomes 0xFFFFFFFF).
bool to_u32_low_bits(PyObject* obj, std::uint32_t& out) noexcept;

// A float (or subclass), or a NumPy floating scalar of any width, as a
// double. An int is refused: where the module wants a price or a volume, a
// whole number is more likely a mistake than a value.
bool to_double(PyObject* obj, double& out) noexcept;

// A point in time: an int (bool included), a float (truncated toward zero)
// or a datetime.datetime (its timestamp(), truncated) to whole seconds. Values
// outside the signed 32-bit range of seconds, NaN and every other type are
// refused (dates.cpp).
bool to_seconds(PyObject* obj, std::int32_t& out) noexcept;

// Records (-2, a message naming the argument `name`, what was given and the
// dates taken) for a date that to_seconds refused; returns None, for the
// module function to return.
PyObject* refused_date(const char* name, PyObject* given) noexcept;

}  // namespace qvn::convert
