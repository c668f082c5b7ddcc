"""quorvane.backtest.import_ticks and `terminal import`: the file it writes,
every fault it refuses (naming file and line, importing nothing), and the
control connection's bytes against the scripted Terminal."""

from __future__ import annotations

import struct
import subprocess
import sys

import host
import numpy as np
import pytest

from fake_terminal import endpoint_path, i64, reply, u32, wide
from quorvane.backtest import ClockError, TickDataError, import_ticks
from quorvane.backtest._clock import Clock
from quorvane.backtest._tickdata import TICK_DTYPE

T0 = 1_767_571_200_000  # 2026-01-05 00:00 UTC
GOOD = "time_msc,bid,ask,last,volume\n" + "\n".join((
    f"{T0},1.10000,1.10010,0,0",
    f"{T0 + 5},1.10000,1.10012,0,0",         # the ask moves
    f"{T0 + 5},1.10000,1.10012,1.10005,2.5",  # a deal at the same millisecond
    f"{T0 + 9},1.10003,1.10012,1.10005,0.4",  # bid moves; the same last
    f"{T0 + 20},1.10003,1.10012,1.10007,0",   # a new last without volume
    f"{T0 + 30},1.10003,1.10012,0,0",         # nothing changed
)) + "\n"


def read_qvt(path):
    raw = path.read_bytes()
    return struct.unpack_from("<8sIIQqq", raw), raw[40:64], np.frombuffer(raw[64:], TICK_DTYPE)


