"""The native connector to the Quorvane Terminal.

Every function that talks to the Terminal reports failure by its return
value, never by an exception: None (False for the functions that answer a
truth value), and ``last_error()`` then gives ``(code, message)``. Times are
seconds since 1970-01-01 UTC unless a name ends in ``_msc`` (milliseconds);
volumes are in lots; money is in the account currency.

Calls from several threads are safe and are made one at a time; while one
waits for the Terminal, other threads run. ``initialize`` and ``shutdown``
interrupt a call in flight in another thread, which then fails as a lost
connection.
"""

import datetime
import sys
from typing import Any, Final, Literal, TypedDict, final, overload

import numpy as np
from _typeshed import structseq
from numpy.typing import NDArray
from typing_extensions import TypeAlias

# Numbers: wherever an int is wanted, anything with __index__ (NumPy
# integers) is taken too; wherever a float is wanted, a NumPy floating
# scalar is too. The request dictionary's type lives in the package, so that
# scripts can name it at run time (quorvane.TradeRequestDict).
from ._request import Integer as _Integer, Real as _Real, TradeRequestDict

# A date argument: seconds since 1970-01-01 UTC (an int, a float or a NumPy
# number), or a datetime (a naive one is local time). It must fit signed 32
# bits of seconds (1901 to 2038).
_Date: TypeAlias = _Integer | _Real | datetime.datetime

# ---- Named tuples ------------------------------------------------------------
#
# Struct sequences: tuples whose items are also attributes, each with an
# _asdict() method.

