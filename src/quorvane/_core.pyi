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
from typing import Any, Callable, Iterator, Literal, TypedDict, overload

import numpy as np
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

# The named tuples (described in _records.pyi, held by this module).
from ._records import (
    TradePosition as TradePosition,
    TradeOrder as TradeOrder,
    TradeDeal as TradeDeal,
    TradeRequest as TradeRequest,
    OrderSendResult as OrderSendResult,
    OrderCheckResult as OrderCheckResult,
    Tick as Tick,
    TerminalInfo as TerminalInfo,
    SymbolInfo as SymbolInfo,
    AccountInfo as AccountInfo,
    BookInfo as BookInfo,
)

# The arrays of ticks and bars: at run time plain NumPy structured arrays;
# here each field typed, so that ``bars["close"] - bars["open"]`` is an array
# of float64 to a type checker. A row is a ``numpy.void``. The forms are
# narrower than NumPy's own (a field name gives its dtype), hence the ignore.

class _TickArray(np.ndarray[tuple[int], np.dtype[np.void]]):
    @overload  # type: ignore[override, unused-ignore]
    def __getitem__(self, key: Literal["time", "time_msc"], /) -> NDArray[np.int64]: ...
    @overload
    def __getitem__(self, key: Literal["bid", "ask", "last", "volume_real"], /) -> NDArray[np.float64]: ...
    @overload
    def __getitem__(self, key: Literal["volume"], /) -> NDArray[np.uint64]: ...
    @overload
    def __getitem__(self, key: Literal["flags"], /) -> NDArray[np.uint32]: ...
    @overload
    def __getitem__(self, key: int | np.integer[Any], /) -> np.void: ...
    @overload
    def __getitem__(self, key: slice | NDArray[np.bool_] | NDArray[np.integer[Any]] | list[int], /) -> _TickArray: ...
    @overload
    def __getitem__(self, key: Any, /) -> Any: ...
    def __iter__(self) -> Iterator[np.void]: ...

class _RateArray(np.ndarray[tuple[int], np.dtype[np.void]]):
    @overload  # type: ignore[override, unused-ignore]
    def __getitem__(self, key: Literal["time"], /) -> NDArray[np.int64]: ...
    @overload
    def __getitem__(self, key: Literal["open", "high", "low", "close"], /) -> NDArray[np.float64]: ...
    @overload
    def __getitem__(self, key: Literal["tick_volume", "real_volume"], /) -> NDArray[np.uint64]: ...
    @overload
    def __getitem__(self, key: Literal["spread"], /) -> NDArray[np.int32]: ...
    @overload
    def __getitem__(self, key: int | np.integer[Any], /) -> np.void: ...
    @overload
    def __getitem__(self, key: slice | NDArray[np.bool_] | NDArray[np.integer[Any]] | list[int], /) -> _RateArray: ...
    @overload
    def __getitem__(self, key: Any, /) -> Any: ...
    def __iter__(self) -> Iterator[np.void]: ...

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
    """Establish connection to Quorvane terminal

    Connect to a Terminal, starting it when it is not running.

    ``path`` is the Terminal's executable (``quorvane.terminal_path()``
    gives the bundled one); without it (or with ``""``) an installed
    Terminal is looked for. ``login``, ``password`` and ``server`` log in to
    that account on the way (0 and ``""`` leave them out). ``timeout``
    bounds the whole call, in milliseconds (0: 60000): starting the
    Terminal and waiting for its endpoint, connecting, the handshake, the
    login and waiting for it to become ready. ``portable`` starts the
    Terminal in portable mode. Any previous connection is closed first.

    Returns True once the Terminal is ready; False on failure, with the
    reason in ``last_error()``: -10005 when the Terminal does not answer in
    time (stopped or hung); -10003 with the Terminal's exit status and the
    last lines it wrote to its standard error when a Terminal this call
    started exits instead.
    """

def login(login: _Integer, password: str = "", server: str = "", *, timeout: _Integer = 0) -> bool:
    """Log in to specific account

    Log the connected Terminal in to another account.

    ``login`` is the account number; ``password`` and ``server`` may be
    left empty when the Terminal remembers them. ``timeout`` is how long to
    wait for the Terminal to become ready, in milliseconds (0: 60000).

    Returns True once logged in; False on failure (see ``last_error()``).
    """

def shutdown() -> bool:
    """Disconnect from Quorvane terminal

    Close the connection to the Terminal; the Terminal keeps running.

    Always returns True.
    """

