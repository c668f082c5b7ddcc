// UTF-16 text helpers shared by the module and the Terminal: the lower-casing
// that feeds the endpoint digest, and conversions between wire text (UTF-16)
// and the UTF-8 used for messages and file-system paths.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace qvn::protocol {

// Lower-cases one UTF-16 unit without consulting any locale, so the module
// and the Terminal always agree. Covered: ASCII, Latin-1 Supplement, Latin
// Extended-A, basic Greek and basic Cyrillic capitals. Every other unit
// (surrogates included) is returned unchanged.
char16_t lower_unit(char16_t unit) noexcept;
void lower_in_place(std::span<char16_t> text) noexcept;

// UTF-16 to UTF-8 for messages: a lone surrogate becomes U+FFFD, so the
// result is always valid UTF-8.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-16 to the bytes of a file-system path. Units U+DC80..U+DCFF that stand
// alone are the escaped raw bytes of a path that was not valid UTF-8 (the
// interpreter's "surrogateescape" form) and become those bytes again.
std::string utf16_to_path(std::u16string_view text);

// The bytes of a file-system path to UTF-16; a byte that is not part of valid
// UTF-8 becomes U+DC00 + byte, the inverse of utf16_to_path.
std::u16string path_to_utf16(std::string_view bytes);

// Length of the text before the first zero unit, never reading past `units`.
std::size_t bounded_length(const char16_t* text, std::size_t units) noexcept;

// Writes `text` into a fixed UTF-16 field of a packed record that is
// `field_bytes` long: cut to leave a terminating zero unit, the rest of the
// field zero-filled. Records are packed, so the field may sit at any address;
// it is written with byte copies, never through a char16_t pointer.
void put_field(void* field, std::size_t field_bytes, std::u16string_view text) noexcept;

// Cuts `text` to at most `max_bytes` bytes without splitting a UTF-8 sequence.
std::size_t utf8_boundary(std::string_view text, std::size_t max_bytes) noexcept;

}  // namespace qvn::protocol
