"""The terms the trading model works with: the Terminal's enumerations and
retcodes, a symbol's trading terms and sessions, an account's terms, and
the rounding and grid rules."""

from __future__ import annotations

import math
from collections import namedtuple
from fractions import Fraction

DEAL, PENDING, SLTP, MODIFY, REMOVE, CLOSE_BY = 1, 2, 3, 4, 5, 6
BUY, SELL, BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT, ORDER_CLOSE_BY = range(9)
GTC, DAY, SPECIFIED, SPECIFIED_DAY = range(4)
ORDER_PLACED, ORDER_CANCELED, ORDER_FILLED, ORDER_EXPIRED = 1, 2, 4, 6
DEAL_BALANCE = 2
ENTRY_IN, ENTRY_OUT, ENTRY_INOUT, ENTRY_OUT_BY = range(4)
REASON_CLIENT, REASON_EXPERT, REASON_SL, REASON_TP, REASON_SO = 0, 3, 4, 5, 6
FOREX = 0
SWAP_DISABLED = 0

RETCODES = {
    "DONE": (1, "Request executed"), "PLACED": (2, "Order placed"), "INVALID": (13, "Invalid request"),
    "INVALID_VOLUME": (14, "Invalid volume"), "INVALID_PRICE": (15, "Invalid price"),
    "INVALID_STOPS": (16, "Invalid stops"), "MARKET_CLOSED": (18, "Market closed"),
    "NO_MONEY": (19, "Not enough money"), "PRICE_CHANGED": (20, "Price changed"),
    "INVALID_EXPIRATION": (22, "Invalid expiration"), "NO_CHANGES": (23, "No changes"),
    "INVALID_FILL": (25, "Unsupported filling mode"), "LIMIT_ORDERS": (26, "Too many pending orders"),
    "INVALID_ORDER": (28, "Invalid or unknown order"), "POSITION_CLOSED": (29, "Position already closed"),
    "INVALID_CLOSE_VOLUME": (30, "Close volume exceeds the position"),
    "HEDGE_PROHIBITED": (32, "Opposite positions prohibited"),
}
CODE_NAMES = {code: name for name, (code, _) in RETCODES.items()}

COMMISSION_USD_PER_LOT = Fraction(5, 2)
STOP_OUT_LEVEL = 50.0
# The pairs that link currencies for conversions (the forex rows of the catalogue).
FX_PAIRS = frozenset(
    "EURUSD GBPUSD USDCHF AUDUSD USDCAD NZDUSD EURGBP EURCHF USDJPY EURJPY GBPJPY".split())
# Cash sessions of the indices, in minutes of the UTC day (weekdays only).
INDEX_SESSIONS = {
    "US500": (810, 1200), "NAS100": (810, 1200), "US30": (810, 1200), "GER40": (420, 930),
    "FRA40": (420, 930), "UK100": (480, 990), "JPN225": (0, 360),
}
DAY_MS = 86_400_000


INFO_KEYS = ("name category digits point trade_tick_size trade_contract_size volume_min volume_max volume_step "
             "trade_stops_level trade_calc_mode swap_mode swap_long swap_short swap_rollover3days currency_base "
             "currency_profit currency_margin").split()


class Refused(Exception):
    """A request refused; its argument is the retcode's name."""


class Instrument(namedtuple("Instrument", "name category digits point tick contract volume_min volume_max volume_step "
                             "stops_level calc_mode swap_mode swap_long swap_short swap_rollover3days base profit "
                             "margin")):
    """A symbol's trading terms, as symbol_info reports them."""

    @classmethod
    def from_info(cls, info: dict) -> "Instrument":
        return cls(*(info[k] for k in INFO_KEYS))

    def is_open(self, t_ms: int) -> bool:
        day = t_ms // DAY_MS
        weekday = (day + 3) % 7  # 0 = Monday
        minute = t_ms % DAY_MS // 60_000
        if self.category == "Crypto":
            return True
        if self.category == "Indices":
            first, end = INDEX_SESSIONS[self.name]
            return weekday < 5 and first <= minute < end
        if weekday > 4 or (weekday == 4 and minute >= 22 * 60):
            return False
        return not (self.category == "Metals" and 22 * 60 <= minute < 23 * 60)


# An account's terms.
Terms = namedtuple("Terms", "login currency digits leverage hedging balance limit_orders credit", defaults=(200, 0.0))


def exact(x) -> Fraction:
    """A written number as the decimal it stands for (prices, volumes and
    amounts are decimals written as the nearest double)."""
    return x if isinstance(x, Fraction) else Fraction(repr(float(x)))


def round_half_away(x: Fraction, digits: int) -> float:
    """x (exact) rounded to `digits` decimals, half away from zero."""
    scale = 10 ** digits
    r = math.floor(abs(x) * scale + Fraction(1, 2))
    return math.copysign(r / scale, x) if r else 0.0


def round_double(x: float, digits: int) -> float:
    """A double rounded as the Terminal rounds one: x × 10^digits in double
    precision, that rounded half away from zero, ÷ 10^digits."""
    y = abs(x * 10.0 ** digits)
    r = math.floor(y)
    if y - r >= 0.5:
        r += 1
    return math.copysign(r / 10 ** digits, x) if r else 0.0


def on_grid(x: float, step: float) -> bool:
    return abs(x / step - round(x / step)) <= 1e-7


def is_buy(order_type: int) -> bool:
    return order_type in (BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT)


def vol(x: float) -> float:
    return round(x, 8)


def wire_text(text: str) -> tuple[str, bool]:
    """A text field as the engine reads it: up to the first zero unit, and
    whether it is malformed (over 29 units, or non-zero units after it)."""
    head, _, tail = (text or "").partition("\0")
    return head, len(head.encode("utf-16-le")) > 58 or any(ch != "\0" for ch in tail)


def night_factor(boundary_ms: int, ins: Instrument) -> int:
    """Swap days charged at the 00:00 boundary: the night after a weekday,
    three on the symbol's triple day (DayOfWeek, Sunday = 0)."""
    day_before = boundary_ms // DAY_MS - 1
    dow = (day_before + 4) % 7  # 1970-01-01 was a Thursday
    if dow in (0, 6):
        return 0
    return 3 if dow == ins.swap_rollover3days else 1
