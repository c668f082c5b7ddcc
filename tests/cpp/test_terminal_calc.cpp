// Unit tests of the Terminal's currency conversion: the paths a running
// Terminal never takes with its own table (a missing pair, an inverse path
// through USD on both legs).
#include <cmath>

#include "check.hpp"
#include "terminal/market/calc.hpp"

namespace {

namespace term = qvn::terminal;

bool near(const std::optional<double>& got, double want) {
    return got.has_value() && std::fabs(*got - want) <= 1e-12 * std::fabs(want);
}

void test_factor_paths() {
    const term::Rates rates({{"EUR", "USD", 1.10, 1.11}, {"USD", "JPY", 150.0, 151.0}, {"GBP", "USD", 1.25, 1.26}});
    CHECK(near(rates.factor("USD", "USD"), 1.0));
    CHECK(near(rates.factor("EUR", "USD"), 1.10));                                // × bid
    CHECK(near(rates.factor("EUR", "USD", term::RateSide::Ask), 1.11));
    CHECK(near(rates.factor("USD", "EUR"), 1.0 / 1.11));                          // ÷ ask
    CHECK(near(rates.factor("JPY", "USD"), 1.0 / 151.0));
    CHECK(near(rates.factor("JPY", "EUR"), (1.0 / 151.0) * (1.0 / 1.11)));        // both legs inverse
    CHECK(near(rates.factor("GBP", "JPY"), 1.25 * 150.0));
    CHECK(near(rates.factor("GBP", "JPY", term::RateSide::Ask), 1.26 * 151.0));
    CHECK(!rates.factor("CHF", "USD").has_value());
    CHECK(!rates.factor("CHF", "EUR").has_value());
    // A pair without a quote yet is no path.
    const term::Rates unquoted({{"EUR", "USD", 0.0, 0.0}});
    CHECK(!unquoted.factor("EUR", "USD").has_value());
}

void test_unconvertible_amounts_are_refused() {
    const term::Instrument* eurchf = term::find_symbol(u"EURCHF");
    CHECK(eurchf != nullptr);
    if (eurchf == nullptr) return;
    const term::Rates none({});
    const term::AccountTerms usd{"USD", 100};
    CHECK(!term::margin(*eurchf, term::SymbolCalcMode::Forex, 1.0, 0.95, usd, none).has_value());
    CHECK(!term::profit(*eurchf, true, 1.0, 0.95, 0.96, usd, none).has_value());
    // Leverage 0 is taken as 1:1 rather than dividing by zero.
    const term::AccountTerms eur{"EUR", 0};
    CHECK(near(term::margin(*eurchf, term::SymbolCalcMode::Forex, 1.0, 0.95, eur, none), 100000.0));
}

}  // namespace

int main() {
    test_factor_paths();
    test_unconvertible_amounts_are_refused();
    return qvn::test::finish("terminal calc");
}
