"""lz4_logs_to_flat_json: one dict per log, insertion order, flags and the UTF-8 check of values."""

import itertools
import json

import log_schema
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import (LZ4_BAD_DATA, LZ4_TOO_BIG, PREFIX, colliding_shapes, compress, content, ld, make_batch,
                      many_shapes, raises_panic, vi)
from morvex_log_py_bindings import log_parser

FLAGS = list(itertools.product([False, True], repeat=2))


def convert(groups, time_as_str=False, decode_utf8=False):
    """Dicts of a protobuf-encoded raw batch, checked against the reference including key order."""
    batch = make_batch(groups, raw=True)
    data = batch.SerializeToString()
    result = log_parser.lz4_logs_to_flat_json(compress(data), len(data), time_as_str, decode_utf8)
    expected = log_schema.flatten_dicts(batch, time_as_str, decode_utf8)
    assert type(result) is list and all(type(d) is dict for d in result)
    assert [list(d.items()) for d in result] == [list(d.items()) for d in expected]
    for d, e in zip(result, expected):
        assert [type(v) for v in d.values()] == [type(v) for v in e.values()]
    return result


@pytest.mark.parametrize(
    "groups, expected",
    [
        ([], []),
        ([{}, dict(topic="t", tags=[("a", "b")])], []),
        ([dict(logs=[{}])], [[("__time__", 0)]]),
        ([dict(topic="g1", logs=[dict(time=1), {}]), dict(source="", logs=[dict(time=3)])],
         [[("__time__", 1), ("__topic__", "g1")], [("__time__", 0), ("__topic__", "g1")],
          [("__time__", 3), ("__source__", "")]]),
        ([dict(topic="", source="s", uuid="u", tags=[("h", "1"), ("a", "2")],
               logs=[dict(time=4294967295, time_ns=0, contents=[("z", b"1"), ("b", b"")])])],
         [[("__time__", 4294967295), ("__time_ns__", 0), ("z", b"1"), ("b", b""), ("__topic__", ""),
           ("__source__", "s"), ("__tag__:h", "1"), ("__tag__:a", "2")]]),
        # collisions: the later insertion wins, the key keeps its first place
        ([dict(logs=[dict(time=5, time_ns=6, contents=[("a", b"1"), ("__time__", b"t"), ("__time_ns__", b"n"),
                                                       ("a", b"2")])])],
         [[("__time__", b"t"), ("__time_ns__", b"n"), ("a", b"2")]]),
        ([dict(topic="T", source="S", tags=[("x", "tag"), ("y", "1"), ("y", "2"), ("__topic__", "q")],
               logs=[dict(contents=[("__source__", b"c"), ("__tag__:x", b"c"), ("__topic__", b"c"),
                                    ("__tag__:__topic__", b"c")])])],
         [[("__time__", 0), ("__source__", "S"), ("__tag__:x", "tag"), ("__topic__", "T"),
           ("__tag__:__topic__", "q"), ("__tag__:y", "2")]]),
        ([dict(logs=[dict(contents=[("__topic__", b"kept"), ("__source__", b"kept")])])],
         [[("__time__", 0), ("__topic__", b"kept"), ("__source__", b"kept")]]),
        ([dict(tags=[("", "e")], logs=[dict(contents=[("__tag__:", b"c")])])], [[("__time__", 0), ("__tag__:", "e")]]),
    ],
)
def test_records_and_insertion_order(groups, expected):
    assert [list(d.items()) for d in convert(groups)] == expected


@pytest.mark.parametrize("time_as_str, decode_utf8", FLAGS)
def test_flags(time_as_str, decode_utf8):
    groups = [dict(topic="t\u00e9", tags=[("k", "v\U0001f600")],
                   logs=[dict(time=4294967295, time_ns=0, contents=[("k\u00e9", "\u65e5".encode()), ("e", b"")]),
                         dict(time=7, contents=[("a", b"plain")])])]
    result = convert(groups, time_as_str, decode_utf8)
    first = result[0]
    if time_as_str:
        assert first["__time__"] == "4294967295" and first["__time_ns__"] == "0" and result[1]["__time__"] == "7"
    else:
        assert first["__time__"] == 4294967295 and first["__time_ns__"] == 0
        assert type(first["__time__"]) is int
    assert first["k\u00e9"] == ("\u65e5" if decode_utf8 else "\u65e5".encode())
    assert first["e"] == ("" if decode_utf8 else b"")
    assert type(first["e"]) is (str if decode_utf8 else bytes)
    assert first["__topic__"] == "t\u00e9" and first["__tag__:k"] == "v\U0001f600"


