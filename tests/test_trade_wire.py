"""Positions, orders, history and trade requests against a scripted
Terminal: argument rules and their messages, keyword precedence, the exact
request bytes, reply checks, the group filter and the conversion of every
record field."""

import datetime
import math

import numpy as np
import pytest

import quorvane
from fake_terminal import i64, reply, request, u32, u64, wide
from trade_records import CHECK, DEAL, ORDER, POSITION, REQUEST, SEND, distinct, items, pack

SUCCESS = (1, "Success")
INVALID = (-2, "Invalid arguments")
UNNAMED = (-2, "Unnamed arguments not allowed")
SYNC = reply(120, 1, u32(7))  # answers the positions_total that closes a refusal test
NOW = datetime.datetime(2026, 5, 4, 3, 2, 1, tzinfo=datetime.timezone.utc)
TS = int(NOW.timestamp())

KINDS = {"position": (POSITION, 320), "order": (ORDER, 340), "deal": (DEAL, 300)}


def record(kind, **values):
    layout, size = KINDS[kind]
    data = pack(layout, values)
    assert len(data) == size
    return data


def listed(command, *records):
    return reply(command, 1, u32(len(records)) + b"".join(records))


def not_sent(fake, core):
    """The refused call sent nothing: the next request on the wire is the
    positions_total that follows it."""
    assert core.positions_total() == 7
    assert fake.requests() == [request(120)]


# ---- record conversion ------------------------------------------------------------

@pytest.mark.parametrize("kind, call, command", [
    ("position", lambda c: c.positions_get(), 121),
    ("order", lambda c: c.orders_get(), 131),
    ("order", lambda c: c.history_orders_get(1, 2), 141),
    ("deal", lambda c: c.history_deals_get(1, 2), 151),
])
def test_every_field_converts(fake, core, kind, call, command):
    layout = KINDS[kind][0]
    values = distinct(layout, comment="\u0416\U0001F947", external_id="x" * 32)
    price = next(name for name in items(layout) if name.startswith("price"))
    # The second record repeats the first but for three fields: what repeats is shared, the rest is its own.
    second = {**values, "ticket": 9, price: -0.0, "comment": "c"}
    fake.connected(listed(command, record(kind, **values), record(kind, **second)))
    got = call(core)
    assert core.last_error() == SUCCESS and len(got) == 2
    first = got[0]._asdict()
    assert list(first) == items(layout)
    assert first == {name: values[name] for name in items(layout)}
    assert [type(v) for v in first.values()] == [type(values[n]) for n in items(layout)]
    assert got[1]._asdict() == {name: second[name] for name in items(layout)}
    assert math.copysign(1, getattr(got[1], price)) == -1  # -0.0 keeps its sign


# ---- request bytes and keyword precedence -------------------------------------------


@pytest.mark.parametrize("call, sent, answer, result", [
    (lambda c: c.positions_total(), request(120), reply(120, 1, u32(3)), 3),
    (lambda c: c.orders_total(), request(130), reply(130, 1, u32(0)), 0),
    (lambda c: c.positions_get(ticket=5, symbol="EURUSD"), request(123, u64(5)), reply(123, -4), ()),
    (lambda c: c.positions_get(symbol="EURUSD", group="*"), request(122, wide("EURUSD")), listed(122), ()),
    (lambda c: c.positions_get(unknown=1), request(121), listed(121), ()),
    (lambda c: c.orders_get(ticket=2**64 - 1), request(133, u64(2**64 - 1)), reply(133, -4), ()),
    (lambda c: c.orders_get(ticket=True), request(133, u64(1)), reply(133, 0, record("order")), ()),
    (lambda c: c.orders_get(symbol="S" * 29), request(132, wide("S" * 29)), listed(132), ()),
    (lambda c: c.positions_get(group="G" * 1997), request(121), listed(121), ()),
    (lambda c: c.history_orders_total(1, NOW), request(140, i64(1) + i64(TS)), reply(140, 1, u32(2)), 2),
    (lambda c: c.history_deals_total(-5, 2.9), request(150, i64(-5) + i64(2)), reply(150, 1, u32(1)), 1),
    (lambda c: c.history_orders_get(3, 4, ticket=5), request(141, i64(3) + i64(4)), listed(141), ()),
    (lambda c: c.history_orders_get(ticket=5, position=7), request(143, u64(5)), reply(143, -4), ()),
    (lambda c: c.history_orders_get(position=7), request(142, u64(7)), listed(142), ()),
    (lambda c: c.history_deals_get(0, NOW), request(151, i64(0) + i64(TS)), listed(151), ()),
    (lambda c: c.history_deals_get(ticket=8), request(153, u64(8)), reply(153, -4), ()),
    (lambda c: c.history_deals_get(position=2**64 - 1), request(152, u64(2**64 - 1)), listed(152), ()),
])
def test_request_bytes(fake, core, call, sent, answer, result):
    fake.connected(answer)
    assert call(core) == result
    assert core.last_error() == SUCCESS
    assert fake.requests() == [sent]


