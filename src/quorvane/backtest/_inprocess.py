"""A backtest's Terminal inside this process: the bundled Terminal's engine,
market and trading store, built from a temporary folder as terminal64 builds
its own, and reached by function call rather than over a socket.

The folder holds what a private terminal64's would (its terminal.ini with
the backtest's account, a copy of the imported symbols and, unless the store
is kept in memory as backtest.run asks with --store-memory, the trading
store) and no program. Nothing runs apart from this process, so nothing outlives
it; closing ends the Terminal, disconnects the module and removes the
folder.
"""

from __future__ import annotations

import os
from typing import Optional, Sequence

from .. import _core
from ._exits import EXITS
from ._folders import RunFolder
from ._terminal import LOGIN, PASSWORD, SERVER, BacktestError, fill_folder


class InProcessTerminal:
    """Started on ``start()``; ``close()`` (or leaving a ``with``) ends it."""

    def __init__(self, ini: str, data: Optional[str], folder: Optional[str]) -> None:
        # The run's folder and its lock, as a private Terminal program's: a
        # run killed outright leaves it to the next run to remove.
        self.folder = RunFolder(folder)
        self.root = self.folder.path
        try:
            fill_folder(self.root, ini, data)
        except BaseException:
            self.folder.close()
            raise

    def start(self, args: Sequence[str]) -> None:
        """Starts the Terminal with terminal64's options ``args`` and connects
        the module to it, logged in to the backtest's account."""
        if not _core._in_process(os.fspath(self.root), list(args)):
            code, message = _core.last_error()
            raise BacktestError(f"cannot start the backtest's Terminal: ({code}, {message!r})")
        if not _core.login(LOGIN, password=PASSWORD, server=SERVER):
            code, message = _core.last_error()
            raise BacktestError(f"cannot log in to the backtest's account: ({code}, {message!r})")

    def said(self) -> str:
        """What the Terminal wrote, as a message's tail: it writes to this
        process's own error stream, where it has been seen already."""
        return ""

    def close(self) -> None:
        """Ends the Terminal (the module is disconnected) and removes its
        folder, whatever state the run was left in."""
        try:
            with EXITS.held():
                _core.shutdown()
        finally:
            self.folder.close()

    def __enter__(self) -> "InProcessTerminal":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

