"""The command-line tool morvex-log-flatten, run as a separate process like a user would.

Expected output comes from the protobuf package's own parse of the input and the shared
reference flattener, not from the module."""

import io
import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import lz4.block
import pytest

import log_schema

CLI = [sys.executable, "-m", "morvex_log_flatten"]


def run(*args, cwd=None):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, cwd=cwd, timeout=60)


def make_batch(topic, n_logs, tag_value="a1"):
    batch = log_schema.LogGroupList()
    group = batch.log_groups.add(topic=topic)
    group.log_tags.add(key="host", value=tag_value)
    for i in range(n_logs):
        log = group.logs.add(time=1000 + i)
        log.contents.add(key="msg", value=f'line {i}\n"quoted" é/\x01')
        log.contents.add(key="Level", value="info")
        if i % 2:
            log.time_ns = 0
    return batch.SerializeToString()


def expected_records(*batches):
    records = []
    for data in batches:
        records += log_schema.flatten_json_records(log_schema.LogGroupList.FromString(data))
    # The module writes keys in ascending byte order.
    return [dict(sorted(r.items(), key=lambda kv: kv[0].encode())) for r in records]


def compact(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


@pytest.fixture
def files(tmp_path):
    batches = [make_batch("web", 3), b"", make_batch("", 2, tag_value="b2")]
    paths = []
    for i, data in enumerate(batches):
        paths.append(tmp_path / f"batch{i}.pb")
        paths[-1].write_bytes(data)
        (tmp_path / f"batch{i}.lz4").write_bytes(lz4.block.compress(data, store_size=False))
    return tmp_path, paths, batches


@pytest.mark.parametrize("lz4", [False, True])
def test_all_files_make_one_array_in_order(files, lz4):
    tmp, paths, batches = files
    args = ["--lz4", "--raw-size", 1 << 16, *(p.with_suffix(".lz4") for p in paths)] if lz4 else paths
    result = run(*args)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    expected = expected_records(*batches)
    assert len(expected) == 5
    text = result.stdout.decode("utf-8")
    assert text == "[" + ",".join(map(compact, expected)) + "]\n"
    assert [list(r) for r in json.loads(text)] == [list(r) for r in expected]


def test_jsonl_and_output_file(files):
    tmp, paths, batches = files
    out = tmp / "records.jsonl"
    result = run("--jsonl", "-o", out, *paths)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""
    lines = out.read_text(encoding="utf-8").split("\n")
    assert lines[-1] == ""
    assert lines[:-1] == [compact(r) for r in expected_records(*batches)]
    assert [p.name for p in tmp.iterdir() if p.name.startswith(".")] == []  # no temp file left


@pytest.mark.parametrize("content, args, message", [
    (b"\x80", [], "failed to decode Protobuf message: invalid varint"),
    (b"\x0a\x05", [], "failed to decode Protobuf message: LogGroupList.log_groups: buffer underflow"),
    (b"\xff\xff\xff", ["--lz4", "--raw-size", 100], "Decompression failed. Input invalid or too long?"),
    (lz4.block.compress(make_batch("t", 4), store_size=False), ["--lz4", "--raw-size", 10],
     "kind: InvalidData"),
])
def test_bad_file_gives_one_line_and_status_1(files, content, args, message):
    tmp, paths, _ = files
    bad = tmp / "bad input.bin"
    bad.write_bytes(content)
    good = paths[1].with_suffix(".lz4") if args else paths[0]  # lz4: the empty batch
    out = tmp / "result.json"
    result = run(*args, "-o", out, good, bad)
    assert result.returncode == 1
    err = result.stderr.decode()
    assert err.count("\n") == 1 and "Traceback" not in err, err
    assert err.startswith("morvex-log-flatten: error: ") and str(bad) in err and message in err
    assert not out.exists()


@pytest.mark.parametrize("make", ["missing", "directory"])
def test_unreadable_file(tmp_path, make):
    path = tmp_path / "nothing.pb"
    if make == "directory":
        path.mkdir()
    result = run(path)
    err = result.stderr.decode()
    assert result.returncode == 1 and result.stdout == b""
    assert err.count("\n") == 1 and str(path) in err and "Traceback" not in err, err


def test_sample_is_a_valid_batch_and_console_script_works():
    import morvex_log_flatten

    expected = expected_records(morvex_log_flatten.sample_batch())
    assert len(expected) == 3
    script = Path(sys.executable).with_name("morvex-log-flatten")
    result = subprocess.run([str(script), "--sample", "--jsonl"], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == [compact(r) for r in expected]


def test_progress_only_on_a_terminal(files):
    tmp, paths, _ = files
    assert b"[3/3]" not in run(*paths).stderr
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([*CLI, *map(str, paths)], stdout=subprocess.PIPE, stderr=slave,
                              timeout=60)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
    assert proc.returncode == 0
    assert b"[1/3]" in seen and b"[3/3]" in seen and str(paths[2]).encode() in seen


def test_output_through_a_link_keeps_the_link_and_an_existing_file_keeps_its_mode(tmp_path):
    real, private = tmp_path / "real.json", tmp_path / "private.json"
    real.write_text("old")
    private.write_text("old")
    private.chmod(0o600)
    link = tmp_path / "link.json"
    link.symlink_to(real.name)
    expected = run("--sample").stdout
    for target in (link, private):
        result = run("--sample", "-o", target)
        assert result.returncode == 0, result.stderr
    assert link.is_symlink() and real.read_bytes() == expected
    assert private.read_bytes() == expected and private.stat().st_mode & 0o777 == 0o600
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.json", "private.json", "real.json"]


def test_dash_or_a_device_as_output_is_written_in_place(tmp_path):
    expected = run("--sample").stdout
    assert run("--sample", "-o", "-", cwd=tmp_path).stdout == expected
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    try:
        result = run("--sample", "-o", fifo)
        assert result.returncode == 0, result.stderr
        assert reader.communicate(timeout=60)[0] == expected
    finally:
        reader.kill()
        reader.wait()
    assert [p.name for p in tmp_path.iterdir()] == ["fifo"]


@pytest.mark.parametrize("case", ["output is a folder", "stdout closed"])
def test_output_failures_give_one_line_and_leave_nothing(tmp_path, case):
    if case == "output is a folder":
        (tmp_path / "out").mkdir()
        result = run("--sample", "-o", "out", cwd=tmp_path)
        name, reason = "out", "Is a directory"
    else:
        result = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", *CLI, "--sample"],
                                stderr=subprocess.PIPE, timeout=60)
        name, reason = "<stdout>", "Bad file descriptor"
    assert result.returncode == 1
    assert result.stderr.decode() == f"morvex-log-flatten: error: {name}: {reason}\n"
    assert [p.name for p in tmp_path.iterdir() if p.name != "out"] == []


@pytest.mark.parametrize("size, status", [(2_113_929_216, 1), (2_113_929_217, 2), (-1, 2)])
def test_raw_size_range(tmp_path, size, status):
    block = tmp_path / "b.lz4"
    block.write_bytes(b"\xff\xff\xff")  # corrupt: a size in range reaches the module
    result = run("--lz4", "--raw-size", str(size), block)
    assert result.returncode == status
    assert ("Decompression failed" in result.stderr.decode()) == (status == 1)


class _Trickle(io.RawIOBase):
    """A raw stream that takes at most three bytes a call, as a pipe may take part of a
    large write."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        taken = bytes(b[:3])
        self.data += taken
        return len(taken)


@pytest.mark.parametrize("jsonl", [False, True])
def test_partial_writes_are_completed(jsonl):
    import morvex_log_flatten

    text = morvex_log_flatten.convert(morvex_log_flatten.sample_batch(), False, 0)
    out = _Trickle()
    (morvex_log_flatten.write_jsonl if jsonl else morvex_log_flatten.write_array)([text], out)
    records = [json.loads(line) for line in out.data.decode().splitlines()]
    assert (records if jsonl else records[0]) == json.loads(text)
