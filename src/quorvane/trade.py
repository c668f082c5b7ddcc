"""Trading in one line: market orders, closing, stops, and sizes on the symbol's grid.

    from quorvane import trade

    sent = trade.buy("EURUSD", 0.1, sl=1.0800, tp=1.0950)
    trade.modify(sent.order, sl=1.0850)            # the take profit stays as it is
    trade.close(sent.order)
    lots = trade.volume_for_risk("EURUSD", 100.0, 0.0050)   # 100 USD at risk over 50 pips

Each call builds the request ``order_send`` takes and sends it on the
module's connection, so it works against any Terminal: a backtest's, the
bundled one or a real one. It returns the ``OrderSendResult`` as
``order_send`` does (a refused trade is a result too: look at its
``retcode``), or None when the request could not be sent (``last_error()``
says why). With ``check=True`` it raises ``TradeError`` instead, naming the
return code and its comment, when the trade is not done.

Positions are named by their ticket or by the ``TradePosition`` record;
``close`` and ``modify`` read the position afresh by its ticket, so a record
taken before a partial close still closes what is left.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Literal, Optional, Union, overload

from . import _core
from ._core import OrderSendResult, SymbolInfo, TradePosition
from ._request import TradeRequestDict
from .constants import OrderType, PositionType, TradeAction, TradeRetcode

__all__ = ["TradeError", "buy", "sell", "close", "modify", "round_price", "round_volume", "volume_for_risk"]

Position = Union[int, TradePosition]
Symbol = Union[str, SymbolInfo]

# What a trade request answers when it did what was asked.
_DONE = frozenset((TradeRetcode.DONE, TradeRetcode.PLACED, TradeRetcode.DONE_PARTIAL))
# The constants a request is made of, as plain ints: read on every trade,
# where an enum's attribute costs a look-up through its class.
_DEAL, _SLTP = int(TradeAction.DEAL), int(TradeAction.SLTP)
_BUY, _SELL = int(OrderType.BUY), int(OrderType.SELL)
_LONG = int(PositionType.BUY)

# What a call names its trade by in a TradeError, made only when one is
# raised (a backtest trades often and is rarely refused).
What = Callable[[], str]


class TradeError(RuntimeError):
    """A trade that was not done: ``retcode`` and ``comment`` are the
    Terminal's (``retcode`` None when the request was never answered; then
    ``code`` and ``message`` are ``last_error()``); ``result`` is the
    ``OrderSendResult`` (None when there is none)."""

    def __init__(self, what: str, result: Optional[OrderSendResult] = None,
                 last_error: Optional[tuple[int, str]] = None) -> None:
        self._made = (what, result, last_error)
        self.result = result
        self.retcode: Optional[int] = None if result is None else int(result.retcode)
        self.comment = "" if result is None else str(result.comment)
        self.code, self.message = last_error if last_error is not None else (0, "")
        if result is None:
            text = f"{what} failed: last_error() is ({self.code}, {self.message!r})"
        else:
            try:
                name = TradeRetcode(int(result.retcode)).name
            except ValueError:
                name = "unknown"
            text = f"{what} refused: retcode {self.retcode} {name} ({self.comment})"
        super().__init__(text)

    def __reduce__(self) -> tuple[Any, ...]:  # whole across processes (a sweep's workers)
        return (TradeError, self._made)


def _sent(what: What, request: TradeRequestDict, check: bool) -> Optional[OrderSendResult]:
    result = _core.order_send(request)
    if check and (result is None or result.retcode not in _DONE):
        raise TradeError(what(), result, _core.last_error() if result is None else None)
    return result


def _failed(what: What, check: bool) -> Optional[OrderSendResult]:
    """A call before the trade failed: None, or the error with ``check``."""
    if check:
        raise TradeError(what(), None, _core.last_error())
    return None


def _market(side: int, symbol: str, volume: float, sl: float, tp: float, comment: str, magic: int,
            check: bool) -> Optional[OrderSendResult]:
    request: TradeRequestDict = {"action": _DEAL, "symbol": symbol, "volume": float(volume), "type": side,
                                 "sl": float(sl), "tp": float(tp), "comment": comment, "magic": int(magic)}
    return _sent(lambda: f"{'buy' if side == _BUY else 'sell'} {volume:g} {symbol}", request, check)


# With check=True a call returns a result or raises, so its result is never None.
@overload
def buy(symbol: str, volume: float, *, sl: float = ..., tp: float = ..., comment: str = ..., magic: int = ...,
        check: Literal[True]) -> OrderSendResult: ...
@overload
def buy(symbol: str, volume: float, *, sl: float = ..., tp: float = ..., comment: str = ..., magic: int = ...,
        check: bool = ...) -> Optional[OrderSendResult]: ...
def buy(symbol: str, volume: float, *, sl: float = 0.0, tp: float = 0.0, comment: str = "", magic: int = 0,
        check: bool = False) -> Optional[OrderSendResult]:
    """Buys ``volume`` lots of ``symbol`` at the market (the ask), with an
    optional stop loss ``sl`` and take profit ``tp`` (prices; 0 for none).
    Returns the ``OrderSendResult``; see the module's doc for ``check``."""
    return _market(_BUY, symbol, volume, sl, tp, comment, magic, check)


