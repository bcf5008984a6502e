"""The module against the protobuf package's parser and the reference flatteners, on random
batches spliced field by field (any order, repeats, unknown fields) and on corrupted ones."""

import itertools
import json
import os
import sys

import lz4.block
import pytest
from google.protobuf.message import DecodeError as PbDecodeError
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples"))
import log_schema  # noqa: E402
from wire_bytes import key, ld, varint  # noqa: E402
from morvex_log_py_bindings import PanicException, log_parser  # noqa: E402

PREFIX = "failed to decode Protobuf message: "
VALUE_NOT_UTF8 = (PREFIX + "Content.value: Log.contents: LogGroup.logs: LogGroupList.log_groups: "
                  "invalid string value: data is not UTF-8 encoded")
FLAGS = list(itertools.product([False, True], repeat=2))
SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---- strategies -----------------------------------------------------------------------

special = st.sampled_from(['"', "\\", "\x00", "\x01", "\x1f", "\x7f", "\n", "\t", "é", "中",
                           "\u2028", "\ufeff", "😀", "\U0010ffff", "/", "<"])
texts = st.text(st.one_of(special, st.characters(codec="utf-8")), max_size=6)
content_keys = st.one_of(texts, st.sampled_from(["__time__", "__time_ns__", "__topic__", "__source__",
                                                 "__tag__:a", "__tag__:", "a", "b", ""]))
tag_keys = st.one_of(texts, st.sampled_from(["a", "b", ""]))
u32 = st.integers(0, 2**32 - 1)
times = st.one_of(u32, st.integers(0, 2**64 - 1))  # only the low 32 bits count


def random_bytes(r, n):
    """`n` random bytes (Random.randbytes needs Python 3.9)."""
    return bytes(r.randrange(256) for _ in range(n))


def unknown_field(r, numbers, depth=0):
    """One field of a number the record does not know, of any wire type."""
    number = r.choice(numbers)
    kind = r.randrange(5 if depth < 2 else 4)
    if kind == 0:
        return key(number, 0) + varint(r.getrandbits(r.choice([7, 35, 64])))
    if kind == 1:
        return key(number, 1) + random_bytes(r, 8)
    if kind == 2:
        return key(number, 5) + random_bytes(r, 4)
    if kind == 3:
        return ld(number, random_bytes(r, r.randrange(9)))
    inner = [unknown_field(r, range(1, 20), depth + 1) for _ in range(r.randrange(3))]
    return key(number, 3) + b"".join(inner) + key(number, 4)


def message(r, fields, unknown_numbers):
    """A message body from its encoded fields, reordered and mixed with unknown fields."""
    fields = list(fields)
    if r.random() < 0.5:
        r.shuffle(fields)
    for _ in range(r.choice([0, 0, 1, 2])):
        fields.insert(r.randrange(len(fields) + 1), unknown_field(r, unknown_numbers))
    return b"".join(fields)


def occurrences(values, min_size=0):
    """A singular field given 0 to 2 times (the last occurrence wins)."""
    return st.lists(values, min_size=min_size, max_size=2)


@st.composite
def content(draw, r, values, not_utf8):
    fields = [ld(1, k.encode()) for k in draw(occurrences(content_keys, 1))]
    for value in draw(occurrences(values, 1)):
        fields.append(ld(2, value))
        try:
            value.decode("utf-8")
        except UnicodeDecodeError:
            not_utf8.append(value)  # the text family checks every occurrence
    return ld(2, message(r, fields, [3, 4, 15, 1000]))


@st.composite
def log(draw, r, values, not_utf8):
    fields = [key(1, 0) + varint(t) for t in draw(occurrences(times))]
    fields += [key(4, 5) + t.to_bytes(4, "little") for t in draw(occurrences(u32))]
    fields += draw(st.lists(content(r, values, not_utf8), max_size=3))
    return ld(1, message(r, fields, [3, 5, 16]))


@st.composite
def group(draw, r, values, not_utf8):
    fields = []
    for number in (3, 4, 5):  # topic, source, machine_uuid: absent, present (maybe empty), repeated
        fields += [ld(number, t.encode()) for t in draw(occurrences(texts))]
    for _ in range(draw(st.integers(0, 3))):
        tag = [ld(1, draw(tag_keys).encode()), ld(2, draw(texts).encode())]
        fields.append(ld(6, message(r, tag, [3, 7])))
    fields += draw(st.lists(log(r, values, not_utf8), max_size=3))
    return ld(1, message(r, fields, [2, 7, 100]))


@st.composite
def batches(draw):
    """Encoded LogGroupList bytes, and whether any occurrence of a content value is not
    UTF-8 (now and then a value is arbitrary bytes)."""
    values = st.one_of(texts.map(str.encode), st.binary(max_size=4)) if draw(st.integers(0, 4)) == 0 \
        else texts.map(str.encode)
    r = draw(st.randoms(use_true_random=False))  # field order and unknown fields
    not_utf8 = []
    groups = draw(st.lists(group(r, values, not_utf8), max_size=3))
    return message(r, groups, [2, 3, 9]), bool(not_utf8)


# ---- references -----------------------------------------------------------------------

def first_bad_value(raw):
    """The first content value that is not UTF-8, in flattening order, or None."""
    for g in raw.log_groups:
        for lg in g.logs:
            for c in lg.contents:
                try:
                    c.value.decode("utf-8")
                except UnicodeDecodeError:
                    return bytes(c.value)
    return None


