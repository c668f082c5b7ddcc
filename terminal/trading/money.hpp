// Exact units for the engine's arithmetic. Prices are whole points
// (10^-digits of the symbol), volumes whole 10^-8 lots, contract sizes
// decimals of at most 8 places, so an amount in a symbol's profit currency
// is an exact integer of 10^-16 currency units ("fine" units, 128 bits), or,
// when the point, the contract's decimals (and a swap's hundredths) take it
// below that, of fine units over a power of ten. Money kept by the account
// is a whole number of the account currency's last digit. Only a
// conversion into another currency leaves exact arithmetic: it is done in
// double precision, once, on the exact amount.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qvn::terminal {

__extension__ using Fine = __int128;

inline constexpr std::int64_t kVolumeScale = 100000000;  // volume units per lot
inline constexpr int kFineDigits = 16;
inline constexpr int kMaxPriceDigits = 8;

// 10^n as a 128-bit integer (n <= 38).
Fine pow10_fine(int n) noexcept;

// Whole volume units of a volume in lots; whole points of a price.
std::int64_t volume_units(double lots) noexcept;
std::int64_t price_points(double price, int digits) noexcept;
double lots_of(std::int64_t units) noexcept;
double price_of(std::int64_t points, int digits) noexcept;

// num / den rounded half away from zero (den > 0).
std::int64_t round_ratio(Fine num, Fine den) noexcept;

// Money of an account: whole units of its last currency digit.
class MoneyScale {
public:
    explicit MoneyScale(std::uint32_t digits) noexcept;
    std::uint32_t digits() const noexcept { return digits_; }
    double to_double(std::int64_t units) const noexcept;
    // A stored amount (already rounded) back to units.
    std::int64_t units(double amount) const noexcept;
    // An amount rounded half away from zero.
    std::int64_t round(double amount) const noexcept;
    // fine / den rounded half away from zero.
    std::int64_t round_fine(Fine fine, Fine den = 1) const noexcept;

private:
    std::uint32_t digits_;
    double scale_;
};

// num / den as the nearest double (ties to even), as exactly as a decimal
// written in a program becomes a double; den > 0.
double nearest_double(Fine num, Fine den) noexcept;

// Fine units (over `den`) as the nearest double amount of currency.
double fine_to_double(Fine fine, Fine den = 1) noexcept;

// An exact amount: fine / 10^shift fine units.
struct Exact {
    Fine fine = 0;
    int shift = 0;
};

// n x 10^e fine units as an Exact: a whole number when e >= 0.
Exact exact_scaled(Fine n, int e) noexcept;

// `amount` times a whole number (a leverage).
inline Exact times(Exact amount, Fine k) noexcept { return {amount.fine * k, amount.shift}; }

// An Exact (over `den`) as the nearest double amount of currency.
inline double fine_to_double(Exact amount, Fine den = 1) noexcept {
    return fine_to_double(amount.fine, den * pow10_fine(amount.shift));
}

// A sum of amounts in the account currency, rounded once. Amounts that
// needed no conversion add up exactly (fine units over a common
// denominator: the account's leverage for margins, times the largest power
// of ten an amount was given over). Converted amounts are
// doubles; with any of them the total is the nearest double of the exact
// part, to which they are added one by one in the order of their keys
// (symbol name, then side), and that double is rounded.
class Amount {
public:
    explicit Amount(Fine denominator = 1) noexcept : den_(denominator) {}
    void add_exact(Exact amount) noexcept;
    void add_converted(std::u16string_view symbol, int side, double amount);
    std::int64_t round(const MoneyScale& money);

private:
    struct Term {
        std::u16string_view symbol;
        int side;
        double amount;
    };
    Fine exact_ = 0;  // over den_ x 10^shift_
    Fine den_;
    int shift_ = 0;
    std::vector<Term> converted_;
};

}  // namespace qvn::terminal