# ---- argument rules -----------------------------------------------------------------

# Values each trade request key refuses; a request with several bad keys names the first.
BAD = {"action": ["1", -1], "magic": [2**64, np.float32(1)], "order": [1.0],
       "symbol": ["S" * 30, 5, "EURUSD\0GBPUSD"], "volume": [1, np.int64(1)], "price": ["1.0"], "stoplimit": [None],
       "sl": [1], "tp": [True], "deviation": [-1], "type": [2**32, -1], "type_filling": [2**32],
       "type_time": [0.0], "expiration": [2**63], "comment": ["c" * 30, "a\0b"], "position": [-2],
       "position_by": ["1"]}
TEXT_RULE = {"symbol": ": a str of at most 29 UTF-16 units without NUL"}
TEXT_RULE["comment"] = TEXT_RULE["symbol"]
REQUEST_REFUSALS = [
    *[({key: v}, (-2, f'Invalid "{key}" argument{TEXT_RULE.get(key, "")}')) for key, values in BAD.items()
      for v in values],
    ({"action": "1", "volume": "x"}, (-2, 'Invalid "action" argument')),
    ([("action", 1)], INVALID),
    ((1,), INVALID),
    (None, INVALID),
]


def refused_date(name: str, kind: str) -> tuple[int, str]:
    return -2, f"Invalid arguments: {name} is a {kind}; a date is POSIX seconds (an int or a float) or a datetime.datetime"

@pytest.mark.parametrize("call, error", [
    (lambda c: c.positions_get("EURUSD"), UNNAMED),
    (lambda c: c.orders_get(1, ticket=1), UNNAMED),
    *[(lambda c, v=v: c.orders_get(ticket=v), (-2, 'Invalid "ticket" argument'))
      for v in (-1, None, 2**64, 1.0, np.float64(1), np.bool_(True))],
    (lambda c: c.history_deals_total(np.datetime64(5, "s"), 2), refused_date("date_from", "numpy.datetime64")),
    (lambda c: c.positions_get(symbol="S" * 30), (-2, 'Invalid "symbol" argument')),
    (lambda c: c.positions_get(symbol="EURUSD\0GBPUSD"), (-2, 'Invalid "symbol" argument')),
    (lambda c: c.positions_get(symbol="\U0001F947" * 15), (-2, 'Invalid "symbol" argument')),
    (lambda c: c.orders_get(symbol=b"EURUSD"), (-2, 'Invalid "symbol" argument')),
    (lambda c: c.positions_get(group="G" * 1998), (-2, 'Invalid "group" argument')),
    (lambda c: c.history_orders_total(1), INVALID),
    (lambda c: c.history_orders_total(1, 2, 3), INVALID),
    (lambda c: c.history_deals_total(datetime.date(2026, 1, 1), 2), refused_date("date_from", "datetime.date")),
    (lambda c: c.history_deals_total(1, 2**31), (-2, "Invalid arguments: date_to must lie from 1901-12-13 20:45:52 "
                                                     "to 2038-01-19 03:14:07 UTC (signed 32-bit POSIX seconds)")),
    *[(lambda c, a=a: c.history_orders_get(*a), INVALID) for a in [(), (1,), (1, 2, 3)]],
    (lambda c: c.history_orders_get("x", 2), refused_date("date_from", "str")),
    (lambda c: c.history_orders_get(group="*"), INVALID),
    (lambda c: c.history_orders_get(1, ticket=5), UNNAMED),
    (lambda c: c.history_deals_get(1, 2, 3, position=5), UNNAMED),
    (lambda c: c.history_deals_get(1, 2, group=5), (-2, 'Invalid "group" argument')),
    (lambda c: c.history_deals_get(ticket=-1), (-2, 'Invalid "ticket" argument')),
    (lambda c: c.history_deals_get(position="7"), (-2, 'Invalid "position" argument')),
    (lambda c: c.order_send(), (-2, "Invalid number of arguments")),
    (lambda c: c.order_send({}, {}), (-2, "Invalid number of arguments")),
    (lambda c: c.order_send({}, action=1), UNNAMED),
    *[(lambda c, name=name, req=req: getattr(c, name)(req), error)
      for name in ("order_check", "order_send") for req, error in REQUEST_REFUSALS],
])
def test_refused_arguments_send_nothing(fake, core, call, error):
    fake.connected(SYNC)
    assert call(core) is None
    assert core.last_error() == error
    not_sent(fake, core)