@final
class TradePosition(structseq[Any], tuple[
    int, int, int, int, int, int, int, int, int, float, float, float, float, float, float, float,
    str, str, str
]):
    """An open position (``positions_get``).

    Times are seconds (``time``, ``time_update``) and milliseconds (``*_msc``)
    since 1970-01-01 UTC; ``volume`` is in lots; prices in the symbol's
    quote currency; ``swap`` and ``profit`` in the account currency.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "ticket", "time", "time_msc", "time_update", "time_update_msc", "type", "magic",
            "identifier", "reason", "volume", "price_open", "sl", "tp", "price_current", "swap",
            "profit", "symbol", "comment", "external_id"
        )

    @property
    def ticket(self) -> int: ...
    @property
    def time(self) -> int: ...
    @property
    def time_msc(self) -> int: ...
    @property
    def time_update(self) -> int: ...
    @property
    def time_update_msc(self) -> int: ...
    @property
    def type(self) -> int: ...
    @property
    def magic(self) -> int: ...
    @property
    def identifier(self) -> int: ...
    @property
    def reason(self) -> int: ...
    @property
    def volume(self) -> float: ...
    @property
    def price_open(self) -> float: ...
    @property
    def sl(self) -> float: ...
    @property
    def tp(self) -> float: ...
    @property
    def price_current(self) -> float: ...
    @property
    def swap(self) -> float: ...
    @property
    def profit(self) -> float: ...
    @property
    def symbol(self) -> str: ...
    @property
    def comment(self) -> str: ...
    @property
    def external_id(self) -> str: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class TradeOrder(structseq[Any], tuple[
    int, int, int, int, int, int, int, int, int, int, int, int, int, int, float, float, float,
    float, float, float, float, str, str, str
]):
    """An active or historical order (``orders_get``, ``history_orders_get``).

    Times are seconds and milliseconds (``*_msc``) since 1970-01-01 UTC;
    volumes are in lots.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "ticket", "time_setup", "time_setup_msc", "time_done", "time_done_msc",
            "time_expiration", "type", "type_time", "type_filling", "state", "magic", "position_id",
            "position_by_id", "reason", "volume_initial", "volume_current", "price_open", "sl",
            "tp", "price_current", "price_stoplimit", "symbol", "comment", "external_id"
        )

    @property
    def ticket(self) -> int: ...
    @property
    def time_setup(self) -> int: ...
    @property
    def time_setup_msc(self) -> int: ...
    @property
    def time_done(self) -> int: ...
    @property
    def time_done_msc(self) -> int: ...
    @property
    def time_expiration(self) -> int: ...
    @property
    def type(self) -> int: ...
    @property
    def type_time(self) -> int: ...
    @property
    def type_filling(self) -> int: ...
    @property
    def state(self) -> int: ...
    @property
    def magic(self) -> int: ...
    @property
    def position_id(self) -> int: ...
    @property
    def position_by_id(self) -> int: ...
    @property
    def reason(self) -> int: ...
    @property
    def volume_initial(self) -> float: ...
    @property
    def volume_current(self) -> float: ...
    @property
    def price_open(self) -> float: ...
    @property
    def sl(self) -> float: ...
    @property
    def tp(self) -> float: ...
    @property
    def price_current(self) -> float: ...
    @property
    def price_stoplimit(self) -> float: ...
    @property
    def symbol(self) -> str: ...
    @property
    def comment(self) -> str: ...
    @property
    def external_id(self) -> str: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class TradeDeal(structseq[Any], tuple[
    int, int, int, int, int, int, int, int, int, float, float, float, float, float, float, str, str,
    str
]):
    """A deal of the trade history (``history_deals_get``).

    Times are seconds and milliseconds (``time_msc``) since 1970-01-01 UTC;
    ``volume`` is in lots; ``commission``, ``swap``, ``profit`` and ``fee`` in
    the account currency.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "ticket", "order", "time", "time_msc", "type", "entry", "magic", "position_id",
            "reason", "volume", "price", "commission", "swap", "profit", "fee", "symbol", "comment",
            "external_id"
        )

    @property
    def ticket(self) -> int: ...
    @property
    def order(self) -> int: ...
    @property
    def time(self) -> int: ...
    @property
    def time_msc(self) -> int: ...
    @property
    def type(self) -> int: ...
    @property
    def entry(self) -> int: ...
    @property
    def magic(self) -> int: ...
    @property
    def position_id(self) -> int: ...
    @property
    def reason(self) -> int: ...
    @property
    def volume(self) -> float: ...
    @property
    def price(self) -> float: ...
    @property
    def commission(self) -> float: ...
    @property
    def swap(self) -> float: ...
    @property
    def profit(self) -> float: ...
    @property
    def fee(self) -> float: ...
    @property
    def symbol(self) -> str: ...
    @property
    def comment(self) -> str: ...
    @property
    def external_id(self) -> str: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class TradeRequest(structseq[Any], tuple[
    int, int, int, str, float, float, float, float, float, int, int, int, int, int, str, int, int
]):
    """The request as sent, the last item of ``OrderCheckResult`` and
    ``OrderSendResult``.

    ``volume`` is in lots, ``deviation`` in points, ``expiration`` in seconds
    since 1970-01-01 UTC.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "action", "magic", "order", "symbol", "volume", "price", "stoplimit", "sl", "tp",
            "deviation", "type", "type_filling", "type_time", "expiration", "comment", "position",
            "position_by"
        )

    @property
    def action(self) -> int: ...
    @property
    def magic(self) -> int: ...
    @property
    def order(self) -> int: ...
    @property
    def symbol(self) -> str: ...
    @property
    def volume(self) -> float: ...
    @property
    def price(self) -> float: ...
    @property
    def stoplimit(self) -> float: ...
    @property
    def sl(self) -> float: ...
    @property
    def tp(self) -> float: ...
    @property
    def deviation(self) -> int: ...
    @property
    def type(self) -> int: ...
    @property
    def type_filling(self) -> int: ...
    @property
    def type_time(self) -> int: ...
    @property
    def expiration(self) -> int: ...
    @property
    def comment(self) -> str: ...
    @property
    def position(self) -> int: ...
    @property
    def position_by(self) -> int: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class OrderSendResult(structseq[Any], tuple[
    int, int, int, float, float, float, float, str, int, int, TradeRequest
]):
    """The answer to ``order_send``.

    ``retcode`` is a ``TradeRetcode``; ``volume`` is in lots.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "retcode", "deal", "order", "volume", "price", "bid", "ask", "comment", "request_id",
            "retcode_external", "request"
        )

    @property
    def retcode(self) -> int: ...
    @property
    def deal(self) -> int: ...
    @property
    def order(self) -> int: ...
    @property
    def volume(self) -> float: ...
    @property
    def price(self) -> float: ...
    @property
    def bid(self) -> float: ...
    @property
    def ask(self) -> float: ...
    @property
    def comment(self) -> str: ...
    @property
    def request_id(self) -> int: ...
    @property
    def retcode_external(self) -> int: ...
    @property
    def request(self) -> TradeRequest: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class OrderCheckResult(structseq[Any], tuple[
    int, float, float, float, float, float, float, str, TradeRequest
]):
    """The answer to ``order_check``.

    ``retcode`` is a ``TradeRetcode``; ``balance``, ``equity``, ``profit``,
    ``margin`` and ``margin_free`` are what the account would show after the
    trade, in the account currency; ``margin_level`` in percent.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "retcode", "balance", "equity", "profit", "margin", "margin_free", "margin_level",
            "comment", "request"
        )

    @property
    def retcode(self) -> int: ...
    @property
    def balance(self) -> float: ...
    @property
    def equity(self) -> float: ...
    @property
    def profit(self) -> float: ...
    @property
    def margin(self) -> float: ...
    @property
    def margin_free(self) -> float: ...
    @property
    def margin_level(self) -> float: ...
    @property
    def comment(self) -> str: ...
    @property
    def request(self) -> TradeRequest: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class Tick(structseq[Any], tuple[int, float, float, float, int, int, int, float]):
    """The latest prices of a symbol (``symbol_info_tick``).

    ``time`` is in seconds and ``time_msc`` in milliseconds since 1970-01-01
    UTC; ``flags`` is a set of ``TickFlag`` bits.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("time", "bid", "ask", "last", "volume", "time_msc", "flags", "volume_real")

    @property
    def time(self) -> int: ...
    @property
    def bid(self) -> float: ...
    @property
    def ask(self) -> float: ...
    @property
    def last(self) -> float: ...
    @property
    def volume(self) -> int: ...
    @property
    def time_msc(self) -> int: ...
    @property
    def flags(self) -> int: ...
    @property
    def volume_real(self) -> float: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class TerminalInfo(structseq[Any], tuple[
    bool, bool, bool, bool, bool, bool, bool, bool, bool, bool, int, int, int, int, float, float,
    str, str, str, str, str, str
]):
    """The Terminal's state and settings (``terminal_info``).
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "community_account", "community_connection", "connected", "dlls_allowed",
            "trade_allowed", "tradeapi_disabled", "email_enabled", "ftp_enabled",
            "notifications_enabled", "bvid", "build", "maxbars", "codepage", "ping_last",
            "community_balance", "retransmission", "company", "name", "language", "path",
            "data_path", "commondata_path"
        )

    @property
    def community_account(self) -> bool: ...
    @property
    def community_connection(self) -> bool: ...
    @property
    def connected(self) -> bool: ...
    @property
    def dlls_allowed(self) -> bool: ...
    @property
    def trade_allowed(self) -> bool: ...
    @property
    def tradeapi_disabled(self) -> bool: ...
    @property
    def email_enabled(self) -> bool: ...
    @property
    def ftp_enabled(self) -> bool: ...
    @property
    def notifications_enabled(self) -> bool: ...
    @property
    def bvid(self) -> bool: ...
    @property
    def build(self) -> int: ...
    @property
    def maxbars(self) -> int: ...
    @property
    def codepage(self) -> int: ...
    @property
    def ping_last(self) -> int: ...
    @property
    def community_balance(self) -> float: ...
    @property
    def retransmission(self) -> float: ...
    @property
    def company(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def language(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def data_path(self) -> str: ...
    @property
    def commondata_path(self) -> str: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class SymbolInfo(structseq[Any], tuple[
    bool, int, bool, bool, int, int, int, int, int, int, int, int, int, bool, int, int, int, int,
    int, int, int, int, int, int, bool, int, int, int, int, int, int, float, float, float, float,
    float, float, float, float, float, float, float, float, float, float, float, float, float,
    float, float, float, float, float, float, float, float, float, float, float, float, float,
    float, float, float, float, float, float, float, float, float, float, float, float, float,
    float, float, float, float, float, float, float, float, float, str, str, str, str, str, str,
    str, str, str, str, str, str, str
]):
    """A symbol of the catalogue (``symbol_info``, ``symbols_get``).

    Times are seconds since 1970-01-01 UTC; volumes are in lots; prices in
    the symbol's quote currency; ``spread`` and the stop and freeze levels
    in points.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "custom", "chart_mode", "select", "visible", "session_deals", "session_buy_orders",
            "session_sell_orders", "volume", "volumehigh", "volumelow", "time", "digits", "spread",
            "spread_float", "ticks_bookdepth", "trade_calc_mode", "trade_mode", "start_time",
            "expiration_time", "trade_stops_level", "trade_freeze_level", "trade_exemode",
            "swap_mode", "swap_rollover3days", "margin_hedged_use_leg", "expiration_mode",
            "filling_mode", "order_mode", "order_gtc_mode", "option_mode", "option_right", "bid",
            "bidhigh", "bidlow", "ask", "askhigh", "asklow", "last", "lasthigh", "lastlow",
            "volume_real", "volumehigh_real", "volumelow_real", "option_strike", "point",
            "trade_tick_value", "trade_tick_value_profit", "trade_tick_value_loss",
            "trade_tick_size", "trade_contract_size", "trade_accrued_interest", "trade_face_value",
            "trade_liquidity_rate", "volume_min", "volume_max", "volume_step", "volume_limit",
            "swap_long", "swap_short", "margin_initial", "margin_maintenance", "session_volume",
            "session_turnover", "session_interest", "session_buy_orders_volume",
            "session_sell_orders_volume", "session_open", "session_close", "session_aw",
            "session_price_settlement", "session_price_limit_min", "session_price_limit_max",
            "margin_hedged", "price_change", "price_volatility", "price_theoretical",
            "price_greeks_delta", "price_greeks_theta", "price_greeks_gamma", "price_greeks_vega",
            "price_greeks_rho", "price_greeks_omega", "price_sensitivity", "basis", "category",
            "currency_base", "currency_profit", "currency_margin", "bank", "description",
            "exchange", "formula", "isin", "name", "page", "path"
        )

    @property
    def custom(self) -> bool: ...
    @property
    def chart_mode(self) -> int: ...
    @property
    def select(self) -> bool: ...
    @property
    def visible(self) -> bool: ...
    @property
    def session_deals(self) -> int: ...
    @property
    def session_buy_orders(self) -> int: ...
    @property
    def session_sell_orders(self) -> int: ...
    @property
    def volume(self) -> int: ...
    @property
    def volumehigh(self) -> int: ...
    @property
    def volumelow(self) -> int: ...
    @property
    def time(self) -> int: ...
    @property
    def digits(self) -> int: ...
    @property
    def spread(self) -> int: ...
    @property
    def spread_float(self) -> bool: ...
    @property
    def ticks_bookdepth(self) -> int: ...
    @property
    def trade_calc_mode(self) -> int: ...
    @property
    def trade_mode(self) -> int: ...
    @property
    def start_time(self) -> int: ...
    @property
    def expiration_time(self) -> int: ...
    @property
    def trade_stops_level(self) -> int: ...
    @property
    def trade_freeze_level(self) -> int: ...
    @property
    def trade_exemode(self) -> int: ...
    @property
    def swap_mode(self) -> int: ...
    @property
    def swap_rollover3days(self) -> int: ...
    @property
    def margin_hedged_use_leg(self) -> bool: ...
    @property
    def expiration_mode(self) -> int: ...
    @property
    def filling_mode(self) -> int: ...
    @property
    def order_mode(self) -> int: ...
    @property
    def order_gtc_mode(self) -> int: ...
    @property
    def option_mode(self) -> int: ...
    @property
    def option_right(self) -> int: ...
    @property
    def bid(self) -> float: ...
    @property
    def bidhigh(self) -> float: ...
    @property
    def bidlow(self) -> float: ...
    @property
    def ask(self) -> float: ...
    @property
    def askhigh(self) -> float: ...
    @property
    def asklow(self) -> float: ...
    @property
    def last(self) -> float: ...
    @property
    def lasthigh(self) -> float: ...
    @property
    def lastlow(self) -> float: ...
    @property
    def volume_real(self) -> float: ...
    @property
    def volumehigh_real(self) -> float: ...
    @property
    def volumelow_real(self) -> float: ...
    @property
    def option_strike(self) -> float: ...
    @property
    def point(self) -> float: ...
    @property
    def trade_tick_value(self) -> float: ...
    @property
    def trade_tick_value_profit(self) -> float: ...
    @property
    def trade_tick_value_loss(self) -> float: ...
    @property
    def trade_tick_size(self) -> float: ...
    @property
    def trade_contract_size(self) -> float: ...
    @property
    def trade_accrued_interest(self) -> float: ...
    @property
    def trade_face_value(self) -> float: ...
    @property
    def trade_liquidity_rate(self) -> float: ...
    @property
    def volume_min(self) -> float: ...
    @property
    def volume_max(self) -> float: ...
    @property
    def volume_step(self) -> float: ...
    @property
    def volume_limit(self) -> float: ...
    @property
    def swap_long(self) -> float: ...
    @property
    def swap_short(self) -> float: ...
    @property
    def margin_initial(self) -> float: ...
    @property
    def margin_maintenance(self) -> float: ...
    @property
    def session_volume(self) -> float: ...
    @property
    def session_turnover(self) -> float: ...
    @property
    def session_interest(self) -> float: ...
    @property
    def session_buy_orders_volume(self) -> float: ...
    @property
    def session_sell_orders_volume(self) -> float: ...
    @property
    def session_open(self) -> float: ...
    @property
    def session_close(self) -> float: ...
    @property
    def session_aw(self) -> float: ...
    @property
    def session_price_settlement(self) -> float: ...
    @property
    def session_price_limit_min(self) -> float: ...
    @property
    def session_price_limit_max(self) -> float: ...
    @property
    def margin_hedged(self) -> float: ...
    @property
    def price_change(self) -> float: ...
    @property
    def price_volatility(self) -> float: ...
    @property
    def price_theoretical(self) -> float: ...
    @property
    def price_greeks_delta(self) -> float: ...
    @property
    def price_greeks_theta(self) -> float: ...
    @property
    def price_greeks_gamma(self) -> float: ...
    @property
    def price_greeks_vega(self) -> float: ...
    @property
    def price_greeks_rho(self) -> float: ...
    @property
    def price_greeks_omega(self) -> float: ...
    @property
    def price_sensitivity(self) -> float: ...
    @property
    def basis(self) -> str: ...
    @property
    def category(self) -> str: ...
    @property
    def currency_base(self) -> str: ...
    @property
    def currency_profit(self) -> str: ...
    @property
    def currency_margin(self) -> str: ...
    @property
    def bank(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def exchange(self) -> str: ...
    @property
    def formula(self) -> str: ...
    @property
    def isin(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def page(self) -> str: ...
    @property
    def path(self) -> str: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class AccountInfo(structseq[Any], tuple[
    int, int, int, int, int, bool, bool, int, int, bool, float, float, float, float, float, float,
    float, float, float, float, float, float, float, float, str, str, str, str
]):
    """The account the Terminal is logged in to (``account_info``).

    Money amounts are in the account currency (``currency``);
    ``margin_level`` is in percent.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "login", "trade_mode", "leverage", "limit_orders", "margin_so_mode", "trade_allowed",
            "trade_expert", "margin_mode", "currency_digits", "fifo_close", "balance", "credit",
            "profit", "equity", "margin", "margin_free", "margin_level", "margin_so_call",
            "margin_so_so", "margin_initial", "margin_maintenance", "assets", "liabilities",
            "commission_blocked", "name", "server", "currency", "company"
        )

    @property
    def login(self) -> int: ...
    @property
    def trade_mode(self) -> int: ...
    @property
    def leverage(self) -> int: ...
    @property
    def limit_orders(self) -> int: ...
    @property
    def margin_so_mode(self) -> int: ...
    @property
    def trade_allowed(self) -> bool: ...
    @property
    def trade_expert(self) -> bool: ...
    @property
    def margin_mode(self) -> int: ...
    @property
    def currency_digits(self) -> int: ...
    @property
    def fifo_close(self) -> bool: ...
    @property
    def balance(self) -> float: ...
    @property
    def credit(self) -> float: ...
    @property
    def profit(self) -> float: ...
    @property
    def equity(self) -> float: ...
    @property
    def margin(self) -> float: ...
    @property
    def margin_free(self) -> float: ...
    @property
    def margin_level(self) -> float: ...
    @property
    def margin_so_call(self) -> float: ...
    @property
    def margin_so_so(self) -> float: ...
    @property
    def margin_initial(self) -> float: ...
    @property
    def margin_maintenance(self) -> float: ...
    @property
    def assets(self) -> float: ...
    @property
    def liabilities(self) -> float: ...
    @property
    def commission_blocked(self) -> float: ...
    @property
    def name(self) -> str: ...
    @property
    def server(self) -> str: ...
    @property
    def currency(self) -> str: ...
    @property
    def company(self) -> str: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""


@final
class BookInfo(structseq[Any], tuple[int, float, int, float]):
    """One entry of the Depth of Market (``market_book_get``).

    ``type`` is a ``BookType``; ``volume`` and ``volume_dbl`` are in lots.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("type", "price", "volume", "volume_dbl")

    @property
    def type(self) -> int: ...
    @property
    def price(self) -> float: ...
    @property
    def volume(self) -> int: ...
    @property
    def volume_dbl(self) -> float: ...
    def _asdict(self) -> dict[str, Any]:
        """The fields by name, in order."""

# ---- Connection ------------------------------------------------------------

def initialize(
    path: str = "",
    *,
    login: _Integer = 0,
    password: str = "",
    server: str = "",
    timeout: _Integer = 0,
    portable: bool = False,
) -> bool:
    """Connect to a Terminal, starting it when it is not running.

    ``path`` is the Terminal's executable (``quorvane.terminal_path()``
    gives the bundled one); without it (or with ``""``) an installed
    Terminal is looked for. ``login``, ``password`` and ``server`` log in to
    that account on the way (0 and ``""`` leave them out). ``timeout`` is
    how long to wait for the Terminal to become ready, in milliseconds (0:
    60000). ``portable`` starts the Terminal in portable mode. Any previous
    connection is closed first.

    Returns True once the Terminal is ready; False on failure, with the
    reason in ``last_error()``.
    """

def login(login: _Integer, password: str = "", server: str = "", *, timeout: _Integer = 0) -> bool:
    """Log the connected Terminal in to another account.

    ``login`` is the account number; ``password`` and ``server`` may be
    left empty when the Terminal remembers them. ``timeout`` is how long to
    wait for the Terminal to become ready, in milliseconds (0: 60000).

    Returns True once logged in; False on failure (see ``last_error()``).
    """

def shutdown() -> bool:
    """Close the connection to the Terminal; the Terminal keeps running.

    Always returns True.
    """

def last_error() -> tuple[int, str]:
    """The outcome of the last call: ``(code, message)``.

    ``(1, "Success")`` after a call that succeeded; a negative code after a
    failure: -2 for rejected arguments, -1 to -7 for the Terminal's refusals,
    -10000 to -10005 for a broken or missing connection. Does not change
    the outcome it reports.
    """

def version() -> tuple[int, int, str]:
    """The Terminal's ``(version, build, release_date)``.

    Returns ``(0, 0, "")`` on failure (see ``last_error()``).
    """

# ---- Terminal and account ----------------------------------------------------

def terminal_info() -> TerminalInfo | None:
    """The Terminal's state and settings; None on failure (see ``last_error()``)."""

