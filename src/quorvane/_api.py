# mypy: allow-untyped-defs
"""Signatures and documentation of the native functions, and what the
``quorvane`` front adds to them.

The native functions carry only a one-line docstring and no signature, so
``help()``, ``inspect.signature`` and IDEs could not describe them. Each
function below is a prototype: its parameters and docstring describe the
function of the same name (``_core.pyi`` says the same with types, and a
test keeps the two in step). At import every prototype is replaced by a thin
callable (``_front``) that hands its arguments to the native function, so
results, exceptions and ``last_error()`` are the native function's, except
where the docstring says what the front adds: ``order_check`` and
``order_send`` check the request's keys first, and the ``_get`` functions
return their tuple with its ``record_type``.
"""

import inspect as _inspect
from typing import Any, Callable, ClassVar

from . import _core, _request


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
    ``quorvane.symbols_get`` returns the tuple with a ``record_type``
    attribute (``SymbolInfo``), so that ``quorvane.frames`` gives an
    empty result its columns too.
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
    None on failure (see ``last_error()``).

    ``quorvane.market_book_get`` returns the tuple with a ``record_type``
    attribute (``BookInfo``), so that ``quorvane.frames`` gives an
    empty result its columns too.
    """


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
    ``quorvane.positions_get`` returns the tuple with a ``record_type``
    attribute (``TradePosition``), so that ``quorvane.frames`` gives an
    empty result its columns too.
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
    ``quorvane.orders_get`` returns the tuple with a ``record_type``
    attribute (``TradeOrder``), so that ``quorvane.frames`` gives an
    empty result its columns too.
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
    ``quorvane.history_orders_get`` returns the tuple with a ``record_type``
    attribute (``TradeOrder``), so that ``quorvane.frames`` gives an
    empty result its columns too.
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
    ``quorvane.history_deals_get`` returns the tuple with a ``record_type``
    attribute (``TradeDeal``), so that ``quorvane.frames`` gives an
    empty result its columns too.
    """


def order_check(
    request=_, /, *, action=_, symbol=_, volume=_, type=_, price=_, stoplimit=_, sl=_, tp=_,
    deviation=_, type_filling=_, type_time=_, expiration=_, magic=_, order=_, position=_,
    position_by=_, comment=_
):
    """Check a trade request without sending it: the margin it needs and
    the account's state after it, in the account currency.

    The request is a dictionary (``TradeRequestDict``), or the same keys
    given as keywords: ``action`` (``TradeAction``), ``symbol``, ``volume``
    (lots), ``type`` (``OrderType``), ``price``, ``stoplimit``, ``sl``,
    ``tp``, ``deviation`` (points), ``type_filling`` (``OrderFilling``),
    ``type_time`` (``OrderTime``), ``expiration`` (seconds since
    1970-01-01 UTC), ``magic``, ``order``, ``position``, ``position_by``
    and ``comment``. Prices and volumes are floats.

    ``quorvane.order_check`` checks the request before anything is sent: an
    unknown key raises ``TypeError`` naming it, and so does a ``DEAL`` or
    ``PENDING`` request without ``type``; an int price or volume is taken
    as a float (``volume=1`` is 1.0). The native
    ``quorvane._core.order_check`` ignores unknown keys and refuses an int
    where a float is wanted.

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

    The request is a dictionary (``TradeRequestDict``), or the same keys
    given as keywords: ``action`` (``TradeAction``), ``symbol``, ``volume``
    (lots), ``type`` (``OrderType``), ``price``, ``stoplimit``, ``sl``,
    ``tp``, ``deviation`` (points), ``type_filling`` (``OrderFilling``),
    ``type_time`` (``OrderTime``), ``expiration`` (seconds since
    1970-01-01 UTC), ``magic``, ``order``, ``position``, ``position_by``
    and ``comment``. Prices and volumes are floats.

    ``quorvane.order_send`` checks the request before anything is sent: an
    unknown key raises ``TypeError`` naming it, and so does a ``DEAL`` or
    ``PENDING`` request without ``type``; an int price or volume is taken
    as a float (``volume=1`` is 1.0). The native
    ``quorvane._core.order_send`` ignores unknown keys and refuses an int
    where a float is wanted.

    Returns an ``OrderSendResult``: check its ``retcode``
    (``TradeRetcode.DONE`` when a deal was made), as a refused trade is a
    result too. None when the request is rejected or cannot be sent (see
    ``last_error()``).
    """

# ---- what the front adds -------------------------------------------------------


class Records(tuple):  # type: ignore[type-arg]
    """What the ``_get`` functions return: the native tuple of records, in a
    tuple that also names the type of its records in ``record_type``. An
    empty tuple carries no type, and ``quorvane.frames`` needs one to give an
    empty result the record's columns. It equals, compares, hashes and prints
    as the plain tuple; slicing or adding gives plain tuples."""

    __slots__ = ()
    record_type: ClassVar[type]


class TradePositions(Records):
    __slots__ = ()
    record_type = _core.TradePosition


class TradeOrders(Records):
    __slots__ = ()
    record_type = _core.TradeOrder


class TradeDeals(Records):
    __slots__ = ()
    record_type = _core.TradeDeal


class SymbolInfos(Records):
    __slots__ = ()
    record_type = _core.SymbolInfo


class BookInfos(Records):
    __slots__ = ()
    record_type = _core.BookInfo


_RECORDS = {"positions_get": TradePositions, "orders_get": TradeOrders, "history_orders_get": TradeOrders,
            "history_deals_get": TradeDeals, "symbols_get": SymbolInfos, "market_book_get": BookInfos}


def _front(prototype: Callable[..., Any]) -> Callable[..., Any]:
    """A callable that calls the native function named like ``prototype``
    and describes itself with the prototype's signature and docstring;
    ``__wrapped__`` is the native function. Most hand their arguments and
    the result over untouched; the ``_get`` functions wrap a tuple result in
    its ``Records`` class, and the trade functions check the request first
    (``_request.checked``)."""
    name = prototype.__name__
    native = getattr(_core, name)
    records = _RECORDS.get(name)

    if name in ("order_check", "order_send"):
        def call(*args: Any, **kwargs: Any) -> Any:
            # Any other shape (no request, two, keywords beside one) goes
            # to the native function, which refuses it with -2.
            if kwargs and not args:
                return native(_request.checked(name, kwargs, keywords=True))
            if len(args) == 1 and not kwargs and isinstance(args[0], dict):
                return native(_request.checked(name, args[0], keywords=False))
            return native(*args, **kwargs)
    elif records is not None:
        def call(*args: Any, **kwargs: Any) -> Any:
            result = native(*args, **kwargs)
            return records(result) if type(result) is tuple else result
    else:
        def call(*args: Any, **kwargs: Any) -> Any:
            return native(*args, **kwargs)

    call.__name__ = call.__qualname__ = name
    call.__module__ = "quorvane"
    call.__doc__ = prototype.__doc__
    call.__signature__ = _inspect.signature(prototype)  # type: ignore[attr-defined]
    call.__wrapped__ = native  # type: ignore[attr-defined]
    return call


NAMES = tuple(name for name, value in globals().items() if not name.startswith("_") and _inspect.isfunction(value)
              and value.__module__ == __name__)
for _name in NAMES:
    globals()[_name] = _front(globals()[_name])
del _name
