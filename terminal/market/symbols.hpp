// The instruments the simulated market offers. This table is the one place a
// symbol is declared: the catalogue, the price model, and later the order
// book and the trading engine read their parameters from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qvn::terminal {

enum class MarketKind : unsigned char {
    Forex,   // Monday 00:00 to Friday 22:00 UTC, quotes only
    Metal,   // as forex, with a daily break 22:00-23:00 UTC
    Index,   // a cash session on weekdays; quotes and deals
    Crypto,  // around the clock, every day; quotes and deals
};

struct Instrument {
    std::string_view name;
    std::string_view description;
    std::string_view path;  // catalogue path, "<group>\<subgroup>\<name>"
    MarketKind kind;
    std::string_view currency_base;
    std::string_view currency_profit;
    std::string_view currency_margin;
    int digits;               // decimals of a price
    int tick_points;          // smallest price step, in points (10^-digits)
    double contract_size;     // units of the base per lot
    double volume_min;        // lots
    double volume_max;
    double volume_step;

    // Price model.
    double reference_price;   // level the long-run price reverts to
    double annual_volatility; // of the log price, per year of trading
    int spread_points;        // typical spread at normal liquidity
    double tick_rate;         // ticks per minute at session intensity 1
    double deal_share;        // share of ticks that are deals; 0 = quotes only
    double deal_volume;       // median deal size, in volume_real units
    int deal_volume_digits;   // decimals of a deal size
    int session_open;         // Index only: minute of the UTC day the session opens
    int session_close;        // Index only: minute it closes (exclusive)

    bool has_deals() const noexcept { return deal_share > 0.0; }
};

// 10^digits, exact for the few decimals prices and sizes have: multiplying
// tens is exact up to 10^22, while a system's pow() may be off by an ulp
// (as on Windows), which would make a point of 10^-5 differ from 1e-5.
constexpr double decimal_scale(int digits) noexcept {
    double scale = 1.0;
    for (int i = 0; i < digits; ++i) scale *= 10.0;
    return scale;
}

// 10^-digits, correctly rounded: one division of exact values.
constexpr double decimal_point(int digits) noexcept { return 1.0 / decimal_scale(digits); }

// A size as the decimal it was written as, the shortest text that reads
// back as the double: units x 10^-decimals, decimals >= 0. For a positive
// value below 10^17.
struct Decimal {
    std::int64_t units;
    int decimals;
};
Decimal decimal_of(double value) noexcept;

// Decimals a contract size may have: as volumes, whole 10^-8 units.
inline constexpr int kMaxContractDecimals = 8;

// Every symbol, in catalogue order.
std::span<const Instrument> symbol_table() noexcept;

// The symbol with exactly this name (case-sensitive), or nullptr.
const Instrument* find_symbol(std::u16string_view name) noexcept;

// Trading intensity of a symbol at a minute of the week (0 = Monday 00:00
// UTC ... 10079 = Sunday 23:59); 0 means the market is closed. The mean over
// the open minutes of a normal day is about 1.
double session_intensity(const Instrument& ins, int minute_of_week) noexcept;

}  // namespace qvn::terminal
