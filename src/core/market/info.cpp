#include "market/info.hpp"

#include <cstddef>

#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "module/records.hpp"
#include "protocol/wire.hpp"

namespace qvn::market {
namespace {

using module::FieldRow;
using module::Kind;
using wire::AccountInfoRecord;
using wire::TerminalInfoRecord;

#define QVN_AT(record, field) static_cast<std::uint32_t>(offsetof(record, field))

// TerminalInfo in tuple order; the wire keeps tradeapi_disabled last.
constexpr FieldRow kTerminalRows[] = {
    {QVN_AT(TerminalInfoRecord, community_account), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, community_connection), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, connected), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, dlls_allowed), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, trade_allowed), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, tradeapi_disabled), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, email_enabled), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, ftp_enabled), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, notifications_enabled), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, bvid), Kind::Bool},
    {QVN_AT(TerminalInfoRecord, build), Kind::U32},
    {QVN_AT(TerminalInfoRecord, maxbars), Kind::U32},
    {QVN_AT(TerminalInfoRecord, codepage), Kind::I32},
    {QVN_AT(TerminalInfoRecord, ping_last), Kind::I32},
    {QVN_AT(TerminalInfoRecord, community_balance), Kind::F64},
    {QVN_AT(TerminalInfoRecord, retransmission), Kind::F64},
    {QVN_AT(TerminalInfoRecord, company), Kind::Text, 260},
    {QVN_AT(TerminalInfoRecord, name), Kind::Text, 260},
    {QVN_AT(TerminalInfoRecord, language), Kind::Text, 260},
    {QVN_AT(TerminalInfoRecord, path), Kind::Text, 260},
    {QVN_AT(TerminalInfoRecord, data_path), Kind::Text, 260},
    {QVN_AT(TerminalInfoRecord, commondata_path), Kind::Text, 260},
};
static_assert(std::size(kTerminalRows) == 22);

// AccountInfo: wire order is tuple order.
constexpr FieldRow kAccountRows[] = {
    {QVN_AT(AccountInfoRecord, login), Kind::U64},
    {QVN_AT(AccountInfoRecord, trade_mode), Kind::U32},
    {QVN_AT(AccountInfoRecord, leverage), Kind::U32},
    {QVN_AT(AccountInfoRecord, limit_orders), Kind::U32},
    {QVN_AT(AccountInfoRecord, margin_so_mode), Kind::U32},
    {QVN_AT(AccountInfoRecord, trade_allowed), Kind::Bool},
    {QVN_AT(AccountInfoRecord, trade_expert), Kind::Bool},
    {QVN_AT(AccountInfoRecord, margin_mode), Kind::U32},
    {QVN_AT(AccountInfoRecord, currency_digits), Kind::U32},
    {QVN_AT(AccountInfoRecord, fifo_close), Kind::Bool},
    {QVN_AT(AccountInfoRecord, balance), Kind::F64},
    {QVN_AT(AccountInfoRecord, credit), Kind::F64},
    {QVN_AT(AccountInfoRecord, profit), Kind::F64},
    {QVN_AT(AccountInfoRecord, equity), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin_free), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin_level), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin_so_call), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin_so_so), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin_initial), Kind::F64},
    {QVN_AT(AccountInfoRecord, margin_maintenance), Kind::F64},
    {QVN_AT(AccountInfoRecord, assets), Kind::F64},
    {QVN_AT(AccountInfoRecord, liabilities), Kind::F64},
    {QVN_AT(AccountInfoRecord, commission_blocked), Kind::F64},
    {QVN_AT(AccountInfoRecord, name), Kind::Text, 128},
    {QVN_AT(AccountInfoRecord, server), Kind::Text, 64},
    {QVN_AT(AccountInfoRecord, currency), Kind::Text, 32},
    {QVN_AT(AccountInfoRecord, company), Kind::Text, 128},
};
static_assert(std::size(kAccountRows) == 28);

#undef QVN_AT

// One command without arguments answered by one fixed-size record, which is
// validated whole before any field is converted.
template <class Record, std::size_t N>
PyObject* record_query(std::uint32_t command, module::TypeId type, const FieldRow (&rows)[N]) {
    link::reset_error();
    Record record;
    const std::int32_t code = link::send_command(link::client().handle(), command,
                                                 [&record](link::PipeReader& r) noexcept { return r.get(record); });
    if (code < 0) return link::error_none(code);
    PyObject* tuple = module::make_record_tuple(type, rows, &record);
    if (tuple == nullptr) return link::error_none(wire::kFailed);
    return tuple;
}

}  // namespace

PyObject* py_terminal_info(PyObject*, PyObject*) {
    return record_query<TerminalInfoRecord>(wire::kTerminalInfo, module::TypeId::TerminalInfo, kTerminalRows);
}

PyObject* py_account_info(PyObject*, PyObject*) {
    return record_query<AccountInfoRecord>(wire::kAccountInfo, module::TypeId::AccountInfo, kAccountRows);
}

}  // namespace qvn::market
