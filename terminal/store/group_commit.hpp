// Group commit: change sets of concurrent trades written to the store in
// one transaction and synced once, so that the disk's sync rate bounds the
// number of commits a second, not the number of trades.
//
// A trade joins the open group with its change set, gives its account back
// and waits. The first waiter finding no commit under way leads: it lets
// every trade that has begun (arrived) but not joined yet join as well,
// seals the group, commits it and wakes everyone with the group's outcome.
// Trades that arrive meanwhile gather in the next group. A trade is
// acknowledged only when its own group is on disk.
//
// Groups are committed one at a time, in the order they were opened, and a
// group's change sets in the order they joined. A group that fails writes
// nothing; the caller undoes what its trades did in memory.
//
// A store in memory (TradeStore::in_memory) has no sync for a group to
// share: there each change set is committed alone, at once (commit), and
// nothing arrives, gathers or waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "terminal/store/trade_store.hpp"

namespace qvn::terminal {

class GroupCommit {
public:
    explicit GroupCommit(TradeStore& store) : store_(store) {}
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    // One change set's place in a group.
    class Entry {
        friend class GroupCommit;
        ChangeSet changes_;
        std::uint64_t group_ = 0;
        bool ok_ = false;  // the outcome, once the group is done
        StoreFault fault_ = StoreFault::None;  // why it failed
    };
    using Ticket = std::shared_ptr<Entry>;

    // A trade has begun: the open group is not sealed until it joins or
    // leaves (when the handle goes, unless join took it over).
    struct Leave {
        void operator()(GroupCommit* g) const { g->leave(); }
    };
    using Arrival = std::unique_ptr<GroupCommit, Leave>;
    Arrival arrive();  // a null arrival when direct()
    // Appends a change set to the open group; given the caller's arrival,
    // also ends it, in the same step.
    Ticket join(ChangeSet&& changes, Arrival* arrival = nullptr);

    // Whether change sets are committed as they come, never gathered.
    bool direct() const noexcept { return store_.in_memory(); }
    // Commits one change set alone, now (direct() only): a null ticket when
    // it is stored, as there is nothing to wait for, else a Failed one.
    Ticket commit(const ChangeSet& changes);

    // Open: more may join the entry's group; Sealed: its commit is under
    // way; then its outcome.
    enum class State { Open, Sealed, Durable, Failed };
    State state(const Ticket& t);
    // Blocks until the entry's group is committed, leading the commit when
    // nobody else does; true when it is on disk, else false with `why`
    // (when given) set to what failed.
    bool wait(const Ticket& t, StoreFault* why = nullptr);

    // Change sets in the open group (for tests that line trades up).
    std::size_t gathering();

private:
    void leave();

    TradeStore& store_;
    std::mutex mutex_;
    std::condition_variable arrivals_;  // to the leader: a trade joined or left
    std::condition_variable done_;      // to everyone: a group's outcome is known
    std::vector<Ticket> open_;     // the open group, in joining order
    std::uint64_t open_id_ = 1;    // the open group's number
    std::uint64_t done_id_ = 0;    // groups up to this one have their outcome
    std::size_t arrived_ = 0;      // trades begun and not joined
    bool leading_ = false;         // a leader is gathering or committing
};

}  // namespace qvn::terminal
