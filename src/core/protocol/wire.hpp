// Wire protocol between the module and the Terminal: command codes, result
// codes, frame constants and the fixed-size records carried in frames.
//
// Every value on the wire is little-endian and packed without padding. The
// records below are the single declaration of each layout; the module reads
// them and the Terminal writes them, so the two can never disagree.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace qvn::wire {

static_assert(std::endian::native == std::endian::little,
              "records are read and written in host order, which must be little-endian");

// ---- Frames ---------------------------------------------------------------

// Request:  u32 length (bytes after this field), u32 command, arguments.
// Response: u32 length, u32 echoed command, i32 result code, result fields.
inline constexpr std::size_t kFrameHeader = 4;       // the length field
inline constexpr std::size_t kBlockSize = 16384;     // writer and reader block
inline constexpr std::size_t kDirectReadMin = 8192;  // reads this large bypass the block

// Text limits, in UTF-16 code units, excluding the terminator.
inline constexpr std::size_t kMaxPath = 260;
inline constexpr std::size_t kSymbolUnits = 29;      // symbol names and request texts
inline constexpr std::size_t kGroupUnits = 1997;

// The handshake identifies the client kind; builds from this one on serve the
// full symbol catalogue.
inline constexpr std::uint32_t kHandshakeVersion = 3;
inline constexpr char16_t kHandshakeClient[] = u"Python";
inline constexpr std::uint32_t kCatalogueBuild = 2364;
// Size of the symbol record that builds before kCatalogueBuild send: the
// full record without its trailing `name`.
inline constexpr std::size_t kSymbolRecordShort = 2929;

// Readiness states answered to the ready poll.
inline constexpr std::uint32_t kStateReady = 2;
inline constexpr std::uint32_t kStateAuthFailed = 3;

// Request sizes after the command code of the trading commands.
inline constexpr std::size_t kTicketArgSize = 8;     // u64 ticket or position id
inline constexpr std::size_t kRangeArgSize = 16;     // i64 date_from, i64 date_to
inline constexpr std::size_t kTextUnits = 32;        // fixed text fields of trade records
inline constexpr std::size_t kResultCommentUnits = 100;

enum Command : std::uint32_t {
    kVersion = 1,
    kHandshake = 4,
    kLogin = 5,
    kTicksFrom = 104,
    kTicksRange = 105,
    kRatesFrom = 106,
    kRatesRange = 107,
    kRatesFromPos = 108,
    kReadyPoll = 109,
    kPositionsTotal = 120,
    kPositionsGet = 121,
    kPositionsBySymbol = 122,
    kPositionByTicket = 123,
    kOrdersTotal = 130,
    kOrdersGet = 131,
    kOrdersBySymbol = 132,
    kOrderByTicket = 133,
    kHistoryOrdersTotal = 140,
    kHistoryOrdersRange = 141,
    kHistoryOrdersByPosition = 142,
    kHistoryOrderByTicket = 143,
    kHistoryDealsTotal = 150,
    kHistoryDealsRange = 151,
    kHistoryDealsByPosition = 152,
    kHistoryDealByTicket = 153,
    kOrderCheck = 160,
    kOrderSend = 161,
    kOrderCalcMargin = 162,
    kOrderCalcProfit = 163,
    kSymbolInfo = 170,
    kSymbolSelect = 171,
    kSymbolInfoTick = 172,
    kSymbolsTotal = 173,
    kSymbolsGet = 174,
    kSymbolsGetGroup = 175,
    kTerminalInfo = 180,
    kAccountInfo = 190,
    kBookAdd = 191,
    kBookRelease = 192,
    kBookGet = 193,
};

// The Terminal's own step command, outside the module's public protocol:
// moves a stepped clock and answers, in the same reply, what a backtest
// needs after the move (a StepRecord, then the bars that closed). Command
// 900, its sibling, moves the clock alone.
inline constexpr std::uint32_t kStepCommand = 901;
// The bits of its request's `flags`: which of the account's funds to report
// (before and after the step), and whether the clock goes to the end of the
// next bar with a tick, the target being then the latest it may go to.
inline constexpr std::uint32_t kStepFundsBefore = 1;
inline constexpr std::uint32_t kStepFundsAfter = 2;
inline constexpr std::uint32_t kStepToNextBar = 4;

