"""morvex-log-flatten: flatten protobuf log batches into JSON from the command line.

Each input file holds one ``LogGroupList`` (or, with ``--lz4 --raw-size N``, one raw LZ4
block that expands to at most N bytes of one). Every log of every file becomes one flat
record; the records of all files are written as one JSON array, or with ``--jsonl`` as
JSON Lines, one compact object per line with its keys in the module's order.

Bad input ends the run with one line on standard error and exit status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import json
import os
import stat
import struct
import sys
import tempfile

import morvex_log_py_bindings
from morvex_log_py_bindings import log_parser

PROG = "morvex-log-flatten"
# The largest expanded size an LZ4 block can have; the module refuses a larger bound.
MAX_RAW_SIZE = 2_113_929_216


class InputError(Exception):
    """A file that cannot be read or converted; the message names the file."""


# --- a built-in sample batch (hand-encoded protobuf, so the tool needs no other package)


def _varint(value: int) -> bytes:
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _text(number: int, value: str | bytes) -> bytes:
    payload = value.encode("utf-8") if isinstance(value, str) else value
    return _varint(number << 3 | 2) + _varint(len(payload)) + payload


def _pair(number: int, key: str, value: str) -> bytes:
    return _text(number, _text(1, key) + _text(2, value))


def _log(time: int, contents: list[tuple[str, str]], time_ns: int | None = None) -> bytes:
    body = _varint(1 << 3) + _varint(time) + b"".join(_pair(2, k, v) for k, v in contents)
    if time_ns is not None:
        body += _varint(4 << 3 | 5) + struct.pack("<I", time_ns)
    return _text(1, body)


def sample_batch() -> bytes:
    """A small LogGroupList: two web requests with topic, source and tags, and one log
    of a second group with an empty topic and a multi-line, non-ASCII message."""
    requests = [("/index.html", "200"), ("/api/v1/login", "401")]
    web = b"".join(
        _log(1_700_000_000 + i, [("request", f"GET {path} HTTP/1.1"), ("status", status),
                                 ("ua", 'Mozilla/5.0 "demo"')], time_ns=123_456_789)
        for i, (path, status) in enumerate(requests)
    )
    web += _text(3, "nginx") + _text(4, "10.0.0.7")
    web += _pair(6, "host", "web-1") + _pair(6, "region", "eu-west")
    app = _log(1_700_000_100, [("message", "línea 1\nline 2\ttabbed ✓")]) + _text(3, "")
    return _text(1, web) + _text(1, app)


# --- conversion


@contextlib.contextmanager
def _native_stderr_captured():
    """Collect what the native code writes to file descriptor 2 during a call.

    A failed LZ4 expansion makes the module print its own fault report there; the tool
    reports the same message in its one error line, so the report is dropped on failure
    and passed through on success."""
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError, AttributeError):
        yield
        return
    with tempfile.TemporaryFile() as capture:
        os.dup2(capture.fileno(), 2)
        failed = True
        try:
            yield
            failed = False
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            if not failed:
                capture.seek(0)
                leftover = capture.read()
                if leftover:
                    sys.stderr.buffer.write(leftover)
                    sys.stderr.flush()


def convert(data: bytes, lz4: bool, raw_size: int) -> str:
    """The module's flat JSON text for one input. Raises ValueError, OverflowError or
    morvex_log_py_bindings.PanicException (a BaseException) on bad input."""
    if not lz4:
        return log_parser.logs_to_flat_json_str(data)
    with _native_stderr_captured():
        return log_parser.lz4_logs_to_flat_json_str(data, raw_size)


def _read(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


def flat_texts(inputs, lz4: bool, raw_size: int, progress):
    """Yields the flat JSON text of each (name, loader) input, in order."""
    for index, (name, load) in enumerate(inputs):
        progress(index, name)
        try:
            data = load()
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        try:
            yield convert(data, lz4, raw_size)
        except (ValueError, OverflowError, morvex_log_py_bindings.PanicException) as e:
            kind = "LZ4 block cannot be expanded" if isinstance(
                e, morvex_log_py_bindings.PanicException) else "not a valid log batch"
            raise InputError(f"{name}: {kind}: {e}") from None


def write_all(out, data: bytes) -> None:
    """Writes all of `data`. Unbuffered standard output (PYTHONUNBUFFERED, `python -u`) is
    a raw stream, whose write may take only part of the bytes."""
    view = memoryview(data)
    while view:
        written = out.write(view)
        if written is None:  # a non-blocking stream that could take nothing now
            raise OSError(errno.EAGAIN, os.strerror(errno.EAGAIN))
        view = view[written:]


def write_array(texts, out) -> None:
    # Each text is one compact JSON array; the records of all of them are joined into
    # a single array without re-encoding, so the bytes are the module's own.
    started = False  # "[" is written once the first input has converted
    need_comma = False
    for text in texts:
        if not started:
            write_all(out, b"[")
            started = True
        inner = text[1:-1]
        if inner:
            if need_comma:
                write_all(out, b",")
            write_all(out, inner.encode("utf-8"))
            need_comma = True
    write_all(out, b"]\n" if started else b"[]\n")


def write_jsonl(texts, out) -> None:
    # json keeps the key order of the text (ascending byte order) and escapes exactly
    # as the module does with ensure_ascii=False, so each line is one record's text.
    for text in texts:
        for record in json.loads(text):
            line = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
            write_all(out, line.encode("utf-8") + b"\n")


# --- command line


class _Progress:
    """'[i/n] file' on standard error, redrawn in place; only for a terminal."""

    def __init__(self, total: int, enabled: bool):
        self.total = total
        self.enabled = enabled and total > 1 and sys.stderr.isatty()
        self.shown = False

    def __call__(self, index: int, name: str) -> None:
        if self.enabled:
            sys.stderr.write(f"\r\x1b[K{PROG}: [{index + 1}/{self.total}] {name}"[:200])
            sys.stderr.flush()
            self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def _raw_size(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= MAX_RAW_SIZE:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_RAW_SIZE}")
    return value


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("morvex_log_py_bindings")
    except Exception:
        return "unknown"


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Flatten protobuf LogGroupList batches into JSON: one flat record per "
        "log, the records of all files in one JSON array (or JSON Lines).",
    )
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a file holding one LogGroupList ('-' for standard input)")
    parser.add_argument("--lz4", action="store_true",
                        help="each file is one raw LZ4 block (no frame, no size prefix)")
    parser.add_argument("--raw-size", type=_raw_size, metavar="N",
                        help="with --lz4: upper bound of each block's expanded size in bytes")
    parser.add_argument("--jsonl", action="store_true",
                        help="write JSON Lines, one compact record per line")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE (replaced only on success) instead of stdout")
    parser.add_argument("--sample", action="store_true",
                        help="flatten a small built-in sample batch instead of files")
    parser.add_argument("--no-progress", action="store_true",
                        help="never show progress on standard error")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    args = parser.parse_args(argv)
    if args.lz4 != (args.raw_size is not None):
        parser.error("--lz4 and --raw-size N go together")
    if args.sample and (args.files or args.lz4):
        parser.error("--sample takes no files and no --lz4")
    if not args.sample and not args.files:
        parser.error("no input files (or use --sample)")
    return args


def _open_output(path):
    """A binary stream and a commit(ok) function.

    A regular file (new, or through a symbolic link) is written beside its final place
    and moved there on success, keeping an existing file's permissions, so failures never
    leave half a file behind. Anything else that exists (a pipe, a device, /dev/stdout) is
    written in place, and "-" or no path means standard output."""
    if path is None or path == "-":
        if sys.stdout is None:  # started with standard output closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        return sys.stdout.buffer, lambda ok: sys.stdout.flush()
    try:
        existing = os.stat(path)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        out = open(path, "wb")
        return out, lambda ok: out.close()
    final = os.path.realpath(path)
    fd, temp = tempfile.mkstemp(prefix=".morvex-", dir=os.path.dirname(final))
    out = os.fdopen(fd, "wb")

    def commit(ok: bool) -> None:
        try:
            out.close()
            if ok:
                if existing is not None:
                    mode = stat.S_IMODE(existing.st_mode)
                else:
                    mask = os.umask(0)
                    os.umask(mask)
                    mode = 0o666 & ~mask
                os.chmod(temp, mode)
                os.replace(temp, final)
        finally:
            if os.path.lexists(temp):
                os.unlink(temp)

    return out, commit


def _output_name(path) -> str:
    return "<stdout>" if path is None or path == "-" else path


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.sample:
        inputs = [("<sample>", sample_batch)]
    else:
        inputs = [(name, lambda name=name: _read(name)) for name in args.files]
    progress = _Progress(len(inputs), not args.no_progress)
    try:
        out, commit = _open_output(args.output)
    except OSError as e:
        print(f"{PROG}: error: {_output_name(args.output)}: {e.strerror or e}", file=sys.stderr)
        return 1
    ok = False
    try:
        texts = flat_texts(inputs, args.lz4, args.raw_size or 0, progress)
        (write_jsonl if args.jsonl else write_array)(texts, out)
        ok = True
    except InputError as e:
        progress.clear()
        message = " ".join(str(e).splitlines())
        print(f"{PROG}: error: {message}", file=sys.stderr)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except OSError as e:
        progress.clear()
        print(f"{PROG}: error: {_output_name(args.output)}: {e.strerror or e}", file=sys.stderr)
    except KeyboardInterrupt:
        progress.clear()
        commit(False)
        return 130
    progress.clear()
    try:
        commit(ok)
    except OSError as e:
        print(f"{PROG}: error: {_output_name(args.output)}: {e.strerror or e}", file=sys.stderr)
        return 1
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
