#include "terminal/terminal.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "protocol/text.hpp"
#include "protocol/wire.hpp"
#include "terminal/store/files.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

bool same_server(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (protocol::lower_unit(a[i]) != protocol::lower_unit(b[i])) return false;
    return true;
}

// Commands about the account itself (its record, trading, margin and profit
// in its currency): refused while the Terminal is logged in to no account.
bool needs_account(std::uint32_t cmd) {
    return cmd == wire::kAccountInfo || (cmd >= wire::kPositionsTotal && cmd <= wire::kOrderCalcProfit);
}

std::int64_t wall_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Terminal::Terminal(Settings settings, Installation installation, std::vector<Account> accounts,
                   AccountHistory history, Market& market, TradeStore& store)
    : settings_(std::move(settings)),
      installation_(std::move(installation)),
      accounts_(std::move(accounts)),
      market_(market),
      catalogue_(market, settings_.extra_symbols),
      quotes_(market),
      watch_(catalogue_),
      trading_(market_, catalogue_, quotes_, watch_, store),
      started_(std::chrono::steady_clock::now()),
      history_(std::move(history)) {
    // Start logged in to the account used last, or the first demo account
    // on a fresh installation. When the account used last can no longer be
    // logged in to (gone from terminal.ini, or it needs a one-time password)
    // the Terminal starts logged in to no account: the readiness poll says
    // so until a login succeeds, and the record of the last account is kept.
    bool found = history_.current == 0;
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (accounts_[i].login == history_.current) {
            current_ = i;
            found = true;
        }
    }
    logged_in_ = found && !accounts_[current_].otp;
    if (logged_in_ && !history_.knows(accounts_[current_].login)) {
        history_.record(accounts_[current_], wall_seconds());
        save_history_locked();
    }
}

std::uint64_t Terminal::max_records() const noexcept {
    const std::uint64_t cap = std::min<std::uint64_t>(settings_.max_response_bytes(), 0xFFFFFFFFu);
    return (cap - 12) / sizeof(wire::TickRecord);
}

ReadyState Terminal::ready_state() const {
    {
        std::lock_guard lock(account_mutex_);
        if (!logged_in_) return ReadyState::AuthFailed;
    }
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    if (elapsed < std::chrono::milliseconds(settings_.ready_delay_ms)) return ReadyState::Starting;
    return ReadyState::Ready;
}

const Account& Terminal::current_account() const {
    std::lock_guard lock(account_mutex_);
    return accounts_[current_];
}

bool Terminal::logged_in() const {
    std::lock_guard lock(account_mutex_);
    return logged_in_;
}

std::int32_t Terminal::login(std::uint64_t login, std::u16string_view password, std::u16string_view server) {
    std::lock_guard lock(account_mutex_);
    auto it = std::find_if(accounts_.begin(), accounts_.end(), [&](const Account& a) { return a.login == login; });
    // An empty server means the account's own; an empty password is the
    // one remembered from an earlier login on this installation.
    const bool found = it != accounts_.end();
    const bool server_ok = found && (server.empty() || same_server(server, it->server));
    const bool password_ok = found && (password == it->password || (password.empty() && history_.knows(login)));
    // A refused login changes nothing: other clients keep working with the
    // account the Terminal is logged in to.
    if (!found || !server_ok || !password_ok) return wire::kAuthorizationFailed;
    if (it->otp) return wire::kUnsupportedFunction;
    current_ = static_cast<std::size_t>(it - accounts_.begin());
    logged_in_ = true;
    history_.record(*it, wall_seconds());
    save_history_locked();
    return wire::kSuccess;
}

void Terminal::save_history_locked() {
    if (!write_file(installation_.accounts_file(), format_history(history_)))
        std::fprintf(stderr, "terminal64: cannot write %s\n",
                     protocol::utf16_to_utf8(installation_.accounts_file()).c_str());
}

ClientState::ClientState(Terminal& terminal) : books(terminal.market_watch()) {}