enum Result : std::int32_t {
    kSuccess = 1,
    kFailed = -1,
    kInvalidParams = -2,
    kOutOfMemory = -3,
    kNotFound = -4,
    kIncompatibleVersion = -5,
    kAuthorizationFailed = -6,
    kUnsupportedFunction = -7,
    kAutoTradingDisabled = -8,
    kIpcCallFailed = -10000,
    kIpcSendFailed = -10001,
    kIpcRecvFailed = -10002,
    kIpcInitializeFailed = -10003,
    kNoIpcConnection = -10004,
    kIpcTimeout = -10005,
};

// ---- Records --------------------------------------------------------------

#pragma pack(push, 1)

// One tick of tick history, and the latest tick of a symbol.
struct TickRecord {
    std::int64_t time;         // seconds
    double bid;
    double ask;
    double last;
    std::uint64_t volume;
    std::int64_t time_msc;     // milliseconds
    std::uint32_t flags;
    double volume_real;
};

// One bar of bar history.
struct BarRecord {
    std::int64_t time;         // seconds, the bar's opening time
    double open;
    double high;
    double low;
    double close;
    std::uint64_t tick_volume;
    std::int32_t spread;
    std::uint64_t real_volume;
};

// Answer to the terminal information command. The wire order differs from
// the order of the Python tuple (see the module's conversion table).
struct TerminalInfoRecord {
    std::uint32_t build;
    std::uint8_t community_account;
    std::uint8_t community_connection;
    std::uint8_t connected;
    std::uint8_t dlls_allowed;
    std::uint8_t trade_allowed;
    std::uint8_t email_enabled;
    std::uint8_t ftp_enabled;
    std::uint8_t notifications_enabled;
    std::uint32_t maxbars;
    std::uint8_t bvid;
    std::int32_t codepage;
    std::int32_t ping_last;
    double community_balance;
    double retransmission;
    char16_t company[260];
    char16_t name[260];
    char16_t language[260];
    char16_t path[260];
    char16_t data_path[260];
    char16_t commondata_path[260];
    std::uint8_t tradeapi_disabled;
};

// Answer to the account information command; wire order is tuple order.
struct AccountInfoRecord {
    std::uint64_t login;
    std::uint32_t trade_mode;
    std::uint32_t leverage;
    std::uint32_t limit_orders;
    std::uint32_t margin_so_mode;
    std::uint8_t trade_allowed;
    std::uint8_t trade_expert;
    std::uint32_t margin_mode;
    std::uint32_t currency_digits;
    std::uint8_t fifo_close;
    double balance;
    double credit;
    double profit;
    double equity;
    double margin;
    double margin_free;
    double margin_level;
    double margin_so_call;
    double margin_so_so;
    double margin_initial;
    double margin_maintenance;
    double assets;
    double liabilities;
    double commission_blocked;
    char16_t name[128];
    char16_t server[64];
    char16_t currency[32];
    char16_t company[128];
};

// One symbol of the catalogue. The wire order equals the order of the Python
// tuple except for `name`, which the wire puts last and the tuple between
// `isin` and `page`. Builds before kCatalogueBuild send the record without
// `name` (the first kSymbolRecordShort bytes).
struct SymbolInfoRecord {
    std::uint8_t custom;
    std::uint32_t chart_mode;
    std::uint8_t select;
    std::uint8_t visible;
    std::uint64_t session_deals;
    std::uint64_t session_buy_orders;
    std::uint64_t session_sell_orders;
    std::uint64_t volume;
    std::uint64_t volumehigh;
    std::uint64_t volumelow;
    std::int64_t time;
    std::uint32_t digits;
    std::int32_t spread;
    std::uint8_t spread_float;
    std::uint32_t ticks_bookdepth;
    std::uint32_t trade_calc_mode;
    std::uint32_t trade_mode;
    std::int64_t start_time;
    std::int64_t expiration_time;
    std::int32_t trade_stops_level;
    std::int32_t trade_freeze_level;
    std::uint32_t trade_exemode;
    std::uint32_t swap_mode;
    std::uint32_t swap_rollover3days;
    std::uint8_t margin_hedged_use_leg;
    std::int32_t expiration_mode;
    std::int32_t filling_mode;
    std::int32_t order_mode;
    std::uint32_t order_gtc_mode;
    std::uint32_t option_mode;
    std::uint32_t option_right;
    double bid;
    double bidhigh;
    double bidlow;
    double ask;
    double askhigh;
    double asklow;
    double last;
    double lasthigh;
    double lastlow;
    double volume_real;
    double volumehigh_real;
    double volumelow_real;
    double option_strike;
    double point;
    double trade_tick_value;
    double trade_tick_value_profit;
    double trade_tick_value_loss;
    double trade_tick_size;
    double trade_contract_size;
    double trade_accrued_interest;
    double trade_face_value;
    double trade_liquidity_rate;
    double volume_min;
    double volume_max;
    double volume_step;
    double volume_limit;
    double swap_long;
    double swap_short;
    double margin_initial;
    double margin_maintenance;
    double session_volume;
    double session_turnover;
    double session_interest;
    double session_buy_orders_volume;
    double session_sell_orders_volume;
    double session_open;
    double session_close;
    double session_aw;
    double session_price_settlement;
    double session_price_limit_min;
    double session_price_limit_max;
    double margin_hedged;
    double price_change;
    double price_volatility;
    double price_theoretical;
    double price_greeks_delta;
    double price_greeks_theta;
    double price_greeks_gamma;
    double price_greeks_vega;
    double price_greeks_rho;
    double price_greeks_omega;
    double price_sensitivity;
    char16_t basis[32];
    char16_t category[64];
    char16_t currency_base[16];
    char16_t currency_profit[16];
    char16_t currency_margin[16];
    char16_t bank[256];
    char16_t description[64];
    char16_t exchange[64];
    char16_t formula[256];
    char16_t isin[16];
    char16_t page[256];
    char16_t path[128];
    char16_t name[32];
};

