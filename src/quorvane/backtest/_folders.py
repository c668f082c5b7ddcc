"""A backtest's temporary folder, and the removal of what earlier runs left.

A run works in ``<parent>/quorvane-backtest-<id>/`` (its settings, copied
imported data and, out of process, its copy of the Terminal program) and
holds ``<parent>/quorvane-backtest-<id>.lock`` locked for as long as it
lives (``flock`` on POSIX, a byte-range lock on Windows). The system drops
the lock however the process ends, so a lock nobody holds marks a folder
that a dead run left behind; the next run under the same parent removes it,
with the Terminal's data folder under the roaming folder, and stops a
Terminal still running from it. The lock is taken before the folder is made
and removed only after it, so a live run's folder always has a held lock.
Only this user's entries directly under the parent are looked at, and no
symbolic link is followed.

Folders from releases before the lock (no lock file beside them) are removed
when they hold the bundled Terminal program, no Terminal runs from them and
they have not changed for ``_LEGACY_AGE_S``: a run of such a release copies
its program first thing and runs it until it ends.
"""

from __future__ import annotations

import errno
import os
import secrets
import stat
import sys
import time
from pathlib import Path
from typing import Optional

from .. import _instance
from ._exits import EXITS

PREFIX = "quorvane-backtest-"
_LOCK = ".lock"
_WINDOWS = sys.platform == "win32"
_PROGRAMS = ("terminal64", "terminal64.exe")
_LEGACY_AGE_S = 600
_RECORD_LIMIT = 4096
_OPEN_FLAGS = getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)


def _lock(fd: int) -> Optional[bool]:
    """Takes the run's lock on `fd` without waiting: True, False when
    another process holds it, None where the file system has no locks (a
    run there goes without, and its folder is never taken for left over)."""
    try:
        if sys.platform == "win32":
            import msvcrt

            os.lseek(fd, 0, os.SEEK_SET)
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        else:
            import fcntl

            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as e:
        return False if e.errno in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EACCES, errno.EDEADLK) else None
    return True


def _names_file(fd: int, path: str) -> bool:
    """Whether `path` still names the file open as `fd` (POSIX; on Windows
    an open file is never removed, so it always does)."""
    if _WINDOWS:
        return True
    try:
        mine, there = os.fstat(fd), os.lstat(path)
    except OSError:
        return False
    return (mine.st_dev, mine.st_ino) == (there.st_dev, there.st_ino)


def _mine(st: os.stat_result) -> bool:
    if sys.platform == "win32":
        return True
    return st.st_uid == os.getuid()


def _real_folder(path: str) -> bool:
    """A folder of this user's, not a link to one."""
    try:
        st = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISDIR(st.st_mode) and _mine(st)


def _installation(program: str) -> Optional[_instance.Installation]:
    try:
        if not stat.S_ISREG(os.lstat(program).st_mode):
            return None
        return _instance.Installation.of(program)
    except (OSError, ValueError):
        return None


def _remove_run(folder: str, program: Optional[str]) -> None:
    """Stops the Terminal running from a dead run's folder, if any, and
    removes the folder, the Terminal's data folder and, when the Terminal
    was killed, its pid file and endpoint."""
    if not _real_folder(folder):
        return
    inst = _installation(os.path.join(folder, program)) if program else None
    if inst is not None:
        pid = _instance.running_pid(inst)
        if pid is not None and not _instance.stop(pid, inst):
            return  # it would not stop: its files stay for a later run
    _instance.remove_tree(folder)
    if inst is None:
        return
    if _real_folder(inst.data_folder):
        _instance.remove_tree(inst.data_folder)
    if not _WINDOWS and _instance.running_pid(inst) is None:
        for path in (inst.pid_file, inst.endpoint):
            try:
                if not stat.S_ISDIR(os.lstat(path).st_mode):
                    os.unlink(path)
            except OSError:
                pass


def _record_program(text: bytes) -> Optional[str]:
    """The Terminal program's name a lock file records (a bare file name)."""
    for line in text.decode("utf-8", "surrogateescape").splitlines():
        if line.startswith("program "):
            name = line[len("program "):]
            if name and name not in (".", "..") and os.path.basename(name) == name and "/" not in name:
                return name
    return None


