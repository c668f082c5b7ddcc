"""A scripted stand-in for the Terminal, for wire-level and fault tests.

The module keeps the interpreter lock while it waits for a reply, so the
stand-in runs in its own process. It listens on the endpoint the module
derives for a given executable path, answers each request frame with the
next scripted step (exact bytes, which may be a truncated or malformed
frame), optionally closes the connection after a step, and logs every
request frame it received so tests can assert the exact bytes on the wire.

Run as a script: ``python fake_terminal.py CONFIG.json``.
"""

from __future__ import annotations

import hashlib
import json
import os
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import host  # noqa: E402

# ---- frames ------------------------------------------------------------------


def u8(v: int) -> bytes:
    return struct.pack("<B", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def i32(v: int) -> bytes:
    return struct.pack("<i", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def i64(v: int) -> bytes:
    return struct.pack("<q", v)


def f64(v: float) -> bytes:
    return struct.pack("<d", v)


def utf16(text: str) -> bytes:
    return text.encode("utf-16-le", "surrogatepass")


def wide(text: str) -> bytes:
    data = utf16(text)
    return u32(len(data) // 2) + data


def fixed_text(text: str, units: int) -> bytes:
    data = utf16(text)
    assert len(data) <= 2 * units
    return data + b"\0" * (2 * units - len(data))


def reply(command: int, result: int, payload: bytes = b"") -> bytes:
    """A whole response frame: length, echo, result, payload."""
    body = u32(command) + i32(result) + payload
    return u32(len(body)) + body


def request(command: int, args: bytes = b"") -> bytes:
    body = u32(command) + args
    return u32(len(body)) + body


HANDSHAKE_BUILD = 2405


def handshake_reply(build: int = HANDSHAKE_BUILD) -> bytes:
    return reply(4, 1, u32(build))


def ready_reply(state: int = 2) -> bytes:
    return reply(109, 1, u32(state))


# ---- endpoint naming (mirrors the module) ------------------------------------


def path_digest(path: str) -> bytes:
    """SHA-256 of the lower-cased resolved path in UTF-16LE."""
    return hashlib.sha256(host.lowered_utf16(host.final_path(path))).digest()


def endpoint_name(path: str) -> str:
    return "QVN.Terminal." + path_digest(path).hex().upper()


def runtime_folder() -> str:
    return host.runtime_folder()


def endpoint_path(path: str) -> str:
    """The socket path (POSIX) or pipe name (Windows) of a Terminal."""
    return host.endpoint_location(endpoint_name(path))


# ---- the test side -----------------------------------------------------------


class FakeTerminal:
    """Controls one scripted Terminal process for one test.

    ``path`` is a (non-executable) file standing for the Terminal's
    executable; the module connects to the endpoint named after it.
    """

    def __init__(self, folder: Path):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.path = str(self.folder / host.TERMINAL_NAME)
        Path(self.path).write_bytes(b"not a program\n")
        self.log = self.folder / "requests.jsonl"
        self.process: subprocess.Popen | None = None

    def serve(self, *steps, handshake: bool = True, build: int = HANDSHAKE_BUILD) -> None:
        """Starts serving. Each step answers one request: ``bytes`` to send,
        ``(bytes, "close")`` to send and then drop the connection, or
        ``(bytes, n)`` to send followed by n more bytes, the k-th of them
        ``k % 251`` (for replies too large to script byte by byte). With
        ``handshake`` the connect sequence (handshake and one ready poll) is
        answered first. After the last step the connection is closed."""
        self.stop()
        script = []
        if handshake:
            script += [{"send": handshake_reply(build).hex()}, {"send": ready_reply().hex()}]
        for step in steps:
            if isinstance(step, tuple):
                data, action = step
                extra = {"pad": action} if isinstance(action, int) else {action: True}
                script.append({"send": data.hex(), **extra})
            else:
                script.append({"send": step.hex()})
        ready = self.folder / "ready"
        for f in (ready, self.log):
            if f.exists():
                f.unlink()
        config = {
            "socket": endpoint_path(self.path),
            "log": str(self.log),
            "ready": str(ready),
            "steps": script,
        }
        cfg = self.folder / "script.json"
        cfg.write_text(json.dumps(config))
        self.process = subprocess.Popen([sys.executable, __file__, str(cfg)])
        deadline = time.monotonic() + 20
        while not ready.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("fake Terminal did not start")
            time.sleep(0.01)

    def connect(self, **kwargs) -> bool:
        from quorvane import _core

        return _core.initialize(self.path, **kwargs)

    def frames(self) -> list[bytes]:
        """Every request frame received so far, in order (connect sequence included)."""
        if not self.log.exists():
            return []
        return [bytes.fromhex(json.loads(line)["frame"]) for line in self.log.read_text().splitlines()]

    def requests(self) -> list[bytes]:
        """Request frames after the connect sequence."""
        frames = self.frames()
        commands = [struct.unpack_from("<I", f, 4)[0] for f in frames]
        skip = 0
        while skip < len(frames) and commands[skip] in (4, 109) and skip < 2:
            skip += 1
        return frames[skip:]

    def stop(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None


# ---- the server side ---------------------------------------------------------


def _read_exact(conn, n: int) -> bytes | None:
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class _PipeConnection:
    """One client of the named pipe, with the socket calls _serve uses."""

    def __init__(self, handle):
        self.handle = handle

    def recv(self, n: int) -> bytes:
        import _winapi

        try:
            data, _ = _winapi.ReadFile(self.handle, min(n, 1 << 20))
        except OSError:
            return b""
        return data

    def sendall(self, data: bytes) -> None:
        import _winapi

        view = memoryview(data)
        while view:
            written, _ = _winapi.WriteFile(self.handle, bytes(view[: 1 << 20]))
            view = view[written:]

    def settimeout(self, _seconds) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        import ctypes

        # Let the client read what was sent (disconnecting discards unread
        # bytes), then free the instance for the next client.
        kernel32 = ctypes.windll.kernel32
        kernel32.FlushFileBuffers(ctypes.c_void_p(self.handle))
        kernel32.DisconnectNamedPipe(ctypes.c_void_p(self.handle))


def _serve_pipe(config: dict) -> None:
    """The Windows form of _serve: a byte-mode named pipe, one client at a
    time, at the name the module derives."""
    import _winapi

    pipe_type_byte = pipe_readmode_byte = 0  # the byte-mode flags are zero
    handle = _winapi.CreateNamedPipe(
        config["socket"], _winapi.PIPE_ACCESS_DUPLEX,
        pipe_type_byte | pipe_readmode_byte | _winapi.PIPE_WAIT,
        1, 1 << 20, 1 << 20, 0, _winapi.NULL)
    Path(config["ready"]).write_text("ready")
    steps = list(config["steps"])
    log = open(config["log"], "a", buffering=1)
    try:
        while True:
            try:
                _winapi.ConnectNamedPipe(handle, False)
            except OSError as e:
                if e.winerror != 535:  # ERROR_PIPE_CONNECTED: the client came first
                    return
            with _PipeConnection(handle) as conn:
                _answer(conn, steps, log)
    finally:
        log.close()
        _winapi.CloseHandle(handle)


def _answer(conn, steps: list, log) -> None:
    """Answers the requests of one connection from the script."""
    while True:
        try:
            head = _read_exact(conn, 4)
            if head is None:
                return
            (length,) = struct.unpack("<I", head)
            body = _read_exact(conn, length) if length <= 1 << 30 else None
        except (socket.timeout, OSError):
            return
        if body is None:
            return
        log.write(json.dumps({"frame": (head + body).hex()}) + "\n")
        if not steps:
            return
        step = steps.pop(0)
        try:
            conn.sendall(bytes.fromhex(step["send"]))
            left, block = step.get("pad", 0), bytes(range(251)) * 4177  # 251 × 4177 ≈ 1 MiB
            while left > 0:
                conn.sendall(block[:left])
                left -= min(left, len(block))
        except OSError:
            return
        if step.get("close"):
            return


def _serve(config: dict) -> None:
    if host.WINDOWS:
        _serve_pipe(config)
        return
    path = config["socket"]
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(8)
    server.settimeout(30)  # nobody came: give up rather than linger
    Path(config["ready"]).write_text("ready")
    steps = list(config["steps"])
    log = open(config["log"], "a", buffering=1)
    try:
        while True:
            try:
                conn, _ = server.accept()
            except socket.timeout:
                return
            conn.settimeout(30)
            with conn:
                _answer(conn, steps, log)
    finally:
        log.close()
        server.close()
        if os.path.exists(path):
            os.unlink(path)


if __name__ == "__main__":
    _serve(json.loads(Path(sys.argv[1]).read_text()))