# ---- replies -------------------------------------------------------------------------

RECV = (-10002, "IPC recv failed")


CALLS = {"ticket": lambda c: c.positions_get(ticket=77), "all": lambda c: c.positions_get(),
         "check": lambda c: c.order_check({"action": 1}),
         "send": lambda c: c.order_send({"action": 1})}


@pytest.mark.parametrize("call, answer, result, error", [
    ("ticket", reply(123, -4), (), SUCCESS),
    ("ticket", reply(123, 1, record("position", ticket=77)), (77,), SUCCESS),
    ("ticket", reply(123, 1, record("position")[:-1]), None, RECV),
    ("ticket", reply(123, 1, record("position") + b"\0"), None, RECV),
    ("ticket", reply(123, -1), None, (-1, "Terminal: Call failed")),
    ("ticket", reply(124, 1, record("position")), None, (-10000, "IPC call failed")),
    ("all", reply(121, 1, u32(2) + record("position")), None, RECV),
    ("all", reply(121, 1, u32(0xFFFFFFFF)), None, RECV),
    ("all", reply(121, -3), None, (-3, "Terminal: Out of memory")),
    ("send", reply(161, -8), None, (-8, "Auto-Trading using Python API disabled in Terminal")),
    ("check", reply(160, -8), None, (-8, "Terminal: Call failed")),
    ("send", reply(161, -2), None, (-2, "Terminal: Invalid params")),
    ("check", reply(160, 1, b"\0" * 251), None, RECV),
    ("send", reply(160, 1, b"\0" * 260), None, (-10000, "IPC call failed")),
])
def test_replies_and_broken_lists(fake, core, call, answer, result, error):
    fake.connected(answer, SYNC)
    got = CALLS[call](core)
    assert (got if got is None else tuple(p.ticket for p in got)) == result
    assert core.last_error() == error
    assert core.positions_total() == 7  # still in step


# ---- group filter ---------------------------------------------------------------------

SYMBOLS = ["EURUSD", "GBPUSD", "", "USDJPY", "EURJPY", "AAAB"]


@pytest.mark.parametrize("group, kept", [
    ("*,!EUR*", ["GBPUSD", "", "USDJPY", "AAAB"]),
    ("!EUR*", []),
    (" EURUSD , *JPY ", ["EURUSD", "USDJPY", "EURJPY"]),
    ("*AAB", ["AAAB"]),  # a failed run is retried one unit further on
])
@pytest.mark.parametrize("kind, call, command", [
    ("position", lambda c, g: c.positions_get(group=g), 121),
    ("order", lambda c, g: c.orders_get(group=g), 131),
    ("deal", lambda c, g: c.history_deals_get(1, 2, group=g), 151),
])
def test_group_keeps_the_terminals_order(fake, core, group, kept, kind, call, command):
    records = [record(kind, ticket=i, symbol=s) for i, s in enumerate(SYMBOLS)]
    fake.connected(listed(command, *records))
    got = call(core, group)
    assert core.last_error() == SUCCESS
    assert [r.symbol for r in got] == kept
    assert [r.ticket for r in got] == [SYMBOLS.index(s) for s in kept]
    assert fake.requests()[0][4:8] == u32(command)  # the group itself never goes out


# ---- trade requests ---------------------------------------------------------------------

FULL = {"action": 1, "magic": 2**64 - 1, "order": 3, "symbol": "S" * 29, "volume": 1.5, "price": -2.25,
        "stoplimit": float("inf"), "sl": 0.5, "tp": 9.75, "deviation": 20, "type": 2**32 - 1,
        "type_filling": 2, "type_time": 3, "expiration": -1, "comment": "\u20ac" * 29, "position": 6,
        "position_by": 7}