// One level of the Depth of Market.
struct BookRecord {
    std::uint32_t type;        // a BookType of the Terminal
    double price;
    std::uint64_t volume;
    double volume_dbl;
};

// One open position.
struct TradePositionRecord {
    std::uint64_t ticket;
    std::int64_t time;
    std::int64_t time_msc;
    std::int64_t time_update;
    std::int64_t time_update_msc;
    std::uint32_t type;
    std::uint64_t magic;
    std::uint64_t identifier;
    std::uint32_t reason;
    double volume;
    double price_open;
    double sl;
    double tp;
    double price_current;
    std::uint8_t reserved[8];  // carried on the wire, taken by no tuple item
    double swap;
    double profit;
    char16_t symbol[32];
    char16_t comment[32];
    char16_t external_id[32];
};

// One order: active orders and history orders alike.
struct TradeOrderRecord {
    std::uint64_t ticket;
    std::int64_t time_setup;
    std::int64_t time_setup_msc;
    std::int64_t time_done;
    std::int64_t time_done_msc;
    std::int64_t time_expiration;
    std::uint32_t type;
    std::uint32_t type_time;
    std::uint32_t type_filling;
    std::uint32_t state;
    std::uint64_t magic;
    std::uint64_t position_id;
    std::uint64_t position_by_id;
    std::uint32_t reason;
    double volume_initial;
    double volume_current;
    double price_open;
    double sl;
    double tp;
    double price_current;
    double price_stoplimit;
    char16_t symbol[32];
    char16_t comment[32];
    char16_t external_id[32];
};

// One deal of the trade history.
struct TradeDealRecord {
    std::uint64_t ticket;
    std::uint64_t order;
    std::int64_t time;
    std::int64_t time_msc;
    std::uint32_t type;
    std::uint32_t entry;
    std::uint64_t magic;
    std::uint64_t position_id;
    std::uint32_t reason;
    double volume;
    double price;
    double commission;
    double swap;
    double profit;
    double fee;
    char16_t symbol[32];
    char16_t comment[32];
    char16_t external_id[32];
};

// A trade request, as sent to order_check and order_send. A field the caller
// did not give is zero.
struct TradeRequestRecord {
    std::uint32_t action;
    std::uint64_t magic;
    std::uint64_t order;
    char16_t symbol[32];
    double volume;
    double price;
    double stoplimit;
    double sl;
    double tp;
    std::uint64_t deviation;
    std::uint32_t type;
    std::uint32_t type_filling;
    std::uint32_t type_time;
    std::int64_t expiration;
    char16_t comment[32];
    std::uint64_t position;
    std::uint64_t position_by;
};

// Answer to order_check: the trade return code and the account after the trade.
struct TradeCheckResultRecord {
    std::uint32_t retcode;
    double balance;
    double equity;
    double profit;
    double margin;
    double margin_free;
    double margin_level;
    char16_t comment[100];
};

