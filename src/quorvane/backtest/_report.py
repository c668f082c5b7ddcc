"""A backtest's report, one self-contained HTML file, and its compact view
in a notebook.

The report's charts are Plotly's, with the whole library inlined in the
file, so it opens on a machine with no network; tables are plain HTML.
Plotly is optional (``pip install plotly``, or the ``report`` extra):
``write_report`` raises ImportError naming the install without it. The
notebook view draws its small chart with matplotlib when that is there.
"""

from __future__ import annotations

import base64
import datetime as dt
import html
import io
import math
import os
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..constants import PositionType
from ._stats import DEFINITIONS

if TYPE_CHECKING:
    from ._result import Result

MISSING_PLOTLY = 'plotly is not installed; install it with: pip install plotly (or pip install "quorvane[report]")'
# Beyond this many steps the charts draw a thinned curve that keeps each
# stretch's first, lowest and highest points: a browser stays quick and no
# drawdown is smoothed away.
CHART_POINTS = 4000
_KINDS = {name: kind for name, kind, _ in DEFINITIONS}
_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
# The figures a notebook shows, two to a row.
NOTEBOOK_STATS = ("net_profit", "return_pct", "final_equity", "cagr_pct", "max_drawdown_pct", "sharpe_annual",
                  "sortino_annual", "profit_factor", "trades", "win_rate", "avg_trade", "expectancy",
                  "exposure", "buy_and_hold_pct")


# ---------------------------------------------------------------- figures as text


def _utc(ms: int) -> dt.datetime:
    return dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=int(ms))


def duration_text(span: dt.timedelta) -> str:
    """A duration as days and hh:mm:ss ('3 d 04:05:00', '00:25:00')."""
    seconds = round(span.total_seconds())
    sign, seconds = ("-", -seconds) if seconds < 0 else ("", seconds)
    days, rest = divmod(seconds, 86400)
    clock = f"{rest // 3600:02d}:{rest % 3600 // 60:02d}:{rest % 60:02d}"
    return f"{sign}{days} d {clock}" if days else sign + clock


def figure_text(name: str, value: Any, currency: str) -> str:
    """A statistic as the report and the notebook show it."""
    kind = _KINDS.get(name, "number")
    if isinstance(value, dt.datetime):
        return value.strftime("%Y-%m-%d %H:%M:%S UTC")
    if isinstance(value, dt.timedelta):
        return duration_text(value)
    if isinstance(value, float) and math.isnan(value):
        return "n/a"
    if isinstance(value, float) and math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if kind == "money":
        return f"{value:,.2f} {currency}"
    if kind == "pct":
        return f"{value:,.2f} %"
    if kind == "share":
        return f"{value * 100:.1f} %"
    if kind == "count":
        return f"{value:,d}"
    if kind == "ratio":
        return f"{value:.3f}"
    return f"{value:,.1f}"


# ---------------------------------------------------------------- the curves


def curve(result: "Result") -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The times (ms), equity and balance of the run, starting at the deposit."""
    rows = result.equity
    times = np.concatenate(([result.start_ms], rows["time_msc"].astype(np.int64)))
    equity = np.concatenate(([result.deposit], rows["equity"]))
    balance = np.concatenate(([result.deposit], rows["balance"]))
    return times, equity, balance


def thinned(values: np.ndarray, limit: int = CHART_POINTS) -> np.ndarray:
    """The indexes of the points of a long curve to draw: of each stretch of
    it the first, the lowest and the highest point, and the last point."""
    n = len(values)
    if n <= limit:
        return np.arange(n)
    width = math.ceil(n / (limit // 3))
    keep = [np.arange(0, n, width), np.array([n - 1])]
    for first in range(0, n, width):
        part = values[first:first + width]
        keep.append(np.array([first + int(part.argmin()), first + int(part.argmax())]))
    return np.unique(np.concatenate(keep))


def monthly_returns(times: np.ndarray, equity: np.ndarray) -> Dict[int, Dict[int, float]]:
    """Each month's return in percent, {year: {month: pct}}, month 13 being
    the year's: the equity at the month's last step against the equity at
    the previous month's last step (the deposit for the first month)."""
    ends: Dict[Tuple[int, int], float] = {}
    for t, value in zip(times[1:].tolist(), equity[1:].tolist()):
        stamp = _utc(t)  # a step stands at its bar's last millisecond, inside the month the bar closes in
        ends[(stamp.year, stamp.month)] = value
    out: Dict[int, Dict[int, float]] = {}
    before = year_before = float(equity[0])
    last_year: Optional[int] = None
    for (year, month), value in sorted(ends.items()):
        if last_year is not None and year != last_year:
            year_before = before
        out.setdefault(year, {})[month] = (value / before - 1.0) * 100.0 if before > 0 else math.nan
        out[year][13] = (value / year_before - 1.0) * 100.0 if year_before > 0 else math.nan
        before, last_year = value, year
    return out


