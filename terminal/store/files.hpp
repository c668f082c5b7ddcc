// File-system helpers of the Terminal program. Paths are UTF-16, as in the
// platform layer, and converted with the same escaping of raw bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qvn::terminal {

// Creates a folder and its missing parents (mode 0700 for new ones).
bool make_folders(std::u16string_view path);

// Replaces a file with `bytes` through a temporary file and a rename, so a
// reader never sees half a file.
bool write_file(std::u16string_view path, std::string_view bytes);

// Settings files are small: a file over `limit` bytes is not one of ours.
bool read_file(std::u16string_view path, std::string& out, std::size_t limit = 16u << 20);
// The names of the folders in a folder, sorted; empty when it cannot be read.
std::vector<std::u16string> list_folders(std::u16string_view path);
void remove_file(std::u16string_view path);
// Renames a folder (with everything in it) to a name that is not taken;
// false when `to` exists or the system refuses (on Windows, while a file in
// the folder is open).
bool move_folder(std::u16string_view from, std::u16string_view to);
bool file_exists(std::u16string_view path);

// The folder part of a path ("/a/b/c" -> "/a/b"; "/c" -> "/").
std::u16string parent_folder(std::u16string_view path);

std::u16string join(std::u16string_view folder, std::u16string_view name);
std::u16string utf16(std::string_view ascii_or_utf8);

}  // namespace qvn::terminal
