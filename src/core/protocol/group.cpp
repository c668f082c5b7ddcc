#include "protocol/group.hpp"

#include <cstddef>

namespace qvn::protocol {

bool match_mask(std::u16string_view mask, std::u16string_view name) noexcept {
    std::size_t m = mask.find_first_not_of(u'!');
    if (m == std::u16string_view::npos) return true;  // nothing but `!`: the empty pattern
    // Greedy match that remembers the last `*`; on a mismatch the star takes
    // one more unit and the rest is tried again from there. Linear memory,
    // and every name that some expansion of the stars produces is matched.
    std::size_t t = 0;
    std::size_t star = std::u16string_view::npos;
    std::size_t star_t = 0;
    while (t < name.size()) {
        if (m < mask.size() && mask[m] == u'*') {
            star = m++;
            star_t = t;
        } else if (m < mask.size() && mask[m] == name[t]) {
            ++m;
            ++t;
        } else if (star != std::u16string_view::npos) {
            m = star + 1;
            t = ++star_t;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == u'*') ++m;
    return m == mask.size();
}

bool match_group(std::u16string_view group, std::u16string_view name) noexcept {
    bool selected = false;
    std::size_t p = 0;
    while (p < group.size()) {
        std::size_t end = group.find(u',', p);
        if (end == std::u16string_view::npos) end = group.size();
        std::u16string_view mask = group.substr(p, end - p);
        p = end + 1;
        const std::size_t first = mask.find_first_not_of(u' ');
        if (first == std::u16string_view::npos) continue;  // an empty piece
        mask = mask.substr(first, mask.find_last_not_of(u' ') - first + 1);
        if (!match_mask(mask, name)) continue;
        if (mask.front() == u'!') return false;
        selected = true;
    }
    return selected;
}

}  // namespace qvn::protocol
