"""The module object: its doc, functions, named-tuple types and _asdict, and
the NumPy numbers its functions take."""

import subprocess
import sys

import numpy as np
import pytest

from fake_terminal import reply
from quorvane import _core

# Field counts of the eleven named-tuple types, in registry order.
COUNTS = {
    "TradePosition": 19, "TradeOrder": 24, "TradeDeal": 18, "TradeRequest": 17, "OrderSendResult": 11,
    "OrderCheckResult": 9, "Tick": 8, "TerminalInfo": 22, "SymbolInfo": 96, "AccountInfo": 28, "BookInfo": 4,
}

# The public function list in method-table order (trade functions join later).
FUNCTIONS = (
    "initialize shutdown login version terminal_info account_info copy_ticks_from copy_ticks_range "
    "copy_rates_from copy_rates_from_pos copy_rates_range positions_total positions_get orders_total orders_get "
    "history_orders_total history_orders_get history_deals_total history_deals_get order_check order_send "
    "order_calc_margin order_calc_profit symbol_info "
    "symbol_info_tick symbol_select symbols_total symbols_get market_book_add market_book_release "
    "market_book_get last_error"
).split()


def test_module_doc_and_attributes():
    assert _core.__doc__ == "API Connector to Quorvane Terminal"
    public = sorted(n for n in dir(_core) if not n.startswith("__"))
    assert public == sorted(FUNCTIONS + list(COUNTS))
    names = [n for n, v in _core.__dict__.items() if callable(v) and not isinstance(v, type)]
    assert names == FUNCTIONS
    # Places that differ from the wire order.
    terminal = _core.TerminalInfo.__match_args__
    assert terminal[5] == "tradeapi_disabled" and terminal[10] == "build"


@pytest.mark.parametrize("name, fields", [
    ("BookInfo", "type price volume volume_dbl"),
    ("Tick", "time bid ask last volume time_msc flags volume_real"),
    ("OrderCheckResult", "retcode balance equity profit margin margin_free margin_level comment request"),
])
def test_representative_field_lists(name, fields):
    assert list(getattr(_core, name).__match_args__) == fields.split()


@pytest.mark.parametrize("name", ["shutdown", "version", "terminal_info", "account_info", "positions_total",
                                  "orders_total", "symbols_total", "last_error"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(_core, name)(1)


@pytest.mark.parametrize("name", list(COUNTS))
def test_types_and_asdict(name):
    t, count = getattr(_core, name), COUNTS[name]
    assert t.__name__ == name and t.n_fields == t.n_sequence_fields == count and t.n_unnamed_fields == 0
    items = tuple(object() for _ in range(count))
    value = t(items)
    before = _core.last_error()
    d = value._asdict()
    assert list(d.values()) == list(items)
    assert all(a is b for a, b in zip(d.values(), items))
    assert list(d) == list(t.__match_args__)
    assert _core.last_error() == before  # _asdict leaves the error state alone
    with pytest.raises(TypeError):
        t._asdict(5)


def test_fresh_error_state():
    # A new interpreter: nothing has been called yet.
    out = subprocess.run([sys.executable, "-c", "import quorvane._core as c; print(c.last_error())"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "(0, '')"


# ---- NumPy scalars ------------------------------------------------------------------


class Plain:
    """`v.int64(x)` and friends as the Python number the module takes the
    NumPy scalar for: floats as their exact double value."""

    def __getattr__(self, name):
        numpy_type = getattr(np, name)
        return lambda x: float(numpy_type(x)) if issubclass(numpy_type, np.floating) else int(x)


T = 1_767_600_000  # a bar's time, as a date


# Each call is made with NumPy scalars and with the same values as Python
# numbers; the Terminal must see the same bytes. `v` is numpy or Plain().
NUMPY_CALLS = [
    (104, lambda c, v: c.copy_ticks_from("EURUSD", v.int64(T), v.int32(10), v.uint32(3))),
    (105, lambda c, v: c.copy_ticks_range("EURUSD", v.float32(86400.5), v.float16(1024), v.int8(1))),
    (106, lambda c, v: c.copy_rates_from("EURUSD", v.int64(60), v.uint32(T), v.int16(5))),
    (107, lambda c, v: c.copy_rates_range("EURUSD", v.uint8(1), v.longdouble(2000.25), v.float64(T))),
    (108, lambda c, v: c.copy_rates_from_pos("EURUSD", v.int32(16385), v.int64(0), v.uint64(10))),
    (162, lambda c, v: c.order_calc_margin(v.int64(-1), "EURUSD", v.float32(0.1), v.longdouble(1.25))),
    (163, lambda c, v: c.order_calc_profit(v.uint32(1), "EURUSD", v.float32(0.5), v.float16(1.5), v.int64(2))),
    (123, lambda c, v: c.positions_get(ticket=v.uint64(2**64 - 1))),
    (133, lambda c, v: c.orders_get(ticket=v.int8(7))),
    (140, lambda c, v: c.history_orders_total(v.int64(1), v.float32(2.5))),
    (150, lambda c, v: c.history_deals_total(v.float64(-5.5), v.uint16(T % 65536))),
    (141, lambda c, v: c.history_orders_get(v.int64(3), v.int64(T), group="*")),
    (153, lambda c, v: c.history_deals_get(ticket=v.uint64(5))),
    (142, lambda c, v: c.history_orders_get(position=v.int32(7))),
    (5, lambda c, v: c.login(v.uint64(5001001), "pw", timeout=v.uint32(5))),
    (5, lambda c, v: c.login(login=v.int64(5001002), password="pw")),
    *[(command, lambda c, v, name=name: getattr(c, name)({
        "action": v.uint32(1), "magic": v.uint64(2**64 - 1), "order": v.int64(3), "volume": v.float32(0.1),
        "price": v.float64(1.5), "stoplimit": v.float16(2), "sl": v.longdouble(0.25), "tp": v.float32(9.75),
        "deviation": v.uint8(20), "type": v.int8(1), "type_filling": v.uint16(2), "type_time": v.int32(3),
        "expiration": v.int64(-1), "position": v.uint64(6), "position_by": v.int64(7)}))
      for command, name in ((160, "order_check"), (161, "order_send"))],
]


@pytest.mark.parametrize("command, call", NUMPY_CALLS)
def test_numpy_scalars_are_taken_as_the_numbers_they_hold(fake, core, command, call):
    fake.serve(reply(command, -1), reply(command, -1))
    assert fake.connect()
    call(core, np)
    assert core.last_error()[0] == -1, core.last_error()  # it went out
    call(core, Plain())
    sent_numpy, sent_plain = fake.requests()
    assert sent_numpy == sent_plain