@overload
def sell(symbol: str, volume: float, *, sl: float = ..., tp: float = ..., comment: str = ..., magic: int = ...,
         check: Literal[True]) -> OrderSendResult: ...
@overload
def sell(symbol: str, volume: float, *, sl: float = ..., tp: float = ..., comment: str = ..., magic: int = ...,
         check: bool = ...) -> Optional[OrderSendResult]: ...
def sell(symbol: str, volume: float, *, sl: float = 0.0, tp: float = 0.0, comment: str = "", magic: int = 0,
         check: bool = False) -> Optional[OrderSendResult]:
    """Sells ``volume`` lots of ``symbol`` at the market (the bid); as ``buy``."""
    return _market(_SELL, symbol, volume, sl, tp, comment, magic, check)


def _ticket(position: Position) -> int:
    if isinstance(position, tuple):
        return int(position.ticket)
    if isinstance(position, bool) or not hasattr(type(position), "__index__"):
        raise TypeError(f"a position is a ticket or a TradePosition, not {type(position).__name__}")
    return int(position)


def _current(ticket: int) -> tuple[Optional[TradePosition], bool]:
    """The open position `ticket` as the Terminal has it now (None when it
    is not open), and whether the look-up itself worked."""
    found = _core.positions_get(ticket=ticket)
    if found is None:
        return None, False
    return (found[0] if found else None), True


@overload
def close(position: Position, volume: Optional[float] = ..., *, comment: str = ...,
          check: Literal[True]) -> OrderSendResult: ...
@overload
def close(position: Position, volume: Optional[float] = ..., *, comment: str = ...,
          check: bool = ...) -> Optional[OrderSendResult]: ...
def close(position: Position, volume: Optional[float] = None, *, comment: str = "",
          check: bool = False) -> Optional[OrderSendResult]:
    """Closes the position (its ticket or record) at the market: all of it,
    or ``volume`` lots. A position that is not open is sent anyway, by its
    ticket, so that the Terminal answers it (``POSITION_CLOSED``)."""
    ticket = _ticket(position)
    def what() -> str:
        return f"close of position {ticket}"

    current, looked = _current(ticket)
    if not looked:
        return _failed(what, check)
    if current is None:
        request: TradeRequestDict = {"action": _DEAL, "position": ticket, "type": _SELL, "volume": 0.0,
                                     "comment": comment}
        return _sent(what, request, check)
    side = _SELL if current.type == _LONG else _BUY
    amount = float(current.volume if volume is None else volume)
    closing: TradeRequestDict = {"action": _DEAL, "position": ticket, "symbol": current.symbol,
                                 "volume": amount, "type": side, "magic": int(current.magic), "comment": comment}
    return _sent(what, closing, check)