def account_info() -> AccountInfo | None:
    """The current account, its money in the account currency; None on
    failure (see ``last_error()``)."""

# ---- Price history -----------------------------------------------------------

def copy_ticks_from(
    symbol: str, date_from: _Date, count: _Integer, flags: _Integer, /
) -> NDArray[np.void] | None:
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

def copy_ticks_range(
    symbol: str, date_from: _Date, date_to: _Date, flags: _Integer, /
) -> NDArray[np.void] | None:
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

def copy_rates_from(
    symbol: str, timeframe: _Integer, date_from: _Date, count: _Integer, /
) -> NDArray[np.void] | None:
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

def copy_rates_from_pos(
    symbol: str, timeframe: _Integer, start_pos: _Integer, count: _Integer, /
) -> NDArray[np.void] | None:
    """Up to ``count`` bars of ``symbol``, counted back from bar ``start_pos``.

    ``timeframe`` is a ``Timeframe`` value; ``start_pos`` 0 is the newest
    bar (the one in progress).

    Returns a NumPy structured array, one row per bar, oldest first, with
    the fields ``time`` (int64, opening time in seconds since 1970-01-01
    UTC), ``open``, ``high``, ``low``, ``close`` (float64),
    ``tick_volume`` (uint64), ``spread`` (int32, points) and
    ``real_volume`` (uint64); None on failure (see ``last_error()``).
    """

