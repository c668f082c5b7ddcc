"""The strategy the backtest tests run; a module of its own, so that sweep
workers (other processes) can import it."""

from __future__ import annotations

from typing import Callable

import numpy as np

import quorvane as qv
from quorvane import trade


def ma_crossover(fast: int, slow: int, volume: float = 0.1) -> Callable[[str, np.ndarray], None]:
    """Long while the fast average of the closes is above the slow one, short below."""
    def on_bar(symbol: str, bars: np.ndarray) -> None:
        if len(bars) < slow:
            return
        closes = bars["close"]
        wanted = qv.PositionType.BUY if closes[-fast:].mean() > closes[-slow:].mean() else qv.PositionType.SELL
        held = qv.positions_get(symbol=symbol)
        if any(p.type == wanted for p in held):
            return
        for position in held:
            trade.close(position, check=True)
        (trade.buy if wanted == qv.PositionType.BUY else trade.sell)(symbol, volume, check=True)

    return on_bar

