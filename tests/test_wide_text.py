"""JSON texts with characters from U+0100 on of batches of 1 MiB and more, which the module hands
to the interpreter in fixed-width units (UTF-16, or UCS-4 when a character lies beyond U+FFFF)
or, when few lie beyond U+FFFF, as UTF-8 in pieces:
compared with the reference flattener on both text paths, around the input size where that
starts, across calls that reuse the buffer, and within the memory budget."""

import os
import random
import sys

import lz4.block
import pytest

from conftest import make_batch, reference_json
from test_json_text import convert
from test_resources import SANITIZED, peak_growth

# Characters of each UTF-8 length, and ones that JSON escapes.
BMP = ["a", "Z", "7", " ", "\u00e9", "\u00ff", "\u0100", "\u07ff", "\u0800", "\u4e2d", "\uffff",
       '"', "\\", "\n", "\x01"]
ASTRAL = ["\U00010000", "\U0001f600", "\U0010ffff"]
# Units are used for inputs from this size on (for UTF-16 text of mostly three-byte characters,
# which starts well into its buffer, from a little more).
WIDE_FROM = 1 << 20


def random_text(rng, length, alphabet, ascii_run=40):
    # Runs of ASCII of every length around the sixteen bytes read at once, between others.
    parts = []
    while sum(map(len, parts)) < length:
        parts.append("".join(rng.choice("abcdefghij") for _ in range(rng.randrange(ascii_run))))
        parts.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 6))))
    return "".join(parts)[:length]