def copy_rates_range(
    symbol: str, timeframe: _Integer, date_from: _Date, date_to: _Date, /
) -> NDArray[np.void] | None:
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

# ---- Symbols and prices --------------------------------------------------------

def symbols_total() -> int | None:
    """The number of symbols in the catalogue; None on failure (see ``last_error()``)."""

def symbols_get(group: str = "") -> tuple[SymbolInfo, ...] | Literal[False] | None:
    """Every symbol, or those whose names match ``group``.

    ``group`` is a comma-separated list of name patterns, ``*`` matching
    any text and a leading ``!`` excluding, e.g. ``"*USD*,!EUR*"``; names
    match case-sensitively. An empty group selects every symbol.

    Returns a tuple of ``SymbolInfo``; False when the arguments are
    rejected and None on any other failure (see ``last_error()``).
    ``quorvane.symbols_get`` returns the tuple with a ``record_type``
    attribute (``SymbolInfo``), so that ``quorvane.frames`` gives an
    empty result its columns too.
    """

def symbol_info(symbol: str, /) -> SymbolInfo | None:
    """Everything about one symbol; None on failure (see ``last_error()``)."""

def symbol_info_tick(symbol: str, /) -> Tick | None:
    """The latest prices of a symbol; None on failure (see ``last_error()``)."""

