"""Repeated calls, succeeding and failing in every way, leave Python allocations and the
process's resident memory flat."""

import gc
import os
import sys
import tracemalloc

import lz4.block
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples"))
import log_schema  # noqa: E402
from morvex_log_py_bindings import PanicException, log_parser as lp  # noqa: E402

# Under the sanitizers freed memory is held in quarantine, so resident memory says nothing.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
CALLS = 1500


def make_batch(n_logs, last_value=b"v"):
    """A batch of ~n_logs logs in a few groups; the last log's value is `last_value`."""
    batch = log_schema.LogGroupListRaw()
    for g in range(4):
        group = batch.log_groups.add(topic="t%d" % g, source="s")
        group.log_tags.add(key="host", value="h%d" % g)
        for i in range(n_logs // 4):
            log = group.logs.add(time=i, time_ns=i)
            log.contents.add(key="msg", value=b"message number %d \xc3\xa9" % i)
            log.contents.add(key="level", value=b"info")
    log.contents.add(key="last", value=last_value)
    return batch.SerializeToString()


VALID = make_batch(120)
BAD_TAIL = VALID + b"\x0a\x05"  # a group longer than the input, after everything else
BAD_UTF8 = make_batch(120, last_value=b"ok \xff")  # in the very last log
BLOCK = lz4.block.compress(VALID, store_size=False)
BAD_TAIL_BLOCK = lz4.block.compress(BAD_TAIL, store_size=False)
BAD_UTF8_BLOCK = lz4.block.compress(BAD_UTF8, store_size=False)
N = len(VALID)

CASES = {
    "text ok": (lambda: lp.logs_to_flat_json_str(VALID), None),
    "text decode error": (lambda: lp.logs_to_flat_json_str(BAD_TAIL), ValueError),
    "text utf8 error": (lambda: lp.logs_to_flat_json_str(BAD_UTF8), ValueError),
    "text wrong type": (lambda: lp.logs_to_flat_json_str(bytearray(VALID)), TypeError),
    "text missing argument": (lambda: lp.logs_to_flat_json_str(), TypeError),
    "lz4 text ok": (lambda: lp.lz4_logs_to_flat_json_str(BLOCK, N + 100), None),
    "lz4 text expansion error": (lambda: lp.lz4_logs_to_flat_json_str(BLOCK, N - 1), PanicException),
    "lz4 text size too big": (lambda: lp.lz4_logs_to_flat_json_str(BLOCK, 2**31), PanicException),
    "lz4 text negative size": (lambda: lp.lz4_logs_to_flat_json_str(BLOCK, -1), OverflowError),
    "lz4 text decode error": (lambda: lp.lz4_logs_to_flat_json_str(BAD_TAIL_BLOCK, len(BAD_TAIL)), ValueError),
    "dicts ok int bytes": (lambda: lp.lz4_logs_to_flat_json(BLOCK, N, False, False), None),
    "dicts ok str str": (lambda: lp.lz4_logs_to_flat_json(BLOCK, N, True, True), None),
    "dicts expansion error": (lambda: lp.lz4_logs_to_flat_json(BLOCK[:-1], N, True, True), PanicException),
    "dicts decode error": (lambda: lp.lz4_logs_to_flat_json(BAD_TAIL_BLOCK, len(BAD_TAIL), True, True), ValueError),
    "dicts utf8 error": (lambda: lp.lz4_logs_to_flat_json(BAD_UTF8_BLOCK, len(BAD_UTF8), False, True),
                         UnicodeDecodeError),
    "dicts unexpected keyword": (lambda: lp.lz4_logs_to_flat_json(BLOCK, N, False, True, extra=1), TypeError),
    "dicts size of wrong type": (lambda: lp.lz4_logs_to_flat_json(BLOCK, 1.5, False, True), TypeError),
}


def call(case):
    function, expected = CASES[case]
    try:
        function()
    except (Exception, PanicException) as error:
        assert expected is not None and type(error) is expected, repr(error)
    else:
        assert expected is None, f"{case}: no {expected.__name__}"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(case, measure):
    for _ in range(CALLS):  # warm up: the interpreter's bounded caches, allocator pools
        call(case)
    gc.collect()
    before = measure()
    for _ in range(CALLS):
        call(case)
    gc.collect()
    return measure() - before


@pytest.mark.parametrize("case", CASES)
def test_python_allocations_stay_flat(case):
    tracemalloc.start()
    try:
        grown = growth(case, lambda: tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    # One leaked object per call would be at least 1500 * 16 bytes.
    assert grown < 16 * 1024, f"{case}: {grown} bytes more after {CALLS} calls"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.parametrize("case", CASES)
def test_resident_memory_stays_flat(case):
    grown = growth(case, rss_bytes)
    # A leaked buffer of the batch's size (about 10 KB) would add about 15 MB.
    assert grown < 4 * 1024 * 1024, f"{case}: resident memory grew by {grown} bytes"
