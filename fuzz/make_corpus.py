"""Writes the seed corpora of the fuzz targets.

    python fuzz/make_corpus.py OUT_DIR

OUT_DIR/decode gets log batches (valid ones of every shape, encoded by the protobuf
package, and hand-made malformed ones); OUT_DIR/lz4 gets the same batches compressed by
the lz4 package, each behind the three header bytes that choose the requested size (see
fuzz_lz4.cpp), plus malformed blocks; OUT_DIR/utf8 gets texts in many scripts and every
kind of broken sequence, placed across sixteen-byte boundaries.
"""

import hashlib
import os
import sys

import lz4.block

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples"))
import log_schema  # noqa: E402
from wire_bytes import key, ld, varint  # noqa: E402


def batch(groups):
    """groups: list of dicts with logs [(time, [(k, v)], time_ns)], tags, topic, source."""
    msg = log_schema.LogGroupList()
    for g in groups:
        group = msg.log_groups.add()
        for name in ("topic", "source", "machine_uuid"):
            if name in g:
                setattr(group, name, g[name])
        for k, v in g.get("tags", []):
            group.log_tags.add(key=k, value=v)
        for time, contents, time_ns in g.get("logs", []):
            log = group.logs.add(time=time)
            if time_ns is not None:
                log.time_ns = time_ns
            for k, v in contents:
                log.contents.add(key=k, value=v)
    return msg.SerializeToString()


def valid_batches():
    odd = "q\"uote \\ back\x00\x01\x1f\x7f tab\t nl\n é 中 😀 \u2028"
    yield b""
    yield ld(1, b"")  # a group of length 0
    yield batch([{"topic": "app", "tags": [("host", "a1")],
                  "logs": [(5, [("msg", "hi"), ("Type", "info")], None)]}])
    yield batch([{"topic": "", "source": "", "logs": [(0, [], 0)]}, {"logs": [(1, [], None)]}])
    yield batch([{"topic": odd, "source": odd, "machine_uuid": "m", "tags": [(odd, odd)],
                  "logs": [(2**32 - 1, [(odd, odd), ("", "")], 2**32 - 1)]}])
    # every character below U+0100, spread over more than 16 bytes (Latin-1 text)
    latin = "caf\u00e9 \u00fc\u00df \u00a0\u00ff\u0080 " * 3
    yield batch([{"topic": latin, "tags": [("h\u00e9", latin)],
                  "logs": [(3, [("cl\u00e9", latin), ("n", "plain ascii value, long enough")], None)]}])
    # Latin-1 groups, then one with a wider character, then Latin-1 again
    latin_group = {"topic": latin, "tags": [("h\u00e9", latin)],
                   "logs": [(3, [("cl\u00e9", latin)], None), (4, [("cl\u00e9", "x")], 5)]}
    yield batch([latin_group, latin_group, {"topic": odd, "logs": [(5, [("cl\u00e9", odd)], None)]},
                 latin_group])
    # keys meeting the reserved keys and tags; repeated keys and tags
    yield batch([{"topic": "t", "source": "s", "tags": [("k", "1"), ("k", "2"), ("__time__", "x")],
                  "logs": [(7, [("__time__", "c"), ("__topic__", "c"), ("__source__", "c"),
                                ("__time_ns__", "c"), ("__tag__:k", "c"), ("a", "1"), ("a", "2")], None),
                           (8, [("__time_ns__", "c")], 9)]}])
    # many logs sharing keys, and groups whose tags repeat: the writer reuses its work
    logs = [(i, [("level", "info"), ("msg", "m%d" % i), ("n", str(i))], i if i % 3 else None) for i in range(200)]
    yield batch([{"topic": "a", "tags": [("h", "1")], "logs": logs},
                 {"topic": "a", "tags": [("h", "1")], "logs": logs[:20]},
                 {"topic": "b", "logs": logs[:20]}])
    yield batch([{"logs": [(i, [("k%d" % (i % 4), "v")], None) for i in range(50)]}] * 3)
    # hand-spliced: fields out of order, repeated, unknown at every level
    content = ld(2, b"v1") + ld(1, b"k") + ld(2, b"v2") + key(9, 0) + varint(300)
    log = (key(4, 5) + b"\x01\x00\x00\x00" + ld(2, content) + key(1, 0) + varint(2**32 + 5)
           + key(3, 1) + b"\x00" * 8 + key(1, 0) + varint(6))
    tag = ld(2, b"tv") + ld(1, b"tk") + key(7, 5) + b"\x00" * 4
    group = (ld(6, tag) + ld(1, log) + key(2, 3) + key(1, 0) + b"\x01" + key(2, 4) + ld(3, b"t1")
             + ld(3, b"t2") + ld(1, log) + ld(4, b"") + ld(5, b"uuid"))
    yield key(2, 0) + b"\x05" + ld(1, group) + ld(3, b"junk") + key(4, 3) + key(4, 4) + ld(1, group)
    # unknown groups nested 100 deep (accepted) at the top level
    yield key(5, 3) * 100 + key(5, 4) * 100


