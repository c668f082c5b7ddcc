// The Terminal's own enumerations: the values a client passes in requests
// (timeframes, tick copy selections) and the values the Terminal puts into
// records (tick flags, account modes, readiness states).
//
// This header is the one declaration of every value; the Python package
// mirrors it in quorvane/constants.py, and a test compares the two.
#pragma once

#include <cstdint>

#include "protocol/wire.hpp"

namespace qvn::terminal {

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

enum class AccountTradeMode : std::uint32_t {
    Demo = 1,
    Contest = 2,
    Real = 3,
};

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

// Answers to the readiness poll. Ready and AuthFailed are the protocol's
// values, which the module acts on; Starting is any other value.
enum class ReadyState : std::uint32_t {
    Starting = 1,
    Ready = 2,
    AuthFailed = 3,
};
static_assert(static_cast<std::uint32_t>(ReadyState::Ready) == wire::kStateReady);
static_assert(static_cast<std::uint32_t>(ReadyState::AuthFailed) == wire::kStateAuthFailed);

}  // namespace qvn::terminal
