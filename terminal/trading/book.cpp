#include "terminal/trading/book.hpp"

#include <algorithm>

#include "terminal/enums.hpp"

namespace qvn::terminal {
namespace {

Levels* order_levels(SymbolBook& s, std::uint32_t type) {
    switch (static_cast<OrderType>(type)) {
        case OrderType::BuyLimit: return &s.buy_limits;
        case OrderType::SellLimit: return &s.sell_limits;
        case OrderType::BuyStop:
        case OrderType::BuyStopLimit: return &s.buy_stops;
        case OrderType::SellStop:
        case OrderType::SellStopLimit: return &s.sell_stops;
        default: return nullptr;
    }
}

}  // namespace

std::u16string text_field(const char16_t (&field)[wire::kTextUnits]) {
    std::size_t n = 0;
    while (n < wire::kTextUnits && field[n] != 0) ++n;
    return std::u16string(field, n);
}

AccountBook::AccountBook(std::uint64_t login, const Catalogue& catalogue, std::uint32_t currency_digits)
    : login_(login), catalogue_(catalogue), money_(currency_digits) {}

void AccountBook::load(StoredBook&& stored) {
    funds_kept_ = false;
    balance_ = money_.units(stored.account.balance);
    next_ticket_ = stored.account.next_ticket;
    evaluated_ms_ = stored.account.evaluated_ms;
    // Tickets are never reused, even if the account row fell behind.
    std::uint64_t highest = 0;
    const auto see = [&highest](std::uint64_t ticket) { highest = std::max(highest, ticket); };
    for (const auto& r : stored.positions) {
        set_position(r);
        see(r.ticket);
    }
    for (const auto& r : stored.orders) {
        set_order(r);
        see(r.ticket);
    }
    for (const auto& r : stored.history_orders) see(r.ticket);
    for (const auto& r : stored.deals) see(r.ticket);
    next_ticket_ = std::max(next_ticket_, highest + 1);
    history_ = std::move(stored.history_orders);
    deals_ = std::move(stored.deals);
}

const Position* AccountBook::position(std::uint64_t ticket) const {
    const auto it = positions_.find(ticket);
    return it == positions_.end() ? nullptr : &it->second;
}

const Order* AccountBook::order(std::uint64_t ticket) const {
    const auto it = orders_.find(ticket);
    return it == orders_.end() ? nullptr : &it->second;
}

const SymbolBook* AccountBook::symbol(std::size_t index) const {
    const auto it = symbols_.find(index);
    return it == symbols_.end() ? nullptr : &it->second;
}

std::size_t AccountBook::symbol_index(const std::u16string& name) const { return catalogue_.index_of(name); }

void AccountBook::drop_if_empty(std::size_t index) {
    const auto it = symbols_.find(index);
    if (it != symbols_.end() && it->second.empty()) symbols_.erase(it);
}

// ---- derived indexes --------------------------------------------------------

// Records are packed: their fields are copied out before any container
// takes them by reference.
void AccountBook::index_position(const Position& p) {
    swap_total_ += p.swap;
    if (p.symbol == kNoSymbol) return;
    SymbolBook& s = symbol_book(p.symbol);
    SideSums& side = p.buy ? s.buy : s.sell;
    side.volume += p.volume;
    side.weighted += static_cast<Fine>(p.open) * p.volume;
    const std::uint64_t ticket = p.record.ticket;
    s.positions.insert(ticket);
    const double sl = p.record.sl, tp = p.record.tp;
    if (sl != 0) (p.buy ? s.buy_sl : s.sell_sl).insert({sl, ticket});
    if (tp != 0) (p.buy ? s.buy_tp : s.sell_tp).insert({tp, ticket});
}

void AccountBook::unindex_position(const Position& p) {
    swap_total_ -= p.swap;
    if (p.symbol == kNoSymbol) return;
    SymbolBook& s = symbol_book(p.symbol);
    SideSums& side = p.buy ? s.buy : s.sell;
    side.volume -= p.volume;
    side.weighted -= static_cast<Fine>(p.open) * p.volume;
    const std::uint64_t ticket = p.record.ticket;
    s.positions.erase(ticket);
    const double sl = p.record.sl, tp = p.record.tp;
    if (sl != 0) (p.buy ? s.buy_sl : s.sell_sl).erase({sl, ticket});
    if (tp != 0) (p.buy ? s.buy_tp : s.sell_tp).erase({tp, ticket});
    drop_if_empty(p.symbol);
}

void AccountBook::index_order(const Order& o) {
    const std::int64_t expiration = o.record.time_expiration;
    const std::uint64_t ticket = o.record.ticket;
    const double price = o.record.price_open;
    if (expiration > 0) expirations_.insert({expiration, ticket});
    if (o.symbol == kNoSymbol) return;
    SymbolBook& s = symbol_book(o.symbol);
    ++s.orders;
    if (Levels* levels = order_levels(s, o.record.type)) levels->insert({price, ticket});
}

void AccountBook::unindex_order(const Order& o) {
    const std::int64_t expiration = o.record.time_expiration;
    const std::uint64_t ticket = o.record.ticket;
    const double price = o.record.price_open;
    if (expiration > 0) expirations_.erase({expiration, ticket});
    if (o.symbol == kNoSymbol) return;
    SymbolBook& s = symbol_book(o.symbol);
    --s.orders;
    if (Levels* levels = order_levels(s, o.record.type)) levels->erase({price, ticket});
    drop_if_empty(o.symbol);
}

// ---- raw changes (no undo log) -----------------------------------------------

void AccountBook::set_position(const wire::TradePositionRecord& r) {
    funds_kept_ = false;
    const std::uint64_t ticket = r.ticket;
    remove_position(ticket);
    Position p{r, symbol_index(symbol_of(r)), r.type == static_cast<std::uint32_t>(PositionType::Buy),
               volume_units(r.volume), 0, money_.units(r.swap)};
    if (p.symbol != kNoSymbol) p.open = price_points(r.price_open, catalogue_[p.symbol].source->instrument().digits);
    const auto [it, inserted] = positions_.emplace(ticket, p);
    index_position(it->second);
}

void AccountBook::remove_position(std::uint64_t ticket) {
    funds_kept_ = false;
    const auto it = positions_.find(ticket);
    if (it == positions_.end()) return;
    unindex_position(it->second);
    positions_.erase(it);
}

void AccountBook::set_order(const wire::TradeOrderRecord& r) {
    funds_kept_ = false;
    const std::uint64_t ticket = r.ticket;
    remove_order(ticket);
    const auto [it, inserted] = orders_.emplace(ticket, Order{r, symbol_index(symbol_of(r))});
    index_order(it->second);
}

void AccountBook::remove_order(std::uint64_t ticket) {
    funds_kept_ = false;
    const auto it = orders_.find(ticket);
    if (it == orders_.end()) return;
    unindex_order(it->second);
    orders_.erase(it);
}

// ---- logged changes ---------------------------------------------------------

void AccountBook::put_position(const wire::TradePositionRecord& r) {
    if (in_transaction_) {
        const Position* old = position(r.ticket);
        undo_.emplace_back(PositionWas{r.ticket, old != nullptr, old != nullptr ? old->record : r});
    }
    set_position(r);
}

void AccountBook::erase_position(std::uint64_t ticket) {
    const Position* old = position(ticket);
    if (old == nullptr) return;
    if (in_transaction_) undo_.emplace_back(PositionWas{ticket, true, old->record});
    remove_position(ticket);
}

void AccountBook::put_order(const wire::TradeOrderRecord& r) {
    if (in_transaction_) {
        const Order* old = order(r.ticket);
        undo_.emplace_back(OrderWas{r.ticket, old != nullptr, old != nullptr ? old->record : r});
    }
    set_order(r);
}

void AccountBook::erase_order(std::uint64_t ticket) {
    const Order* old = order(ticket);
    if (old == nullptr) return;
    if (in_transaction_) undo_.emplace_back(OrderWas{ticket, true, old->record});
    remove_order(ticket);
}

// ---- transactions -----------------------------------------------------------

void AccountBook::begin() {
    in_transaction_ = true;
    undo_.clear();
    history_at_ = history_.size();
    deals_at_ = deals_.size();
    balance_at_ = balance_;
    evaluated_at_ = evaluated_ms_;
    ticket_at_ = next_ticket_;
}

bool AccountBook::changed() const {
    return !undo_.empty() || history_.size() != history_at_ || deals_.size() != deals_at_ ||
           balance_ != balance_at_ || next_ticket_ != ticket_at_;
}

void AccountBook::changes(ChangeSet& c) const {
    c.put_positions.clear();
    c.drop_positions.clear();
    c.put_orders.clear();
    c.drop_orders.clear();
    c.account = {login_, money_.to_double(balance_), next_ticket_, evaluated_ms_};
    // The first entry of a ticket tells whether its row existed before the
    // transaction; the book tells whether it exists now.
    std::set<std::uint64_t> seen_positions, seen_orders;
    for (const auto& entry : undo_) {
        if (const auto* p = std::get_if<PositionWas>(&entry)) {
            if (!seen_positions.insert(p->ticket).second) continue;
            if (const Position* now = position(p->ticket)) c.put_positions.push_back(now->record);
            else if (p->existed) c.drop_positions.push_back(p->ticket);
        } else {
            const auto& o = std::get<OrderWas>(entry);
            if (!seen_orders.insert(o.ticket).second) continue;
            if (const Order* now = order(o.ticket)) c.put_orders.push_back(now->record);
            else if (o.existed) c.drop_orders.push_back(o.ticket);
        }
    }
    c.history_seq = history_at_;
    c.history_orders.assign(history_.begin() + static_cast<std::ptrdiff_t>(history_at_), history_.end());
    c.deals.assign(deals_.begin() + static_cast<std::ptrdiff_t>(deals_at_), deals_.end());
}

std::vector<std::size_t> AccountBook::touched_symbols() const {
    std::vector<std::size_t> out;
    for (const auto& entry : undo_) {
        const std::u16string name = std::visit([](const auto& was) { return symbol_of(was.record); }, entry);
        const std::size_t i = symbol_index(name);
        if (i != kNoSymbol) out.push_back(i);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void AccountBook::rollback() {
    funds_kept_ = false;
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
        if (const auto* p = std::get_if<PositionWas>(&*it)) {
            if (p->existed) set_position(p->record);
            else remove_position(p->ticket);
        } else {
            const auto& o = std::get<OrderWas>(*it);
            if (o.existed) set_order(o.record);
            else remove_order(o.ticket);
        }
    }
    history_.resize(history_at_);
    deals_.resize(deals_at_);
    balance_ = balance_at_;
    evaluated_ms_ = evaluated_at_;
    next_ticket_ = ticket_at_;
    end();
}

void AccountBook::end() {
    in_transaction_ = false;
    undo_.clear();
}

}  // namespace qvn::terminal
