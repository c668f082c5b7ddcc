// Margin and profit of a prospective trade for the current account; the
// formulas are in terminal/market/calc.hpp and terminal/README.md.
#include <string>

#include "protocol/wire.hpp"
#include "terminal/market/calc.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

struct CalcRequest {
    bool buy = false;
    double volume = 0;
    double prices[2] = {};
    const Instrument* ins = nullptr;
    std::string currency;  // of the current account
    std::uint32_t leverage = 0;

    AccountTerms account() const noexcept { return {currency, leverage}; }
};

// Reads action, symbol, volume and `n_prices` prices. Layout and values are
// checked before the symbol is looked up; then the account's terms are taken.
std::int32_t read_calc(const Terminal& terminal, RequestReader& in, int n_prices, CalcRequest& out) {
    std::uint32_t action = 0;
    std::u16string name;
    if (!in.read(action) || !in.wide(name) || !in.read(out.volume)) return wire::kInvalidParams;
    for (int k = 0; k < n_prices; ++k)
        if (!in.read(out.prices[k])) return wire::kInvalidParams;
    if (!in.done()) return wire::kInvalidParams;
    const auto buy = is_buy(action);
    if (!buy || !valid_amount(out.volume)) return wire::kInvalidParams;
    for (int k = 0; k < n_prices; ++k)
        if (!valid_amount(out.prices[k])) return wire::kInvalidParams;
    out.buy = *buy;
    std::size_t index = 0;
    if (const std::int32_t code = terminal.symbol_index(name, index); code != wire::kSuccess) return code;
    out.ins = &terminal.catalogue()[index].source->instrument();
    out.leverage = terminal.current_account().leverage;
    out.currency = terminal.account_currency();
    return wire::kSuccess;
}

bool reply_amount(Exchange& ex, std::uint32_t cmd, const std::optional<double>& amount) {
    // No pair links the currencies: the Terminal cannot price the trade.
    if (!amount) return ex.status(cmd, wire::kFailed);
    Response r(cmd, wire::kSuccess);
    r.put(*amount);
    return ex.send(r);
}

}  // namespace

bool Terminal::on_calc_margin(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    CalcRequest req;
    if (const std::int32_t code = read_calc(*this, in, 1, req); code != wire::kSuccess)
        return ex.status(cmd, code);
    return reply_amount(ex, cmd,
                        margin(*req.ins, calc_mode(*req.ins), req.volume, req.prices[0], req.account(),
                               rates(market_.now_ms())));
}

bool Terminal::on_calc_profit(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    CalcRequest req;
    if (const std::int32_t code = read_calc(*this, in, 2, req); code != wire::kSuccess)
        return ex.status(cmd, code);
    return reply_amount(ex, cmd,
                        profit(*req.ins, req.buy, req.volume, req.prices[0], req.prices[1], req.account(),
                               rates(market_.now_ms())));
}

}  // namespace qvn::terminal
