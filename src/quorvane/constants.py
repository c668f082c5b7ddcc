"""The Terminal's enumerations.

The native module passes these values through unchanged; they are the
bundled Terminal's own numbering (terminal/enums.hpp, which a test compares
with this file). Each enumeration is an ``IntEnum`` (``TickFlag`` an
``IntFlag``), so members can be passed wherever a plain integer is expected.
"""

from __future__ import annotations

from enum import IntEnum, IntFlag


class Timeframe(IntEnum):
    """Bar periods, valued in minutes. W1 bars open on Monday 00:00 UTC and
    MN1 bars on the first day of a month."""

    M1 = 1
    M2 = 2
    M3 = 3
    M4 = 4
    M5 = 5
    M6 = 6
    M10 = 10
    M12 = 12
    M15 = 15
    M20 = 20
    M30 = 30
    H1 = 60
    H2 = 120
    H3 = 180
    H4 = 240
    H6 = 360
    H8 = 480
    H12 = 720
    D1 = 1440
    W1 = 10080
    MN1 = 43200


class CopyTicks(IntEnum):
    """Which ticks ``copy_ticks_from`` and ``copy_ticks_range`` return."""

    INFO = 1   # quote ticks: bid and/or ask changed
    TRADE = 2  # deal ticks: last and/or volume changed
    ALL = 3    # every tick


class TickFlag(IntFlag):
    """Bits of a tick's ``flags``: what the tick changed, and a deal's side."""

    BID = 1
    ASK = 2
    LAST = 4
    VOLUME = 8
    BUY = 16
    SELL = 32


class AccountTradeMode(IntEnum):
    DEMO = 1
    CONTEST = 2
    REAL = 3


class AccountMarginMode(IntEnum):
    RETAIL_NETTING = 1
    EXCHANGE = 2
    RETAIL_HEDGING = 3


class AccountStopoutMode(IntEnum):
    """How an account's margin call and stop-out levels are expressed."""

    PERCENT = 1
    MONEY = 2


class ReadyState(IntEnum):
    """The Terminal's answer to the readiness poll."""

    STARTING = 1
    READY = 2
    AUTH_FAILED = 3


_ENUMS = (Timeframe, CopyTicks, TickFlag, AccountTradeMode, AccountMarginMode, AccountStopoutMode, ReadyState)

__all__ = [cls.__name__ for cls in _ENUMS]
