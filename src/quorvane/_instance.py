"""Where a Terminal installation lives and whether it runs.

A Terminal is known by its executable's path, which names its endpoint, its
pid file and its data folder; the module derives the names
(``Installation.of``), exactly as the Terminal does. A running
Terminal holds its pid file exclusively (a ``flock`` on POSIX; on Windows
the file is open without sharing and deleted when the Terminal ends, and
its pid must name a process running the Terminal's program), so the pid in
a file nobody holds is stale and is never signalled.

After its pid, a running Terminal publishes in the file how it was started:
one ``arg ...`` line per command-line argument, then its market clock
(``clock wall``, ``clock frozen MS``, ``clock moving START_MS SPEED
WALL_MS`` or ``clock stepped START_MS``). The clock line comes last; until it is there (the first moments
of a start) the file says only the pid. It is written once the Terminal's endpoint exists, so a published
Terminal can be connected to at once.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import IO, Dict, List, Optional

from . import _core

WINDOWS = sys.platform == "win32"


# ---- naming ------------------------------------------------------------------


@dataclass(frozen=True)
class Installation:
    """The names one Terminal executable goes by, as the module derives
    them (``_core._installation``)."""

    executable: str
    endpoint_name: str
    endpoint: str
    pid_file: str
    data_folder: str

    @classmethod
    def of(cls, executable: str) -> Installation:
        """The names of the Terminal at `executable`, which it is started by
        and known by as given (made absolute); the names themselves derive
        from its final path (on Windows, with the long-path prefix, which a
        process's image path never carries). Raises ``OSError`` when this
        user has no safe endpoint folder."""
        names = _core._installation(executable)
        return cls(os.path.abspath(executable), names["endpoint_name"], names["endpoint"], names["pid_file"],
                   names["data_folder"])

    @property
    def portable(self) -> bool:
        return os.path.exists(os.path.join(self.data_folder, "portable.txt"))

    @property
    def config_folder(self) -> str:
        """The folder holding ``config/`` and the trades: the executable's
        folder for a portable installation, else the data folder."""
        return os.path.dirname(self.executable) if self.portable else self.data_folder


# ---- is it running? ----------------------------------------------------------

# More than any pid file holds: the pid, a few dozen arguments and the clock.
_PID_FILE_LIMIT = 1 << 16


@dataclass(frozen=True)
class Clock:
    """A running Terminal's market clock."""

    mode: str        # "wall", "frozen", "moving" or "stepped"
    at_ms: int = 0   # frozen: where it stands; moving, stepped: where it started
    speed: int = 1   # moving: simulated milliseconds per real millisecond
    wall_ms: int = 0  # moving: the wall time at which it stood at `at_ms`

    def now_ms(self, wall_now_ms: int) -> int:
        """The market time at the wall time `wall_now_ms` (a stepped clock:
        where it started; only the Terminal knows where it stands now)."""
        if self.mode in ("frozen", "stepped"):
            return self.at_ms
        if self.mode == "moving":
            return self.at_ms + (wall_now_ms - self.wall_ms) * self.speed
        return wall_now_ms

    def describe(self, wall_now_ms: Optional[int] = None, stepped_ms: Optional[int] = None) -> str:
        """``stepped_ms``: where a stepped clock stands, as its Terminal says."""
        if self.mode == "stepped":
            if stepped_ms is None:
                return f"stepped, from {_utc(self.at_ms)}"
            return f"stepped, now {_utc(stepped_ms)}"
        if self.mode == "frozen":
            return f"frozen at {_utc(self.at_ms)}"
        if self.mode == "moving":
            now = int(time.time() * 1000) if wall_now_ms is None else wall_now_ms
            return f"moving from {_utc(self.at_ms)} at {self.speed}x, now {_utc(self.now_ms(now))}"
        return "wall clock"


def _utc(ms: int) -> str:
    import datetime as dt

    stamp = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=ms)
    return stamp.strftime("%Y-%m-%d %H:%M:%S UTC")


@dataclass(frozen=True)
class Running:
    """What a running Terminal's pid file says."""

    pid: int
    args: Optional[List[str]] = None  # None until the Terminal has published them
    clock: Optional[Clock] = None


def _read_pid(text: bytes) -> Optional[int]:
    try:
        pid = int(text.split(b"\n", 1)[0].decode("ascii").strip())
    except (UnicodeDecodeError, ValueError):
        return None
    return pid if pid > 0 else None


def _parse_clock(words: List[str]) -> Optional[Clock]:
    try:
        if words == ["wall"]:
            return Clock("wall")
        if words[0] == "frozen" and len(words) == 2:
            return Clock("frozen", int(words[1]))
        if words[0] == "stepped" and len(words) == 2:
            return Clock("stepped", int(words[1]))
        if words[0] == "moving" and len(words) == 4:
            return Clock("moving", int(words[1]), int(words[2]), int(words[3]))
    except (IndexError, ValueError):
        pass
    return None


