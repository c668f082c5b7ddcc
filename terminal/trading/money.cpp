#include "terminal/trading/money.hpp"

#include <algorithm>
#include <cmath>

#include "terminal/market/symbols.hpp"

namespace qvn::terminal {

Fine pow10_fine(int n) noexcept {
    Fine p = 1;
    for (int i = 0; i < n; ++i) p *= 10;
    return p;
}

std::int64_t volume_units(double lots) noexcept { return std::llround(lots * static_cast<double>(kVolumeScale)); }

std::int64_t price_points(double price, int digits) noexcept { return std::llround(price * decimal_scale(digits)); }

double lots_of(std::int64_t units) noexcept { return static_cast<double>(units) / static_cast<double>(kVolumeScale); }

double price_of(std::int64_t points, int digits) noexcept {
    return static_cast<double>(points) / decimal_scale(digits);
}

std::int64_t round_ratio(Fine num, Fine den) noexcept {
    const bool negative = num < 0;
    const Fine magnitude = negative ? -num : num;
    const Fine q = (magnitude * 2 + den) / (den * 2);
    return static_cast<std::int64_t>(negative ? -q : q);
}

MoneyScale::MoneyScale(std::uint32_t digits) noexcept
    : digits_(std::min<std::uint32_t>(digits, 8)), scale_(decimal_scale(static_cast<int>(digits_))) {}

double MoneyScale::to_double(std::int64_t units) const noexcept { return static_cast<double>(units) / scale_; }

std::int64_t MoneyScale::units(double amount) const noexcept { return std::llround(amount * scale_); }

std::int64_t MoneyScale::round(double amount) const noexcept { return std::llround(amount * scale_); }

std::int64_t MoneyScale::round_fine(Fine fine, Fine den) const noexcept {
    return round_ratio(fine * pow10_fine(static_cast<int>(digits_)), den * pow10_fine(kFineDigits));
}

double fine_to_double(Fine fine, Fine den) noexcept {
    return static_cast<double>(fine) / 1e16 / static_cast<double>(den);
}

std::int64_t Amount::round(const MoneyScale& money) const noexcept {
    if (!inexact_) return money.round_fine(exact_, den_);
    return money.round(fine_to_double(exact_, den_) + converted_);
}

}  // namespace qvn::terminal
