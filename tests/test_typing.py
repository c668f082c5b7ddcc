"""The typed face of the package: the stub of the native module against the
module itself, the record types of the _get functions, and the field types
the stub promises against records from the bundled Terminal."""

from __future__ import annotations

import ast
import copy
import pickle
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane as qv
from fake_terminal import reply, u32
from quorvane import _core, frames

STUB_PATH = Path(qv.__file__).with_name("_core.pyi")  # beside the package, also in an editable install
STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"))
STUB_FUNCTIONS: dict[str, list[ast.FunctionDef]] = {}
for _node in STUB.body:
    if isinstance(_node, ast.FunctionDef):
        STUB_FUNCTIONS.setdefault(_node.name, []).append(_node)
RECORDS = ast.parse(STUB_PATH.with_name("_records.pyi").read_text(encoding="utf-8"))
STUB_TYPES = {n.name: n for n in RECORDS.body if isinstance(n, ast.ClassDef)}
RUNTIME_FUNCTIONS = sorted(n for n, v in vars(_core).items() if not n.startswith("_") and not isinstance(v, type))
RUNTIME_TYPES = sorted(n for n, v in vars(_core).items() if not n.startswith("_") and isinstance(v, type))


def stub_fields(name: str) -> list[tuple[str, str]]:
    """(field, annotation) of a named-tuple stub, in declaration order."""
    return [(f.name, ast.unparse(f.returns)) for f in STUB_TYPES[name].body
            if isinstance(f, ast.FunctionDef) and any(ast.unparse(d) == "property" for d in f.decorator_list)]


def stub_keywords(name: str) -> set[str]:
    """The parameters of all overloads that may be passed by keyword."""
    return {p.arg for node in STUB_FUNCTIONS[name] for p in node.args.args + node.args.kwonlyargs}


def test_stub_and_module_name_the_same_things():
    assert (STUB_PATH.with_name("py.typed")).is_file()
    assert sorted(n for n in STUB_FUNCTIONS if not n.startswith("_")) == RUNTIME_FUNCTIONS
    assert sorted(STUB_TYPES) == RUNTIME_TYPES and len(RUNTIME_FUNCTIONS) == 32 and len(RUNTIME_TYPES) == 11
    public = set(RUNTIME_FUNCTIONS) | set(RUNTIME_TYPES) | set(qv.constants.__all__) | {"terminal_path",
                                                                                          "TradeRequestDict", "session"}
    assert set(qv.__all__) == public and len(qv.__all__) == len(public)
    assert public <= set(dir(qv)) and not {"TYPE_CHECKING", "TradePositions"} & set(dir(qv))
    request_keys = qv.TradeRequestDict.__required_keys__ | qv.TradeRequestDict.__optional_keys__
    assert request_keys == set(_core.TradeRequest.__match_args__)
    for name in RUNTIME_FUNCTIONS:  # the native function, or a wrapper that describes itself as it
        function = getattr(qv, name)
        assert getattr(function, "__wrapped__", function) is getattr(_core, name) and function.__name__ == name


@pytest.mark.parametrize("name", RUNTIME_TYPES)
def test_named_tuple_fields_match(name):
    runtime = getattr(_core, name)
    names = [field for field, _ in stub_fields(name)]
    items, before = tuple(object() for _ in range(runtime.n_fields)), _core.last_error()
    d = runtime(items)._asdict()  # names every item, and leaves the outcome alone
    assert names == list(d) == list(runtime.__match_args__) and all(a is b for a, b in zip(d.values(), items))
    assert _core.last_error() == before
    with pytest.raises(TypeError):
        runtime._asdict(5)
    stub_class = STUB_TYPES[name]
    tuple_base = next(ast.unparse(b) for b in stub_class.bases if ast.unparse(b).startswith("tuple["))
    assert tuple_base.count(",") + 1 == runtime.n_fields == runtime.n_sequence_fields
    assert [t for _, t in stub_fields(name)] == [t.strip() for t in tuple_base[6:-1].split(",")]
    match_args = re.search(r"__match_args__: Final = \((.*?)\)", ast.unparse(stub_class), re.S)
    assert match_args and [s.strip().strip("'\"") for s in match_args.group(1).split(",")] == names