// Answer to order_send.
struct TradeSendResultRecord {
    std::uint32_t retcode;
    std::uint64_t deal;
    std::uint64_t order;
    double volume;
    double price;
    double bid;
    double ask;
    char16_t comment[100];
    std::uint32_t request_id;
    std::int32_t retcode_external;
};

// An account's funds as account_info reports them: the part of them a
// backtest's equity row keeps.
struct AccountFundsRecord {
    double balance;
    double equity;
    double margin;
};

// The head of the answer to the step command. `before` is the account at
// the clock the step started from, after every request served there (what
// account_info answered just before the step); `after` the account at
// `now_ms`, once the step has walked it there (what account_info answers
// just after). Per named symbol follow u32 count and count BarRecords.
struct StepRecord {
    std::int64_t now_ms;
    std::int64_t next_ms;      // the earliest tick after now_ms, -1 when none follows
    AccountFundsRecord before;
    AccountFundsRecord after;
};

#pragma pack(pop)

static_assert(sizeof(TickRecord) == 60);
static_assert(offsetof(TickRecord, time) == 0);
static_assert(offsetof(TickRecord, bid) == 8);
static_assert(offsetof(TickRecord, ask) == 16);
static_assert(offsetof(TickRecord, last) == 24);
static_assert(offsetof(TickRecord, volume) == 32);
static_assert(offsetof(TickRecord, time_msc) == 40);
static_assert(offsetof(TickRecord, flags) == 48);
static_assert(offsetof(TickRecord, volume_real) == 52);

static_assert(sizeof(BarRecord) == 60);
static_assert(offsetof(BarRecord, time) == 0);
static_assert(offsetof(BarRecord, open) == 8);
static_assert(offsetof(BarRecord, high) == 16);
static_assert(offsetof(BarRecord, low) == 24);
static_assert(offsetof(BarRecord, close) == 32);
static_assert(offsetof(BarRecord, tick_volume) == 40);
static_assert(offsetof(BarRecord, spread) == 48);
static_assert(offsetof(BarRecord, real_volume) == 52);

static_assert(sizeof(TerminalInfoRecord) == 3162);
static_assert(offsetof(TerminalInfoRecord, build) == 0);
static_assert(offsetof(TerminalInfoRecord, community_account) == 4);
static_assert(offsetof(TerminalInfoRecord, community_connection) == 5);
static_assert(offsetof(TerminalInfoRecord, connected) == 6);
static_assert(offsetof(TerminalInfoRecord, dlls_allowed) == 7);
static_assert(offsetof(TerminalInfoRecord, trade_allowed) == 8);
static_assert(offsetof(TerminalInfoRecord, email_enabled) == 9);
static_assert(offsetof(TerminalInfoRecord, ftp_enabled) == 10);
static_assert(offsetof(TerminalInfoRecord, notifications_enabled) == 11);
static_assert(offsetof(TerminalInfoRecord, maxbars) == 12);
static_assert(offsetof(TerminalInfoRecord, bvid) == 16);
static_assert(offsetof(TerminalInfoRecord, codepage) == 17);
static_assert(offsetof(TerminalInfoRecord, ping_last) == 21);
static_assert(offsetof(TerminalInfoRecord, community_balance) == 25);
static_assert(offsetof(TerminalInfoRecord, retransmission) == 33);
static_assert(offsetof(TerminalInfoRecord, company) == 41);
static_assert(offsetof(TerminalInfoRecord, name) == 561);
static_assert(offsetof(TerminalInfoRecord, language) == 1081);
static_assert(offsetof(TerminalInfoRecord, path) == 1601);
static_assert(offsetof(TerminalInfoRecord, data_path) == 2121);
static_assert(offsetof(TerminalInfoRecord, commondata_path) == 2641);
static_assert(offsetof(TerminalInfoRecord, tradeapi_disabled) == 3161);