def last_error() -> tuple[int, str]:
    """Return last error code and description

    The outcome of the last call: ``(code, message)``.

    ``(1, "Success")`` after a call that succeeded; a negative code after a
    failure: -2 for rejected arguments, -1 to -7 for the Terminal's refusals,
    -10000 to -10005 for a broken or missing connection. Does not change
    the outcome it reports.
    """

def version() -> tuple[int, int, str]:
    """Get Quorvane terminal version

    The Terminal's ``(version, build, release_date)``.

    Returns ``(0, 0, "")`` on failure (see ``last_error()``).
    """

# ---- Terminal and account ----------------------------------------------------

def terminal_info() -> TerminalInfo | None:
    """Get parameters of Quorvane terminal

    The Terminal's state and settings; None on failure (see ``last_error()``)."""

def account_info() -> AccountInfo | None:
    """Return information on the current account

    The current account, its money in the account currency; None on
    failure (see ``last_error()``)."""

# ---- Price history -----------------------------------------------------------

def copy_ticks_from(
    symbol: str, date_from: _Date, count: _Integer, flags: _Integer, /
) -> _TickArray | None:
    """Get ticks starting from specific date

    Up to ``count`` ticks of ``symbol`` from ``date_from`` on, oldest first.

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
) -> _TickArray | None:
    """Get ticks from specified period

    The ticks of ``symbol`` from ``date_from`` to ``date_to``, both included.

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
) -> _RateArray | None:
    """Get bars starting from specific date

    The ``count`` newest bars of ``symbol`` opening at or before ``date_from``.

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
) -> _RateArray | None:
    """Get bars starting from specified position

    Up to ``count`` bars of ``symbol``, counted back from bar ``start_pos``.

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
) -> _RateArray | None:
    """Get bars from specified period

    The bars of ``symbol`` opening from ``date_from`` to ``date_to``, both included.

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
    """Return the number of all available symbols

    The number of symbols in the catalogue; None on failure (see ``last_error()``)."""

def symbols_get(group: str = "") -> tuple[SymbolInfo, ...] | Literal[False] | None:
    """Return all available symbols or filtred by group

    Every symbol, or those whose names match ``group``.

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
    """Return full information for specified symbol

    Everything about one symbol; None on failure (see ``last_error()``)."""

def symbol_info_tick(symbol: str, /) -> Tick | None:
    """Return current prices of specified symbol

    The latest prices of a symbol; None on failure (see ``last_error()``)."""

def symbol_select(symbol: str, enable: bool = True, /) -> bool:
    """Select symbol in Market Watch window or remove symbol from the window

    Show (``enable`` true, the default) or hide a symbol in Market Watch.

    Returns True on success; False on failure (see ``last_error()``).
    """

def market_book_add(symbol: str, /) -> bool | None:
    """Opens Depth of Market for a selected symbol

    Subscribe to a symbol's Depth of Market.

    Returns True on success, False when the Terminal refuses, None when
    the argument is rejected (see ``last_error()``).
    """

def market_book_release(symbol: str, /) -> bool | None:
    """Closes Depth of Market for a selected symbol

    Cancel a Depth of Market subscription.

    Returns True on success, False when the Terminal refuses, None when
    the argument is rejected (see ``last_error()``).
    """

def market_book_get(symbol: str, /) -> tuple[BookInfo, ...] | None:
    """Returns Depth of Market structures of a specified symbol

    A subscribed symbol's Depth of Market, a tuple of ``BookInfo``;
    None on failure (see ``last_error()``).

    ``quorvane.market_book_get`` returns the tuple with a ``record_type``
    attribute (``BookInfo``), so that ``quorvane.frames`` gives an
    empty result its columns too.
    """

# ---- Margin and profit -----------------------------------------------------------

def order_calc_margin(action: _Integer, symbol: str, volume: _Real, price: _Real, /) -> float | None:
    """Calculate margin required for specified order

    The margin ``volume`` lots of ``symbol`` opened at ``price`` need,
    in the account currency.

    ``action`` is ``OrderType.BUY`` or ``OrderType.SELL`` (or a pending
    kind of that side). Returns None on failure (see ``last_error()``).
    """

def order_calc_profit(
    action: _Integer, symbol: str, volume: _Real, price_open: _Real, price_close: _Real, /
) -> float | None:
    """Calculate profit for the current account in the current market conditions based on parameters passed

    The profit of ``volume`` lots of ``symbol`` opened at ``price_open``
    and closed at ``price_close``, in the account currency.

    ``action`` is ``OrderType.BUY`` or ``OrderType.SELL``. Returns None on
    failure (see ``last_error()``).
    """

