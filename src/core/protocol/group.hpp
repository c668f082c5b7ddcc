// Symbol group masks, shared by the module (filtering positions, orders and
// history by `group`) and the Terminal (selecting symbols by group), so both
// read a group the same way.
//
// A group is a comma-separated list of masks. Blanks before and after a mask
// are ignored; a blank inside one is an ordinary unit. In a mask `*` matches
// any run of units, the empty run included; every other unit matches only
// itself (case-sensitive, surrogates as two ordinary units). A mask that
// starts with `!` is negative. A name is selected when at least one positive
// mask matches it and no negative mask does, whatever the order of the masks;
// a group of negative masks alone selects nothing.
#pragma once

#include <string_view>

namespace qvn::protocol {

// True when `mask` matches the whole of `name`. Leading `!` units of the
// mask are not part of the pattern; an empty pattern matches every name.
bool match_mask(std::u16string_view mask, std::u16string_view name) noexcept;

// True when `group` selects `name`; false for an empty group.
bool match_group(std::u16string_view group, std::u16string_view name) noexcept;

}  // namespace qvn::protocol
