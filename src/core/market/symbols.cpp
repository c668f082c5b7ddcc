// The symbol catalogue: symbols_total, symbols_get and symbol_info.
//
// The count and the list need a Terminal of kCatalogueBuild or later; older
// Terminals answer symbol_info with the record cut before `name`, which the
// module then fills from the name it asked for.
#include <cstring>

#include "convert/args.hpp"
#include "convert/outcome.hpp"
#include "convert/records.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::market {
namespace {

// A group text: at most 1997 units, held zero-filled in 2000.
using GroupText = convert::WideText<1999>;

bool catalogue_supported() noexcept { return link::client().terminal_build() >= wire::kCatalogueBuild; }

PyObject* invalid(const char* text) noexcept { return convert::error_false(wire::kInvalidParams, text); }

}  // namespace

PyObject* py_symbols_total(PyObject*, PyObject*) {
    link::reset_error();
    if (!catalogue_supported()) return convert::error_none(wire::kIncompatibleVersion);
    std::uint32_t count = 0;
    const std::int32_t code =
        link::send_command(link::client().handle(), wire::kSymbolsTotal, link::status_reply(count));
    if (code < 0) return convert::error_none(code);
    return PyLong_FromUnsignedLong(count);
}

PyObject* py_symbols_get(PyObject*, PyObject* args, PyObject* kwargs) {
    link::reset_error();
    GroupText group;
    const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (given > 1) return invalid("Invalid number of arguments");
    if (given == 1 && !convert::to_text(PyTuple_GET_ITEM(args, 0), wire::kGroupUnits, group))
        return invalid("Invalid 1st unnamed argument");
    if (kwargs != nullptr) {
        // Other keywords are ignored; `group` replaces a positional text.
        PyObject* value = PyDict_GetItemString(kwargs, "group");
        if (value != nullptr && !convert::to_text(value, wire::kGroupUnits, group))
            return invalid("Invalid \"group\" argument");
    }
    if (!catalogue_supported()) return convert::error_none(wire::kIncompatibleVersion);

    link::RecordBlock records;
    convert::TuplesOnArrival tuples(convert::TypeId::SymbolInfo);
    const auto read = [&records, &tuples](link::PipeReader& r) noexcept {
        return link::read_records(r, sizeof(wire::SymbolInfoRecord), link::kHeapAllocator, records,
                                  tuples.progress());
    };
    // An empty text asks for every symbol, as no text does.
    const std::int32_t code =
        group.length == 0
            ? link::send_command(link::client().handle(), wire::kSymbolsGet, read)
            : link::send_command_text(link::client().handle(), wire::kSymbolsGetGroup, group.view(), read);
    if (code < 0) return convert::error_none(code);
    PyObject* list = tuples.finish();
    if (list == nullptr) return convert::error_none(wire::kFailed);
    return list;
}

PyObject* py_symbol_info(PyObject*, PyObject* args) {
    link::reset_error();
    convert::SymbolName name;
    if (args == nullptr || PyTuple_GET_SIZE(args) != 1 || !convert::to_symbol(PyTuple_GET_ITEM(args, 0), name))
        return convert::error_none(wire::kInvalidParams, "Invalid arguments");

    // Decided before the request: the reply's size depends on it.
    const bool full = catalogue_supported();
    wire::SymbolInfoRecord record;
    const std::size_t size = full ? sizeof record : wire::kSymbolRecordShort;
    const std::int32_t code = link::send_command_text(
        link::client().handle(), wire::kSymbolInfo, name.view(),
        [&record, size](link::PipeReader& r) noexcept { return r.read(&record, size); });
    if (code < 0) return convert::error_none(code);
    if (!full) {
        auto* bytes = reinterpret_cast<std::uint8_t*>(&record);
        protocol::put_field(bytes + offsetof(wire::SymbolInfoRecord, name), sizeof record.name, name.view());
    }
    PyObject* tuple = convert::make_record_tuple_like_last(convert::TypeId::SymbolInfo, &record);
    if (tuple == nullptr) return convert::error_none(wire::kFailed);
    return tuple;
}

}  // namespace qvn::market
