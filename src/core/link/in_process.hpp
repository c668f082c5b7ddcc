// A Terminal in this process: built as terminal64 builds its own
// (terminal/host/), with no endpoint, and reached through the link's second
// kind (local.hpp), each request answered by a call of Terminal::handle.
// It lives as long as the connection: closing the channel that holds it
// ends it, its trading store closed and unlocked.
//
// It is called on the thread whose call it is, with the interpreter lock
// held: the Terminal's own helper threads (a long list generated ahead of
// its copy) never touch Python, and the calling thread waits only on them.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/local.hpp"

namespace qvn::link {

// Builds the Terminal of the installation kept whole in `folder` (see
// terminal::hosted_installation) with terminal64's command-line `args`
// (/portable is implied). On failure null, with the exit code terminal64
// would end with (1 or 2) in `code` and its message in `error`. Throws
// only what the message itself cannot be made without (std::bad_alloc).
std::unique_ptr<LocalPeer> start_in_process(std::u16string_view folder, const std::vector<std::string>& args,
                                            int& code, std::string& error);

}  // namespace qvn::link
