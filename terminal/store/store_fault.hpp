// What went wrong when the trading store could not be read or written at
// run time, as the Terminal tells it: once on stderr (see TradeStore), and
// in the comment of a trade refused with STORAGE.
#pragma once

#include <cstdint>
#include <string_view>

namespace qvn::terminal {

enum class StoreFault : std::uint8_t {
    None,
    DiskFull,   // the disk (or the process's file size limit) has no room
    Io,         // the system reported a read, write or sync error
    NotWritable,   // a file of the store cannot be opened or written
    Damaged,    // the store holds what no account can (a SQLite check or ours)
    Locked,     // another process holds SQLite's lock on the database
    NoMemory,
    Other,      // anything else, an injected test failure included
};

// The fault a SQLite result code (primary or extended) stands for.
StoreFault store_fault(int sqlite_code) noexcept;

// The comment of a trade refused with STORAGE because of `fault`: "Not
// stored: disk full", ...; the plain STORAGE comment for None and Other.
std::u16string_view storage_comment(StoreFault fault) noexcept;

}  // namespace qvn::terminal
