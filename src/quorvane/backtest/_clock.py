"""The stepped clock's control connection: the Terminal's own command 900.

A Terminal started with ``--clock FROM --step`` keeps its market clock at FROM
until told to move. This connection (a second one, beside the module's)
greets it like any client (command 4) and then moves the clock (the
backtest's driver steps with command 901 on the module's own connection
instead, ``_core._step``; ``terminal status`` asks here where the clock
stands, and ``ClockError`` reports a failed step either way):

    request   u32 length, u32 900, i64 target_ms, u32 n, n wide symbol names
    reply     u32 length, u32 900, i32 result, i64 now_ms, i64 next_ms

``target_ms`` 0 only asks; a later target brings the account up to it
(pending orders, stops, expirations, swaps, stop-out) before the reply.
``next_ms`` is the time of the earliest tick after ``now_ms`` among the named
symbols, -1 when there is none. A refused command answers its echo and a
negative result alone: -2 a target before now, -4 an unknown symbol, -7 a
Terminal without a stepped clock.
"""

from __future__ import annotations

import struct
import sys
from typing import Any, Sequence

COMMAND = 900
_HANDSHAKE = 4
_CLIENT_VERSION = 3
_HEAD = struct.Struct("<II")          # frame length, command
_REPLY = struct.Struct("<IIiqq")      # length, echo, result, now_ms, next_ms
_REFUSED = struct.Struct("<IIi")
_TARGET = struct.Struct("<q")
_TIMEOUT_S = 600.0  # the longest one step may take before the Terminal counts as hung

_MEANING = {
    -2: "the target lies before the Terminal's clock",
    -4: "a symbol the Terminal does not know",
    -7: "this Terminal has no stepped clock (it needs a build that knows --step and command 900)",
}


class ClockError(RuntimeError):
    """The control connection failed or the Terminal refused a step;
    ``code`` is the Terminal's result (0 for a broken connection)."""

    def __init__(self, text: str, code: int = 0) -> None:
        super().__init__(text)
        self.code = code

    def __reduce__(self) -> tuple[Any, ...]:  # whole across processes (a sweep's workers)
        return (ClockError, (str(self), self.code))


def _wide(text: str) -> bytes:
    data = text.encode("utf-16-le", "surrogatepass")
    return struct.pack("<I", len(data) // 2) + data


class _Stream:
    """The endpoint as a byte stream: a Unix socket, or a named pipe on Windows."""

    def __init__(self, endpoint: str) -> None:
        self._sock: Any = None
        self._pipe: Any = None
        if sys.platform == "win32":
            self._pipe = self._open_pipe(endpoint)
            return
        import socket

        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.settimeout(_TIMEOUT_S)
            sock.connect(endpoint)
        except OSError as e:
            sock.close()
            raise ClockError(f"cannot connect to the Terminal at {endpoint}: {e.strerror or e}") from None
        self._sock = sock

    @staticmethod
    def _open_pipe(endpoint: str) -> Any:
        import _winapi  # type: ignore[import-not-found, unused-ignore]

        # Every instance may be taken for a moment, between a client and the
        # server's next instance: wait for one.
        for _ in range(100):
            try:
                return open(endpoint, "r+b", buffering=0)  # noqa: SIM115
            except OSError as e:
                if getattr(e, "winerror", None) != 231 and e.errno != 22:  # ERROR_PIPE_BUSY
                    raise ClockError(f"cannot connect to the Terminal at {endpoint}: {e}") from None
            try:
                _winapi.WaitNamedPipe(endpoint, 1000)  # type: ignore[attr-defined, unused-ignore]
            except OSError:
                pass
        raise ClockError(f"every instance of {endpoint} stays busy")

    def send(self, data: bytes | bytearray) -> None:
        try:
            if self._sock is not None:
                self._sock.sendall(data)
                return
            view = memoryview(data)
            while view:
                view = view[self._pipe.write(view):]
        except OSError as e:
            raise ClockError(f"the Terminal closed the control connection: {e}") from None

    def read_into(self, view: memoryview) -> int:
        try:
            if self._sock is not None:
                n: int = self._sock.recv_into(view)
            else:
                n = self._pipe.readinto(view) or 0
        except OSError as e:
            raise ClockError(f"the control connection failed: {e}") from None
        if n == 0:
            raise ClockError("the Terminal closed the control connection")
        return n

    def close(self) -> None:
        for handle in (self._sock, self._pipe):
            if handle is not None:
                handle.close()
        self._sock = self._pipe = None


class Clock:
    """The control connection to one Terminal, with the symbols whose next
    tick ``step`` reports. The request for a step is built once; a step
    writes its target into it and reads the fixed reply into a buffer of its
    own, so stepping allocates nothing but the answer's two ints."""

    def __init__(self, endpoint: str, symbols: Sequence[str]) -> None:
        self._stream = _Stream(endpoint)
        self._buffer = bytearray(64)
        self._view = memoryview(self._buffer)
        try:
            greeting = struct.pack("<I", _CLIENT_VERSION) + _wide("Python")
            self._stream.send(_HEAD.pack(4 + len(greeting), _HANDSHAKE) + greeting)
            length, echo, result = self._read()
            if echo != _HANDSHAKE or result < 0:
                raise ClockError(f"the Terminal refused the control connection's handshake ({result})", result)
            names = struct.pack("<I", len(symbols)) + b"".join(_wide(s) for s in symbols)
            tail = b"\0" * _TARGET.size + names
            self._request = bytearray(_HEAD.pack(4 + len(tail), COMMAND) + tail)
        except BaseException:
            self._stream.close()
            raise

    def _read(self) -> tuple[int, int, int]:
        """Reads one reply frame into the buffer; its length, echo and result."""
        got = 0
        while got < 4:
            got += self._stream.read_into(self._view[got:])
        (length,) = struct.unpack_from("<I", self._buffer)
        if not 8 <= length <= len(self._buffer) - 4:
            raise ClockError(f"the Terminal sent a reply frame of {length} bytes to the control connection")
        while got < 4 + length:
            got += self._stream.read_into(self._view[got:4 + length])
        if got != 4 + length:
            raise ClockError("the Terminal sent more than one reply")
        _, echo, result = _REFUSED.unpack_from(self._buffer)
        return length, echo, result

    def step(self, target_ms: int) -> tuple[int, int]:
        """Moves the clock to ``target_ms`` (0: stays) and returns
        ``(now_ms, next_ms)``; raises ``ClockError`` when refused."""
        _TARGET.pack_into(self._request, _HEAD.size, target_ms)
        self._stream.send(self._request)
        length, echo, result = self._read()
        if echo != COMMAND:
            raise ClockError(f"the Terminal answered command {echo} to command {COMMAND}")
        if result < 0:
            meaning = _MEANING.get(result, "refused")
            asked = f"to move its clock to {target_ms} ms" if target_ms else "the clock command"
            raise ClockError(f"the Terminal refused {asked}: {meaning} ({result})", result)
        if length != _REPLY.size - 4:
            raise ClockError(f"the Terminal's clock reply holds {length} bytes, not {_REPLY.size - 4}")
        _, _, _, now_ms, next_ms = _REPLY.unpack_from(self._buffer)
        return now_ms, next_ms

    def close(self) -> None:
        self._stream.close()

    def __enter__(self) -> "Clock":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
