"""Data frames from the module's results (pandas or polars, both optional).

``to_pandas(data)`` and ``to_polars(data)`` take what a call returned:

* a tick or bar array (``copy_ticks_*``, ``copy_rates_*``);
* a tuple or list of named tuples (``positions_get``, ``orders_get``,
  ``history_orders_get``, ``history_deals_get``, ``symbols_get``,
  ``market_book_get``, ...);
* a single named tuple (``symbol_info``, ``symbol_info_tick``,
  ``account_info``, ``order_send``, ...), which gives a one-row frame.

Columns keep the record's field order. Times become time-zone aware UTC
datetimes: ``time`` and the other second counts (``time_setup``,
``time_done``, ``time_expiration``, ``expiration``, ``start_time``, ...) at
second precision, ``time_msc`` and the other ``..._msc`` fields at
millisecond precision; a time of 0 means "none" and becomes NaT (pandas) or
null (polars). Everything else keeps its type: prices float64, volumes and
tickets integers, ``flags`` an unsigned integer, one-byte flags bool. A
field that holds a named tuple (the ``request`` of ``order_send`` and
``order_check`` results) is spread into ``request_action``,
``request_symbol``, ... columns in its place.

An empty result gives an empty frame with the record's columns and types,
the same as a frame of records would have: an empty array has them, and the
``_get`` functions of ``quorvane`` (``positions_get``, ``orders_get``,
``history_orders_get``, ``history_deals_get``, ``symbols_get``,
``market_book_get``) return their tuple with a ``record_type`` attribute, so
``to_pandas(qv.orders_get())["ticket"]`` works when there are no orders. A
plain empty tuple (``quorvane._core``'s) names no type and gives a frame
with no columns. ``None`` (and the ``False`` some calls answer invalid
arguments with) is a failed call, not data: it raises ``ValueError`` with
the text of ``last_error()``.

Importing ``quorvane`` imports neither library; each helper imports its own
when first called and raises ``ImportError`` with the pip command when it is
missing.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Iterable, Sequence, cast

import numpy as np

from . import _core

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import polars

__all__ = ["to_pandas", "to_polars"]


# --------------------------------------------------------------- what is a time

def _time_unit(name: str) -> str | None:
    """The unit of a time field ("s" or "ms"), None for other fields.
    ``type_time`` is an enumeration (how an order expires), not a time."""
    if name.endswith("_msc"):
        return "ms"
    if name in ("time", "expiration") or name.startswith("time_") or name.endswith("_time"):
        return None if name == "type_time" else "s"
    return None


# ------------------------------------------------------- empty results

# The Python type of each field of the records the _get functions return, in
# runs of i (int), f (float), s (str) and b (bool). An empty result's frame
# is made from one record of zeros of these types and then emptied, so it
# goes through the same conversion, and gets the same columns and dtypes, as
# a frame of real records.
_FIELD_KINDS = {
    _core.TradePosition: "9i 7f 3s",
    _core.TradeOrder: "14i 7f 3s",
    _core.TradeDeal: "9i 6f 3s",
    _core.SymbolInfo: "1b 1i 2b 9i 1b 10i 1b 6i 52f 13s",
    _core.BookInfo: "1i 1f 1i 1f",
}
_ZERO = {"i": 0, "f": 0.0, "s": "", "b": False}


def _prototype(data: object) -> tuple[Any, ...] | None:
    """A record of zeros of the type an empty result names, if it names one
    the module knows."""
    kinds = _FIELD_KINDS.get(getattr(data, "record_type", None))  # type: ignore[arg-type]
    if kinds is None:
        return None
    values = [_ZERO[run[-1]] for run in kinds.split() for _ in range(int(run[:-1]))]
    return cast("tuple[Any, ...]", getattr(data, "record_type")(values))


# ------------------------------------------------------------ input checking

def _require(library: str, helper: str) -> Any:
    try:
        return importlib.import_module(library)
    except ImportError as exc:
        raise ImportError(f"{library} is needed for {helper}: pip install {library}") from exc


def _refuse_failure(data: object, helper: str) -> None:
    if data is None or data is False:
        code, message = _core.last_error()
        raise ValueError(f"{helper}() got {data!r}, the result of a failed call, not data; "
                         f"last_error() is ({code}, {message!r})")


def _is_record(value: object) -> bool:
    # The module's records are struct sequences with ``_asdict()``;
    # collections.namedtuple records have it too.
    return isinstance(value, tuple) and hasattr(value, "_asdict")


def _field_names(record: Any) -> list[str]:
    names = getattr(type(record), "_fields", None)
    return list(names) if names is not None else list(record._asdict())


def _records(data: object, helper: str) -> Sequence[tuple[Any, ...]]:
    """The records of a named tuple or of a tuple/list of them."""
    if _is_record(data):
        return (data,)  # type: ignore[return-value]
    if isinstance(data, (tuple, list)):
        for item in data:
            if not _is_record(item):
                raise TypeError(f"{helper}() takes named tuples such as positions_get() returns; "
                                f"got an item of type {type(item).__name__}")
        types = {type(item) for item in data}
        if len(types) > 1:
            names = ", ".join(sorted(t.__name__ for t in types))
            raise TypeError(f"{helper}() takes records of one type; got {names}")
        return data
    raise TypeError(f"{helper}() takes a tick or bar array, a named tuple or a tuple of them; "
                    f"got {type(data).__name__}")


def _structured(data: object, helper: str) -> np.ndarray | None:
    if not isinstance(data, np.ndarray):
        return None
    if data.dtype.names is None or data.ndim != 1:
        raise TypeError(f"{helper}() takes a one-dimensional structured array such as "
                        f"copy_ticks_range() returns; got dtype {data.dtype} with {data.ndim} dimensions")
    return data


class _Column:
    """One frame column built from records: its name, the time unit of the
    field it comes from (None for other fields) and its values."""

    def __init__(self, name: str, unit: str | None) -> None:
        self.name = name
        self.unit = unit
        self.values: list[Any] = []

    def is_time(self) -> bool:
        return self.unit is not None and all(type(v) is int for v in self.values)

    def needs_uint64(self) -> bool:
        # Integers beyond int64 (unsigned 64-bit fields) would otherwise turn
        # into floats or objects without a word.
        return (all(type(v) is int for v in self.values)
                and any(v > np.iinfo(np.int64).max for v in self.values))


def _columns(records: Sequence[tuple[Any, ...]]) -> list[_Column]:
    """The columns of records, a nested record spread into
    ``<field>_<subfield>`` columns where it stands (each keeping the time
    unit of its own field name)."""
    first = records[0]
    columns: list[_Column] = []
    getters: list[tuple[int, int | None]] = []
    for index, name in enumerate(_field_names(first)):
        value = first[index]
        if _is_record(value):
            for sub_index, sub in enumerate(_field_names(value)):
                columns.append(_Column(f"{name}_{sub}", _time_unit(sub)))
                getters.append((index, sub_index))
        else:
            columns.append(_Column(name, _time_unit(name)))
            getters.append((index, None))
    for record in records:
        for column, (at, sub_at) in zip(columns, getters):
            item = record[at]
            column.values.append(item if sub_at is None else item[sub_at])
    return columns


# -------------------------------------------------------------------- pandas

def _pandas_time(pd: Any, values: Any, unit: str) -> Any:
    """UTC datetimes from integer counts; 0 becomes NaT."""
    counts = np.asarray(values, dtype=np.int64)
    stamps = pd.to_datetime(counts, unit=unit, utc=True)
    none = counts == 0
    if none.any():
        stamps = stamps.where(~none)
    return stamps


def to_pandas(data: object) -> pandas.DataFrame:
    """A pandas DataFrame of a tick or bar array, a named tuple or a tuple of them.

    From an array, each numeric column is a view of the array's field: the
    frame shares the array's memory and keeps the array alive (pandas may
    still copy later, e.g. on operations that consolidate columns). The time
    columns are new arrays (the conversion to datetimes), and so is every
    column built from named tuples.
    """
    _refuse_failure(data, "to_pandas")
    array = _structured(data, "to_pandas")
    records = _records(data, "to_pandas") if array is None else ()
    pd = _require("pandas", "to_pandas")
    if array is not None:
        columns: dict[str, Any] = {}
        assert array.dtype.names is not None
        for name in array.dtype.names:
            unit = _time_unit(name)
            field = array[name]
            columns[name] = _pandas_time(pd, field, unit) if unit and field.dtype.kind in "iu" else field
        return cast("pandas.DataFrame", pd.DataFrame(columns, copy=False))
    if not records:
        prototype = _prototype(data)
        if prototype is None:
            return cast("pandas.DataFrame", pd.DataFrame())
        return to_pandas((prototype,)).iloc[:0]
    built: dict[str, Any] = {}
    for column in _columns(records):
        if column.unit is not None and column.is_time():
            built[column.name] = _pandas_time(pd, column.values, column.unit)
        else:
            built[column.name] = pd.Series(column.values, dtype=np.uint64 if column.needs_uint64() else None)
    return cast("pandas.DataFrame", pd.DataFrame(built))


# -------------------------------------------------------------------- polars

def _polars_time(pl: Any, column: Any, unit: str) -> Any:
    """A UTC Datetime expression from integer counts; 0 becomes null."""
    counts = pl.col(column)
    if unit == "s":
        counts = counts * 1000
    stamps = counts.cast(pl.Int64).cast(pl.Datetime("ms")).dt.replace_time_zone("UTC")
    return pl.when(pl.col(column) == 0).then(None).otherwise(stamps).alias(column)


def _polars_frame(pl: Any, units: Iterable[tuple[str, str | None]], frame: Any) -> Any:
    times = [_polars_time(pl, name, unit) for name, unit in units
             if unit is not None and frame.schema[name].is_integer()]
    return frame.with_columns(times) if times else frame


def to_polars(data: object) -> polars.DataFrame:
    """A polars DataFrame of a tick or bar array, a named tuple or a tuple of them.

    Polars keeps its columns in its own contiguous memory, so every column is
    copied out of the packed records (one pass per field); the time columns
    are then converted to UTC datetimes in place of the integer counts.
    """
    _refuse_failure(data, "to_polars")
    array = _structured(data, "to_polars")
    records = _records(data, "to_polars") if array is None else ()
    pl = _require("polars", "to_polars")
    if array is not None:
        assert array.dtype.names is not None
        names = list(array.dtype.names)
        frame = pl.DataFrame({name: np.ascontiguousarray(array[name]) for name in names})
        return cast("polars.DataFrame", _polars_frame(pl, ((name, _time_unit(name)) for name in names), frame))
    if not records:
        prototype = _prototype(data)
        if prototype is None:
            return cast("polars.DataFrame", pl.DataFrame())
        return to_polars((prototype,)).head(0)
    columns = _columns(records)
    series = [pl.Series(c.name, c.values, dtype=pl.UInt64 if c.needs_uint64() else None) for c in columns]
    frame = _polars_frame(pl, ((c.name, c.unit if c.is_time() else None) for c in columns), pl.DataFrame(series))
    return cast("polars.DataFrame", frame)
