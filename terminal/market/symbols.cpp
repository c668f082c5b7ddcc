#include "terminal/market/symbols.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace qvn::terminal {
namespace {

constexpr MarketKind kMetal = MarketKind::Metal;
constexpr MarketKind kIndex = MarketKind::Index;
constexpr MarketKind kCrypto = MarketKind::Crypto;

// Forex lots are 100 000 units of the base currency, which is also the
// margin currency.
constexpr Instrument forex(std::string_view name, std::string_view description, std::string_view path,
                           std::string_view base, std::string_view profit, int digits, double price,
                           double volatility, int spread, double rate) {
    return Instrument{name, description, path, MarketKind::Forex, base, profit, base, digits, 1, 100000.0,
                      0.01, 100.0, 0.01, price, volatility, spread, rate, 0.0, 0.0, 0, 0, 0};
}

// Metals, indices and crypto are traded as leveraged CFDs: their margin is
// a share of the position's value, which is counted in the profit currency,
// so that is their margin currency too.
constexpr std::array kTable = {
    forex("EURUSD", "Euro vs US Dollar", "Forex\\Majors\\EURUSD", "EUR", "USD", 5, 1.08500, 0.070, 8, 32.0),
    forex("GBPUSD", "Great Britain Pound vs US Dollar", "Forex\\Majors\\GBPUSD", "GBP", "USD", 5, 1.26800, 0.080, 11, 28.0),
    forex("USDJPY", "US Dollar vs Japanese Yen", "Forex\\Majors\\USDJPY", "USD", "JPY", 3, 148.500, 0.090, 10, 28.0),
    forex("USDCHF", "US Dollar vs Swiss Franc", "Forex\\Majors\\USDCHF", "USD", "CHF", 5, 0.88500, 0.075, 13, 20.0),
    forex("AUDUSD", "Australian Dollar vs US Dollar", "Forex\\Majors\\AUDUSD", "AUD", "USD", 5, 0.66000, 0.090, 10, 22.0),
    forex("USDCAD", "US Dollar vs Canadian Dollar", "Forex\\Majors\\USDCAD", "USD", "CAD", 5, 1.35500, 0.065, 14, 20.0),
    forex("NZDUSD", "New Zealand Dollar vs US Dollar", "Forex\\Majors\\NZDUSD", "NZD", "USD", 5, 0.61000, 0.095, 15, 16.0),
    forex("EURGBP", "Euro vs Great Britain Pound", "Forex\\Crosses\\EURGBP", "EUR", "GBP", 5, 0.85800, 0.055, 14, 16.0),
    forex("EURJPY", "Euro vs Japanese Yen", "Forex\\Crosses\\EURJPY", "EUR", "JPY", 3, 161.000, 0.090, 18, 18.0),
    forex("GBPJPY", "Great Britain Pound vs Japanese Yen", "Forex\\Crosses\\GBPJPY", "GBP", "JPY", 3, 188.500, 0.105, 25, 16.0),
    forex("EURCHF", "Euro vs Swiss Franc", "Forex\\Crosses\\EURCHF", "EUR", "CHF", 5, 0.95500, 0.060, 18, 12.0),

    Instrument{"XAUUSD", "Gold vs US Dollar", "Metals\\Spot\\XAUUSD", kMetal, "XAU", "USD", "USD", 2, 1, 100.0,
               0.01, 50.0, 0.01, 2030.00, 0.14, 25, 36.0, 0.0, 0.0, 0, 0, 0},
    Instrument{"XAGUSD", "Silver vs US Dollar", "Metals\\Spot\\XAGUSD", kMetal, "XAG", "USD", "USD", 3, 1, 5000.0,
               0.01, 50.0, 0.01, 23.100, 0.24, 25, 18.0, 0.0, 0.0, 0, 0, 0},
    Instrument{"XPTUSD", "Platinum vs US Dollar", "Metals\\Spot\\XPTUSD", kMetal, "XPT", "USD", "USD", 2, 1, 100.0,
               0.01, 20.0, 0.01, 920.00, 0.22, 300, 8.0, 0.0, 0.0, 0, 0, 0},

    Instrument{"US500", "US 500 Stock Index", "Indices\\America\\US500", kIndex, "USD", "USD", "USD", 2, 25, 1.0,
               0.1, 500.0, 0.1, 4800.00, 0.15, 50, 70.0, 0.35, 3.0, 0, 810, 1200},
    Instrument{"NAS100", "US Tech 100 Stock Index", "Indices\\America\\NAS100", kIndex, "USD", "USD", "USD", 2, 25,
               1.0, 0.1, 500.0, 0.1, 16800.00, 0.20, 100, 70.0, 0.35, 2.0, 0, 810, 1200},
    Instrument{"US30", "US 30 Industrial Index", "Indices\\America\\US30", kIndex, "USD", "USD", "USD", 1, 10, 1.0,
               0.1, 500.0, 0.1, 37500.0, 0.13, 20, 50.0, 0.35, 2.0, 0, 810, 1200},
    Instrument{"GER40", "Germany 40 Stock Index", "Indices\\Europe\\GER40", kIndex, "EUR", "EUR", "EUR", 1, 5, 1.0,
               0.1, 500.0, 0.1, 16700.0, 0.16, 10, 55.0, 0.35, 2.0, 0, 420, 930},
    Instrument{"UK100", "UK 100 Stock Index", "Indices\\Europe\\UK100", kIndex, "GBP", "GBP", "GBP", 1, 5, 1.0,
               0.1, 500.0, 0.1, 7700.0, 0.13, 10, 40.0, 0.35, 3.0, 0, 480, 990},
    Instrument{"FRA40", "France 40 Stock Index", "Indices\\Europe\\FRA40", kIndex, "EUR", "EUR", "EUR", 1, 5, 1.0,
               0.1, 500.0, 0.1, 7500.0, 0.15, 10, 35.0, 0.35, 3.0, 0, 420, 930},
    Instrument{"JPN225", "Japan 225 Stock Index", "Indices\\Asia\\JPN225", kIndex, "JPY", "JPY", "JPY", 0, 5, 1.0,
               0.1, 500.0, 0.1, 33500.0, 0.18, 10, 45.0, 0.35, 2.0, 0, 0, 360},

    Instrument{"BTCUSD", "Bitcoin vs US Dollar", "Crypto\\Coins\\BTCUSD", kCrypto, "BTC", "USD", "USD", 2, 1, 1.0,
               0.01, 20.0, 0.01, 43000.00, 0.55, 1500, 30.0, 0.45, 0.25, 3, 0, 0},
    Instrument{"ETHUSD", "Ethereum vs US Dollar", "Crypto\\Coins\\ETHUSD", kCrypto, "ETH", "USD", "USD", 2, 1, 1.0,
               0.01, 200.0, 0.01, 2300.00, 0.65, 120, 26.0, 0.45, 2.5, 2, 0, 0},
    Instrument{"LTCUSD", "Litecoin vs US Dollar", "Crypto\\Coins\\LTCUSD", kCrypto, "LTC", "USD", "USD", 2, 1, 1.0,
               0.1, 5000.0, 0.1, 72.00, 0.70, 8, 12.0, 0.45, 15.0, 1, 0, 0},
    Instrument{"XRPUSD", "Ripple vs US Dollar", "Crypto\\Coins\\XRPUSD", kCrypto, "XRP", "USD", "USD", 5, 1, 1.0,
               10.0, 500000.0, 10.0, 0.62000, 0.75, 60, 12.0, 0.45, 1500.0, 0, 0, 0},
};


// Relative activity by UTC hour on a forex day: quiet Asian hours, the
// European open, the busy London-New York overlap, a thin evening.
constexpr std::array<double, 25> kForexHours = {
    0.50, 0.55, 0.60, 0.60, 0.55, 0.55, 0.65, 0.95, 1.30, 1.35, 1.25, 1.20, 1.45,
    1.75, 1.80, 1.65, 1.30, 1.05, 0.90, 0.80, 0.65, 0.50, 0.40, 0.40, 0.50};

double forex_curve(int minute_of_day) {
    const int h = minute_of_day / 60;
    const double f = (minute_of_day % 60) / 60.0;
    return kForexHours[h] + (kForexHours[h + 1] - kForexHours[h]) * f;
}

}  // namespace

