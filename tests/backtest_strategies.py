"""Strategies the backtest tests run; a module of its own, so that sweep
workers (other processes) can import them."""

from __future__ import annotations

from typing import Any, Callable

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


class Recorder:
    """Records what on_bar is handed and what the Terminal shows then, and
    trades by a script: {bar index: action}."""

    def __init__(self, script: dict[int, Callable[[str], Any]] | None = None) -> None:
        self.script = script or {}
        self.calls: list[tuple[str, list[int], list[float]]] = []
        self.clock: list[int] = []

    def __call__(self, symbol: str, bars: np.ndarray) -> None:
        self.calls.append((symbol, bars["time"].tolist(), bars["close"].tolist()))
        tick = qv.symbol_info_tick(symbol)
        self.clock.append(tick.time_msc if tick is not None else -1)
        action = self.script.get(len(self.calls) - 1)
        if action is not None:
            action(symbol)
