// The checks a trading store passes before the Terminal serves it. Damage
// found here stops the start (the caller names the store's file); nothing
// is repaired or made anew over what the store holds.
//
// Of the files: the database's -wal, -shm and -journal belong to it, so one
// of them beside a database that is missing or empty is a store whose
// database was lost, not room for a new store.
//
// Of the database: SQLite's quick check of the file (every page reachable
// once, every row well formed: what a file cut short or overwritten
// breaks), then every row read as the Terminal reads it (a value of the
// wrong type in any column is damage), and what an account needs of its
// rows: every login with positions, orders, history orders or deals has
// its accounts row, whose next_ticket lies above every ticket of those
// rows (a ticket is never given twice).
#pragma once

#include <cstdint>
#include <string>

#include "terminal/store/database.hpp"

namespace qvn::terminal {

// What check_store_files found of one file of the store.
struct StoreFileSeen {
    bool exists = false;
    std::uint64_t size = 0;
};

// The database `db` as found, and its -wal, -shm and -journal in that
// order; false with `why` set when one of them lingers beside a missing or
// empty database.
bool check_store_logs(const std::string& db, const StoreFileSeen& database, const StoreFileSeen (&logs)[3],
                      std::string& why);

// Checks an open store of the current layout; false with `why` saying
// what is damaged (without the file's name).
bool check_store_rows(Database& db, std::string& why);

}  // namespace qvn::terminal
