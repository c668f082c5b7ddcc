"""How a backtest ends when its process is told to: through its cleanup.

Left to Python's defaults, SIGTERM and SIGHUP end the process on the spot
(the private Terminal and the run's folders are left behind), and Ctrl+C
raises KeyboardInterrupt wherever it lands, the cleanup included. While a
run is under way in the main thread, ``Exits`` changes that:

- SIGTERM and SIGHUP (POSIX, only where they would end the process at once)
  raise ``Ended`` in the run, which unwinds it; once its cleanup is done the
  signal is raised again with the default action, so the process still ends
  by it, as its parent expects;
- during a cleanup (``Exits.held``) every one of these signals, SIGINT
  included, waits: it takes effect when the cleanup is done.

A handler the program set itself is left alone (SIGINT's is called as it
would have been, only not in the middle of a cleanup). Runs in other threads
change nothing: only the main thread can set handlers.
"""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
from types import FrameType
from typing import Any, Dict, Iterator, List, Optional, Tuple

_ENDING: Tuple[int, ...] = ()
if sys.platform != "win32":
    _ENDING = (signal.SIGTERM, signal.SIGHUP)


class Ended(BaseException):
    """Raised in a run by SIGTERM or SIGHUP; the signal ends the process
    once the run has cleaned up. Not an Exception: a strategy's ``except
    Exception`` must not swallow it."""


class _Exits:
    def __init__(self) -> None:
        self.depth = 0          # runs under way (nested runs share one set of handlers)
        self.holding = 0        # cleanups under way
        self.ended = False      # Ended has been raised once
        self.pending: List[int] = []
        self.previous: Dict[int, Any] = {}

    def enter(self) -> bool:
        """Takes over the signals for a run; False (nothing changed) outside
        the main thread. A True must be matched by one ``leave``."""
        if threading.current_thread() is not threading.main_thread():
            return False
        if self.depth == 0:
            self.ended, self.pending, self.previous = False, [], {}
            interrupt = signal.getsignal(signal.SIGINT)
            if callable(interrupt):
                self.previous[signal.SIGINT] = interrupt
            for ending in _ENDING:
                if signal.getsignal(ending) == signal.SIG_DFL:
                    self.previous[ending] = signal.SIG_DFL
            for signum in self.previous:
                signal.signal(signum, self._handle)
        self.depth += 1
        return True

    def leave(self) -> None:
        """Gives the signals back after a run's cleanup and lets one that
        waited take effect: an ending signal ends the process, SIGINT goes
        to its own handler (KeyboardInterrupt by default)."""
        self.depth -= 1
        if self.depth > 0:
            return
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        pending, self.pending = self.pending, []
        for signum in pending:
            if signum != signal.SIGINT:
                signal.raise_signal(signum)  # the default action: the process ends here
        if signal.SIGINT in pending:
            handler = self.previous.get(signal.SIGINT)
            if callable(handler):
                handler(signal.SIGINT, None)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        """A cleanup: signals arriving meanwhile wait for its end."""
        self.holding += 1
        try:
            yield
        finally:
            self.holding -= 1

    def _handle(self, signum: int, frame: Optional[FrameType]) -> None:
        if self.holding:
            if signum not in self.pending:
                self.pending.append(signum)
            return
        if signum == signal.SIGINT:
            handler = self.previous.get(signum)
            if callable(handler):
                handler(signum, frame)
            return
        if signum not in self.pending:
            self.pending.append(signum)
        # Raised once: a second signal while the run unwinds must not cut
        # its cleanup short before that starts.
        if not self.ended:
            self.ended = True
            raise Ended(f"ended by signal {signum}")


EXITS = _Exits()