# Every keyword the stub names must be one the native function reads: a
# refused value comes back named in last_error(). `portable` is read by its
# truth value and refuses nothing.
KEYWORD_CASES = sorted((name, keyword) for name in RUNTIME_FUNCTIONS for keyword in stub_keywords(name)
                       if keyword != "portable")


@pytest.mark.parametrize("name, keyword", KEYWORD_CASES)
def test_stub_keywords_reach_the_native_function(name, keyword):
    dates = (0, 1) if name.startswith("history_") and keyword == "group" else ()
    getattr(qv, name)(*dates, **{keyword: object()})
    code, message = qv.last_error()
    # A request's texts also say what they take.
    assert (code, message.split(":")[0]) == (-2, f'Invalid "{keyword}" argument')


@pytest.mark.parametrize("call, command, record_type", [
    (lambda: qv.positions_get(), 121, "TradePosition"),
    (lambda: qv.orders_get(ticket=5), 133, "TradeOrder"),
    (lambda: qv.history_orders_get(0, 1), 141, "TradeOrder"),
    (lambda: qv.history_deals_get(position=2), 152, "TradeDeal"),
    (lambda: qv.symbols_get(), 174, "SymbolInfo"),
    (lambda: qv.market_book_get("EURUSD"), 193, "BookInfo"),
])
def test_get_results_name_their_record_type(fake, call, command, record_type):
    # A ticket lookup the Terminal answers with -4 is an empty result too.
    empty = reply(command, -4) if command == 133 else reply(command, 1, u32(0))
    fake.connected(empty, reply(command, -1))
    result = call()
    assert result == () and isinstance(result, tuple) and result.record_type is getattr(_core, record_type)
    # An empty result makes a frame whose columns have the stub's field types.
    assert [type(v).__name__ for v in frames._prototype(result)] == [t for _, t in stub_fields(record_type)]
    assert call() is None and qv.last_error() == (-1, "Terminal: Call failed")  # a failure as it was


class _Pair(tuple):  # type: ignore[type-arg]
    __slots__ = ()


def test_records_call_passes_the_call_on_and_types_its_tuples():
    seen = []

    def native(*args, **kwargs):
        seen.append((args, kwargs))
        return kwargs.get("result")

    typed, items = _core._records_call(native, _Pair), (object(), object())
    held = sys.getrefcount(items), [sys.getrefcount(i) for i in items]
    for _ in range(100):
        got = typed(1, 2, result=items)
    assert type(got) is _Pair and all(a is b for a, b in zip(got, items, strict=True))
    assert seen[-1] == ((1, 2), {"result": items})
    del got, seen[:]
    assert (sys.getrefcount(items), [sys.getrefcount(i) for i in items]) == held  # nothing kept, nothing lost
    subclass = _Pair((3,))
    assert typed(result=[1]) == [1] and typed() is None and typed(result=subclass) is subclass  # the rest as it came
    with pytest.raises(ZeroDivisionError):
        _core._records_call(lambda: 1 / 0, _Pair)()
    for bad in [(native, list), (5, _Pair), (native,)]:
        with pytest.raises(TypeError):
            _core._records_call(*bad)
    # The package's functions made so pickle by name and are documented as
    # the native function.
    assert pickle.loads(pickle.dumps(qv.positions_get)) is qv.positions_get
    assert "positions_get(**kwargs)\n    Return all open positions" in pydoc.plain(pydoc.render_doc(qv.positions_get))
    assert repr(qv.orders_get).startswith("<function orders_get at ")


STRICT_TYPES = {"int": int, "float": float, "bool": bool, "str": str}


def terminal_records() -> dict:
    """One record of each type, from the bundled Terminal (frozen clock),
    by type name: a trade is made, a pending order placed and a book added."""
    tick = qv.symbol_info_tick("EURUSD")
    assert tick is not None
    buy = {"action": qv.TradeAction.DEAL, "symbol": "EURUSD", "volume": 0.01, "type": qv.OrderType.BUY}
    check, sent = qv.order_check(buy), qv.order_send(buy)
    pending = qv.order_send(action=qv.TradeAction.PENDING, symbol="EURUSD", volume=0.01,
                           type=qv.OrderType.BUY_LIMIT, price=round(tick.bid * 0.9, 5))
    assert qv.market_book_add("EURUSD")
    assert check and sent and pending and sent.retcode == qv.TradeRetcode.DONE, qv.last_error()
    positions, orders = qv.positions_get(), qv.orders_get()
    deals, book = qv.history_deals_get(position=sent.order), qv.market_book_get("EURUSD")
    assert positions and orders and deals and book, qv.last_error()
    records = [qv.account_info(), qv.terminal_info(), qv.symbol_info("EURUSD"), tick, check, sent,
               sent.request, positions[0], orders[0], deals[0], book[0]]
    by_name = {type(r).__name__: r for r in records}
    assert sorted(by_name) == RUNTIME_TYPES
    return by_name


