"""Memory and nesting bounds: a huge raw_size, deeply nested unknown groups, a million logs.

Peak memory is read in a fresh interpreter, its peak reset before the call, so that
nothing else the test process did counts."""

import json
import os
import subprocess
import sys
import textwrap

import lz4.block
import pytest
from wire_bytes import ld

from morvex_log_py_bindings import log_parser as lp

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
MAX_RAW_SIZE = 2113929216
PREFIX = "failed to decode Protobuf message: "


def peak_growth(setup, call):
    """Runs `setup` then `call` in a new interpreter; returns the growth of peak resident
    memory (bytes) caused by `call`, and what `call` printed. The peak is reset before the
    call (/proc/self/clear_refs): a new process's ru_maxrss starts at the resident size of
    the process that started it, here the test process, which may exceed the call's peak."""
    script = textwrap.dedent("""
        import resource, sys
        from morvex_log_py_bindings import log_parser as lp
        {setup}
        def status(field):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))
        before = status("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # the peak (VmHWM) starts again at the resident size
            peak = lambda: status("VmHWM")
        except OSError:
            if resource.getrusage(resource.RUSAGE_SELF).ru_maxrss > before:
                print("unmeasurable")
                sys.exit(0)
            peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = {call}
        print((peak() - before) * 1024, len(result), result[:40] if isinstance(result, str) else "")
    """).format(setup=setup, call=call)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    if out.stdout.strip() == "unmeasurable":
        pytest.skip("the peak memory of a new process cannot be reset here")
    growth, length, head = out.stdout.split(" ", 2)
    return int(growth), int(length), head.strip()


@pytest.mark.parametrize("call", [
    "lp.lz4_logs_to_flat_json_str(block, {size})",
    "lp.lz4_logs_to_flat_json(block, {size}, True, True)",
])
def test_huge_raw_size_does_not_take_that_memory(call):
    # One log in a block of a few dozen bytes, announced as 2,113,929,216 bytes.
    setup = textwrap.dedent("""
        import lz4.block
        data = bytes.fromhex("0a0f0a0d08051209 0a036d7367 12026869".replace(" ", ""))
        block = lz4.block.compress(data, store_size=False)
    """)
    growth, length, _ = peak_growth(setup, call.format(size=MAX_RAW_SIZE))
    assert length in (1, len('[{"__time__":5,"msg":"hi"}]'))
    if not SANITIZED:  # the sanitizer's own bookkeeping would blur the figure
        assert growth < 64 * 2**20, f"peak memory grew by {growth} bytes"


def test_a_million_empty_logs_take_memory_in_proportion_to_the_text():
    setup = textwrap.dedent("""
        import lz4.block
        body = b"\\x0a\\x00" * 1_000_000
        length = len(body)
        prefix = bytes([0x0a]) + bytes([length & 0x7f | 0x80, length >> 7 & 0x7f | 0x80, length >> 14])
        data = prefix + body
    """)
    growth, length, head = peak_growth(setup, "lp.logs_to_flat_json_str(data)")
    assert head.startswith('[{"__time__":0},{"__time__":0}')
    assert length == 1 + 1_000_000 * len('{"__time__":0},')  # the last comma is the "]"
    if not SANITIZED:
        # The text (15 MB) exists twice at the end, as the buffer and as the str; the
        # decoded logs take a few words each.
        assert growth < 6 * length, f"peak memory grew by {growth} bytes for {length} bytes of text"


def nested_groups(levels, inner=b""):
    """Unknown group field 5 nested `levels` deep, with `inner` in the innermost level."""
    return b"\x2b" * levels + inner + b"\x2c" * levels



# Top level: the budget is 100; inside a LogGroup (field 2 there is unknown) it is 99.
NESTING = [
    (nested_groups(100), None),
    (nested_groups(101), "recursion limit reached"),
    (nested_groups(100, b"\x08\x01"), "recursion limit reached"),
    (nested_groups(99, b"\x08\x01"), None),
    (nested_groups(100_000), "recursion limit reached"),
    (ld(1, b"\x13" * 99 + b"\x14" * 99), None),
    (ld(1, b"\x13" * 100 + b"\x14" * 100), "LogGroupList.log_groups: recursion limit reached"),
    (ld(1, b"\x13" * 98 + b"\x08\x01" + b"\x14" * 98), None),
    (ld(1, b"\x13" * 99 + b"\x08\x01" + b"\x14" * 99), "LogGroupList.log_groups: recursion limit reached"),
]


