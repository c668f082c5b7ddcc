#include "terminal/store/files.hpp"

#include "platform/platform.hpp"
#include "protocol/text.hpp"

namespace qvn::terminal {

using protocol::path_to_utf16;

bool file_exists(std::u16string_view path) { return platform::file_info(path).exists; }

std::u16string parent_folder(std::u16string_view path) {
    std::size_t slash = path.size();
    while (slash > 0 && !platform::is_separator(path[slash - 1])) --slash;
    if (slash == 0) return u".";
    if (slash == 1) return std::u16string(1, path[0]);
    return std::u16string(path.substr(0, slash - 1));
}

std::u16string join(std::u16string_view folder, std::u16string_view name) {
    std::u16string out(folder);
    if (out.empty() || !platform::is_separator(out.back())) out += platform::kPathSeparator;
    out += name;
    return out;
}

std::u16string utf16(std::string_view text) { return path_to_utf16(text); }

}  // namespace qvn::terminal