@pytest.mark.parametrize("time", [0, 1, 9, 10, 99, 100, 999_999_999, 10**9, 2**31 - 1, 2**31, 2**32 - 1])
def test_time_values(time):
    for as_str in (False, True):
        d = convert([dict(logs=[dict(time=time, time_ns=time)])], as_str)[0]
        assert d == {"__time__": str(time) if as_str else time, "__time_ns__": str(time) if as_str else time}


@pytest.mark.parametrize(
    "value, start, end, reason",
    [
        (b"\xff", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"a\xe2\x82", 1, 3, "incomplete utf-8 byte sequence from index 1"),
        (b"\xc0\x80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"ok\xed\xa0\x80", 2, 3, "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"\xf4\x90\x80\x80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"xy\xf0\x9f\x98", 2, 5, "incomplete utf-8 byte sequence from index 2"),
        (b"\xe2\x82a", 0, 2, "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf0\x9f\x98a\xff", 0, 3, "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"h\xc3\xa9\x80", 3, 4, "invalid utf-8 sequence of 1 bytes from index 3"),
    ],
)
def test_unicode_decode_error(value, start, end, reason):
    # the bad value sits in the tenth log, after nine good ones: nothing is returned
    groups = [dict(logs=[dict(contents=[("ok", b"fine")]) for _ in range(9)] + [dict(contents=[("k", value)])])]
    for time_as_str in (False, True):
        with pytest.raises(UnicodeDecodeError) as info:
            convert(groups, time_as_str, True)
        exc = info.value
        assert type(exc) is UnicodeDecodeError and type(exc.object) is bytes
        assert (exc.encoding, exc.object, exc.start, exc.end, exc.reason) == ("utf-8", value, start, end, reason)
        assert exc.args == ("utf-8", value, start, end, reason)
        assert convert(groups, time_as_str, False)[-1]["k"] == value


def test_first_invalid_value_is_reported():
    groups = [dict(logs=[dict(contents=[("a", b"ok"), ("b", b"x\xfe"), ("c", b"\xff")])])]
    with pytest.raises(UnicodeDecodeError) as info:
        convert(groups, False, True)
    assert info.value.object == b"x\xfe" and info.value.start == 1


def test_decode_failure_names_the_raw_family():
    data = ld(1, ld(1, ld(2, content(b"k", b"\xff"))) + ld(3, b"\xff"))
    for time_as_str, decode_utf8 in FLAGS:
        with pytest.raises(ValueError) as info:
            log_parser.lz4_logs_to_flat_json(compress(data), len(data), time_as_str, decode_utf8)
        assert info.value.args == (PREFIX + "LogGroupRaw.topic: LogGroupListRaw.log_groups: "
                                   "invalid string value: data is not UTF-8 encoded",)
    data = ld(1, ld(1, vi(1, 1) + ld(2, content(b"k", b"\xff\x00"))))
    assert log_parser.lz4_logs_to_flat_json(compress(data), len(data), True, False) == [{"__time__": "1",
                                                                                          "k": b"\xff\x00"}]


@pytest.mark.parametrize("time_as_str, decode_utf8", FLAGS)
@pytest.mark.parametrize("block, size, message", [
    (b"\xff\x00", 10, LZ4_BAD_DATA), (compress(b"\x10\x00"), 1, LZ4_BAD_DATA),
    (b"\x00", 2**32 + 100, LZ4_TOO_BIG), (b"\x00", 2113929217, LZ4_TOO_BIG)])
def test_expansion_failures_with_every_flag(block, size, message, time_as_str, decode_utf8):
    raises_panic(message, log_parser.lz4_logs_to_flat_json, block, size, time_as_str, decode_utf8)


KEYS = (st.sampled_from(["a", "__time__", "__time_ns__", "__topic__", "__source__", "__tag__:a", "__tag__:"])
        | st.text(max_size=3))
LOGS = st.fixed_dictionaries({"contents": st.lists(st.tuples(KEYS, st.binary(max_size=4)), max_size=4)},
                             optional={"time": st.integers(0, 2**32 - 1), "time_ns": st.integers(0, 2**32 - 1)})
TAGS = st.lists(st.tuples(st.sampled_from(["a", "", "__topic__"]), st.text(max_size=3)), max_size=3)
GROUPS = st.fixed_dictionaries({"logs": st.lists(LOGS, max_size=3), "tags": TAGS},
                               optional={"topic": st.text(max_size=3), "source": st.text(max_size=3)})


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(GROUPS, max_size=3), st.booleans())
def test_random_batches_match_the_reference(groups, time_as_str):
    convert(groups, time_as_str, False)


@pytest.mark.parametrize("piece", [b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xee\x80\x80",
                                   b"\xef\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf", b"\x80", b"\xc1\xbf",
                                   b"\xe0\x9f\xbf", b"\xed\xbf\xbf", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
                                   b"\xf8\x88\x80\x80\x80", b"\xe1\x80", b"\xf1\x80\x80", b"\xe1\x80\x41",
                                   b"\xf1\x80\x80\xc0"])
def test_strict_utf8_of_values_matches_pythons_decoder(piece):
    for n in (0, 1, 7, 8, 15, 16, 17, 31, 32):
        for value in (b"a" * n + piece, b"a" * n + piece + b"z" * n):
            groups = [dict(logs=[dict(contents=[("k", value)])])]
            try:
                text = value.decode("utf-8")
            except UnicodeDecodeError as own:
                if own.reason == "unexpected end of data":
                    reason = "incomplete utf-8 byte sequence from index %d" % own.start
                else:
                    reason = "invalid utf-8 sequence of %d bytes from index %d" % (own.end - own.start, own.start)
                with pytest.raises(UnicodeDecodeError) as info:
                    convert(groups, False, True)
                assert info.value.args == ("utf-8", value, own.start, own.end, reason)
            else:
                assert convert(groups, False, True) == [{"__time__": 0, "k": text}]


def _shaped_groups(values):
    """Groups that share their keys (topic, source, two tags, content keys) but not their
    values; logs alternate with and without time_ns, repeat values, and have a content
    replaced by a tag and a duplicate key whose first value is replaced."""
    groups = []
    for g, (topic, tag_value) in enumerate(values):
        logs = []
        for i in range(4):
            log = dict(time=100 + i // 2, contents=[
                ("dup", b"first"), ("status", b"200" if i < 3 else b"500"),
                ("__tag__:host", b"hidden"), ("msg", f"m{g}-{i // 2}".encode()), ("dup", b"last")])
            if i % 2:
                log["time_ns"] = 7
            logs.append(log)
        groups.append(dict(topic=topic, source="s", tags=[("host", tag_value), ("zone", "z")], logs=logs))
    return groups