def random_batch(seed, logs, alphabet=BMP + ASTRAL, ascii_run=40):
    rng = random.Random(seed)

    def text(length):
        return random_text(rng, length, alphabet, ascii_run)

    groups = []
    for g in range(logs // 50):
        tags = [(text(rng.randrange(1, 12)), text(rng.randrange(30))) for _ in range(rng.randrange(3))]
        group_logs = [dict(time=rng.randrange(2**32), contents=[
            (text(rng.randrange(1, 10)), text(rng.randrange(120))) for _ in range(rng.randrange(1, 5))])
            for _ in range(50)]
        groups.append(dict(topic=text(8), tags=tags, logs=group_logs))
    return make_batch(groups)


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("alphabet, ascii_run, logs", [
    (BMP + ASTRAL, 40, 6000),
    (BMP, 40, 6000),
    (BMP, 2, 5000),  # few ASCII runs: the UTF-16 text starts well into its buffer
    (["\u4e2d", "\u00e9", "\uffff"], 1, 5000),
    (["\u4e2d", "\u0800", "\uffff", "\U0001f600"], 1, 5000),  # runs of three-byte characters, as UCS-4
    (["\u0430", "\u044f", "\u0100", "\u07ff", "\u00e9", '"', "\n"], 3, 5000),  # runs of two-byte characters
    (["\u0436", "\u0436", "\u0436", "\u4e2d", "\u0800"], 1, 5000),  # and three-byte ones among them
])
def test_large_texts_with_every_width_of_character(seed, alphabet, ascii_run, logs):
    batch = random_batch(seed, logs, alphabet, ascii_run)
    assert batch.ByteSize() > WIDE_FROM
    text = convert(batch)
    assert max(text) > "\u00ff"
    assert sys.getsizeof(text) == sys.getsizeof(reference_json(batch))


def test_utf16_text_whose_three_byte_characters_come_first():
    # The place the UTF-16 text starts at is set by the stretch where three-byte characters
    # are densest, here the first half.
    logs = [dict(time=i, contents=[("m", "\u4e2d" * 200)]) for i in range(2000)]
    logs += [dict(time=i, contents=[("m", "x" * 400)]) for i in range(2000)]
    convert(make_batch([dict(logs=logs)]))


@pytest.mark.parametrize("ascii_between", [0, 1, 5])
def test_two_byte_characters_right_after_the_densest_three_byte_ones(ascii_between):
    # Where the three-byte characters end, the UTF-16 text has caught up with the UTF-8
    # bytes still to be read: the two-byte characters after them are rewritten without room
    # to spare.
    logs = [dict(time=i, contents=[("m", "\u4e2d" * 300)]) for i in range(1500)]
    logs.append(dict(contents=[("m", "\u4e2d" * 50 + "x" * ascii_between + "\u0436" * 3000)]))
    logs += [dict(time=i, contents=[("m", "\u0436" * 300)]) for i in range(500)]
    convert(make_batch([dict(logs=logs)]))


def batch_of_size(size, wide):
    """A batch of `size` bytes: one log whose one value is `wide` and then ASCII."""
    def batch(padding):
        return make_batch([dict(logs=[dict(contents=[("m", wide + "x" * padding)])])])
    return batch(size - batch(size).ByteSize() + size)


@pytest.mark.parametrize("wide", ["\U0001f600", "\u4e2d"])
@pytest.mark.parametrize("size", [WIDE_FROM - 1, WIDE_FROM, WIDE_FROM + 100, 3 * WIDE_FROM])
def test_inputs_around_the_size_where_units_start(wide, size):
    batch = batch_of_size(size, wide)
    assert batch.ByteSize() == size
    convert(batch)


def late_wide_batch(one_byte, wide):
    """Text of one byte a character (`one_byte` and ASCII), then in its second half a few
    logs with `wide` characters."""
    logs = [dict(time=i, contents=[("k", "%s %d %s" % (one_byte, i, "x" * (i % 37)))]) for i in range(40000)]
    for i in range(25000, 40000, 3000):
        logs[i]["contents"].append(("w", wide + "y" * (i % 5)))
    return make_batch([dict(topic="t", logs=logs)])


@pytest.mark.parametrize("one_byte", ["caf\u00e9", "cafe"])
@pytest.mark.parametrize("wide", ["\u4e2d", "\u0100\u20ac", "\U0001f600"])
def test_few_wide_characters_late_in_a_large_batch(one_byte, wide):
    # Such sparse text, without characters beyond U+FFFF, is handed over as UTF-8.
    batch = late_wide_batch(one_byte, wide)
    assert batch.ByteSize() > WIDE_FROM
    convert(batch)


def sparse_astral_batch(astral, between, every, dense_until=0):
    """Text of one to three bytes a character (`between` among ASCII), with `astral` (runs
    of characters beyond U+FFFF, also next to quotes and escapes) in every `every`-th log,
    in a key, a value, a tag or a topic by turns, and in every log before `dense_until`."""
    groups = []
    for g in range(300):
        logs = []
        for i in range(100):
            n = 100 * g + i
            contents = [("msg", "%s %d %s" % (between, n, "x" * (n % 41))), ("ok", '"q" \\ %d' % n)]
            if n % every == 0 or n < dense_until:
                place = n // every % 4
                if place == 0:
                    contents.append((astral + "k", astral))
                elif place == 1:
                    contents.append(("v", '"%s\n%s"' % (astral, astral)))
                logs.append(dict(time=n, contents=contents))
                if place >= 2:
                    groups.append(dict(topic=astral if place == 2 else "t", tags=[("h", astral)],
                                       logs=logs))
                    logs = []
                continue
            logs.append(dict(time=n, contents=contents))
        groups.append(dict(topic="t", tags=[("h", between)], logs=logs))
    return make_batch(groups)


@pytest.mark.parametrize("astral", ["\U0001f600", "\U00010000\U0010ffff\U0001f44d", "\U0001f468\u200d\U0001f469"])
@pytest.mark.parametrize("between", ["plain", "caf\u00e9", "\u0436\u4e2d"])
@pytest.mark.parametrize("every, dense_until", [
    (900, 0),  # made in pieces around single characters beyond U+FFFF
    (900, 3000),  # and around stretches of them, in the first tenth of the text
    (60, 0),  # stretches over a third of the text: UCS-4
    (7, 0),
])
def test_large_texts_sparse_in_characters_beyond_the_bmp(astral, between, every, dense_until):
    # Such text is made into a str piece by piece: every character must land once, in order,
    # whatever the pieces between the stretches hold.
    batch = sparse_astral_batch(astral, between, every, dense_until)
    assert batch.ByteSize() > WIDE_FROM
    assert max(convert(batch)) > "\uffff"


def test_calls_of_every_width_reuse_one_buffer():
    # A buffer once filled with 32-bit units serves later calls of narrower text, and the
    # other way round; every text must come out whole.
    batches = [random_batch(7, 6000), make_batch([dict(topic="t", logs=[
        dict(time=i, contents=[("k", "caf\u00e9 %d" % i), ("a", "x" * 50)]) for i in range(20000)])]),
        batch_of_size(2 * WIDE_FROM, "\U0001f600"), batch_of_size(2 * WIDE_FROM, "q"),
        random_batch(8, 6000, BMP), batch_of_size(2 * WIDE_FROM, "\u20ac"), random_batch(8, 2500)]
    for batch in batches + batches[::-1]:
        convert(batch)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's own bookkeeping blurs the figure")
@pytest.mark.skipif("debug" in os.environ.get("PYTHONMALLOC", ""),
                    reason="the debug allocator moves every block it resizes, so the interpreter's "
                    "decoders peak higher than they do")
@pytest.mark.parametrize("call", [
    "lp.logs_to_flat_json_str(data)",
    "lp.lz4_logs_to_flat_json_str(block, len(data))",
], ids=["plain", "lz4"])
@pytest.mark.parametrize("make", [
    lambda: random_batch(11, 12000, BMP + ASTRAL),
    lambda: random_batch(11, 12000, BMP, ascii_run=2),
    lambda: random_batch(11, 12000, BMP),
    lambda: random_batch(11, 12000, BMP, ascii_run=2000),
    lambda: late_wide_batch("caf\u00e9", "\u4e2d"),
    lambda: sparse_astral_batch("\U0001f600", "\u0436\u4e2d", 900, dense_until=3000),
], ids=["ucs4", "dense", "bmp", "sparse", "late", "sparse_astral"])
def test_wide_text_stays_within_input_plus_twice_its_size(call, make, tmp_path):
    batch = make()
    data = batch.SerializeToString()
    (tmp_path / "batch").write_bytes(data)
    # The block is made here, not in the measuring process: freeing lz4's large buffers there
    # would raise the C allocator's thresholds for returning memory to the system, so that
    # the call's own freed memory would stay resident and count as the module's.
    (tmp_path / "block").write_bytes(lz4.block.compress(data, store_size=False))
    setup = "data = open(%r, 'rb').read()\nblock = open(%r, 'rb').read()" % (
        str(tmp_path / "batch"), str(tmp_path / "block"))
    growth, length, _ = peak_growth(setup, call)
    result_size = sys.getsizeof(reference_json(batch))
    assert len(data) > WIDE_FROM
    assert growth < len(data) + 2 * result_size, (growth, len(data), result_size)
