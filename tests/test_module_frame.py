"""The module object: its doc, functions, named-tuple types and _asdict."""

import subprocess
import sys

import pytest

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
