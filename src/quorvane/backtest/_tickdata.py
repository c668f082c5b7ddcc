"""Your own tick data in a Terminal's files folder, as a custom symbol.

``import_ticks(folder, "MYEUR", "eurusd.csv", like="EURUSD")`` writes
``folder/QSL/custom/MYEUR/symbol.ini`` (the symbol's properties: those of the
catalogue symbol ``like``, with overrides) and ``ticks.qvt`` (the ticks in
the Terminal's 60-byte tick record, oldest first, after a 64-byte header).
A Terminal whose files folder that is (the installation folder of a
portable one, else its data folder) serves them from its next start as
the symbol NAME: ``copy_ticks_*``, bars built from them, quotes and trading.

Input: a CSV file (a header line naming the columns), a Parquet file, a
NumPy structured array or a pandas/polars DataFrame, with the columns
``time_msc`` (milliseconds since 1970-01-01 UTC; a datetime column is taken
too), ``bid``, ``ask`` and optionally ``last`` (the deal price, 0 for none)
and ``volume`` (the deal's size; ``volume_real`` wins when both are there,
as in the arrays ``copy_ticks_*`` return). Several files are joined in the
order given.

Everything is checked before anything is written: times from 2000-01-01
(where the Terminal's history starts) up to 2038-01-19 (the last second a
date argument can name) and never going back
(several ticks may share a millisecond), bid and ask finite and positive
with bid <= ask, last and volume finite and not negative, a file that is
what its suffix says. The first fault raises ``TickDataError`` naming the
file and the line (CSV, the header being line 1) or row (Parquet, arrays
and frames, counted from 0), and nothing is imported. The files are written
beside their final names and renamed into place, so a Terminal never reads
half of one.

Flags and integer volumes are derived as the Terminal's market model does:
BID/ASK when that side changed since the tick before (the first tick has
both), VOLUME for a deal (volume > 0), LAST when a non-zero last differs
from the previous non-zero last; ``volume`` is the deal's size rounded half
away from zero, at least 1 for a deal, 0 for a quote.
"""

from __future__ import annotations

import decimal
import math
import os
import struct
import time
import warnings
from pathlib import Path
from typing import Any, Iterable, NamedTuple, Optional, Sequence, Union

import numpy as np

__all__ = ["TickDataError", "Imported", "import_ticks", "TICK_DTYPE", "CATALOGUE"]

# The tick record on the wire and in ticks.qvt (packed, little-endian).
TICK_DTYPE = np.dtype([("time", "<i8"), ("bid", "<f8"), ("ask", "<f8"), ("last", "<f8"), ("volume", "<u8"),
                       ("time_msc", "<i8"), ("flags", "<u4"), ("volume_real", "<f8")])
assert TICK_DTYPE.itemsize == 60

MAGIC = b"QVNTICKS"
VERSION = 1
HEADER_SIZE = 64
_HEADER = struct.Struct("<8sIIQqq")

# The symbols of the bundled Terminal's catalogue (terminal/market/symbols.cpp),
# which ``like`` may name and an imported symbol may not be called.
CATALOGUE = frozenset((
    "EURUSD", "GBPUSD", "USDJPY", "USDCHF", "AUDUSD", "USDCAD", "NZDUSD", "EURGBP", "EURJPY", "GBPJPY", "EURCHF",
    "XAUUSD", "XAGUSD", "XPTUSD", "US500", "NAS100", "US30", "GER40", "UK100", "FRA40", "JPN225",
    "BTCUSD", "ETHUSD", "LTCUSD", "XRPUSD",
))

BID, ASK, LAST, VOLUME = 1, 2, 4, 8
# The Terminal's history starts 2000-01-01 (it refuses a tick file holding
# an earlier time); the last millisecond a date argument (signed 32-bit
# seconds) can reach ends the range.
_FIRST_MS = 946_684_800_000
_LAST_MS = (2**31) * 1000 - 1
_NAME_UNITS = 29
_NOT_IN_NAMES = set('/\\<>:"|?*')
_TIME_COLUMN, _PRICES, _OPTIONAL = "time_msc", ("bid", "ask"), ("last", "volume")

