// The lazy clock of a tick backtest: the driver hands its strategy tick
// after tick without moving the Terminal's stepped clock, and only names the
// time the clock ought to stand at (the current tick's). The next request
// the module sends, whatever it is, first moves the clock there (the
// Terminal's command 900, on the same connection), so every answer the
// strategy gets is the Terminal's state at that tick, and the Terminal
// walks the ticks it skipped (stops, pending orders) at their own times.
//
// transact (stream.hpp) asks settle_lazy_clock before each request but the
// clock's own commands (900, 901), which move the clock themselves. Nothing
// is pending unless a driver set a target; then the cost is one exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/wire.hpp"

namespace qvn::link {

class Channel;

inline constexpr std::uint32_t kClockMoveCommand = 900;  // the Terminal's own
inline constexpr std::uint32_t kClockStepCommand = wire::kStepCommand;

// Sets the time (ms) the clock is to stand at before the next request; 0
// drops a pending one. Lock-free: the driver sets it once a tick.
void set_lazy_clock(std::int64_t target_ms) noexcept;

// The symbols whose next tick the clock move asks for (the Terminal walks
// every account whatever they are; naming few keeps the move cheap). False
// when there is no memory for them (the names are then none).
bool set_lazy_clock_names(const std::vector<std::u16string>& names) noexcept;

// True when a target is pending.
bool lazy_clock_pending() noexcept;

// Moves the clock to the pending target, which is then dropped, on
// `channel`: Success (0), or the move's failure (the Terminal's code, or
// the link's), which the request that asked for it answers instead.
std::int32_t settle_lazy_clock(Channel& channel) noexcept;

}  // namespace qvn::link