def malformed_batches():
    content_ff = ld(2, ld(1, b"k") + ld(2, b"\xff"))
    yield ld(1, ld(1, content_ff))  # value not UTF-8: text family fails, raw family decodes
    yield ld(1, ld(6, ld(1, b"\xc0\x80") + ld(2, b"v")))  # tag key overlong
    yield ld(1, ld(3, b"\xed\xa0\x80"))  # topic holds a surrogate
    yield ld(1, ld(4, b"\xf4\x90\x80\x80"))  # source above U+10FFFF
    yield ld(1, ld(1, ld(1, b"x")))  # time sent LengthDelimited
    yield ld(1, ld(1, key(4, 0) + b"\x01"))  # time_ns sent as a varint
    yield ld(1, ld(1, key(4, 5) + b"\x01\x02"))  # time_ns cut short
    inner = ld(2, ld(1, b"key") + ld(2, b"value"))
    yield ld(1, ld(1, b"") + key(1, 2) + varint(len(inner) - 2) + inner)  # Log ends inside its last field
    yield b"\x00"
    yield b"\x0e"
    yield b"\x0f"
    yield ld(1, b"") + b"\x80"
    yield b"\x08" + b"\xff" * 10 + b"\x01"  # 11-byte varint
    yield b"\x08" + b"\xff" * 9 + b"\x02"  # 10th byte above 1
    yield varint(2**33) + b"\x00"  # key above 2^32 - 1
    yield key(1, 2) + varint(1000) + b"abc"  # log_groups longer than the input
    yield key(5, 3) + key(6, 4)  # end group of another field
    yield key(5, 4)  # end group outside a group
    yield key(5, 3) * 101 + key(5, 4) * 101  # one level too deep
    yield key(5, 3) * 100 + key(1, 0) + b"\x00" + key(5, 4) * 100  # a field in the 100th level
    yield ld(1, key(2, 3) * 99 + key(2, 4) * 99)  # groups inside a LogGroup, to its limit
    yield key(3, 1) + b"\x00" * 7  # fixed64 cut short
    yield key(3, 5) + b"\x00" * 3  # fixed32 cut short


def lz4_seeds(batches):
    def header(kind, number):
        return bytes([kind, number & 0xFF, number >> 8])

    for data in batches:
        if len(data) > 60000:
            continue
        block = lz4.block.compress(data, store_size=False)
        yield header(2, len(data)) + block  # exact size
        yield header(2, min(len(data) + 100, 65535)) + block  # room to spare
        if data:
            yield header(2, len(data) - 1) + block  # one byte short
        yield header(0, 0) + block  # -1
        yield header(1, 32768) + block  # the largest accepted size
        yield header(1, 32769) + block  # one more
    yield header(2, 0) + b"\x00"  # expands to nothing
    yield header(2, 0) + b"\x10a"  # anything else with size 0
    yield header(2, 10)  # empty block
    yield header(2, 100) + b"\x10a\x05\x00" + b"\x50hello"  # match before the start
    yield header(2, 100) + b"\xf0"  # literal length cut off


def write(directory, blobs):
    os.makedirs(directory, exist_ok=True)
    count = 0
    for blob in blobs:
        name = hashlib.sha1(blob).hexdigest()
        with open(os.path.join(directory, name), "wb") as f:
            f.write(blob)
        count += 1
    return count


def utf8_seeds():
    texts = ["plain ascii text that spans more than one block", "café größe naïve", "日本語のテキストと中文",
             "emoji \U0001f680\U0001f600 and \U0010ffff", "\u0800\uffff\ue000\ud7ff"]
    faults = [b"\x80", b"\xc0\x80", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
              b"\xf5\x80", b"\xff", b"\xe2\x82", b"\xf0\x9f\x98"]
    for text in texts:
        yield text.encode()
        for fault in faults:
            for at in (0, 13, 14, 15, 16, 31):
                yield b"x" * at + fault + text.encode()
                yield text.encode()[:at] + fault


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    batches = list(valid_batches()) + list(malformed_batches())
    n_decode = write(os.path.join(out, "decode"), batches)
    n_lz4 = write(os.path.join(out, "lz4"), lz4_seeds(batches))
    n_utf8 = write(os.path.join(out, "utf8"), utf8_seeds())
    print(f"seed corpus: {n_decode} batches in {out}/decode, {n_lz4} blocks in {out}/lz4, "
          f"{n_utf8} texts in {out}/utf8")


if __name__ == "__main__":
    main()
