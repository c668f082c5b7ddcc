"""Candlestick charts of bar history, written as PNG files.

matplotlib is optional (``pip install matplotlib``): ``save_bar_chart``
returns False with a reason when it is missing.
"""

from __future__ import annotations

import datetime as dt
import math
from typing import Any, List, Optional, Sequence, Tuple

MISSING_MATPLOTLIB = 'matplotlib is not installed; install it with: pip install matplotlib'


def _utc(seconds: int) -> dt.datetime:
    return dt.datetime.fromtimestamp(seconds, dt.timezone.utc)


def time_ticks(times: Sequence[int], max_ticks: int = 8) -> List[Tuple[int, str]]:
    """Where to label a row of bars drawn side by side, and with what.

    `times` are the bars' opening times (POSIX seconds, ascending). The
    newest bar is always labelled; the others are spaced evenly back from
    it. Bars open at distinct times, so labels that carry the time of day
    (or the date, when every bar opens at midnight) never repeat.
    """
    n = len(times)
    if n == 0:
        return []
    step = max(1, math.ceil((n - 1) / max(1, max_ticks - 1)))
    positions = list(range(n - 1, -1, -step))[::-1]
    stamps = [_utc(int(t)) for t in times]
    daily = all(s.hour == 0 and s.minute == 0 for s in stamps)
    one_year = stamps[0].year == stamps[-1].year
    fmt = "%Y-%m-%d" if daily else ("%m-%d %H:%M" if one_year else "%Y-%m-%d %H:%M")
    return [(i, stamps[i].strftime(fmt)) for i in positions]


def save_bar_chart(rates: Any, symbol: str, path: str, *, max_bars: int = 300) -> Tuple[bool, Optional[str]]:
    """Writes a candlestick chart of `rates` (a bar array from the
    ``copy_rates_*`` functions) to the PNG file `path`.

    The last `max_bars` bars are drawn side by side, so weekends and nights
    leave no gaps; the x axis labels the bars' opening times in UTC. Returns
    (True, None) once written, else (False, the reason).
    """
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only; never needs a display
        import matplotlib.pyplot as plt
        import numpy as np
    except ImportError:
        return False, MISSING_MATPLOTLIB
    if rates is None or len(rates) == 0:
        return False, f"no bars of {symbol} to draw"

    bars = rates[-max_bars:]
    x = np.arange(len(bars))
    opens, highs, lows, closes = (bars[name].astype(float) for name in ("open", "high", "low", "close"))
    colours = ["#26a69a" if rising else "#ef5350" for rising in closes >= opens]
    times = [int(t) for t in bars["time"]]

    fig, ax = plt.subplots(figsize=(11, 5.5), dpi=100)
    try:
        ax.vlines(x, lows, highs, colors=colours, linewidth=0.8)
        # A doji still shows: its body gets a sliver of the chart's height.
        floor = (highs.max() - lows.min()) * 0.002
        ax.bar(x, np.maximum(np.abs(closes - opens), floor), bottom=np.minimum(opens, closes), width=0.7,
               color=colours, edgecolor=colours, linewidth=0.5)
        ticks = time_ticks(times)
        ax.set_xticks([i for i, _ in ticks])
        ax.set_xticklabels([label for _, label in ticks], rotation=30, ha="right")
        ax.set_xlim(-1, len(bars))
        ax.grid(True, color="#e0e0e0", linewidth=0.6)
        ax.set_axisbelow(True)
        first, last = _utc(times[0]), _utc(times[-1])
        ax.set_title(f"{symbol}: {len(bars)} bars, {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M} UTC")
        ax.set_xlabel("bar opening time (UTC)")
        ax.set_ylabel(f"{symbol} price")
        fig.tight_layout()
        fig.savefig(path, format="png")
    except OSError as e:
        return False, f"cannot write {path}: {e.strerror or e}"
    finally:
        plt.close(fig)
    return True, None

