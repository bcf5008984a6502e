"""The pipelines the benchmark times: the module's paths, the peers and the floors.

Every pipeline is a zero-argument callable built for one workload, so the timing loop
calls them all the same way. Peers do the module's whole job with the usual Python
tools and must give the same output (checked before timing); floors do only one part
of the job (expansion, parsing, loading) and show how close to the bare minimum the
module gets.
"""

import json
import pickle
from dataclasses import dataclass, field

import lz4.block
import orjson
from google.protobuf.internal import api_implementation

from morvex_log_py_bindings import log_parser
from workloads import log_schema

LogGroupList = log_schema.LogGroupList
LogGroupListRaw = log_schema.LogGroupListRaw

DICT_FLAGS = {"ft": (False, True), "tf": (True, False)}  # (time_as_str, decode_utf8)


def protobuf_backend():
    return api_implementation.Type()


# ------------------------------------------------------------------ Python flatteners
# Same rules as samples/log_schema.py (flatten_json_records / flatten_dicts), with the
# per-group lookups hoisted out of the log loop so the peers are as quick as plain
# Python gets.

def flatten_json_records(batch):
    """JSON text fill order: contents, __time__, __topic__, __source__, __time_ns__, tags."""
    records = []
    append = records.append
    for group in batch.log_groups:
        tags = [("__tag__:" + t.key, t.value) for t in group.log_tags]
        reserved = []
        if group.HasField("topic"):
            reserved.append(("__topic__", group.topic))
        if group.HasField("source"):
            reserved.append(("__source__", group.source))
        for log in group.logs:
            record = {c.key: c.value for c in log.contents}
            record["__time__"] = log.time
            record.update(reserved)
            if log.HasField("time_ns"):
                record["__time_ns__"] = log.time_ns
            record.update(tags)
            append(record)
    return records


def flatten_dicts(batch_raw, time_as_str, decode_utf8):
    """Dictionary fill order: __time__, __time_ns__, contents, __topic__, __source__, tags."""
    records = []
    append = records.append
    for group in batch_raw.log_groups:
        after = []
        if group.HasField("topic"):
            after.append(("__topic__", group.topic))
        if group.HasField("source"):
            after.append(("__source__", group.source))
        after.extend(("__tag__:" + t.key, t.value) for t in group.log_tags)
        for log in group.logs:
            if time_as_str:
                record = {"__time__": str(log.time)}
                if log.HasField("time_ns"):
                    record["__time_ns__"] = str(log.time_ns)
            else:
                record = {"__time__": log.time}
                if log.HasField("time_ns"):
                    record["__time_ns__"] = log.time_ns
            if decode_utf8:
                for c in log.contents:
                    record[c.key] = c.value.decode("utf-8")
            else:
                for c in log.contents:
                    record[c.key] = c.value
            record.update(after)
            append(record)
    return records


# ------------------------------------------------------------------------- pipelines

@dataclass
class Pipeline:
    name: str  # short id used in the results
    label: str  # what it does, for the table
    kind: str  # "module", "peer" or "floor"
    fn: object  # zero-argument callable
    check: object = None  # callable(result) -> None if equal, else a description
    info: dict = field(default_factory=dict)


def json_text_equal(expected):
    def check(text):
        if text == expected:
            return None
        return _first_difference(text, expected)
    return check


def orjson_equal(expected):
    expected_bytes = expected.encode()

    def check(data):
        if data == expected_bytes:
            return None  # byte-equal
        if orjson.loads(data) == orjson.loads(expected_bytes):
            return None  # equal as parsed JSON
        return _first_difference(data.decode(), expected)
    return check


def dicts_equal(expected):
    expected_keys = [list(d) for d in expected]

    def check(result):
        if result != expected:
            for i, (a, b) in enumerate(zip(result, expected)):
                if a != b:
                    return f"record {i} differs: {_short(a)} != {_short(b)}"
            return f"{len(result)} records, expected {len(expected)}"
        if [list(d) for d in result] != expected_keys:
            return "same records but the key order differs"
        return None
    return check


