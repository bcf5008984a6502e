"""Expansion of one raw LZ4 block before decoding, on both compressed entry points."""

import lz4.block
import pytest

from conftest import (LZ4_BAD_DATA, LZ4_TOO_BIG, PREFIX, PanicException, compress, make_batch, raises_panic,
                      reference_json)
from morvex_log_py_bindings import log_parser

JZ = log_parser.lz4_logs_to_flat_json_str
BATCH = make_batch([dict(topic="app", source="s", tags=[("host", "a1")],
                         logs=[dict(time=i, contents=[("msg", "repeated text " * 4), ("n", str(i))])
                               for i in range(40)])])
DATA = BATCH.SerializeToString()
TEXT = reference_json(BATCH)
BLOCK = compress(DATA)


def dicts(block, size):
    return log_parser.lz4_logs_to_flat_json(block, size, False, False)


def test_block_really_is_compressed():
    assert len(BLOCK) < len(DATA) // 2  # matches, not only literals, are exercised


@pytest.mark.parametrize("block", [BLOCK, lz4.block.compress(DATA, store_size=False, mode="high_compression"),
                                   lz4.block.compress(DATA, store_size=False, mode="fast", acceleration=50)])
@pytest.mark.parametrize("extra", [0, 1, 1000])
def test_raw_size_at_or_above_the_expanded_size(block, extra):
    # spare room must not reach the decoder: zero bytes there would read as "invalid tag value: 0"
    assert JZ(block, len(DATA) + extra) == TEXT
    assert log_parser.logs_to_flat_json_str(DATA) == TEXT
    assert dicts(block, len(DATA) + extra) == log_schema_dicts()


def log_schema_dicts():
    import log_schema
    return log_schema.flatten_dicts(log_schema.LogGroupListRaw.FromString(DATA), False, False)


def test_largest_accepted_raw_size():
    assert JZ(BLOCK, 2113929216) == TEXT
    assert dicts(BLOCK, 2113929216) == log_schema_dicts()