static_assert(sizeof(AccountInfoRecord) == 851);
static_assert(offsetof(AccountInfoRecord, login) == 0);
static_assert(offsetof(AccountInfoRecord, trade_mode) == 8);
static_assert(offsetof(AccountInfoRecord, leverage) == 12);
static_assert(offsetof(AccountInfoRecord, limit_orders) == 16);
static_assert(offsetof(AccountInfoRecord, margin_so_mode) == 20);
static_assert(offsetof(AccountInfoRecord, trade_allowed) == 24);
static_assert(offsetof(AccountInfoRecord, trade_expert) == 25);
static_assert(offsetof(AccountInfoRecord, margin_mode) == 26);
static_assert(offsetof(AccountInfoRecord, currency_digits) == 30);
static_assert(offsetof(AccountInfoRecord, fifo_close) == 34);
static_assert(offsetof(AccountInfoRecord, balance) == 35);
static_assert(offsetof(AccountInfoRecord, credit) == 43);
static_assert(offsetof(AccountInfoRecord, profit) == 51);
static_assert(offsetof(AccountInfoRecord, equity) == 59);
static_assert(offsetof(AccountInfoRecord, margin) == 67);
static_assert(offsetof(AccountInfoRecord, margin_free) == 75);
static_assert(offsetof(AccountInfoRecord, margin_level) == 83);
static_assert(offsetof(AccountInfoRecord, margin_so_call) == 91);
static_assert(offsetof(AccountInfoRecord, margin_so_so) == 99);
static_assert(offsetof(AccountInfoRecord, margin_initial) == 107);
static_assert(offsetof(AccountInfoRecord, margin_maintenance) == 115);
static_assert(offsetof(AccountInfoRecord, assets) == 123);
static_assert(offsetof(AccountInfoRecord, liabilities) == 131);
static_assert(offsetof(AccountInfoRecord, commission_blocked) == 139);
static_assert(offsetof(AccountInfoRecord, name) == 147);
static_assert(offsetof(AccountInfoRecord, server) == 403);
static_assert(offsetof(AccountInfoRecord, currency) == 531);
static_assert(offsetof(AccountInfoRecord, company) == 595);