# ---- Positions and orders ----------------------------------------------------------

def positions_total() -> int | None:
    """Return the number of open positions

    The number of open positions; None on failure (see ``last_error()``)."""

@overload
def positions_get() -> tuple[TradePosition, ...] | None:
    """Return all open positions, can be filtered by symbol, group or ticket

    The open positions: all, or those of one ``symbol``, one ``ticket``
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
    """Return the number of orders

    The number of active pending orders; None on failure (see ``last_error()``)."""

@overload
def orders_get() -> tuple[TradeOrder, ...] | None:
    """Return all orders, can be filtered by symbol, group or ticket

    The active pending orders: all, or those of one ``symbol``, one
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
    """Return the number of orders in selected range from history

    The number of orders in the history from ``date_from`` to ``date_to``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns None on failure (see ``last_error()``).
    """

@overload
def history_orders_get(date_from: _Date, date_to: _Date, /, *, group: str = ...) -> tuple[TradeOrder, ...] | None:
    """Return orders in selected range from history or filtered by position id, ticket

    Orders of the history: those from ``date_from`` to ``date_to``
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
    """Return the number of deals in selected range from history

    The number of deals in the history from ``date_from`` to ``date_to``.

    The dates are seconds since 1970-01-01 UTC (int or float) or
    ``datetime`` objects. Returns None on failure (see ``last_error()``).
    """

@overload
def history_deals_get(date_from: _Date, date_to: _Date, /, *, group: str = ...) -> tuple[TradeDeal, ...] | None:
    """Return deals in selected range from history or filtered by position id, ticket

    Deals of the history: those from ``date_from`` to ``date_to``
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
    """Check if there are enough funds to execute required trading operation

    Check a trade request without sending it: the margin it needs and
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
    """Send trading requests to server

    Send a trade request to the trade server.

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

def _in_process(folder: str, args: list[str] | tuple[str, ...], /) -> bool:
    """Private to the package's backtests and their tests: starts a Terminal
    in this process and connects the module to it, closing any connection
    it had (an earlier in-process Terminal ends), as ``initialize`` does.

    The Terminal is built as ``terminal64`` builds its own, from ``args``
    (its command-line options, such as ``["--clock", "2025-01-06T00:00:00Z",
    "--step"]``) and a portable installation kept whole in ``folder``:
    ``config/terminal.ini`` with its settings and accounts, ``QSL/custom``
    with imported symbols, the trading store. It serves no endpoint: the
    module's calls reach it by function call, and every function works on
    it as on any Terminal. ``shutdown()`` (or another ``initialize`` or
    ``_in_process``) ends it and closes its store.

    True once it is ready. False when it cannot be started, with
    ``last_error()`` giving -10003 and the message terminal64 would print
    before exiting with the code named (2: an unknown option or a malformed
    setting; 1: its folders or its trading store), or -2 for arguments that
    are not a folder and a list of str.
    """

_Funds: TypeAlias = tuple[float, float, float]

def _step(
    target_ms: _Integer, timeframe: _Integer, symbols: tuple[str, ...] | list[str], before: bool, after: bool, /
) -> tuple[int, int, tuple[_RateArray, ...], _Funds | None, _Funds | None] | None:
    """Private to the backtest's driver: one step of a Terminal started
    with ``--step``, in one exchange on the module's own connection (the
    Terminal's command 901), taking its turn like any call.

    Moves the Terminal's clock to ``target_ms`` (0: it stays), walking the
    account up to it, and returns ``(now_ms, next_ms, bars, before,
    after)``: the clock after the step; the time of the earliest tick after
    it among ``symbols`` (all the Terminal's symbols when none is named; -1
    when no tick follows); for each of ``symbols`` in order, the bars of
    ``timeframe`` that closed during the step (those whose last millisecond
    lies after the clock before the step and at or before ``now_ms``:
    normally one, none, or several when the step spans several; the bar in
    progress left out) as the array ``copy_rates_*`` returns; and, when the
    ``before`` and ``after`` flags ask for them, the account's ``(balance,
    equity, margin)`` as ``account_info()`` reported them just before the
    step and reports them just after it (else None). Taking them opens the
    account at that time, as ``account_info()`` would.

    None on failure (see ``last_error()``): the Terminal's -2 for a target
    before its clock, a malformed request or an unknown timeframe, -4 for
    an unknown symbol, -6 when funds are asked for and it is logged in to
    no account, -7 when its clock is not stepped, -3 when the bars would not
    fit one response.
    """