def symbol_select(symbol: str, enable: bool = True, /) -> bool:
    """Show (``enable`` true, the default) or hide a symbol in Market Watch.

    Returns True on success; False on failure (see ``last_error()``).
    """

def market_book_add(symbol: str, /) -> bool | None:
    """Subscribe to a symbol's Depth of Market.

    Returns True on success, False when the Terminal refuses, None when
    the argument is rejected (see ``last_error()``).
    """

def market_book_release(symbol: str, /) -> bool | None:
    """Cancel a Depth of Market subscription.

    Returns True on success, False when the Terminal refuses, None when
    the argument is rejected (see ``last_error()``).
    """

def market_book_get(symbol: str, /) -> tuple[BookInfo, ...] | None:
    """A subscribed symbol's Depth of Market, a tuple of ``BookInfo``;
    None on failure (see ``last_error()``).

    ``quorvane.market_book_get`` returns the tuple with a ``record_type``
    attribute (``BookInfo``), so that ``quorvane.frames`` gives an
    empty result its columns too.
    """

# ---- Margin and profit -----------------------------------------------------------

def order_calc_margin(action: _Integer, symbol: str, volume: _Real, price: _Real, /) -> float | None:
    """The margin ``volume`` lots of ``symbol`` opened at ``price`` need,
    in the account currency.

    ``action`` is ``OrderType.BUY`` or ``OrderType.SELL`` (or a pending
    kind of that side). Returns None on failure (see ``last_error()``).
    """

