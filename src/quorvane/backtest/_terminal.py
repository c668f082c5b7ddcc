"""A private Terminal for one backtest: a portable copy of the Terminal program
in a temporary folder, with an account of its own and a stepped clock.

The copy has its own endpoint, settings, trading store and imported data,
so the user's Terminals and their data are never touched, and several
backtests run side by side. Closing it stops the process (by its id) and
removes the folder and the small data folder the Terminal keeps under the
roaming folder for every installation it runs from. The copy ends by itself
when the process that started it ends (``--owner-pid``), however that ends;
what a killed run leaves behind is removed by the next (``_folders``).
"""

from __future__ import annotations

import datetime as dt
import os
import shutil
import stat
import subprocess
import sys
import time
from pathlib import Path
from typing import IO, Optional, Sequence

from .. import _core, _instance
from ._exits import EXITS
from ._folders import RunFolder

LOGIN = 7_000_001
PASSWORD = "backtest"
SERVER = "Quorvane-Backtest"
# Currencies counted without decimals; every other account currency has 2.
_NO_DECIMALS = frozenset(("JPY", "KRW", "HUF", "CLP", "ISK", "VND", "IDR"))
# A Terminal left behind ends by itself when its owner process has ended,
# and in any case once no client has been connected for this long.
_IDLE_EXIT_S = 120
_START_TIMEOUT_S = 60.0
_STOP_TIMEOUT_S = 20.0


class BacktestError(RuntimeError):
    """The backtest's private Terminal could not be started or driven."""


def clock_text(ms: int) -> str:
    """A market time as the Terminal's --clock takes it."""
    stamp = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=ms)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + f".{ms % 1000:03d}Z"


def settings(deposit: float, currency: str, leverage: int, hedging: bool) -> str:
    """terminal.ini defining the backtest's account."""
    if not (isinstance(currency, str) and len(currency) == 3 and currency.isascii() and currency.isalpha()):
        raise ValueError(f"currency must be a three-letter code such as USD, not {currency!r}")
    if isinstance(leverage, bool) or not isinstance(leverage, int) or not 1 <= leverage <= 100_000:
        raise ValueError(f"leverage must be a whole number from 1 to 100000, not {leverage!r}")
    if not (isinstance(deposit, (int, float)) and 0 <= deposit < 1e15):
        raise ValueError(f"deposit must be a number from 0 up, not {deposit!r}")
    currency = currency.upper()
    return "\n".join((
        f"[Account {LOGIN}]",
        f"password={PASSWORD}",
        f"server={SERVER}",
        "name=Backtest",
        f"currency={currency}",
        f"currency_digits={0 if currency in _NO_DECIMALS else 2}",
        f"leverage={leverage}",
        f"balance={float(deposit)!r}",
        "trade_mode=demo",
        f"margin_mode={'hedging' if hedging else 'netting'}",
        "limit_orders=100000",
        "",
    ))


def _copy_file(source: str, target: str) -> None:
    """Copies a regular file's contents; anything else is refused by name
    (a pipe would wait for a writer, a device might never end)."""
    flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    fd = os.open(source, flags)
    with open(fd, "rb") as src:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = "a named pipe" if stat.S_ISFIFO(mode) else "a device" if stat.S_ISCHR(mode) else "something"
            raise BacktestError(f"{source}: {kind}, not a regular file; the Terminal reads only regular files "
                                f"in QSL/custom")
        with open(target, "wb") as dst:
            shutil.copyfileobj(src, dst)


def _copy_imported(custom: Path, target: Path) -> None:
    """The imported symbols as they are: a symbolic link is copied as the
    link, never followed, so the private Terminal refuses it as the user's
    own would. Contents are copied by hand, which also works where the
    system's own copy call is missing (older Wine)."""
    try:
        shutil.copytree(custom, target, symlinks=True, copy_function=_copy_file)
    except shutil.Error as e:
        raise BacktestError(f"cannot copy the imported symbols of {custom}: {e}") from None



