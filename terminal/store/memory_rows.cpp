#include "terminal/store/memory_rows.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

#include "terminal/store/trade_store.hpp"

namespace qvn::terminal {

MemoryRows::Refusal MemoryRows::commit(std::span<const ChangeSet* const> group, int& fault_after,
                                       std::string& what) {
    // First, without changing anything, the write the commit would fail
    // at, if any: the first row that clashes with a stored one or with an
    // earlier one of the commit, and the write the count reaches 0 at.
    std::vector<Added>& added = added_;
    added.clear();
    std::size_t writes = 0;
    for (const ChangeSet* c : group) {
        writes += 1 + c->put_positions.size() + c->drop_positions.size() + c->put_orders.size() +
                  c->drop_orders.size();
        for (const auto& r : c->history_orders) added.push_back({false, c->account.login, r.ticket, writes++});
        for (const auto& r : c->deals) added.push_back({true, c->account.login, r.ticket, writes++});
    }
    std::size_t clash = writes;  // none
    std::sort(added.begin(), added.end(), [](const Added& a, const Added& b) {
        return std::tie(a.deal, a.login, a.ticket, a.write) < std::tie(b.deal, b.login, b.ticket, b.write);
    });
    for (std::size_t i = 0; i < added.size(); ++i) {
        const Added& a = added[i];
        bool stored = false;
        if (i > 0 && added[i - 1].deal == a.deal && added[i - 1].login == a.login &&
            added[i - 1].ticket == a.ticket) {
            stored = true;  // an earlier write of the commit added it
        } else if (const auto it = accounts_.find(a.login); it != accounts_.end()) {
            stored = a.deal ? it->second.deals.count(a.ticket) != 0 : it->second.history.count(a.ticket) != 0;
        }
        if (stored && a.write < clash) {
            clash = a.write;
            what = std::string(a.deal ? "deal " : "history order ") + std::to_string(a.ticket) + " of account " +
                   std::to_string(a.login) + " is stored already";
        }
    }
    if (fault_after >= 0 && static_cast<std::size_t>(fault_after) < std::min(clash + 1, writes)) {
        fault_after = -1;
        return Refusal::Injected;
    }
    if (fault_after >= 0) fault_after -= static_cast<int>(std::min(clash + 1, writes));
    if (clash < writes) return Refusal::Conflict;

    // Then every write, in the order the SQLite store makes them. Tickets
    // are copied out of the packed records before a map takes them.
    for (const ChangeSet* c : group) {
        Account& a = accounts_[c->account.login];
        a.balance = c->account.balance;
        a.next_ticket = c->account.next_ticket;
        a.evaluated_ms = c->account.evaluated_ms;
        for (const auto& r : c->put_positions) a.positions.insert_or_assign(std::uint64_t{r.ticket}, r);
        for (const std::uint64_t t : c->drop_positions) a.positions.erase(t);
        for (const auto& r : c->put_orders) a.orders.insert_or_assign(std::uint64_t{r.ticket}, r);
        for (const std::uint64_t t : c->drop_orders) a.orders.erase(t);
        for (std::size_t i = 0; i < c->history_orders.size(); ++i)
            a.history.emplace(std::uint64_t{c->history_orders[i].ticket},
                              HistoryRow{c->history_seq + i, c->history_orders[i]});
        for (const auto& r : c->deals) a.deals.emplace(std::uint64_t{r.ticket}, r);
    }
    return Refusal::None;
}

bool MemoryRows::load(std::uint64_t login, StoredBook& out) const {
    out = StoredBook{};
    out.account.login = login;
    const auto it = accounts_.find(login);
    if (it == accounts_.end()) return false;
    const Account& a = it->second;
    out.account.balance = a.balance;
    out.account.next_ticket = a.next_ticket;
    out.account.evaluated_ms = a.evaluated_ms;
    for (const auto& [ticket, r] : a.positions) out.positions.push_back(r);
    for (const auto& [ticket, r] : a.orders) out.orders.push_back(r);
    for (const auto& [ticket, r] : a.deals) out.deals.push_back(r);
    std::vector<std::pair<std::uint64_t, const wire::TradeOrderRecord*>> history;
    history.reserve(a.history.size());
    for (const auto& [ticket, row] : a.history) history.emplace_back(row.seq, &row.record);
    // Ticket order within a seq: the map's, kept by a stable sort.
    std::stable_sort(history.begin(), history.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    out.history_orders.reserve(history.size());
    for (const auto& [seq, r] : history) out.history_orders.push_back(*r);
    return true;
}

std::optional<std::int64_t> MemoryRows::last_activity() const {
    std::optional<std::int64_t> out;
    for (const auto& [login, a] : accounts_)
        if (!out || a.evaluated_ms > *out) out = a.evaluated_ms;
    return out;
}

}  // namespace qvn::terminal
