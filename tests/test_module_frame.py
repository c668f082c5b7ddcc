"""The module object: its doc, functions, named-tuple types and _asdict."""

import subprocess
import sys

import pytest

from quorvane import _core

TYPES = {
    "TradePosition": ("Trade position structure", 19),
    "TradeOrder": ("Trade order structure", 24),
    "TradeDeal": ("Trade deal structure", 18),
    "TradeRequest": ("Trade request structure", 17),
    "OrderSendResult": ("order_send result structure", 11),
    "OrderCheckResult": ("order_check result structure", 9),
    "Tick": ("This is a structure for storing latest symbol prices", 8),
    "TerminalInfo": ("This is a structure for storing terminal information", 22),
    "SymbolInfo": ("This is a structure for storing symbol information", 96),
    "AccountInfo": ("This is a structure for storing account information", 28),
    "BookInfo": ("This is a structure for storing Depth of Market information", 4),
}

FIELDS = {
    "TradePosition": (
        "ticket time time_msc time_update time_update_msc type magic identifier reason volume "
        "price_open sl tp price_current swap profit symbol comment external_id"
    ),
    "TradeOrder": (
        "ticket time_setup time_setup_msc time_done time_done_msc time_expiration type type_time "
        "type_filling state magic position_id position_by_id reason volume_initial "
        "volume_current price_open sl tp price_current price_stoplimit symbol comment "
        "external_id"
    ),
    "TradeDeal": (
        "ticket order time time_msc type entry magic position_id reason volume price commission "
        "swap profit fee symbol comment external_id"
    ),
    "TradeRequest": (
        "action magic order symbol volume price stoplimit sl tp deviation type type_filling "
        "type_time expiration comment position position_by"
    ),
    "OrderSendResult": (
        "retcode deal order volume price bid ask comment request_id retcode_external request"
    ),
    "OrderCheckResult": (
        "retcode balance equity profit margin margin_free margin_level comment request"
    ),
    "Tick": (
        "time bid ask last volume time_msc flags volume_real"
    ),
    "TerminalInfo": (
        "community_account community_connection connected dlls_allowed trade_allowed "
        "tradeapi_disabled email_enabled ftp_enabled notifications_enabled bvid build maxbars "
        "codepage ping_last community_balance retransmission company name language path "
        "data_path commondata_path"
    ),
    "SymbolInfo": (
        "custom chart_mode select visible session_deals session_buy_orders session_sell_orders "
        "volume volumehigh volumelow time digits spread spread_float ticks_bookdepth "
        "trade_calc_mode trade_mode start_time expiration_time trade_stops_level "
        "trade_freeze_level trade_exemode swap_mode swap_rollover3days margin_hedged_use_leg "
        "expiration_mode filling_mode order_mode order_gtc_mode option_mode option_right bid "
        "bidhigh bidlow ask askhigh asklow last lasthigh lastlow volume_real volumehigh_real "
        "volumelow_real option_strike point trade_tick_value trade_tick_value_profit "
        "trade_tick_value_loss trade_tick_size trade_contract_size trade_accrued_interest "
        "trade_face_value trade_liquidity_rate volume_min volume_max volume_step volume_limit "
        "swap_long swap_short margin_initial margin_maintenance session_volume session_turnover "
        "session_interest session_buy_orders_volume session_sell_orders_volume session_open "
        "session_close session_aw session_price_settlement session_price_limit_min "
        "session_price_limit_max margin_hedged price_change price_volatility price_theoretical "
        "price_greeks_delta price_greeks_theta price_greeks_gamma price_greeks_vega "
        "price_greeks_rho price_greeks_omega price_sensitivity basis category currency_base "
        "currency_profit currency_margin bank description exchange formula isin name page path"
    ),
    "AccountInfo": (
        "login trade_mode leverage limit_orders margin_so_mode trade_allowed trade_expert "
        "margin_mode currency_digits fifo_close balance credit profit equity margin margin_free "
        "margin_level margin_so_call margin_so_so margin_initial margin_maintenance assets "
        "liabilities commission_blocked name server currency company"
    ),
    "BookInfo": (
        "type price volume volume_dbl"
    ),
}

# Functions in method-table order, with their docstrings.
FUNCTIONS = [
    ("initialize", 'initialize([path],[server="SERVER"],[login=LOGIN],[password="PASSWORD"])',
     "Establish connection to Quorvane terminal"),
    ("shutdown", "shutdown()", "Disconnect from Quorvane terminal"),
    ("login", 'login(login,[server="SERVER"],[password="PASSWORD"])', "Log in to specific account"),
    ("version", "version()", "Get Quorvane terminal version"),
    ("terminal_info", "terminal_info()", "Get parameters of Quorvane terminal"),
    ("account_info", "account_info()", "Return information on the current account"),
    ("copy_ticks_from", "copy_ticks_from(symbol, date_from, count, flags)", "Get ticks starting from specific date"),
    ("copy_ticks_range", "copy_ticks_range(symbol, date_from, date_to, flags)", "Get ticks from specified period"),
    ("copy_rates_from", "copy_rates_from(symbol, timeframe, date_from, count)", "Get bars starting from specific date"),
    ("copy_rates_from_pos", "copy_rates_from_pos(symbol, timeframe, start_pos, count)",
     "Get bars starting from specified position"),
    ("copy_rates_range", "copy_rates_range(symbol, timeframe, date_from, date_to)", "Get bars from specified period"),
    ("last_error", "last_error()", "Return last error code and description"),
]


def test_module_doc_and_attributes():
    assert _core.__doc__ == "API Connector to Quorvane Terminal"
    assert _core.__name__ == "quorvane._core" or _core.__name__ == "_core"
    public = sorted(n for n in dir(_core) if not n.startswith("__"))
    assert public == sorted([f[0] for f in FUNCTIONS] + list(TYPES))


def test_functions_in_table_order_with_docstrings():
    names = [n for n in _core.__dict__ if callable(_core.__dict__[n]) and not isinstance(_core.__dict__[n], type)]
    assert names == [f[0] for f in FUNCTIONS]
    for name, signature, description in FUNCTIONS:
        assert getattr(_core, name).__doc__ == f"{signature}\n\n{description}"


@pytest.mark.parametrize("name", ["shutdown", "version", "terminal_info", "account_info", "last_error"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(_core, name)(1)


@pytest.mark.parametrize("name", list(TYPES))
def test_type_registry(name):
    doc, count = TYPES[name]
    t = getattr(_core, name)
    assert t.__name__ == name
    assert t.__doc__ == doc
    assert t.n_fields == t.n_sequence_fields == count
    assert t.n_unnamed_fields == 0
    assert list(t.__match_args__) == FIELDS[name].split()
    assert t._asdict.__doc__ == "Convert named tuple object to dictionary"


@pytest.mark.parametrize("name", list(TYPES))
def test_asdict_keeps_order_and_identity(name):
    _, count = TYPES[name]
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