@pytest.mark.parametrize("time_as_str, decode_utf8", FLAGS)
def test_logs_of_the_same_shape_across_groups(time_as_str, decode_utf8):
    convert(_shaped_groups([("a", "h1"), ("b", "h2"), ("b", "h2"), ("", "h3")]), time_as_str, decode_utf8)
    # a group with other keys in between, then the first shape again
    groups = _shaped_groups([("a", "h1")]) + [dict(topic="t", logs=[dict(contents=[("dup", b"x")])])]
    convert(groups + _shaped_groups([("c", "h4")]), time_as_str, decode_utf8)


@pytest.mark.parametrize("bad_position", [0, 1, 2])
def test_replaced_values_are_still_checked_in_later_logs(bad_position):
    # The first "dup" value is replaced by the second, yet an invalid one still fails the
    # call, also in logs after the first of their shape.
    logs = [dict(contents=[("dup", b"ok"), ("dup", b"fine")]) for _ in range(3)]
    logs[bad_position]["contents"][0] = ("dup", b"\xc3")
    with pytest.raises(UnicodeDecodeError) as info:
        convert([dict(logs=logs)], False, True)
    assert (info.value.object, info.value.start, info.value.end) == (b"\xc3", 0, 1)
    assert convert([dict(logs=logs)], False, False)[bad_position]["dup"] == b"fine"


KEYS = ["a", "b", "__time__", "__time_ns__", "__topic__", "__source__", "__tag__:x", "__tag__:y"]
small_groups = st.lists(st.fixed_dictionaries(
    {"logs": st.lists(st.fixed_dictionaries(
        {"contents": st.lists(st.tuples(st.sampled_from(KEYS), st.sampled_from([b"", b"v", b"w", "é".encode()])),
                              max_size=4)},
        optional={"time": st.sampled_from([0, 1, 2**32 - 1]), "time_ns": st.sampled_from([0, 5])}),
        max_size=6),
     "tags": st.lists(st.tuples(st.sampled_from(["x", "y"]), st.sampled_from(["1", "2"])), max_size=3)},
    optional={"topic": st.sampled_from(["", "t"]), "source": st.sampled_from(["s"])}), max_size=5)


