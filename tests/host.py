"""What the tests need from the operating system, for POSIX and Windows.

The module's endpoint is a Unix domain socket in a private folder on POSIX
and a named pipe on Windows (where a Terminal's endpoint and folders are is
the module's to say: quorvane._core._installation); processes are found
through /proc on Linux and through a process snapshot on Windows. Tests use
these helpers rather than the system's calls, and mark what only one system
can do.
"""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

WINDOWS = sys.platform == "win32"


def _under_wine() -> bool:
    if not WINDOWS:
        return False
    import ctypes
    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


# Under Wine a pool of spawned interpreters (concurrent.futures'
# ProcessPoolExecutor) never hands its results back; tests of what a local
# sweep computes run its backtests one after another in the test's process
# there instead.
UNDER_WINE = _under_wine()
TERMINAL_NAME = "terminal64.exe" if WINDOWS else "terminal64"
# The exit code of a Terminal told to stop: a clean exit after SIGTERM on
# POSIX; on Windows the process is terminated (code 1), as the test runner
# has no console to send Ctrl+Break through.
STOPPED = 1 if WINDOWS else 0


def popen(args, **kwargs) -> subprocess.Popen:
    """subprocess.Popen, tried again when Wine's process creation fails with
    its passing internal error (1359), as it does now and then under load."""
    for _ in range(2):
        try:
            return subprocess.Popen(args, **kwargs)
        except OSError as e:
            if getattr(e, "winerror", None) != 1359:
                raise
        time.sleep(0.5)
    return subprocess.Popen(args, **kwargs)


def posix_only(reason: str):
    """Skips a test on Windows; `reason` names what Windows lacks."""
    # Imported here: the fake Terminal's own process needs none of pytest,
    # and loading it costs every such start a noticeable moment under Wine.
    import pytest

    return pytest.mark.skipif(WINDOWS, reason=f"POSIX only: {reason}")


# ---- endpoints ---------------------------------------------------------------


class PipeEndpoint(str):
    """A named pipe's name, with the exists() of a socket's Path."""

    def exists(self) -> bool:
        import _winapi

        try:
            _winapi.WaitNamedPipe(str(self), 1)
            return True
        except OSError as e:
            return e.winerror != 2  # ERROR_FILE_NOT_FOUND; busy still exists


def endpoint(location: str):
    """An endpoint location as tests inspect it: a Path, or a PipeEndpoint."""
    return PipeEndpoint(location) if WINDOWS else Path(location)


# ---- a client stream ---------------------------------------------------------


class Stream:
    """A connected endpoint with the few socket calls the tests use."""

    def __init__(self, location: str):
        if WINDOWS:
            self._file = self._open_pipe(location)
            self._sock = None
        else:
            self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                self._sock.connect(location)
            except OSError:
                self._sock.close()
                raise
            self._sock.settimeout(120)

    @staticmethod
    def _open_pipe(location: str):
        import _winapi

        # Every instance may be taken for a moment, between a client and the
        # server's next instance: wait for one, as the module does.
        for _ in range(100):
            try:
                return open(location, "r+b", buffering=0)  # noqa: SIM115
            except OSError as e:
                if getattr(e, "winerror", None) != 231 and e.errno != 22:  # ERROR_PIPE_BUSY
                    raise
            try:
                _winapi.WaitNamedPipe(location, 1000)
            except OSError:
                pass
        raise OSError(f"every instance of {location} stays busy")

    def sendall(self, data: bytes) -> None:
        if self._sock is not None:
            self._sock.sendall(data)
            return
        view = memoryview(data)
        while view:
            view = view[self._file.write(view):]

    def recv_into(self, buffer, n: int) -> int:
        """Bytes read into `buffer`; 0 when the peer has closed its end."""
        if self._sock is not None:
            return self._sock.recv_into(buffer, n)
        try:
            return self._file.readinto(memoryview(buffer)[:n]) or 0
        except (BrokenPipeError, OSError):
            return 0

    def close(self) -> None:
        (self._sock or self._file).close()


# ---- processes ---------------------------------------------------------------