static_assert(sizeof(SymbolInfoRecord) == 2993);
static_assert(kSymbolRecordShort == offsetof(SymbolInfoRecord, name));
static_assert(offsetof(SymbolInfoRecord, custom) == 0);
static_assert(offsetof(SymbolInfoRecord, chart_mode) == 1);
static_assert(offsetof(SymbolInfoRecord, select) == 5);
static_assert(offsetof(SymbolInfoRecord, visible) == 6);
static_assert(offsetof(SymbolInfoRecord, session_deals) == 7);
static_assert(offsetof(SymbolInfoRecord, session_buy_orders) == 15);
static_assert(offsetof(SymbolInfoRecord, session_sell_orders) == 23);
static_assert(offsetof(SymbolInfoRecord, volume) == 31);
static_assert(offsetof(SymbolInfoRecord, volumehigh) == 39);
static_assert(offsetof(SymbolInfoRecord, volumelow) == 47);
static_assert(offsetof(SymbolInfoRecord, time) == 55);
static_assert(offsetof(SymbolInfoRecord, digits) == 63);
static_assert(offsetof(SymbolInfoRecord, spread) == 67);
static_assert(offsetof(SymbolInfoRecord, spread_float) == 71);
static_assert(offsetof(SymbolInfoRecord, ticks_bookdepth) == 72);
static_assert(offsetof(SymbolInfoRecord, trade_calc_mode) == 76);
static_assert(offsetof(SymbolInfoRecord, trade_mode) == 80);
static_assert(offsetof(SymbolInfoRecord, start_time) == 84);
static_assert(offsetof(SymbolInfoRecord, expiration_time) == 92);
static_assert(offsetof(SymbolInfoRecord, trade_stops_level) == 100);
static_assert(offsetof(SymbolInfoRecord, trade_freeze_level) == 104);
static_assert(offsetof(SymbolInfoRecord, trade_exemode) == 108);
static_assert(offsetof(SymbolInfoRecord, swap_mode) == 112);
static_assert(offsetof(SymbolInfoRecord, swap_rollover3days) == 116);
static_assert(offsetof(SymbolInfoRecord, margin_hedged_use_leg) == 120);
static_assert(offsetof(SymbolInfoRecord, expiration_mode) == 121);
static_assert(offsetof(SymbolInfoRecord, filling_mode) == 125);
static_assert(offsetof(SymbolInfoRecord, order_mode) == 129);
static_assert(offsetof(SymbolInfoRecord, order_gtc_mode) == 133);
static_assert(offsetof(SymbolInfoRecord, option_mode) == 137);
static_assert(offsetof(SymbolInfoRecord, option_right) == 141);
static_assert(offsetof(SymbolInfoRecord, bid) == 145);
static_assert(offsetof(SymbolInfoRecord, bidhigh) == 153);
static_assert(offsetof(SymbolInfoRecord, bidlow) == 161);
static_assert(offsetof(SymbolInfoRecord, ask) == 169);
static_assert(offsetof(SymbolInfoRecord, askhigh) == 177);
static_assert(offsetof(SymbolInfoRecord, asklow) == 185);
static_assert(offsetof(SymbolInfoRecord, last) == 193);
static_assert(offsetof(SymbolInfoRecord, lasthigh) == 201);
static_assert(offsetof(SymbolInfoRecord, lastlow) == 209);
static_assert(offsetof(SymbolInfoRecord, volume_real) == 217);
static_assert(offsetof(SymbolInfoRecord, volumehigh_real) == 225);
static_assert(offsetof(SymbolInfoRecord, volumelow_real) == 233);
static_assert(offsetof(SymbolInfoRecord, option_strike) == 241);
static_assert(offsetof(SymbolInfoRecord, point) == 249);
static_assert(offsetof(SymbolInfoRecord, trade_tick_value) == 257);
static_assert(offsetof(SymbolInfoRecord, trade_tick_value_profit) == 265);
static_assert(offsetof(SymbolInfoRecord, trade_tick_value_loss) == 273);
static_assert(offsetof(SymbolInfoRecord, trade_tick_size) == 281);
static_assert(offsetof(SymbolInfoRecord, trade_contract_size) == 289);
static_assert(offsetof(SymbolInfoRecord, trade_accrued_interest) == 297);
static_assert(offsetof(SymbolInfoRecord, trade_face_value) == 305);
static_assert(offsetof(SymbolInfoRecord, trade_liquidity_rate) == 313);
static_assert(offsetof(SymbolInfoRecord, volume_min) == 321);
static_assert(offsetof(SymbolInfoRecord, volume_max) == 329);
static_assert(offsetof(SymbolInfoRecord, volume_step) == 337);
static_assert(offsetof(SymbolInfoRecord, volume_limit) == 345);
static_assert(offsetof(SymbolInfoRecord, swap_long) == 353);
static_assert(offsetof(SymbolInfoRecord, swap_short) == 361);
static_assert(offsetof(SymbolInfoRecord, margin_initial) == 369);
static_assert(offsetof(SymbolInfoRecord, margin_maintenance) == 377);
static_assert(offsetof(SymbolInfoRecord, session_volume) == 385);
static_assert(offsetof(SymbolInfoRecord, session_turnover) == 393);
static_assert(offsetof(SymbolInfoRecord, session_interest) == 401);
static_assert(offsetof(SymbolInfoRecord, session_buy_orders_volume) == 409);
static_assert(offsetof(SymbolInfoRecord, session_sell_orders_volume) == 417);
static_assert(offsetof(SymbolInfoRecord, session_open) == 425);
static_assert(offsetof(SymbolInfoRecord, session_close) == 433);
static_assert(offsetof(SymbolInfoRecord, session_aw) == 441);
static_assert(offsetof(SymbolInfoRecord, session_price_settlement) == 449);
static_assert(offsetof(SymbolInfoRecord, session_price_limit_min) == 457);
static_assert(offsetof(SymbolInfoRecord, session_price_limit_max) == 465);
static_assert(offsetof(SymbolInfoRecord, margin_hedged) == 473);
static_assert(offsetof(SymbolInfoRecord, price_change) == 481);
static_assert(offsetof(SymbolInfoRecord, price_volatility) == 489);
static_assert(offsetof(SymbolInfoRecord, price_theoretical) == 497);
static_assert(offsetof(SymbolInfoRecord, price_greeks_delta) == 505);
static_assert(offsetof(SymbolInfoRecord, price_greeks_theta) == 513);
static_assert(offsetof(SymbolInfoRecord, price_greeks_gamma) == 521);
static_assert(offsetof(SymbolInfoRecord, price_greeks_vega) == 529);
static_assert(offsetof(SymbolInfoRecord, price_greeks_rho) == 537);
static_assert(offsetof(SymbolInfoRecord, price_greeks_omega) == 545);
static_assert(offsetof(SymbolInfoRecord, price_sensitivity) == 553);
static_assert(offsetof(SymbolInfoRecord, basis) == 561);
static_assert(offsetof(SymbolInfoRecord, category) == 625);
static_assert(offsetof(SymbolInfoRecord, currency_base) == 753);
static_assert(offsetof(SymbolInfoRecord, currency_profit) == 785);
static_assert(offsetof(SymbolInfoRecord, currency_margin) == 817);
static_assert(offsetof(SymbolInfoRecord, bank) == 849);
static_assert(offsetof(SymbolInfoRecord, description) == 1361);
static_assert(offsetof(SymbolInfoRecord, exchange) == 1489);
static_assert(offsetof(SymbolInfoRecord, formula) == 1617);
static_assert(offsetof(SymbolInfoRecord, isin) == 2129);
static_assert(offsetof(SymbolInfoRecord, page) == 2161);
static_assert(offsetof(SymbolInfoRecord, path) == 2673);
static_assert(offsetof(SymbolInfoRecord, name) == 2929);

