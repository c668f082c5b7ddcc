// The control command of a stepped clock (900): a driver moves the market
// clock forward and learns when the next tick comes.
//
// Request after the code: i64 target_ms, u32 n, n wide symbol names.
// Reply after echo and result: i64 now_ms, i64 next_ms.
//
// The current account is brought up to the new time before the reply,
// through the engine's own walk (pending orders, stops, expirations, swaps,
// stop-out) under the account's lock, so other connections see the account
// as it was before the move or after it, never in between. A move longer
// than one walk covers is made in walks of that length, so a step never
// skips a tick.
#include <algorithm>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// The first tick strictly after `now_ms` among `sources`, or -1.
std::int64_t next_tick(const std::vector<const PriceSource*>& sources, std::int64_t now_ms) {
    std::int64_t next = -1;
    for (const PriceSource* s : sources) {
        // A source serves nothing before its first day.
        const auto t = s->next_after(std::max(now_ms, s->first_ms() - 1));
        if (t && (next < 0 || *t < next)) next = *t;
    }
    return next;
}

}  // namespace

bool Terminal::on_clock(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!market_.clock().stepped()) return ex.status(cmd, wire::kUnsupportedFunction);
    std::int64_t target = 0;
    std::uint32_t n = 0;
    if (!in.read(target) || !in.read(n)) return ex.status(cmd, wire::kInvalidParams);
    // Each name takes at least its count's four bytes, so `n` is bounded by
    // the frame before anything is kept per name.
    std::vector<std::u16string> names;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::u16string name;
        if (!in.wide(name)) return ex.status(cmd, wire::kInvalidParams);
        names.push_back(std::move(name));
    }
    if (!in.done() || target < 0 || target >= Market::process_end_ms()) return ex.status(cmd, wire::kInvalidParams);

    std::vector<const PriceSource*> sources;
    if (names.empty()) {
        std::vector<std::uint8_t> seen(market_.sources().size(), 0);
        for (std::size_t i = 0; i < catalogue_.size(); ++i) {
            const PriceSource* s = catalogue_[i].source;
            if (seen[s->index()] == 0) sources.push_back(s);
            seen[s->index()] = 1;
        }
    }
    for (const std::u16string& name : names) {
        std::size_t i = 0;
        if (const std::int32_t code = symbol_index(name, i); code != wire::kSuccess) return ex.status(cmd, code);
        sources.push_back(catalogue_[i].source);
    }

    std::lock_guard step(step_mutex_);
    std::int64_t now = market_.now_ms();
    if (target != 0 && target < now) return ex.status(cmd, wire::kInvalidParams);
    while (target > now) {
        now = std::min(target, now + kMaxWalkMs);
        market_.clock().advance(now);
        if (!logged_in()) continue;
        Trading::Session s = trading_.begin(current_account(), now);
        // The store failed: the clock stands where this walk was to end,
        // and the account is brought up by its next request.
        if (!s.ok()) return ex.status(cmd, wire::kFailed);
    }
    Response r(cmd, wire::kSuccess);
    r.put(now);
    r.put(next_tick(sources, now));
    return ex.send(r);
}

}  // namespace qvn::terminal
