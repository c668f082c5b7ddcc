// Counter-based randomness for the simulated market. Every random quantity
// is a pure function of a key (symbol seed, minute number, tick index, salt),
// so any stretch of history can be produced directly, in any order, and the
// same request always yields the same values.
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>

namespace qvn::terminal {

// The splitmix64 finaliser: a bijective mix whose output bits all depend on
// every input bit.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

constexpr std::uint64_t hash_key(std::uint64_t seed, std::uint64_t a, std::uint64_t salt) noexcept {
    return mix64(seed ^ mix64(a * 0x9E3779B97F4A7C15ull + salt));
}

// Per-tick hash from a per-minute base: one mix per draw keeps tick
// generation cheap.
constexpr std::uint64_t hash_tick(std::uint64_t minute_base, std::uint64_t index, std::uint64_t salt) noexcept {
    return mix64(minute_base + (index + 1) * 0xD1B54A32D192ED03ull + salt);
}

// Stable seed of a name (FNV-1a, then mixed).
constexpr std::uint64_t name_seed(std::string_view name) noexcept {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (char c : name) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3ull;
    }
    return mix64(h);
}

// Nearest integer, halves rounded up: floor(x + 0.5) for |x| < 2^52,
// inline and without branches, where a library call or a mispredicted
// branch per tick would dominate tick generation.
inline std::int64_t round_to_int(double x) noexcept {
    const double y = x + 0.5;
    auto r = static_cast<std::int64_t>(y);  // toward zero
    r -= static_cast<double>(r) > y;         // floor for negative y
    return r;
}

// Uniform in [0, 1) from the top 53 bits.
inline double unit_uniform(std::uint64_t h) noexcept {
    return static_cast<double>(h >> 11) * 0x1.0p-53;
}

// Uniform in [-1, 1).
inline double signed_uniform(std::uint64_t h) noexcept { return unit_uniform(h) * 2.0 - 1.0; }

// Approximately standard normal from the four 16-bit quarters of one hash
// (Irwin-Hall sum of four uniforms, scaled to unit variance): cheap enough
// for every tick; the volatility clusters supply the heavy tails.
inline double fast_normal(std::uint64_t h) noexcept {
    const auto sum = static_cast<double>((h & 0xFFFF) + ((h >> 16) & 0xFFFF) + ((h >> 32) & 0xFFFF) + (h >> 48));
    return (sum * (1.0 / 65536.0) - 2.0) * 1.7320508075688772;
}
// No fast_normal lies farther from 0: 2 * sqrt(3), rounded up.
inline constexpr double kFastNormalBound = 3.4641017;

// Exactly standard normal (Box-Muller) for the few draws per minute and day.
inline double exact_normal(std::uint64_t h) noexcept {
    const double u1 = (static_cast<double>(h >> 32) + 0.5) * 0x1.0p-32;
    const double u2 = static_cast<double>(h & 0xFFFFFFFFull) * 0x1.0p-32;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// Smooth value noise in [-1, 1] over a lattice of the given period: hashed
// values at lattice points joined by a smoothstep.
inline double value_noise(std::uint64_t seed, std::uint64_t salt, std::int64_t t, std::int64_t period) noexcept {
    std::int64_t cell = t / period;
    std::int64_t rem = t % period;
    if (rem < 0) {
        rem += period;
        --cell;
    }
    const double f = static_cast<double>(rem) / static_cast<double>(period);
    const double s = f * f * (3.0 - 2.0 * f);
    const double a = signed_uniform(hash_key(seed, static_cast<std::uint64_t>(cell), salt));
    const double b = signed_uniform(hash_key(seed, static_cast<std::uint64_t>(cell + 1), salt));
    return a + (b - a) * s;
}

}  // namespace qvn::terminal