# ---------------------------------------------------------------- the report


_STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d2330; margin: 0;
       background: #f6f7f9; }
main { max-width: 1180px; margin: 0 auto; padding: 24px 28px 48px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 32px 0 10px; }
.sub { color: #5b6475; margin-bottom: 18px; }
.cards { display: flex; flex-wrap: wrap; gap: 8px; }
.card { background: #fff; border: 1px solid #dde1e8; border-radius: 6px; padding: 7px 10px; flex: 1 1 96px; }
.card b { display: block; font-size: 16px; white-space: nowrap; }
.card span { color: #5b6475; font-size: 12px; }
.panel { background: #fff; border: 1px solid #dde1e8; border-radius: 6px; padding: 6px; }
table { border-collapse: collapse; background: #fff; }
th, td { border: 1px solid #e3e6ec; padding: 3px 8px; text-align: right; white-space: nowrap; }
th { background: #eef0f4; font-weight: 600; }
td.l, th.l { text-align: left; }
td.def { text-align: left; white-space: normal; color: #3d4557; }
.scroll { max-height: 560px; overflow: auto; border: 1px solid #dde1e8; }
table.trades { font-size: 12px; }
table.trades th, table.trades td { padding: 2px 6px; }
.pos { color: #1b7f3b; } .neg { color: #b3261e; }
#report-error { display: none; background: #fdecea; color: #8a1c13; border: 1px solid #f5c2bd; padding: 10px 14px;
                border-radius: 6px; margin-bottom: 14px; }
"""

# Shown when a chart's script fails (a browser that blocks inline scripts,
# an old one): the page says so rather than leaving empty frames.
_ERRORS = """<script>
window.addEventListener("error", function (e) {
  var box = document.getElementById("report-error");
  box.style.display = "block";
  box.textContent = "This report could not draw its charts: " + e.message;
});
</script>"""


def _escape(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _sign_class(value: float) -> str:
    return "pos" if value > 0 else "neg" if value < 0 else ""


def _equity_figure(result: "Result", go: Any, make_subplots: Any) -> Any:
    times, equity, balance = curve(result)
    peaks = np.maximum.accumulate(equity)
    with np.errstate(divide="ignore", invalid="ignore"):
        drawdown = np.where(peaks > 0, (equity - peaks) / peaks * 100.0, 0.0)
    keep = np.unique(np.concatenate((thinned(equity), thinned(drawdown))))
    when = times[keep].astype("datetime64[ms]")
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=[0.72, 0.28], vertical_spacing=0.04)
    fig.add_trace(go.Scatter(x=when, y=equity[keep], name="equity",
                             line=dict(color="#1f77b4", width=1.4, simplify=False)),
                  row=1, col=1)
    fig.add_trace(go.Scatter(x=when, y=balance[keep], name="balance", line=dict(color="#8c8c8c", width=1.1,
                                                                               shape="hv")), row=1, col=1)
    fig.add_trace(go.Scatter(x=when, y=drawdown[keep], name="drawdown (%)", fill="tozeroy",
                             line=dict(color="#e05252", width=0.8), fillcolor="rgba(224,82,82,0.35)"),
                  row=2, col=1)
    fig.update_yaxes(title_text=f"account ({_escape(result.currency)})", row=1, col=1)
    fig.update_yaxes(title_text="drawdown (%)", row=2, col=1)
    fig.update_xaxes(title_text="time (UTC)", row=2, col=1)
    fig.update_layout(template="plotly_white", height=560, margin=dict(l=70, r=20, t=20, b=50),
                      legend=dict(orientation="h", x=0, y=1.06), hovermode="x unified")
    return fig


def _results_figure(result: "Result", go: Any) -> Any:
    results = np.array([t.result for t in result.trades], dtype=np.float64)
    size = _bin_size(results)
    bins = dict(start=math.floor(float(results.min()) / size) * size, size=size)  # 0 falls on a bin's edge
    fig = go.Figure()
    for part, name, color in ((results[results > 0], "winning", "#2e9e5b"),
                              (results[results <= 0], "losing or even", "#e05252")):
        fig.add_trace(go.Histogram(x=part, name=f"{name} ({len(part)})", marker_color=color, opacity=0.85,
                                   xbins=bins))
    fig.update_layout(template="plotly_white", height=340, barmode="overlay", bargap=0.04,
                      margin=dict(l=70, r=20, t=20, b=50), legend=dict(orientation="h", x=0, y=1.1),
                      xaxis_title=f"trade result ({_escape(result.currency)})", yaxis_title="trades")
    return fig


def _bin_size(results: np.ndarray) -> float:
    """A bin width giving about 40 bins over the results' range."""
    span = float(results.max() - results.min()) if len(results) else 0.0
    return span / 40 if span > 0 else 1.0


def _monthly_table(result: "Result") -> str:
    times, equity, _ = curve(result)
    table = monthly_returns(times, equity)
    if not table:
        return "<p>No steps.</p>"
    head = "".join(f"<th>{m}</th>" for m in _MONTHS) + "<th>year</th>"
    rows = []
    for year, months in sorted(table.items()):
        cells = []
        for month in range(1, 14):
            value = months.get(month)
            if value is None or math.isnan(value):
                cells.append("<td></td>")
                continue
            strength = min(abs(value) / 5.0, 1.0) * 0.55 + 0.08
            tint = f"rgba(46,158,91,{strength:.2f})" if value >= 0 else f"rgba(224,82,82,{strength:.2f})"
            style = f"background:{tint}" + (";font-weight:600" if month == 13 else "")
            cells.append(f'<td style="{style}">{value:+.2f} %</td>')
        rows.append(f"<tr><th>{year}</th>{''.join(cells)}</tr>")
    return f'<table class="monthly"><tr><th></th>{head}</tr>{"".join(rows)}</table>'


def _stats_table(result: "Result") -> str:
    rows = []
    for name, _, definition in DEFINITIONS:
        shown = _escape(figure_text(name, result.stats.get(name), result.currency))
        rows.append(f'<tr><td class="l"><code>{name}</code></td><td>{shown}</td>'
                    f'<td class="def">{_escape(definition)}.</td></tr>')
    return ('<table class="stats"><tr><th class="l">statistic</th><th>value</th><th class="l">definition</th></tr>'
            + "".join(rows) + "</table>")


def _settings_table(result: "Result") -> str:
    given = dict(result.settings) or {"symbols": list(result.symbols), "timeframe": result.timeframe,
                                      "deposit": result.deposit, "currency": result.currency}
    rows = "".join(f'<tr><th class="l">{_escape(k)}</th><td class="l">'
                   f'{_escape(", ".join(v) if isinstance(v, (list, tuple)) else v)}</td></tr>'
                   for k, v in given.items())
    return f'<table class="settings">{rows}</table>'


def _trades_table(result: "Result") -> str:
    if not result.trades:
        return "<p>No trades.</p>"
    head = ("#", "symbol", "side", "volume", "entry time", "entry price", "exit time", "exit price", "profit",
            "commission", "swap", "result", "MAE", "MFE", "duration")
    rows = []
    for i, t in enumerate(result.trades, 1):
        digits = _digits(result, t.symbol)
        excursions = ("", "") if math.isnan(t.mae) else (f"{t.mae:,.2f}", f"{t.mfe:,.2f}")
        rows.append(
            f'<tr><td>{i}</td><td class="l">{_escape(t.symbol)}</td>'
            f'<td class="l">{"long" if t.side == PositionType.BUY else "short"}</td><td>{t.volume:g}</td>'
            f'<td>{_utc(t.entry_time_msc):%Y-%m-%d %H:%M:%S}</td><td>{t.entry_price:.{digits}f}</td>'
            f'<td>{_utc(t.exit_time_msc):%Y-%m-%d %H:%M:%S}</td><td>{t.exit_price:.{digits}f}</td>'
            f'<td>{t.profit:,.2f}</td><td>{t.commission:,.2f}</td><td>{t.swap:,.2f}</td>'
            f'<td class="{_sign_class(t.result)}"><b>{t.result:,.2f}</b></td>'
            f'<td>{excursions[0]}</td><td>{excursions[1]}</td><td>{duration_text(t.duration)}</td></tr>')
    header = "".join(f"<th>{h}</th>" for h in head)
    return f'<div class="scroll"><table class="trades"><tr>{header}</tr>{"".join(rows)}</table></div>'


def _digits(result: "Result", symbol: str) -> int:
    point = result.market.points.get(symbol, 0.0) if result.market is not None else 0.0
    return max(0, min(10, round(-math.log10(point)))) if point > 0 else 5


def _cards(result: "Result") -> str:
    shown = ("net_profit", "return_pct", "max_drawdown_pct", "sharpe_annual", "profit_factor", "trades",
             "win_rate", "buy_and_hold_pct")
    out = []
    for name in shown:
        value = result.stats[name]
        out.append(f'<div class="card"><b>{_escape(figure_text(name, value, result.currency))}</b>'
                   f"<span>{name}</span></div>")
    return f'<div class="cards">{"".join(out)}</div>'


def report_html(result: "Result", title: Optional[str] = None) -> str:
    """The report as one HTML text (see ``Result.report``)."""
    try:
        import plotly.graph_objects as go
        from plotly.offline import get_plotlyjs
        from plotly.subplots import make_subplots
    except ImportError:
        raise ImportError(MISSING_PLOTLY) from None
    stats = result.stats
    heading = title or f"Backtest of {', '.join(result.symbols)}"
    side = "hedging" if result.settings.get("hedging", True) else "netting"
    sub = (f"{', '.join(result.symbols)} · {result.settings.get('timeframe', result.timeframe)} · "
           f"{figure_text('start', stats['start'], '')} to {figure_text('end', stats['end'], '')} · "
           f"deposit {result.deposit:,.2f} {result.currency} · {side} account · {len(result.equity):,} steps")
    config = {"displaylogo": False, "responsive": True}
    equity = _equity_figure(result, go, make_subplots).to_html(full_html=False, include_plotlyjs=False,
                                                              div_id="equity-chart", config=config)
    if result.trades:
        results = _results_figure(result, go).to_html(full_html=False, include_plotlyjs=False,
                                                     div_id="results-chart", config=config)
    else:
        results = "<p>No trades.</p>"
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{_escape(heading)}</title>", f"<style>{_STYLE}</style>", _ERRORS,
        # The whole charting library, inlined: the file needs no network.
        f'<script type="text/javascript">{get_plotlyjs()}</script>', "</head><body><main>",
        '<div id="report-error"></div>',
        "<noscript><p>The charts need JavaScript; the tables below are complete without it.</p></noscript>",
        f"<h1>{_escape(heading)}</h1>", f'<div class="sub">{_escape(sub)}</div>', _cards(result),
        "<h2>Equity, balance and drawdown</h2>", f'<div class="panel">{equity}</div>',
        "<h2>Monthly returns</h2>", _monthly_table(result),
        "<h2>Distribution of trade results</h2>", f'<div class="panel">{results}</div>',
        f"<h2>Trades ({len(result.trades):,})</h2>", _trades_table(result),
        "<h2>Statistics</h2>", _stats_table(result),
        "<h2>Settings of the run</h2>", _settings_table(result),
        "</main></body></html>",
    ]
    return "\n".join(parts)


def write_report(result: "Result", path: "str | os.PathLike[str]", *, title: Optional[str] = None) -> None:
    """Writes ``report_html(result)`` to ``path`` (UTF-8)."""
    text = report_html(result, title)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


# ---------------------------------------------------------------- the notebook view


def _small_chart(result: "Result") -> str:
    """The equity curve as a small inline PNG, '' without matplotlib."""
    try:
        from matplotlib.figure import Figure  # drawn without pyplot: no display, no global state
    except ImportError:
        return ""
    times, equity, balance = curve(result)
    keep = thinned(equity, 1200)
    when = times[keep].astype("datetime64[ms]")
    fig = Figure(figsize=(4.2, 1.9), dpi=100)
    axes = fig.add_subplot()
    axes.plot(when, balance[keep], color="#8c8c8c", linewidth=0.8, drawstyle="steps-post")
    axes.plot(when, equity[keep], color="#1f77b4", linewidth=1.1)
    axes.set_title(f"equity ({result.currency})", fontsize=9)
    axes.tick_params(labelsize=7)
    axes.grid(True, color="#e6e6e6", linewidth=0.5)
    fig.autofmt_xdate()
    fig.tight_layout(pad=0.4)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    encoded = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="equity curve" src="data:image/png;base64,{encoded}">'


def notebook_html(result: "Result", names: Sequence[str] = NOTEBOOK_STATS) -> str:
    """A notebook's view of a Result: a compact table of the main figures
    and a small equity chart."""
    cells: List[str] = []
    for i in range(0, len(names), 2):
        pair = names[i:i + 2]
        cells.append("<tr>" + "".join(
            f'<td style="text-align:left;padding-left:{18 if k else 4}px"><code>{n}</code></td>'
            f'<td style="text-align:right">{_escape(figure_text(n, result.stats[n], result.currency))}</td>'
            for k, n in enumerate(pair)) + "</tr>")
    period = f"{result.stats['start']:%Y-%m-%d %H:%M} to {result.stats['end']:%Y-%m-%d %H:%M} UTC"
    table = (f'<table><caption style="text-align:left"><b>Backtest of {_escape(", ".join(result.symbols))}</b>: '
             f"{_escape(period)}, {len(result.equity):,} steps</caption>{''.join(cells)}</table>")
    chart = _small_chart(result)
    if not chart:
        return f"<div>{table}</div>"
    return (f'<div style="display:flex;flex-wrap:wrap;gap:16px;align-items:flex-start">'
            f"<div>{table}</div><div>{chart}</div></div>")
