"""Trade requests as the ``quorvane`` front takes them.

``TradeRequestDict`` is the request dictionary's type: ``mypy`` then refuses
a misspelled key in a literal as it refuses a misspelled keyword. The native
``quorvane._core.order_send`` ignores keys it does not know, so a request
with ``stop_loss=1.0`` would go out without its stop; ``checked`` is what the
front's ``order_send`` and ``order_check`` do first instead:

* an unknown key (or keyword) raises ``TypeError`` naming it, and the key
  it may stand for (``order_type``: ``type``, ``volum``: ``volume``);
* a ``DEAL`` or ``PENDING`` request without ``type`` raises ``TypeError``
  (the record would carry 0, a buy);
* an int is taken where a float is wanted (``volume=1`` is ``1.0``), which
  the native function refuses.

Anything else (a value of the wrong type, a text too long) is left to the
native function, which refuses it with -2 and the key's name in
``last_error()``. The caller's dictionary is never changed.
"""

from __future__ import annotations

import operator
from typing import Any, Dict, Optional, SupportsIndex, TypedDict, Union

import numpy as np

# Numbers as the module takes them: an integer is an int or anything with
# __index__ (NumPy integers); a float is a float or a NumPy floating scalar.
Integer = Union[int, SupportsIndex]
Real = Union[float, np.floating[Any]]


class _RequestAction(TypedDict):
    action: Integer


class TradeRequestDict(_RequestAction, total=False):
    """A trade request for ``order_send`` and ``order_check``: ``action`` and
    any of the other keys. Codes (``action``, ``type``, ``type_filling``,
    ``type_time``) and tickets are integers, prices and volumes floats,
    ``expiration`` seconds since 1970-01-01 UTC."""

    magic: Integer
    order: Integer
    symbol: str
    volume: Real
    price: Real
    stoplimit: Real
    sl: Real
    tp: Real
    deviation: Integer
    type: Integer
    type_filling: Integer
    type_time: Integer
    expiration: Integer
    comment: str
    position: Integer
    position_by: Integer


KEYS = TradeRequestDict.__required_keys__ | TradeRequestDict.__optional_keys__
_FLOATS = frozenset(("volume", "price", "stoplimit", "sl", "tp"))
# TradeAction.DEAL and TradeAction.PENDING: requests that open something of
# the kind `type` names.
_NEEDS_TYPE = {1: "DEAL", 2: "PENDING"}


# Names other interfaces and habits give some keys (compared in lower case),
# which spelling alone would not lead to, or would lead astray: 'order_type'
# is closest to 'order'.
_ALIASES = {
    **dict.fromkeys(("order_type", "ordertype", "type_order", "side"), "type"),
    **dict.fromkeys(("stop_loss", "stoploss"), "sl"),
    **dict.fromkeys(("take_profit", "takeprofit"), "tp"),
    **dict.fromkeys(("lots", "lot", "lot_size", "size", "qty", "quantity"), "volume"),
    **dict.fromkeys(("time_type", "timetype", "order_time"), "type_time"),
    **dict.fromkeys(("filling_type", "fillingtype", "filling_mode", "type_fill"), "type_filling"),
    "slippage": "deviation",
    "magic_number": "magic", "magicnumber": "magic",
    "trade_action": "action", "tradeaction": "action",
}


def _unknown(name: str, key: object, keywords: bool) -> TypeError:
    if keywords:
        text = f"{name}() got an unexpected keyword argument {key!r}"
    else:
        text = f"{name}() got an unexpected key {key!r} in the request"
    if keywords and key == "request":
        return TypeError(text + "; pass the request dictionary as the only positional argument")
    if not isinstance(key, str):
        return TypeError(text)
    import difflib  # only on this error path

    meant = _ALIASES.get(key.lower())
    close = [meant] if meant is not None else difflib.get_close_matches(key, sorted(KEYS), n=1)
    return TypeError(text + (f"; did you mean {close[0]!r}?" if close else ""))


def _as_float(value: object) -> object:
    """An integer in place of a float, as the float; anything else as it is."""
    if isinstance(value, (float, bool, np.bool_)) or not hasattr(type(value), "__index__"):
        return value
    try:
        return float(operator.index(value))  # type: ignore[arg-type]
    except (TypeError, OverflowError):
        return value  # the native function refuses it, naming the key


def checked(name: str, request: Dict[Any, Any], keywords: bool) -> Dict[Any, Any]:
    """The request to hand to the native function, or an exception (see the
    module's doc). `keywords`: the request came as keyword arguments."""
    for key in request:
        if key not in KEYS:
            raise _unknown(name, key, keywords)
    action: Optional[int]
    try:
        action = operator.index(request.get("action", 0))
    except TypeError:
        action = None  # refused by the native function
    if action in _NEEDS_TYPE and "type" not in request:
        what = "keyword argument" if keywords else "key"
        raise TypeError(f"{name}() is missing the {what} 'type': a {_NEEDS_TYPE[action]} request must name "
                        f"its order type (e.g. OrderType.BUY), or it would be sent as 0, a buy")
    converted = None
    for key in _FLOATS & request.keys():
        value = request[key]
        as_float = _as_float(value)
        if as_float is not value:
            if converted is None:
                converted = dict(request)
            converted[key] = as_float
    return request if converted is None else converted
