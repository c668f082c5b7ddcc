"""What the benchmarks share: a private Terminal, request frames, a
pure-Python client of the wire, record decoders and the timing loops.

Every benchmark compares ways of doing the same work side by side in one run,
so the machine's load at that moment weighs on all of them alike; none of
them is a test, and none asserts a time.
"""

from __future__ import annotations

import gc
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

# NumPy's BLAS threads would otherwise compete for the CPUs being measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from fake_terminal import installation  # noqa: E402  (the module's endpoint naming)

HANDSHAKE, LOGIN = 4, 5
# The Terminal's clock in every benchmark: 2026-01-15 12:00 UTC, frozen.
NOW = 1_768_478_400
DEMO_LOGIN = dict(login=5001001, password="demo1001", server="Quorvane-Demo")


# ---- frames ----------------------------------------------------------------------


def wide(text: str) -> bytes:
    """A wire text: its length in UTF-16 units, then the units."""
    data = text.encode("utf-16-le")
    return struct.pack("<I", len(data) // 2) + data


def frame(command: int, args: bytes = b"") -> bytes:
    return struct.pack("<II", 4 + len(args), command) + args


HELLO = frame(HANDSHAKE, struct.pack("<I", 3) + wide("Python"))


def login_frame(login: int, password: str, server: str) -> bytes:
    return frame(LOGIN, struct.pack("<IQ", 0, login) + wide(password) + wide(server))


def text(raw: bytes) -> str:
    """A fixed-width wire text field up to its first zero unit."""
    return raw.decode("utf-16-le", "surrogatepass").split("\0", 1)[0]


# ---- the Terminal ----------------------------------------------------------------


def terminal_binary(path: str | None = None) -> str:
    """The Terminal to measure: `path`, else $QVN_TERMINAL64, else the bundled one."""
    if path:
        return os.path.abspath(path)
    import quorvane

    return os.environ.get("QVN_TERMINAL64") or quorvane.terminal_path()


def pin_to_one_cpu(cpu: int | None = None) -> int:
    """Pins this process (and the Terminals it starts afterwards, which
    inherit it) to one CPU: round trips between two CPUs swing by tens of
    microseconds with the scheduler. Returns the CPU."""
    if cpu is None:
        cpu = max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    return cpu


class Terminal:
    """The Terminal running in a temporary folder of its own, its clock
    frozen at `now` (None: the clock its `extra` options give). The module
    finds its endpoint through the same variables, so this process's
    environment is pointed there while it runs, and restored after."""

    def __init__(self, binary: str, now: int | None = NOW, extra: list[str] | None = None, settings: str | None = None,
                 folder: str | None = None):
        """`settings`: the text of config/terminal.ini, written before the
        Terminal starts (accounts of its own, say); `folder`: where its data
        folder (and trading store) goes, the system's temporary folder by
        default."""
        self.root = Path(tempfile.mkdtemp(prefix="qvn-bench-"))
        runtime = self.root / "run"
        runtime.mkdir(mode=0o700)
        self.data_root = Path(tempfile.mkdtemp(prefix="qvn-bench-data-", dir=folder)) if folder else self.root / "data"
        self.data_root.mkdir(exist_ok=True)
        self.saved_env = {key: os.environ.get(key) for key in ("XDG_RUNTIME_DIR", "XDG_DATA_HOME")}
        os.environ["XDG_RUNTIME_DIR"] = str(runtime)
        os.environ["XDG_DATA_HOME"] = str(self.data_root)
        self.binary = binary
        names = installation(binary)
        self.endpoint = names["endpoint"]
        self.data_folder = Path(names["data_folder"])
        if settings is not None:
            (self.data_folder / "config").mkdir(parents=True, mode=0o700)
            self.data_folder.chmod(0o700)
            (self.data_folder / "config" / "terminal.ini").write_text(settings)
        self.log = open(self.root / "terminal.log", "wb")
        self.process = subprocess.Popen([binary, *(["--now", str(now)] if now is not None else []), *(extra or [])], cwd=self.root,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while not os.path.exists(self.endpoint):
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = (self.root / "terminal.log").read_text(errors="replace")
                self.close()
                raise SystemExit(f"the Terminal did not start:\n{log}")
            time.sleep(0.02)

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.rmtree(self.data_root, ignore_errors=True)
        for key, value in self.saved_env.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def connect_module(core, binary: str, **account) -> None:
    if not core.initialize(binary, **account):
        raise SystemExit(f"initialize failed: {core.last_error()}")


# ---- the pure-Python client ------------------------------------------------------


class PythonClient:
    """A bare socket speaking the frames by hand: the baseline each module
    call is measured against."""

    def __init__(self, endpoint: str):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(endpoint)
        self.buffer = memoryview(bytearray(1 << 16))
        self.call(HELLO)

    def _begin(self) -> tuple[int, int]:
        """Reads the reply's length field, with whatever of the reply came
        along (all of a short one), into the client's own buffer: returns
        the reply's length and how much of it is there, after the field."""
        got = 0
        while got < 4:
            n = self.sock.recv_into(self.buffer[got:] if got else self.buffer)
            if n == 0:
                raise SystemExit("the Terminal closed the connection")
            got += n
        length = struct.unpack_from("<I", self.buffer)[0]
        return length, min(got - 4, length)

    def _fill(self, view: memoryview) -> None:
        while view:
            n = self.sock.recv_into(view)
            if n == 0:
                raise SystemExit("reply cut short")
            view = view[n:]

    def call(self, request: bytes) -> memoryview:
        """Sends a request; returns the reply after its length field, in a
        buffer of its own."""
        self.sock.sendall(request)
        length, have = self._begin()
        view = memoryview(bytearray(length))
        view[:have] = self.buffer[4:4 + have]
        self._fill(view[have:])
        return view

    def fetch(self, request: bytes, command: int):
        """The reply after echo and result, or None when refused."""
        body = self.call(request)
        echo, result = struct.unpack_from("<Ii", body)
        if echo != command or result < 0:
            return None
        return body[8:]

    def fetch_into(self, request: bytes, buffer: memoryview | None = None) -> int:
        """Sends a request and reads the reply into `buffer`, allocated
        beforehand: the round trip alone. By default the reply stays in the
        client's own small buffer, after the length field it came with.
        Returns the reply's length after its length field."""
        self.sock.sendall(request)
        length, have = self._begin()
        if buffer is None:
            if 4 + length > len(self.buffer):
                raise SystemExit(f"reply of {length} bytes exceeds the buffer")
            self._fill(self.buffer[4 + have:4 + length])
            return length
        if length > len(buffer):
            raise SystemExit(f"reply of {length} bytes exceeds the buffer")
        buffer[:have] = self.buffer[4:4 + have]
        self._fill(buffer[have:length])
        return length

    def close(self) -> None:
        self.sock.close()


class CRawClient:
    """The round trip with no interpreter in the loop: bench/raw_client.c,
    built here with the system's C compiler ($CC, else cc), logged in with
    `login` and timing `requests` in batches it is asked for one at a time,
    so that it takes its turn among the ways timed from Python."""

    def __init__(self, endpoint: str, login: bytes, requests: list[bytes]):
        self.folder = Path(tempfile.mkdtemp(prefix="qvn-bench-raw-"))
        binary = self.folder / "raw_client"
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-o", str(binary), str(HERE / "raw_client.c")],
                       check=True)
        self.process = subprocess.Popen([str(binary), endpoint, HELLO.hex(), login.hex(),
                                         *(each.hex() for each in requests)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def batch_us(self, index: int, calls: int) -> float:
        """Microseconds per call over `calls` round trips of request `index`."""
        self.process.stdin.write(f"{index} {calls}\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise SystemExit("the C raw client stopped")
        return int(answer) / calls / 1000

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait(10)
        self.process.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class CallFloor:
    """The floor under a module call: bench/call_floor.c, built here as an
    extension module with the system's C compiler ($CC, else cc). `calls`
    are functions taking no arguments, one per request, that make the round
    trip as the raw C client does, from the interpreter and with its lock
    released around it as the module releases it, and return None."""

    def __init__(self, endpoint: str, login: bytes, requests: list[bytes]):
        import importlib
        import sysconfig

        self.folder = Path(tempfile.mkdtemp(prefix="qvn-bench-floor-"))
        library = self.folder / ("call_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                        "-o", str(library), str(HERE / "call_floor.c")], check=True)
        sys.modules.pop("call_floor", None)  # an earlier floor's, connected already
        sys.path.insert(0, str(self.folder))
        try:
            self.module = importlib.import_module("call_floor")
        finally:
            sys.path.remove(str(self.folder))
        self.module.connect(endpoint, [HELLO, login, *requests])
        self.calls = [self.module.bound(i) for i in range(len(requests))]

    def close(self) -> None:
        self.module.close()
        shutil.rmtree(self.folder, ignore_errors=True)


# Layouts in wire order: (name, struct code); a number is a UTF-16 text of that
# many units.
ACCOUNT_WIRE = ("login:Q trade_mode:I leverage:I limit_orders:I margin_so_mode:I trade_allowed:? "
                "trade_expert:? margin_mode:I currency_digits:I fifo_close:? balance:d credit:d profit:d "
                "equity:d margin:d margin_free:d margin_level:d margin_so_call:d margin_so_so:d "
                "margin_initial:d margin_maintenance:d assets:d liabilities:d commission_blocked:d "
                "name:128 server:64 currency:32 company:128")
TERMINAL_WIRE = ("build:I community_account:? community_connection:? connected:? dlls_allowed:? "
                 "trade_allowed:? email_enabled:? ftp_enabled:? notifications_enabled:? maxbars:I bvid:? "
                 "codepage:i ping_last:i community_balance:d retransmission:d company:260 name:260 "
                 "language:260 path:260 data_path:260 commondata_path:260 tradeapi_disabled:?")
# The tuple's order of TERMINAL_WIRE's fields: tradeapi_disabled sixth, build
# and maxbars after bvid.
TERMINAL_ORDER = [1, 2, 3, 4, 5, 21, 6, 7, 8, 10, 0, 9, *range(11, 21)]
SYMBOL_WIRE = ("custom:? chart_mode:I select:? visible:? session_deals:Q session_buy_orders:Q "
               "session_sell_orders:Q volume:Q volumehigh:Q volumelow:Q time:q digits:I spread:i "
               "spread_float:? ticks_bookdepth:I trade_calc_mode:I trade_mode:I start_time:q expiration_time:q "
               "trade_stops_level:i trade_freeze_level:i trade_exemode:I swap_mode:I swap_rollover3days:I "
               "margin_hedged_use_leg:? expiration_mode:i filling_mode:i order_mode:i order_gtc_mode:I "
               "option_mode:I option_right:I " + "x:d " * 52 +
               "basis:32 category:64 currency_base:16 currency_profit:16 currency_margin:16 bank:256 "
               "description:64 exchange:64 formula:256 isin:16 page:256 path:128 name:32")
SYMBOL_RECORD = 2993


class RecordDecoder:
    """One precompiled struct for a whole record; text fields come out as
    bytes and are decoded up to their first zero unit. `move_last_to` puts
    the last wire field at that place of the tuple."""

    def __init__(self, wire: str, tuple_type, move_last_to: int | None = None):
        fmt, self.texts = "<", []
        for i, token in enumerate(wire.split()):
            code = token.split(":")[1]
            if code.isdigit():
                fmt += f"{2 * int(code)}s"
                self.texts.append(i)
            else:
                fmt += code
        self.struct = struct.Struct(fmt)
        self.order = list(range(len(wire.split())))
        if move_last_to is not None:
            self.order.insert(move_last_to, self.order.pop())
        self.tuple_type = tuple_type

    def decode(self, data, offset: int = 0):
        values = list(self.struct.unpack_from(data, offset))
        for i in self.texts:
            values[i] = text(values[i])
        return self.tuple_type([values[i] for i in self.order])


def decode_list(client: PythonClient, request: bytes, command: int, record: int, decode) -> tuple:
    """A list reply (count, then `count` records) decoded record by record."""
    body = client.fetch(request, command)
    if body is None:
        raise SystemExit(f"command {command} refused")
    (count,) = struct.unpack_from("<I", body)
    if len(body) != 4 + count * record:
        raise SystemExit("reply does not hold its count of records")
    return tuple(decode(body, 4 + k * record) for k in range(count))


# ---- timing --------------------------------------------------------------------------


def side_by_side(ways: dict[str, Callable[[], object]], repeat: int) -> dict[str, tuple[float, float]]:
    """{way: (best s, median s)} of `repeat` calls each, taken in turn one
    call per way, so a change of load on the machine falls on all of them."""
    times: dict[str, list[float]] = {name: [] for name in ways}
    for _ in range(repeat):
        for name, fn in ways.items():
            gc.collect()
            t0 = time.perf_counter()
            result = fn()
            times[name].append(time.perf_counter() - t0)
            del result
    return {name: (min(values), statistics.median(values)) for name, values in times.items()}


def compare_decoders(module: Callable[[], tuple], python: Callable[[], tuple], raw: Callable[[], object],
                     repeat: int) -> tuple[int, dict[str, tuple[float, float]]]:
    """Checks that the module and the pure-Python decoder build equal
    results, then times both and the bare transfer. Returns the record
    count and {way: (best s, median s)}."""
    made, expected = python(), module()
    if expected is None or made != expected:
        raise SystemExit("the module and the Python decoder disagree")
    count = len(made)
    del made, expected
    return count, side_by_side({"raw": raw, "module": module, "python": python}, repeat)


def print_decoders(title: str, count: int, unit: str, times: dict[str, tuple[float, float]]) -> float:
    """Prints the comparison; returns the module's speed-up (medians)."""
    print()
    print(title)
    header = f"{'way':<8} {'best ms':>9} {'median ms':>10} {'us/' + unit:>12}"
    print(header)
    print("-" * len(header))
    for name in ("raw", "module", "python"):
        best, median = times[name]
        print(f"{name:<8} {best * 1e3:>9.2f} {median * 1e3:>10.2f} {median / count * 1e6:>12.3f}")
    speedup = times["python"][1] / times["module"][1]
    print()
    print(f"module speed-up over the Python client (medians): {speedup:.1f}x")
    return speedup


def batch_us(fn: Callable[[], object], calls: int) -> float:
    """Microseconds per call over one batch of `calls` calls."""
    t0 = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - t0) / calls / 1000


def interleaved(ways: dict[str, Callable[[], object]], calls: int, rounds: int,
                batches: dict[str, Callable[[int], float]] | None = None) -> dict[str, float]:
    """Runs the ways batch by batch in turn; each is reported by its fastest
    batch: other work on the machine only ever adds time, so the fastest
    batch is the one closest to the call's own cost. `batches`: ways that
    time a batch themselves, given its size and giving us per call."""
    timers = {name: (lambda n, fn=fn: batch_us(fn, n)) for name, fn in ways.items()} | (batches or {})
    samples: dict[str, list[float]] = {name: [] for name in timers}
    for timer in timers.values():  # warm up
        timer(max(1, calls // 10))
    for _ in range(rounds):
        for name, timer in timers.items():
            samples[name].append(timer(calls))
    return {name: min(values) for name, values in samples.items()}


def best_of(fn: Callable[[], object], repeat: int) -> float:
    """Seconds of the fastest of `repeat` calls."""
    return side_by_side({"": fn}, repeat)[""][0]
