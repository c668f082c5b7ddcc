// A file system layer over SQLite's own that writes each commit's log
// frames in one system call. SQLite writes a frame as two writes (its header,
// then its page), so a trade of six pages took twelve writes before its
// sync; here writes that continue one another are gathered in memory and
// go to the file together, before any other operation on it (the sync above
// all, so a commit is on disk before SQLite reports it done, as before).
// Every other file, and everything else about the log, passes through.
#include "terminal/store/wal_writes.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace qvn::terminal {
namespace {

// Gathered bytes go out once they reach this much: a large transaction
// does not hold its whole log in memory.
constexpr std::size_t kGatherLimit = std::size_t{1} << 20;

// The most one write hands SQLite's own layer. Its unix layer writes at most
// 128 KiB - 1 bytes per call (it masks the length to 17 bits) and reports
// the rest as a full disk, so a commit whose log passed that could never be
// stored; gathered bytes go out in pieces well under it.
constexpr std::size_t kWritePiece = std::size_t{1} << 16;

sqlite3_vfs* g_base = nullptr;
sqlite3_vfs g_vfs;

struct File {
    sqlite3_file base;  // first: SQLite sees a File as a sqlite3_file
    sqlite3_file* real;
    bool gather;  // the log: writes are gathered
    int failed;   // a gathered write that failed, told at the next operation
    sqlite3_int64 at;
    std::vector<char>* pending;
};

File* of(sqlite3_file* f) noexcept { return reinterpret_cast<File*>(f); }
const sqlite3_io_methods* real_methods(File* f) noexcept { return f->real->pMethods; }

// Writes what was gathered. A failure is kept and reported by the next
// operation that can report one (a sync, at the latest: the commit fails).
int flush(File* f) noexcept {
    if (f->pending != nullptr && !f->pending->empty()) {
        const std::vector<char>& pending = *f->pending;
        for (std::size_t done = 0; done < pending.size() && f->failed == SQLITE_OK;) {
            const std::size_t n = std::min(kWritePiece, pending.size() - done);
            f->failed = real_methods(f)->xWrite(f->real, pending.data() + done, static_cast<int>(n),
                                                f->at + static_cast<sqlite3_int64>(done));
            done += n;
        }
        f->pending->clear();
    }
    const int rc = f->failed;
    f->failed = SQLITE_OK;
    return rc;
}

int x_close(sqlite3_file* file) {
    File* f = of(file);
    const int flushed = flush(f);
    const int rc = real_methods(f)->xClose(f->real);
    delete f->pending;
    f->pending = nullptr;
    return flushed != SQLITE_OK ? flushed : rc;
}

int x_read(sqlite3_file* file, void* data, int n, sqlite3_int64 offset) {
    File* f = of(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    return real_methods(f)->xRead(f->real, data, n, offset);
}

int x_write(sqlite3_file* file, const void* data, int n, sqlite3_int64 offset) {
    File* f = of(file);
    if (!f->gather || n <= 0) return real_methods(f)->xWrite(f->real, data, n, offset);
    std::vector<char>& pending = *f->pending;
    const auto size = static_cast<std::size_t>(n);
    if (!pending.empty() && (offset != f->at + static_cast<sqlite3_int64>(pending.size()) ||
                             pending.size() + size > kGatherLimit)) {
        if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    }
    try {
        if (pending.empty()) f->at = offset;
        const char* bytes = static_cast<const char*>(data);
        pending.insert(pending.end(), bytes, bytes + size);
    } catch (...) {
        if (const int rc = flush(f); rc != SQLITE_OK) return rc;
        return real_methods(f)->xWrite(f->real, data, n, offset);
    }
    return SQLITE_OK;
}

// Every other operation writes what was gathered first, then passes on.
template <auto Member, class... Args>
int pass(sqlite3_file* file, Args... args) {
    File* f = of(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    return (real_methods(f)->*Member)(f->real, args...);
}

int x_truncate(sqlite3_file* file, sqlite3_int64 size) { return pass<&sqlite3_io_methods::xTruncate>(file, size); }
int x_sync(sqlite3_file* file, int flags) { return pass<&sqlite3_io_methods::xSync>(file, flags); }
int x_file_size(sqlite3_file* file, sqlite3_int64* size) {
    return pass<&sqlite3_io_methods::xFileSize>(file, size);
}
int x_lock(sqlite3_file* file, int level) { return pass<&sqlite3_io_methods::xLock>(file, level); }
int x_unlock(sqlite3_file* file, int level) { return pass<&sqlite3_io_methods::xUnlock>(file, level); }
int x_check_reserved(sqlite3_file* file, int* out) {
    return pass<&sqlite3_io_methods::xCheckReservedLock>(file, out);
}
int x_file_control(sqlite3_file* file, int op, void* arg) {
    return pass<&sqlite3_io_methods::xFileControl>(file, op, arg);
}
int x_sector_size(sqlite3_file* file) { return real_methods(of(file))->xSectorSize(of(file)->real); }
int x_device(sqlite3_file* file) { return real_methods(of(file))->xDeviceCharacteristics(of(file)->real); }
int x_shm_map(sqlite3_file* file, int page, int size, int extend, void volatile** out) {
    return pass<&sqlite3_io_methods::xShmMap>(file, page, size, extend, out);
}
int x_shm_lock(sqlite3_file* file, int offset, int n, int flags) {
    return pass<&sqlite3_io_methods::xShmLock>(file, offset, n, flags);
}
void x_shm_barrier(sqlite3_file* file) {
    File* f = of(file);
    f->failed = flush(f);  // kept for the next operation that reports
    real_methods(f)->xShmBarrier(f->real);
}
int x_shm_unmap(sqlite3_file* file, int remove) { return pass<&sqlite3_io_methods::xShmUnmap>(file, remove); }
int x_fetch(sqlite3_file* file, sqlite3_int64 offset, int n, void** out) {
    return pass<&sqlite3_io_methods::xFetch>(file, offset, n, out);
}
int x_unfetch(sqlite3_file* file, sqlite3_int64 offset, void* p) {
    return pass<&sqlite3_io_methods::xUnfetch>(file, offset, p);
}

// The methods of a file, by how many of them its real file has.
sqlite3_io_methods methods_for(int version) {
    sqlite3_io_methods m{};
    m.iVersion = version;
    m.xClose = x_close;
    m.xRead = x_read;
    m.xWrite = x_write;
    m.xTruncate = x_truncate;
    m.xSync = x_sync;
    m.xFileSize = x_file_size;
    m.xLock = x_lock;
    m.xUnlock = x_unlock;
    m.xCheckReservedLock = x_check_reserved;
    m.xFileControl = x_file_control;
    m.xSectorSize = x_sector_size;
    m.xDeviceCharacteristics = x_device;
    if (version >= 2) {
        m.xShmMap = x_shm_map;
        m.xShmLock = x_shm_lock;
        m.xShmBarrier = x_shm_barrier;
        m.xShmUnmap = x_shm_unmap;
    }
    if (version >= 3) {
        m.xFetch = x_fetch;
        m.xUnfetch = x_unfetch;
    }
    return m;
}

const sqlite3_io_methods kMethods[] = {methods_for(1), methods_for(2), methods_for(3)};

int x_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
    File* f = of(file);
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->gather = (flags & SQLITE_OPEN_WAL) != 0;
    f->failed = SQLITE_OK;
    f->at = 0;
    f->pending = nullptr;
    const int rc = g_base->xOpen(g_base, name, f->real, flags, out_flags);
    if (f->real->pMethods == nullptr) return rc;  // nothing to close
    if (f->gather) {
        f->pending = new (std::nothrow) std::vector<char>();
        f->gather = f->pending != nullptr;
    }
    const int version = f->real->pMethods->iVersion;
    f->base.pMethods = &kMethods[version < 1 ? 0 : version > 3 ? 2 : version - 1];
    return rc;
}

// The rest of the file system is SQLite's own, called as itself.
int x_delete(sqlite3_vfs*, const char* name, int sync) { return g_base->xDelete(g_base, name, sync); }
int x_access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_base->xAccess(g_base, name, flags, out);
}
int x_full_pathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_base->xFullPathname(g_base, name, n, out);
}
void* x_dl_open(sqlite3_vfs*, const char* name) { return g_base->xDlOpen(g_base, name); }
void x_dl_error(sqlite3_vfs*, int n, char* out) { g_base->xDlError(g_base, n, out); }
void (*x_dl_sym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_base->xDlSym(g_base, handle, symbol);
}
void x_dl_close(sqlite3_vfs*, void* handle) { g_base->xDlClose(g_base, handle); }
int x_randomness(sqlite3_vfs*, int n, char* out) { return g_base->xRandomness(g_base, n, out); }
int x_sleep(sqlite3_vfs*, int micros) { return g_base->xSleep(g_base, micros); }
int x_current_time(sqlite3_vfs*, double* out) { return g_base->xCurrentTime(g_base, out); }
int x_last_error(sqlite3_vfs*, int n, char* out) { return g_base->xGetLastError(g_base, n, out); }
int x_current_time64(sqlite3_vfs*, sqlite3_int64* out) { return g_base->xCurrentTimeInt64(g_base, out); }