def parse_pid_file(text: bytes) -> Optional[Running]:
    """The pid file's text as a Running; None when it names no pid. The
    arguments and clock stay None unless the whole text is there."""
    pid = _read_pid(text)
    if pid is None:
        return None
    # Arguments are the bytes the Terminal got; surrogateescape gives them
    # back as the str Python passed, whatever their encoding.
    lines = text.decode("utf-8", "surrogateescape").split("\n")
    args: List[str] = []
    for line in lines[1:-1]:  # the last piece lacks its newline: cut short or empty
        if line.startswith("arg "):
            args.append(line[4:])
        elif line.startswith("clock "):
            clock = _parse_clock(line[6:].split())
            return Running(pid, args, clock) if clock is not None else Running(pid)
    return Running(pid)


def _held_posix(pid_file: str) -> Optional[bytes]:
    if sys.platform == "win32":
        return None
    import fcntl

    try:
        fd = os.open(pid_file, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return None
    try:
        try:
            # A shared probe never blocks, and conflicts with the running
            # Terminal's exclusive lock only.
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return os.pread(fd, _PID_FILE_LIMIT, 0)
        except OSError:
            return None
        fcntl.flock(fd, fcntl.LOCK_UN)
        return None  # nobody holds it: left by a Terminal that was killed
    finally:
        os.close(fd)


def _image_of(pid: int) -> Optional[str]:
    """The program file of the running process `pid` (Windows), or None."""
    if sys.platform != "win32":
        return None
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenProcess.restype = wintypes.HANDLE
    query_limited_information = 0x1000
    process = kernel32.OpenProcess(query_limited_information, False, pid)
    if not process:
        return None
    try:
        buffer = ctypes.create_unicode_buffer(32768)
        size = wintypes.DWORD(len(buffer))
        if not kernel32.QueryFullProcessImageNameW(wintypes.HANDLE(process), 0, buffer, ctypes.byref(size)):
            return None
        return buffer.value
    finally:
        kernel32.CloseHandle(wintypes.HANDLE(process))


def _held_windows(pid_file: str, executable: str) -> Optional[bytes]:
    if sys.platform != "win32":
        return None
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    create = kernel32.CreateFileW
    create.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, wintypes.LPVOID, wintypes.DWORD,
                       wintypes.DWORD, wintypes.HANDLE]
    create.restype = wintypes.HANDLE
    generic_read, share_all, open_existing = 0x80000000, 0x7, 3
    handle = create(pid_file, generic_read, share_all, None, open_existing, 0, None)
    if handle in (None, wintypes.HANDLE(-1).value):
        return None
    try:
        buffer = ctypes.create_string_buffer(_PID_FILE_LIMIT)
        got = wintypes.DWORD(0)
        if not kernel32.ReadFile(handle, buffer, _PID_FILE_LIMIT, ctypes.byref(got), None):
            return None
        text = buffer.raw[: got.value]
    finally:
        kernel32.CloseHandle(handle)
    # The file goes with its Terminal however the process ends, but not
    # when the machine stops under it: the pid in a file left from then may
    # name any process now, so it counts only while it runs this program.
    pid = _read_pid(text)
    image = _image_of(pid) if pid is not None else None
    if image is None or os.path.normcase(os.path.realpath(image)) != os.path.normcase(os.path.realpath(executable)):
        return None
    return text


def running(inst: Installation) -> Optional[Running]:
    """What the pid file of the Terminal running `inst` says, or None when
    none runs."""
    text = _held_windows(inst.pid_file, inst.executable) if sys.platform == "win32" else _held_posix(inst.pid_file)
    return None if text is None else parse_pid_file(text)


def running_pid(inst: Installation) -> Optional[int]:
    """The pid of the Terminal running `inst`, or None when none runs."""
    found = running(inst)
    return None if found is None else found.pid


def published(inst: Installation, pid: int, timeout: float = 5.0) -> Optional[Running]:
    """The pid file of the Terminal `pid` once it has published how it was
    started (it does so before it answers); None if it does not within
    `timeout` seconds or stops running meanwhile."""
    deadline = time.monotonic() + timeout
    while True:
        found = running(inst)
        if found is None or found.pid != pid:
            return None
        if found.clock is not None:
            return found
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.05)


def stale_pid(inst: Installation) -> Optional[int]:
    """The pid named by a pid file no Terminal holds (None otherwise)."""
    if running_pid(inst) is not None:
        return None
    try:
        with open(inst.pid_file, "rb") as f:
            return _read_pid(f.read(32))
    except OSError:
        return None


