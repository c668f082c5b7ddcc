#include "session/discovery.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/client.hpp"
#include "platform/platform.hpp"
#include "protocol/wire.hpp"

namespace qvn::session {
namespace {

constexpr std::size_t kOriginBytes = 518;  // a byte-order mark and up to 258 units

std::u16string bounded(std::u16string text) {
    if (text.size() > wire::kMaxPath) text.resize(wire::kMaxPath);
    return text;
}

// The installation folder named by a data folder's origin.txt: UTF-16LE
// after a byte-order mark; anything else makes the folder unusable.
bool read_origin(const std::u16string& folder, std::u16string& out) {
    unsigned char bytes[kOriginBytes];
    std::size_t got = 0;
    if (!platform::read_file_prefix(folder + u"/origin.txt", bytes, sizeof bytes, got)) return false;
    if (got < 8 || bytes[0] != 0xFF || bytes[1] != 0xFE) return false;
    out.clear();
    for (std::size_t i = 2; i + 1 < got; i += 2) out += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return true;
}

enum class Verdict { Usable, Unusable, Untrusted };

// A data folder, its origin.txt, the executable it names and the folder
// holding that decide which program this user runs, so none of them may be
// another user's to change: that would let them start a program of their
// choosing as us.
Verdict examine(const std::u16string& folder, TerminalCandidate& c) {
    c = TerminalCandidate{};
    if (!platform::file_info(folder).trusted) return Verdict::Untrusted;
    const platform::FileInfo portable = platform::file_info(folder + u"/portable.txt");
    if (portable.exists) {
        c.portable = true;
        c.timestamp = portable.write_time;
    } else {
        if (!platform::file_info(folder + u"/QSL").exists) return Verdict::Unusable;
        const platform::FileInfo accounts = platform::file_info(folder + u"/config/accounts.dat");
        const platform::FileInfo settings = platform::file_info(folder + u"/config/terminal.ini");
        if (accounts.exists) c.timestamp = accounts.write_time;
        if (settings.exists && settings.write_time > c.timestamp) c.timestamp = settings.write_time;
    }
    const platform::FileInfo origin_file = platform::file_info(folder + u"/origin.txt");
    if (!origin_file.exists) return Verdict::Unusable;
    if (!origin_file.trusted) return Verdict::Untrusted;
    std::u16string origin;
    if (!read_origin(folder, origin)) return Verdict::Unusable;
    std::u16string executable = bounded(origin + platform::kPathSeparator + u"terminal64" +
                                        std::u16string(platform::kExecutableSuffix));
    const platform::FileInfo exe = platform::file_info(executable);
    if (!exe.exists || exe.directory) return Verdict::Unusable;
    if (!exe.trusted || !platform::file_info(origin).trusted) return Verdict::Untrusted;
    c.executable = std::move(executable);
    return Verdict::Usable;
}

}  // namespace

Discovery find_terminal(TerminalCandidate& best) {
    best = TerminalCandidate{};
    const std::u16string terminals = platform::terminals_folder();
    if (terminals.empty()) return Discovery::NoRoaming;
    const std::u16string base = bounded(terminals);

    std::vector<platform::DirEntry> entries;
    if (!platform::list_folder(base, entries)) return Discovery::Searched;
    // Folder order decides ties between equal timestamps; sorting makes it
    // independent of the file system's listing order.
    std::sort(entries.begin(), entries.end(),
              [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });

    std::u16string parent;
    if (const std::u16string image = platform::parent_executable(); !image.empty())
        parent = link::final_path(image, wire::kMaxPath - 1);

    TerminalCandidate candidate;
    bool refused = false;
    for (const platform::DirEntry& entry : entries) {
        if (!entry.directory || entry.name.empty() || entry.name[0] == u'.') continue;
        const Verdict verdict = examine(bounded(base + platform::kPathSeparator + entry.name), candidate);
        refused |= verdict == Verdict::Untrusted;
        if (verdict != Verdict::Usable) continue;
        if (!parent.empty() && link::final_path(candidate.executable, wire::kMaxPath) == parent) {
            best = std::move(candidate);
            break;
        }
        if (best.executable.empty() || candidate.timestamp > best.timestamp) best = candidate;
    }
    return best.executable.empty() && refused ? Discovery::Untrusted : Discovery::Searched;
}

}  // namespace qvn::session
