#include "protocol/text.hpp"

#include <algorithm>
#include <cstring>

namespace qvn::protocol {

char16_t lower_unit(char16_t u) noexcept {
    if (u < 0x80) return (u >= u'A' && u <= u'Z') ? char16_t(u + 0x20) : u;
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return char16_t(u + 0x20);
    if (u >= 0x100 && u <= 0x17F) {
        if (u == 0x130) return u'i';                 // capital I with dot above
        if (u == 0x178) return 0xFF;                 // capital Y with diaeresis
        if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E))
            return (u & 1) ? char16_t(u + 1) : u;    // pairs starting at odd code points
        if (u == 0x131 || u == 0x138 || u == 0x149 || u == 0x17F) return u;  // no capital pair
        return (u & 1) ? u : char16_t(u + 1);        // pairs starting at even code points
    }
    if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) return char16_t(u + 0x20);
    if (u >= 0x400 && u <= 0x40F) return char16_t(u + 0x50);
    if (u >= 0x410 && u <= 0x42F) return char16_t(u + 0x20);
    return u;
}

void lower_in_place(std::span<char16_t> text) noexcept {
    for (char16_t& u : text) u = lower_unit(u);
}

namespace {

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::string convert(std::u16string_view text, bool escaped_bytes) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            if (escaped_bytes && u >= 0xDC80 && u <= 0xDCFF)
                out += char(u - 0xDC00);
            else
                append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) { return convert(text, false); }
std::string utf16_to_path(std::u16string_view text) { return convert(text, true); }

std::u16string path_to_utf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        std::size_t len = 0;
        char32_t cp = 0, min = 0;
        if (b < 0x80) { len = 1; cp = b; }
        else if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; min = 0x10000; }
        bool ok = len != 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out += char16_t(0xDC00 + b);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += len;
    }
    return out;
}

std::size_t bounded_length(const char16_t* text, std::size_t units) noexcept {
    std::size_t n = 0;
    while (n < units && text[n] != 0) ++n;
    return n;
}

std::size_t utf8_boundary(std::string_view text, std::size_t max_bytes) noexcept {
    if (text.size() <= max_bytes) return text.size();
    std::size_t cut = max_bytes;
    // Step back over continuation bytes so the cut falls before a lead byte.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

void put_field(void* field, std::size_t field_bytes, std::u16string_view text) noexcept {
    const std::size_t units = field_bytes / sizeof(char16_t);
    const std::size_t n = units == 0 ? 0 : std::min(text.size(), units - 1);
    auto* out = static_cast<std::byte*>(field);
    std::memcpy(out, text.data(), n * sizeof(char16_t));
    std::memset(out + n * sizeof(char16_t), 0, field_bytes - n * sizeof(char16_t));
}

}  // namespace qvn::protocol
