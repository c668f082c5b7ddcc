"""A scripted stand-in for the Terminal, for wire-level and fault tests.

A scripted Terminal listens on the endpoint the module derives for a given
executable path, answers each request frame with the next scripted step
(exact bytes, which may be a truncated or malformed frame), and logs every
request frame it received so tests can assert the exact bytes on the wire.

The module's calls block their thread, so scripts are served by another
process; starting an interpreter is slow on some systems (seconds under an
emulated Windows), so one host process, started at the first request,
serves every script of a test run, each with its own endpoint, thread and
log. Stopping a script closes its listener and connection as ending a
process of its own would. ``python fake_terminal.py`` is that host.
"""

from __future__ import annotations

import atexit
import json
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import host  # noqa: E402

# ---- frames ------------------------------------------------------------------


u8, u32, i32, u64, i64, f64 = (lambda v, c=code: struct.pack("<" + c, v) for code in "BIiQqd")


def wide(text: str) -> bytes:
    data = text.encode("utf-16-le", "surrogatepass")
    return u32(len(data) // 2) + data


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


# ---- endpoint naming: the module's own ---------------------------------------------


def installation(path: str) -> dict:
    """The names the module gives the Terminal whose executable is `path`."""
    from quorvane import _core

    return _core._installation(path)


def endpoint_path(path: str) -> str:
    """The socket path (POSIX) or pipe name (Windows) of a Terminal."""
    return installation(path)["endpoint"]


# ---- the test side -----------------------------------------------------------


class _Host:
    """The test side of the host process: started at the first request,
    restarted if it died, ended when the test run ends."""

    def __init__(self):
        self.process: subprocess.Popen | None = None
        self.lock = threading.Lock()

    def request(self, line: str) -> str:
        with self.lock:
            if self.process is None or self.process.poll() is not None:
                self.process = host.popen(
                    [sys.executable, __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                    encoding="utf-8", bufsize=1)
            try:
                self.process.stdin.write(line + "\n")
                self.process.stdin.flush()
                answer = self.process.stdout.readline().strip()
            except OSError:
                answer = ""
            if answer == "ok" or answer.startswith("ok "):
                return answer[3:]
            raise RuntimeError(f"fake Terminal host: {answer or 'exited'}")

    def close(self) -> None:
        with self.lock:
            if self.process is None:
                return
            try:
                self.process.stdin.close()  # the host stops every script and exits
                self.process.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
            self.process = None


_HOST = _Host()
atexit.register(_HOST.close)
_SERVING: set["FakeTerminal"] = set()


def stop_all() -> None:
    """Stops every scripted Terminal still serving, so none outlives its test."""
    for terminal in list(_SERVING):
        terminal.stop()


class FakeTerminal:
    """One scripted Terminal for one test.

    ``path`` is a (non-executable) file standing for the Terminal's
    executable; the module connects to the endpoint named after it.
    """

    def __init__(self, folder: Path):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.path = str(self.folder / host.TERMINAL_NAME)
        Path(self.path).write_bytes(b"not a program\n")
        self.log = self.folder / "requests.hex"
        self.served: str | None = None  # the host's name for the running script

    def serve(self, *steps, handshake: bool = True, build: int = HANDSHAKE_BUILD) -> None:
        """Starts serving. Each step answers one request: ``bytes`` to send,
        or ``(bytes, options)`` with the options "close" (drop the connection
        after sending), ``{"pad": n}`` (n more bytes follow, the k-th
        ``k % 251``: for replies too large to script byte by byte) and
        ``{"gate": path}`` (answer only once the file exists), in a dict
        together. With ``handshake`` the connect sequence (handshake and one
        ready poll) is answered first. After the last step the connection is
        closed. The endpoint accepts clients when this returns."""
        self.stop()
        script = [handshake_reply(build), ready_reply()] if handshake else []
        script = [{"send": step.hex()} for step in script]
        for step in steps:
            data, options = step if isinstance(step, tuple) else (step, {})
            options = {"close": True} if options == "close" else options
            script.append({"send": data.hex(), **options})
        if self.log.exists():
            self.log.unlink()
        config = {"socket": endpoint_path(self.path), "log": str(self.log), "steps": script}
        self.served = _HOST.request("serve " + json.dumps(config))
        _SERVING.add(self)

    def connected(self, *steps, **options) -> None:
        self.serve(*steps, **options)
        assert self.connect(), self.frames()

    def connect(self, **kwargs) -> bool:
        from quorvane import _core

        return _core.initialize(self.path, **kwargs)

    def frames(self) -> list[bytes]:
        """Every request frame received so far, in order (connect sequence included)."""
        if not self.log.exists():
            return []
        return [bytes.fromhex(line) for line in self.log.read_text().splitlines()]

    def requests(self) -> list[bytes]:
        """Request frames after the connect sequence."""
        frames = self.frames()
        skip = 0
        while skip < min(2, len(frames)) and frames[skip][4:8] in (u32(4), u32(109)):
            skip += 1
        return frames[skip:]

    def stop(self) -> None:
        """Ends the script: the endpoint and any connection close, as when a
        Terminal's process is killed. Returns once they are closed."""
        if self.served is not None:
            served, self.served = self.served, None
            _SERVING.discard(self)
            _HOST.request("stop " + served)


# ---- the host side -----------------------------------------------------------


class _Stopped(OSError):
    """The script was told to stop while it waited."""


def _read_exact(conn, n: int) -> bytes | None:
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class _Script:
    """One scripted Terminal inside the host: an endpoint, a thread that
    serves its clients one at a time, the steps left and the request log."""

    def __init__(self, config: dict):
        self.location = config["socket"]
        self.steps = list(config["steps"])
        self.log = open(config["log"], "a", buffering=1, encoding="utf-8")  # noqa: SIM115
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self) -> None:
        try:
            self.listen()
        except BaseException:
            self.log.close()
            raise
        self.thread.start()

    def stop(self) -> None:
        with self.lock:
            self.stopping = True
            self.interrupt()
        self.thread.join(60)
        if self.thread.is_alive():
            raise RuntimeError(f"the script at {self.location} did not stop")
        self.close()
        self.log.close()

    def answer(self, conn) -> None:
        """Answers the requests of one connection from the steps left."""
        while True:
            try:
                head = _read_exact(conn, 4)
                length = 1 << 31 if head is None else struct.unpack("<I", head)[0]
                body = _read_exact(conn, length) if length <= 1 << 30 else None
            except OSError:
                return
            if body is None:
                return
            self.log.write((head + body).hex() + "\n")
            if not self.steps:
                return
            step = self.steps.pop(0)
            # A gate that stays shut for 30 s, or a stop meanwhile, drops the connection unanswered.
            deadline = time.monotonic() + 30
            while "gate" in step and not os.path.exists(step["gate"]):
                if self.stopping or time.monotonic() > deadline:
                    return
                time.sleep(0.005)
            try:
                conn.sendall(bytes.fromhex(step["send"]))
                if "pad" in step:
                    block = bytes(range(251)) * 4177  # ≈ 1 MiB, whole periods of 251
                    for at in range(0, step["pad"], len(block)):
                        conn.sendall(block[:step["pad"] - at])
            except OSError:
                return
            if step.get("close"):
                return

    def _run(self) -> None:
        try:
            while True:
                conn = self.accept()
                if conn is None:
                    return
                try:
                    self.answer(conn)
                finally:
                    self.release(conn)
        except OSError:
            return

    # The system's part: listen, accept (None once stopped), release a
    # connection, interrupt the thread's wait (called under the lock), close.


class _SocketScript(_Script):
    """A Unix domain socket. A stop wakes the accept through a pipe and a
    transfer by shutting the connection down."""

    def listen(self) -> None:
        if os.path.exists(self.location):
            os.unlink(self.location)
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.server.bind(self.location)
            self.server.listen(8)
            self.server.setblocking(False)
        except OSError:
            self.server.close()
            raise
        self.wake_r, self.wake_w = os.pipe()
        self.conn: socket.socket | None = None

    def accept(self):
        while True:
            ready, _, _ = select.select([self.server, self.wake_r], [], [])
            if self.wake_r in ready:
                return None
            try:
                conn, _ = self.server.accept()
            except BlockingIOError:
                continue
            conn.setblocking(True)
            with self.lock:
                if self.stopping:
                    conn.close()
                    return None
                self.conn = conn
            return conn

    def release(self, conn) -> None:
        with self.lock:
            self.conn = None
        conn.close()

    def interrupt(self) -> None:
        os.write(self.wake_w, b"x")
        if self.conn is not None:
            try:
                self.conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        # The socket file stays, as a killed process leaves it: connecting
        # is refused rather than finding nothing.
        self.server.close()
        os.close(self.wake_r)
        os.close(self.wake_w)


class _PipeConnection:
    """One client of a pipe instance, with the socket calls `answer` uses.
    Transfers are overlapped so that a stop can cancel them."""

    def __init__(self, script: "_PipeScript", handle):
        self.script = script
        self.handle = handle

    def recv(self, n: int) -> bytes:
        import _winapi

        try:
            ov, _ = _winapi.ReadFile(self.handle, min(n, 1 << 20), overlapped=True)
            got = self.script.wait(ov)
        except _Stopped:
            raise
        except OSError:
            return b""
        return bytes(ov.getbuffer()[:got])

    def sendall(self, data: bytes) -> None:
        import _winapi

        view = memoryview(data)
        while view:
            ov, _ = _winapi.WriteFile(self.handle, bytes(view[: 1 << 20]), overlapped=True)
            written = self.script.wait(ov)
            view = view[written:]


class _PipeScript(_Script):
    """A byte-mode named pipe. Each client takes the free instance and the
    next one is offered before the connection is served, so the name never
    vanishes between clients; clients are still served one at a time. A
    connection ends by closing its instance: the client reads what was sent,
    then finds the pipe broken, as when a Terminal's process ends."""

    def listen(self) -> None:
        self.pending = None
        self.free = self._instance()

    def _instance(self):
        import _winapi

        pipe_type_byte = pipe_readmode_byte = 0  # the byte-mode flags are zero
        return _winapi.CreateNamedPipe(
            self.location, _winapi.PIPE_ACCESS_DUPLEX | _winapi.FILE_FLAG_OVERLAPPED,
            pipe_type_byte | pipe_readmode_byte | _winapi.PIPE_WAIT,
            _winapi.PIPE_UNLIMITED_INSTANCES, 1 << 20, 1 << 20, 0, _winapi.NULL)

    def wait(self, ov) -> int:
        """Bytes moved by an overlapped transfer; _Stopped if a stop cancelled it."""
        import _winapi

        with self.lock:
            self.pending = ov
            if self.stopping:
                ov.cancel()
        try:
            moved, error = ov.GetOverlappedResult(True)
        finally:
            with self.lock:
                self.pending = None
        if error == _winapi.ERROR_OPERATION_ABORTED:
            raise _Stopped()
        return moved

    def accept(self):
        import _winapi

        while True:
            try:
                self.wait(_winapi.ConnectNamedPipe(self.free, overlapped=True))
            except _Stopped:
                return None
            except OSError as e:
                if e.winerror in (_winapi.ERROR_NO_DATA, _winapi.ERROR_BROKEN_PIPE):
                    # The client left before it was served: offer the instance again.
                    _winapi.DisconnectNamedPipe(self.free)
                    continue
                if e.winerror != _winapi.ERROR_PIPE_CONNECTED:  # the client came first
                    raise
            handle, self.free = self.free, self._instance()
            return _PipeConnection(self, handle)

    def release(self, conn) -> None:
        import _winapi

        _winapi.CloseHandle(conn.handle)

    def interrupt(self) -> None:
        if self.pending is not None:
            self.pending.cancel()

    def close(self) -> None:
        import _winapi

        _winapi.CloseHandle(self.free)


def _host() -> None:
    """Reads requests from standard input, one a line, and answers each on
    standard output: "serve CONFIG" with the script's name (its endpoint), "stop NAME"."""
    scripts: dict[str, _Script] = {}
    for line in sys.stdin:
        command, _, argument = line.strip().partition(" ")
        try:
            if command == "serve":
                script = (_PipeScript if host.WINDOWS else _SocketScript)(json.loads(argument))
                script.start()
                scripts[script.location] = script
                answer = "ok " + script.location
            elif command == "stop":
                script = scripts.pop(argument, None)
                if script is not None:
                    script.stop()
                answer = "ok"
            else:
                answer = f"error: unknown request {command!r}"
        except Exception as e:  # noqa: BLE001 - the test side reports it
            answer = f"error: {type(e).__name__}: {e}"
        sys.stdout.write(answer.replace("\n", " ") + "\n")
        sys.stdout.flush()
    for script in scripts.values():
        script.stop()


if __name__ == "__main__":
    _host()
