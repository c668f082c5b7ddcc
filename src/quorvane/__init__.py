"""Python connector to the Quorvane trading Terminal.

The functions and named-tuple types come from the native module
``quorvane._core``; see the README for a tour. ``terminal_path()`` gives the
bundled simulated Terminal, which ``initialize(terminal_path())`` starts.

Functions report failure by their return value (None, or False for those
that answer a truth value) and ``last_error()`` tells why; they never raise
for a failed call. On top of the native functions, ``order_check`` and
``order_send`` refuse a request with an unknown key (``TypeError``), and
the ``_get`` functions name their record type (``result.record_type``).
The enumerations of ``quorvane.constants`` are available here too.
"""

import sys as _sys
from importlib import import_module as _import_module
from typing import TYPE_CHECKING

from . import _core
from ._core import (
    TradePosition, TradeOrder, TradeDeal, TradeRequest, OrderSendResult, OrderCheckResult, Tick,
    TerminalInfo, SymbolInfo, AccountInfo, BookInfo,
)
from ._request import TradeRequestDict

if TYPE_CHECKING:
    from ._core import (
        initialize, login, shutdown, last_error, version, terminal_info, account_info,
        copy_ticks_from, copy_ticks_range, copy_rates_from, copy_rates_from_pos, copy_rates_range,
        symbols_total, symbols_get, symbol_info, symbol_info_tick, symbol_select, market_book_add,
        market_book_release, market_book_get, order_calc_margin, order_calc_profit, positions_total,
        positions_get, orders_total, orders_get, history_orders_total, history_orders_get,
        history_deals_total, history_deals_get, order_check, order_send,
    )
    from .constants import (
        Timeframe, CopyTicks, TickFlag, AccountTradeMode, AccountMarginMode, AccountStopoutMode,
        ReadyState, OrderType, SymbolCalcMode, SymbolTradeMode, SymbolTradeExecution,
        SymbolSwapMode, DayOfWeek, SymbolChartMode, SymbolOrderGTCMode, SymbolOptionMode,
        SymbolOptionRight, BookType, SymbolFillingFlags, SymbolExpirationFlags, SymbolOrderFlags,
        TradeAction, OrderFilling, OrderTime, OrderState, DealType, DealEntry, DealReason,
        OrderReason, PositionType, PositionReason, TradeRetcode,
    )

    from ._session import session

    __version__: str
else:
    # The same functions with signatures and documentation for help() and
    # IDEs; each hands its arguments to the native function (what the front
    # adds, to the trade requests and the _get results, is in _api.py).
    from ._api import (
        initialize, login, shutdown, last_error, version, terminal_info, account_info,
        copy_ticks_from, copy_ticks_range, copy_rates_from, copy_rates_from_pos, copy_rates_range,
        symbols_total, symbols_get, symbol_info, symbol_info_tick, symbol_select, market_book_add,
        market_book_release, market_book_get, order_calc_margin, order_calc_profit, positions_total,
        positions_get, orders_total, orders_get, history_orders_total, history_orders_get,
        history_deals_total, history_deals_get, order_check, order_send,
    )

__all__ = [
    "initialize", "login", "shutdown", "last_error", "version", "terminal_info", "account_info",
    "copy_ticks_from", "copy_ticks_range", "copy_rates_from", "copy_rates_from_pos",
    "copy_rates_range", "symbols_total", "symbols_get", "symbol_info", "symbol_info_tick",
    "symbol_select", "market_book_add", "market_book_release", "market_book_get",
    "order_calc_margin", "order_calc_profit", "positions_total", "positions_get", "orders_total",
    "orders_get", "history_orders_total", "history_orders_get", "history_deals_total",
    "history_deals_get", "order_check", "order_send",
    "TradePosition", "TradeOrder", "TradeDeal", "TradeRequest", "OrderSendResult",
    "OrderCheckResult", "Tick", "TerminalInfo", "SymbolInfo", "AccountInfo", "BookInfo", "TradeRequestDict",
    "Timeframe", "CopyTicks", "TickFlag", "AccountTradeMode", "AccountMarginMode",
    "AccountStopoutMode", "ReadyState", "OrderType", "SymbolCalcMode", "SymbolTradeMode",
    "SymbolTradeExecution", "SymbolSwapMode", "DayOfWeek", "SymbolChartMode", "SymbolOrderGTCMode",
    "SymbolOptionMode", "SymbolOptionRight", "BookType", "SymbolFillingFlags",
    "SymbolExpirationFlags", "SymbolOrderFlags", "TradeAction", "OrderFilling", "OrderTime",
    "OrderState", "DealType", "DealEntry", "DealReason", "OrderReason", "PositionType",
    "PositionReason", "TradeRetcode",
    "terminal_path", "session",
]

if not TYPE_CHECKING:
    # Loaded on first use, so that importing the package costs little more
    # than the native module: the enumerations (many enum classes) and the
    # installed version (package metadata). Hidden from type checkers, which
    # would otherwise accept any attribute of the package.

    def __getattr__(name):
        if name == "__version__":
            value = _installed_version()
        elif name == "session":  # with quorvane.aio and quorvane.live
            value = _import_module("._session", __name__).session
        else:
            # Not `from . import constants`: that asks this function for
            # `constants` before importing it.
            constants = _import_module(".constants", __name__)
            if name == "constants":
                return constants
            if name not in constants.__all__:
                raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
            value = getattr(constants, name)
        globals()[name] = value
        return value

    def __dir__():
        return sorted(set(globals()) | set(__all__) | {"__version__"})


def _installed_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quorvane")
    except metadata.PackageNotFoundError:  # running from a source tree
        return "0+unknown"


def terminal_path() -> str:
    """Path of the bundled ``terminal64`` program (``terminal64.exe`` on Windows)."""
    from importlib import resources

    name = "terminal64.exe" if _sys.platform == "win32" else "terminal64"
    return str(resources.files(__name__) / "bin" / name)