def test_ticks_written_with_flags_and_volumes(tmp_path):
    (tmp_path / "in.csv").write_text(GOOD)
    done = import_ticks(tmp_path / "data", "MYEUR", tmp_path / "in.csv", like="EURUSD", digits=4,
                        description="My ticks")
    folder = tmp_path / "data" / "QSL" / "custom" / "MYEUR"
    assert done == (folder, 6, T0, T0 + 30)
    header, padding, ticks = read_qvt(folder / "ticks.qvt")
    assert header == (b"QVNTICKS", 1, 60, 6, T0, T0 + 30) and padding == bytes(24)
    assert ticks["flags"].tolist() == [1 | 2, 2, 4 | 8, 1 | 8, 4, 0]
    assert ticks["volume"].tolist() == [0, 0, 3, 1, 0, 0]      # 2.5 rounds up; a deal is at least 1
    assert ticks["time"].tolist() == [T0 // 1000] * 6
    assert ticks["volume_real"].tolist() == [0, 0, 2.5, 0.4, 0, 0]
    assert ticks["last"].tolist() == [0, 0, 1.10005, 1.10005, 1.10007, 0]
    assert (folder / "symbol.ini").read_text() == "[Symbol]\nlike=EURUSD\ndigits=4\ndescription=My ticks\n"
    assert sorted(p.name for p in folder.iterdir()) == ["symbol.ini", "ticks.qvt"]
    # The same ticks from an array (a copy_ticks_* array, volume_real winning) and a frame.
    import_ticks(tmp_path / "again", "MYEUR", ticks, like="EURUSD")
    assert read_qvt(tmp_path / "again/QSL/custom/MYEUR/ticks.qvt")[2].tobytes() == ticks.tobytes()
    pd = pytest.importorskip("pandas")
    frame = pd.read_csv(tmp_path / "in.csv")
    frame["time_msc"] = pd.to_datetime(frame["time_msc"], unit="ms", utc=True)
    import_ticks(tmp_path / "frame", "MYEUR", frame, like="EURUSD")
    assert read_qvt(tmp_path / "frame/QSL/custom/MYEUR/ticks.qvt")[2].tobytes() == ticks.tobytes()


def csv(*rows: str, header: str = "time_msc,bid,ask,last,volume") -> str:
    return header + "\n" + "\n".join(rows) + "\n"


OK = f"{T0},1.1,1.2,0,0"
BAD = [
    ("in.csv", csv(OK, f"{T0 - 1},1.1,1.2,0,0"), f"in.csv, line 3: time_msc {T0 - 1} goes back from {T0}"),
    ("in.csv", csv(OK, f"{T0},nan,1.2,0,0"), "in.csv, line 3: bid is nan; it must be a positive number"),
    ("in.csv", csv(OK, OK, f"{T0},1.1,0,0,0"), "in.csv, line 4: ask is 0.0; it must be a positive number"),
    ("in.csv", csv(f"{T0},-1,1.2,0,0"), "in.csv, line 2: bid is -1.0"),
    ("in.csv", csv(f"{T0},1.3,1.2,0,0"), "in.csv, line 2: bid 1.3 is above ask 1.2"),
    ("in.csv", csv(f"{T0},1.1,inf,0,0"), "in.csv, line 2: ask is inf"),
    ("in.csv", csv(OK, f"{T0},1.1,1.2,-1,0"), "in.csv, line 3: last is -1.0; it must be 0 or more"),
    ("in.csv", csv(f"{T0},1.1,1.2,0,nan"), "in.csv, line 2: volume is nan"),
    ("in.csv", csv(f"{T0}.5,1.1,1.2,0,0"), "in.csv, line 2: time_msc is 1767571200000.5, not a whole number"),
    ("in.csv", csv("-5,1.1,1.2,0,0"), "in.csv, line 2: time_msc -5 lies outside 2000-01-01 .. 2038-01-19"),
    # Times in seconds, and the last millisecond before the Terminal's history begins.
    ("in.csv", csv(OK, f"{T0 // 1000},1.1,1.2,0,0"),
     f"in.csv, line 3: time_msc {T0 // 1000} lies outside 2000-01-01 .. 2038-01-19"),
    ("in.csv", csv("946684799999,1.1,1.2,0,0"), "in.csv, line 2: time_msc 946684799999 lies outside"),
    ("in.csv", csv("2147483648000,1.1,1.2,0,0"), "line 2: time_msc 2147483648000 lies outside"),
    ("in.csv", csv(OK, f"{T0},1.1,abc,0,0"), "in.csv, line 3: ask is 'abc', not a number"),
    ("in.csv", csv(OK, f"{T0},1.1"), "in.csv, line 3: 2 fields where the header names 5"),
    ("in.csv", csv(OK, "", OK), "in.csv, line 3: an empty line"),
    ("in.csv", csv(OK, header="time_msc,bid"), "in.csv: no column ask (found: bid, time_msc)"),
    ("in.csv", csv(OK, header="when,bid,ask"), "in.csv, line 1: the header must name the columns"),
    ("in.csv", csv(), "no ticks"),
    ("in.csv", b"PAR1\0\0\0\0PAR1", "in.csv: not a CSV file (it is a Parquet file)"),
    ("in.csv", b"\x89PNG\r\n\x1a\n\0\0", "in.csv: not a CSV file (it holds binary data)"),
    ("in.parquet", csv(OK), "in.parquet: not a Parquet file (a CSV file)"),
    ("in.txt", csv(OK), "in.txt: unknown kind of file; name it .csv or .parquet"),
    # An array's rows (a frame's too) are counted from 0.
    (None, np.array([(T0, 1.1, 1.2), (T0, 1.1, 1.2), (T0, 1.3, 1.2)],
                    dtype=[("time_msc", "<i8"), ("bid", "<f8"), ("ask", "<f8")]),
     "the array, row 2: bid 1.3 is above ask 1.2"),
    (None, np.array([(T0 // 1000, 1.1, 1.2)], dtype=[("time_msc", "<i8"), ("bid", "<f8"), ("ask", "<f8")]),
     f"the array, row 0: time_msc {T0 // 1000} lies outside 2000-01-01"),
]


@pytest.mark.parametrize("name, content, says", BAD, ids=[says[:40] for _, _, says in BAD])
def test_bad_data_imports_nothing(tmp_path, name, content, says):
    # An earlier import of the symbol stays exactly as it was.
    (tmp_path / "good.csv").write_text(GOOD)
    import_ticks(tmp_path, "MYEUR", tmp_path / "good.csv", like="EURUSD")
    folder = tmp_path / "QSL" / "custom" / "MYEUR"
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    if name is not None:
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
        content = tmp_path / name
    with pytest.raises(TickDataError) as caught:
        import_ticks(tmp_path, "MYEUR", content, like="EURUSD")
    assert says in str(caught.value)
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before


@pytest.mark.parametrize("symbol, like, overrides, says", [
    ("EURUSD", "EURUSD", {}, "is a catalogue symbol"),
    ("MY/EUR", "EURUSD", {}, "cannot name a symbol"),
    ("X" * 30, "EURUSD", {}, "has 30"),
    ("MYEUR", "EURUSDX", {}, "is not a catalogue symbol"),
    ("MYEUR", "EURUSD", {"digits": 9}, "digits must be a whole number from 0 to 8"),
    ("MYEUR", "EURUSD", {"contract_size": 1.000000001}, "contract_size may have at most 8 decimals"),
    ("MYEUR", "EURUSD", {"description": "two\nlines"}, "description must be one line"),
    ("MYEUR", "EURUSD", {"currency_base": "E U"}, "currency_base must be a currency code"),
])
def test_bad_names_and_properties(tmp_path, symbol, like, overrides, says):
    with pytest.raises(ValueError, match=says):
        import_ticks(tmp_path, symbol, tmp_path / "none.csv", like=like, **overrides)


@host.posix_only("symbolic links")
def test_a_linked_symbol_folder_is_refused(tmp_path):
    # The Terminal would leave the symbol out: the import says so instead of writing through the link.
    (tmp_path / "good.csv").write_text(GOOD)
    (tmp_path / "QSL" / "custom").mkdir(parents=True)
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "QSL" / "custom" / "MYEUR").symlink_to(tmp_path / "elsewhere")
    with pytest.raises(ValueError, match="MYEUR is a symbolic link; the Terminal reads only folders inside QSL/custom"):
        import_ticks(tmp_path, "MYEUR", tmp_path / "good.csv", like="EURUSD")
    assert not any((tmp_path / "elsewhere").iterdir())


def test_command_line(tmp_path):
    (tmp_path / "a.csv").write_text(GOOD)
    (tmp_path / "b.csv").write_text(csv(f"{T0 + 40},1.2,1.3,0,0"))

    def cli(*args):
        done = subprocess.run([sys.executable, "-m", "quorvane", "terminal", "import", *args], cwd=tmp_path,
                              capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout + done.stderr

    code, out = cli("--symbol", "MYEUR", "--like", "EURUSD", "--folder", "data", "--contract-size", "1000",
                    "a.csv", "b.csv")
    assert code == 0 and "imported 7 ticks of MYEUR (2026-01-05 00:00:00.000 to 2026-01-05 00:00:00.040 UTC)" in out
    assert (tmp_path / "data/QSL/custom/MYEUR/symbol.ini").read_text().endswith("contract_size=1000.0\n")
    code, out = cli("--symbol", "MYGBP", "--like", "GBPUSD", "--folder", "data", "b.csv", "a.csv")
    assert code == 1 and f"nothing imported: a.csv, line 2: time_msc {T0} goes back" in out, out
    assert not (tmp_path / "data/QSL/custom/MYGBP").exists() or not any((tmp_path / "data/QSL/custom/MYGBP").iterdir())


# ---- the control connection -------------------------------------------------------------------


@pytest.mark.parametrize("answer, outcome", [
    (reply(900, 1, i64(T0 + 3_599_999) + i64(T0 + 3_600_250)), (T0 + 3_599_999, T0 + 3_600_250)),
    (reply(900, 1, i64(T0) + i64(-1)), (T0, -1)),
    (reply(900, -7), "no stepped clock .* \\(-7\\)"),
    (reply(900, -2), "before the Terminal's clock \\(-2\\)"),
    (reply(900, 1, i64(T0)), "holds 16 bytes, not 24"),
    (reply(900, 1, bytes(200)), "a reply frame of 208 bytes"),
], ids=["step", "end of data", "unsupported", "back", "short", "long"])
def test_clock_step_on_the_wire(fake, answer, outcome):
    fake.serve(reply(4, 1, u32(2405)), answer, handshake=False)
    with Clock(endpoint_path(fake.path), ["MYEUR", "EURUSD"]) as clock:
        if isinstance(outcome, tuple):
            assert clock.step(T0 + 3_599_999) == outcome
        else:
            with pytest.raises(ClockError, match=outcome):
                clock.step(T0 + 3_599_999)
    handshake, step = fake.frames()
    assert handshake == u32(24) + u32(4) + u32(3) + wide("Python")
    assert step == u32(4 + 8 + 4 + 14 + 16) + u32(900) + i64(T0 + 3_599_999) + u32(2) + wide("MYEUR") + wide("EURUSD")


def test_clock_handshake_refused(fake):
    fake.serve(reply(4, -5), handshake=False)
    with pytest.raises(ClockError, match=r"refused the control connection's handshake \(-5\)"):
        Clock(endpoint_path(fake.path), [])
