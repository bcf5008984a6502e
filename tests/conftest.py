import os
import sys

# The shared protobuf schema (encoded by the protobuf package, an independent witness).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples"))

import json
import struct

import log_schema
import lz4.block
import pytest

import morvex_log_py_bindings
from morvex_log_py_bindings import log_parser

PanicException = morvex_log_py_bindings.PanicException
PREFIX = "failed to decode Protobuf message: "
UNWRAP = "called `Result::unwrap()` on an `Err` value: Custom { kind: %s, error: \"%s\" }"
LZ4_BAD_DATA = UNWRAP % ("InvalidData", "Decompression failed. Input invalid or too long?")
LZ4_TOO_BIG = UNWRAP % ("InvalidInput", "Given size parameter is too big")

from wire_bytes import EGROUP, I32, I64, LEN, SGROUP, VARINT, key, ld, varint, vi  # noqa: E402,F401


def f32(field, value):
    return key(field, I32) + struct.pack("<I", value)


def content(k=b"k", v=b"v"):
    return ld(1, k) + ld(2, v)


def one_log(log_body=b"", group_extra=b""):
    """A batch of one group (with `group_extra` fields) holding one log of body `log_body`."""
    return ld(1, ld(1, log_body) + group_extra)


def compress(data):
    return lz4.block.compress(data, store_size=False)


def reference_json(batch):
    records = log_schema.flatten_json_records(batch)
    return json.dumps(records, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def dicts_of(data, time_as_str=False, decode_utf8=False):
    return log_parser.lz4_logs_to_flat_json(compress(data), len(data), time_as_str, decode_utf8)


def text_of(data):
    return log_parser.logs_to_flat_json_str(data)


def raises_panic(message, fn, *args):
    """Calls fn, expecting PanicException with `message`; an `except Exception` must not see it."""
    with pytest.raises(PanicException) as info:
        try:
            fn(*args)
        except Exception as exc:  # pragma: no cover - this is the failure being tested for
            pytest.fail(f"PanicException caught as Exception: {exc!r}")
    assert type(info.value) is PanicException
    assert info.value.args == (message,)


def make_batch(groups, raw=False):
    """A batch encoded by the protobuf package. Each group is a dict with optional keys topic,
    source, uuid, tags [(key, value)] and logs [dict(time=, time_ns=, contents=[(key, value)])]."""
    batch = log_schema.LogGroupListRaw() if raw else log_schema.LogGroupList()
    for desc in groups:
        group = batch.log_groups.add()
        for name, field in (("topic", "topic"), ("source", "source"), ("uuid", "machine_uuid")):
            if name in desc:
                setattr(group, field, desc[name])
        for k, v in desc.get("tags", ()):
            group.log_tags.add(key=k, value=v)
        for entry in desc.get("logs", ()):
            log = group.logs.add()
            if "time" in entry:
                log.time = entry["time"]
            if "time_ns" in entry:
                log.time_ns = entry["time_ns"]
            for k, v in entry.get("contents", ()):
                log.contents.add(key=k, value=v)
    return batch


def colliding_shapes(count, rounds=3):
    """Groups of two logs taking, in turn for `rounds` rounds, `count` sets of content keys
    (under the same group keys) and `count` sets of tag keys, each kind all alike to a cheap
    hash of their keys (one size, the same first and last eight bytes)."""
    groups = []
    for r in range(rounds):
        for n in range(count):
            key = "prefix__%05d__suffix" % n
            contents = [[("a", "1"), (key, "%d" % i)] for i in range(2)]
            groups.append(dict(topic="t", logs=[dict(time=r, contents=c) for c in contents]))
            logs = [dict(time=r, contents=[("a", "%d" % i)]) for i in range(2)]
            groups.append(dict(tags=[(key, "t%d" % r)], logs=logs))
    return groups


def many_shapes(count, seed=0):
    """Groups whose logs take `count` content key sets and whose groups take `count` tag key
    sets, each met several times, in an order that brings shapes back both soon and after
    all others. Keys of one size that share their first and last eight bytes and differ
    only in between are common, so that shapes look alike to a cheap hash of their keys."""
    import random

    rng = random.Random(seed)

    def key(n):
        return "prefix__%04d__suffix" % n if n % 2 else "k%d" % n

    key_sets = [[key(n * 3 + j) for j in range(1 + n % 4)] for n in range(count)]
    tag_sets = [[key(n * 5 + j) for j in range(1 + n % 3)] for n in range(count)]
    order = list(range(count)) * 2 + rng.sample(range(count), count)
    groups = []
    for i, n in enumerate(order):
        logs = []
        for j in range(1 + i % 3):
            keys = key_sets[(n + j * rng.randrange(2)) % count]
            logs.append(dict(time=i, contents=[(k, "%s=%d" % (k, j)) for k in keys], **({"time_ns": j} if n % 2 else {})))
        group = dict(tags=[(k, "t%d" % n) for k in tag_sets[(n * 7) % count]], logs=logs)
        if n % 3:
            group["topic"] = "p"
        groups.append(group)
    return groups
