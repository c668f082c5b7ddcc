# mypy: allow-untyped-defs
"""Signatures and documentation of the native functions.

The native functions carry only a one-line docstring and no signature, so
``help()``, ``inspect.signature`` and IDEs could not describe them. Each
function below is a prototype: its parameters and docstring describe the
native function of the same name (``_core.pyi`` says the same with types, and
a test keeps the two in step). At import every prototype is replaced by a thin
pass-through that hands its arguments to the native function untouched, so
results, exceptions and ``last_error()`` are exactly the native function's.
"""

import inspect as _inspect
from typing import Any, Callable

from . import _core


class _Omitted:
    """Default of a parameter that may be left out. Leaving it out is not the
    same as passing any particular value, so the signature shows ``...``."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "..."


_ = _Omitted()


def initialize(path=_, *, login=_, password=_, server=_, timeout=_, portable=_):
    """Connect to a Terminal, starting it when it is not running.

    ``path`` is the Terminal's executable (``terminal_path()`` gives the
    bundled one); without it an installed Terminal is looked for. ``login``,
    ``password`` and ``server`` log in to that account on the way.
    ``timeout`` is how long to wait for the Terminal to become ready, in
    milliseconds (0 or omitted: 60000). ``portable`` starts the Terminal in
    portable mode. Any previous connection is closed first.

    Returns True once the Terminal is ready; False on failure, with the
    reason in ``last_error()``.
    """


def login(login, password=_, server=_, *, timeout=_):
    """Log the connected Terminal in to another account.

    ``login`` is the account number; ``password`` and ``server`` may be
    omitted when the Terminal remembers them. ``timeout`` is how long to
    wait for the Terminal to become ready, in milliseconds (0 or omitted:
    60000).

    Returns True once logged in; False on failure (see ``last_error()``).
    """


def shutdown():
    """Close the connection to the Terminal; the Terminal keeps running.

    Always returns True.
    """


def last_error():
    """The outcome of the last call: ``(code, message)``.

    ``(1, "Success")`` after a call that succeeded; a negative code after a
    failure: -2 for rejected arguments, -1 to -7 for the Terminal's refusals,
    -10000 to -10005 for a broken or missing connection. Does not change
    the outcome it reports.
    """


def version():
    """The Terminal's ``(version, build, release_date)``.

    Returns ``(0, 0, "")`` on failure (see ``last_error()``).
    """


def terminal_info():
    """The Terminal's state and settings; None on failure (see ``last_error()``)."""


def account_info():
    """The current account, its money in the account currency; None on
    failure (see ``last_error()``)."""


def copy_ticks_from(symbol, date_from, count, flags, /):
    """Up to ``count`` ticks of ``symbol`` from ``date_from`` on, oldest first.

    ``date_from`` is seconds since 1970-01-01 UTC (int or float) or a
    ``datetime`` (a naive one is local time); ``flags`` is a ``CopyTicks``
    value choosing quote ticks, deal ticks or all.

    Returns a NumPy structured array, one row per tick, with the fields
    ``time`` (int64, seconds), ``bid``, ``ask``, ``last`` (float64),
    ``volume`` (uint64), ``time_msc`` (int64, milliseconds since
    1970-01-01 UTC), ``flags`` (uint32, ``TickFlag`` bits) and
    ``volume_real`` (float64); None on failure (see ``last_error()``).
    """


def copy_ticks_range(symbol, date_from, date_to, flags, /):
    """The ticks of ``symbol`` from ``date_from`` to ``date_to``, both included.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects (a naive one is local time); ``flags`` is a
    ``CopyTicks`` value choosing quote ticks, deal ticks or all.

    Returns a NumPy structured array, one row per tick, with the fields
    ``time`` (int64, seconds), ``bid``, ``ask``, ``last`` (float64),
    ``volume`` (uint64), ``time_msc`` (int64, milliseconds since
    1970-01-01 UTC), ``flags`` (uint32, ``TickFlag`` bits) and
    ``volume_real`` (float64); None on failure (see ``last_error()``).
    """


def copy_rates_from(symbol, timeframe, date_from, count, /):
    """The ``count`` newest bars of ``symbol`` opening at or before ``date_from``.

    ``timeframe`` is a ``Timeframe`` value; ``date_from`` is seconds since
    1970-01-01 UTC (int or float) or a ``datetime`` (a naive one is local
    time).

    Returns a NumPy structured array, one row per bar, oldest first, with
    the fields ``time`` (int64, opening time in seconds since 1970-01-01
    UTC), ``open``, ``high``, ``low``, ``close`` (float64),
    ``tick_volume`` (uint64), ``spread`` (int32, points) and
    ``real_volume`` (uint64); None on failure (see ``last_error()``).
    """


def copy_rates_from_pos(symbol, timeframe, start_pos, count, /):
    """Up to ``count`` bars of ``symbol``, counted back from bar ``start_pos``.

    ``timeframe`` is a ``Timeframe`` value; ``start_pos`` 0 is the newest
    bar (the one in progress).

    Returns a NumPy structured array, one row per bar, oldest first, with
    the fields ``time`` (int64, opening time in seconds since 1970-01-01
    UTC), ``open``, ``high``, ``low``, ``close`` (float64),
    ``tick_volume`` (uint64), ``spread`` (int32, points) and
    ``real_volume`` (uint64); None on failure (see ``last_error()``).
    """


def copy_rates_range(symbol, timeframe, date_from, date_to, /):
    """The bars of ``symbol`` opening from ``date_from`` to ``date_to``, both included.

    ``timeframe`` is a ``Timeframe`` value; the dates are seconds since
    1970-01-01 UTC (int or float) or ``datetime`` objects (a naive one is
    local time).

    Returns a NumPy structured array, one row per bar, oldest first, with
    the fields ``time`` (int64, opening time in seconds since 1970-01-01
    UTC), ``open``, ``high``, ``low``, ``close`` (float64),
    ``tick_volume`` (uint64), ``spread`` (int32, points) and
    ``real_volume`` (uint64); None on failure (see ``last_error()``).
    """


def symbols_total():
    """The number of symbols in the catalogue; None on failure (see ``last_error()``)."""


def symbols_get(group=_):
    """Every symbol, or those whose names match ``group``.

    ``group`` is a comma-separated list of name patterns, ``*`` matching
    any text and a leading ``!`` excluding, e.g. ``"*USD*,!EUR*"``.

    Returns a tuple of ``SymbolInfo``; False when the arguments are
    rejected and None on any other failure (see ``last_error()``).
    """


def symbol_info(symbol, /):
    """Everything about one symbol; None on failure (see ``last_error()``)."""


def symbol_info_tick(symbol, /):
    """The latest prices of a symbol; None on failure (see ``last_error()``)."""


def symbol_select(symbol, enable=_, /):
    """Show (``enable`` true, the default) or hide a symbol in Market Watch.

    Returns True on success; False on failure (see ``last_error()``).
    """


def market_book_add(symbol, /):
    """Subscribe to a symbol's Depth of Market.

    Returns True on success, False when the Terminal refuses, None when
    the argument is rejected (see ``last_error()``).
    """


def market_book_release(symbol, /):
    """Cancel a Depth of Market subscription.

    Returns True on success, False when the Terminal refuses, None when
    the argument is rejected (see ``last_error()``).
    """


def market_book_get(symbol, /):
    """A subscribed symbol's Depth of Market, a tuple of ``BookInfo``;
    None on failure (see ``last_error()``)."""


def order_calc_margin(action, symbol, volume, price, /):
    """The margin ``volume`` lots of ``symbol`` opened at ``price`` need,
    in the account currency.

    ``action`` is ``OrderType.BUY`` or ``OrderType.SELL`` (or a pending
    kind of that side). Returns None on failure (see ``last_error()``).
    """


def order_calc_profit(action, symbol, volume, price_open, price_close, /):
    """The profit of ``volume`` lots of ``symbol`` opened at ``price_open``
    and closed at ``price_close``, in the account currency.

    ``action`` is ``OrderType.BUY`` or ``OrderType.SELL``. Returns None on
    failure (see ``last_error()``).
    """


def positions_total():
    """The number of open positions; None on failure (see ``last_error()``)."""


def positions_get(*, symbol=_, ticket=_, group=_):
    """The open positions: all, or those of one ``symbol``, one ``ticket``
    or a ``group`` of symbols (name patterns as for ``symbols_get``).

    Give at most one filter; ``ticket`` wins over ``symbol``, ``symbol``
    over ``group``. Returns a tuple of ``TradePosition`` (empty when none
    match); None on failure (see ``last_error()``).
    """


def orders_total():
    """The number of active pending orders; None on failure (see ``last_error()``)."""


def orders_get(*, symbol=_, ticket=_, group=_):
    """The active pending orders: all, or those of one ``symbol``, one
    ``ticket`` or a ``group`` of symbols (name patterns as for
    ``symbols_get``).

    Give at most one filter; ``ticket`` wins over ``symbol``, ``symbol``
    over ``group``. Returns a tuple of ``TradeOrder`` (empty when none
    match); None on failure (see ``last_error()``).
    """


def history_orders_total(date_from, date_to, /):
    """The number of orders in the history from ``date_from`` to ``date_to``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns None on failure (see ``last_error()``).
    """


def history_orders_get(date_from=_, date_to=_, /, *, group=_, ticket=_, position=_):
    """Orders of the history: those from ``date_from`` to ``date_to``
    (optionally only a ``group`` of symbols), or by ``ticket``, or those of
    one ``position``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns a tuple of ``TradeOrder`` (empty when none
    match); None on failure (see ``last_error()``).
    """


def history_deals_total(date_from, date_to, /):
    """The number of deals in the history from ``date_from`` to ``date_to``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns None on failure (see ``last_error()``).
    """


def history_deals_get(date_from=_, date_to=_, /, *, group=_, ticket=_, position=_):
    """Deals of the history: those from ``date_from`` to ``date_to``
    (optionally only a ``group`` of symbols), or by ``ticket``, or those of
    one ``position``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns a tuple of ``TradeDeal`` (empty when none
    match); None on failure (see ``last_error()``).
    """


def order_check(
    request=_, /, *, action=_, symbol=_, volume=_, type=_, price=_, stoplimit=_, sl=_, tp=_,
    deviation=_, type_filling=_, type_time=_, expiration=_, magic=_, order=_, position=_,
    position_by=_, comment=_
):
    """Check a trade request without sending it: the margin it needs and
    the account's state after it, in the account currency.

    The request is a dictionary, or the same keys given as keywords:
    ``action`` (``TradeAction``), ``symbol``, ``volume`` (lots, a float),
    ``type`` (``OrderType``), ``price``, ``stoplimit``, ``sl``, ``tp``
    (floats), ``deviation`` (points), ``type_filling`` (``OrderFilling``),
    ``type_time`` (``OrderTime``), ``expiration`` (seconds since
    1970-01-01 UTC), ``magic``, ``order``, ``position``, ``position_by``
    and ``comment``. Prices and volumes must be floats: an int is refused.

    Returns an ``OrderCheckResult`` whose ``retcode`` tells whether the
    request would pass; None when the request is rejected or the check
    fails (see ``last_error()``).
    """


def order_send(
    request=_, /, *, action=_, symbol=_, volume=_, type=_, price=_, stoplimit=_, sl=_, tp=_,
    deviation=_, type_filling=_, type_time=_, expiration=_, magic=_, order=_, position=_,
    position_by=_, comment=_
):
    """Send a trade request to the trade server.

    The request is a dictionary, or the same keys given as keywords:
    ``action`` (``TradeAction``), ``symbol``, ``volume`` (lots, a float),
    ``type`` (``OrderType``), ``price``, ``stoplimit``, ``sl``, ``tp``
    (floats), ``deviation`` (points), ``type_filling`` (``OrderFilling``),
    ``type_time`` (``OrderTime``), ``expiration`` (seconds since
    1970-01-01 UTC), ``magic``, ``order``, ``position``, ``position_by``
    and ``comment``. Prices and volumes must be floats: an int is refused.

    Returns an ``OrderSendResult``: check its ``retcode``
    (``TradeRetcode.DONE`` when a deal was made), as a refused trade is a
    result too. None when the request is rejected or cannot be sent (see
    ``last_error()``).
    """

def _pass_through(prototype: Callable[..., Any]) -> Callable[..., Any]:
    """A callable that forwards to the native function named like
    ``prototype`` and describes itself with the prototype's signature and
    docstring. ``__wrapped__`` is the native function."""
    native = getattr(_core, prototype.__name__)

    def call(*args: Any, **kwargs: Any) -> Any:
        return native(*args, **kwargs)

    call.__name__ = call.__qualname__ = prototype.__name__
    call.__module__ = "quorvane"
    call.__doc__ = prototype.__doc__
    call.__signature__ = _inspect.signature(prototype)  # type: ignore[attr-defined]
    call.__wrapped__ = native  # type: ignore[attr-defined]
    return call


NAMES = tuple(name for name, value in globals().items() if not name.startswith("_") and callable(value)
              and getattr(value, "__module__", None) == __name__)
for _name in NAMES:
    globals()[_name] = _pass_through(globals()[_name])
del _name
