"""The Terminal's enumerations.

The native module passes these values through unchanged; they are the
bundled Terminal's own numbering (terminal/enums.hpp, which a test compares
with this file). Each enumeration is an ``IntEnum`` (``TickFlag`` and the
``...Flags`` sets are ``IntFlag``), so members can be passed wherever a plain
integer is expected.
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


class OrderType(IntEnum):
    """Order kinds. ``order_calc_margin`` and ``order_calc_profit`` take the
    pending kinds as their buy or sell side."""

    BUY = 0
    SELL = 1
    BUY_LIMIT = 2
    SELL_LIMIT = 3
    BUY_STOP = 4
    SELL_STOP = 5
    BUY_STOP_LIMIT = 6
    SELL_STOP_LIMIT = 7
    CLOSE_BY = 8


class SymbolCalcMode(IntEnum):
    """How a symbol's margin is computed; profit is (close - open) x contract
    x lots in the profit currency for all of them."""

    FOREX = 0              # lots x contract / leverage, in the margin currency
    FOREX_NO_LEVERAGE = 1  # lots x contract, in the margin currency
    CFD = 2                # lots x contract x price, in the profit currency
    CFD_LEVERAGE = 3       # lots x contract x price / leverage, in the profit currency


class SymbolTradeMode(IntEnum):
    DISABLED = 0
    LONG_ONLY = 1
    SHORT_ONLY = 2
    CLOSE_ONLY = 3
    FULL = 4


class SymbolTradeExecution(IntEnum):
    REQUEST = 0
    INSTANT = 1
    MARKET = 2
    EXCHANGE = 3


class SymbolSwapMode(IntEnum):
    """How swaps are charged: in points, in money of a currency, or as interest."""

    DISABLED = 0
    POINTS = 1
    CURRENCY_SYMBOL = 2
    CURRENCY_MARGIN = 3
    CURRENCY_DEPOSIT = 4
    INTEREST_CURRENT = 5
    INTEREST_OPEN = 6


class DayOfWeek(IntEnum):
    SUNDAY = 0
    MONDAY = 1
    TUESDAY = 2
    WEDNESDAY = 3
    THURSDAY = 4
    FRIDAY = 5
    SATURDAY = 6


class SymbolChartMode(IntEnum):
    """Which price a symbol's bars are drawn from."""

    BID = 0
    LAST = 1


class SymbolOrderGTCMode(IntEnum):
    """How long pending orders and their stops live."""

    GTC = 0
    DAILY = 1
    DAILY_EXCLUDING_STOPS = 2


class SymbolOptionMode(IntEnum):
    EUROPEAN = 0
    AMERICAN = 1


class SymbolOptionRight(IntEnum):
    CALL = 0
    PUT = 1


class BookType(IntEnum):
    """Side of a Depth of Market level: sell levels lie above the ask, buy
    levels at and below the bid."""

    SELL = 1
    BUY = 2
    SELL_MARKET = 3
    BUY_MARKET = 4


class SymbolFillingFlags(IntFlag):
    """Bits of ``SymbolInfo.filling_mode``."""

    FOK = 1
    IOC = 2
    BOC = 4


class SymbolExpirationFlags(IntFlag):
    """Bits of ``SymbolInfo.expiration_mode``."""

    GTC = 1
    DAY = 2
    SPECIFIED = 4
    SPECIFIED_DAY = 8


class SymbolOrderFlags(IntFlag):
    """Bits of ``SymbolInfo.order_mode``."""

    MARKET = 1
    LIMIT = 2
    STOP = 4
    STOP_LIMIT = 8
    SL = 16
    TP = 32
    CLOSE_BY = 64


class TradeAction(IntEnum):
    """What a trade request asks for (``TradeRequest.action``)."""
    DEAL = 1
    PENDING = 2
    SLTP = 3
    MODIFY = 4
    REMOVE = 5
    CLOSE_BY = 6


class OrderFilling(IntEnum):
    """How a market order treats volume it cannot fill at once."""
    FOK = 0
    IOC = 1
    RETURN = 2
    BOC = 3


class OrderTime(IntEnum):
    """How long a pending order lives."""
    GTC = 0
    DAY = 1
    SPECIFIED = 2
    SPECIFIED_DAY = 3


class OrderState(IntEnum):
    """``TradeOrder.state``."""
    STARTED = 0
    PLACED = 1
    CANCELED = 2
    PARTIAL = 3
    FILLED = 4
    REJECTED = 5
    EXPIRED = 6


class DealType(IntEnum):
    """``TradeDeal.type``."""
    BUY = 0
    SELL = 1
    BALANCE = 2
    CREDIT = 3
    CHARGE = 4
    COMMISSION = 5
    INTEREST = 6


class DealEntry(IntEnum):
    """What a deal does to its position (``TradeDeal.entry``)."""
    IN = 0
    OUT = 1
    INOUT = 2
    OUT_BY = 3


class DealReason(IntEnum):
    """Who or what caused a deal."""
    CLIENT = 0
    MOBILE = 1
    WEB = 2
    EXPERT = 3
    SL = 4
    TP = 5
    SO = 6
    ROLLOVER = 7


class OrderReason(IntEnum):
    """Who or what caused an order."""
    CLIENT = 0
    MOBILE = 1
    WEB = 2
    EXPERT = 3
    SL = 4
    TP = 5
    SO = 6


class PositionType(IntEnum):
    """``TradePosition.type``."""
    BUY = 0
    SELL = 1


class PositionReason(IntEnum):
    """Who or what opened a position."""
    CLIENT = 0
    MOBILE = 1
    WEB = 2
    EXPERT = 3


class TradeRetcode(IntEnum):
    """``retcode`` of ``order_check`` and ``order_send`` results."""
    DONE = 1
    PLACED = 2
    DONE_PARTIAL = 3
    REJECT = 10
    CANCEL = 11
    ERROR = 12
    INVALID = 13
    INVALID_VOLUME = 14
    INVALID_PRICE = 15
    INVALID_STOPS = 16
    TRADE_DISABLED = 17
    MARKET_CLOSED = 18
    NO_MONEY = 19
    PRICE_CHANGED = 20
    PRICE_OFF = 21
    INVALID_EXPIRATION = 22
    NO_CHANGES = 23
    FROZEN = 24
    INVALID_FILL = 25
    LIMIT_ORDERS = 26
    LIMIT_VOLUME = 27
    INVALID_ORDER = 28
    POSITION_CLOSED = 29
    INVALID_CLOSE_VOLUME = 30
    LIMIT_POSITIONS = 31
    HEDGE_PROHIBITED = 32
    CLOSE_ONLY = 33
    STORAGE = 34


_ENUMS = (
    Timeframe, CopyTicks, TickFlag, AccountTradeMode, AccountMarginMode, AccountStopoutMode, ReadyState,
    OrderType, SymbolCalcMode, SymbolTradeMode, SymbolTradeExecution, SymbolSwapMode, DayOfWeek,
    SymbolChartMode, SymbolOrderGTCMode, SymbolOptionMode, SymbolOptionRight, BookType,
    SymbolFillingFlags, SymbolExpirationFlags, SymbolOrderFlags,
    TradeAction, OrderFilling, OrderTime, OrderState, DealType, DealEntry,
    DealReason, OrderReason, PositionType, PositionReason, TradeRetcode,
)

__all__ = [cls.__name__ for cls in _ENUMS]
