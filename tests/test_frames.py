"""quorvane.frames: the module's results as pandas and polars frames, against
the bundled Terminal with its clock frozen."""

import subprocess
import sys

import numpy as np
import pytest
from bundled import NOW

import quorvane
from quorvane import frames

DEAL, PENDING, BUY, BUY_LIMIT = 1, 2, 0, 2


@pytest.fixture
def market(frozen, core):
    """One open position and two pending orders; the result of the order that
    opened the position."""
    sent = core.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY, comment="frames")
    assert sent.retcode == 1, sent
    bid = core.symbol_info_tick("EURUSD").bid
    for expiration in (0, NOW + 3600):  # a time column holding both 0 and a time
        placed = core.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT,
                                 price=round(bid - 0.01, 5), type_time=2 if expiration else 0,
                                 expiration=expiration)
        assert placed.retcode == 2, placed
    return sent


KINDS = {
    "ticks": lambda qv, sent: qv.copy_ticks_range("BTCUSD", NOW - 300, NOW, 3),
    "no ticks (Saturday)": lambda qv, sent: qv.copy_ticks_range("EURUSD", NOW - 5 * 86400, NOW - 5 * 86400 + 60, 3),
    "positions": lambda qv, sent: qv.positions_get(),
    "orders (one expiring)": lambda qv, sent: qv.orders_get(),
    "deals": lambda qv, sent: qv.history_deals_get(0, NOW + 1),
    "symbols": lambda qv, sent: qv.symbols_get("EUR*"),
    "one tick": lambda qv, sent: qv.symbol_info_tick("EURUSD"),
    "send result (nested request)": lambda qv, sent: sent,
    "nothing selected": lambda qv, sent: qv.positions_get(symbol="GBPUSD"),
}


# The time fields of every record type, in seconds or milliseconds; all
# other fields (type_time, expiration_mode, ...) keep their values.
SECONDS = {"time", "time_update", "time_setup", "time_done", "time_expiration", "start_time", "expiration_time",
           "request_expiration"}
MILLISECONDS = {"time_msc", "time_update_msc", "time_setup_msc", "time_done_msc"}


def expected_columns(data):
    """name -> (values, is a time): what the frame must hold, times as epoch
    milliseconds and None for 0."""
    if isinstance(data, np.ndarray):
        rows = {name: data[name].tolist() for name in data.dtype.names}
    else:
        rows = {}
        for record in (data,) if hasattr(data, "_asdict") else data:
            for name, value in record._asdict().items():
                items = ({f"{name}_{k}": v for k, v in value._asdict().items()}
                         if hasattr(value, "_asdict") else {name: value})
                for key, item in items.items():
                    rows.setdefault(key, []).append(item)
    columns = {}
    for name, values in rows.items():
        scale = 1000 if name in SECONDS else 1 if name in MILLISECONDS else None
        if scale:
            values = [None if v == 0 else v * scale for v in values]
        columns[name] = (values, scale is not None)
    return columns


def frame_columns(frame, library):
    """name -> (values, is a UTC datetime column), times as epoch ms."""
    out = {}
    for name in frame.columns:
        column = frame[name]
        if library == "pandas":
            import pandas as pd

            utc = isinstance(column.dtype, pd.DatetimeTZDtype) and str(column.dtype.tz) == "UTC"
            epoch = pd.Timestamp(0, tz="UTC")
            values = ([None if pd.isna(v) else (v - epoch) // pd.Timedelta(1, "ms") for v in column] if utc
                      else column.tolist())
        else:
            import polars as pl

            utc = isinstance(column.dtype, pl.Datetime) and column.dtype.time_zone == "UTC"
            values = column.dt.epoch("ms").to_list() if utc else column.to_list()
        out[name] = (values, utc)
    return out


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("kind", list(KINDS))
def test_frame_of_each_kind(market, core, kind, library):
    lib = pytest.importorskip(library)

    data = KINDS[kind](quorvane, market)
    assert data is not None, core.last_error()
    to_frame = getattr(frames, f"to_{library}")
    frame = to_frame(data)
    assert isinstance(frame, lib.DataFrame)

    if kind == "nothing selected":  # the columns and dtypes of a frame of real positions
        full = to_frame(quorvane.positions_get())
        assert len(data) == 0 and len(full) > 0
        assert (list(frame.columns), list(frame.dtypes)) == (list(full.columns), list(full.dtypes))
        return
    want = expected_columns(data)
    got = frame_columns(frame, library)
    assert list(got) == list(want) and got == want  # the columns in order, every value
    if kind == "ticks":
        assert len(frame) > 10 and got["time_msc"][0][0] % 1000 != 0  # milliseconds survive
    if isinstance(data, np.ndarray):
        for name in data.dtype.names:
            if not want[name][1]:
                assert frame[name].to_numpy().dtype == data.dtype[name], name
                # pandas views the array's fields; polars copies them out.
                if len(data):
                    assert np.shares_memory(frame[name].to_numpy(), data) == (library == "pandas"), name


@pytest.mark.parametrize("data, error, text", [
    (None, ValueError, "failed call.*last_error"),
    (False, ValueError, "failed call"),
    (np.zeros(3), TypeError, "structured array"),
    ("EURUSD", TypeError, "got str"),
    ([(1, 2)], TypeError, "named tuples"),
])
@pytest.mark.parametrize("helper", ["to_pandas", "to_polars"])
def test_refuses_what_is_not_data(helper, data, error, text):
    with pytest.raises(error, match=text):
        getattr(frames, helper)(data)


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_libraries_load_only_when_asked_and_missing_ones_say_how_to_install(library):
    script = (f"import sys, quorvane, quorvane.frames, quorvane.live\n"
              f"assert {library!r} not in sys.modules, 'imported too early'\n"
              f"sys.modules[{library!r}] = None\n"
              f"try:\n    quorvane.frames.to_{library}(())\n"
              f"except ImportError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == f"{library} is needed for to_{library}: pip install {library}"