def _drive(
    on_bar: Callable[[str, _RateArray], object],
    timeframe: _Integer,
    symbols: tuple[str, ...] | list[str],
    lookback: _Integer,
    seeds: tuple[NDArray[Any], ...],
    now_ms: _Integer,
    end_ms: _Integer,
    spare: _Integer,
    progress: Callable[[int], int] | None = None,
    /,
) -> tuple[int, bytearray | None, tuple[bytearray, ...] | None] | None:
    """Private to the backtest's driver: the step loop of a Terminal started
    with ``--step`` whose clock stands at ``now_ms``, bar by bar to
    ``end_ms``, each step one exchange on the module's own connection (the
    Terminal's command 901 to the next bar) taking its turn like any call,
    none while ``on_bar`` runs.

    Each step moves the clock to the last millisecond of the next bar of
    ``timeframe`` with a tick of ``symbols`` (one name at least), as long
    as that lies at or before ``end_ms``, and then calls ``on_bar(symbol,
    bars)`` for each symbol, in order, whose newest closed bar is that bar:
    ``bars`` its last ``lookback`` (1 to 1 000 000) closed bars, a
    read-only view of a buffer that keeps them, from ``seeds`` (one array
    per symbol, as ``copy_rates_from_pos`` returns them, the bars closed at
    ``now_ms``) on, and that never changes afterwards. A buffer holds
    ``spare`` rows beyond the lookback (at least the lookback again) before
    the bars still needed move to a new one.

    ``progress``, if given, is called with the clock after the first step's
    ``on_bar`` calls, and then after those of the first step whose clock
    has reached the clock (an integer) the last call returned.

    Returns ``(clock, rows, bars)`` once no bar is left: the clock after the
    last step, the equity rows as bytes of ``EQUITY_DTYPE``, one per step
    (its clock, then the account's balance, equity and margin after its
    ``on_bar`` calls), and per symbol the bytes of every bar the steps
    brought, oldest first (None when there was no memory to keep them). A
    step that fails ends the loop with ``(clock, None, None)``, the clock it
    started from, and ``last_error()`` saying why (as
    for ``_step``; -10002 also for a reply whose clock goes back or past
    ``end_ms``). An exception raised by ``on_bar`` (or by a signal handler,
    run between steps: Ctrl+C), or by ``progress`` propagates as it was
    raised. None, with (-2, "Invalid arguments"), for arguments not as
    described.
    """

def _ticks_ahead(symbol: str, from_ms: _Integer, to_ms: _Integer, /) -> _TickArray | None:
    """Private to the tick backtest's driver: every tick of ``symbol`` from
    ``from_ms`` to ``to_ms`` (ms, both included) of a Terminal started with
    ``--step``, read ahead of its clock (the Terminal's command 902), as the
    array ``copy_ticks_range`` returns, taking its turn like any call.

    None on failure (see ``last_error()``): -7 when the Terminal's clock is
    not stepped (a live market shows no tick before its time), -4 for an
    unknown symbol, -3 for more ticks than one response holds, -2 for
    malformed arguments.
    """

def _lazy_clock(target_ms: _Integer, symbols: tuple[str, ...] = ..., /) -> bool:
    """Private to the tick backtest's driver: the time (ms) a stepped
    clock is to stand at before the module's next request, 0 for none.
    The next request, whatever it is (but ``_step``, which moves the clock
    itself), first moves the clock there (the Terminal's command 900, naming
    ``symbols``, the names last given), and answers that move's failure
    instead of its own should it fail. Sends nothing itself and takes no
    turn, and leaves ``last_error()`` as it was: the driver calls it once a
    tick. True; TypeError for arguments that are not a target >= 0 and a
    tuple of names.
    """

def _records_call(native: Callable[..., Any], records: type[tuple[Any, ...]], /) -> Callable[..., Any]:
    """Private to the package: a function that calls ``native`` with the
    arguments it is given, passed on as they came, and returns what it
    returns, but a tuple, which comes back as a ``records`` (a subclass of
    tuple) holding the same items. It takes no turn of its own, keeps the
    attributes set on it (``functools.update_wrapper``'s), is described by
    ``help()`` and ``inspect.signature`` as the function it wraps, and
    pickles by its name. TypeError for arguments that are not a callable and
    a subclass of tuple.
    """
