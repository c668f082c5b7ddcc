#include "terminal/trading/engine.hpp"

#include <algorithm>

#include "protocol/text.hpp"

namespace qvn::terminal {
namespace {

using protocol::put_field;

bool accepted(TradeRetcode code) { return code == TradeRetcode::Done || code == TradeRetcode::Placed; }

bool buys(std::uint32_t type) {
    const auto b = is_buy(type);
    return b && *b;
}

// The funds in account currency, as replies report them.
Figures figures_of(const MoneyScale& m, const Funds& f) {
    return {m.to_double(f.balance), m.to_double(f.credit),      m.to_double(f.profit), m.to_double(f.equity),
            m.to_double(f.margin),  m.to_double(f.margin_free), f.margin_level};
}

}  // namespace

struct Trading::Slot {
    std::mutex mutex;
    std::unique_ptr<AccountBook> book;     // null until loaded, and after a failed group
    std::set<std::size_t> used_symbols;    // held in Market Watch by this account
    GroupCommit::Ticket last;              // the newest change set not yet known to be durable
    ChangeSet changes;                     // a direct commit's rows, kept for their room
    bool unstored = false;                 // the book holds a walk the store did not take
};

const AccountBook& Trading::Session::book() const noexcept { return *slot_->book; }

void Trading::Session::release() {
    slot_ = nullptr;
    if (lock_.owns_lock()) lock_.unlock();
}

Trading::Trading(Market& market, const Catalogue& catalogue, QuoteBoard& quotes, MarketWatch& watch,
                 TradeStore& store)
    : market_(market),
      catalogue_(catalogue),
      quotes_(quotes),
      watch_(watch),
      store_(store),
      group_(store),
      venue_{market, catalogue, quotes, &ticks_walked_} {}

Trading::~Trading() = default;

bool Trading::load(Slot& slot, const Account& account, std::int64_t now_ms, StoreFault& why) {
    if (slot.book) return true;
    if (!store_.is_open()) return false;
    auto book = std::make_unique<AccountBook>(account.login, catalogue_, account.currency_digits);
    StoredBook stored;
    switch (store_.load(account.login, stored, &why)) {
        case TradeStore::Load::Failed: return false;
        case TradeStore::Load::Found: book->load(std::move(stored)); break;
        case TradeStore::Load::Missing: {
            // A new account: its opening balance is its first deal.
            book->set_evaluated(now_ms);
            book->begin();
            MarketMoment now(market_, quotes_, now_ms, true);
            Executor(venue_, account, *book, now).deposit(account.balance);
            const bool stored_ok = store_.commit(book->changes(), &why);
            book->end();
            if (!stored_ok) return false;
            break;
        }
    }
    slot.book = std::move(book);
    // Symbols held before a failed group dropped the book are looked at
    // again too.
    std::set<std::size_t> used = slot.used_symbols;
    for (const auto& [index, s] : slot.book->symbols()) used.insert(index);
    update_watch(slot, std::vector<std::size_t>(used.begin(), used.end()));
    return true;
}

GroupCommit::Ticket Trading::join(Slot& slot, GroupCommit::Arrival* arrival) {
    AccountBook& book = *slot.book;
    if (group_.direct()) {
        book.changes(slot.changes);
        slot.last = group_.commit(slot.changes);
    } else {
        slot.last = group_.join(book.changes(), arrival);
    }
    const std::vector<std::size_t> touched = book.touched_symbols();
    book.end();
    update_watch(slot, touched);
    return slot.last;
}

void Trading::settle(Slot& slot, std::unique_lock<std::mutex>& lock, bool trade) {
    while (slot.last) {
        const GroupCommit::Ticket t = slot.last;
        const GroupCommit::State state = group_.state(t);
        if (state == GroupCommit::State::Failed) slot.book.reset();  // the store holds the account without it
        if (state == GroupCommit::State::Failed || state == GroupCommit::State::Durable) {
            slot.last.reset();
            return;
        }
        if (trade && state == GroupCommit::State::Open) return;
        lock.unlock();
        group_.wait(t);
        lock.lock();
    }
}

void Trading::update_watch(Slot& slot, const std::vector<std::size_t>& symbols) {
    for (const std::size_t i : symbols) {
        const bool used = slot.book->symbol(i) != nullptr;
        const bool held = slot.used_symbols.count(i) != 0;
        if (used && !held) {
            watch_.add_trade_use(i);
            slot.used_symbols.insert(i);
        } else if (!used && held) {
            watch_.release_trade_use(i);
            slot.used_symbols.erase(i);
        }
    }
}

Trading::Session Trading::open(const Account& account, std::int64_t now_ms, bool trade) {
    Session s;
    // Arrived before taking the account: the open group waits for this
    // trade rather than closing while it queues for the lock.
    if (trade) s.arrival_ = group_.arrive();
    Slot* slot = nullptr;
    {
        std::lock_guard lock(slots_mutex_);
        auto& p = slots_[account.login];
        if (!p) p = std::make_unique<Slot>();
        slot = p.get();
    }
    s.lock_ = std::unique_lock(slot->mutex);
    bool unstored = false;  // this reader's walk could not be stored
    for (;;) {
        settle(*slot, s.lock_, trade);
        if (slot->unstored) {
            slot->book.reset();  // back to what the store holds
            slot->unstored = false;
        }
        if (s.walked_ && group_.state(s.walked_) == GroupCommit::State::Failed) {
            s.walked_.reset();
            unstored = true;
        }
        if (!load(*slot, account, now_ms, s.fault_)) return s;
        AccountBook& book = *slot->book;
        // A request that read the clock before another walked the account
        // further sees the account as that walk left it, priced at its time,
        // never a later state at earlier quotes; nor is a trade dated before
        // what the account already did.
        if (!s.now_ || now_ms < book.evaluated_ms()) {
            now_ms = std::max(now_ms, book.evaluated_ms());
            s.now_.emplace(market_, quotes_, now_ms, true);
        }
        if (now_ms > book.evaluated_ms()) {
            book.begin();
            Executor(venue_, account, book, *s.now_).walk(book.evaluated_ms() + 1);
            book.set_evaluated(now_ms);
            if (book.changed() && unstored) {
                // Shown to this reader, dropped by the next request.
                const std::vector<std::size_t> touched = book.touched_symbols();
                book.end();
                update_watch(*slot, touched);
                slot->unstored = true;
            } else if (book.changed()) {
                s.walked_ = join(*slot, nullptr);
                // Committed at once and failed: a trade would build on a
                // walk the store lacks, so it is refused, as the group
                // holding both would have been. The next request starts
                // again from the store.
                if (trade && group_.direct() && s.walked_) {
                    group_.wait(s.walked_, &s.fault_);
                    return s;
                }
            } else {
                // Nothing happened: only memory moves on. After a restart the
                // walk covers this stretch again and again finds nothing, so
                // quiet reads cost no disk write.
                book.end();
            }
        }
        // A trade builds on the open group; a reader looks once all is durable.
        if (trade || !slot->last) break;
    }
    s.account_ = &account;
    s.accounting_.emplace(catalogue_, account, currency_code(account.currency), slot->book->money());
    s.slot_ = slot;
    return s;
}

Figures Trading::figures(const Session& s) {
    return figures_of(s.book().money(), s.accounting_->funds(s.book(), *s.now_));
}

wire::TradePositionRecord Trading::position_now(const Session& s, const Position& p) {
    wire::TradePositionRecord out = p.record;
    if (p.symbol == kNoSymbol) return out;
    if (const Quote q = s.now_->quote(*catalogue_[p.symbol].source); q.valid) {
        out.price_current = p.buy ? q.bid : q.ask;
        const std::int64_t profit = s.accounting_->profit(p, p.volume, p.buy ? q.bid_points : q.ask_points, *s.now_);
        out.profit = s.book().money().to_double(profit);
    }
    return out;
}

wire::TradeOrderRecord Trading::order_now(const Session& s, const Order& o) {
    wire::TradeOrderRecord out = o.record;
    if (o.symbol == kNoSymbol) return out;
    if (const Quote q = s.now_->quote(*catalogue_[o.symbol].source); q.valid)
        out.price_current = buys(o.record.type) ? q.ask : q.bid;
    return out;
}

wire::TradeCheckResultRecord Trading::check(Session& s, const wire::TradeRequestRecord& req) {
    AccountBook& book = *s.slot_->book;
    book.begin();
    Executor ex(venue_, *s.account_, book, *s.now_);
    const Outcome out = ex.execute(req);
    // A request that would pass is reported as Done, with the account as
    // the trade would leave it; a refused one with the account unchanged.
    const bool ok = accepted(out.code);
    if (!ok) book.rollback();
    const Funds f = ex.funds();
    if (ok) book.rollback();
    const TradeRetcode code = ok ? TradeRetcode::Done : out.code;
    wire::TradeCheckResultRecord r{};
    r.retcode = static_cast<std::uint32_t>(code);
    put_figures(r, figures_of(book.money(), f));
    put_field(r.comment, sizeof r.comment, retcode_comment(code));
    return r;
}

wire::TradeSendResultRecord Trading::send(Session& s, const wire::TradeRequestRecord& req) {
    wire::TradeSendResultRecord r{};
    {
        std::lock_guard lock(slots_mutex_);
        r.request_id = ++request_id_;
    }
    const auto refused = [&r](StoreFault fault) {
        r.retcode = static_cast<std::uint32_t>(TradeRetcode::Storage);
        put_field(r.comment, sizeof r.comment, storage_comment(fault));
        return r;
    };
    if (!s.ok()) return refused(s.fault_);
    Slot& slot = *s.slot_;
    AccountBook& book = *slot.book;
    book.begin();
    Executor ex(venue_, *s.account_, book, *s.now_);
    Outcome out = ex.execute(req);
    // A refused request is answered once what it was checked against (the
    // account's newest change) is durable.
    GroupCommit::Ticket wait_for;
    if (accepted(out.code)) {
        wait_for = join(slot, &s.arrival_);
    } else {
        book.rollback();
        wait_for = slot.last;
        s.arrival_.reset();
    }
    if (const CatalogueEntry* e = ex.concerned()) {
        const Quote q = s.now_->quote(*e->source);
        r.bid = q.bid;
        r.ask = q.ask;
    }
    s.release();
    // The group failed: this request, the walk before it or the trade it
    // was checked against was not stored. Nothing of it was done.
    if (StoreFault fault = StoreFault::None; wait_for && !group_.wait(wait_for, &fault)) return refused(fault);
    if (!accepted(out.code)) out = Outcome{out.code};
    r.retcode = static_cast<std::uint32_t>(out.code);
    r.deal = out.deal;
    r.order = out.order;
    r.volume = out.volume;
    r.price = out.price;
    put_field(r.comment, sizeof r.comment, retcode_comment(out.code));
    r.retcode_external = 0;
    return r;
}

}  // namespace qvn::terminal
