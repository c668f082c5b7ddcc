// Fills and closes: the records a trade leaves (orders, deals, positions)
// and the money each deal moves. Requests and the walk both end here.
#include "protocol/text.hpp"
#include "terminal/trading/executor.hpp"

namespace qvn::terminal {
namespace {

using protocol::put_field;

std::u16string comment_of(const wire::TradeOrderRecord& o) {
    char16_t units[wire::kTextUnits];
    std::memcpy(units, o.comment, sizeof units);
    return text_field(units);
}

}  // namespace

std::string currency_code(std::u16string_view currency) {
    std::string out(currency.size(), '?');
    for (std::size_t i = 0; i < currency.size(); ++i)
        if (currency[i] < 0x80) out[i] = static_cast<char>(currency[i]);
    return out;
}

Executor::Executor(const Venue& venue, const Account& account, AccountBook& book, MarketMoment& now)
    : venue_(venue),
      account_(account),
      book_(book),
      now_(now),
      at_(&now),
      accounting_(venue.catalogue, account, currency_code(account.currency), book.money()) {}

wire::TradeOrderRecord Executor::make_order(const CatalogueEntry& e, std::uint32_t type, double volume, double price,
                                            OrderReason reason, std::uint64_t magic, std::u16string_view comment) {
    wire::TradeOrderRecord o{};
    o.ticket = book_.take_ticket();
    o.time_setup = floor_div(now_ms(), 1000);
    o.time_setup_msc = now_ms();
    o.type = type;
    o.type_time = static_cast<std::uint32_t>(OrderTime::Gtc);
    o.type_filling = static_cast<std::uint32_t>(OrderFilling::Fok);
    o.state = static_cast<std::uint32_t>(OrderState::Started);
    o.magic = magic;
    o.reason = static_cast<std::uint32_t>(reason);
    o.volume_initial = volume;
    o.volume_current = volume;
    o.price_open = price;
    o.price_current = price;
    put_field(o.symbol, sizeof o.symbol, e.name);
    put_field(o.comment, sizeof o.comment, comment);
    return o;
}

void Executor::finish_order(wire::TradeOrderRecord o, OrderState state, std::uint64_t position,
                            std::uint64_t position_by, double price_current) {
    o.time_done = floor_div(now_ms(), 1000);
    o.time_done_msc = now_ms();
    o.state = static_cast<std::uint32_t>(state);
    if (state == OrderState::Filled) o.volume_current = 0.0;
    o.position_id = position;
    o.position_by_id = position_by;
    o.price_current = price_current;
    book_.add_history(o);
}

std::uint64_t Executor::add_deal(const CatalogueEntry& e, bool buy, DealEntry entry, std::int64_t volume, double price,
                                 std::uint64_t order, std::uint64_t position, DealReason reason, std::uint64_t magic,
                                 std::u16string_view comment, DealMoney money) {
    const MoneyScale& m = book_.money();
    const std::int64_t commission = accounting_.commission(volume, *at_);
    wire::TradeDealRecord r{};
    r.ticket = book_.take_ticket();
    r.order = order;
    r.time = floor_div(now_ms(), 1000);
    r.time_msc = now_ms();
    r.type = static_cast<std::uint32_t>(buy ? DealType::Buy : DealType::Sell);
    r.entry = static_cast<std::uint32_t>(entry);
    r.magic = magic;
    r.position_id = position;
    r.reason = static_cast<std::uint32_t>(reason);
    r.volume = lots_of(volume);
    r.price = price;
    r.commission = m.to_double(commission);
    r.swap = m.to_double(money.swap);
    r.profit = m.to_double(money.profit);
    r.fee = 0.0;
    put_field(r.symbol, sizeof r.symbol, e.name);
    put_field(r.comment, sizeof r.comment, comment);
    book_.add_balance(money.profit + commission + money.swap);
    book_.add_deal(r);
    return r.ticket;
}

void Executor::deposit(double amount) {
    const std::int64_t units = book_.money().round(amount);
    if (units == 0) return;
    wire::TradeDealRecord r{};
    r.ticket = book_.take_ticket();
    r.time = floor_div(now_ms(), 1000);
    r.time_msc = now_ms();
    r.type = static_cast<std::uint32_t>(DealType::Balance);
    r.entry = static_cast<std::uint32_t>(DealEntry::In);
    r.reason = static_cast<std::uint32_t>(DealReason::Client);
    r.profit = book_.money().to_double(units);
    put_field(r.comment, sizeof r.comment, u"Initial deposit");
    book_.add_balance(units);
    book_.add_deal(r);
}

std::uint64_t Executor::close_part(std::uint64_t ticket, std::int64_t volume, std::int64_t price, std::uint64_t order,
                                   DealReason reason, DealEntry entry, std::u16string_view comment,
                                   std::int64_t profit_price) {
    const Position p = *book_.position(ticket);
    const CatalogueEntry& e = venue_.catalogue[p.symbol];
    const int digits = e.source->instrument().digits;
    const std::int64_t swap = p.volume > 0 ? round_ratio(static_cast<Fine>(p.swap) * volume, p.volume) : p.swap;
    const std::int64_t profit = accounting_.profit(p, volume, profit_price, *at_);
    const std::uint64_t deal = add_deal(e, !p.buy, entry, volume, price_of(price, digits), order,
                                        p.record.identifier, reason, p.record.magic, comment, {profit, swap});
    const std::int64_t left = p.volume - volume;
    if (left <= 0) {
        book_.erase_position(ticket);
        return deal;
    }
    wire::TradePositionRecord r = p.record;
    r.volume = lots_of(left);
    r.swap = book_.money().to_double(p.swap - swap);
    r.time_update = floor_div(now_ms(), 1000);
    r.time_update_msc = now_ms();
    book_.put_position(r);
    return deal;
}

std::uint64_t Executor::fill(const CatalogueEntry& e, bool buy, std::int64_t volume, std::int64_t price,
                             const wire::TradeOrderRecord& o, std::uint64_t close_position) {
    const std::u16string comment = comment_of(o);
    const std::uint64_t magic = o.magic;
    const std::uint64_t order = o.ticket;
    const double sl = o.sl, tp = o.tp;
    const int digits = e.source->instrument().digits;
    const double fill_price = price_of(price, digits);
    const std::int64_t now = now_ms();
    if (close_position != 0) {
        const std::uint64_t deal =
            close_part(close_position, volume, price, order, DealReason::Expert, DealEntry::Out, comment, price);
        finish_order(o, OrderState::Filled, close_position, 0, fill_price);
        return deal;
    }
    const SymbolBook* s = book_.symbol(venue_.catalogue.index_of(e.name));
    if (account_.margin_mode != AccountMarginMode::RetailHedging && s != nullptr && !s->positions.empty()) {
        // Netting: the symbol's one position.
        const Position p = *book_.position(*s->positions.begin());
        const std::uint64_t id = p.record.identifier;
        wire::TradePositionRecord r = p.record;
        r.time_update = floor_div(now, 1000);
        r.time_update_msc = now;
        std::uint64_t deal = 0;
        if (p.buy == buy) {
            // Adds: the opening price becomes the volume-weighted mean.
            const std::int64_t total = p.volume + volume;
            const Fine weighted = static_cast<Fine>(p.open) * p.volume + static_cast<Fine>(price) * volume;
            r.price_open = price_of(round_ratio(weighted, total), digits);
            r.volume = lots_of(total);
            if (sl != 0) r.sl = sl;
            if (tp != 0) r.tp = tp;
            book_.put_position(r);
            deal = add_deal(e, buy, DealEntry::In, volume, fill_price, order, id, DealReason::Expert, magic, comment, {});
        } else if (volume <= p.volume) {
            deal = close_part(p.record.ticket, volume, price, order, DealReason::Expert, DealEntry::Out, comment, price);
        } else {
            // Reverses: the deal closes the position and opens the rest the
            // other way, under the same identifier.
            const std::int64_t profit = accounting_.profit(p, p.volume, price, *at_);
            deal = add_deal(e, buy, DealEntry::Inout, volume, fill_price, order, id, DealReason::Expert, magic, comment,
                            {profit, p.swap});
            r.type = static_cast<std::uint32_t>(buy ? PositionType::Buy : PositionType::Sell);
            r.volume = lots_of(volume - p.volume);
            r.price_open = fill_price;
            r.swap = 0.0;
            r.sl = sl;
            r.tp = tp;
            book_.put_position(r);
        }
        finish_order(o, OrderState::Filled, id, 0, fill_price);
        return deal;
    }
    wire::TradePositionRecord r{};
    r.ticket = order;
    r.identifier = order;
    r.time = floor_div(now, 1000);
    r.time_msc = now;
    r.time_update = r.time;
    r.time_update_msc = now;
    r.type = static_cast<std::uint32_t>(buy ? PositionType::Buy : PositionType::Sell);
    r.magic = magic;
    r.reason = static_cast<std::uint32_t>(PositionReason::Expert);
    r.volume = lots_of(volume);
    r.price_open = fill_price;
    r.sl = sl;
    r.tp = tp;
    r.price_current = fill_price;
    put_field(r.symbol, sizeof r.symbol, e.name);
    put_field(r.comment, sizeof r.comment, comment);
    book_.put_position(r);
    const std::uint64_t deal =
        add_deal(e, buy, DealEntry::In, volume, fill_price, order, order, DealReason::Expert, magic, comment, {});
    finish_order(o, OrderState::Filled, order, 0, fill_price);
    return deal;
}

void Executor::close_out(std::uint64_t ticket, std::int64_t price, OrderReason order_reason, DealReason deal_reason,
                         std::u16string_view comment) {
    const Position p = *book_.position(ticket);
    const CatalogueEntry& e = venue_.catalogue[p.symbol];
    const double close_price = price_of(price, e.source->instrument().digits);
    const auto type = static_cast<std::uint32_t>(p.buy ? OrderType::Sell : OrderType::Buy);
    const wire::TradeOrderRecord o = make_order(e, type, p.record.volume, close_price, order_reason, p.record.magic,
                                                comment);
    close_part(ticket, p.volume, price, o.ticket, deal_reason, DealEntry::Out, comment, price);
    finish_order(o, OrderState::Filled, p.record.identifier, 0, close_price);
}

}  // namespace qvn::terminal
