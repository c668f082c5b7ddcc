// The files of an imported symbol (QSL/custom/<NAME>/symbol.ini and
// ticks.qvt), opened so that reading them can neither reach outside the
// symbol's folder nor hold up the Terminal's start.
//
// The folder must be a folder of its own, not a symbolic link (on Windows,
// no reparse point), and it stays open while its files are read, so they are
// the files inside it. A file must be a regular file there, no link: a
// named pipe opened for reading waits for a writer, with the trading store
// locked, and a link to a device (/dev/zero) never ends. Files are opened
// without waiting and examined through the open handle, and the size a
// reader checks before taking memory is the size of what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace qvn::terminal {

// The words of each refusal, the same on every system.
inline constexpr std::string_view kLinkedFolder = "a symbolic link; only folders inside QSL/custom are read";
inline constexpr std::string_view kLinkedFile =
    "a symbolic link; only regular files inside the symbol's folder are read";

class SymbolFolder {
public:
    // False with the fault in `error` when `path` is a link or no folder.
    bool open(std::u16string_view path, std::string& error);
    const std::u16string& path() const noexcept { return path_; }
    platform::Handle handle() const noexcept { return handle_.get(); }

private:
    std::u16string path_;
    platform::UniqueHandle handle_;
};

class SymbolFile {
public:
    // Opens the file `name` of `folder`; false with the fault in `error`
    // (a link, a named pipe or anything but a regular file is refused,
    // and opening it never waits).
    bool open(const SymbolFolder& folder, std::u16string_view name, std::string& error);
    // The size of the open file, in bytes.
    std::uint64_t size() const noexcept { return size_; }
    // Reads the next `n` bytes; false when the file ends first or a read fails.
    bool read(void* out, std::size_t n) noexcept;
    // True when no byte follows what was read (the file did not grow).
    bool at_end() noexcept;

private:
    platform::UniqueHandle handle_;
    std::uint64_t size_ = 0;
};

}  // namespace qvn::terminal