@overload
def modify(position: Position, *, sl: Optional[float] = ..., tp: Optional[float] = ...,
           check: Literal[True]) -> OrderSendResult: ...
@overload
def modify(position: Position, *, sl: Optional[float] = ..., tp: Optional[float] = ...,
           check: bool = ...) -> Optional[OrderSendResult]: ...
def modify(position: Position, *, sl: Optional[float] = None, tp: Optional[float] = None,
           check: bool = False) -> Optional[OrderSendResult]:
    """Sets the stop loss and/or take profit of an open position; a stop not
    given stays as the position has it now, and 0 removes one."""
    ticket = _ticket(position)
    def what() -> str:
        return f"change of the stops of position {ticket}"

    current, looked = _current(ticket)
    if not looked:
        return _failed(what, check)
    keep_sl = current.sl if current is not None else 0.0
    keep_tp = current.tp if current is not None else 0.0
    request: TradeRequestDict = {"action": _SLTP, "position": ticket,
                                 "symbol": current.symbol if current is not None else "",
                                 "sl": float(keep_sl if sl is None else sl), "tp": float(keep_tp if tp is None else tp)}
    return _sent(what, request, check)


# ---- the symbol's grid -----------------------------------------------------------------


def _info(symbol: Symbol) -> SymbolInfo:
    if isinstance(symbol, str):
        info = _core.symbol_info(symbol)
        if info is None:
            code, message = _core.last_error()
            raise LookupError(f"symbol_info({symbol!r}) failed: ({code}, {message!r})")
        return info
    return symbol


def _volume_decimals(step: float) -> int:
    # Volumes are whole 1e-8 lots; the step's own decimals are enough.
    for places in range(9):
        if abs(round(step, places) - step) <= 1e-12:
            return places
    return 8


def round_price(symbol: Symbol, price: float) -> float:
    """``price`` on the symbol's tick grid: the nearest whole number of
    ``trade_tick_size``, as the double nearest that decimal (1.0850000000000002
    becomes 1.085). ``symbol`` is a name or a ``SymbolInfo`` (which saves a
    call)."""
    info = _info(symbol)
    size = float(info.trade_tick_size) or float(info.point)
    return round(round(price / size) * size, int(info.digits))


def _steps(info: SymbolInfo, volume: float, down: bool) -> float:
    step = float(info.volume_step)
    ratio = volume / step
    # A ratio a hair under a whole number (0.3 / 0.1) is that number.
    count = math.floor(ratio + 1e-9) if down else round(ratio)
    return round(count * step, _volume_decimals(step))


def round_volume(symbol: Symbol, volume: float) -> float:
    """``volume`` as a whole number of the symbol's ``volume_step`` (the
    nearest), within ``volume_min`` and ``volume_max``."""
    info = _info(symbol)
    rounded = _steps(info, volume, down=False)
    return min(max(rounded, float(info.volume_min)), float(info.volume_max))


def volume_for_risk(symbol: Symbol, risk_money: float, sl_distance: float) -> float:
    """The largest volume (a whole number of steps, at most ``volume_max``)
    whose loss over ``sl_distance`` (a price difference, e.g. 0.0050) is at
    most ``risk_money`` in the account currency, valued with the symbol's
    ``trade_tick_value_loss`` (the money one tick costs one lot, at the
    current quotes). 0.0 when even ``volume_min`` would risk more."""
    if not (risk_money > 0 and sl_distance > 0 and math.isfinite(risk_money) and math.isfinite(sl_distance)):
        raise ValueError("risk_money and sl_distance must be positive finite numbers")
    info = _info(symbol)
    size = float(info.trade_tick_size) or float(info.point)
    per_lot = sl_distance / size * float(info.trade_tick_value_loss)
    if not per_lot > 0:
        raise ValueError(f"{info.name} has no tick value for this account (trade_tick_value_loss "
                         f"{info.trade_tick_value_loss})")
    volume = min(_steps(info, risk_money / per_lot, down=True), float(info.volume_max))
    return volume if volume >= float(info.volume_min) - 1e-12 else 0.0
