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
    "copy_rates_from copy_rates_from_pos copy_rates_range order_calc_margin order_calc_profit symbol_info "
    "symbol_info_tick symbol_select symbols_total symbols_get market_book_add market_book_release "
    "market_book_get last_error"
).split()


def test_module_doc_and_attributes():
    assert _core.__doc__ == "API Connector to Quorvane Terminal"
    public = sorted(n for n in dir(_core) if not n.startswith("__"))
    assert public == sorted(FUNCTIONS + list(COUNTS))
    names = [n for n, v in _core.__dict__.items() if callable(v) and not isinstance(v, type)]
    assert names == FUNCTIONS


# Docstrings whose odd spellings callers may match on.
@pytest.mark.parametrize("name, doc", [
    ("version", "version()\n\nGet Quorvane terminal version"),
    ("symbols_get", 'symbols_get([group="GROUP"])\n\nReturn all available symbols or filtred by group'),
    ("order_calc_margin", "order_calc_margin(action, symbol, volume, price,)\n\n"
                          "Calculate margin required for specified order"),
    ("symbol_select", "symbol_select(symbol,[enable])\n\n"
                      "Select symbol in Market Watch window or remove symbol from the window"),
])
def test_docstrings(name, doc):
    assert getattr(_core, name).__doc__ == doc


@pytest.mark.parametrize("name, fields", [
    ("BookInfo", "type price volume volume_dbl"),
    ("Tick", "time bid ask last volume time_msc flags volume_real"),
    ("OrderCheckResult", "retcode balance equity profit margin margin_free margin_level comment request"),
])
def test_representative_field_lists(name, fields):
    assert list(getattr(_core, name).__match_args__) == fields.split()


def test_field_places_that_differ_from_the_wire():
    terminal = _core.TerminalInfo.__match_args__
    assert terminal[5] == "tradeapi_disabled" and terminal[10] == "build"
    symbol = _core.SymbolInfo.__match_args__
    assert symbol[:4] == ("custom", "chart_mode", "select", "visible")
    assert symbol[-4:] == ("isin", "name", "page", "path")


@pytest.mark.parametrize("name", ["shutdown", "version", "terminal_info", "account_info", "symbols_total",
                                  "last_error"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(_core, name)(1)


@pytest.mark.parametrize("name", list(COUNTS))
def test_type_registry(name):
    t = getattr(_core, name)
    assert t.__name__ == name
    assert t.n_fields == t.n_sequence_fields == COUNTS[name]
    assert t.n_unnamed_fields == 0


@pytest.mark.parametrize("name", list(COUNTS))
def test_asdict_keeps_order_and_identity(name):
    count = COUNTS[name]
    items = tuple(object() for _ in range(count))
    value = getattr(_core, name)(items)
    before = _core.last_error()
    d = value._asdict()
    assert list(d.values()) == list(items)
    assert all(a is b for a, b in zip(d.values(), items))
    assert list(d) == list(getattr(_core, name).__match_args__)
    assert len(d) == count
    assert _core.last_error() == before  # _asdict leaves the error state alone


def test_asdict_is_shallow():
    request = _core.TradeRequest(tuple(range(17)))
    result = _core.OrderSendResult(tuple(range(10)) + (request,))
    d = result._asdict()
    assert len(d) == 11 and d["request"] is request


def test_asdict_through_the_type_with_a_foreign_object():
    with pytest.raises(TypeError):
        _core.TradePosition._asdict(5)


def test_fresh_error_state():
    # A new interpreter: nothing has been called yet.
    out = subprocess.run([sys.executable, "-c", "import quorvane._core as c; print(c.last_error())"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "(0, '')"


def test_last_error_is_read_only():
    _core.shutdown()
    assert _core.last_error() == (1, "Success")
    assert _core.last_error() == (1, "Success")
