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
TERMINAL_INFO = 180
ACCOUNT_INFO = 190

SUCCESS = 1
INVALID_PARAMS = -2
OUT_OF_MEMORY = -3
NOT_FOUND = -4
INCOMPATIBLE_VERSION = -5
AUTHORIZATION_FAILED = -6
UNSUPPORTED = -7

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
