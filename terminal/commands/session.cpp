// Session commands: version, handshake, login, readiness, and the terminal
// and account records.
#include <cstdint>

#include "protocol/text.hpp"
#include "protocol/wire.hpp"
#include "terminal/market/noise.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;
using protocol::put_field;

}  // namespace


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
    t.connected = logged_in();
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
    put_field(t.company, sizeof t.company, kCompanyName);
    put_field(t.name, sizeof t.name, kProductName);
    put_field(t.language, sizeof t.language, u"English");
    put_field(t.path, sizeof t.path, installation_.install_folder);
    put_field(t.data_path, sizeof t.data_path, installation_.files_folder);
    put_field(t.commondata_path, sizeof t.commondata_path, installation_.common_folder);
    t.tradeapi_disabled = settings_.tradeapi_disabled;
    Response r(cmd, wire::kSuccess);
    r.put(t);
    return ex.send(r);
}

bool Terminal::on_account_info(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!in.done()) return ex.status(cmd, wire::kInvalidParams);
    const Account& a = current_account();
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
    // The account's funds as its open positions stand at the market clock.
    Figures f;
    {
        Trading::Session s = trading_.begin(a, market_.now_ms());
        if (!s.ok()) return ex.status(cmd, wire::kFailed);
        f = trading_.figures(s);
    }
    put_figures(r, f);
    r.credit = a.credit;
    r.margin_so_call = kMarginCallLevel;
    r.margin_so_so = kStopOutLevel;
    r.margin_initial = 0.0;
    r.margin_maintenance = 0.0;
    r.assets = 0.0;
    r.liabilities = 0.0;
    r.commission_blocked = 0.0;
    put_field(r.name, sizeof r.name, a.name);
    put_field(r.server, sizeof r.server, a.server);
    put_field(r.currency, sizeof r.currency, a.currency);
    put_field(r.company, sizeof r.company, a.company);
    Response out(cmd, wire::kSuccess);
    out.put(r);
    return ex.send(out);
}

}  // namespace qvn::terminal
