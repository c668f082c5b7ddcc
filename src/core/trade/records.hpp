// What the position, order and history functions share: the request shapes
// and reply readers of the record commands, one driver that turns a record
// reply into a tuple of named tuples, and the argument converters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "convert/args.hpp"
#include "convert/types.hpp"
#include "link/stream.hpp"

namespace qvn::trade {

// ---- Request shapes and reply readers ---------------------------------------

// A request with a period: i64 from, then i64 to.
template <class Body>
std::int32_t send_command_range(link::Channel& channel, std::uint32_t command, std::int64_t from,
                                std::int64_t to, Body&& body) noexcept {
    return link::transact(channel, command, 16,
                    [from, to](link::PipeWriter& w) noexcept { return w.put(from) && w.put(to); }, body);
}

// Exactly one record of `size` bytes after echo and result. A failure reply
// that ends after the result code fails here, and the call reports its code.
inline auto read_record_reply(void* record, std::size_t size) noexcept {
    return [record, size](link::PipeReader& r) noexcept { return r.read(record, size); };
}

// A u32 count and that many records of `size` bytes, checked against the
// frame before any storage is taken; `progress` is told as they arrive.
inline auto read_record_list(std::size_t size, link::RecordBlock& out,
                             const link::RecordProgress* progress = nullptr) noexcept {
    return [size, &out, progress](link::PipeReader& r) noexcept {
        return link::read_records(r, size, link::kHeapAllocator, out, progress);
    };
}

// ---- Record kinds and queries -----------------------------------------------

// A record the trade commands return, and where its symbol name lives.
struct RecordKind {
    convert::TypeId type;
    std::size_t size;
    std::size_t symbol_offset;  // a 32-unit text field
};

extern const RecordKind kPositionKind;
extern const RecordKind kOrderKind;
extern const RecordKind kDealKind;

// A group text: at most 1997 units, held zero-filled in 2000.
using GroupText = convert::WideText<1999>;

enum class Form : std::uint8_t {
    All,     // no arguments
    Symbol,  // a wide string
    Ticket,  // u64, answered by one record
    Id,      // u64, answered by a list (a position identifier)
    Period,  // i64 from, i64 to
};

struct Query {
    explicit Query(std::uint32_t code) noexcept : command(code) {}

    std::uint32_t command;
    Form form = Form::All;
    std::u16string_view symbol;
    std::uint64_t id = 0;
    std::int64_t from = 0;
    std::int64_t to = 0;
    const GroupText* group = nullptr;  // keep only the records it selects
};

// Sends `query` and returns a tuple of named tuples of `kind`, or None with
// the error state set. A ticket the Terminal does not know gives an empty
// tuple and leaves (1, "Success").
PyObject* fetch_records(const RecordKind& kind, const Query& query) noexcept;

// Keeps, in order, the records whose symbol `group` selects; returns how many.
std::uint32_t filter_by_group(void* records, std::uint32_t count, const RecordKind& kind,
                              const GroupText& group) noexcept;

// ---- Argument helpers ---------------------------------------------------------

// (-2, text) and None.
PyObject* invalid(const char* text) noexcept;

// The keywords the record functions take.
enum class Key { Symbol, Ticket, Group, Position };

// The value of `key` in a keyword dictionary (borrowed), or null.
PyObject* keyword(PyObject* kwargs, Key key) noexcept;

// The `count` command of a total function.
PyObject* fetch_total(std::uint32_t command) noexcept;

}  // namespace qvn::trade