def _process_gone(pid: int) -> bool:
    if WINDOWS:
        return False  # the pid file going away says it on Windows
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            if f.read().rsplit(b")", 1)[-1].split()[0] == b"Z":
                return True  # exited; its parent has not reaped it yet
    except (OSError, IndexError):
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


# ---- start and stop ----------------------------------------------------------


class StartError(Exception):
    pass


def start_detached(inst: Installation, *, portable: bool = False, args: Optional[List[str]] = None,
                   timeout: float = 30.0, env: Optional[Dict[str, str]] = None) -> int:
    """Starts the Terminal detached from this process and waits until it
    holds its pid file and has published its run there; returns its pid. A Terminal already running is left
    as it is (its pid is returned). `env`: the Terminal's environment
    (default: this process's)."""
    pid = running_pid(inst)
    if pid is not None:
        return pid
    argv = [inst.executable] + (["/portable"] if portable else []) + list(args or [])
    # The Terminal's complaints go to an unnamed file: read if it ends
    # early, never a pipe it could block on or die writing to later.
    errors: IO[bytes] = tempfile.TemporaryFile()
    try:
        try:
            if sys.platform == "win32":
                detached = 0x00000008 | 0x00000200  # DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP
                proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors,
                                        close_fds=True, creationflags=detached, env=env)
            else:
                proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors,
                                        close_fds=True, start_new_session=True, env=env)
        except OSError as e:
            raise StartError(f"cannot run {inst.executable}: {e.strerror or e}") from None
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            # The Terminal takes its pid file before it checks its settings
            # and store: it runs once it has published how it was started
            # (until then it may still refuse and exit). Another copy that
            # won the race serves as it is.
            found = running(inst)
            if found is not None and (found.pid != proc.pid or found.clock is not None):
                return found.pid
            code = proc.poll()
            if code is not None:
                found = running(inst)
                if found is not None and found.pid != proc.pid:
                    return found.pid
                errors.seek(0)
                said = errors.read(4000).decode("utf-8", "replace").strip()
                raise StartError(f"the Terminal exited with code {code}" + (f": {said}" if said else ""))
            time.sleep(0.05)
        raise StartError(f"the Terminal did not take its pid file within {timeout:.0f} s")
    finally:
        errors.close()


def _pidfd(pid: int) -> Optional[int]:
    """A descriptor of the process `pid` (Linux 5.3 and later): it stays
    that process's even after the pid is reused, and becomes readable once
    the process has ended."""
    opener = getattr(os, "pidfd_open", None)
    if opener is None:
        return None
    try:
        fd: int = opener(pid)
        return fd
    except OSError:
        return None


def _wait_gone(pid: int, pidfd: Optional[int], inst: Installation, deadline: float) -> bool:
    """Waits until the process `pid` has ended; False at the deadline."""
    if pidfd is not None:
        import select

        poller = select.poll()
        poller.register(pidfd, select.POLLIN)
        while True:
            left = deadline - time.monotonic()
            if poller.poll(max(0, int(left * 1000))):
                return True
            if left <= 0:
                return False
    while True:
        if running_pid(inst) != pid and (WINDOWS or _process_gone(pid)):
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)


def stop(pid: int, inst: Installation, *, timeout: float = 20.0) -> bool:
    """Asks the Terminal `pid` (which held the pid file of `inst` when the
    caller looked) to stop, and returns once its process has ended: True,
    or False when it still runs after `timeout` seconds. A pid the pid file
    no longer names is never signalled (the Terminal is ending by itself, or
    the pid is stale); it is only waited for."""
    deadline = time.monotonic() + timeout
    pidfd = _pidfd(pid)
    try:
        # Checked after the descriptor was taken: if the file still names
        # `pid`, the descriptor is the Terminal's and not that of a process
        # that got its pid since.
        if running_pid(inst) == pid:
            try:
                # SIGTERM lets the Terminal close its sessions and remove
                # its endpoint; on Windows this ends the process at once,
                # which its trade store survives like any crash.
                if pidfd is not None:
                    signal.pidfd_send_signal(pidfd, signal.SIGTERM)
                else:
                    os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass  # already gone
            except OSError:
                return False
        return _wait_gone(pid, pidfd, inst, deadline)
    finally:
        if pidfd is not None:
            os.close(pidfd)


# On Windows a program that has just exited can keep its files (its own
# image among them) locked for a moment; removal tries again this long.
_REMOVE_TIMEOUT_S = 10.0


def remove_tree(path: str) -> None:
    """Removes a folder and what it holds, trying again for a short while
    when something in it is still locked by a process that is exiting."""
    deadline = time.monotonic() + _REMOVE_TIMEOUT_S
    while True:
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.lexists(path) or time.monotonic() > deadline:
            return
        time.sleep(0.05)