Data = Union[str, "os.PathLike[str]", np.ndarray, Any]


class TickDataError(ValueError):
    """Tick data that cannot be imported; the message names the file (or
    the kind of input) and the line or row."""


class Imported(NamedTuple):
    """What ``import_ticks`` wrote: the symbol's folder, the number of
    ticks and the times of the first and last (ms)."""

    folder: Path
    ticks: int
    first_time_msc: int
    last_time_msc: int


class _Source:
    """One input's columns, and how to name its rows in a message."""

    def __init__(self, label: str, columns: dict[str, np.ndarray], unit: str, first: int) -> None:
        self.label = label
        self.columns = columns
        self.unit = unit      # "line" or "row"
        self.first = first    # the label of the source's first row
        self.count = len(columns[_TIME_COLUMN])

    def where(self, index: int) -> str:
        return f"{self.label}, {self.unit} {self.first + index}"


# ---- reading ---------------------------------------------------------------------------------


def _as_ms(values: Any, where: str) -> np.ndarray:
    """A time column as int64 milliseconds (or float64, for the checks to
    find what is not a whole number)."""
    array = np.asarray(values)
    if array.dtype.kind == "M":
        return array.astype("datetime64[ms]").astype(np.int64)
    if array.dtype.kind in "iu":
        return array.astype(np.int64)
    if array.dtype.kind == "f":
        return array.astype(np.float64)
    if array.dtype.kind == "b" or array.dtype.kind not in "O":
        raise TickDataError(f"{where}: time_msc must be numbers, not {array.dtype}")
    try:
        return array.astype(np.float64)
    except (TypeError, ValueError):
        raise TickDataError(f"{where}: time_msc must be numbers") from None


def _as_float(values: Any, name: str, where: str) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind not in "iuf":
        try:
            array = array.astype(np.float64)
        except (TypeError, ValueError):
            raise TickDataError(f"{where}: {name} must be numbers, not {array.dtype}") from None
    return array.astype(np.float64, copy=False)


def _frame_column(frame: Any, name: str) -> Any:
    """A pandas or polars column as a NumPy array; datetimes (with a time
    zone or not) as UTC milliseconds."""
    column = frame[name]
    dt = getattr(column, "dt", None)
    kind = str(getattr(column, "dtype", ""))
    if dt is not None and "datetime" in kind.lower():
        if hasattr(dt, "epoch"):                          # polars
            return column.dt.epoch("ms").to_numpy()
        if getattr(dt, "tz", None) is not None:          # pandas, with a zone
            column = column.dt.tz_convert("UTC").dt.tz_localize(None)
        return column.to_numpy().astype("datetime64[ms]")
    return column.to_numpy() if hasattr(column, "to_numpy") else np.asarray(column)


def _columns(names: Iterable[str], get: Any, where: str) -> dict[str, np.ndarray]:
    present = set(names)
    missing = [n for n in (_TIME_COLUMN,) + _PRICES if n not in present]
    if missing:
        raise TickDataError(f"{where}: no column {', '.join(missing)} (found: {', '.join(sorted(present)) or 'none'})")
    columns = {_TIME_COLUMN: _as_ms(get(_TIME_COLUMN), where)}
    for name in _PRICES:
        columns[name] = _as_float(get(name), name, where)
    size_column = "volume_real" if "volume_real" in present else "volume" if "volume" in present else None
    n = len(columns[_TIME_COLUMN])
    columns["last"] = _as_float(get("last"), "last", where) if "last" in present else np.zeros(n)
    columns["volume"] = _as_float(get(size_column), size_column, where) if size_column else np.zeros(n)
    return columns


