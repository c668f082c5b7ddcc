"""The module object: defaults as the stub writes them, no connection, and
the NumPy numbers its functions take."""

import inspect
import subprocess
import sys

import numpy as np
import pytest

from fake_terminal import ready_reply, reply, u32
from quorvane import _core

FUNCTIONS = [n for n, v in vars(_core).items() if not n.startswith("_") and not isinstance(v, type)]


# name -> (the arguments a call needs besides the defaulted one, the
# Terminal's answers). A defaulted argument given its default must send
# what leaving it out sends, and come to the same outcome.
NEEDS = {
    "initialize": ((), ()),
    "login": ((5,), (reply(5, 1), ready_reply())),
    "symbol_select": (("EURUSD",), (reply(171, 1),)),
    "symbols_get": ((), (reply(174, 1, u32(0)),)),
}
DEFAULTS = [(name, p) for name in FUNCTIONS  # a default not in NEEDS fails its case
            for p in inspect.signature(getattr(_core, name)).parameters.values() if p.default is not p.empty]


@pytest.mark.parametrize("name, param", DEFAULTS, ids=[f"{n}-{p.name}" for n, p in DEFAULTS])
def test_a_default_is_what_leaving_the_argument_out_does(fake, core, name, param):
    args, steps = NEEDS[name]
    if name == "initialize" and param.name != "path":
        args = (fake.path,)  # an empty path looks for an installed Terminal, and finds none
    outcomes = []
    for given in (False, True):
        fake.serve(*steps)
        if name != "initialize":
            assert fake.connect()
        positional = param.kind == param.POSITIONAL_ONLY
        call = getattr(core, name)(*args, *([param.default] if given and positional else []),
                                   **({param.name: param.default} if given and not positional else {}))
        outcomes.append((call, core.last_error(), fake.frames()))
        core.shutdown()
    assert outcomes[0] == outcomes[1]


def test_fresh_error_state_and_no_connection():
    # A new interpreter: nothing has been called yet; then every function
    # that needs the Terminal finds none (the catalogue asks for the build first).
    code = ("import quorvane._core as c; print(c.last_error()); print(c.positions_total(), c.last_error()); "
            "print(c.symbol_select('EURUSD'), c.last_error()[0], c.market_book_add('EURUSD'), c.version()); "
            "print(c.symbols_total(), c.symbols_get(), c.last_error()[0])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["(0, '')", "None (-10004, 'No IPC connection, call initialize() first')",
                                       "False -10004 False (0, 0, '')", "None None -5"]


# Each docstring opens with the function's one-line description, then a blank line.
@pytest.mark.parametrize("name, first", [
    ("initialize", "Establish connection to Quorvane terminal"),
    ("shutdown", "Disconnect from Quorvane terminal"),
    ("login", "Log in to specific account"),
    ("version", "Get Quorvane terminal version"),
    ("terminal_info", "Get parameters of Quorvane terminal"),
    ("account_info", "Return information on the current account"),
    ("copy_ticks_from", "Get ticks starting from specific date"),
    ("copy_ticks_range", "Get ticks from specified period"),
    ("copy_rates_from", "Get bars starting from specific date"),
    ("copy_rates_from_pos", "Get bars starting from specified position"),
    ("copy_rates_range", "Get bars from specified period"),
    ("positions_total", "Return the number of open positions"),
    ("positions_get", "Return all open positions, can be filtered by symbol, group or ticket"),
    ("orders_total", "Return the number of orders"),
    ("orders_get", "Return all orders, can be filtered by symbol, group or ticket"),
    ("history_orders_total", "Return the number of orders in selected range from history"),
    ("history_orders_get", "Return orders in selected range from history or filtered by position id, ticket"),
    ("history_deals_total", "Return the number of deals in selected range from history"),
    ("history_deals_get", "Return deals in selected range from history or filtered by position id, ticket"),
    ("order_check", "Check if there are enough funds to execute required trading operation"),
    ("order_send", "Send trading requests to server"),
    ("order_calc_margin", "Calculate margin required for specified order"),
    ("order_calc_profit",
     "Calculate profit for the current account in the current market conditions based on parameters passed"),
    ("symbol_info", "Return full information for specified symbol"),
    ("symbol_info_tick", "Return current prices of specified symbol"),
    ("symbol_select", "Select symbol in Market Watch window or remove symbol from the window"),
    ("symbols_total", "Return the number of all available symbols"),
    ("symbols_get", "Return all available symbols or filtred by group"),
    ("market_book_add", "Opens Depth of Market for a selected symbol"),
    ("market_book_release", "Closes Depth of Market for a selected symbol"),
    ("market_book_get", "Returns Depth of Market structures of a specified symbol"),
    ("last_error", "Return last error code and description"),
])
def test_a_docstring_opens_with_its_description(name, first):
    assert getattr(_core, name).__doc__.split("\n")[:2] == [first, ""]


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
    fake.connected(reply(command, -1), reply(command, -1))
    call(core, np)
    assert core.last_error()[0] == -1, core.last_error()  # it went out
    call(core, Plain())
    sent_numpy, sent_plain = fake.requests()
    assert sent_numpy == sent_plain
