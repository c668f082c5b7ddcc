// The file system layer the trading store opens its database through: the
// log's frames of one commit reach the file in one write (see the .cpp).
#pragma once

namespace qvn::terminal {

// The layer's name for sqlite3_open_v2, registered on first use; null when
// it could not be (the store then opens through SQLite's own).
const char* gathering_vfs() noexcept;

}  // namespace qvn::terminal
