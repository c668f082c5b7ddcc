// The step command of a stepped clock (901): one exchange per step of a
// backtest. It moves the clock as command 900 does and answers, in the same
// reply, everything the driver needs after the move.
//
// Request after the code: i64 target_ms, i32 timeframe, u32 flags, u32 n,
// n wide symbol names. `flags`: bit 0 (1) and bit 1 (2) ask for the
// account's funds before and after the step (taking them opens the account
// at that time, a new account's deposit being dated there, so a driver asks
// only for those it uses); bit 2 (4) makes the step one bar: the clock goes
// to the last millisecond of the bar of `timeframe` holding the earliest
// tick after it among the named symbols, if that lies at or before
// target_ms, and otherwise stays (as it does when no tick follows). Without
// it the clock goes to target_ms itself (0: it stays).
// Reply after echo and result: a wire::StepRecord (now_ms, next_ms, the
// account's funds before and after the step, zeros where not asked for),
// then per named symbol, in the request's order, u32 count and count bar
// records: the bars of
// `timeframe` that closed during the step, i.e. whose last millisecond lies
// in (the clock before the step, now_ms], oldest first. The bar in progress
// at now_ms is left out; a step normally closes one bar, none when the
// symbol had no tick in it, several when it spans several.
//
// The bars are those copy_rates_* serves at now_ms, byte for byte (the same
// selection and the same bar builder), and a bar is complete once its last
// millisecond has passed, so a driver that keeps the bars of every step has
// the history copy_rates_from_pos would give it, without asking again.
#include <algorithm>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/market/bars.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

constexpr std::uint32_t kKnownFlags = wire::kStepFundsBefore | wire::kStepFundsAfter | wire::kStepToNextBar;

// Steps over fewer periods than this, or within a week (a weekend or a
// holiday between two bars), build their bars from the minutes and hours
// the market keeps for their days; longer ones read the kept series.
constexpr std::int64_t kBuiltPeriods = 16;
constexpr std::int64_t kBuiltMinutes = 7 * kMinutesPerDay;

// The bars of `s` whose last millisecond lies in (from_ms, to_ms], as
// served at to_ms; none when to_ms <= from_ms. The first such period is the
// one holding from_ms + 1 (it ends after it), the last the one before the
// period holding to_ms + 1 (which ends after to_ms).
//
// A step normally closes one bar. It is built as copy_rates_* builds the
// bars after a kept series (the same bytes), rather than by extending the
// kept series to the clock's day: that copies a whole series whenever its
// room runs out, and a stepped clock reaches a new day every 1440 minutes.
BarPlan plan_closed(Market& market, const PriceSource& s, Timeframe tf, std::int64_t from_ms, std::int64_t to_ms,
                    std::uint64_t limit) {
    if (to_ms <= from_ms) return {};
    const std::int64_t first = period_start(tf, floor_div(from_ms + 1, kMsPerMinute));
    const std::int64_t last = period_prev(tf, period_start(tf, floor_div(to_ms + 1, kMsPerMinute)));
    if (first > last) return {};
    if (last - first < std::max(kBuiltPeriods * static_cast<std::int64_t>(tf), kBuiltMinutes)) {
        BarPlan plan;
        plan.tail = select_range(s, tf, to_ms, first * 60, last * 60, limit);
        return plan;
    }
    return plan_range(market, s, tf, to_ms, first * 60, last * 60, limit);
}

wire::AccountFundsRecord funds_of(const Figures& f) noexcept {
    wire::AccountFundsRecord r{};
    r.balance = f.balance;
    r.equity = f.equity;
    r.margin = f.margin;
    return r;
}

// Appends a plan's bars as u32 count and the records: the kept ones as they
// are, then those built from the ticks. Should the builder run dry early the
// count says how many there are.
void put_bars(Response& r, Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms,
              const BarPlan& plan, std::vector<wire::BarRecord>& scratch) {
    scratch.resize(static_cast<std::size_t>(plan.tail.count));
    std::size_t built = 0;
    if (!scratch.empty()) {
        BarCursor cursor(market, s, tf, now_ms, plan.tail);
        built = cursor.fill(scratch.data(), scratch.size());
    }
    r.put(static_cast<std::uint32_t>(plan.count + built));
    if (plan.count > 0) r.put_bytes(plan.series->bars.data() + plan.from, plan.count * sizeof(wire::BarRecord));
    r.put_bytes(scratch.data(), built * sizeof(wire::BarRecord));
}

}  // namespace

