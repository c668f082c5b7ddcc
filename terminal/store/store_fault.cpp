#include "terminal/store/store_fault.hpp"

#include <sqlite3.h>

namespace qvn::terminal {

StoreFault store_fault(int sqlite_code) noexcept {
    switch (sqlite_code & 0xFF) {
        case SQLITE_FULL: return StoreFault::DiskFull;
        case SQLITE_IOERR: return (sqlite_code == SQLITE_IOERR_NOMEM) ? StoreFault::NoMemory : StoreFault::Io;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN: return StoreFault::NotWritable;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_SCHEMA: return StoreFault::Damaged;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return StoreFault::Locked;
        case SQLITE_NOMEM: return StoreFault::NoMemory;
        default: return StoreFault::Other;
    }
}

// Each fits the 31 units a result's comment holds.
std::u16string_view storage_comment(StoreFault fault) noexcept {
    switch (fault) {
        case StoreFault::DiskFull: return u"Not stored: disk full";
        case StoreFault::Io: return u"Not stored: disk I/O error";
        case StoreFault::NotWritable: return u"Not stored: store not writable";
        case StoreFault::Damaged: return u"Not stored: store damaged";
        case StoreFault::Locked: return u"Not stored: store locked";
        case StoreFault::NoMemory: return u"Not stored: out of memory";
        case StoreFault::None:
        case StoreFault::Other: break;
    }
    return u"Trade could not be stored";
}

}  // namespace qvn::terminal
