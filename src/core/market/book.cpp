// Depth of Market: market_book_add, market_book_release and market_book_get.
//
// add and release answer a truth value for the Terminal's verdict, but None
// for an argument they cannot send at all.
#include "convert/args.hpp"
#include "convert/outcome.hpp"
#include "convert/records.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/wire.hpp"

namespace qvn::market {
namespace {

bool one_symbol(PyObject* args, convert::SymbolName& name) noexcept {
    return args != nullptr && PyTuple_GET_SIZE(args) == 1 && convert::to_symbol(PyTuple_GET_ITEM(args, 0), name);
}

PyObject* book_request(PyObject* args, std::uint32_t command) noexcept {
    link::reset_error();
    convert::SymbolName name;
    if (!one_symbol(args, name)) return convert::error_none(wire::kInvalidParams, "Invalid arguments");
    const std::int32_t code = link::send_command_text(link::client().handle(), command, name.view(), link::no_fields);
    if (code < 0) return convert::error_false(code);
    Py_RETURN_TRUE;
}

}  // namespace

PyObject* py_market_book_add(PyObject*, PyObject* args) { return book_request(args, wire::kBookAdd); }

PyObject* py_market_book_release(PyObject*, PyObject* args) { return book_request(args, wire::kBookRelease); }

PyObject* py_market_book_get(PyObject*, PyObject* args) {
    link::reset_error();
    convert::SymbolName name;
    if (!one_symbol(args, name)) return convert::error_none(wire::kInvalidParams, "Invalid arguments");
    link::RecordBlock entries;
    const std::int32_t code = link::send_command_text(
        link::client().handle(), wire::kBookGet, name.view(), [&entries](link::PipeReader& r) noexcept {
            return link::read_records(r, sizeof(wire::BookRecord), link::kHeapAllocator, entries);
        });
    if (code < 0) return convert::error_none(code);
    PyObject* list = convert::make_record_tuples(convert::TypeId::BookInfo, entries.data(), entries.count());
    if (list == nullptr) return convert::error_none(wire::kFailed);
    return list;
}

}  // namespace qvn::market