@pytest.mark.parametrize("data, error", NESTING)
def test_unknown_groups_nested_to_the_limit_and_beyond(data, error):
    block = lz4.block.compress(data, store_size=False)
    calls = [lambda: lp.logs_to_flat_json_str(data), lambda: lp.lz4_logs_to_flat_json_str(block, len(data))]
    for call in calls:
        if error is None:
            assert json.loads(call()) == []
        else:
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == PREFIX + error
    if error is None:
        assert lp.lz4_logs_to_flat_json(block, len(data), False, True) == []
    else:
        with pytest.raises(ValueError) as info:
            lp.lz4_logs_to_flat_json(block, len(data), False, True)
        assert str(info.value) == PREFIX + error.replace("LogGroupList.", "LogGroupListRaw.")


# A group of 2,000 tags and 100,000 logs: 0.4 MB of protobuf that flattens to about 4 GB of
# JSON text (each log repeats every tag), or to 100,000 dicts of 2,001 entries each.
EXHAUSTING_CALLS = [
    ("lp.logs_to_flat_json_str(data)", "memory allocation failed", None),
    ("lp.lz4_logs_to_flat_json_str(block, len(data))", "memory allocation failed", None),
    ("lp.lz4_logs_to_flat_json(block, len(data), False, True)", "Python API call failed", "MemoryError"),
    # The expansion buffer itself: a block long enough to expand to the largest raw_size.
    ("lp.lz4_logs_to_flat_json_str(bytes(8_300_000), %d)" % MAX_RAW_SIZE, "memory allocation failed", None),
]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves more address space than the limit")
@pytest.mark.parametrize("call, message, printed", EXHAUSTING_CALLS)
def test_running_out_of_memory_raises_panic_and_leaves_the_module_working(tmp_path, call, message, printed):
    group = b"".join(ld(6, ld(1, b"k%04d" % i) + ld(2, b"v")) for i in range(2000))
    data = ld(1, group + ld(1, b"\x08\x01") * 100_000)
    (tmp_path / "data").write_bytes(data)
    (tmp_path / "block").write_bytes(lz4.block.compress(data, store_size=False))
    script = textwrap.dedent("""
        import resource, sys
        from morvex_log_py_bindings import log_parser as lp, PanicException
        data = open(sys.argv[1], "rb").read()
        block = open(sys.argv[2], "rb").read()
        def resident():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmRSS:"))
        before = resident()
        limit = 640 << 20  # address space; the call needs several GiB
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for _ in range(2):  # twice: a failed call leaves nothing that breaks the next
            try:
                {call}
                print("returned")
            except PanicException as exc:
                print("panic", *exc.args, flush=True)
        # Whatever the failed calls mapped is released, and the next call works.
        print("grown", (resident() - before) >> 20)
        print(lp.logs_to_flat_json_str(bytes.fromhex(sys.argv[3])))
    """).format(call=call)
    small = ld(1, ld(1, b"\x08\x05" + ld(2, ld(1, b"k") + ld(2, b"v"))))
    args = [str(tmp_path / "data"), str(tmp_path / "block"), small.hex()]
    out = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[:2] == ["panic " + message] * 2
    assert lines[2].startswith("grown ") and int(lines[2].split()[1]) < 16, lines[2]
    assert lines[3] == '[{"__time__":5,"k":"v"}]'
    # Each fault is reported on standard error, after the interpreter's own exception (if
    # any) is printed; how the interpreter prints it with no memory left varies (3.13 dumps
    # the object when writing the traceback fails).
    assert out.stderr.count(message) == 2, out.stderr
    if printed:
        assert all(printed in before for before in out.stderr.split(message)[:2]), out.stderr
