"""A raw-socket client of the bundled Terminal, for tests and benchmarks.

It derives the endpoint exactly as the module does (the resolved path of the
executable, lower-cased, UTF-16LE, SHA-256, upper-case hex after
"QVN.Terminal.", in $XDG_RUNTIME_DIR or /tmp/qvn-<uid>, or as a named pipe
on Windows), sends request frames
and takes reply frames apart, and decodes the records with numpy dtypes that
match the packed wire layouts.
"""

from __future__ import annotations

import os
import socket
import struct
import time
from dataclasses import dataclass

import numpy as np

# ---- commands and results ----------------------------------------------------

VERSION = 1
HANDSHAKE = 4
LOGIN = 5
TICKS_FROM = 104
TICKS_RANGE = 105
RATES_FROM = 106
RATES_RANGE = 107
RATES_FROM_POS = 108
READY_POLL = 109
POSITIONS_TOTAL = 120
POSITIONS_GET = 121
POSITIONS_BY_SYMBOL = 122
POSITION_BY_TICKET = 123
ORDERS_TOTAL = 130
ORDERS_GET = 131
ORDERS_BY_SYMBOL = 132
ORDER_BY_TICKET = 133
HISTORY_ORDERS_TOTAL = 140
HISTORY_ORDERS_RANGE = 141
HISTORY_ORDERS_BY_POSITION = 142
HISTORY_ORDER_BY_TICKET = 143
HISTORY_DEALS_TOTAL = 150
HISTORY_DEALS_RANGE = 151
HISTORY_DEALS_BY_POSITION = 152
HISTORY_DEAL_BY_TICKET = 153
ORDER_CHECK = 160
ORDER_SEND = 161
ORDER_CALC_MARGIN = 162
ORDER_CALC_PROFIT = 163
SYMBOL_INFO = 170
SYMBOL_SELECT = 171
SYMBOL_INFO_TICK = 172
SYMBOLS_TOTAL = 173
SYMBOLS_GET = 174
SYMBOLS_GET_GROUP = 175
TERMINAL_INFO = 180
ACCOUNT_INFO = 190
BOOK_ADD = 191
BOOK_RELEASE = 192
BOOK_GET = 193

SUCCESS = 1
FAILED = -1
INVALID_PARAMS = -2
OUT_OF_MEMORY = -3
NOT_FOUND = -4
INCOMPATIBLE_VERSION = -5
AUTHORIZATION_FAILED = -6
UNSUPPORTED = -7
AUTO_TRADING_DISABLED = -8

# ---- packed records ----------------------------------------------------------

TICK_DTYPE = np.dtype(
    {
        "names": ["time", "bid", "ask", "last", "volume", "time_msc", "flags", "volume_real"],
        "formats": ["<i8", "<f8", "<f8", "<f8", "<u8", "<i8", "<u4", "<f8"],
        "offsets": [0, 8, 16, 24, 32, 40, 48, 52],
        "itemsize": 60,
    }
)
BAR_DTYPE = np.dtype(
    {
        "names": ["time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume"],
        "formats": ["<i8", "<f8", "<f8", "<f8", "<f8", "<u8", "<i4", "<u8"],
        "offsets": [0, 8, 16, 24, 32, 40, 48, 52],
        "itemsize": 60,
    }
)

# (field, struct code) in wire order; "T260" is a fixed UTF-16 text of 260 units.
TERMINAL_INFO_FIELDS = [
    ("build", "I"), ("community_account", "B"), ("community_connection", "B"), ("connected", "B"),
    ("dlls_allowed", "B"), ("trade_allowed", "B"), ("email_enabled", "B"), ("ftp_enabled", "B"),
    ("notifications_enabled", "B"), ("maxbars", "I"), ("bvid", "B"), ("codepage", "i"),
    ("ping_last", "i"), ("community_balance", "d"), ("retransmission", "d"),
    ("company", "T260"), ("name", "T260"), ("language", "T260"), ("path", "T260"),
    ("data_path", "T260"), ("commondata_path", "T260"), ("tradeapi_disabled", "B"),
]
ACCOUNT_INFO_FIELDS = [
    ("login", "Q"), ("trade_mode", "I"), ("leverage", "I"), ("limit_orders", "I"),
    ("margin_so_mode", "I"), ("trade_allowed", "B"), ("trade_expert", "B"), ("margin_mode", "I"),
    ("currency_digits", "I"), ("fifo_close", "B"), ("balance", "d"), ("credit", "d"), ("profit", "d"),
    ("equity", "d"), ("margin", "d"), ("margin_free", "d"), ("margin_level", "d"),
    ("margin_so_call", "d"), ("margin_so_so", "d"), ("margin_initial", "d"),
    ("margin_maintenance", "d"), ("assets", "d"), ("liabilities", "d"), ("commission_blocked", "d"),
    ("name", "T128"), ("server", "T64"), ("currency", "T32"), ("company", "T128"),
]

