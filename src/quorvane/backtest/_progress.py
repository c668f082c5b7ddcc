"""Progress bars for ``run``, ``sweep`` and ``walk_forward``, drawn by tqdm
(an optional library: ``pip install "quorvane[progress]"``), in a terminal
or, with ipywidgets, as a notebook's widget.

A bar costs the run next to nothing: ``drive`` compares its clock with the
time the bar asked to be called at, ``EVERY_BARS`` bars of the timeframe
after the last call, and the bar redraws at most every ``INTERVAL_S``
seconds: a step pays one comparison of integers and, now and then, a call
that reads the time. A run's bar is made only once the run has lasted
``DELAY_S``: a shorter run needs none, and does not pay for making one.
"""

from __future__ import annotations

import datetime as dt
import sys
import time
from typing import Any, Optional

# How often drive() reports its clock to a run's bar: every this many bars of
# the clock. A step costs a few microseconds at the least, so this is some
# hundreds of reports a second on the fastest runs, each costing a reading of
# the time unless it redraws.
EVERY_BARS = 256
# The least time between two redraws of a bar.
INTERVAL_S = 0.2
# How long a run goes without a bar.
DELAY_S = 0.5

MISSING_TQDM = 'progress bars need tqdm; install it with: pip install tqdm (or pip install "quorvane[progress]")'


def _in_notebook() -> bool:
    """Whether this process is a notebook's kernel (IPython over ZMQ), whose
    output is shown though it is no terminal."""
    ipython = sys.modules.get("IPython")
    shell = getattr(ipython, "get_ipython", lambda: None)() if ipython is not None else None
    return getattr(shell, "kernel", None) is not None


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream is not None and stream.isatty())
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        return False


def _have_tqdm() -> bool:
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


def wanted(progress: Optional[bool]) -> bool:
    """Whether to show a bar: ``progress`` if it is True or False (True
    raises ImportError without tqdm); None shows one when standard error is
    a terminal or this is a notebook's kernel, and tqdm is there. When a bar
    is to be shown, tqdm is made ready now, before the work begins."""
    if progress is None:
        show = (_is_terminal(sys.stderr) or _in_notebook()) and _have_tqdm()
    elif not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {progress!r}")
    elif progress and not _have_tqdm():
        raise ImportError(MISSING_TQDM)
    else:
        show = progress
    if show:
        _tqdm()
    return show


_made: Any = None


def _tqdm() -> Any:
    """tqdm's bar for this place (a terminal's or a notebook's), ready:
    imported and its lock made, which its first bar would otherwise do (some
    milliseconds) in the middle of a run; without tqdm's monitor thread, as
    the bars' owners pace their redraws themselves."""
    global _made
    if _made is None:
        from tqdm.auto import tqdm

        class Paced(tqdm):  # type: ignore[misc]  # tqdm has no type hints
            monitor_interval = 0

        Paced.get_lock()
        _made = Paced
    return _made


class Bar:
    """A count of things done of a total (``sweep``'s backtests), or nothing
    when not shown. Closed by ``with``."""

    def __init__(self, show: bool, total: int, unit: str, what: str) -> None:
        self._bar: Any = None
        if show:
            self._bar = _tqdm()(total=total, unit=unit, desc=what, mininterval=INTERVAL_S, dynamic_ncols=True)

    def advance(self) -> None:
        if self._bar is not None:
            self._bar.update(1)

    def __enter__(self) -> "Bar":
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._bar is not None:
            self._bar.close()


class RunBar:
    """A run's bar: the bars of the timeframe done of the period, the
    calendar's (a weekend's bars count, done at once when the clock passes
    them), with the date the clock stands at. Called with the clock (ms),
    it returns the clock at which it wants the next call; redraws at most
    every ``INTERVAL_S``."""

    def __init__(self, start_ms: int, end_ms: int, bar_ms: int, what: str) -> None:
        self._start, self._end, self._bar_ms, self._what = start_ms, end_ms, max(1, bar_ms), what
        self._total = max(1, -(-(end_ms - start_ms) // self._bar_ms))
        self._stride = EVERY_BARS * self._bar_ms
        self._began = time.monotonic()
        self._next = self._began + DELAY_S  # the first redraw, which makes the bar
        self._bar: Any = None

    def __call__(self, now_ms: int) -> int:
        moment = time.monotonic()
        if moment >= self._next:
            self._next = moment + INTERVAL_S
            self._show(min(self._total, max(0, (now_ms + 1 - self._start) // self._bar_ms)), now_ms + 1)
        return now_ms + self._stride

    def _show(self, done: int, clock_ms: int) -> None:
        if self._bar is None:
            # Made late, but timed from the run's start: its rate (and the
            # time left) is the run's mean pace (smoothing 0), which jumps
            # over weekends and nights alike.
            self._bar = _tqdm()(total=self._total, unit="bar", desc=self._what, mininterval=INTERVAL_S,
                                smoothing=0, dynamic_ncols=True)
            self._bar.start_t -= time.monotonic() - self._began
        day = dt.datetime.fromtimestamp(clock_ms / 1000, dt.timezone.utc)
        self._bar.set_postfix_str(f"{day:%Y-%m-%d %H:%M}", refresh=False)
        self._bar.update(done - self._bar.n)

    def finish(self) -> None:
        """The run has ended: the whole period is done (shown if the bar is)."""
        if self._bar is not None:
            self._show(self._total, self._end)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
