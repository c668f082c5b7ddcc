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

// Readiness states answered to the ready poll.
inline constexpr std::uint32_t kStateReady = 2;
inline constexpr std::uint32_t kStateAuthFailed = 3;

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

}  // namespace qvn::wire