def order_calc_profit(
    action: _Integer, symbol: str, volume: _Real, price_open: _Real, price_close: _Real, /
) -> float | None:
    """The profit of ``volume`` lots of ``symbol`` opened at ``price_open``
    and closed at ``price_close``, in the account currency.

    ``action`` is ``OrderType.BUY`` or ``OrderType.SELL``. Returns None on
    failure (see ``last_error()``).
    """

# ---- Positions and orders ----------------------------------------------------------

def positions_total() -> int | None:
    """The number of open positions; None on failure (see ``last_error()``)."""

@overload
def positions_get() -> tuple[TradePosition, ...] | None:
    """The open positions: all, or those of one ``symbol``, one ``ticket``
    or a ``group`` of symbols (name patterns as for ``symbols_get``).

    Give at most one filter; ``ticket`` wins over ``symbol``, ``symbol``
    over ``group``. Returns a tuple of ``TradePosition`` (empty when none
    match); None on failure (see ``last_error()``).
    ``quorvane.positions_get`` returns the tuple with a ``record_type``
    attribute (``TradePosition``), so that ``quorvane.frames`` gives an
    empty result its columns too.
    """

@overload
def positions_get(*, symbol: str) -> tuple[TradePosition, ...] | None: ...
@overload
def positions_get(*, ticket: _Integer) -> tuple[TradePosition, ...] | None: ...
@overload
def positions_get(*, group: str) -> tuple[TradePosition, ...] | None: ...
def orders_total() -> int | None:
    """The number of active pending orders; None on failure (see ``last_error()``)."""

