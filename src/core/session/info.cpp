// terminal_info and account_info: one command without arguments each,
// answered by one fixed-size record.
#include <Python.h>

#include "convert/outcome.hpp"
#include "convert/records.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/wire.hpp"

namespace qvn::session {
namespace {

// The record is validated whole (exact frame length) before any field is
// converted.
template <class Record>
PyObject* record_query(std::uint32_t command, convert::TypeId type) noexcept {
    link::reset_error();
    Record record;
    const std::int32_t code = link::send_command(link::client().handle(), command,
                                                 [&record](link::PipeReader& r) noexcept { return r.get(record); });
    if (code < 0) return convert::error_none(code);
    PyObject* tuple = convert::make_record_tuple_like_last(type, &record);
    if (tuple == nullptr) return convert::error_none(wire::kFailed);
    return tuple;
}

}  // namespace

PyObject* py_terminal_info(PyObject*, PyObject*) {
    return record_query<wire::TerminalInfoRecord>(wire::kTerminalInfo, convert::TypeId::TerminalInfo);
}

PyObject* py_account_info(PyObject*, PyObject*) {
    return record_query<wire::AccountInfoRecord>(wire::kAccountInfo, convert::TypeId::AccountInfo);
}

}  // namespace qvn::session
