"""Record images built field by field from the published layouts,
independently of the module's C declarations; shared by the wire tests, the
raw Terminal client and the benchmark.

Codes: b one-byte flag, I/i u32/i32, Q/q u64/i64, d double, a number: UTF-16
text of that many units, `_N`: N bytes that no item takes."""

import struct

POSITION = """ticket:Q time:q time_msc:q time_update:q time_update_msc:q type:I magic:Q identifier:Q reason:I
volume:d price_open:d sl:d tp:d price_current:d _:8 swap:d profit:d symbol:32 comment:32 external_id:32"""
ORDER = """ticket:Q time_setup:q time_setup_msc:q time_done:q time_done_msc:q time_expiration:q type:I
type_time:I type_filling:I state:I magic:Q position_id:Q position_by_id:Q reason:I volume_initial:d
volume_current:d price_open:d sl:d tp:d price_current:d price_stoplimit:d symbol:32 comment:32
external_id:32"""
DEAL = """ticket:Q order:Q time:q time_msc:q type:I entry:I magic:Q position_id:Q reason:I volume:d price:d
commission:d swap:d profit:d fee:d symbol:32 comment:32 external_id:32"""
REQUEST = """action:I magic:Q order:Q symbol:32 volume:d price:d stoplimit:d sl:d tp:d deviation:Q type:I
type_filling:I type_time:I expiration:q comment:32 position:Q position_by:Q"""
CHECK = "retcode:I balance:d equity:d profit:d margin:d margin_free:d margin_level:d comment:100"
SEND = """retcode:I deal:Q order:Q volume:d price:d bid:d ask:d comment:100 request_id:I
retcode_external:i"""

ACCOUNT = """login:Q trade_mode:I leverage:I limit_orders:I margin_so_mode:I trade_allowed:b trade_expert:b
margin_mode:I currency_digits:I fifo_close:b balance:d credit:d profit:d equity:d margin:d margin_free:d
margin_level:d margin_so_call:d margin_so_so:d margin_initial:d margin_maintenance:d assets:d liabilities:d
commission_blocked:d name:128 server:64 currency:32 company:128"""
TERMINAL = """build:I community_account:b community_connection:b connected:b dlls_allowed:b trade_allowed:b
email_enabled:b ftp_enabled:b notifications_enabled:b maxbars:I bvid:b codepage:i ping_last:i
community_balance:d retransmission:d company:260 name:260 language:260 path:260 data_path:260
commondata_path:260 tradeapi_disabled:b"""

# The symbol record: `name` comes last on the wire.
SYMBOL = """
custom:b chart_mode:I select:b visible:b session_deals:Q session_buy_orders:Q session_sell_orders:Q
volume:Q volumehigh:Q volumelow:Q time:q digits:I spread:i spread_float:b ticks_bookdepth:I
trade_calc_mode:I trade_mode:I start_time:q expiration_time:q trade_stops_level:i trade_freeze_level:i
trade_exemode:I swap_mode:I swap_rollover3days:I margin_hedged_use_leg:b expiration_mode:i filling_mode:i
order_mode:i order_gtc_mode:I option_mode:I option_right:I
bid:d bidhigh:d bidlow:d ask:d askhigh:d asklow:d last:d lasthigh:d lastlow:d volume_real:d
volumehigh_real:d volumelow_real:d option_strike:d point:d trade_tick_value:d trade_tick_value_profit:d
trade_tick_value_loss:d trade_tick_size:d trade_contract_size:d trade_accrued_interest:d
trade_face_value:d trade_liquidity_rate:d volume_min:d volume_max:d volume_step:d volume_limit:d
swap_long:d swap_short:d margin_initial:d margin_maintenance:d session_volume:d session_turnover:d
session_interest:d session_buy_orders_volume:d session_sell_orders_volume:d session_open:d
session_close:d session_aw:d session_price_settlement:d session_price_limit_min:d
session_price_limit_max:d margin_hedged:d price_change:d price_volatility:d price_theoretical:d
price_greeks_delta:d price_greeks_theta:d price_greeks_gamma:d price_greeks_vega:d price_greeks_rho:d
price_greeks_omega:d price_sensitivity:d
basis:32 category:64 currency_base:16 currency_profit:16 currency_margin:16 bank:256 description:64
exchange:64 formula:256 isin:16 page:256 path:128 name:32
"""


def fields(layout):
    return [tuple(t.split(":")) for t in layout.split()]


def items(layout):
    """The tuple items, in order (gaps left out)."""
    return [n for n, _ in fields(layout) if n != "_"]


def pack(layout, values):
    out = b""
    for name, code in fields(layout):
        if name == "_":
            out += b"\xee" * int(code)  # bytes no item takes: never read
        elif code.isdigit():
            data = values.get(name, "").encode("utf-16-le", "surrogatepass")
            out += data[: 2 * int(code)] + b"\0" * max(0, 2 * int(code) - len(data))
        else:
            out += struct.pack("<" + code, values.get(name, 0))
    return out


def distinct(layout, **overrides):
    """Values that differ per field, so a field read from the wrong place
    shows: texts hold their own name, numbers their place, the unsigned ones
    with the top bit set."""
    values = {}
    for i, (name, code) in enumerate(fields(layout)):
        if code == "b":
            values[name] = 2 if i % 2 else 0  # any non-zero byte is True
        elif code in "IQ":
            values[name] = (1 << (8 * struct.calcsize(code) - 1)) + i
        elif code in "iq":
            values[name] = -1000 - i
        elif code == "d":
            values[name] = i + 0.25
        elif name != "_":
            values[name] = name
    values.update(overrides)
    return values
