#include "terminal/text/ini.hpp"

namespace qvn::terminal {
namespace {

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

const std::string* IniSection::find(std::string_view key) const noexcept {
    for (const auto& [k, v] : entries)
        if (iequals(k, key)) return &v;
    return nullptr;
}

void IniSection::set(std::string_view key, std::string_view value) {
    for (auto& [k, v] : entries) {
        if (iequals(k, key)) {
            v = value;
            return;
        }
    }
    entries.emplace_back(std::string(key), std::string(value));
}

const IniSection* IniFile::find(std::string_view name) const noexcept {
    for (const IniSection& s : sections)
        if (iequals(s.name, name)) return &s;
    return nullptr;
}

IniSection& IniFile::section(std::string_view name) {
    for (IniSection& s : sections)
        if (iequals(s.name, name)) return s;
    sections.push_back(IniSection{std::string(name), {}});
    return sections.back();
}

IniFile parse_ini(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    IniFile file;
    IniSection* current = nullptr;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = trim(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos) continue;
            current = &file.section(trim(line.substr(1, close - 1)));
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (current == nullptr) current = &file.section("");
        current->set(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return file;
}

std::string format_ini(const IniFile& file, std::string_view comment) {
    std::string out;
    std::size_t start = 0;
    while (start < comment.size()) {
        const std::size_t eol = comment.find('\n', start);
        const std::string_view line = comment.substr(start, eol == std::string_view::npos ? eol : eol - start);
        out += "; ";
        out += line;
        out += '\n';
        if (eol == std::string_view::npos) break;
        start = eol + 1;
    }
    for (const IniSection& s : file.sections) {
        if (!out.empty()) out += '\n';
        if (!s.name.empty()) out += "[" + s.name + "]\n";
        for (const auto& [k, v] : s.entries) out += k + "=" + v + "\n";
    }
    return out;
}

bool parse_uint(std::string_view text, std::uint64_t max, std::uint64_t& out) noexcept {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (digit > max || v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

bool parse_decimal(std::string_view text, double& out) noexcept {
    if (text.empty() || text.size() > 40) return false;
    const std::size_t dot = text.find('.');
    std::uint64_t whole = 0;
    if (!parse_uint(text.substr(0, dot), 1000000000000000ull, whole)) return false;
    double value = static_cast<double>(whole);
    if (dot != std::string_view::npos) {
        const std::string_view f = text.substr(dot + 1);
        std::uint64_t digits = 0;
        if (f.empty() || f.size() > 8 || !parse_uint(f, 99999999, digits)) return false;
        double scale = 1;
        for (std::size_t i = 0; i < f.size(); ++i) scale *= 10;
        value += static_cast<double>(digits) / scale;
    }
    out = value;
    return true;
}

bool parse_flag(std::string_view text, bool& out) noexcept {
    if (text == "1" || iequals(text, "true") || iequals(text, "yes")) {
        out = true;
        return true;
    }
    if (text == "0" || iequals(text, "false") || iequals(text, "no")) {
        out = false;
        return true;
    }
    return false;
}

}  // namespace qvn::terminal
