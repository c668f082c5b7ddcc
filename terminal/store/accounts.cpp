#include "terminal/store/accounts.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

#include "protocol/text.hpp"

namespace qvn::terminal {
namespace {

constexpr std::u16string_view kDemoCompany = u"Quorvane Markets Ltd";

std::u16string to_u16(std::string_view s) { return protocol::path_to_utf16(s); }
std::string to_u8(std::u16string_view s) { return protocol::utf16_to_utf8(s); }

// Sets `out` to the value named `v` (any case) in `names`; false for a name
// not there.
template <class Enum, std::size_t N>
bool parse_name(std::string_view v, const std::pair<std::string_view, Enum> (&names)[N], Enum& out) {
    for (const auto& [name, value] : names) {
        if (iequals(v, name)) {
            out = value;
            return true;
        }
    }
    return false;
}

constexpr std::pair<std::string_view, AccountTradeMode> kTradeModes[] = {
    {"demo", AccountTradeMode::Demo}, {"contest", AccountTradeMode::Contest}, {"real", AccountTradeMode::Real}};
constexpr std::pair<std::string_view, AccountMarginMode> kMarginModes[] = {
    {"hedging", AccountMarginMode::RetailHedging},
    {"netting", AccountMarginMode::RetailNetting},
    {"exchange", AccountMarginMode::Exchange}};

}  // namespace

std::vector<Account> builtin_accounts() {
    std::vector<Account> a(4);
    a[0].login = 5001001;
    a[0].password = u"demo1001";
    a[0].currency = u"USD";
    a[0].name = u"Demo Account USD";
    a[0].balance = 10000.0;
    a[0].leverage = 100;

    a[1].login = 5001002;
    a[1].password = u"demo1002";
    a[1].currency = u"EUR";
    a[1].name = u"Demo Account EUR";
    a[1].balance = 5000.0;
    a[1].leverage = 50;
    a[1].margin_mode = AccountMarginMode::RetailNetting;

    a[2].login = 5001003;
    a[2].password = u"demo1003";
    a[2].currency = u"USD";
    a[2].name = u"Demo Account OTP";
    a[2].balance = 10000.0;
    a[2].otp = true;

    a[3].login = 5001004;
    a[3].password = u"demo1004";
    a[3].currency = u"JPY";
    a[3].currency_digits = 0;
    a[3].name = u"Contest Account JPY";
    a[3].balance = 1000000.0;
    a[3].leverage = 200;
    a[3].trade_mode = AccountTradeMode::Contest;
    for (Account& x : a) {
        x.server = std::u16string(kDemoServer);
        x.company = std::u16string(kDemoCompany);
    }
    return a;
}

bool load_accounts(const IniFile& settings, std::vector<Account>& accounts, std::string& error) {
    for (const IniSection& s : settings.sections) {
        if (s.name.size() < 8 || !iequals(std::string_view(s.name).substr(0, 8), "Account ")) continue;
        Account a;
        a.server = std::u16string(kDemoServer);
        a.company = std::u16string(kDemoCompany);
        a.currency = u"USD";
        const std::string where = "terminal.ini [" + s.name + "]: ";
        if (!parse_uint(std::string_view(s.name).substr(8), ~0ull, a.login) || a.login == 0) {
            error = where + "the login must be a positive whole number";
            return false;
        }
        a.name = to_u16("Account " + std::to_string(a.login));
        for (const auto& entry : s.entries) {
            // Named references, not a structured binding: older compilers
            // cannot capture a binding in a lambda.
            const auto& key = entry.first;
            const auto& value = entry.second;
            bool ok = true;
            const auto whole = [&value, &ok](std::uint64_t min, std::uint64_t max, std::uint32_t& field) {
                std::uint64_t n = 0;
                ok = parse_uint(value, max, n) && n >= min;
                field = static_cast<std::uint32_t>(n);
            };
            if (iequals(key, "password")) a.password = to_u16(value);
            else if (iequals(key, "server")) a.server = to_u16(value);
            else if (iequals(key, "currency")) a.currency = to_u16(value);
            else if (iequals(key, "name")) a.name = to_u16(value);
            else if (iequals(key, "company")) a.company = to_u16(value);
            else if (iequals(key, "leverage")) whole(1, 100000, a.leverage);
            else if (iequals(key, "currency_digits")) whole(0, 8, a.currency_digits);
            else if (iequals(key, "limit_orders")) whole(0, 100000, a.limit_orders);
            else if (iequals(key, "balance")) ok = parse_decimal(value, a.balance);
            else if (iequals(key, "credit")) ok = parse_decimal(value, a.credit);
            else if (iequals(key, "otp")) ok = parse_flag(value, a.otp);
            else if (iequals(key, "trade_mode")) ok = parse_name(value, kTradeModes, a.trade_mode);
            else if (iequals(key, "margin_mode")) ok = parse_name(value, kMarginModes, a.margin_mode);
            if (!ok) {
                error = where + "malformed value '" + value + "' for " + key;
                return false;
            }
        }
        auto same = std::find_if(accounts.begin(), accounts.end(), [&](const Account& x) { return x.login == a.login; });
        if (same != accounts.end()) *same = std::move(a);
        else accounts.push_back(std::move(a));
    }
    return true;
}

bool AccountHistory::knows(std::uint64_t login) const noexcept {
    return std::any_of(used.begin(), used.end(), [&](const Entry& e) { return e.login == login; });
}

void AccountHistory::record(const Account& account, std::int64_t now_s) {
    current = account.login;
    for (Entry& e : used) {
        if (e.login == account.login) {
            e.server = account.server;
            e.last_login = now_s;
            return;
        }
    }
    used.push_back(Entry{account.login, account.server, now_s});
}

AccountHistory parse_history(std::string_view text) {
    const IniFile file = parse_ini(text);
    AccountHistory h;
    if (const IniSection* s = file.find("Accounts")) {
        if (const std::string* v = s->find("current")) parse_uint(*v, ~0ull, h.current);
    }
    for (const IniSection& s : file.sections) {
        if (s.name.size() < 8 || !iequals(std::string_view(s.name).substr(0, 8), "Account ")) continue;
        AccountHistory::Entry e{0, {}, 0};
        if (!parse_uint(std::string_view(s.name).substr(8), ~0ull, e.login)) continue;
        if (const std::string* v = s.find("server")) e.server = to_u16(*v);
        std::uint64_t t = 0;
        if (const std::string* v = s.find("last_login"); v != nullptr && parse_uint(*v, 1ull << 40, t))
            e.last_login = static_cast<std::int64_t>(t);
        h.used.push_back(std::move(e));
    }
    return h;
}

std::string format_history(const AccountHistory& history) {
    IniFile file;
    file.section("Accounts").set("current", std::to_string(history.current));
    for (const AccountHistory::Entry& e : history.used) {
        IniSection& s = file.section("Account " + std::to_string(e.login));
        s.set("server", to_u8(e.server));
        s.set("last_login", std::to_string(e.last_login));
    }
    return format_ini(file,
                      "Quorvane Terminal account history, rewritten on every login.\n"
                      "[Accounts] current = the account logged in to at start;\n"
                      "[Account <login>] = an account logged in to before (its password is remembered).");
}

}  // namespace qvn::terminal