# The symbol record in wire order: `name` comes last.
SYMBOL_FIELDS = [
    ("custom", "B"), ("chart_mode", "I"), ("select", "B"), ("visible", "B"), ("session_deals", "Q"),
    ("session_buy_orders", "Q"), ("session_sell_orders", "Q"), ("volume", "Q"), ("volumehigh", "Q"),
    ("volumelow", "Q"), ("time", "q"), ("digits", "I"), ("spread", "i"), ("spread_float", "B"),
    ("ticks_bookdepth", "I"), ("trade_calc_mode", "I"), ("trade_mode", "I"), ("start_time", "q"),
    ("expiration_time", "q"), ("trade_stops_level", "i"), ("trade_freeze_level", "i"), ("trade_exemode", "I"),
    ("swap_mode", "I"), ("swap_rollover3days", "I"), ("margin_hedged_use_leg", "B"), ("expiration_mode", "i"),
    ("filling_mode", "i"), ("order_mode", "i"), ("order_gtc_mode", "I"), ("option_mode", "I"),
    ("option_right", "I"),
] + [(name, "d") for name in (
    "bid bidhigh bidlow ask askhigh asklow last lasthigh lastlow volume_real volumehigh_real volumelow_real "
    "option_strike point trade_tick_value trade_tick_value_profit trade_tick_value_loss trade_tick_size "
    "trade_contract_size trade_accrued_interest trade_face_value trade_liquidity_rate volume_min volume_max "
    "volume_step volume_limit swap_long swap_short margin_initial margin_maintenance session_volume "
    "session_turnover session_interest session_buy_orders_volume session_sell_orders_volume session_open "
    "session_close session_aw session_price_settlement session_price_limit_min session_price_limit_max "
    "margin_hedged price_change price_volatility price_theoretical price_greeks_delta price_greeks_theta "
    "price_greeks_gamma price_greeks_vega price_greeks_rho price_greeks_omega price_sensitivity"
).split()] + [
    ("basis", "T32"), ("category", "T64"), ("currency_base", "T16"), ("currency_profit", "T16"),
    ("currency_margin", "T16"), ("bank", "T256"), ("description", "T64"), ("exchange", "T64"),
    ("formula", "T256"), ("isin", "T16"), ("page", "T256"), ("path", "T128"), ("name", "T32"),
]
SYMBOL_SHORT_FIELDS = SYMBOL_FIELDS[:-1]
BOOK_DTYPE = np.dtype(
    {"names": ["type", "price", "volume", "volume_dbl"], "formats": ["<u4", "<f8", "<u8", "<f8"],
     "offsets": [0, 4, 12, 20], "itemsize": 28}
)

# Trading records, in wire order.
POSITION_FIELDS = [
    ("ticket", "Q"), ("time", "q"), ("time_msc", "q"), ("time_update", "q"), ("time_update_msc", "q"),
    ("type", "I"), ("magic", "Q"), ("identifier", "Q"), ("reason", "I"), ("volume", "d"), ("price_open", "d"),
    ("sl", "d"), ("tp", "d"), ("price_current", "d"), ("reserved", "Q"), ("swap", "d"), ("profit", "d"),
    ("symbol", "T32"), ("comment", "T32"), ("external_id", "T32"),
]
ORDER_FIELDS = [
    ("ticket", "Q"), ("time_setup", "q"), ("time_setup_msc", "q"), ("time_done", "q"), ("time_done_msc", "q"),
    ("time_expiration", "q"), ("type", "I"), ("type_time", "I"), ("type_filling", "I"), ("state", "I"),
    ("magic", "Q"), ("position_id", "Q"), ("position_by_id", "Q"), ("reason", "I"), ("volume_initial", "d"),
    ("volume_current", "d"), ("price_open", "d"), ("sl", "d"), ("tp", "d"), ("price_current", "d"),
    ("price_stoplimit", "d"), ("symbol", "T32"), ("comment", "T32"), ("external_id", "T32"),
]
DEAL_FIELDS = [
    ("ticket", "Q"), ("order", "Q"), ("time", "q"), ("time_msc", "q"), ("type", "I"), ("entry", "I"),
    ("magic", "Q"), ("position_id", "Q"), ("reason", "I"), ("volume", "d"), ("price", "d"), ("commission", "d"),
    ("swap", "d"), ("profit", "d"), ("fee", "d"), ("symbol", "T32"), ("comment", "T32"), ("external_id", "T32"),
]
REQUEST_FIELDS = [
    ("action", "I"), ("magic", "Q"), ("order", "Q"), ("symbol", "T32"), ("volume", "d"), ("price", "d"),
    ("stoplimit", "d"), ("sl", "d"), ("tp", "d"), ("deviation", "Q"), ("type", "I"), ("type_filling", "I"),
    ("type_time", "I"), ("expiration", "q"), ("comment", "T32"), ("position", "Q"), ("position_by", "Q"),
]
CHECK_RESULT_FIELDS = [
    ("retcode", "I"), ("balance", "d"), ("equity", "d"), ("profit", "d"), ("margin", "d"), ("margin_free", "d"),
    ("margin_level", "d"), ("comment", "T100"),
]
SEND_RESULT_FIELDS = [
    ("retcode", "I"), ("deal", "Q"), ("order", "Q"), ("volume", "d"), ("price", "d"), ("bid", "d"), ("ask", "d"),
    ("comment", "T100"), ("request_id", "I"), ("retcode_external", "i"),
]