static_assert(sizeof(BookRecord) == 28);
static_assert(offsetof(BookRecord, type) == 0);
static_assert(offsetof(BookRecord, price) == 4);
static_assert(offsetof(BookRecord, volume) == 12);
static_assert(offsetof(BookRecord, volume_dbl) == 20);

static_assert(sizeof(TradePositionRecord) == 320);
static_assert(offsetof(TradePositionRecord, ticket) == 0);
static_assert(offsetof(TradePositionRecord, time) == 8);
static_assert(offsetof(TradePositionRecord, time_msc) == 16);
static_assert(offsetof(TradePositionRecord, time_update) == 24);
static_assert(offsetof(TradePositionRecord, time_update_msc) == 32);
static_assert(offsetof(TradePositionRecord, type) == 40);
static_assert(offsetof(TradePositionRecord, magic) == 44);
static_assert(offsetof(TradePositionRecord, identifier) == 52);
static_assert(offsetof(TradePositionRecord, reason) == 60);
static_assert(offsetof(TradePositionRecord, volume) == 64);
static_assert(offsetof(TradePositionRecord, price_open) == 72);
static_assert(offsetof(TradePositionRecord, sl) == 80);
static_assert(offsetof(TradePositionRecord, tp) == 88);
static_assert(offsetof(TradePositionRecord, price_current) == 96);
static_assert(offsetof(TradePositionRecord, reserved) == 104);
static_assert(offsetof(TradePositionRecord, swap) == 112);
static_assert(offsetof(TradePositionRecord, profit) == 120);
static_assert(offsetof(TradePositionRecord, symbol) == 128);
static_assert(offsetof(TradePositionRecord, comment) == 192);
static_assert(offsetof(TradePositionRecord, external_id) == 256);

static_assert(sizeof(TradeOrderRecord) == 340);
static_assert(offsetof(TradeOrderRecord, ticket) == 0);
static_assert(offsetof(TradeOrderRecord, time_setup) == 8);
static_assert(offsetof(TradeOrderRecord, time_setup_msc) == 16);
static_assert(offsetof(TradeOrderRecord, time_done) == 24);
static_assert(offsetof(TradeOrderRecord, time_done_msc) == 32);
static_assert(offsetof(TradeOrderRecord, time_expiration) == 40);
static_assert(offsetof(TradeOrderRecord, type) == 48);
static_assert(offsetof(TradeOrderRecord, type_time) == 52);
static_assert(offsetof(TradeOrderRecord, type_filling) == 56);
static_assert(offsetof(TradeOrderRecord, state) == 60);
static_assert(offsetof(TradeOrderRecord, magic) == 64);
static_assert(offsetof(TradeOrderRecord, position_id) == 72);
static_assert(offsetof(TradeOrderRecord, position_by_id) == 80);
static_assert(offsetof(TradeOrderRecord, reason) == 88);
static_assert(offsetof(TradeOrderRecord, volume_initial) == 92);
static_assert(offsetof(TradeOrderRecord, volume_current) == 100);
static_assert(offsetof(TradeOrderRecord, price_open) == 108);
static_assert(offsetof(TradeOrderRecord, sl) == 116);
static_assert(offsetof(TradeOrderRecord, tp) == 124);
static_assert(offsetof(TradeOrderRecord, price_current) == 132);
static_assert(offsetof(TradeOrderRecord, price_stoplimit) == 140);
static_assert(offsetof(TradeOrderRecord, symbol) == 148);
static_assert(offsetof(TradeOrderRecord, comment) == 212);
static_assert(offsetof(TradeOrderRecord, external_id) == 276);