// Registers the layer; false when SQLite's own cannot be wrapped.
bool register_layer() noexcept {
    g_base = sqlite3_vfs_find(nullptr);
    if (g_base == nullptr || g_base->iVersion < 2) return false;
    g_vfs = sqlite3_vfs{};
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_base->szOsFile;
    g_vfs.mxPathname = g_base->mxPathname;
    g_vfs.zName = "qvn-gathered-log";
    g_vfs.xOpen = x_open;
    g_vfs.xDelete = x_delete;
    g_vfs.xAccess = x_access;
    g_vfs.xFullPathname = x_full_pathname;
    g_vfs.xDlOpen = x_dl_open;
    g_vfs.xDlError = x_dl_error;
    g_vfs.xDlSym = x_dl_sym;
    g_vfs.xDlClose = x_dl_close;
    g_vfs.xRandomness = x_randomness;
    g_vfs.xSleep = x_sleep;
    g_vfs.xCurrentTime = x_current_time;
    g_vfs.xGetLastError = x_last_error;
    g_vfs.xCurrentTimeInt64 = x_current_time64;
    return sqlite3_vfs_register(&g_vfs, 0) == SQLITE_OK;
}

}  // namespace

// A function-local static registers once, whichever thread comes first
// (std::call_once would tie the Terminal to the dynamic loader's TLS).
const char* gathering_vfs() noexcept {
    static const bool registered = register_layer();
    return registered ? g_vfs.zName : nullptr;
}

}  // namespace qvn::terminal
