// Trading accounts the Terminal can log in to: built-in demo accounts plus
// the [Account <login>] sections of terminal.ini, and the account history
// kept in config/accounts.dat.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/enums.hpp"
#include "terminal/text/ini.hpp"

namespace qvn::terminal {

inline constexpr std::u16string_view kDemoServer = u"Quorvane-Demo";

struct Account {
    std::uint64_t login = 0;
    std::u16string password;
    std::u16string server;
    std::u16string currency;
    std::u16string name;
    std::u16string company;
    std::uint32_t leverage = 100;
    std::uint32_t currency_digits = 2;
    std::uint32_t limit_orders = 200;
    double balance = 0;
    double credit = 0;
    bool otp = false;  // needs a one-time password, which this Terminal cannot supply
    AccountTradeMode trade_mode = AccountTradeMode::Demo;
    AccountMarginMode margin_mode = AccountMarginMode::RetailHedging;
};

std::vector<Account> builtin_accounts();

// Adds (or replaces) the accounts of the [Account <login>] sections.
bool load_accounts(const IniFile& settings, std::vector<Account>& accounts, std::string& error);

// What accounts.dat remembers: the account last logged in to and every
// account logged in to before (whose saved password lets a login with an
// empty password through).
struct AccountHistory {
    std::uint64_t current = 0;
    struct Entry {
        std::uint64_t login;
        std::u16string server;
        std::int64_t last_login;  // POSIX seconds, wall clock
    };
    std::vector<Entry> used;

    bool knows(std::uint64_t login) const noexcept;
    void record(const Account& account, std::int64_t now_s);
};

AccountHistory parse_history(std::string_view text);
std::string format_history(const AccountHistory& history);

}  // namespace qvn::terminal
