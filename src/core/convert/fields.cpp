#include "convert/fields.hpp"

#include "protocol/wire.hpp"

namespace qvn::convert {
namespace {

using wire::AccountInfoRecord;
using wire::BarRecord;
using wire::BookRecord;
using wire::SymbolInfoRecord;
using wire::TerminalInfoRecord;
using wire::TickRecord;
using wire::TradeCheckResultRecord;
using wire::TradeDealRecord;
using wire::TradeOrderRecord;
using wire::TradePositionRecord;
using wire::TradeRequestRecord;
using wire::TradeSendResultRecord;

// ---- Trade types -------------------------------------------------------------

#define P(member) QVN_FIELD(TradePositionRecord, member)
constexpr std::array kTradePosition = {
    P(ticket), P(time), P(time_msc), P(time_update), P(time_update_msc), P(type), P(magic), P(identifier),
    P(reason), P(volume), P(price_open), P(sl), P(tp), P(price_current), P(swap), P(profit), P(symbol),
    P(comment), P(external_id),
};
#undef P

#define O(member) QVN_FIELD(TradeOrderRecord, member)
constexpr std::array kTradeOrder = {
    O(ticket), O(time_setup), O(time_setup_msc), O(time_done), O(time_done_msc), O(time_expiration),
    O(type), O(type_time), O(type_filling), O(state), O(magic), O(position_id), O(position_by_id),
    O(reason), O(volume_initial), O(volume_current), O(price_open), O(sl), O(tp), O(price_current),
    O(price_stoplimit), O(symbol), O(comment), O(external_id),
};
#undef O

#define D(member) QVN_FIELD(TradeDealRecord, member)
constexpr std::array kTradeDeal = {
    D(ticket), D(order), D(time), D(time_msc), D(type), D(entry), D(magic), D(position_id), D(reason),
    D(volume), D(price), D(commission), D(swap), D(profit), D(fee), D(symbol), D(comment), D(external_id),
};
#undef D

// Also the key table of the request dictionary (trade/request.cpp): the
// names are the keys, in the order they are examined.
#define R(member) QVN_FIELD(TradeRequestRecord, member)
constexpr std::array kTradeRequest = {
    R(action), R(magic), R(order), R(symbol), R(volume), R(price), R(stoplimit), R(sl), R(tp),
    R(deviation), R(type), R(type_filling), R(type_time), R(expiration), R(comment), R(position),
    R(position_by),
};
#undef R

// The last item of both results is the TradeRequest of the record sent.
#define S(member) QVN_FIELD(TradeSendResultRecord, member)
constexpr std::array kOrderSendResult = {
    S(retcode), S(deal), S(order), S(volume), S(price), S(bid), S(ask), S(comment), S(request_id),
    S(retcode_external), attached("request"),
};
#undef S

#define C(member) QVN_FIELD(TradeCheckResultRecord, member)
constexpr std::array kOrderCheckResult = {
    C(retcode), C(balance), C(equity), C(profit), C(margin), C(margin_free), C(margin_level), C(comment),
    attached("request"),
};
#undef C

static_assert(covers_record(kTradePosition, sizeof(TradePositionRecord),
                            std::array{QVN_GAP(TradePositionRecord, reserved)}));
static_assert(covers_record(kTradeOrder, sizeof(TradeOrderRecord)));
static_assert(covers_record(kTradeDeal, sizeof(TradeDealRecord)));
static_assert(covers_record(kTradeRequest, sizeof(TradeRequestRecord)));
static_assert(covers_record(kOrderSendResult, sizeof(TradeSendResultRecord)));
static_assert(covers_record(kOrderCheckResult, sizeof(TradeCheckResultRecord)));

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

// A bar is no named tuple, only an element of the bar arrays.
#define B(member) QVN_FIELD(BarRecord, member)
constexpr std::array kBar = {
    B(time), B(open), B(high), B(low), B(close), B(tick_volume), B(spread), B(real_volume),
};
#undef B

// Every byte of each placed record belongs to exactly one field.
static_assert(covers_record(kTick, sizeof(TickRecord)));
static_assert(covers_record(kTerminalInfo, sizeof(TerminalInfoRecord)));
static_assert(covers_record(kSymbolInfo, sizeof(SymbolInfoRecord)));
static_assert(covers_record(kAccountInfo, sizeof(AccountInfoRecord)));
static_assert(covers_record(kBookInfo, sizeof(BookRecord)));
static_assert(covers_record(kBar, sizeof(BarRecord)));

struct Entry {
    std::span<const Field> fields;
    std::size_t record_size;
};

// Registry order (TypeId).
constexpr Entry kEntries[kTypeCount] = {
    {kTradePosition, sizeof(TradePositionRecord)},
    {kTradeOrder, sizeof(TradeOrderRecord)},
    {kTradeDeal, sizeof(TradeDealRecord)},
    {kTradeRequest, sizeof(TradeRequestRecord)},
    {kOrderSendResult, sizeof(TradeSendResultRecord)},
    {kOrderCheckResult, sizeof(TradeCheckResultRecord)},
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

std::span<const Field> bar_fields() noexcept { return kBar; }

}  // namespace qvn::convert
