"""Saving bar history as a candlestick chart.

``save_bar_chart(rates, symbol, path)`` takes an array returned by
``copy_rates_from``, ``copy_rates_from_pos`` or ``copy_rates_range`` and
writes a PNG. matplotlib is optional (``pip install quorvane[demo]``); without
it the function says so in one line and returns False.

Run as a script to chart the latest bars of a symbol from the bundled
Terminal: ``python examples/chart.py [SYMBOL] [OUT.png]``.
"""

from __future__ import annotations

import datetime as dt
import sys

import numpy as np
import numpy.typing as npt


def save_bar_chart(rates: npt.NDArray[np.void] | None, symbol: str, path: str, *, max_bars: int = 300) -> bool:
    """Writes a candlestick chart of `rates` (a bar array) to the PNG `path`.

    Only the last `max_bars` bars are drawn: more candles than pixels would
    merge into a smear. Bars are placed side by side, so weekends and other
    closed periods leave no gaps. Returns True when the file was written.
    """
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only; never needs a display
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter, MaxNLocator
    except ImportError:
        print("matplotlib is not installed; no chart written (pip install matplotlib)")
        return False

    if rates is None or len(rates) == 0:
        print(f"no bars for {symbol}; no chart written")
        return False
    bars = rates[-max_bars:]
    x = np.arange(len(bars))
    opens, highs, lows, closes = (bars[name].astype(float) for name in ("open", "high", "low", "close"))
    rising = closes >= opens
    up, down = "#26a69a", "#ef5350"
    colours = np.where(rising, up, down)

    fig, ax = plt.subplots(figsize=(11, 5.5), dpi=100)
    try:
        ax.vlines(x, lows, highs, colors=colours, linewidth=0.8)
        bottoms = np.minimum(opens, closes)
        heights = np.abs(closes - opens)
        # A doji still shows: its body gets a sliver of the chart's height.
        floor = (highs.max() - lows.min()) * 0.002
        ax.bar(x, np.maximum(heights, floor), bottom=bottoms, width=0.7, color=colours,
               edgecolor=colours, linewidth=0.5)

        times = bars["time"].astype(np.int64)
        span = int(times[-1] - times[0]) if len(times) > 1 else 0
        fmt = "%Y-%m-%d" if span >= 3 * 86400 else "%m-%d %H:%M"

        def label(value: float, _pos: object) -> str:
            i = int(round(value))
            if 0 <= i < len(times):
                return dt.datetime.fromtimestamp(int(times[i]), dt.timezone.utc).strftime(fmt)
            return ""

        ax.xaxis.set_major_locator(MaxNLocator(nbins=8, integer=True))
        ax.xaxis.set_major_formatter(FuncFormatter(label))
        ax.set_xlim(-1, len(bars))
        ax.grid(True, color="#e0e0e0", linewidth=0.6)
        ax.set_axisbelow(True)
        first = dt.datetime.fromtimestamp(int(times[0]), dt.timezone.utc)
        last = dt.datetime.fromtimestamp(int(times[-1]), dt.timezone.utc)
        ax.set_title(f"{symbol}: {len(bars)} bars, {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M} UTC")
        ax.set_ylabel("price")
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)
    return True


def main() -> int:
    import quorvane

    symbol = sys.argv[1] if len(sys.argv) > 1 else "EURUSD"
    out = sys.argv[2] if len(sys.argv) > 2 else f"{symbol}.png"
    if not quorvane.initialize(quorvane.terminal_path()):
        print("initialize failed:", quorvane.last_error())
        return 1
    try:
        h1 = quorvane.Timeframe.H1
        rates = quorvane.copy_rates_from_pos(symbol, h1, 0, 200)
        if rates is None:
            print("copy_rates_from_pos failed:", quorvane.last_error())
            return 1
        if save_bar_chart(rates, symbol, out):
            print("wrote", out)
    finally:
        quorvane.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