def encode_record(fields, values: dict) -> bytes:
    """Packs a record described by (name, code) rows; absent fields are 0."""
    out = bytearray()
    for name, code in fields:
        value = values.get(name, 0)
        if code.startswith("T"):
            units = int(code[1:])
            raw = (value or "").encode("utf-16-le")[: 2 * (units - 1)]
            out += raw + b"\0" * (2 * units - len(raw))
        else:
            out += struct.pack("<" + code, value)
    return bytes(out)


def decode_record(fields, data: bytes) -> dict:
    """Decodes a packed record described by (name, code) rows."""
    out = {}
    pos = 0
    for name, code in fields:
        if code.startswith("T"):
            units = int(code[1:])
            raw = data[pos : pos + 2 * units]
            text = raw.decode("utf-16-le")
            out[name] = text.split("\0", 1)[0]
            pos += 2 * units
        else:
            size = struct.calcsize("<" + code)
            (out[name],) = struct.unpack_from("<" + code, data, pos)
            pos += size
    if pos != len(data):
        raise ValueError(f"record is {len(data)} bytes, layout covers {pos}")
    return out


def record_size(fields) -> int:
    return sum(2 * int(c[1:]) if c.startswith("T") else struct.calcsize("<" + c) for _, c in fields)


# ---- encoding and endpoint naming: shared with the scripted fake ----------------

from fake_terminal import (  # noqa: E402
    endpoint_name, endpoint_path, i32, i64, path_digest, runtime_folder, u32, u64, wide,
)


def f64(x: float) -> bytes:
    return struct.pack("<d", x)
from fake_terminal import request as frame  # noqa: E402
from host import Stream  # noqa: E402


def data_folder_id(executable: str) -> str:
    """Name of the installation's data folder: 16 digest bytes in hex."""
    return path_digest(executable)[:16].hex().upper()


# ---- client ----------------------------------------------------------------------


@dataclass
class Reply:
    command: int
    result: int
    payload: bytes

    def u32(self) -> int:
        if len(self.payload) != 4:
            raise ValueError(f"expected one u32, got {len(self.payload)} bytes")
        return struct.unpack("<I", self.payload)[0]


