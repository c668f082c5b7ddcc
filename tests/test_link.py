"""The framed link, checked byte for byte against a scripted Terminal."""

import struct

import pytest

from fake_terminal import HANDSHAKE_BUILD, fixed_text, reply, request, u32, wide

TERMINAL_RECORD = 3162
ACCOUNT_RECORD = 851

# A few codes of the message table: a Terminal code, the link codes peers see
# most, and codes outside the table.
MESSAGES = {
    -1: "Terminal: Call failed",
    -5: "Terminal: Incompatible versions, please install the latest version of Terminal and Python module",
    -9999: "Terminal: Call failed",
    -10001: "IPC send failed",
    -10006: "Terminal: Call failed",
}


def version_reply(text="7 Dec 2026"):
    return reply(1, 1, u32(5) + u32(HANDSHAKE_BUILD) + wide(text))


def test_connect_sequence_bytes(fake, core):
    fake.serve()
    assert fake.connect()
    assert core.last_error() == (1, "Success")
    handshake, ready = fake.frames()
    assert handshake == u32(24) + u32(4) + u32(3) + u32(6) + "Python".encode("utf-16-le")
    assert ready == bytes.fromhex("040000006d000000")


@pytest.mark.parametrize("code", sorted(MESSAGES))
def test_terminal_result_codes_and_messages(fake, core, code):
    fake.serve(reply(180, code))
    assert fake.connect()
    assert core.terminal_info() is None
    assert core.last_error() == (code, MESSAGES[code])


def test_version_round_trip(fake, core):
    fake.serve(version_reply("7 Dec 2026"), reply(1, 0, u32(3) + u32(4) + wide("x")), reply(1, 1, u32(1) + u32(2) + wide("é" * 64)))
    assert fake.connect()
    assert core.version() == (5, HANDSHAKE_BUILD, "7 Dec 2026")
    assert fake.requests()[0] == request(1, u32(0))
    # Result 0: no data, still success.
    assert core.version() == (0, 0, "")
    assert core.last_error() == (1, "Success")
    # A text whose UTF-8 form exceeds 127 bytes is dropped; the numbers stay.
    assert core.version() == (1, 2, "")


def test_over_long_reply_is_drained_not_read_as_the_next_answer(fake, core):
    # The stale tail of the first reply looks like a valid version reply;
    # a module that left it in the stream would return it as the answer.
    stale = version_reply("stale")
    first = reply(180, 1, bytes(TERMINAL_RECORD) + stale)
    fake.serve(first, version_reply("fresh"))
    assert fake.connect()
    assert core.terminal_info() is None
    assert core.last_error() == (-10002, "IPC recv failed")
    assert core.version() == (5, HANDSHAKE_BUILD, "fresh")


def test_hostile_text_count_is_refused_without_allocating(fake, core):
    import tracemalloc

    huge = reply(1, 1, u32(1) + u32(2) + u32(0x7FFFFFFF) + b"ab")
    fake.serve(huge, version_reply())
    assert fake.connect()
    tracemalloc.start()
    try:
        assert core.version() == (0, 0, "")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert core.last_error() == (-10002, "IPC recv failed")
    assert peak < 1 << 20
    assert core.version() == (5, HANDSHAKE_BUILD, "7 Dec 2026")


@pytest.mark.parametrize("cut", [2, 6, 11, 100])
def test_truncated_reply_then_closed_socket(fake, core, cut):
    whole = reply(180, 1, bytes(TERMINAL_RECORD))
    fake.serve((whole[:cut], "close"))
    assert fake.connect()
    assert core.terminal_info() is None
    assert core.last_error() == (-10002, "IPC recv failed")
    # The broken stream was closed; later calls know there is no connection.
    assert core.account_info() is None
    assert core.last_error() == (-10004, "No IPC connection")


def test_peer_gone_before_the_request(fake, core):
    fake.serve(handshake=True)
    assert fake.connect()
    fake.stop()
    # The peer is known to be gone before anything is written.
    assert core.terminal_info() is None
    assert core.last_error() == (-10004, "No IPC connection")


def terminal_record(**overrides):
    rec = bytearray(TERMINAL_RECORD)
    struct.pack_into("<I", rec, 0, overrides.get("build", 2405))
    rec[4:12] = bytes([1, 0, 2, 0, 1, 0, 1, 0])
    struct.pack_into("<I", rec, 12, 0xFFFFFFFF)
    rec[16] = 1
    struct.pack_into("<iidd", rec, 17, 65001, -1, 12.5, 0.25)
    for i, (offset, text) in enumerate([(41, "Belvastor"), (561, "Quorvane Terminal"), (1081, "English"),
                                        (1601, "/opt/q"), (2121, "/data/" + "x" * 254), (2641, "/common")]):
        rec[offset:offset + 520] = fixed_text(text, 260)
    rec[3161] = 5
    return bytes(rec)


def test_terminal_info_fields(fake, core):
    fake.serve(reply(180, 1, terminal_record()))
    assert fake.connect()
    info = core.terminal_info()
    assert fake.requests()[-1] == bytes.fromhex("04000000b4000000")
    assert info[:10] == (True, False, True, False, True, True, False, True, False, True)
    assert info.tradeapi_disabled is True  # the record's last byte
    assert info.bvid is True               # the byte between maxbars and codepage
    assert (info.build, info.maxbars, info.codepage, info.ping_last) == (2405, 4294967295, 65001, -1)
    assert (info.community_balance, info.retransmission) == (12.5, 0.25)
    assert info.company == "Belvastor" and info.name == "Quorvane Terminal" and info.language == "English"
    assert info.path == "/opt/q" and info.data_path == "/data/" + "x" * 254 and info.commondata_path == "/common"


def test_account_info_fields(fake, core):
    rec = bytearray(ACCOUNT_RECORD)
    struct.pack_into("<QIIII", rec, 0, 2**64 - 5, 2, 100, 200, 1)
    rec[24], rec[25] = 1, 0
    struct.pack_into("<II", rec, 26, 3, 2)
    rec[34] = 7
    struct.pack_into("<14d", rec, 35, *[float(i) + 0.5 for i in range(14)])
    rec[147:403] = "N".encode("utf-16-le") * 128        # fills the field: no terminator
    rec[403:531] = fixed_text("Quorvane-Demo", 64)
    rec[531:595] = fixed_text("USD", 32)
    rec[595:851] = fixed_text("Belvastor \U0001F600", 128)
    fake.serve(reply(190, 1, bytes(rec)))
    assert fake.connect()
    acc = core.account_info()
    assert acc.login == 2**64 - 5
    assert (acc.trade_mode, acc.leverage, acc.limit_orders, acc.margin_so_mode) == (2, 100, 200, 1)
    assert (acc.trade_allowed, acc.trade_expert, acc.fifo_close) == (True, False, True)
    assert (acc.margin_mode, acc.currency_digits) == (3, 2)
    assert acc.balance == 0.5 and acc.commission_blocked == 13.5
    assert acc.name == "N" * 128
    assert (acc.server, acc.currency, acc.company) == ("Quorvane-Demo", "USD", "Belvastor \U0001F600")