@settings(max_examples=300, deadline=None)
@given(small_groups, st.booleans(), st.booleans())
def test_repeated_shapes_and_colliding_keys_match_the_reference(groups, time_as_str, decode_utf8):
    # Few keys, many of them reserved or tag keys, so that logs repeat their shapes within
    # and across groups and keys collide in every way.
    convert(groups, time_as_str, decode_utf8)
    batch = make_batch([{**g, "logs": [{**log, "contents": [(k, v.decode()) for k, v in log["contents"]]}
                                       for log in g["logs"]]} for g in groups])
    data = batch.SerializeToString()
    assert log_parser.logs_to_flat_json_str(data) == json.dumps(
        log_schema.flatten_json_records(batch), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def test_many_interleaved_shapes():
    # More distinct shapes than are remembered at once, coming back in turn, so that
    # remembered shapes are forgotten and made again.
    groups = []
    for g in range(60):
        tags = [(f"t{j}", f"{g}-{j}") for j in range(g % 19)]
        logs = [dict(time=g, contents=[(f"k{(g + i + j) % 23}", f"v{i}{j}".encode()) for j in range(i % 4 + 1)],
                     **({"time_ns": i} if (g + i) % 3 else {}))
                for i in range(5)]
        groups.append(dict(topic=f"p{g % 2}", tags=tags, logs=logs, **({"source": "s"} if g % 5 else {})))
    for time_as_str, decode_utf8 in FLAGS:
        convert(groups, time_as_str, decode_utf8)


@pytest.mark.parametrize("count", [12, 40, 300, 1100])
def test_more_shapes_than_are_kept(count):
    # Few shapes are looked up in turn, more by hash, and beyond a limit the remembered
    # ones are dropped and made anew; shapes that hash alike must still be told apart.
    groups = [{**g, "logs": [{**log, "contents": [(k, v.encode()) for k, v in log["contents"]]}
                             for log in g["logs"]]} for g in many_shapes(count)]
    for time_as_str, decode_utf8 in [(False, True), (True, False)]:
        convert(groups, time_as_str, decode_utf8)


@pytest.mark.parametrize("time_as_str, decode_utf8", FLAGS)
def test_tags_that_repeat_their_keys(time_as_str, decode_utf8):
    # A repeated tag key is inserted once: where its first tag stands, with its last tag's
    # value, also over a content of the same flat key. Groups with and without repeats, of
    # one key set or another, and logs whose shapes come once, twice and three times.
    tag_sets = [[("a", "1"), ("b", "2"), ("c", "3"), ("a", "4"), ("b", "5")],
                [("a", "6"), ("b", "7"), ("c", "8")],
                [("b", "9"), ("a", "10"), ("b", "11"), ("b", "12"), ("c", "13")],
                [("a", "x%d" % i) for i in range(500)]]
    groups = []
    for g in range(12):
        logs = [dict(time=g, contents=[("__tag__:b", b"content")] * (i % 2) + [("k%d" % (i % 3), b"%d" % i)])
                for i in range(g % 4 + 1)]
        groups.append(dict(topic="t", tags=tag_sets[g % len(tag_sets)], logs=logs))
    convert(groups, time_as_str, decode_utf8)


@pytest.mark.parametrize("count", [20, 200])
def test_shapes_that_all_hash_alike(count):
    # Past a few dozen slots a lookup gives up and the shape is worked out anew: shapes
    # that collide must still be told apart, and found or made, never mixed up.
    groups = [{**g, "logs": [{**log, "contents": [(k, v.encode()) for k, v in log["contents"]]}
                             for log in g["logs"]]} for g in colliding_shapes(count)]
    for time_as_str, decode_utf8 in [(False, True), (True, False)]:
        convert(groups, time_as_str, decode_utf8)


def keys_of_one_hash(count, seed=1):
    """`count` 16-byte ASCII keys that the module's cheap key hash (multiply and shift
    mixing, eight bytes at a time, unseeded) maps to one value: a hostile batch."""
    import random
    import struct
    mask, k = (1 << 64) - 1, 0x9E3779B97F4A7C15

    def mix(h):
        h ^= h >> 31
        h = (h * k) & mask
        return h ^ (h >> 29)

    rng = random.Random(seed)
    keys = []
    while len(keys) < count:
        first = bytes(rng.randrange(0x61, 0x7B) for _ in range(8))
        # The second word cancels what the first put in: every key ends at the same state.
        second = struct.pack("<Q", mix(mix(16) ^ struct.unpack("<Q", first)[0]) ^ 0x5A5A5A5A5A5A5A5A)
        if all(c < 0x80 for c in second):  # ASCII, control characters included
            keys.append(first + second)
    return keys


def test_keys_that_all_hash_alike():
    # Key objects are looked up by a cheap hash that a batch can make collide; past a few
    # dozen slots a lookup gives up and the key object is made anew: every key must still
    # be told apart.
    keys = keys_of_one_hash(300)
    groups = [dict(topic="t", tags=[(keys[g].decode(), "x")],
                   logs=[dict(time=i, contents=[(keys[(g * 7 + i * 5 + j) % len(keys)].decode(), b"%d" % j)
                                                for j in range(6)]) for i in range(10)])
              for g in range(60)]
    for time_as_str, decode_utf8 in [(False, True), (True, False)]:
        convert(groups, time_as_str, decode_utf8)


def test_more_distinct_keys_than_are_kept():
    # Key objects are kept for reuse up to a limit of a few thousand per call; keys beyond
    # it are made anew each time. Thousands of content and tag keys, each coming back, and
    # keys that agree in their first eight bytes or differ only by trailing NULs.
    keys = [f"key-{n:05d}" for n in range(5000)] + ["ab", "ab\x00", "ab\x00\x00", "abcdefgh", "abcdefgh\x00"]
    groups = []
    for g in range(60):
        logs = [dict(time=i, contents=[(keys[(g * 97 + i * 13 + j * 7919) % len(keys)], b"v") for j in range(9)])
                for i in range(20)]
        tags = [(keys[(g * 31 + j) % len(keys)], "t") for j in range(4)]
        groups.append(dict(tags=tags, logs=logs + logs[:3]))
    result = convert(groups)
    assert len({k for d in result for k in d}) > 4096


@pytest.mark.parametrize("decode_utf8", [False, True])
def test_values_coming_back_in_any_column(decode_utf8):
    # Values that come back, in the same column or another, after other values in between;
    # texts that agree in size and in their first, middle and last bytes and differ only in
    # between; texts that differ only by trailing NULs; non-ASCII and empty texts; and more
    # distinct values than are remembered at once.
    middles = ["", "x", "y", "\x00", "é", "\u4e2d", "\U0001f680"]
    values = [f"{'a' * 8}{m}{'b' * 8}".encode() for m in middles] + [m.encode() for m in middles]
    values += [f"{'a' * 12}{m}{'c' * 9}{m}{'b' * 12}".encode() for m in middles[1:4]]
    values += [b"ab", b"ab\x00", b"ab\x00\x00", b"-", b"GET", b"POST"]
    logs = [dict(time=i, contents=[(f"k{j}", values[(i * 7 + j * (i % 3 + 1)) % len(values)]) for j in range(6)]
                 + [("n", str(i * 7919 % 3001).encode())])
            for i in range(3000)]
    result = convert([dict(topic="t", logs=logs[:1500]), dict(topic="u", logs=logs[1500:])], False, decode_utf8)
    # a value met again after others in between is the object made the first time
    get = "GET" if decode_utf8 else b"GET"
    gets = [d[k] for d in result for k in d if d[k] == get]
    assert len(gets) > 100 and len({id(v) for v in gets}) < len(gets) // 10


def test_invalid_value_that_looks_like_one_met_before():
    # Same size, same first, middle and last bytes as a valid value seen before: it must
    # still fail as invalid UTF-8, not be taken for the earlier one.
    good, bad = b"a" * 8 + b"q" * 8 + b"x" + b"b" * 8, b"a" * 8 + b"q" * 8 + b"\xff" + b"b" * 8
    logs = [dict(contents=[("k", good), ("n", str(i).encode())]) for i in range(3)] + [dict(contents=[("k", bad)])]
    with pytest.raises(UnicodeDecodeError) as info:
        convert([dict(logs=logs)], False, True)
    assert (info.value.object, info.value.start, info.value.end) == (bad, 16, 17)
