#include "terminal/store/group_commit.hpp"

namespace qvn::terminal {

GroupCommit::Arrival GroupCommit::arrive() {
    if (direct()) return Arrival();
    std::lock_guard lock(mutex_);
    ++arrived_;
    return Arrival(this);
}

void GroupCommit::leave() {
    {
        std::lock_guard lock(mutex_);
        --arrived_;
    }
    arrivals_.notify_one();
}

GroupCommit::Ticket GroupCommit::join(ChangeSet&& changes, Arrival* arrival) {
    auto t = std::make_shared<Entry>();
    t->changes_ = std::move(changes);
    {
        std::lock_guard lock(mutex_);
        t->group_ = open_id_;
        open_.push_back(t);
        if (arrival != nullptr && *arrival) {
            static_cast<void>(arrival->release());
            --arrived_;
        }
    }
    arrivals_.notify_one();
    return t;
}

GroupCommit::Ticket GroupCommit::commit(const ChangeSet& changes) {
    StoreFault fault = StoreFault::None;
    if (store_.commit(changes, &fault)) return nullptr;
    // Group 0: done before any group, so its outcome is known at once.
    auto t = std::make_shared<Entry>();
    t->fault_ = fault;
    return t;
}

GroupCommit::State GroupCommit::state(const Ticket& t) {
    std::lock_guard lock(mutex_);
    if (t->group_ <= done_id_) return t->ok_ ? State::Durable : State::Failed;
    return t->group_ < open_id_ ? State::Sealed : State::Open;
}

bool GroupCommit::wait(const Ticket& t, StoreFault* why) {
    std::unique_lock lock(mutex_);
    while (t->group_ > done_id_) {
        if (leading_) {
            done_.wait(lock);
            continue;
        }
        // Nobody leads, so the entry's group is the open one: lead it. A
        // trade that has arrived is applying its change under its account's
        // lock (a matter of microseconds, no waiting on the disk), so it is
        // waited for rather than left to pay a sync of its own.
        leading_ = true;
        arrivals_.wait(lock, [this] { return arrived_ == 0; });
        std::vector<Ticket> group;
        group.swap(open_);
        const std::uint64_t id = open_id_++;
        lock.unlock();
        std::vector<const ChangeSet*> sets;
        sets.reserve(group.size());
        for (const Ticket& e : group) sets.push_back(&e->changes_);
        StoreFault fault = StoreFault::None;
        const bool ok = store_.commit(sets, &fault);
        for (const Ticket& e : group) e->changes_ = ChangeSet{};  // only the outcome is kept
        lock.lock();
        for (const Ticket& e : group) {
            e->ok_ = ok;
            e->fault_ = fault;
        }
        done_id_ = id;
        leading_ = false;
        done_.notify_all();
    }
    if (why != nullptr) *why = t->fault_;
    return t->ok_;
}

std::size_t GroupCommit::gathering() {
    std::lock_guard lock(mutex_);
    return open_.size();
}

}  // namespace qvn::terminal