class TerminalClient:
    def __init__(self, sock: Stream):
        self.sock = sock

    @classmethod
    def connect(cls, executable: str, timeout: float = 10.0) -> "TerminalClient":
        """Connects to the Terminal serving `executable`, polling until it
        listens or `timeout` seconds have passed."""
        path = endpoint_path(executable)
        deadline = time.monotonic() + timeout
        while True:
            try:
                return cls(Stream(path))
            except OSError:
                if time.monotonic() >= deadline:
                    raise
                time.sleep(0.02)

    def close(self) -> None:
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send_raw(self, data: bytes) -> None:
        self.sock.sendall(data)

    def recv_exact(self, n: int) -> bytes:
        view = bytearray(n)
        mv = memoryview(view)
        got = 0
        while got < n:
            k = self.sock.recv_into(mv[got:], n - got)
            if k == 0:
                raise ConnectionError(f"connection closed after {got} of {n} bytes")
            got += k
        return bytes(view)

    def recv_reply(self) -> Reply:
        (length,) = struct.unpack("<I", self.recv_exact(4))
        body = self.recv_exact(length)
        if length < 8:
            raise ValueError(f"reply of {length} bytes has no result code")
        command, result = struct.unpack_from("<Ii", body)
        return Reply(command, result, body[8:])

    def call(self, command: int, args: bytes = b"") -> Reply:
        self.send_raw(frame(command, args))
        reply = self.recv_reply()
        if reply.command != command:
            raise ValueError(f"reply echoes {reply.command}, not {command}")
        return reply

    # ---- commands ----

    def handshake(self, version: int = 3, client: str = "Python") -> Reply:
        return self.call(HANDSHAKE, u32(version) + wide(client))

    def login(self, login: int, password: str = "", server: str = "") -> int:
        reply = self.call(LOGIN, u32(0) + u64(login) + wide(password) + wide(server))
        assert reply.payload == b"", "a login reply carries the result alone"
        return reply.result

    def ready_state(self) -> int:
        reply = self.call(READY_POLL)
        assert reply.result == SUCCESS
        return reply.u32()

    def version(self) -> tuple[int, int, str]:
        reply = self.call(VERSION, u32(0))
        assert reply.result == SUCCESS, reply.result
        major, build, count = struct.unpack_from("<III", reply.payload)
        text = reply.payload[12:].decode("utf-16-le")
        assert len(text) == count
        return major, build, text

    def terminal_info(self) -> dict:
        reply = self.call(TERMINAL_INFO)
        assert reply.result == SUCCESS, reply.result
        return decode_record(TERMINAL_INFO_FIELDS, reply.payload)

    def account_info(self) -> dict:
        reply = self.call(ACCOUNT_INFO)
        assert reply.result == SUCCESS, reply.result
        return decode_record(ACCOUNT_INFO_FIELDS, reply.payload)

    def records(self, command: int, args: bytes, dtype: np.dtype):
        """Sends a history request; returns (result, array or None). The
        reply must be exactly the counted records."""
        reply = self.call(command, args)
        if reply.result < 0:
            assert reply.payload == b"", "a refused request carries the result alone"
            return reply.result, None
        (count,) = struct.unpack_from("<I", reply.payload)
        body = reply.payload[4:]
        assert len(body) == count * dtype.itemsize, (len(body), count)
        return reply.result, np.frombuffer(body, dtype=dtype)

    def ticks_from(self, symbol: str, from_ms: int, count: int, flags: int):
        return self.records(TICKS_FROM, wide(symbol) + i64(from_ms) + i32(count) + i32(flags), TICK_DTYPE)

    def ticks_range(self, symbol: str, from_ms: int, to_ms: int, flags: int):
        return self.records(TICKS_RANGE, wide(symbol) + i64(from_ms) + i64(to_ms) + i32(flags), TICK_DTYPE)

    def rates_from(self, symbol: str, timeframe: int, date_s: int, count: int):
        return self.records(RATES_FROM, wide(symbol) + i32(timeframe) + i64(date_s) + i32(count), BAR_DTYPE)

    def rates_range(self, symbol: str, timeframe: int, from_s: int, to_s: int):
        return self.records(RATES_RANGE, wide(symbol) + i32(timeframe) + i64(from_s) + i64(to_s), BAR_DTYPE)

    def rates_from_pos(self, symbol: str, timeframe: int, start_pos: int, count: int):
        return self.records(RATES_FROM_POS, wide(symbol) + i32(timeframe) + i32(start_pos) + i32(count), BAR_DTYPE)

    # ---- market data ----

    def status(self, command: int, args: bytes = b"") -> int:
        """Sends a request whose reply is the result code alone."""
        reply = self.call(command, args)
        assert reply.payload == b"", "a status reply carries the result alone"
        return reply.result

    def symbol_info(self, symbol: str, short: bool = False):
        """(result, record dict or None); `short` decodes the record of old builds."""
        reply = self.call(SYMBOL_INFO, wide(symbol))
        if reply.result < 0:
            assert reply.payload == b""
            return reply.result, None
        return reply.result, decode_record(SYMBOL_SHORT_FIELDS if short else SYMBOL_FIELDS, reply.payload)

    def symbols_total(self):
        reply = self.call(SYMBOLS_TOTAL)
        return reply.result, (reply.u32() if reply.result >= 0 else None)

    def symbols_get(self, group: str | None = None):
        """(result, list of record dicts or None)."""
        reply = self.call(SYMBOLS_GET) if group is None else self.call(SYMBOLS_GET_GROUP, wide(group))
        if reply.result < 0:
            assert reply.payload == b""
            return reply.result, None
        (count,) = struct.unpack_from("<I", reply.payload)
        size = record_size(SYMBOL_FIELDS)
        body = reply.payload[4:]
        assert len(body) == count * size, (len(body), count)
        return reply.result, [decode_record(SYMBOL_FIELDS, body[k * size : (k + 1) * size]) for k in range(count)]

    def symbol_select(self, symbol: str, enable: bool = True) -> int:
        return self.status(SYMBOL_SELECT, wide(symbol) + bytes([1 if enable else 0]))

    def symbol_info_tick(self, symbol: str):
        reply = self.call(SYMBOL_INFO_TICK, wide(symbol))
        if reply.result < 0:
            assert reply.payload == b""
            return reply.result, None
        return reply.result, np.frombuffer(reply.payload, dtype=TICK_DTYPE)[0]

    def book_add(self, symbol: str) -> int:
        return self.status(BOOK_ADD, wide(symbol))

    def book_release(self, symbol: str) -> int:
        return self.status(BOOK_RELEASE, wide(symbol))

    def book_get(self, symbol: str):
        return self.records(BOOK_GET, wide(symbol), BOOK_DTYPE)

    def calc(self, command: int, action: int, symbol: str, volume: float, *prices: float):
        """(result, value or None) of a margin or profit calculation."""
        args = u32(action) + wide(symbol) + f64(volume) + b"".join(f64(p) for p in prices)
        reply = self.call(command, args)
        if reply.result < 0:
            assert reply.payload == b""
            return reply.result, None
        return reply.result, struct.unpack("<d", reply.payload)[0]

    def calc_margin(self, action: int, symbol: str, volume: float, price: float):
        return self.calc(ORDER_CALC_MARGIN, action, symbol, volume, price)

    def calc_profit(self, action: int, symbol: str, volume: float, price_open: float, price_close: float):
        return self.calc(ORDER_CALC_PROFIT, action, symbol, volume, price_open, price_close)

    # ---- trading ----

    def record_list(self, command: int, args: bytes, fields):
        """(result, list of record dicts or None) of a counted record reply."""
        reply = self.call(command, args)
        if reply.result < 0:
            assert reply.payload == b""
            return reply.result, None
        (count,) = struct.unpack_from("<I", reply.payload)
        size = record_size(fields)
        body = reply.payload[4:]
        assert len(body) == count * size, (len(body), count)
        return reply.result, [decode_record(fields, body[k * size : (k + 1) * size]) for k in range(count)]

    def record_one(self, command: int, args: bytes, fields):
        """(result, record dict or None) of a one-record reply."""
        reply = self.call(command, args)
        if reply.result < 0:
            assert reply.payload == b""
            return reply.result, None
        return reply.result, decode_record(fields, reply.payload)

    def total(self, command: int, args: bytes = b"") -> int:
        reply = self.call(command, args)
        assert reply.result == SUCCESS, reply.result
        return reply.u32()

    def positions(self, symbol: str | None = None):
        if symbol is None:
            return self.record_list(POSITIONS_GET, b"", POSITION_FIELDS)[1]
        return self.record_list(POSITIONS_BY_SYMBOL, wide(symbol), POSITION_FIELDS)[1]

    def position(self, ticket: int):
        return self.record_one(POSITION_BY_TICKET, u64(ticket), POSITION_FIELDS)

    def orders(self, symbol: str | None = None):
        if symbol is None:
            return self.record_list(ORDERS_GET, b"", ORDER_FIELDS)[1]
        return self.record_list(ORDERS_BY_SYMBOL, wide(symbol), ORDER_FIELDS)[1]

    def history_orders(self, date_from: int = 0, date_to: int = 2**62):
        return self.record_list(HISTORY_ORDERS_RANGE, i64(date_from) + i64(date_to), ORDER_FIELDS)[1]

    def history_deals(self, date_from: int = 0, date_to: int = 2**62):
        return self.record_list(HISTORY_DEALS_RANGE, i64(date_from) + i64(date_to), DEAL_FIELDS)[1]

    def order_check(self, **request) -> dict:
        result, record = self.record_one(ORDER_CHECK, encode_record(REQUEST_FIELDS, request), CHECK_RESULT_FIELDS)
        assert result == SUCCESS, result
        return record

    def order_send(self, **request):
        """The send result as a dict, or the negative result code."""
        result, record = self.record_one(ORDER_SEND, encode_record(REQUEST_FIELDS, request), SEND_RESULT_FIELDS)
        return record if result >= 0 else result
