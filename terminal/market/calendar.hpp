// UTC calendar arithmetic on POSIX day numbers (days since 1970-01-01) and
// minute numbers (minutes since 1970-01-01 00:00), without any time zone:
// the simulated market runs on UTC.
#pragma once

#include <cstdint>

namespace qvn::terminal {

inline constexpr std::int64_t kMinutesPerDay = 1440;
inline constexpr std::int64_t kSecondsPerDay = 86400;
inline constexpr std::int64_t kMsPerMinute = 60000;
inline constexpr std::int64_t kMsPerDay = 86400000;

// Floor division, for instants before 1970.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Day number of a proleptic Gregorian date (month 1..12).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The market exists on these days: the simulated process covers them, and
// imported ticks must lie within them.
inline constexpr std::int64_t kProcessFirstDay = days_from_civil(2000, 1, 1);
inline constexpr std::int64_t kProcessEndDay = days_from_civil(2100, 1, 1);
inline constexpr std::int64_t kProcessEndMs = kProcessEndDay * kMsPerDay;

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

constexpr CivilDate civil_from_days(std::int64_t z) noexcept {
    z += 719468;
    const std::int64_t era = floor_div(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

// 0 = Monday ... 6 = Sunday (1970-01-01 was a Thursday).
constexpr int weekday_from_monday(std::int64_t day) noexcept {
    return static_cast<int>(((day % 7) + 7 + 3) % 7);
}

// First day of the Monday-based week that holds `day`.
constexpr std::int64_t week_start(std::int64_t day) noexcept { return day - weekday_from_monday(day); }

// First day of the calendar month that holds `day`.
constexpr std::int64_t month_start(std::int64_t day) noexcept {
    const CivilDate c = civil_from_days(day);
    return days_from_civil(c.year, c.month, 1);
}

// First day of the month after the one that holds `day`.
constexpr std::int64_t next_month_start(std::int64_t day) noexcept {
    const CivilDate c = civil_from_days(day);
    return c.month == 12 ? days_from_civil(c.year + 1, 1, 1) : days_from_civil(c.year, c.month + 1, 1);
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 1, 1) == 10957);
static_assert(civil_from_days(19797).year == 2024 && civil_from_days(19797).month == 3);
static_assert(weekday_from_monday(0) == 3);
static_assert(weekday_from_monday(days_from_civil(2024, 3, 11)) == 0);

}  // namespace qvn::terminal
