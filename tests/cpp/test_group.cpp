// Group masks: one table of (mask or group, name, expected) rows.
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "check.hpp"
#include "protocol/group.hpp"

namespace {

struct Row {
    std::u16string_view pattern;
    std::u16string_view name;
    bool expected;
};

// match_mask: wildcards, case, and runs that repeat inside the name (a
// matcher that never backs up misses these).
constexpr Row kMasks[] = {
    {u"EUR*", u"EURUSD", true},      {u"*USD", u"EURUSD", true},     {u"E*D", u"EURUSD", true},
    {u"E*D", u"EURUSDX", false},     {u"EUR", u"eur", false},        {u"EUR", u"EURUSD", false},
    {u"*AB", u"AAB", true},          {u"*AAB", u"AAAB", true},       {u"*ABA", u"ABABA", true},
    {u"*B*A", u"BBA", true},         {u"*", u"", true},              {u"**", u"", true},
    {u"*A", u"A", true},             {u"A*", u"A", true},            {u"A*", u"", false},
    {u"!!EUR*", u"EURUSD", true},    {u"", u"X", true},              {u"!", u"", true},
    {u"A*B*C", u"AXBXBXC", true},    {u"A*B*C", u"AXBXCX", false},   {u"?", u"A", false},
};

// match_group: signs, order, blanks and empty pieces.
constexpr Row kGroups[] = {
    {u"*,!EUR*", u"GBPUSD", true},        {u"*,!EUR*", u"EURUSD", false},
    {u"!EUR*,*", u"EURUSD", false},       {u"!EUR*", u"GBPUSD", false},
    {u" EURUSD , GBPUSD ", u"GBPUSD", true}, {u"EURUSD ,", u"EURUSD", true},
    {u"EUR USD", u"EUR USD", true},       {u"EUR USD", u"EURUSD", false},
    {u"", u"EURUSD", false},              {u",,,", u"EURUSD", false},
    {u"Forex*,Metals*", u"Metals\\Spot\\XAUUSD", true},
};

}  // namespace

int main() {
    const auto check_rows = [](const char* table, std::span<const Row> rows, auto match) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (match(rows[i].pattern, rows[i].name) == rows[i].expected) continue;
            std::fprintf(stderr, "%s row %zu\n", table, i);
            CHECK(false);
        }
    };
    check_rows("mask", kMasks, qvn::protocol::match_mask);
    check_rows("group", kGroups, qvn::protocol::match_group);
    // A long piece is one mask, never split or cut.
    const std::u16string long_mask = std::u16string(300, u'A') + u"*";
    CHECK(qvn::protocol::match_group(long_mask + u",C", std::u16string(300, u'A') + u"B"));
    CHECK(qvn::protocol::match_group(long_mask + u",C", u"C"));
    CHECK(!qvn::protocol::match_group(long_mask, u"B"));
    return qvn::test::finish("group");
}
