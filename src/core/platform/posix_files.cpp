// Files, folders and well-known locations.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.hpp"
#include "protocol/endpoint.hpp"
#include "protocol/text.hpp"

namespace qvn::platform {

using protocol::path_to_utf16;
using protocol::utf16_to_path;

std::u16string resolve_path(std::u16string_view path) {
    const std::string bytes = utf16_to_path(path);
    char* resolved = ::realpath(bytes.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::u16string out = path_to_utf16(resolved);
    std::free(resolved);
    return out;
}

bool endpoint_digest(std::u16string_view final_path, protocol::Digest& out) noexcept {
    try {
        out = protocol::path_digest(final_path);
        return true;
    } catch (...) {
        return false;
    }
}

std::u16string roaming_folder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return path_to_utf16(data);
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        std::string p = home;
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        return path_to_utf16(p + "/.local/share");
    }
    return {};
}

FileInfo file_info(std::u16string_view path) noexcept {
    FileInfo info;
    try {
        struct stat st {};
        if (::stat(utf16_to_path(path).c_str(), &st) != 0) return info;
        info.exists = true;
        info.directory = S_ISDIR(st.st_mode);
        info.executable = S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
        info.write_time = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
                          static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
        info.trusted = (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    } catch (...) {
        info = FileInfo{};
    }
    return info;
}

bool list_folder(std::u16string_view path, std::vector<DirEntry>& out) {
    out.clear();
    const std::string folder = utf16_to_path(path);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            is_dir = ::stat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        out.push_back(DirEntry{path_to_utf16(name), is_dir});
    }
    ::closedir(dir);
    return true;
}

bool read_file_prefix(std::u16string_view path, void* buffer, std::size_t max, std::size_t& got) noexcept {
    got = 0;
    try {
        UniqueHandle fd(::open(utf16_to_path(path).c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return false;
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        auto p = static_cast<char*>(buffer);
        while (got < max) {
            const ssize_t n = ::read(fd.get(), p + got, max - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace qvn::platform
