"""A raw-socket client of the bundled Terminal, for tests and benchmarks.

It connects to the endpoint the module names for an executable
(quorvane._core._installation), sends request frames and takes reply frames
apart, and decodes the records with numpy dtypes that match the packed wire
layouts.
"""

from __future__ import annotations

import functools
import struct
import time
from dataclasses import dataclass

import numpy as np

import trade_records as tr

# ---- commands and results ----------------------------------------------------

VERSION, HANDSHAKE, LOGIN = 1, 4, 5
TICKS_FROM, TICKS_RANGE, RATES_FROM, RATES_RANGE, RATES_FROM_POS, READY_POLL = 104, 105, 106, 107, 108, 109
POSITIONS_TOTAL, POSITIONS_GET, POSITIONS_BY_SYMBOL, POSITION_BY_TICKET = 120, 121, 122, 123
ORDERS_TOTAL, ORDERS_GET, ORDERS_BY_SYMBOL, ORDER_BY_TICKET = 130, 131, 132, 133
HISTORY_ORDERS_TOTAL, HISTORY_ORDERS_RANGE, HISTORY_ORDERS_BY_POSITION, HISTORY_ORDER_BY_TICKET = 140, 141, 142, 143
HISTORY_DEALS_TOTAL, HISTORY_DEALS_RANGE, HISTORY_DEALS_BY_POSITION, HISTORY_DEAL_BY_TICKET = 150, 151, 152, 153
ORDER_CHECK, ORDER_SEND, ORDER_CALC_MARGIN, ORDER_CALC_PROFIT = 160, 161, 162, 163
SYMBOL_INFO, SYMBOL_SELECT, SYMBOL_INFO_TICK, SYMBOLS_TOTAL, SYMBOLS_GET, SYMBOLS_GET_GROUP = range(170, 176)
TERMINAL_INFO, ACCOUNT_INFO, BOOK_ADD, BOOK_RELEASE, BOOK_GET = 180, 190, 191, 192, 193

SUCCESS, FAILED, INVALID_PARAMS, OUT_OF_MEMORY, NOT_FOUND = 1, -1, -2, -3, -4
INCOMPATIBLE_VERSION, AUTHORIZATION_FAILED, UNSUPPORTED, AUTO_TRADING_DISABLED = -5, -6, -7, -8

# ---- packed records ----------------------------------------------------------


def packed(text: str) -> np.dtype:
    """A packed numpy dtype of "name:format" items."""
    return np.dtype([tuple(t.split(":")) for t in text.split()])


TICK_DTYPE = packed("time:<i8 bid:<f8 ask:<f8 last:<f8 volume:<u8 time_msc:<i8 flags:<u4 volume_real:<f8")
BAR_DTYPE = packed("time:<i8 open:<f8 high:<f8 low:<f8 close:<f8 tick_volume:<u8 spread:<i4 real_volume:<u8")
BOOK_DTYPE = packed("type:<u4 price:<f8 volume:<u8 volume_dbl:<f8")


def layout(text: str):
    """(field, struct code) rows of a compact layout of trade_records: a flag
    is "B", a text "T<units>", bytes no field takes "<n>x"."""
    return [(n, f"{c}x" if n == "_" else "T" + c if c.isdigit() else "B" if c == "b" else c)
            for n, c in tr.fields(text)]


TERMINAL_INFO_FIELDS, ACCOUNT_INFO_FIELDS = layout(tr.TERMINAL), layout(tr.ACCOUNT)
SYMBOL_FIELDS = layout(tr.SYMBOL)
SYMBOL_SHORT_FIELDS = SYMBOL_FIELDS[:-1]
# Trading records.
POSITION_FIELDS, ORDER_FIELDS, DEAL_FIELDS = layout(tr.POSITION), layout(tr.ORDER), layout(tr.DEAL)
REQUEST_FIELDS, CHECK_RESULT_FIELDS, SEND_RESULT_FIELDS = layout(tr.REQUEST), layout(tr.CHECK), layout(tr.SEND)


def struct_format(fields) -> str:
    """The struct format of (name, code) rows; a text is its bytes."""
    return "<" + "".join(f"{2 * int(c[1:])}s" if c[0] == "T" else c for _, c in fields)


def encode_record(fields, values: dict) -> bytes:
    """Packs a record described by (name, code) rows; absent fields are 0."""
    args = []
    for name, code in fields:
        if code[0] == "T":
            args.append((values.get(name) or "").encode("utf-16-le", "surrogatepass")[: 2 * int(code[1:]) - 2])
        elif not code.endswith("x"):
            args.append(values.get(name, 0))
    return struct.pack(struct_format(fields), *args)


def decode_record(fields, data: bytes) -> dict:
    """Decodes a packed record described by (name, code) rows."""
    names = [n for n, c in fields if not c.endswith("x")]
    values = struct.unpack(struct_format(fields), data)
    return {n: v.decode("utf-16-le", "surrogatepass").split("\0", 1)[0] if isinstance(v, bytes) else v
            for n, v in zip(names, values)}


# ---- encoding and endpoint naming: shared with the scripted fake ----------------

from fake_terminal import endpoint_path, f64, i32, i64, installation, u32, u64, wide  # noqa: E402
from fake_terminal import request as frame  # noqa: E402
from host import Stream  # noqa: E402


