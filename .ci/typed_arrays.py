"""Checked by mypy --strict (job_wheel_types), never run: a tick or bar
array's fields reach a type checker as typed NumPy arrays, not as Any. Each
function returns its field arithmetic, so a field typed Any fails the check
("Returning Any from function declared to return ...")."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from quorvane._core import _RateArray, _TickArray


def bodies(bars: _RateArray) -> NDArray[np.floating[Any]]:
    return bars["close"] - bars["open"]


def hours(bars: _RateArray) -> NDArray[np.signedinteger[Any]]:
    return bars["time"] // 3600 + bars["spread"]


def mids(ticks: _TickArray) -> NDArray[np.floating[Any]]:
    return (ticks["bid"] + ticks["ask"]) / 2


def deal_volumes(ticks: _TickArray) -> NDArray[np.unsignedinteger[Any]]:
    return ticks["volume"] * (ticks["flags"] & 8)


def newest(bars: _RateArray, ticks: _TickArray) -> tuple[_RateArray, np.void, _TickArray]:
    return bars[-5:], bars[0], ticks[ticks["bid"] > 1.0]