std::span<const Instrument> symbol_table() noexcept { return kTable; }

const Instrument* find_symbol(std::u16string_view name) noexcept {
    for (const Instrument& s : kTable) {
        if (s.name.size() != name.size()) continue;
        if (std::equal(s.name.begin(), s.name.end(), name.begin(),
                       [](char a, char16_t b) { return static_cast<char16_t>(a) == b; }))
            return &s;
    }
    return nullptr;
}

Decimal decimal_of(double value) noexcept {
    // A whole size (every catalogue symbol's) is its own units: below 2^53
    // no shorter text reads back as it.
    if (value < 0x1p53 && value == std::floor(value)) return {static_cast<std::int64_t>(value), 0};
    // Shortest scientific form, "d.ddde-xx": the significant digits, then
    // the power of ten of the first one.
    char text[40];
    const char* const end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    std::int64_t units = 0;
    int count = 0;
    const char* p = text;
    for (; p != end && *p != 'e'; ++p) {
        if (*p >= '0' && *p <= '9') {
            units = units * 10 + (*p - '0');
            ++count;
        }
    }
    int exponent = 0;
    if (p != end && p + 1 != end) {
        const bool negative = p[1] == '-';
        std::from_chars(p + 2, end, exponent);
        if (negative) exponent = -exponent;
    }
    int decimals = count - 1 - exponent;
    for (; decimals < 0; ++decimals) units *= 10;
    return {units, decimals};
}

double session_intensity(const Instrument& ins, int minute_of_week) noexcept {
    const int weekday = minute_of_week / 1440;  // 0 = Monday
    const int minute = minute_of_week % 1440;
    switch (ins.kind) {
        case MarketKind::Forex:
        case MarketKind::Metal:
            if (weekday >= 5) return 0.0;
            if (weekday == 4 && minute >= 22 * 60) return 0.0;
            if (ins.kind == MarketKind::Metal && minute >= 22 * 60 && minute < 23 * 60) return 0.0;
            return forex_curve(minute);
        case MarketKind::Index: {
            if (weekday >= 5 || minute < ins.session_open || minute >= ins.session_close) return 0.0;
            // Busy at the open and into the close, quiet at midday.
            const double x = static_cast<double>(minute - ins.session_open) /
                             static_cast<double>(ins.session_close - ins.session_open);
            const double edge = (2.0 * x - 1.0) * (2.0 * x - 1.0);
            return 0.6 + 1.6 * edge * edge;
        }
        case MarketKind::Crypto: {
            // Busiest while America trades, quieter at weekends.
            const double hours_from_peak = (minute - 15 * 60) / 60.0;
            const double level = 0.75 + 0.45 * std::exp(-hours_from_peak * hours_from_peak / 18.0);
            return weekday >= 5 ? level * 0.7 : level;
        }
    }
    return 0.0;
}

}  // namespace qvn::terminal