bool Terminal::handle(std::span<const std::byte> body, Exchange& ex, ClientState& client) {
    std::uint32_t cmd = 0;
    std::memcpy(&cmd, body.data(), sizeof cmd);
    RequestReader in(body.subspan(4));
    using Handler = bool (Terminal::*)(std::uint32_t, RequestReader&, Exchange&);
    struct Route {
        std::uint32_t command;
        Handler handler;
    };
    static constexpr std::array kRoutes = {
        Route{wire::kVersion, &Terminal::on_version},
        Route{wire::kHandshake, &Terminal::on_handshake},
        Route{wire::kLogin, &Terminal::on_login},
        Route{wire::kReadyPoll, &Terminal::on_ready},
        Route{wire::kTerminalInfo, &Terminal::on_terminal_info},
        Route{wire::kAccountInfo, &Terminal::on_account_info},
        Route{wire::kTicksFrom, &Terminal::on_ticks_from},
        Route{wire::kTicksRange, &Terminal::on_ticks_range},
        Route{wire::kRatesFrom, &Terminal::on_rates_from},
        Route{wire::kRatesRange, &Terminal::on_rates_range},
        Route{wire::kRatesFromPos, &Terminal::on_rates_from_pos},
        Route{wire::kSymbolInfo, &Terminal::on_symbol_info},
        Route{wire::kSymbolSelect, &Terminal::on_symbol_select},
        Route{wire::kSymbolInfoTick, &Terminal::on_symbol_info_tick},
        Route{wire::kSymbolsTotal, &Terminal::on_symbols_total},
        Route{wire::kSymbolsGet, &Terminal::on_symbols_get},
        Route{wire::kSymbolsGetGroup, &Terminal::on_symbols_get_group},
        Route{wire::kOrderCalcMargin, &Terminal::on_calc_margin},
        Route{wire::kOrderCalcProfit, &Terminal::on_calc_profit},
        Route{wire::kPositionsTotal, &Terminal::on_positions},
        Route{wire::kPositionsGet, &Terminal::on_positions},
        Route{wire::kPositionsBySymbol, &Terminal::on_positions},
        Route{wire::kPositionByTicket, &Terminal::on_positions},
        Route{wire::kOrdersTotal, &Terminal::on_orders},
        Route{wire::kOrdersGet, &Terminal::on_orders},
        Route{wire::kOrdersBySymbol, &Terminal::on_orders},
        Route{wire::kOrderByTicket, &Terminal::on_orders},
        Route{wire::kHistoryOrdersTotal, &Terminal::on_history_orders},
        Route{wire::kHistoryOrdersRange, &Terminal::on_history_orders},
        Route{wire::kHistoryOrdersByPosition, &Terminal::on_history_orders},
        Route{wire::kHistoryOrderByTicket, &Terminal::on_history_orders},
        Route{wire::kHistoryDealsTotal, &Terminal::on_history_deals},
        Route{wire::kHistoryDealsRange, &Terminal::on_history_deals},
        Route{wire::kHistoryDealsByPosition, &Terminal::on_history_deals},
        Route{wire::kHistoryDealByTicket, &Terminal::on_history_deals},
        Route{wire::kOrderCheck, &Terminal::on_order_check},
        Route{wire::kOrderSend, &Terminal::on_order_send},
        Route{kClockCommand, &Terminal::on_clock},
        Route{wire::kStepCommand, &Terminal::on_step},
        Route{kTicksAheadCommand, &Terminal::on_ticks_ahead},
    };
    for (const Route& r : kRoutes) {
        if (r.command != cmd) continue;
        if (needs_account(cmd) && !logged_in()) return ex.status(cmd, wire::kAuthorizationFailed);
        return (this->*r.handler)(cmd, in, ex);
    }
    // Commands that act on the connection's own state.
    using ClientHandler = bool (Terminal::*)(std::uint32_t, RequestReader&, Exchange&, ClientState&);
    struct ClientRoute {
        std::uint32_t command;
        ClientHandler handler;
    };
    static constexpr std::array kClientRoutes = {
        ClientRoute{wire::kBookAdd, &Terminal::on_book_add},
        ClientRoute{wire::kBookRelease, &Terminal::on_book_release},
        ClientRoute{wire::kBookGet, &Terminal::on_book_get},
    };
    for (const ClientRoute& r : kClientRoutes)
        if (r.command == cmd) return (this->*r.handler)(cmd, in, ex, client);
    return ex.status(cmd, wire::kUnsupportedFunction);
}

}  // namespace qvn::terminal
