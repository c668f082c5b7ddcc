// Unit tests of the trading store's own rules on its one connection: a
// commit and a load take turns (the store's lock), rows are never made anew
// over rows already there, and an account whose accounts row has gone is
// damage, not a new account.
#include <atomic>
#include <string>
#include <thread>

#include "check.hpp"
#include "terminal/store/trade_store.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;

constexpr std::uint64_t kLogin = 5001001;

// The n-th commit of the account: balance n, deal n, next ticket n + 1.
term::ChangeSet nth(std::uint64_t n) {
    term::ChangeSet c;
    c.account = {kLogin, static_cast<double>(n), n + 1, 0};
    wire::TradeDealRecord d{};
    d.ticket = n;
    d.profit = 1;
    c.deals.push_back(d);
    return c;
}

// Commits on one thread, loads of the same account on another, over the
// store's one connection: every commit succeeds and every load sees a whole
// commit, balance, deals and next ticket agreeing. A commit that skipped the
// store's lock would begin, write or end its transaction in the middle of a
// load's (a load seeing half a commit, either failing outright, or both
// waiting on each other's lock): the first failure ends both loops.
void test_commits_and_loads_take_turns() {
    const qvn::test::TempFolder folder;
    term::TradeStore store;
    std::string error;
    CHECK(store.open(folder.file("trading.db"), error));
    constexpr std::uint64_t kCommits = 400;
    std::atomic<bool> done{false};
    std::atomic<int> loads{0}, torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            term::StoredBook b;
            const term::TradeStore::Load r = store.load(kLogin, b);
            if (r == term::TradeStore::Load::Missing) continue;  // before the first commit
            ++loads;
            const std::uint64_t n = b.deals.size();
            if (r != term::TradeStore::Load::Found || b.account.balance != static_cast<double>(n) ||
                b.account.next_ticket != n + 1 || (n > 0 && b.deals.back().ticket != n)) {
                ++torn;
                break;
            }
        }
    });
    std::uint64_t failed = 0;
    for (std::uint64_t n = 1; n <= kCommits && failed == 0 && torn.load() == 0; ++n)
        if (!store.commit(nth(n))) ++failed;
    done = true;
    reader.join();
    CHECK(failed == 0);
    CHECK(torn.load() == 0);
    CHECK(loads.load() > 0);
    term::StoredBook b;
    if (failed == 0 && torn.load() == 0)
        CHECK(store.load(kLogin, b) == term::TradeStore::Load::Found && b.deals.size() == kCommits);
}

// A deal or history order is only ever added: one whose ticket is stored
// fails its commit and the stored one stays. Rows whose accounts row has
// gone (another program writing the file while the Terminal runs) fail the
// load as damage: they are never taken for a new account, which would
// write its opening deal over them.
void test_rows_are_never_made_anew() {
    const qvn::test::TempFolder folder;
    term::TradeStore store;
    std::string error;
    CHECK(store.open(folder.file("trading.db"), error));
    CHECK(store.commit(nth(1)) && store.commit(nth(2)));
    term::ChangeSet again = nth(3);
    again.deals[0].ticket = 2;
    again.deals[0].profit = 99;
    term::StoreFault why = term::StoreFault::None;
    CHECK(!store.commit(again, &why) && why == term::StoreFault::Damaged);
    term::StoredBook b;
    CHECK(store.load(kLogin, b) == term::TradeStore::Load::Found && b.deals.size() == 2 &&
          b.deals[1].profit == 1 && b.account.next_ticket == 3);

    term::Database other;
    CHECK(other.open(folder.file("trading.db")) && other.exec("DELETE FROM accounts"));
    why = term::StoreFault::None;
    CHECK(store.load(kLogin, b, &why) == term::TradeStore::Load::Failed && why == term::StoreFault::Damaged);
}

}  // namespace

int main() {
    test_commits_and_loads_take_turns();
    test_rows_are_never_made_anew();
    return qvn::test::finish("terminal store");
}