def _short(value, width=300):
    text = repr(value)
    return text if len(text) <= width else text[:width] + "..."


def p1_text(data):
    """P1: protobuf parse, Python flatten, json.dumps."""
    return json.dumps(flatten_json_records(LogGroupList.FromString(data)), sort_keys=True,
                      separators=(",", ":"), ensure_ascii=False)


def p2_text(data):
    """P2: protobuf parse, Python flatten, orjson.dumps."""
    return orjson.dumps(flatten_json_records(LogGroupList.FromString(data)), option=orjson.OPT_SORT_KEYS)


def p3_dicts(comp, raw, time_as_str, decode_utf8):
    """P3: LZ4 expansion, protobuf parse of the raw family, Python dicts."""
    batch = LogGroupListRaw.FromString(lz4.block.decompress(comp, uncompressed_size=raw))
    return flatten_dicts(batch, time_as_str, decode_utf8)


def _first_difference(a, b):
    n = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return f"texts differ at offset {n} (lengths {len(a)}, {len(b)}): {a[max(0, n - 60):n + 60]!r} vs {b[max(0, n - 60):n + 60]!r}"


def build(workload):
    """All pipelines for one workload, plus the module's outputs (used for checks and memory)."""
    data, comp, raw = workload.data, workload.compressed, workload.raw_size
    lp = log_parser

    module_text = lp.logs_to_flat_json_str(data)
    pipelines = [
        Pipeline("json_str", "logs_to_flat_json_str", "module", lambda: lp.logs_to_flat_json_str(data)),
        Pipeline("lz4_json_str", "lz4_logs_to_flat_json_str", "module",
                 lambda: lp.lz4_logs_to_flat_json_str(comp, raw), json_text_equal(module_text)),
    ]

    pipelines += [
        Pipeline("P1", "P1 protobuf parse + Python flatten + json.dumps", "peer",
                 lambda: p1_text(data), json_text_equal(module_text)),
        Pipeline("P2", "P2 protobuf parse + Python flatten + orjson.dumps", "peer",
                 lambda: p2_text(data), orjson_equal(module_text)),
    ]

    for tag, (time_as_str, decode_utf8) in DICT_FLAGS.items():
        expected = lp.lz4_logs_to_flat_json(comp, raw, time_as_str, decode_utf8)
        # JSON text that orjson.loads turns into the same records (bytes values as text).
        equivalent_json = orjson.dumps(expected, default=_bytes_as_text)
        pickled = pickle.dumps(expected, protocol=pickle.HIGHEST_PROTOCOL)
        flags = f"({time_as_str}, {decode_utf8})"
        pipelines += [
            Pipeline(f"dict_{tag}", f"lz4_logs_to_flat_json {flags}", "module",
                     lambda a=time_as_str, b=decode_utf8: lp.lz4_logs_to_flat_json(comp, raw, a, b),
                     dicts_equal(expected)),
            Pipeline(f"P3_{tag}", f"P3 lz4 + protobuf parse (Raw) + Python dicts {flags}", "peer",
                     lambda a=time_as_str, b=decode_utf8: p3_dicts(comp, raw, a, b),
                     dicts_equal(expected)),
            Pipeline(f"orjson_loads_{tag}", f"floor: orjson.loads of equivalent JSON {flags}", "floor",
                     lambda j=equivalent_json: orjson.loads(j),
                     info={"json_bytes": len(equivalent_json)}),
            Pipeline(f"pickle_loads_{tag}", f"floor: pickle.loads of the result {flags}", "floor",
                     lambda p=pickled: pickle.loads(p), dicts_equal(expected),
                     info={"pickle_bytes": len(pickled)}),
        ]
        del expected

    pipelines += [
        Pipeline("lz4", "floor: lz4.block.decompress", "floor",
                 lambda: lz4.block.decompress(comp, uncompressed_size=raw), lambda r: None if r == data else "differs"),
        Pipeline("pb_parse", "floor: protobuf parse (LogGroupList)", "floor",
                 lambda: LogGroupList.FromString(data)),
    ]
    return pipelines, module_text


def _bytes_as_text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8")
    raise TypeError
