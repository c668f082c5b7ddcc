// Finding an installed Terminal from the data folders it keeps under the
// user's roaming data folder.
#pragma once

#include <cstdint>
#include <string>

namespace qvn::session {

struct TerminalCandidate {
    std::u16string executable;   // empty: no usable executable
    std::uint64_t timestamp = 0; // last write of the folder's marker files
    bool portable = false;
};

enum class Discovery {
    Searched,    // `best` holds the choice, or nothing when none was usable
    Untrusted,   // nothing usable: every candidate was another user's to change
    NoRoaming,   // the roaming data folder is unknown
};

// Picks the Terminal that started this process when it is among the
// candidates, otherwise the one whose data folder was written last.
Discovery find_terminal(TerminalCandidate& best);

}  // namespace qvn::session
