// The enumerations of the wire contract: the values a client passes in
// requests (timeframes, tick selections, order types, trade actions) and the
// values the Terminal puts into records (tick flags, account and symbol
// modes, book sides, order and deal states, trade outcomes).
//
// This header is their one declaration. The Terminal uses them; the Python
// package gets them as quorvane.constants, made from this file at build time
// (cmake/derive.py): the comment above each enumeration is its docstring
// there, a comment after a member the member's. Keep both readable to a
// Python user, and every member written `Name = value,`.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "protocol/wire.hpp"

namespace qvn::enums {

// Bar periods, valued in minutes. Every period up to D1 divides the day, so
// no intraday bar straddles midnight; W1 bars open on Monday 00:00 UTC and
// MN1 bars on the first day of each calendar month (their values are only
// nominal lengths).
enum class Timeframe : std::int32_t {
    M1 = 1,
    M2 = 2,
    M3 = 3,
    M4 = 4,
    M5 = 5,
    M6 = 6,
    M10 = 10,
    M12 = 12,
    M15 = 15,
    M20 = 20,
    M30 = 30,
    H1 = 60,
    H2 = 120,
    H3 = 180,
    H4 = 240,
    H6 = 360,
    H8 = 480,
    H12 = 720,
    D1 = 1440,
    W1 = 10080,
    MN1 = 43200,
};

// Which ticks a tick history request returns.
enum class CopyTicks : std::int32_t {
    Info = 1,   // quote ticks: bid and/or ask changed
    Trade = 2,  // deal ticks: last and/or volume changed
    All = 3,    // every tick
};

// Bits of a tick's `flags`: what the tick changed, and the side of a deal.
enum TickFlag : std::uint32_t {
    kTickBid = 1,
    kTickAsk = 2,
    kTickLast = 4,
    kTickVolume = 8,
    kTickBuy = 16,
    kTickSell = 32,
};

// The kind of an account (AccountInfo.trade_mode).
enum class AccountTradeMode : std::uint32_t {
    Demo = 1,
    Contest = 2,
    Real = 3,
};

// How an account keeps its positions (AccountInfo.margin_mode): one per
// symbol (netting), or any number (hedging).
enum class AccountMarginMode : std::uint32_t {
    RetailNetting = 1,
    Exchange = 2,
    RetailHedging = 3,
};

// How the margin call and stop-out levels of an account are expressed.
enum class AccountStopoutMode : std::uint32_t {
    Percent = 1,
    Money = 2,
};

// Orders and trades, by direction and kind. Margin and profit calculations
// take the pending kinds as their buy or sell side.
enum class OrderType : std::uint32_t {
    Buy = 0,
    Sell = 1,
    BuyLimit = 2,
    SellLimit = 3,
    BuyStop = 4,
    SellStop = 5,
    BuyStopLimit = 6,
    SellStopLimit = 7,
    CloseBy = 8,
};

// How a symbol's margin is computed; profit is
// (close - open) x contract x lots in the profit currency for all of them.
enum class SymbolCalcMode : std::uint32_t {
    Forex = 0,            // lots x contract / leverage, in the margin currency
    ForexNoLeverage = 1,  // lots x contract, in the margin currency
    Cfd = 2,              // lots x contract x price, in the profit currency
    CfdLeverage = 3,      // lots x contract x price / leverage, in the profit currency
};

// What trading a symbol allows (SymbolInfo.trade_mode).
enum class SymbolTradeMode : std::uint32_t {
    Disabled = 0,
    LongOnly = 1,
    ShortOnly = 2,
    CloseOnly = 3,
    Full = 4,
};

// How a symbol's orders are executed (SymbolInfo.trade_exemode).
enum class SymbolTradeExecution : std::uint32_t {
    Request = 0,
    Instant = 1,
    Market = 2,
    Exchange = 3,
};

// How swaps are charged: in points, in money of a currency, or as interest.
enum class SymbolSwapMode : std::uint32_t {
    Disabled = 0,
    Points = 1,
    CurrencySymbol = 2,
    CurrencyMargin = 3,
    CurrencyDeposit = 4,
    InterestCurrent = 5,
    InterestOpen = 6,
};

// Days of the week (SymbolInfo.swap_rollover3days, the day swaps are
// charged three times).
enum class DayOfWeek : std::uint32_t {
    Sunday = 0,
    Monday = 1,
    Tuesday = 2,
    Wednesday = 3,
    Thursday = 4,
    Friday = 5,
    Saturday = 6,
};

// Which price a symbol's bars are drawn from.
enum class SymbolChartMode : std::uint32_t {
    Bid = 0,
    Last = 1,
};

// How long pending orders and their stops live.
enum class SymbolOrderGTCMode : std::uint32_t {
    Gtc = 0,
    Daily = 1,
    DailyExcludingStops = 2,
};

// The exercise style of an option (SymbolInfo.option_mode).
enum class SymbolOptionMode : std::uint32_t {
    European = 0,
    American = 1,
};

// The right an option gives (SymbolInfo.option_right).
enum class SymbolOptionRight : std::uint32_t {
    Call = 0,
    Put = 1,
};

// Sides of a Depth of Market level: sell levels lie above the ask, buy
// levels at and below the bid; the market kinds are orders at any price.
enum class BookType : std::uint32_t {
    Sell = 1,
    Buy = 2,
    SellMarket = 3,
    BuyMarket = 4,
};

// Bits of a symbol's `filling_mode`: the fill policies it allows besides
// Return, which every symbol allows.
enum class SymbolFillingFlags : std::uint32_t {
    Fok = 1,
    Ioc = 2,
    Boc = 4,
};

// Bits of a symbol's `expiration_mode`: the lifetimes pending orders may have.
enum class SymbolExpirationFlags : std::uint32_t {
    Gtc = 1,
    Day = 2,
    Specified = 4,
    SpecifiedDay = 8,
};

// Bits of a symbol's `order_mode`: the order kinds it accepts.
enum class SymbolOrderFlags : std::uint32_t {
    Market = 1,
    Limit = 2,
    Stop = 4,
    StopLimit = 8,
    Sl = 16,
    Tp = 32,
    CloseBy = 64,
};

// The sum of a flag set's members, for records that carry a flag set.
template <class Flags>
constexpr std::uint32_t flag_bits(std::initializer_list<Flags> flags) noexcept {
    std::uint32_t bits = 0;
    for (Flags f : flags) bits |= static_cast<std::uint32_t>(f);
    return bits;
}

// ---- Trading --------------------------------------------------------------

// What a trade request asks for.
enum class TradeAction : std::uint32_t {
    Deal = 1,     // a market order, filled at once
    Pending = 2,  // place a pending order
    Sltp = 3,     // change the stops of an open position
    Modify = 4,   // change a pending order's price, stops or expiration
    Remove = 5,   // delete a pending order
    CloseBy = 6,  // close a position by an opposite one
};

// How a market order treats volume it cannot fill at once.
enum class OrderFilling : std::uint32_t {
    Fok = 0,     // fill all or nothing
    Ioc = 1,     // fill what is available, cancel the rest
    Return = 2,  // fill what is available, keep the rest
    Boc = 3,     // book or cancel: pending orders only
};

// How long a pending order lives.
enum class OrderTime : std::uint32_t {
    Gtc = 0,           // until removed
    Day = 1,           // until the end of the trading day
    Specified = 2,     // until the request's expiration
    SpecifiedDay = 3,  // until the end of the expiration's day
};

// The state of an order (TradeOrder.state).
enum class OrderState : std::uint32_t {
    Started = 0,
    Placed = 1,
    Canceled = 2,
    Partial = 3,
    Filled = 4,
    Rejected = 5,
    Expired = 6,
};

// What a deal is (TradeDeal.type).
enum class DealType : std::uint32_t {
    Buy = 0,
    Sell = 1,
    Balance = 2,
    Credit = 3,
    Charge = 4,
    Commission = 5,
    Interest = 6,
};

// What a deal does to its position (TradeDeal.entry).
enum class DealEntry : std::uint32_t {
    In = 0,     // opens or adds to it
    Out = 1,    // reduces or closes it
    Inout = 2,  // reverses it (netting accounts)
    OutBy = 3,  // closes it by an opposite position
};

// Who or what caused a deal (TradeDeal.reason).
enum class DealReason : std::uint32_t {
    Client = 0,
    Mobile = 1,
    Web = 2,
    Expert = 3,  // a program through the API
    Sl = 4,
    Tp = 5,
    So = 6,      // stop-out
    Rollover = 7,
};

// Who or what placed an order (TradeOrder.reason).
enum class OrderReason : std::uint32_t {
    Client = 0,
    Mobile = 1,
    Web = 2,
    Expert = 3,
    Sl = 4,
    Tp = 5,
    So = 6,
};

// The direction of a position (TradePosition.type).
enum class PositionType : std::uint32_t {
    Buy = 0,
    Sell = 1,
};

// Who or what opened a position (TradePosition.reason).
enum class PositionReason : std::uint32_t {
    Client = 0,
    Mobile = 1,
    Web = 2,
    Expert = 3,
};

// The outcome of a trade request: the retcode of a check or send result.
enum class TradeRetcode : std::uint32_t {
    Done = 1,
    Placed = 2,
    DonePartial = 3,
    Reject = 10,
    Cancel = 11,
    Error = 12,
    Invalid = 13,
    InvalidVolume = 14,
    InvalidPrice = 15,
    InvalidStops = 16,
    TradeDisabled = 17,
    MarketClosed = 18,
    NoMoney = 19,
    PriceChanged = 20,
    PriceOff = 21,
    InvalidExpiration = 22,
    NoChanges = 23,
    Frozen = 24,
    InvalidFill = 25,
    LimitOrders = 26,
    LimitVolume = 27,
    InvalidOrder = 28,
    PositionClosed = 29,
    InvalidCloseVolume = 30,
    LimitPositions = 31,
    HedgeProhibited = 32,
    CloseOnly = 33,
    Storage = 34,  // the trade could not be written to the database
};

// The Terminal's answers to the readiness poll, while it connects and logs in.
enum class ReadyState : std::uint32_t {
    Starting = 1,    // any value but the two below
    Ready = 2,
    AuthFailed = 3,  // the account was refused
};
// Ready and AuthFailed are the protocol's values, which the module acts on.
static_assert(static_cast<std::uint32_t>(ReadyState::Ready) == wire::kStateReady);
static_assert(static_cast<std::uint32_t>(ReadyState::AuthFailed) == wire::kStateAuthFailed);

}  // namespace qvn::enums
