// The group mask matcher against a plain reference.
//
// Input: a group (or mask) and a name, split at the first 0xFF 0xFF unit
// pair, each read as UTF-16LE. The reference below follows the documented
// rules literally: masks split at commas, blanks trimmed, a leading `!`
// makes a mask negative, `*` matches any run; it uses a table of prefix
// matches, so it is slow but plainly right. Both matchers must agree on
// every mask on its own and on the whole group.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/group.hpp"

namespace {

using std::u16string_view;

// Does the mask match all of n? can[i][j]: pattern p[i:] matches n[j:].
bool reference_mask(u16string_view mask, u16string_view n) {
    std::size_t start = 0;
    while (start < mask.size() && mask[start] == u'!') ++start;
    const u16string_view p = mask.substr(start);
    if (p.empty()) return true;  // a mask of `!` alone (or nothing) selects every name
    std::vector<std::vector<char>> can(p.size() + 1, std::vector<char>(n.size() + 1, 0));
    can[p.size()][n.size()] = 1;
    for (std::size_t i = p.size(); i-- > 0;) {
        for (std::size_t j = n.size() + 1; j-- > 0;) {
            if (p[i] == u'*')
                can[i][j] = can[i + 1][j] || (j < n.size() && can[i][j + 1]);
            else
                can[i][j] = j < n.size() && p[i] == n[j] && can[i + 1][j + 1];
        }
    }
    return can[0][0] != 0;
}

bool reference_group(u16string_view group, u16string_view name) {
    bool positive = false;
    bool negative = false;
    std::size_t p = 0;
    for (;;) {
        const std::size_t comma = group.find(u',', p);
        u16string_view piece = group.substr(p, comma == u16string_view::npos ? u16string_view::npos : comma - p);
        while (!piece.empty() && piece.front() == u' ') piece.remove_prefix(1);
        while (!piece.empty() && piece.back() == u' ') piece.remove_suffix(1);
        if (!piece.empty() && reference_mask(piece, name)) (piece.front() == u'!' ? negative : positive) = true;
        if (comma == u16string_view::npos) break;
        p = comma + 1;
    }
    return positive && !negative;
}

std::u16string units(const std::uint8_t* data, std::size_t size) {
    std::u16string out(size / 2, u'\0');
    if (!out.empty()) std::memcpy(out.data(), data, out.size() * 2);
    return out;
}

void disagree(const char* what, u16string_view a, u16string_view b, bool fast, bool slow) {
    std::fprintf(stderr, "%s: matcher says %d, reference says %d (pattern %zu units, name %zu units)\n", what,
                 fast, slow, a.size(), b.size());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Keeps the reference's table small; the matcher itself is linear in memory.
    if (size > 4096) return 0;
    const std::u16string all = units(data, size);
    const std::size_t cut = all.find(u'\xFFFF');
    const u16string_view group = u16string_view(all).substr(0, cut);
    const u16string_view name = cut == std::u16string::npos ? u16string_view() : u16string_view(all).substr(cut + 1);

    const bool fast_group = qvn::protocol::match_group(group, name);
    const bool slow_group = reference_group(group, name);
    if (fast_group != slow_group) disagree("group", group, name, fast_group, slow_group);

    const bool fast_mask = qvn::protocol::match_mask(group, name);
    const bool slow_mask = reference_mask(group, name);
    if (fast_mask != slow_mask) disagree("mask", group, name, fast_mask, slow_mask);
    return 0;
}