def _from_array(array: np.ndarray, label: str) -> _Source:
    if array.dtype.names is None or array.ndim != 1:
        raise TickDataError(f"{label}: a one-dimensional structured array is needed, with fields time_msc, bid, "
                            f"ask (and optionally last, volume); got dtype {array.dtype}")
    return _Source(label, _columns(array.dtype.names, lambda n: array[n], label), "row", 0)


def _from_frame(frame: Any, label: str) -> _Source:
    return _Source(label, _columns([str(c) for c in frame.columns], lambda n: _frame_column(frame, n), label),
                   "row", 0)


def _csv_fault(path: Path, header: list[str]) -> TickDataError:
    """The first line of a CSV file NumPy could not read, found line by line
    (only ever on this error path)."""
    import csv

    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        rows = csv.reader(f)
        next(rows, None)
        for number, row in enumerate(rows, start=2):
            if len(row) != len(header):
                return TickDataError(f"{path}, line {number}: {len(row)} fields where the header names "
                                     f"{len(header)}")
            for name, text in zip(header, row):
                if name in (_TIME_COLUMN,) + _PRICES + _OPTIONAL + ("volume_real",):
                    try:
                        float(text)
                    except ValueError:
                        return TickDataError(f"{path}, line {number}: {name} is {text!r}, not a number")
    return TickDataError(f"{path}: not a CSV file of numbers")


def _read_csv(path: Path) -> _Source:
    whole = path.read_bytes()
    head = whole[:65536]
    if head.startswith(b"PAR1"):
        raise TickDataError(f"{path}: not a CSV file (it is a Parquet file)")
    first_line = head.split(b"\n", 1)[0].rstrip(b"\r")
    try:
        if b"\0" in head:
            raise UnicodeDecodeError("utf-8", head, 0, 1, "NUL byte")
        header_text = first_line.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise TickDataError(f"{path}: not a CSV file (it holds binary data)") from None
    header = [h.strip().strip('"').lower() for h in header_text.split(",")]
    if not first_line or _TIME_COLUMN not in header:
        raise TickDataError(f"{path}, line 1: the header must name the columns time_msc, bid, ask "
                            f"(and optionally last, volume); found {header_text[:200]!r}")
    blank = _blank_line(whole)
    if blank is not None:
        raise TickDataError(f"{path}, line {blank}: an empty line")
    wanted = [n for n in (_TIME_COLUMN,) + _PRICES + _OPTIONAL + ("volume_real",) if n in header]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a file of no rows: refused below, in words of our own
            table = np.loadtxt(path, delimiter=",", skiprows=1, usecols=[header.index(n) for n in wanted],
                               dtype=np.float64, ndmin=2, encoding="utf-8", comments=None)
    except (ValueError, UnicodeDecodeError):
        raise _csv_fault(path, header) from None
    by_name = {name: table[:, i] for i, name in enumerate(wanted)}
    return _Source(str(path), _columns(wanted, by_name.__getitem__, str(path)), "line", 2)


def _blank_line(data: bytes) -> Optional[int]:
    """The number of the first empty line before the file's end (NumPy skips
    them, which would shift every line number after one), or None."""
    stripped = data.rstrip(b"\r\n")
    at = stripped.find(b"\n\n")
    crlf = stripped.find(b"\n\r\n")
    hits = [i for i in (at, crlf) if i >= 0]
    if not hits:
        return None
    return stripped.count(b"\n", 0, min(hits)) + 2


def _read_parquet(path: Path) -> _Source:
    with open(path, "rb") as f:
        start = f.read(4)
        f.seek(0, os.SEEK_END)
        size = f.tell()
        f.seek(max(0, size - 4))
        end = f.read(4)
    if start != b"PAR1" or end != b"PAR1" or size < 12:
        kind = "a CSV file" if start[:1].isalpha() else "damaged or another format"
        raise TickDataError(f"{path}: not a Parquet file ({kind})")
    try:
        import pyarrow.parquet as pq  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        pq = None
    try:
        if pq is not None:
            table = pq.read_table(path)
            names = table.column_names
            return _Source(str(path), _columns(names, lambda n: _arrow_column(table.column(n)), str(path)), "row", 0)
        import polars as pl  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("reading Parquet needs pyarrow or polars: pip install pyarrow") from None
    except TickDataError:
        raise
    except Exception as e:  # the reader's own errors: a damaged file
        raise TickDataError(f"{path}: not a readable Parquet file ({e})") from None
    try:
        frame = pl.read_parquet(path)
    except Exception as e:
        raise TickDataError(f"{path}: not a readable Parquet file ({e})") from None
    return _Source(str(path), _columns(frame.columns, lambda n: _frame_column(frame, n), str(path)), "row", 0)


def _arrow_column(column: Any) -> np.ndarray:
    import pyarrow as pa  # type: ignore[import-not-found, import-untyped, unused-ignore]

    if pa.types.is_timestamp(column.type):
        column = column.cast(pa.timestamp("ms", tz=column.type.tz)).cast(pa.int64())
    if column.null_count:
        column = column.cast(pa.float64())  # a missing value becomes NaN, which the checks refuse
    return np.asarray(column.to_numpy())


def _read(data: Data, index: int) -> _Source:
    if isinstance(data, np.ndarray):
        return _from_array(data, "the array" if index == 0 else f"array {index}")
    if isinstance(data, (str, os.PathLike)):
        path = Path(data)
        if not path.is_file():
            raise TickDataError(f"{path}: no such file")
        suffix = path.suffix.lower()
        if suffix == ".csv":
            return _read_csv(path)
        if suffix in (".parquet", ".pq"):
            return _read_parquet(path)
        raise TickDataError(f"{path}: unknown kind of file; name it .csv or .parquet")
    if hasattr(data, "columns"):
        return _from_frame(data, "the frame" if index == 0 else f"frame {index}")
    raise TypeError(f"tick data is a file path, a NumPy structured array or a DataFrame, not {type(data).__name__}")


# ---- checking --------------------------------------------------------------------------------


def _first_fault(t: np.ndarray, bid: np.ndarray, ask: np.ndarray, last: np.ndarray,
                 volume: np.ndarray) -> Optional[tuple[int, str]]:
    """The first row that breaks a rule, and what is wrong with it."""
    with np.errstate(invalid="ignore"):
        faults: list[tuple[np.ndarray, Any]] = []
        if t.dtype.kind == "f":
            faults.append((~np.isfinite(t) | (t != np.floor(t)),
                           lambda i: f"time_msc is {float(t[i])!r}, not a whole number of milliseconds"))
        faults += [
            ((t < _FIRST_MS) | (t > _LAST_MS), lambda i: _outside(int(t[i]))),
            (np.concatenate(([False], t[1:] < t[:-1])),
             lambda i: f"time_msc {int(t[i])} goes back from {int(t[i - 1])} on the row before (times must "
                       f"not decrease)"),
            (~(bid > 0) | ~np.isfinite(bid), lambda i: f"bid is {float(bid[i])!r}; it must be a positive number"),
            (~(ask > 0) | ~np.isfinite(ask), lambda i: f"ask is {float(ask[i])!r}; it must be a positive number"),
            (bid > ask, lambda i: f"bid {float(bid[i])!r} is above ask {float(ask[i])!r}"),
            (~(last >= 0) | ~np.isfinite(last), lambda i: f"last is {float(last[i])!r}; it must be 0 or more"),
            (~(volume >= 0) | ~(volume < 2.0**63), lambda i: f"volume is {float(volume[i])!r}; it must be 0 or more "
                                                             f"and finite"),
        ]
    best: Optional[tuple[int, str]] = None
    for mask, say in faults:
        if mask.any():
            i = int(mask.argmax())
            if best is None or i < best[0]:
                best = (i, say(i))
    return best


def _outside(ms: int) -> str:
    text = (f"time_msc {ms} lies outside 2000-01-01 .. 2038-01-19 (the Terminal's history starts 2000-01-01; "
            f"a date argument reaches 2038-01-19)")
    if _FIRST_MS <= ms * 1000 <= _LAST_MS:
        text += "; is it in seconds? time_msc counts milliseconds"
    return text


def _locate(sources: Sequence[_Source], index: int) -> str:
    for source in sources:
        if index < source.count:
            return source.where(index)
        index -= source.count
    return f"row {index}"


# ---- writing ---------------------------------------------------------------------------------


def ticks_of(time_msc: np.ndarray, bid: np.ndarray, ask: np.ndarray, last: np.ndarray,
             volume: np.ndarray) -> np.ndarray:
    """The tick records of checked columns, flags and integer volumes derived."""
    n = len(time_msc)
    out = np.zeros(n, dtype=TICK_DTYPE)
    t = time_msc.astype(np.int64)
    out["time_msc"] = t
    out["time"] = t // 1000
    out["bid"], out["ask"], out["last"], out["volume_real"] = bid, ask, last, volume
    changed_bid = np.ones(n, dtype=bool)
    changed_bid[1:] = bid[1:] != bid[:-1]
    changed_ask = np.ones(n, dtype=bool)
    changed_ask[1:] = ask[1:] != ask[:-1]
    deal = volume > 0
    # The latest non-zero last before each tick: the running maximum of the
    # indices holding one.
    holder = np.maximum.accumulate(np.where(last != 0, np.arange(n), -1)) if n else np.zeros(0, np.int64)
    before = np.concatenate(([-1], holder[:-1])) if n else holder
    new_last = (last != 0) & ((before < 0) | (last != last[np.maximum(before, 0)]))
    out["flags"] = (changed_bid * BID) | (changed_ask * ASK) | (new_last * LAST) | (deal * VOLUME)
    whole = np.floor(volume)
    whole += (volume - whole) >= 0.5
    out["volume"] = np.where(deal, np.maximum(whole, 1.0), 0.0).astype(np.uint64)
    return out


def _check_name(symbol: str) -> None:
    units = len(symbol.encode("utf-16-le", "surrogatepass")) // 2
    if not 1 <= units <= _NAME_UNITS:
        raise ValueError(f"a symbol name has 1 to {_NAME_UNITS} characters; {symbol!r} has {units}")
    if symbol in (".", "..") or any(c in _NOT_IN_NAMES or ord(c) < 32 for c in symbol) or symbol != symbol.strip():
        raise ValueError(f"{symbol!r} cannot name a symbol: no path separators, control characters, "
                         f"leading or trailing spaces, or any of <>:\"|?*")
    if symbol in CATALOGUE:
        raise ValueError(f"{symbol!r} is a catalogue symbol; give the imported one a name of its own")


def _ini_value(key: str, value: object) -> str:
    if key == "digits":
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 8:
            raise ValueError(f"digits must be a whole number from 0 to 8, not {value!r}")
        return str(value)
    if key == "contract_size":
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not (0 < value < 1e15):
            raise ValueError(f"contract_size must be a positive number, not {value!r}")
        # The Terminal counts money exactly for contracts of whole 10^-8 units.
        exponent = decimal.Decimal(repr(float(value))).as_tuple().exponent  # an int: the value is finite
        if isinstance(exponent, int) and exponent < -8:
            raise ValueError(f"contract_size may have at most 8 decimals, not {value!r}")
        return repr(float(value))
    text = str(value)
    if key.startswith("currency_"):
        if not (1 <= len(text) <= 15 and text.isascii() and text.isalnum()):
            raise ValueError(f"{key} must be a currency code such as USD, not {text!r}")
        return text.upper()
    if len(text) > 63 or any(ord(c) < 32 for c in text) or text != text.strip():
        raise ValueError(f"{key} must be one line of at most 63 characters, without leading or trailing spaces")
    return text