@pytest.mark.parametrize(
    "block, size, message",
    [
        (BLOCK, len(DATA) - 1, LZ4_BAD_DATA),
        (BLOCK, 0, LZ4_BAD_DATA),
        (BLOCK[:-1], len(DATA), LZ4_BAD_DATA),
        (BLOCK[: len(BLOCK) // 2], len(DATA), LZ4_BAD_DATA),
        (BLOCK + b"\x00", len(DATA), LZ4_BAD_DATA),
        (b"", 1, LZ4_BAD_DATA),
        (b"", 1000, LZ4_BAD_DATA),
        (compress(b"\x10\x00"), 0, LZ4_BAD_DATA),
        (b"\x10", 0, LZ4_BAD_DATA),
        (b"\x10", 5, LZ4_BAD_DATA),
        # one literal, then a match whose offset points before the start of the output
        (b"\x10a\x02\x00" + b"\x50abcde", 100, LZ4_BAD_DATA),
        (b"\x10a\xff\xff" + b"\x50abcde", 100, LZ4_BAD_DATA),
        # literal length running past the input
        (b"\xf0\xff\xff\xff", 10000, LZ4_BAD_DATA),
        (b"\x50abc", 100, LZ4_BAD_DATA),
        # sizes that are refused before anything is allocated
        (BLOCK, 2113929217, LZ4_TOO_BIG),
        (BLOCK, 2**31 - 1, LZ4_TOO_BIG),
        (BLOCK, 2**31, LZ4_TOO_BIG),
        (BLOCK, 2**32 - 1, LZ4_TOO_BIG),
        (BLOCK, 2**32 + 100, LZ4_TOO_BIG),
        (BLOCK, 2**32 + len(DATA), LZ4_TOO_BIG),
        (BLOCK, 2**63, LZ4_TOO_BIG),
        (BLOCK, 2**64 - 1, LZ4_TOO_BIG),
    ],
)
def test_expansion_failures_raise_panic(block, size, message):
    raises_panic(message, JZ, block, size)
    raises_panic(message, dicts, block, size)


def test_largest_accepted_size_with_a_bad_block_fails_in_the_expansion():
    raises_panic(LZ4_BAD_DATA, JZ, b"", 2113929216)


def test_block_that_expands_to_nothing():
    assert JZ(b"\x00", 0) == "[]"
    assert JZ(b"\x00", 100) == "[]"
    assert dicts(b"\x00", 0) == []
    assert compress(b"") == b"\x00"


def test_expanded_bytes_that_do_not_decode_raise_value_error():
    data = b"\x0a\x05"
    for call, context in ((JZ, "LogGroupList.log_groups"), (dicts, "LogGroupListRaw.log_groups")):
        with pytest.raises(ValueError) as info:
            call(compress(data), len(data) + 10)
        assert info.value.args == (PREFIX + context + ": buffer underflow",)
    with pytest.raises(ValueError, match="invalid tag value: 0$"):
        JZ(compress(b"\x00" * 64), 64)


def test_panic_is_only_caught_as_base_exception(capfd):
    try:
        JZ(b"\xff", 10)
    except Exception:  # pragma: no cover - the fault being tested for
        pytest.fail("PanicException caught as Exception")
    except BaseException as exc:
        assert isinstance(exc, PanicException) and not isinstance(exc, Exception)
        assert str(exc) == LZ4_BAD_DATA
    assert LZ4_BAD_DATA in capfd.readouterr().err  # a short report of the fault
    # the module stays usable after a panic
    assert JZ(BLOCK, len(DATA)) == TEXT


def test_match_of_offset_zero_never_reveals_earlier_memory():
    # liblz4 accepts a match of offset 0, which copies output bytes that were never written.
    # Those bytes must read as zeros, even after earlier calls left data in freed buffers.
    filler = make_batch([{"topic": "x" * 64, "logs": [{"time": 7, "contents": [("k", "v" * 500)]}]}])
    filler = filler.SerializeToString()
    for _ in range(3):
        JZ(compress(filler), len(filler))
    # literals 0A 08 0A 00 1A 04 (a group: one empty log, topic of 4 bytes), a 4-byte match
    # at offset 0 (the topic's bytes), then literal-only padding of unknown varint fields.
    block = bytes([0x60, 0x0A, 0x08, 0x0A, 0x00, 0x1A, 0x04, 0x00, 0x00,
                   0x60, 0x10, 0x00, 0x10, 0x00, 0x10, 0x00])
    assert JZ(block, 200) == '[{"__time__":0,"__topic__":"\\u0000\\u0000\\u0000\\u0000"}]'
    assert dicts(block, 200) == [{"__time__": 0, "__topic__": "\0\0\0\0"}]


def test_match_of_offset_zero_in_a_large_block_never_reveals_earlier_memory():
    # A block that asks for more than a MiB is expanded into mapped memory, after earlier
    # calls used and freed such memory; the unwritten bytes must still read as zeros.
    filler = make_batch([{"topic": "x" * 64, "logs": [{"time": 7, "contents": [("k", "v" * 500)]}] * 6000}])
    filler = filler.SerializeToString()
    assert len(filler) > 2 << 20
    for _ in range(2):
        JZ(compress(filler), len(filler))
        dicts(compress(filler), len(filler))
    padding = bytes([0x10, 0x00]) * 2100  # unknown varint fields, as one long literal run
    length = len(padding) - 15
    block = (bytes([0x60, 0x0A, 0x08, 0x0A, 0x00, 0x1A, 0x04, 0x00, 0x00, 0xF0])
             + bytes([0xFF]) * (length // 255) + bytes([length % 255]) + padding)
    assert 255 * len(block) + 16 > 1 << 20  # room of more than a MiB is asked for
    raw_size = 2 << 20
    assert JZ(block, raw_size) == '[{"__time__":0,"__topic__":"\\u0000\\u0000\\u0000\\u0000"}]'
    assert dicts(block, raw_size) == [{"__time__": 0, "__topic__": "\0\0\0\0"}]


@pytest.mark.parametrize("block", [b"", b"\x00\x00", b"\x00\x01", b"\x10\x00", b"\x01", b"\xf0"],
                         ids=["empty", "empty sequence then junk", "token then junk", "one literal",
                              "lone match token", "literal run cut short"])
def test_raw_size_zero_refuses_every_block_but_the_one_byte_empty_one(block):
    # With no room at all, only the single token 0x00 expands (to nothing, see test_block_that_expands_to_nothing);
    # everything else, the empty input and a zero token followed by more bytes included, is
    # malformed, whatever the flags. The lz4 package says the same about each block.
    with pytest.raises(lz4.block.LZ4BlockError):
        lz4.block.decompress(block, uncompressed_size=0)
    raises_panic(LZ4_BAD_DATA, JZ, block, 0)
    for time_as_str in (False, True):
        raises_panic(LZ4_BAD_DATA, log_parser.lz4_logs_to_flat_json, block, 0, time_as_str, not time_as_str)
