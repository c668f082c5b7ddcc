"""What the ``quorvane`` package adds to some native functions.

Every function of the package is the native one (``quorvane._core``, which
carries its own documentation and signature) except those named here:

* the ``_get`` functions return their tuple of records as a ``Records``
  tuple that also names the record type (``record_type``), so that even an
  empty result says what it would hold;
* ``order_check`` and ``order_send`` check the request's keys first
  (``_request.checked``): an unknown key or a missing ``type`` raises
  ``TypeError``, an int is taken where a float is wanted.

Each is a thin callable whose ``__wrapped__`` is the native function, so
``help()`` and ``inspect.signature`` describe it as the native one, whose
documentation also says what the package adds.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, ClassVar

from . import _core, _request

#: The native functions, in the order of the method table, and the
#: named-tuple types: everything public the native module holds.
NAMES = tuple(name for name, value in vars(_core).items()
              if not name.startswith("_") and callable(value) and not isinstance(value, type))
TYPES = tuple(name for name, value in vars(_core).items() if not name.startswith("_") and isinstance(value, type))


class Records(tuple):  # type: ignore[type-arg]
    """What the ``_get`` functions return: the native tuple of records, in a
    tuple that also names the type of its records in ``record_type``. An
    empty tuple carries no type, and ``quorvane.frames`` needs one to give an
    empty result the record's columns. It equals, compares, hashes and prints
    as the plain tuple; slicing or adding gives plain tuples."""

    __slots__ = ()
    record_type: ClassVar[type]


def _records_of(record_type: type) -> type[Records]:
    """The Records tuple of `record_type` (TradePositions for TradePosition)."""
    return type(f"{record_type.__name__}s", (Records,), {"__slots__": (), "record_type": record_type,
                                                          "__module__": __name__})


TradePositions, TradeOrders, TradeDeals, SymbolInfos, BookInfos = map(_records_of, (
    _core.TradePosition, _core.TradeOrder, _core.TradeDeal, _core.SymbolInfo, _core.BookInfo))
_RECORDS = {"positions_get": TradePositions, "orders_get": TradeOrders, "history_orders_get": TradeOrders,
            "history_deals_get": TradeDeals, "symbols_get": SymbolInfos, "market_book_get": BookInfos}

# Functions whose call may act on the account: made once, never again
# after a failure that may have come after the Terminal acted.
ACTING = frozenset({"order_send"})


def _described(call: Callable[..., Any], native: Callable[..., Any]) -> Callable[..., Any]:
    functools.update_wrapper(call, native)
    call.__module__ = "quorvane"
    return call


def _with_record_type(name: str, records: type[Records]) -> Callable[..., Any]:
    # Made natively (the same as calling `native` and giving a tuple as
    # `records(result)`), at no cost beyond the native call.
    native = getattr(_core, name)
    return _described(_core._records_call(native, records), native)


def _checked_request(name: str) -> Callable[..., Any]:
    native = getattr(_core, name)

    def call(*args: Any, **kwargs: Any) -> Any:
        # Any other shape (no request, two, keywords beside one) goes to the
        # native function, which refuses it with -2.
        if kwargs and not args:
            return native(_request.checked(name, kwargs, keywords=True))
        if len(args) == 1 and not kwargs and isinstance(args[0], dict):
            return native(_request.checked(name, args[0], keywords=False))
        return native(*args, **kwargs)

    return _described(call, native)


_ADDED: dict[str, Callable[..., Any]] = {name: _with_record_type(name, records) for name, records in _RECORDS.items()}
_ADDED.update((name, _checked_request(name)) for name in ("order_check", "order_send"))
globals().update(_ADDED)
__all__ = sorted(_ADDED)


def function(name: str) -> Callable[..., Any]:
    """The package's function `name`: the native one, or what is added here."""
    return _ADDED.get(name) or getattr(_core, name)
