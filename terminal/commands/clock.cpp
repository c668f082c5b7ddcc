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
//
// The steps shared with the step command (901, commands/step.cpp) live
// here: naming the symbols, the next tick, and the move itself.
#include <algorithm>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

}  // namespace

bool Terminal::read_names(RequestReader& in, std::vector<std::u16string>& names) {
    std::uint32_t n = 0;
    if (!in.read(n)) return false;
    // Each name takes at least its count's four bytes, so `n` is bounded by
    // the frame before anything is kept per name.
    for (std::uint32_t i = 0; i < n; ++i) {
        std::u16string name;
        if (!in.wide(name)) return false;
        names.push_back(std::move(name));
    }
    return true;
}

std::int32_t Terminal::clock_sources(const std::vector<std::u16string>& names,
                                     std::vector<const PriceSource*>& out) const {
    out.clear();
    for (const std::u16string& name : names) {
        std::size_t i = 0;
        if (const std::int32_t code = symbol_index(name, i); code != wire::kSuccess) return code;
        out.push_back(catalogue_[i].source);
    }
    return wire::kSuccess;
}

std::int64_t Terminal::next_tick(const std::vector<const PriceSource*>& sources, std::int64_t now_ms) const {
    std::int64_t next = -1;
    const auto consider = [&](const PriceSource* s) {
        // A source serves nothing before its first day.
        const auto t = s->next_after(std::max(now_ms, s->first_ms() - 1));
        if (t && (next < 0 || *t < next)) next = *t;
    };
    if (!sources.empty()) {
        for (const PriceSource* s : sources) consider(s);
        return next;
    }
    std::vector<std::uint8_t> seen(market_.sources().size(), 0);
    for (std::size_t i = 0; i < catalogue_.size(); ++i) {
        const PriceSource* s = catalogue_[i].source;
        if (seen[s->index()] == 0) consider(s);
        seen[s->index()] = 1;
    }
    return next;
}

bool Terminal::advance_clock(std::int64_t target_ms, Figures* after) {
    std::int64_t now = market_.now_ms();
    while (target_ms > now) {
        now = std::min(target_ms, now + kMaxWalkMs);
        market_.clock().advance(now);
        if (!logged_in()) continue;
        const Account& account = current_account();  // the session keeps it: it must outlive it
        Trading::Session s = trading_.begin(account, now);
        if (!s.ok()) return false;
        if (after != nullptr && now == target_ms) *after = trading_.figures(s);
    }
    return true;
}

bool Terminal::on_clock(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!market_.clock().stepped()) return ex.status(cmd, wire::kUnsupportedFunction);
    std::int64_t target = 0;
    std::vector<std::u16string> names;
    if (!in.read(target) || !read_names(in, names)) return ex.status(cmd, wire::kInvalidParams);
    if (!in.done() || target < 0 || target >= Market::process_end_ms()) return ex.status(cmd, wire::kInvalidParams);
    std::vector<const PriceSource*> sources;
    if (const std::int32_t code = clock_sources(names, sources); code != wire::kSuccess) return ex.status(cmd, code);

    std::lock_guard step(step_mutex_);
    if (target != 0 && target < market_.now_ms()) return ex.status(cmd, wire::kInvalidParams);
    // The store failed: the clock stands where this walk was to end, and
    // the account is brought up by its next request.
    if (!advance_clock(target, nullptr)) return ex.status(cmd, wire::kFailed);
    const std::int64_t now = market_.now_ms();
    Response r(cmd, wire::kSuccess);
    r.put(now);
    r.put(next_tick(sources, now));
    return ex.send(r);
}

}  // namespace qvn::terminal
