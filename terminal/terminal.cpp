#include "terminal/terminal.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "protocol/text.hpp"
#include "protocol/wire.hpp"
#include "terminal/files.hpp"
#include "terminal/noise.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// Copies text into a fixed UTF-16 field, cut to leave the terminating zero.
template <std::size_t N>
void put_text(char16_t (&field)[N], std::u16string_view text) {
    std::size_t i = 0;
    for (; i + 1 < N && i < text.size(); ++i) field[i] = text[i];
    for (; i < N; ++i) field[i] = u'\0';
}

bool same_server(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (protocol::lower_unit(a[i]) != protocol::lower_unit(b[i])) return false;
    return true;
}

std::int64_t wall_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Terminal::Terminal(Settings settings, Installation installation, std::vector<Account> accounts,
                   AccountHistory history, Market& market)
    : settings_(std::move(settings)),
      installation_(std::move(installation)),
      accounts_(std::move(accounts)),
      market_(market),
      started_(std::chrono::steady_clock::now()),
      history_(std::move(history)) {
    // Start logged in to the account used last, or the first demo account.
    bool found = false;
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (accounts_[i].login == history_.current) {
            current_ = i;
            found = true;
        }
    }
    if (!found || !history_.knows(accounts_[current_].login)) {
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
        if (auth_failed_) return ReadyState::AuthFailed;
    }
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    if (elapsed < std::chrono::milliseconds(settings_.ready_delay_ms)) return ReadyState::Starting;
    return ReadyState::Ready;
}

Account Terminal::current_account() const {
    std::lock_guard lock(account_mutex_);
    return accounts_[current_];
}

std::int32_t Terminal::login(std::uint64_t login, std::u16string_view password, std::u16string_view server) {
    std::lock_guard lock(account_mutex_);
    auto it = std::find_if(accounts_.begin(), accounts_.end(), [&](const Account& a) { return a.login == login; });
    // An empty server means the account's own; an empty password is the
    // one remembered from an earlier login on this installation.
    const bool found = it != accounts_.end();
    const bool server_ok = found && (server.empty() || same_server(server, it->server));
    const bool password_ok = found && (password == it->password || (password.empty() && history_.knows(login)));
    if (!found || !server_ok || !password_ok) {
        auth_failed_ = true;
        return wire::kAuthorizationFailed;
    }
    if (it->otp) {
        auth_failed_ = true;
        return wire::kUnsupportedFunction;
    }
    current_ = static_cast<std::size_t>(it - accounts_.begin());
    auth_failed_ = false;
    history_.record(*it, wall_seconds());
    save_history_locked();
    return wire::kSuccess;
}

void Terminal::save_history_locked() {
    if (!write_file(installation_.accounts_file(), format_history(history_)))
        std::fprintf(stderr, "terminal64: cannot write %s\n",
                     protocol::utf16_to_utf8(installation_.accounts_file()).c_str());
}

bool Terminal::handle(std::span<const std::byte> body, Exchange& ex) {
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
    };
    for (const Route& r : kRoutes)
        if (r.command == cmd) return (this->*r.handler)(cmd, in, ex);
    return ex.status(cmd, wire::kUnsupportedFunction);
}

// ---- Session commands -----------------------------------------------------

bool Terminal::on_version(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::uint32_t reserved = 1;
    if (!in.read(reserved) || !in.done() || reserved != 0) return ex.status(cmd, wire::kInvalidParams);
    Response r(cmd, wire::kSuccess);
    r.put(kVersionMajor);
    r.put(settings_.build);
    r.put_wide(kReleaseDate);
    return ex.send(r);
}

bool Terminal::on_handshake(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::uint32_t version = 0;
    std::u16string client;
    if (!in.read(version) || !in.wide(client) || !in.done()) return ex.status(cmd, wire::kInvalidParams);
    if (version != wire::kHandshakeVersion || client != wire::kHandshakeClient)
        return ex.status(cmd, wire::kIncompatibleVersion);
    Response r(cmd, wire::kSuccess);
    r.put(settings_.build);
    return ex.send(r);
}