bool Terminal::on_step(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!market_.clock().stepped()) return ex.status(cmd, wire::kUnsupportedFunction);
    std::int64_t target = 0;
    std::int32_t tf = 0;
    std::uint32_t flags = 0;
    // One step at a time, from reading its names on: the lists it needs
    // are the Terminal's, reused from step to step rather than made anew.
    std::lock_guard step(step_mutex_);
    std::vector<std::u16string>& names = step_lists_.names;
    std::vector<const PriceSource*>& sources = step_lists_.sources;
    std::vector<BarPlan>& plans = step_lists_.plans;
    std::vector<wire::BarRecord>& scratch = step_lists_.scratch;
    names.clear();
    if (!in.read(target) || !in.read(tf) || !in.read(flags) || !read_names(in, names) || !in.done() ||
        target < 0 || target >= Market::process_end_ms() || !valid_timeframe(tf) || (flags & ~kKnownFlags) != 0)
        return ex.status(cmd, wire::kInvalidParams);
    if (const std::int32_t code = clock_sources(names, sources); code != wire::kSuccess) return ex.status(cmd, code);
    const std::uint32_t funds = flags & (wire::kStepFundsBefore | wire::kStepFundsAfter);
    // Funds are the account's: without one there are none to report.
    if (funds != 0 && !logged_in()) return ex.status(cmd, wire::kAuthorizationFailed);
    const auto timeframe = static_cast<Timeframe>(tf);

    const std::int64_t from = market_.now_ms();
    const bool to_next_bar = (flags & wire::kStepToNextBar) != 0;
    std::int64_t to = from;
    std::int64_t following = -1;  // to the next bar: the earliest tick after `from`
    if (to_next_bar) {
        following = last_next_.after_ms == from && last_next_.sources == sources ? last_next_.next_ms
                                                                                 : next_tick(sources, from);
        if (following >= 0) {
            const std::int64_t opened = period_start(timeframe, floor_div(following, kMsPerMinute));
            const std::int64_t last = period_next(timeframe, opened) * kMsPerMinute - 1;
            if (last <= target) to = last;
        }
    } else {
        if (target != 0 && target < from) return ex.status(cmd, wire::kInvalidParams);
        to = std::max(target, from);
    }

    // The bars are chosen first, at the clock they will be served at, so an
    // answer too large for one response is refused before anything moves.
    const std::uint64_t cap = std::min<std::uint64_t>(settings_.max_response_bytes(), 0xFFFFFFFFu);
    std::uint64_t bytes = 12 + sizeof(wire::StepRecord) + 4 * std::uint64_t{sources.size()};
    // A plan may hold a kept series: none is held past the step.
    struct Release {
        std::vector<BarPlan>& plans;
        ~Release() { plans.clear(); }
    } release{plans};
    for (const PriceSource* s : sources) {
        plans.push_back(plan_closed(market_, *s, timeframe, from, to, max_records()));
        bytes += plans.back().total() * sizeof(wire::BarRecord);
        if (bytes > cap) return ex.status(cmd, wire::kOutOfMemory);
    }

    wire::StepRecord head{};
    Figures figures;
    // The funds before the step, and those after one that does not move.
    if ((funds & wire::kStepFundsBefore) != 0 || ((funds & wire::kStepFundsAfter) != 0 && to == from)) {
        const Account& account = current_account();  // the session keeps it: it must outlive it
        Trading::Session s = trading_.begin(account, from);
        if (!s.ok()) return ex.status(cmd, wire::kFailed);
        figures = trading_.figures(s);
        if ((funds & wire::kStepFundsBefore) != 0) head.before = funds_of(figures);
    }
    // The store failed: the clock stands where that walk was to end, and the
    // account is brought up by its next request.
    Figures* after = (funds & wire::kStepFundsAfter) != 0 ? &figures : nullptr;  // figured only when asked for
    if (!advance_clock(to, after)) return ex.status(cmd, wire::kFailed);
    if ((funds & wire::kStepFundsAfter) != 0) head.after = funds_of(figures);
    head.now_ms = to;
    head.next_ms = to_next_bar && to == from ? following : next_tick(sources, to);
    last_next_.sources = sources;
    last_next_.after_ms = to;
    last_next_.next_ms = head.next_ms;
    Response r(cmd, wire::kSuccess);
    r.put(head);
    for (std::size_t i = 0; i < sources.size(); ++i) put_bars(r, market_, *sources[i], timeframe, to, plans[i], scratch);
    return ex.send(r);
}

}  // namespace qvn::terminal
