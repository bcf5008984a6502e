"""Calls every function of the module as a user would; checked by mypy against the
installed stubs (scripts/package_check.sh) and also run, so the types it asserts are the
ones the module really returns. Not a pytest file."""

import sys
from typing import Dict, List, Union

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

import morvex_log_py_bindings
from morvex_log_py_bindings import PanicException, log_parser

# LogGroupList { log_groups { logs { time: 5 contents { key: "k" value: "v" } } } }
BATCH = b"\x0a\x0c\x0a\x0a\x08\x05\x12\x06\x0a\x01k\x12\x01v"
# The same bytes as one LZ4 block of literals only: a token holding their count (< 15),
# then the literals.
BLOCK = bytes([len(BATCH) << 4]) + BATCH

text = log_parser.logs_to_flat_json_str(BATCH)
assert_type(text, str)
assert text == '[{"__time__":5,"k":"v"}]', text
assert_type(log_parser.lz4_logs_to_flat_json_str(BLOCK, len(BATCH)), str)
assert log_parser.lz4_logs_to_flat_json_str(compressed=BLOCK, raw_size=100) == text

all_str = log_parser.lz4_logs_to_flat_json(BLOCK, len(BATCH), True, True)
assert_type(all_str, List[Dict[str, str]])
assert all_str == [{"__time__": "5", "k": "v"}]

int_times = log_parser.lz4_logs_to_flat_json(BLOCK, len(BATCH), False, True)
assert_type(int_times, List[Dict[str, Union[int, str]]])
assert int_times == [{"__time__": 5, "k": "v"}]

raw_values = log_parser.lz4_logs_to_flat_json(BLOCK, len(BATCH), time_as_str=True, decode_utf8=False)
assert_type(raw_values, List[Dict[str, Union[str, bytes]]])
assert raw_values == [{"__time__": "5", "k": b"v"}]

flag = len(BATCH) > 100
either = log_parser.lz4_logs_to_flat_json(bytes=BLOCK, raw_size=len(BATCH), time_as_str=flag, decode_utf8=False)
assert_type(either, List[Dict[str, Union[int, str, bytes]]])
assert either == [{"__time__": 5, "k": b"v"}]

try:
    log_parser.lz4_logs_to_flat_json_str(b"\xff", 10)
except PanicException as e:
    assert isinstance(e, BaseException) and not isinstance(e, Exception)
else:
    raise AssertionError("a corrupt block must raise PanicException")
try:
    log_parser.logs_to_flat_json_str(b"\x80")
except ValueError as e:
    assert str(e) == "failed to decode Protobuf message: invalid varint"
assert morvex_log_py_bindings.__all__ == ["log_parser"]
print("usage.py: all calls behave as typed")