def _remove_if_left(parent: str, base: str) -> None:
    """Removes the run `base` when no live process holds its lock."""
    lock_path = os.path.join(parent, base + _LOCK)
    folder = os.path.join(parent, base)
    try:
        fd = os.open(lock_path, os.O_RDWR | getattr(os, "O_NONBLOCK", 0) | _OPEN_FLAGS)
    except OSError:
        return
    removed = False
    try:
        st = os.fstat(fd)
        if not (stat.S_ISREG(st.st_mode) and _mine(st)) or _lock(fd) is not True or not _names_file(fd, lock_path):
            return
        os.lseek(fd, 0, os.SEEK_SET)
        _remove_run(folder, _record_program(os.read(fd, _RECORD_LIMIT)))
        # A folder that could not be removed whole keeps its lock file, so
        # a later run tries again.
        removed = not os.path.lexists(folder)
        if removed and not _WINDOWS:
            os.unlink(lock_path)  # while locked: nobody else is removing it now
    except OSError:
        return
    finally:
        os.close(fd)
    if removed and _WINDOWS:
        try:
            os.remove(lock_path)  # an open file cannot be removed there
        except OSError:
            pass


def _remove_if_legacy(parent: str, name: str, now: float) -> None:
    """Removes a lockless folder of an older release's dead run."""
    folder = os.path.join(parent, name)
    try:
        st = os.lstat(folder)
    except OSError:
        return
    if not (stat.S_ISDIR(st.st_mode) and _mine(st)) or now - st.st_mtime < _LEGACY_AGE_S:
        return
    found = [(n, _installation(os.path.join(folder, n))) for n in _PROGRAMS]
    programs = [(name, inst) for name, inst in found if inst is not None]
    if programs and all(_instance.running_pid(inst) is None for _, inst in programs):
        _remove_run(folder, programs[0][0])


def remove_leftovers(parent: str) -> None:
    """Removes what dead runs left under `parent`; never fails."""
    try:
        names = os.listdir(parent)
    except OSError:
        return
    locked = {n[:-len(_LOCK)] for n in names if n.startswith(PREFIX) and n.endswith(_LOCK)}
    for base in sorted(locked):
        _remove_if_left(parent, base)
    now = time.time()
    for name in sorted(names):
        if name.startswith(PREFIX) and not name.endswith(_LOCK) and name not in locked:
            _remove_if_legacy(parent, name, now)


class RunFolder:
    """A run's temporary folder under `parent` (default the system's
    temporary folder), its lock held until ``close()``. Making it first
    removes what dead runs left under the same parent. From here to the end
    of ``close()`` SIGTERM, SIGHUP and Ctrl+C end the run through its
    cleanup (see ``_exits``). `program`: the name of the Terminal program
    the run copies into the folder, if it runs one, recorded so the next
    run can stop it and find its data folder."""

    def __init__(self, parent: Optional[str] = None, program: Optional[str] = None) -> None:
        import tempfile

        parent = os.path.abspath(parent if parent is not None else tempfile.gettempdir())
        remove_leftovers(parent)
        record = f"pid {os.getpid()}\n" + (f"program {program}\n" if program else "")
        for _ in range(100):
            base = PREFIX + secrets.token_hex(6)
            lock_path = os.path.join(parent, base + _LOCK)
            try:
                fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_EXCL | _OPEN_FLAGS, 0o600)
            except FileExistsError:
                continue
            if _lock(fd) is False or not _names_file(fd, lock_path):
                os.close(fd)  # another run's sweep took it first: it removes the file
                continue
            try:
                os.mkdir(os.path.join(parent, base), 0o700)
                os.write(fd, record.encode("utf-8", "surrogateescape"))
            except BaseException as e:
                os.close(fd)
                _unlink(lock_path)
                if isinstance(e, FileExistsError):
                    continue  # an older release's folder of that name
                raise
            break
        else:
            raise OSError(f"cannot make a backtest folder under {parent}")
        self._fd: Optional[int] = fd
        self._lock_path = lock_path
        self.path = Path(parent) / base
        self._exits = EXITS.enter()

    def close(self) -> None:
        """Removes the folder, then its lock file; then lets a signal that
        came meanwhile take effect (SIGTERM and SIGHUP end the process
        here). A folder that cannot be removed whole (a file still in use on
        Windows) keeps its lock file and is removed by a later run."""
        if self._fd is None:
            return
        removed = False
        try:
            with EXITS.held():
                try:
                    _instance.remove_tree(str(self.path))
                    removed = not os.path.lexists(self.path)
                    if removed and not _WINDOWS:
                        _unlink(self._lock_path)
                finally:
                    os.close(self._fd)
                    self._fd = None
                if removed and _WINDOWS:
                    _unlink(self._lock_path)
        finally:
            if self._exits:
                self._exits = False
                EXITS.leave()


def _unlink(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass
