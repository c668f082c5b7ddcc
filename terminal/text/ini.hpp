// A small INI dialect, the format of the settings, account and imported
// symbol files: UTF-8 text (a leading byte-order mark is skipped),
// "[Section]" headers, "key=value" lines, comments starting with ';' or '#'.
// Section and key names compare case-insensitively; order is kept so a
// rewritten file reads like the original.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvn::terminal {

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;

    const std::string* find(std::string_view key) const noexcept;
    void set(std::string_view key, std::string_view value);
};

struct IniFile {
    std::vector<IniSection> sections;

    const IniSection* find(std::string_view name) const noexcept;
    IniSection& section(std::string_view name);  // found or appended
};

// Lines that are neither headers, entries nor comments are ignored; entries
// before the first header go to a section named "".
IniFile parse_ini(std::string_view text);
std::string format_ini(const IniFile& file, std::string_view comment);

bool iequals(std::string_view a, std::string_view b) noexcept;

// Values as the settings and account files spell them, read strictly: a
// whole number of at most `max` in plain digits; a decimal with up to 8
// fraction digits; a flag (1/true/yes or 0/false/no, any case).
bool parse_uint(std::string_view text, std::uint64_t max, std::uint64_t& out) noexcept;
bool parse_decimal(std::string_view text, double& out) noexcept;
bool parse_flag(std::string_view text, bool& out) noexcept;

}  // namespace qvn::terminal