@overload
def orders_get() -> tuple[TradeOrder, ...] | None:
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

@overload
def orders_get(*, symbol: str) -> tuple[TradeOrder, ...] | None: ...
@overload
def orders_get(*, ticket: _Integer) -> tuple[TradeOrder, ...] | None: ...
@overload
def orders_get(*, group: str) -> tuple[TradeOrder, ...] | None: ...

# ---- Trade history --------------------------------------------------------------------

def history_orders_total(date_from: _Date, date_to: _Date, /) -> int | None:
    """The number of orders in the history from ``date_from`` to ``date_to``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns None on failure (see ``last_error()``).
    """

@overload
def history_orders_get(date_from: _Date, date_to: _Date, /, *, group: str = ...) -> tuple[TradeOrder, ...] | None:
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

@overload
def history_orders_get(*, ticket: _Integer) -> tuple[TradeOrder, ...] | None: ...
@overload
def history_orders_get(*, position: _Integer) -> tuple[TradeOrder, ...] | None: ...
def history_deals_total(date_from: _Date, date_to: _Date, /) -> int | None:
    """The number of deals in the history from ``date_from`` to ``date_to``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns None on failure (see ``last_error()``).
    """

@overload
def history_deals_get(date_from: _Date, date_to: _Date, /, *, group: str = ...) -> tuple[TradeDeal, ...] | None:
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