def fill_folder(root: Path, ini: str, data: Optional[str]) -> None:
    """What a backtest's Terminal finds in its folder, in or out of this
    process: config/terminal.ini with the account, and a copy of the
    symbols imported into `data`."""
    config = root / "config"
    config.mkdir(mode=0o700)
    (config / "terminal.ini").write_text(ini, encoding="utf-8")
    if data is not None:
        custom = Path(data) / "QSL" / "custom"
        if not custom.is_dir():
            raise BacktestError(f"{data} holds no imported symbols (no folder QSL/custom): "
                                f"import ticks into it with quorvane.backtest.import_ticks")
        _copy_imported(custom, root / "QSL" / "custom")

class PrivateTerminal:
    """Started on ``start()``; ``close()`` (or leaving a ``with``) ends it."""

    def __init__(self, program: str, ini: str, data: Optional[str], folder: Optional[str]) -> None:
        if not os.path.isfile(program):
            raise BacktestError(f"no Terminal program at {program}")
        self.process: Optional[subprocess.Popen[bytes]] = None
        self.log: Optional[IO[bytes]] = None
        self._data_folder: Optional[str] = None
        self.folder = RunFolder(folder, os.path.basename(program))
        try:
            self.root = self.folder.path
            exe = self.root / os.path.basename(program)
            shutil.copyfile(program, exe)
            os.chmod(exe, 0o700)
            self.inst = _instance.Installation.of(str(exe))
            self._data_folder = self.inst.data_folder
            fill_folder(self.root, ini, data)
        except BaseException:
            self.folder.close()
            raise

    def start(self, args: Sequence[str]) -> None:
        """Starts the copy and connects the module to it, logged in to the
        backtest's account."""
        argv = [self.inst.executable, "/portable", "--idle-exit-s", str(_IDLE_EXIT_S), "--owner-pid", str(os.getpid()),
                *args]
        self.log = open(self.root / "terminal.log", "w+b")  # noqa: SIM115 (closed in close())
        try:
            if sys.platform == "win32":
                group = 0x00000200 | 0x08000000  # CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW
                self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                stderr=self.log, cwd=self.root, creationflags=group)
            else:
                # A session of its own: Ctrl+C reaches Python, which stops it.
                self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                stderr=self.log, cwd=self.root, start_new_session=True)
        except OSError as e:
            raise BacktestError(f"cannot run {self.inst.executable}: {e.strerror or e}") from None
        deadline = time.monotonic() + _START_TIMEOUT_S
        # It has its endpoint once it has published its run: connecting
        # sooner would find none and start a Terminal of its own.
        while (found := _instance.running(self.inst)) is None or found.pid != self.process.pid or found.clock is None:
            code = self.process.poll()
            if code is not None:
                raise BacktestError(f"the backtest's Terminal exited with code {code}{self.said()}")
            if time.monotonic() > deadline:
                raise BacktestError(f"the backtest's Terminal did not start within {_START_TIMEOUT_S:.0f} s")
            time.sleep(0.01)
        if not _core.initialize(self.inst.executable, portable=True, login=LOGIN, password=PASSWORD, server=SERVER):
            code, message = _core.last_error()
            raise BacktestError(f"cannot connect to the backtest's Terminal: ({code}, {message!r}){self.said()}")

    def said(self) -> str:
        """What the Terminal wrote on its error stream, as a message's tail."""
        if self.log is None:
            return ""
        self.log.flush()
        self.log.seek(0)
        text = self.log.read(8000).decode("utf-8", "replace").strip()
        return f"; it said: {text}" if text else ""

    def close(self) -> None:
        """Disconnects the module, stops the Terminal and removes its files,
        whatever state the run was left in."""
        try:
            with EXITS.held():
                _core.shutdown()
                if self.process is not None:
                    if self.process.poll() is None:
                        self.process.terminate()  # SIGTERM: it closes its store and endpoint
                        try:
                            self.process.wait(_STOP_TIMEOUT_S)
                        except subprocess.TimeoutExpired:
                            self.process.kill()
                            self.process.wait()
                    self.process = None
                if self.log is not None:
                    self.log.close()
                    self.log = None
                if self._data_folder is not None:
                    _instance.remove_tree(self._data_folder)
        finally:
            self.folder.close()

    def __enter__(self) -> "PrivateTerminal":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