static_assert(sizeof(TradeDealRecord) == 300);
static_assert(offsetof(TradeDealRecord, ticket) == 0);
static_assert(offsetof(TradeDealRecord, order) == 8);
static_assert(offsetof(TradeDealRecord, time) == 16);
static_assert(offsetof(TradeDealRecord, time_msc) == 24);
static_assert(offsetof(TradeDealRecord, type) == 32);
static_assert(offsetof(TradeDealRecord, entry) == 36);
static_assert(offsetof(TradeDealRecord, magic) == 40);
static_assert(offsetof(TradeDealRecord, position_id) == 48);
static_assert(offsetof(TradeDealRecord, reason) == 56);
static_assert(offsetof(TradeDealRecord, volume) == 60);
static_assert(offsetof(TradeDealRecord, price) == 68);
static_assert(offsetof(TradeDealRecord, commission) == 76);
static_assert(offsetof(TradeDealRecord, swap) == 84);
static_assert(offsetof(TradeDealRecord, profit) == 92);
static_assert(offsetof(TradeDealRecord, fee) == 100);
static_assert(offsetof(TradeDealRecord, symbol) == 108);
static_assert(offsetof(TradeDealRecord, comment) == 172);
static_assert(offsetof(TradeDealRecord, external_id) == 236);

static_assert(sizeof(TradeRequestRecord) == 232);
static_assert(offsetof(TradeRequestRecord, action) == 0);
static_assert(offsetof(TradeRequestRecord, magic) == 4);
static_assert(offsetof(TradeRequestRecord, order) == 12);
static_assert(offsetof(TradeRequestRecord, symbol) == 20);
static_assert(offsetof(TradeRequestRecord, volume) == 84);
static_assert(offsetof(TradeRequestRecord, price) == 92);
static_assert(offsetof(TradeRequestRecord, stoplimit) == 100);
static_assert(offsetof(TradeRequestRecord, sl) == 108);
static_assert(offsetof(TradeRequestRecord, tp) == 116);
static_assert(offsetof(TradeRequestRecord, deviation) == 124);
static_assert(offsetof(TradeRequestRecord, type) == 132);
static_assert(offsetof(TradeRequestRecord, type_filling) == 136);
static_assert(offsetof(TradeRequestRecord, type_time) == 140);
static_assert(offsetof(TradeRequestRecord, expiration) == 144);
static_assert(offsetof(TradeRequestRecord, comment) == 152);
static_assert(offsetof(TradeRequestRecord, position) == 216);
static_assert(offsetof(TradeRequestRecord, position_by) == 224);

static_assert(sizeof(TradeCheckResultRecord) == 252);
static_assert(offsetof(TradeCheckResultRecord, retcode) == 0);
static_assert(offsetof(TradeCheckResultRecord, balance) == 4);
static_assert(offsetof(TradeCheckResultRecord, equity) == 12);
static_assert(offsetof(TradeCheckResultRecord, profit) == 20);
static_assert(offsetof(TradeCheckResultRecord, margin) == 28);
static_assert(offsetof(TradeCheckResultRecord, margin_free) == 36);
static_assert(offsetof(TradeCheckResultRecord, margin_level) == 44);
static_assert(offsetof(TradeCheckResultRecord, comment) == 52);

static_assert(sizeof(TradeSendResultRecord) == 260);
static_assert(offsetof(TradeSendResultRecord, retcode) == 0);
static_assert(offsetof(TradeSendResultRecord, deal) == 4);
static_assert(offsetof(TradeSendResultRecord, order) == 12);
static_assert(offsetof(TradeSendResultRecord, volume) == 20);
static_assert(offsetof(TradeSendResultRecord, price) == 28);
static_assert(offsetof(TradeSendResultRecord, bid) == 36);
static_assert(offsetof(TradeSendResultRecord, ask) == 44);
static_assert(offsetof(TradeSendResultRecord, comment) == 52);
static_assert(offsetof(TradeSendResultRecord, request_id) == 252);
static_assert(offsetof(TradeSendResultRecord, retcode_external) == 256);

static_assert(sizeof(AccountFundsRecord) == 24);
static_assert(offsetof(AccountFundsRecord, balance) == 0);
static_assert(offsetof(AccountFundsRecord, equity) == 8);
static_assert(offsetof(AccountFundsRecord, margin) == 16);

static_assert(sizeof(StepRecord) == 64);
static_assert(offsetof(StepRecord, now_ms) == 0);
static_assert(offsetof(StepRecord, next_ms) == 8);
static_assert(offsetof(StepRecord, before) == 16);
static_assert(offsetof(StepRecord, after) == 40);

}  // namespace qvn::wire