def _windows_processes() -> list[tuple[int, str]]:
    """(pid, executable) of every process this user may query."""
    import ctypes
    from ctypes import wintypes

    k32 = ctypes.WinDLL("kernel32", use_last_error=True)
    k32.OpenProcess.restype = wintypes.HANDLE
    pids, size = (wintypes.DWORD * 65536)(), wintypes.DWORD()
    k32.K32EnumProcesses(pids, ctypes.sizeof(pids), ctypes.byref(size))
    out = []
    for pid in pids[:size.value // ctypes.sizeof(wintypes.DWORD)]:
        h = k32.OpenProcess(0x1000, False, pid)  # PROCESS_QUERY_LIMITED_INFORMATION
        if not h:
            continue
        buffer, length = ctypes.create_unicode_buffer(32768), wintypes.DWORD(32768)
        if k32.QueryFullProcessImageNameW(wintypes.HANDLE(h), 0, buffer, ctypes.byref(length)):
            out.append((pid, buffer.value))
        k32.CloseHandle(wintypes.HANDLE(h))
    return out


def processes() -> list[tuple[int, str]]:
    """(pid, resolved executable) of the running processes."""
    if WINDOWS:
        return [(pid, os.path.normcase(os.path.realpath(exe))) for pid, exe in _windows_processes()]
    out = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                out.append((int(entry.name), os.readlink(entry / "exe")))
            except OSError:
                pass
    return out


def processes_of(path, under=False) -> list[int]:
    """Processes running `path`, or with `under` any program in the folder `path` or below."""
    real = os.path.realpath(path) + (os.sep if under else "")
    real = os.path.normcase(real) if WINDOWS else real
    return [pid for pid, exe in processes() if (exe.startswith(real) if under else exe == real)]


def alive(pid: int) -> bool:
    if WINDOWS:
        return any(p == pid for p, _ in _windows_processes())
    return os.path.exists(f"/proc/{pid}")


def kill_all(pids: list[int], limit: float = 30.0) -> bool:
    """Kills the processes and waits until they are gone (False if some is
    not within `limit` seconds): the executable link disappears before a
    process has closed its sockets, and a running Windows executable cannot
    be removed."""
    import time

    for pid in pids:
        if WINDOWS:
            import ctypes

            h = ctypes.windll.kernel32.OpenProcess(0x0001, False, pid)  # PROCESS_TERMINATE
            if h:
                ctypes.windll.kernel32.TerminateProcess(ctypes.c_void_p(h), 1)
                ctypes.windll.kernel32.CloseHandle(ctypes.c_void_p(h))
        else:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
    deadline = time.monotonic() + limit
    while any(alive(pid) for pid in pids):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


# ---- files -------------------------------------------------------------------


def copy_file(source, target) -> None:
    """Copies a file's bytes and mode, as shutil.copy does. The library's own
    copy calls CopyFile2 on Windows, which some compatibility layers lack."""
    data = Path(source).read_bytes()
    Path(target).write_bytes(data)
    os.chmod(target, os.stat(source).st_mode & 0o7777)


# ---- the roaming data folder -------------------------------------------------

_SHELL_FOLDERS = r"Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


class RoamingFolder:
    """Points the user's roaming data folder at `folder` for one test: the
    environment on POSIX, the user's shell-folder setting on Windows (the
    known-folder call reads it; the environment does not move it)."""

    def __init__(self, monkeypatch, folder: Path):
        self.saved = None
        monkeypatch.setenv("XDG_DATA_HOME", str(folder))
        if WINDOWS:
            import winreg

            with winreg.OpenKey(winreg.HKEY_CURRENT_USER, _SHELL_FOLDERS, 0, winreg.KEY_ALL_ACCESS) as key:
                self.saved = winreg.QueryValueEx(key, "AppData")
                winreg.SetValueEx(key, "AppData", 0, winreg.REG_EXPAND_SZ, str(folder))

    def restore(self) -> None:
        if self.saved is not None:
            import winreg

            with winreg.OpenKey(winreg.HKEY_CURRENT_USER, _SHELL_FOLDERS, 0, winreg.KEY_ALL_ACCESS) as key:
                winreg.SetValueEx(key, "AppData", 0, self.saved[1], self.saved[0])
            self.saved = None
