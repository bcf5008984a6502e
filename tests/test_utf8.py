"""UTF-8 checking of long texts against Python's own strict decoder, which says whether a text
is valid and, if not, where the first fault starts and ends.

Texts are strung together from pieces that straddle the sixteen-byte blocks in which long
texts are checked: ASCII, valid sequences of every width and edge, and every kind of fault
(stray continuations, overlong forms, surrogates, values above U+10FFFF, cut-off sequences).
"""

import json
import random

import pytest

from conftest import compress, content, ld, text_of
from morvex_log_py_bindings import log_parser

BAD_UTF8 = "failed to decode Protobuf message: LogTag.value: LogGroup.log_tags: LogGroupList.log_groups: " \
           "invalid string value: data is not UTF-8 encoded"

VALID = [b"a", b"~", b"\x7f", b"\x00", b"\t\"\\", "é".encode(), "\u07ff".encode(), "\u0800".encode(),
         "\u4e2d\u6587".encode(), "\ud7ff".encode(), "\ue000".encode(), "\uffff".encode(),
         "\U00010000".encode(), "\U0001f600".encode(), "\U0010ffff".encode()]
FAULTS = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2", b"\xdf", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
          b"\xe0\xa0", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xef\xbf", b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf",
          b"\xf0\x90\x80", b"\xf4\x90\x80\x80", b"\xf4\x8f\xbf", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80",
          b"\xfe", b"\xff", b"\x80\x80\x80\x80"]


def random_text(rng, faults):
    pieces = []
    while sum(map(len, pieces)) < rng.randrange(16, 90):
        roll = rng.random()
        if roll < 0.4:
            pieces.append(b"x" * rng.randrange(1, 20))
        elif roll < 0.9 or not faults:
            pieces.append(rng.choice(VALID))
        else:
            pieces.append(rng.choice(FAULTS))
    return b"".join(pieces)


def texts(seed, count, faults):
    rng = random.Random(seed)
    return [random_text(rng, faults) for _ in range(count)]


def python_verdict(value):
    """(start, end, reason) of the first fault as the module words it, or None when valid."""
    try:
        value.decode("utf-8")
        return None
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return error.start, error.end, f"incomplete utf-8 byte sequence from index {error.start}"
        return error.start, error.end, f"invalid utf-8 sequence of {error.end - error.start} bytes from index " \
                                       f"{error.start}"


@pytest.mark.parametrize("seed", range(4))
def test_text_path_accepts_exactly_the_valid_texts(seed):
    checked = {True: 0, False: 0}
    for value in texts(seed, 600, faults=seed % 2 == 1) + [b"\xe4\xb8\xad" * n for n in range(5, 12)]:
        data = ld(1, ld(6, ld(1, b"t") + ld(2, value)) + ld(1, b""))
        verdict = python_verdict(value)
        checked[verdict is None] += 1
        if verdict is None:
            assert text_of(data) == '[{"__tag__:t":%s,"__time__":0}]' % json.dumps(value.decode(), ensure_ascii=False)
        else:
            with pytest.raises(ValueError) as info:
                text_of(data)
            assert info.value.args == (BAD_UTF8,)
    assert checked[True] > 50 and (seed % 2 == 0 or checked[False] > 50)


@pytest.mark.parametrize("seed", range(4, 6))
def test_dict_values_fail_where_python_says(seed):
    for value in texts(seed, 600, faults=True):
        data = ld(1, ld(1, ld(2, content(b"k", value))))
        verdict = python_verdict(value)
        if verdict is None:
            assert log_parser.lz4_logs_to_flat_json(compress(data), len(data), False, True) == [
                {"__time__": 0, "k": value.decode()}]
            continue
        with pytest.raises(UnicodeDecodeError) as info:
            log_parser.lz4_logs_to_flat_json(compress(data), len(data), False, True)
        assert (info.value.object, info.value.start, info.value.end, info.value.reason) == (value, *verdict)