@overload
def history_deals_get(*, ticket: _Integer) -> tuple[TradeDeal, ...] | None: ...
@overload
def history_deals_get(*, position: _Integer) -> tuple[TradeDeal, ...] | None: ...

# ---- Trading ----------------------------------------------------------------------------

@overload
def order_check(request: TradeRequestDict, /) -> OrderCheckResult | None:
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

@overload
def order_check(
    *,
    action: _Integer,
    symbol: str = ...,
    volume: _Real = ...,
    type: _Integer = ...,
    price: _Real = ...,
    stoplimit: _Real = ...,
    sl: _Real = ...,
    tp: _Real = ...,
    deviation: _Integer = ...,
    type_filling: _Integer = ...,
    type_time: _Integer = ...,
    expiration: _Integer = ...,
    magic: _Integer = ...,
    order: _Integer = ...,
    position: _Integer = ...,
    position_by: _Integer = ...,
    comment: str = ...,
) -> OrderCheckResult | None: ...
@overload
def order_send(request: TradeRequestDict, /) -> OrderSendResult | None:
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

@overload
def order_send(
    *,
    action: _Integer,
    symbol: str = ...,
    volume: _Real = ...,
    type: _Integer = ...,
    price: _Real = ...,
    stoplimit: _Real = ...,
    sl: _Real = ...,
    tp: _Real = ...,
    deviation: _Integer = ...,
    type_filling: _Integer = ...,
    type_time: _Integer = ...,
    expiration: _Integer = ...,
    magic: _Integer = ...,
    order: _Integer = ...,
    position: _Integer = ...,
    position_by: _Integer = ...,
    comment: str = ...,
) -> OrderSendResult | None: ...

# ---- Private ------------------------------------------------------------------------

class _Installation(TypedDict):
    executable: str
    endpoint_name: str
    endpoint: str
    pid_file: str
    data_folder: str

def _installation(executable: str, /) -> _Installation:
    """Private to the package and its tests: the names of the Terminal
    installation whose executable is ``executable``, derived as the module
    connects to it and as that Terminal names itself.

    ``executable`` is the path the names derive from (links resolved),
    ``endpoint_name`` and ``endpoint`` where a running Terminal listens (a
    socket, or on Windows a named pipe), ``pid_file`` the file it holds while
    it runs, and ``data_folder`` its folder under the roaming data folder
    ("" when there is none). Raises ``ValueError`` for an empty path or one
    longer than 260 units, ``OSError`` when there is no safe endpoint
    folder.
    """
