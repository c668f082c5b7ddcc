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

double nearest_double(Fine num, Fine den) noexcept {
    if (num == 0) return 0.0;
    const bool negative = num < 0;
    __extension__ using Unsigned = unsigned __int128;
    const Unsigned d = static_cast<Unsigned>(den);
    Unsigned q = static_cast<Unsigned>(negative ? -num : num) / d;
    Unsigned r = static_cast<Unsigned>(negative ? -num : num) % d;
    // Long division until the quotient holds at least 55 bits: 53 for the
    // mantissa, one to round on, and the remainder as the sticky bit.
    int exponent = 0;
    while (q >> 54 == 0) {
        r <<= 1;
        q <<= 1;
        if (r >= d) {
            r -= d;
            q |= 1;
        }
        --exponent;
    }
    int extra = 0;
    while (q >> (54 + extra) != 0) ++extra;
    const bool sticky = r != 0 || (q & ((Unsigned{1} << extra) - 1)) != 0;
    const Unsigned top = q >> extra;  // 54 bits
    std::uint64_t mantissa = static_cast<std::uint64_t>(top >> 1);
    if ((top & 1) != 0 && (sticky || (mantissa & 1) != 0)) ++mantissa;
    const double x = std::ldexp(static_cast<double>(mantissa), exponent + extra + 1);
    return negative ? -x : x;
}

double fine_to_double(Fine fine, Fine den) noexcept { return nearest_double(fine, den * pow10_fine(kFineDigits)); }

Exact exact_scaled(Fine n, int e) noexcept { return e >= 0 ? Exact{n * pow10_fine(e), 0} : Exact{n, -e}; }

void Amount::add_exact(Exact amount) noexcept {
    if (amount.shift > shift_) {
        exact_ *= pow10_fine(amount.shift - shift_);
        shift_ = amount.shift;
    }
    exact_ += amount.fine * pow10_fine(shift_ - amount.shift);
}

void Amount::add_converted(std::u16string_view symbol, int side, double amount) {
    converted_.push_back({symbol, side, amount});
}

std::int64_t Amount::round(const MoneyScale& money) {
    const Fine den = den_ * pow10_fine(shift_);
    if (converted_.empty()) return money.round_fine(exact_, den);
    std::sort(converted_.begin(), converted_.end(), [](const Term& a, const Term& b) {
        return a.symbol != b.symbol ? a.symbol < b.symbol : a.side < b.side;
    });
    double total = fine_to_double(exact_, den);
    for (const Term& t : converted_) total += t.amount;
    return money.round(total);
}

}  // namespace qvn::terminal