bool Terminal::on_login(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::uint32_t reserved = 1;
    std::uint64_t account = 0;
    std::u16string password, server;
    if (!in.read(reserved) || !in.read(account) || !in.wide(password) || !in.wide(server) || !in.done() ||
        reserved != 0)
        return ex.status(cmd, wire::kInvalidParams);
    const std::int32_t code = login(account, password, server);
    return ex.status(cmd, code);
}

bool Terminal::on_ready(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!in.done()) return ex.status(cmd, wire::kInvalidParams);
    Response r(cmd, wire::kSuccess);
    r.put(static_cast<std::uint32_t>(ready_state()));
    return ex.send(r);
}

bool Terminal::on_terminal_info(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!in.done()) return ex.status(cmd, wire::kInvalidParams);
    wire::TerminalInfoRecord t{};
    t.build = settings_.build;
    t.community_account = 0;
    t.community_connection = 0;
    t.connected = ready_state() != ReadyState::AuthFailed;
    t.dlls_allowed = 0;
    t.trade_allowed = settings_.trade_allowed;
    t.email_enabled = 0;
    t.ftp_enabled = 0;
    t.notifications_enabled = 0;
    t.maxbars = static_cast<std::uint32_t>(max_records());
    t.bvid = 0;
    t.codepage = 65001;
    // A simulated round trip to the trade server, in microseconds.
    const std::uint64_t jitter = mix64(static_cast<std::uint64_t>(market_.now_ms() / 1000)) % 900;
    t.ping_last = static_cast<std::int32_t>(1400 + jitter);
    t.community_balance = 0.0;
    t.retransmission = 0.0;
    put_text(t.company, kCompanyName);
    put_text(t.name, kProductName);
    put_text(t.language, u"English");
    put_text(t.path, installation_.install_folder);
    put_text(t.data_path, installation_.files_folder);
    put_text(t.commondata_path, installation_.common_folder);
    t.tradeapi_disabled = settings_.tradeapi_disabled;
    Response r(cmd, wire::kSuccess);
    r.put(t);
    return ex.send(r);
}

bool Terminal::on_account_info(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!in.done()) return ex.status(cmd, wire::kInvalidParams);
    const Account a = current_account();
    wire::AccountInfoRecord r{};
    r.login = a.login;
    r.trade_mode = static_cast<std::uint32_t>(a.trade_mode);
    r.leverage = a.leverage;
    r.limit_orders = a.limit_orders;
    r.margin_so_mode = static_cast<std::uint32_t>(AccountStopoutMode::Percent);
    r.trade_allowed = 1;
    r.trade_expert = settings_.trade_allowed && !settings_.tradeapi_disabled;
    r.margin_mode = static_cast<std::uint32_t>(a.margin_mode);
    r.currency_digits = a.currency_digits;
    r.fifo_close = 0;
    // No open positions yet: equity is balance plus credit, nothing is
    // used as margin, and the margin level (equity / margin) is undefined,
    // reported as 0.
    r.balance = a.balance;
    r.credit = a.credit;
    r.profit = 0.0;
    r.equity = a.balance + a.credit + r.profit;
    r.margin = 0.0;
    r.margin_free = r.equity - r.margin;
    r.margin_level = r.margin > 0 ? r.equity / r.margin * 100.0 : 0.0;
    r.margin_so_call = 100.0;
    r.margin_so_so = 50.0;
    r.margin_initial = 0.0;
    r.margin_maintenance = 0.0;
    r.assets = 0.0;
    r.liabilities = 0.0;
    r.commission_blocked = 0.0;
    put_text(r.name, a.name);
    put_text(r.server, a.server);
    put_text(r.currency, a.currency);
    put_text(r.company, a.company);
    Response out(cmd, wire::kSuccess);
    out.put(r);
    return ex.send(out);
}

}  // namespace qvn::terminal