def _replace(path: Path, data: bytes | memoryview, parts: Sequence[bytes | memoryview] = ()) -> Path:
    """Writes the file beside its name; returns the temporary path (renamed by the caller)."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    with open(temporary, "wb") as f:
        f.write(data)
        for part in parts:
            f.write(part)
        f.flush()
        os.fsync(f.fileno())
    return temporary


def import_ticks(folder: Union[str, "os.PathLike[str]"], symbol: str, data: Union[Data, Sequence[Data]], *,
                 like: str, digits: Optional[int] = None, contract_size: Optional[float] = None,
                 currency_base: Optional[str] = None, currency_profit: Optional[str] = None,
                 currency_margin: Optional[str] = None, description: Optional[str] = None) -> Imported:
    """Imports ticks as the custom symbol ``symbol`` into the Terminal files
    folder ``folder`` (made if missing); see the module's doc for the input
    and the checks. ``like`` names the catalogue symbol whose properties it
    copies; ``digits``, ``contract_size``, the currencies and ``description``
    override them (``trade_tick_size`` follows ``digits``; ``contract_size``
    has at most 8 decimals). Replaces what an earlier import of that symbol
    wrote. Returns ``Imported``."""
    _check_name(symbol)
    if like not in CATALOGUE:
        raise ValueError(f"like={like!r} is not a catalogue symbol (one of {', '.join(sorted(CATALOGUE))})")
    overrides = {"digits": digits, "contract_size": contract_size, "currency_base": currency_base,
                 "currency_profit": currency_profit, "currency_margin": currency_margin, "description": description}
    lines = ["[Symbol]", f"like={like}"]
    lines += [f"{key}={_ini_value(key, value)}" for key, value in overrides.items() if value is not None]

    items = list(data) if isinstance(data, (list, tuple)) else [data]
    if not items:
        raise TickDataError("no tick data given")
    sources = [_read(item, i) for i, item in enumerate(items)]
    joined = {name: np.concatenate([s.columns[name] for s in sources]) for name in sources[0].columns}
    if not len(joined[_TIME_COLUMN]):
        raise TickDataError(f"{', '.join(s.label for s in sources)}: no ticks")
    fault = _first_fault(joined[_TIME_COLUMN], joined["bid"], joined["ask"], joined["last"], joined["volume"])
    if fault is not None:
        raise TickDataError(f"{_locate(sources, fault[0])}: {fault[1]}")
    ticks = ticks_of(joined[_TIME_COLUMN], joined["bid"], joined["ask"], joined["last"], joined["volume"])

    target = Path(folder) / "QSL" / "custom" / symbol
    if target.is_symlink():
        raise ValueError(f"{target} is a symbolic link; the Terminal reads only folders inside QSL/custom")
    target.mkdir(parents=True, exist_ok=True)
    first, last = int(ticks["time_msc"][0]), int(ticks["time_msc"][-1])
    header = _HEADER.pack(MAGIC, VERSION, TICK_DTYPE.itemsize, len(ticks), first, last)
    written: list[Path] = []
    try:
        written.append(_replace(target / "ticks.qvt", header.ljust(HEADER_SIZE, b"\0"), [ticks.data]))
        written.append(_replace(target / "symbol.ini", ("\n".join(lines) + "\n").encode("utf-8")))
        os.replace(written[0], target / "ticks.qvt")
        os.replace(written[1], target / "symbol.ini")
    finally:
        for path in written:
            if path.exists():
                path.unlink()
    return Imported(target, len(ticks), first, last)


def _utc(ms: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(ms // 1000)) + f".{ms % 1000:03d}"


def describe(done: Imported, symbol: str, seconds: float) -> str:
    """One line saying what an import wrote."""
    return (f"imported {done.ticks:,} ticks of {symbol} ({_utc(done.first_time_msc)} to "
            f"{_utc(done.last_time_msc)} UTC) into {done.folder} in {seconds:.2f} s")

