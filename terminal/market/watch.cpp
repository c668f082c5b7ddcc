#include "terminal/market/watch.hpp"

#include <string_view>

#include "protocol/wire.hpp"

namespace qvn::terminal {
namespace {

bool selected_by_default(const CatalogueEntry& e) {
    if (e.custom) return false;
    const std::u16string_view path = e.path;
    return path.starts_with(u"Forex\\Majors\\") || e.name == u"XAUUSD" || e.name == u"US500" ||
           e.name == u"BTCUSD";
}

}  // namespace

MarketWatch::MarketWatch(const Catalogue& catalogue) : selected_(catalogue.size(), 0), books_(catalogue.size(), 0),
      trades_(catalogue.size(), 0) {
    for (std::size_t i = 0; i < catalogue.size(); ++i) selected_[i] = selected_by_default(catalogue[i]) ? 1 : 0;
}

bool MarketWatch::selected(std::size_t symbol) const {
    std::lock_guard lock(mutex_);
    return selected_[symbol] != 0;
}

std::vector<std::uint8_t> MarketWatch::selection() const {
    std::lock_guard lock(mutex_);
    return selected_;
}

void MarketWatch::select(std::size_t symbol) {
    std::lock_guard lock(mutex_);
    selected_[symbol] = 1;
}

bool MarketWatch::in_use_locked(std::size_t symbol) const { return books_[symbol] != 0 || trades_[symbol] != 0; }

std::int32_t MarketWatch::deselect(std::size_t symbol) {
    std::lock_guard lock(mutex_);
    if (in_use_locked(symbol)) return wire::kFailed;
    selected_[symbol] = 0;
    return wire::kSuccess;
}

void MarketWatch::add_use(std::vector<std::uint32_t>& uses, std::size_t symbol) {
    std::lock_guard lock(mutex_);
    ++uses[symbol];
    selected_[symbol] = 1;
}

void MarketWatch::release_use(std::vector<std::uint32_t>& uses, std::size_t symbol) {
    std::lock_guard lock(mutex_);
    if (uses[symbol] > 0) --uses[symbol];
}

void MarketWatch::add_book(std::size_t symbol) { add_use(books_, symbol); }
void MarketWatch::release_book(std::size_t symbol) { release_use(books_, symbol); }
void MarketWatch::add_trade_use(std::size_t symbol) { add_use(trades_, symbol); }
void MarketWatch::release_trade_use(std::size_t symbol) { release_use(trades_, symbol); }

BookSubscriptions::~BookSubscriptions() {
    for (std::size_t s : symbols_) watch_.release_book(s);
}

void BookSubscriptions::add(std::size_t symbol) {
    if (symbols_.insert(symbol).second) watch_.add_book(symbol);
}

bool BookSubscriptions::release(std::size_t symbol) {
    if (symbols_.erase(symbol) == 0) return false;
    watch_.release_book(symbol);
    return true;
}

bool BookSubscriptions::holds(std::size_t symbol) const {
    return symbols_.contains(symbol);
}

}  // namespace qvn::terminal