def test_field_values_have_the_stub_types(frozen):
    for record in terminal_records().values():
        assert hash(record) == hash(tuple(record)) and record == tuple(record)  # a record is a plain tuple
        for (field, annotation), value in zip(stub_fields(type(record).__name__), record):
            expected = STRICT_TYPES.get(annotation) or getattr(_core, annotation)
            assert type(value) is expected, (type(record).__name__, field, value)


@pytest.mark.parametrize("name", RUNTIME_TYPES)
def test_records_pickle_and_copy(frozen, name):
    # Each type is found again by its module and name; an OrderSendResult
    # carries its TradeRequest along.
    record = terminal_records()[name]
    kind = type(record)
    copies = [pickle.loads(pickle.dumps(record, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(record), copy.deepcopy(record), *pickle.loads(pickle.dumps([record, record]))]
    for again in copies:
        assert type(again) is kind and again == record and repr(again) == repr(record)
        assert again._asdict() == record._asdict()
    assert pickle.loads(pickle.dumps(kind)) is kind
    assert (kind.__module__, kind.__qualname__, kind.__name__) == ("quorvane._core", name, name)
    assert repr(record).startswith(name + "(")


# Code using quorvane.trade, type-checked with mypy --strict: the errors each
# snippet must give, as (line, error code). A result's fields are the
# OrderSendResult's (a typo fails); without check=True a result may be None.
TRADE_USES = {
    "field-typo": ('sent = trade.buy("EURUSD", 0.1, check=True)\n'
                   'print(sent.retcod)\n', [(2, "attr-defined")]),
    "may-be-none": ('print(trade.close(5).retcode)\n', [(1, "union-attr")]),
    "error-result-may-be-none": ('print(trade.TradeError("buy").result.comment)\n', [(1, "union-attr")]),
    "sound": ('sent = trade.sell("EURUSD", 0.1, check=True)\n'
              'volume: float = sent.volume + sent.request.volume\n'
              'result = trade.modify(5, sl=1.0)\n'
              'code: int = result.retcode if result is not None else 0\n'
              'error = trade.TradeError("sell", sent)\n'
              'comment: str = error.result.comment if error.result is not None else error.message\n'
              'lots: float = trade.volume_for_risk("EURUSD", 100.0, 0.005) + trade.round_volume("EURUSD", 0.1)\n'
              'info = qv.symbol_info("EURUSD")\n'
              'price: float = trade.round_price(info, 1.0) if info is not None else 0.0\n'
              'positions = qv.positions_get() or ()\n'
              'closed = [trade.close(p, check=True).deal for p in positions]\n', []),
}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """{snippet: [(line, code), ...]} from one mypy --strict run over all of them."""
    pytest.importorskip("mypy")
    folder = tmp_path_factory.mktemp("typed")
    for name, (code, _) in TRADE_USES.items():
        (folder / f"{name.replace('-', '_')}.py").write_text("import quorvane as qv\nfrom quorvane import trade\n\n"
                                                             + code, encoding="utf-8")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
                          "--cache-dir", str(folder / "cache"), *sorted(p.name for p in folder.glob("*.py"))],
                         cwd=folder, capture_output=True, text=True, timeout=600)
    errors: dict = {name: [] for name in TRADE_USES}
    for line in run.stdout.splitlines():
        found = re.match(r"(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if found and found.group(1).replace("_", "-") in errors:
            errors[found.group(1).replace("_", "-")].append((int(found.group(2)) - 3, found.group(3)))
    return errors, run.stdout


@pytest.mark.parametrize("name", TRADE_USES)
def test_trade_results_are_typed(mypy_errors, name):
    errors, output = mypy_errors
    assert errors[name] == TRADE_USES[name][1], output