def every_or(every: int, by_name: int, name: str | None):
    """(command, args) asking for every record, or for those of `name`."""
    return (every, b"") if name is None else (by_name, wide(name))


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
        view, got = bytearray(n), 0
        while got < n:
            k = self.sock.recv_into(memoryview(view)[got:], n - got)
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

    def terminal_info(self) -> dict:
        return self.record_ok(TERMINAL_INFO, TERMINAL_INFO_FIELDS)

    def account_info(self) -> dict:
        return self.record_ok(ACCOUNT_INFO, ACCOUNT_INFO_FIELDS)

    def answer(self, command: int, args: bytes = b""):
        """(result, payload), the payload None for a refusal, which must
        carry the result alone."""
        reply = self.call(command, args)
        if reply.result < 0:
            assert reply.payload == b"", "a refused request carries the result alone"
            return reply.result, None
        return reply.result, reply.payload

    def counted(self, command: int, args: bytes, size: int):
        """(result, the records' bytes or None) of a counted record reply,
        which must hold exactly the counted records."""
        result, payload = self.answer(command, args)
        if payload is None:
            return result, None
        (count,) = struct.unpack_from("<I", payload)
        assert len(payload) == 4 + count * size, (len(payload), count)
        return result, payload[4:]

    def records(self, command: int, args: bytes, dtype: np.dtype):
        """Sends a history request; returns (result, array or None)."""
        result, body = self.counted(command, args, dtype.itemsize)
        return result, None if body is None else np.frombuffer(body, dtype=dtype)

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

    def status(self, command: int, args: bytes = b"") -> int:
        """Sends a request whose reply is the result code alone."""
        reply = self.call(command, args)
        assert reply.payload == b"", "a status reply carries the result alone"
        return reply.result

    def symbol_info(self, symbol: str, short: bool = False):
        """(result, record dict or None); `short` decodes the record of old builds."""
        return self.record_one(SYMBOL_INFO, wide(symbol), SYMBOL_SHORT_FIELDS if short else SYMBOL_FIELDS)

    def symbols_total(self):
        reply = self.call(SYMBOLS_TOTAL)
        return reply.result, (reply.u32() if reply.result >= 0 else None)

    def symbols_get(self, group: str | None = None):
        """(result, list of record dicts or None)."""
        return self.record_list(*every_or(SYMBOLS_GET, SYMBOLS_GET_GROUP, group), SYMBOL_FIELDS)

    def symbol_select(self, symbol: str, enable: bool = True) -> int:
        return self.status(SYMBOL_SELECT, wide(symbol) + bytes([1 if enable else 0]))

    def symbol_info_tick(self, symbol: str):
        result, payload = self.answer(SYMBOL_INFO_TICK, wide(symbol))
        return result, None if payload is None else np.frombuffer(payload, dtype=TICK_DTYPE)[0]

    def book_add(self, symbol: str) -> int:
        return self.status(BOOK_ADD, wide(symbol))

    def book_release(self, symbol: str) -> int:
        return self.status(BOOK_RELEASE, wide(symbol))

    def book_get(self, symbol: str):
        return self.records(BOOK_GET, wide(symbol), BOOK_DTYPE)

    def calc(self, command: int, action: int, symbol: str, volume: float, *prices: float):
        """(result, value or None) of a margin or profit calculation."""
        args = u32(action) + wide(symbol) + f64(volume) + b"".join(f64(p) for p in prices)
        result, payload = self.answer(command, args)
        return result, None if payload is None else struct.unpack("<d", payload)[0]

    # (result, value or None) of (action, symbol, volume, price) and of
    # (action, symbol, volume, price_open, price_close).
    calc_margin = functools.partialmethod(calc, ORDER_CALC_MARGIN)
    calc_profit = functools.partialmethod(calc, ORDER_CALC_PROFIT)

    def record_list(self, command: int, args: bytes, fields):
        """(result, list of record dicts or None) of a counted record reply."""
        size = struct.calcsize(struct_format(fields))
        result, body = self.counted(command, args, size)
        if body is None:
            return result, None
        return result, [decode_record(fields, body[k : k + size]) for k in range(0, len(body), size)]

    def record_one(self, command: int, args: bytes, fields):
        """(result, record dict or None) of a one-record reply."""
        result, payload = self.answer(command, args)
        return result, None if payload is None else decode_record(fields, payload)

    def record_ok(self, command: int, fields, args: bytes = b"") -> dict:
        result, record = self.record_one(command, args, fields)
        assert result == SUCCESS, result
        return record

    def positions(self, symbol: str | None = None):
        return self.record_list(*every_or(POSITIONS_GET, POSITIONS_BY_SYMBOL, symbol), POSITION_FIELDS)[1]

    def orders(self, symbol: str | None = None):
        return self.record_list(*every_or(ORDERS_GET, ORDERS_BY_SYMBOL, symbol), ORDER_FIELDS)[1]

    def history_orders(self, date_from: int = 0, date_to: int = 2**62):
        return self.record_list(HISTORY_ORDERS_RANGE, i64(date_from) + i64(date_to), ORDER_FIELDS)[1]

    def history_deals(self, date_from: int = 0, date_to: int = 2**62):
        return self.record_list(HISTORY_DEALS_RANGE, i64(date_from) + i64(date_to), DEAL_FIELDS)[1]

    def order_check(self, **request) -> dict:
        return self.record_ok(ORDER_CHECK, CHECK_RESULT_FIELDS, encode_record(REQUEST_FIELDS, request))

    def order_send(self, **request):
        """The send result as a dict, or the negative result code."""
        result, record = self.record_one(ORDER_SEND, encode_record(REQUEST_FIELDS, request), SEND_RESULT_FIELDS)
        return record if result >= 0 else result
