// Files of the Terminal on POSIX systems.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.hpp"
#include "protocol/text.hpp"
#include "terminal/store/files.hpp"

namespace qvn::terminal {

using protocol::utf16_to_path;

bool make_folders(std::u16string_view path) {
    const std::string p = utf16_to_path(path);
    if (p.empty()) return false;
    for (std::size_t i = 1; i <= p.size(); ++i) {
        if (i != p.size() && p[i] != '/') continue;
        const std::string prefix = p.substr(0, i);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_file(std::u16string_view path, std::string_view bytes) {
    const std::string target = utf16_to_path(path);
    const std::string temp = target + ".tmp." + std::to_string(::getpid());
    {
        platform::UniqueHandle fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd.valid()) return false;
        const char* p = bytes.data();
        std::size_t left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(fd.get(), p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::unlink(temp.c_str());
                return false;
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool read_file(std::u16string_view path, std::string& out, std::size_t limit) {
    out.clear();
    platform::UniqueHandle fd(::open(utf16_to_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out.size() + static_cast<std::size_t>(n) > limit) return false;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::u16string> list_folders(std::u16string_view path) {
    std::vector<std::u16string> out;
    const std::string folder = utf16_to_path(path);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return out;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            out.push_back(protocol::path_to_utf16(name));
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

void remove_file(std::u16string_view path) { ::unlink(utf16_to_path(path).c_str()); }

bool move_folder(std::u16string_view from, std::u16string_view to) {
    const std::string target = utf16_to_path(to);
    struct stat st {};
    // rename() would replace an empty folder of that name: none may exist.
    if (::lstat(target.c_str(), &st) == 0 || errno != ENOENT) return false;
    return ::rename(utf16_to_path(from).c_str(), target.c_str()) == 0;
}

}  // namespace qvn::terminal
