"""The strategy the backtest tests run; a module of its own, so that sweep
workers (other processes) can import it."""

from __future__ import annotations

import time
from typing import Callable

import numpy as np

import quorvane as qv
from quorvane import trade


def readme_strategy(symbol: str, bars: np.ndarray) -> None:
    """The README's example."""
    fast, slow = bars["close"][-10:].mean(), bars["close"][-30:].mean()
    held = qv.positions_get(symbol=symbol)
    if fast > slow and not held:
        trade.buy(symbol, 0.1, sl=trade.round_price(symbol, bars["close"][-1] - 0.005))
    elif fast < slow and held:
        trade.close(held[0])


def ma_crossover(fast: int, slow: int, volume: float = 0.1) -> Callable[[str, np.ndarray], None]:
    """Long while the fast average of the closes is above the slow one, short below."""
    return _crossover(fast, slow, volume, turn_in_one_deal=False)


def reversing(fast: int, slow: int, volume: float = 0.1) -> Callable[[str, np.ndarray], None]:
    """The crossover above, turning from long to short and back in one deal of
    twice the volume on a netting account and by a close and an opening on a
    hedging one: the same trades either way."""
    return _crossover(fast, slow, volume, turn_in_one_deal=True)


def _crossover(fast: int, slow: int, volume: float, turn_in_one_deal: bool) -> Callable[[str, np.ndarray], None]:
    def on_bar(symbol: str, bars: np.ndarray) -> None:
        if len(bars) < slow:
            return
        closes = bars["close"]
        wanted = qv.PositionType.BUY if closes[-fast:].mean() > closes[-slow:].mean() else qv.PositionType.SELL
        held = qv.positions_get(symbol=symbol)
        if any(p.type == wanted for p in held):
            return
        send = trade.buy if wanted == qv.PositionType.BUY else trade.sell
        if turn_in_one_deal and held and qv.account_info().margin_mode == qv.AccountMarginMode.RETAIL_NETTING:
            send(symbol, 2 * volume, check=True)
            return
        for position in held:
            trade.close(position, check=True)
        send(symbol, volume, check=True)

    return on_bar


def selling(volume: float) -> Callable[[str, np.ndarray], None]:
    """Sells ``volume`` lots at the first bar, raising TradeError when the Terminal refuses."""
    def on_bar(symbol: str, bars: np.ndarray) -> None:
        trade.sell(symbol, volume, check=True)

    return on_bar


def stalling(log: str, name: str, limit_s: float = 20.0) -> Callable[[str, np.ndarray], None]:
    """Writes ``name`` to the file ``log`` at the first bar, then stalls
    there for up to ``limit_s`` seconds (in Python, where an interruption
    lands at once)."""
    begun = []

    def on_bar(symbol: str, bars: np.ndarray) -> None:
        if begun:
            return
        begun.append(True)
        with open(log, "a") as f:
            f.write(name + "\n")
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            time.sleep(0.02)

    return on_bar
