#include "module/fields.hpp"

#include "protocol/wire.hpp"

namespace qvn::module {
namespace {

using wire::AccountInfoRecord;
using wire::BookRecord;
using wire::SymbolInfoRecord;
using wire::TerminalInfoRecord;
using wire::TickRecord;

// ---- Trade types: named, placed once their wire records exist ----------------

constexpr std::array kTradePosition = {
    unplaced("ticket"), unplaced("time"), unplaced("time_msc"), unplaced("time_update"),
    unplaced("time_update_msc"), unplaced("type"), unplaced("magic"), unplaced("identifier"),
    unplaced("reason"), unplaced("volume"), unplaced("price_open"), unplaced("sl"), unplaced("tp"),
    unplaced("price_current"), unplaced("swap"), unplaced("profit"), unplaced("symbol"), unplaced("comment"),
    unplaced("external_id"),
};

constexpr std::array kTradeOrder = {
    unplaced("ticket"), unplaced("time_setup"), unplaced("time_setup_msc"), unplaced("time_done"),
    unplaced("time_done_msc"), unplaced("time_expiration"), unplaced("type"), unplaced("type_time"),
    unplaced("type_filling"), unplaced("state"), unplaced("magic"), unplaced("position_id"),
    unplaced("position_by_id"), unplaced("reason"), unplaced("volume_initial"), unplaced("volume_current"),
    unplaced("price_open"), unplaced("sl"), unplaced("tp"), unplaced("price_current"),
    unplaced("price_stoplimit"), unplaced("symbol"), unplaced("comment"), unplaced("external_id"),
};

constexpr std::array kTradeDeal = {
    unplaced("ticket"), unplaced("order"), unplaced("time"), unplaced("time_msc"), unplaced("type"),
    unplaced("entry"), unplaced("magic"), unplaced("position_id"), unplaced("reason"), unplaced("volume"),
    unplaced("price"), unplaced("commission"), unplaced("swap"), unplaced("profit"), unplaced("fee"),
    unplaced("symbol"), unplaced("comment"), unplaced("external_id"),
};

constexpr std::array kTradeRequest = {
    unplaced("action"), unplaced("magic"), unplaced("order"), unplaced("symbol"), unplaced("volume"),
    unplaced("price"), unplaced("stoplimit"), unplaced("sl"), unplaced("tp"), unplaced("deviation"),
    unplaced("type"), unplaced("type_filling"), unplaced("type_time"), unplaced("expiration"),
    unplaced("comment"), unplaced("position"), unplaced("position_by"),
};

constexpr std::array kOrderSendResult = {
    unplaced("retcode"), unplaced("deal"), unplaced("order"), unplaced("volume"), unplaced("price"),
    unplaced("bid"), unplaced("ask"), unplaced("comment"), unplaced("request_id"),
    unplaced("retcode_external"), unplaced("request"),
};

constexpr std::array kOrderCheckResult = {
    unplaced("retcode"), unplaced("balance"), unplaced("equity"), unplaced("profit"), unplaced("margin"),
    unplaced("margin_free"), unplaced("margin_level"), unplaced("comment"), unplaced("request"),
};

// ---- Market types --------------------------------------------------------------

#define T(member) QVN_FIELD(TickRecord, member)
constexpr std::array kTick = {
    T(time), T(bid), T(ask), T(last), T(volume), T(time_msc), T(flags), T(volume_real),
};
#undef T

// The tuple puts tradeapi_disabled sixth; the wire keeps it last.
#define T(member) QVN_FIELD(TerminalInfoRecord, member)
constexpr std::array kTerminalInfo = {
    T(community_account), T(community_connection), T(connected), T(dlls_allowed), T(trade_allowed),
    T(tradeapi_disabled), T(email_enabled), T(ftp_enabled), T(notifications_enabled), T(bvid), T(build),
    T(maxbars), T(codepage), T(ping_last), T(community_balance), T(retransmission), T(company), T(name),
    T(language), T(path), T(data_path), T(commondata_path),
};
#undef T

// Wire order except `name`, which the wire puts after `path`.
#define S(member) QVN_FIELD(SymbolInfoRecord, member)
constexpr std::array kSymbolInfo = {
    S(custom), S(chart_mode), S(select), S(visible), S(session_deals), S(session_buy_orders),
    S(session_sell_orders), S(volume), S(volumehigh), S(volumelow), S(time), S(digits), S(spread),
    S(spread_float), S(ticks_bookdepth), S(trade_calc_mode), S(trade_mode), S(start_time),
    S(expiration_time), S(trade_stops_level), S(trade_freeze_level), S(trade_exemode), S(swap_mode),
    S(swap_rollover3days), S(margin_hedged_use_leg), S(expiration_mode), S(filling_mode),
    S(order_mode), S(order_gtc_mode), S(option_mode), S(option_right), S(bid), S(bidhigh),
    S(bidlow), S(ask), S(askhigh), S(asklow), S(last), S(lasthigh), S(lastlow), S(volume_real),
    S(volumehigh_real), S(volumelow_real), S(option_strike), S(point), S(trade_tick_value),
    S(trade_tick_value_profit), S(trade_tick_value_loss), S(trade_tick_size),
    S(trade_contract_size), S(trade_accrued_interest), S(trade_face_value), S(trade_liquidity_rate),
    S(volume_min), S(volume_max), S(volume_step), S(volume_limit), S(swap_long), S(swap_short),
    S(margin_initial), S(margin_maintenance), S(session_volume), S(session_turnover),
    S(session_interest), S(session_buy_orders_volume), S(session_sell_orders_volume),
    S(session_open), S(session_close), S(session_aw), S(session_price_settlement),
    S(session_price_limit_min), S(session_price_limit_max), S(margin_hedged), S(price_change),
    S(price_volatility), S(price_theoretical), S(price_greeks_delta), S(price_greeks_theta),
    S(price_greeks_gamma), S(price_greeks_vega), S(price_greeks_rho), S(price_greeks_omega),
    S(price_sensitivity), S(basis), S(category), S(currency_base), S(currency_profit),
    S(currency_margin), S(bank), S(description), S(exchange), S(formula), S(isin),
    S(name),  // the wire puts it last
    S(page), S(path),
};
#undef S

#define A(member) QVN_FIELD(AccountInfoRecord, member)
constexpr std::array kAccountInfo = {
    A(login), A(trade_mode), A(leverage), A(limit_orders), A(margin_so_mode), A(trade_allowed),
    A(trade_expert), A(margin_mode), A(currency_digits), A(fifo_close), A(balance), A(credit), A(profit),
    A(equity), A(margin), A(margin_free), A(margin_level), A(margin_so_call), A(margin_so_so),
    A(margin_initial), A(margin_maintenance), A(assets), A(liabilities), A(commission_blocked), A(name),
    A(server), A(currency), A(company),
};
#undef A

#define B(member) QVN_FIELD(BookRecord, member)
constexpr std::array kBookInfo = {B(type), B(price), B(volume), B(volume_dbl)};
#undef B

// Every byte of each placed record belongs to exactly one field.
static_assert(covers_record(kTick, sizeof(TickRecord)));
static_assert(covers_record(kTerminalInfo, sizeof(TerminalInfoRecord)));
static_assert(covers_record(kSymbolInfo, sizeof(SymbolInfoRecord)));
static_assert(covers_record(kAccountInfo, sizeof(AccountInfoRecord)));
static_assert(covers_record(kBookInfo, sizeof(BookRecord)));

struct Entry {
    std::span<const Field> fields;
    std::size_t record_size;
};

// Registry order (TypeId).
constexpr Entry kEntries[kTypeCount] = {
    {kTradePosition, 0},
    {kTradeOrder, 0},
    {kTradeDeal, 0},
    {kTradeRequest, 0},
    {kOrderSendResult, 0},
    {kOrderCheckResult, 0},
    {kTick, sizeof(TickRecord)},
    {kTerminalInfo, sizeof(TerminalInfoRecord)},
    {kSymbolInfo, sizeof(SymbolInfoRecord)},
    {kAccountInfo, sizeof(AccountInfoRecord)},
    {kBookInfo, sizeof(BookRecord)},
};

constexpr std::size_t kFieldCounts[kTypeCount] = {19, 24, 18, 17, 11, 9, 8, 22, 96, 28, 4};
constexpr bool counts_match() noexcept {
    for (int i = 0; i < kTypeCount; ++i)
        if (kEntries[i].fields.size() != kFieldCounts[i] || kEntries[i].fields.size() > kMaxFields) return false;
    return true;
}
static_assert(counts_match());

}  // namespace

std::span<const Field> fields_of(TypeId type) noexcept { return kEntries[static_cast<int>(type)].fields; }

std::size_t record_size_of(TypeId type) noexcept { return kEntries[static_cast<int>(type)].record_size; }

}  // namespace qvn::module