def all_text(parsed):
    """False when the protobuf package kept some string field as bytes (not UTF-8)."""
    strings = []
    for g in parsed.log_groups:
        strings += [g.topic, g.source, g.machine_uuid]
        strings += [s for t in g.log_tags for s in (t.key, t.value)]
        strings += [s for lg in g.logs for c in lg.contents for s in (c.key, c.value)]
    return all(isinstance(s, str) for s in strings)


def all_text_keys(raw):
    """False when the protobuf package kept some string field of the raw family as bytes."""
    strings = []
    for g in raw.log_groups:
        strings += [g.topic, g.source, g.machine_uuid]
        strings += [s for t in g.log_tags for s in (t.key, t.value)]
        strings += [c.key for lg in g.logs for c in lg.contents]
    return all(isinstance(s, str) for s in strings)


def reference_text(parsed):
    return json.dumps(log_schema.flatten_json_records(parsed), sort_keys=True,
                      separators=(",", ":"), ensure_ascii=False)


def items(dicts):
    return [list(d.items()) for d in dicts]


def outcome(call):
    try:
        return call(), None
    except (Exception, PanicException) as error:  # PanicException is a BaseException
        return None, error


# ---- tests ----------------------------------------------------------------------------

@SETTINGS
@given(batches(), st.integers(0, 64))
def test_random_batches_match_reference(batch, spare):
    data, any_not_utf8 = batch
    raw = log_schema.LogGroupListRaw.FromString(data)
    bad = first_bad_value(raw)
    block = lz4.block.compress(data, store_size=False)
    raw_size = len(data) + spare
    if not any_not_utf8:
        expected = reference_text(log_schema.LogGroupList.FromString(data))
        assert log_parser.logs_to_flat_json_str(data) == expected
        assert log_parser.lz4_logs_to_flat_json_str(block, raw_size) == expected
    else:
        for call in (lambda: log_parser.logs_to_flat_json_str(data),
                     lambda: log_parser.lz4_logs_to_flat_json_str(block, raw_size)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == VALUE_NOT_UTF8
    for time_as_str, decode_utf8 in FLAGS:
        if decode_utf8 and bad is not None:
            with pytest.raises(UnicodeDecodeError) as info:
                log_parser.lz4_logs_to_flat_json(block, raw_size, time_as_str, decode_utf8)
            with pytest.raises(UnicodeDecodeError) as python:
                bad.decode("utf-8")
            got, want = info.value, python.value
            assert (got.object, got.start, got.end) == (want.object, want.start, want.end)
            continue
        got = log_parser.lz4_logs_to_flat_json(block, raw_size, time_as_str, decode_utf8)
        assert items(got) == items(log_schema.flatten_dicts(raw, time_as_str, decode_utf8))


mutations = st.tuples(st.sampled_from(["truncate", "flip", "insert"]), st.integers(0, 2**20),
                      st.integers(1, 255), st.binary(min_size=1, max_size=4))


def mutate(buf, mutation):
    """Truncates `buf`, flips bits of one byte, or inserts bytes, at a drawn position."""
    how, pos, xor, inserted = mutation
    if not buf:
        return inserted
    pos %= len(buf)
    if how == "truncate":
        return buf[:pos]
    if how == "flip":
        return buf[:pos] + bytes([buf[pos] ^ xor]) + buf[pos + 1:]
    return buf[:pos] + inserted + buf[pos:]


@SETTINGS
@given(batches(), mutations, mutations)
def test_corrupted_batches(batch, mutation, block_mutation):
    original = batch[0]
    data = mutate(original, mutation)
    text, error = outcome(lambda: log_parser.logs_to_flat_json_str(data))
    if error is not None:
        assert type(error) is ValueError and str(error).startswith(PREFIX), repr(error)
    else:
        try:
            parsed = log_schema.LogGroupList.FromString(data)
        except PbDecodeError:
            parsed = None
        if parsed is not None and all_text(parsed):
            assert text == reference_text(parsed)

    # The same bytes behind a sound block: the same outcome, and the dicts agree.
    block = lz4.block.compress(data, store_size=False)
    text_lz4, error_lz4 = outcome(lambda: log_parser.lz4_logs_to_flat_json_str(block, len(data)))
    assert text_lz4 == text and repr(error_lz4) == repr(error)
    try:
        raw = log_schema.LogGroupListRaw.FromString(data)
    except PbDecodeError:
        raw = None
    for time_as_str, decode_utf8 in FLAGS:
        dicts, error = outcome(lambda: log_parser.lz4_logs_to_flat_json(block, len(data), time_as_str, decode_utf8))
        if error is None:
            if raw is not None and all_text_keys(raw):
                assert items(dicts) == items(log_schema.flatten_dicts(raw, time_as_str, decode_utf8))
        elif type(error) is ValueError:
            assert str(error).startswith(PREFIX)
            assert text is None  # the raw family decodes whatever the text family decodes
        else:
            assert type(error) is UnicodeDecodeError and decode_utf8, repr(error)

    # A corrupted block: expansion or decoding fails cleanly, or it happens to work.
    block = mutate(lz4.block.compress(original, store_size=False), block_mutation)
    calls = [(lambda: log_parser.lz4_logs_to_flat_json_str(block, len(original)), False)]
    calls += [(lambda f=f: log_parser.lz4_logs_to_flat_json(block, len(original), *f), f[1]) for f in FLAGS]
    for call, decode_utf8 in calls:
        _, error = outcome(call)
        if type(error) is PanicException:
            assert str(error).startswith("called `Result::unwrap()` on an `Err` value: Custom { kind: ")
        elif type(error) is ValueError:
            assert str(error).startswith(PREFIX)
        elif error is not None:
            assert type(error) is UnicodeDecodeError and decode_utf8, repr(error)