@pytest.mark.parametrize("call, record_values", [
    (lambda f: f({}), {}),
    (lambda f: f(FULL), FULL),
    (lambda f: f(type("Dict", (dict,), {})(FULL, Symbol="ignored", extra=object())), FULL),
    (lambda f: f(action=1, symbol="EURUSD", volume=0.1, type=0), {"action": 1, "symbol": "EURUSD", "volume": 0.1}),
    (lambda f: f(request={"action": 1}), {}),
    (lambda f: f({"magic": True, "volume": 1.0}), {"magic": 1, "volume": 1.0}),
    # The front takes an int where a float is wanted, and nothing else changes.
    (lambda f: front(f)(action=1, symbol="EURUSD", volume=1, type=0, price=2),
     {"action": 1, "symbol": "EURUSD", "volume": 1.0, "price": 2.0}),
    (lambda f: front(f)({"action": 1, "type": 1, "sl": np.int64(3), "comment": "c"}),
     {"action": 1, "type": 1, "sl": 3.0, "comment": "c"}),
    (lambda f: front(f)({"action": 3, "position": 6, "tp": 9.75}), {"action": 3, "position": 6, "tp": 9.75}),
])
@pytest.mark.parametrize("name, command, layout, retcode", [("order_check", 160, CHECK, 10019),
                                                           ("order_send", 161, SEND, 10006)],
                         ids=["order_check", "order_send"])
def test_request_round_trip(fake, core, call, record_values, name, command, layout, retcode):
    values = distinct(layout, retcode=retcode)
    fake.connected(reply(command, 1, pack(layout, values)))
    got = call(getattr(core, name))._asdict()
    assert core.last_error() == SUCCESS  # a rejected trade is still a successful call
    assert fake.requests() == [request(command, pack(REQUEST, record_values))]
    assert len(fake.requests()[0]) == 240
    assert list(got) == items(layout) + ["request"]
    assert {k: got[k] for k in items(layout)} == values
    echoed = got["request"]
    assert type(echoed) is core.TradeRequest
    assert echoed._asdict() == {k: record_values.get(k, "" if k in ("symbol", "comment") else 0)
                                for k in items(REQUEST)}


def front(native):
    """The quorvane function of a native one."""
    return getattr(quorvane, native.__name__)


@pytest.mark.parametrize("call, message", [
    (lambda f: f(action=1, type=0, volume=0.1, stop_loss=1.0),
     r"^order_\w+\(\) got an unexpected keyword argument 'stop_loss'; did you mean 'sl'\?$"),
    (lambda f: f({"action": 1, "type": 0, "volum": 0.1}),
     r"^order_\w+\(\) got an unexpected key 'volum' in the request; did you mean 'volume'\?$"),
    # Names of the same things elsewhere, which spelling alone would not lead to (or to 'order').
    (lambda f: f({"action": 1, "order_type": 0, "volume": 0.1}),
     r"^order_\w+\(\) got an unexpected key 'order_type' in the request; did you mean 'type'\?$"),
    (lambda f: f(action=1, volume=0.1, orderType=0),
     r"^order_\w+\(\) got an unexpected keyword argument 'orderType'; did you mean 'type'\?$"),
    (lambda f: f({"action": 1, "type": 0, "lots": 0.1}),
     r"^order_\w+\(\) got an unexpected key 'lots' in the request; did you mean 'volume'\?$"),
    (lambda f: f(action=1, type=0, volume=0.1, takeProfit=1.2),
     r"^order_\w+\(\) got an unexpected keyword argument 'takeProfit'; did you mean 'tp'\?$"),
    (lambda f: f({"action": 2, "type": 2, "volume": 0.1, "time_type": 0}),
     r"^order_\w+\(\) got an unexpected key 'time_type' in the request; did you mean 'type_time'\?$"),
    (lambda f: f(action=1, type=0, volume=0.1, slippage=10),
     r"^order_\w+\(\) got an unexpected keyword argument 'slippage'; did you mean 'deviation'\?$"),
    (lambda f: f({"action": 1, 1: 2}), r"unexpected key 1 in the request$"),
    (lambda f: f(request={"action": 1, "type": 0}), r"keyword argument 'request'; pass the request dictionary"),
    (lambda f: f({"action": 1, "volume": 0.1}), r"missing the key 'type': a DEAL request"),
    (lambda f: f(action=quorvane.TradeAction.PENDING, volume=0.1, price=1.0),
     r"missing the keyword argument 'type': a PENDING request"),
])
@pytest.mark.parametrize("name", ["order_check", "order_send"])
def test_front_refuses_unknown_keys_and_a_missing_type(fake, core, name, call, message):
    fake.connected(SYNC)
    with pytest.raises(TypeError, match=message):
        call(getattr(quorvane, name))
    not_sent(fake, core)
