"""Flat JSON text: records, key order, collisions, escaping and integers, on batches encoded by
the protobuf package and compared with an independent reference flattener."""

import json
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import colliding_shapes, compress, make_batch, many_shapes, reference_json
from morvex_log_py_bindings import log_parser


def convert(batch):
    """The JSON text of a batch, checked against the reference and the compressed path."""
    data = batch.SerializeToString()
    text = log_parser.logs_to_flat_json_str(data)
    assert type(text) is str
    assert text == reference_json(batch)
    assert log_parser.lz4_logs_to_flat_json_str(compress(data), len(data)) == text
    return text


def test_example_batch():
    batch = make_batch([dict(topic="app", tags=[("host", "a1")],
                             logs=[dict(time=5, contents=[("msg", "hi"), ("Type", "info")])])])
    text = convert(batch)
    assert text == '[{"Type":"info","__tag__:host":"a1","__time__":5,"__topic__":"app","msg":"hi"}]'
    assert len(text) == 79


@pytest.mark.parametrize(
    "groups, expected",
    [
        ([], "[]"),
        ([{}, dict(topic="t", tags=[("a", "b")]), {}], "[]"),
        ([dict(logs=[{}])], '[{"__time__":0}]'),
        # groups in order, logs in order, nothing marks group boundaries
        ([dict(topic="g1", logs=[dict(time=1), dict(time=2)]), {},
          dict(source="g2", logs=[dict(time=3), dict(time=4)])],
         '[{"__time__":1,"__topic__":"g1"},{"__time__":2,"__topic__":"g1"},'
         '{"__source__":"g2","__time__":3},{"__source__":"g2","__time__":4}]'),
        # integers
        ([dict(logs=[dict(time=4294967295, time_ns=0), dict(time=0, time_ns=4294967295), dict(time=10, time_ns=100)])],
         '[{"__time__":4294967295,"__time_ns__":0},{"__time__":0,"__time_ns__":4294967295},'
         '{"__time__":10,"__time_ns__":100}]'),
        # present but empty topic and source; machine_uuid never appears
        ([dict(topic="", source="", uuid="u-1", logs=[{}])], '[{"__source__":"","__time__":0,"__topic__":""}]'),
        ([dict(uuid="u-1", logs=[dict(contents=[("machine_uuid", "m")])])], '[{"__time__":0,"machine_uuid":"m"}]'),
        # collisions: reserved entries replace contents, a content keeps a reserved name whose entry is absent
        ([dict(logs=[dict(time=5, contents=[("__time__", "7")])])], '[{"__time__":5}]'),
        ([dict(logs=[dict(contents=[("__topic__", "c"), ("__source__", "s"), ("__time_ns__", "n")])])],
         '[{"__source__":"s","__time__":0,"__time_ns__":"n","__topic__":"c"}]'),
        ([dict(topic="T", source="S", logs=[dict(time_ns=3, contents=[("__topic__", "c"), ("__source__", "s"),
                                                                      ("__time_ns__", "n")])])],
         '[{"__source__":"S","__time__":0,"__time_ns__":3,"__topic__":"T"}]'),
        # tags replace contents with their flat key; later tags and later contents win
        ([dict(tags=[("x", "tag"), ("y", "1"), ("y", "2")],
               logs=[dict(contents=[("__tag__:x", "content"), ("k", "1"), ("k", "2"), ("__tag__:z", "kept")])])],
         '[{"__tag__:x":"tag","__tag__:y":"2","__tag__:z":"kept","__time__":0,"k":"2"}]'),
        # a tag key is used as it is: empty, spaced, or itself starting with __tag__:
        ([dict(tags=[("", "e"), (" A ", "s"), ("__tag__:q", "d")], logs=[{}])],
         '[{"__tag__:":"e","__tag__: A ":"s","__tag__:__tag__:q":"d","__time__":0}]'),
        # keys in ascending byte order
        ([dict(topic="t", source="s", tags=[("", "1")],
               logs=[dict(time_ns=1, contents=[(k, "") for k in (
                   "key", "Content", "abc", "ab", "", "~", "z", "\u00e9", "\uff5e", "\U0001f600", "_", "__", "0")])])],
         '[{"":"","0":"","Content":"","_":"","__":"","__source__":"s","__tag__:":"1","__time__":0,'
         '"__time_ns__":1,"__topic__":"t","ab":"","abc":"","key":"","z":"","~":"","\u00e9":"","\uff5e":"",'
         '"\U0001f600":""}]'),
    ],
)
def test_records(groups, expected):
    assert convert(make_batch(groups)) == expected


def escaped(char):
    table = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}
    if char in table:
        return table[char]
    return "\\u%04x" % ord(char) if ord(char) < 0x20 else char


# 0, 2**32 - 1, and both sides of every power of ten in between.
DIGIT_EDGES = [0, 2**32 - 1] + [10**k + d for k in range(1, 10) for d in (-1, 0)]


@pytest.mark.parametrize("logs_per_group", [1, 3])
def test_times_of_every_digit_count(logs_per_group):
    # The first log of a key set is written directly, later ones follow a plan.
    times = DIGIT_EDGES + DIGIT_EDGES[::-1]
    logs = [dict(time=t, time_ns=ns, contents=[("k", str(t))]) for t, ns in zip(times, times[::-1])]
    groups = [dict(topic="t", logs=logs[i:i + logs_per_group]) for i in range(0, len(logs), logs_per_group)]
    text = convert(make_batch(groups))
    assert [(r["__time__"], r["__time_ns__"]) for r in json.loads(text)] == list(zip(times, times[::-1]))


@pytest.mark.parametrize("char", [chr(b) for b in range(0x20)] + ['"', "\\", "\x7f", "/", " ", "\u00e9", "\u2028",
                                                                   "\u65e5", "\U0001f600", "\ufeff"])
def test_string_escaping(char):
    value = "a" + char + "z" + char
    text = convert(make_batch([dict(logs=[dict(contents=[(char, value)])])]))
    body = escaped(char)
    entries = ['"%s":"a%sz%s"' % (body, body, body), '"__time__":0']
    if char.encode() > b"__time__":
        entries.reverse()
    assert text == "[{" + ",".join(entries) + "}]"
    if ord(char) < 0x20:
        assert text.encode("ascii")  # control characters never appear raw
    assert json.loads(text) == [{char: value, "__time__": 0}]


def test_escapes_are_lower_case_hex_and_raw_utf8():
    text = convert(make_batch([dict(topic="\x1b\x1f", tags=[("\x00", "/\x7f")],
                                    logs=[dict(contents=[("s", "caf\u00e9 \U0001f600 \u65e5\u672c")])])]))
    assert text == ('[{"__tag__:\\u0000":"/\x7f","__time__":0,"__topic__":"\\u001b\\u001f",'
                    '"s":"caf\u00e9 \U0001f600 \u65e5\u672c"}]')
    assert "\\u00e9" not in text and "\\ud83d" not in text


KEYS = st.sampled_from(["a", "b", "", "__time__", "__time_ns__", "__topic__", "__source__", "__tag__:a", "__tag__:",
                        "A", "\u00e9"]) | st.text(max_size=4)
TEXT = st.text(max_size=6)
LOGS = st.fixed_dictionaries({"contents": st.lists(st.tuples(KEYS, TEXT), max_size=5)},
                             optional={"time": st.integers(0, 2**32 - 1), "time_ns": st.integers(0, 2**32 - 1)})
GROUPS = st.fixed_dictionaries(
    {"logs": st.lists(LOGS, max_size=3), "tags": st.lists(st.tuples(st.sampled_from(["a", "", "b"]) | TEXT, TEXT),
                                                          max_size=3)},
    optional={"topic": TEXT, "source": TEXT, "uuid": TEXT})


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(GROUPS, max_size=3))
def test_random_batches_match_the_reference(groups):
    convert(make_batch(groups))


def test_large_batch_matches_the_reference():
    groups = [dict(topic="t%d" % g, source="src", tags=[("host", "h%d" % g), ("zone", "z")],
                   logs=[dict(time=g * 1000 + i, time_ns=i, contents=[("msg", "line %d \"q\" \\ \n" % i), ("lvl", "i")])
                         for i in range(500)]) for g in range(8)]
    text = convert(make_batch(groups))
    assert len(json.loads(text)) == 4000


@pytest.mark.parametrize("char", ['"', "\\", "\x00", "\n", "\x1f", " ", "\x7f", "\u00e9", "\U0001f600"])
def test_escaping_at_every_offset_of_long_strings(char):
    # long keys and values, the special character at every offset, twice per string
    contents = [("k" * n + char + "%02d" % n, "x" * n + char + "y" * (40 - n) + char) for n in range(41)]
    text = convert(make_batch([dict(topic="t" * 33 + char, logs=[dict(contents=contents)])]))
    assert text.count(escaped(char)) >= 3 * 41


@pytest.mark.parametrize("char", ['"', "\\", "\x00", "\x1f", "\x7f", "\u00e9", "\u0100", "\U0001f600"])
def test_special_character_at_every_place_of_short_texts(char):
    # Texts of one to three characters are checked by looking at a few bytes at once: the
    # special character sits at every place of every such text, as key, value, tag and topic.
    texts = [char] + [t for n in (2, 3) for i in range(n) for t in ["a" * i + char + "a" * (n - 1 - i)]]
    for text in texts:
        batch = make_batch([dict(topic=text, tags=[(text, text)], logs=[dict(contents=[(text, text), ("v", text)])])])
        assert json.loads(convert(batch))[0]["v"] == text


def test_logs_whose_keys_differ_in_one_byte():
    # Consecutive logs reuse the layout of the last one only when every key is equal; keys
    # of one to nine bytes differ from the last log's in one byte, at every place.
    logs = []
    for n in range(1, 10):
        for i in range(n):
            logs.append(dict(contents=[("k", "1"), ("a" * n, "x")]))
            logs.append(dict(contents=[("k", "2"), ("a" * i + "b" + "a" * (n - 1 - i), "y")]))
    convert(make_batch([dict(tags=[("t", "v")], logs=logs)]))


@pytest.mark.parametrize("chars", ["\x80", "\xff\xe9", "\xc3\xa9", "\xff\u0100", "\xe9\U0001f600", "\u07ff"])
def test_one_byte_characters_at_every_offset_of_block_boundaries(chars):
    # Texts whose characters all lie below U+0100 take a different road to the str than
    # wider ones; characters sit across every 16-byte boundary of the output.
    contents = [("k%02d" % n, "a" * n + chars + "b" * (n % 17)) for n in range(40)]
    text = convert(make_batch([dict(logs=[dict(contents=contents[:n])]) for n in (3, 40)]))
    reference = reference_json(make_batch([dict(logs=[dict(contents=contents[:n])]) for n in (3, 40)]))
    assert sys.getsizeof(text) == sys.getsizeof(reference)  # same compact storage width


@pytest.mark.parametrize("shapes", [1, 3, 20])
def test_groups_cycling_through_key_sets_and_values(shapes):
    # Object layouts are remembered per set of keys (at most 16); groups cycle through more
    # key sets than that, change their values every time and collide with content keys.
    groups = []
    for g in range(60):
        shape = g % shapes
        tags = [("k%d" % (shape + t), "v%d-%d" % (g, t)) for t in range(shape % 4 + 1)]
        if g % 7 == 0:  # the same keys in another order, one of them twice (the later wins)
            tags = tags[::-1] + [(tags[-1][0], "again%d" % g)]
        contents = [("msg", "m" * (g % 41)), ("__tag__:k%d" % shape, "content loses")]
        if g % 3:
            contents.append(("n", str(g)))
        logs = [dict(time=g, contents=contents[: 1 + i % 3]) for i in range(g % 4)]
        for i, log in enumerate(logs):
            if i % 2:
                log["time_ns"] = g
        group = dict(tags=tags, logs=logs)
        if g % 2:
            group["topic"] = "t%d" % g
        if g % 5 == 0:
            group["source"] = "s"
        groups.append(group)
    text = convert(make_batch(groups))
    assert len(json.loads(text)) == sum(g % 4 for g in range(60))


# Keys that agree in their first eight bytes or more, or differ only by trailing NULs, and
# keys that meet the group's own.
CLOSE_KEYS = ["ab", "ab\x00", "ab\x00\x00", "ab\x01", "abcdefgh", "abcdefgh\x00", "abcdefghi", "abcdefgha",
              "request_time", "request_uri", "request_", "request", "\xe9t\xe9", "\xe9t\xe9\xe9", "",
              "__time__", "__time__x", "__tag__:h", "__tag__:", "__topic__", "__source", "__time_ns__"]


# Group values that need escapes or lie beyond ASCII; the wide one only from a later group
# on, so that group entries rendered in Latin-1 before it must be rendered again after it.
GROUP_VALUES = ["x", 'a"b\\c', "\xe9t\xe9", "tab\there"]


@pytest.mark.parametrize("seed", range(4))
def test_logs_whose_key_sets_vary(seed):
    # Logs with key sets met for the first time are written as they are sorted; a key set
    # met again gets a layout that later logs reuse. Random subsets (with repeats) of keys
    # that agree in long prefixes give both, and more distinct key sets than are remembered.
    # Groups of many such logs reuse their entries as rendered for the first ones.
    import random
    rng = random.Random(seed)
    wide_from = [10, 25, 39, 99][seed]
    groups = []
    for g in range(40):
        logs = []
        for i in range(rng.randrange(1, 12)):
            keys = [rng.choice(CLOSE_KEYS) for _ in range(rng.randrange(0, 9))]
            if logs and rng.random() < 0.4:
                keys = [k for k, _ in logs[-1]["contents"]]  # the last log's keys again
            logs.append(dict(time=i, contents=[(k, "%s-%d" % (k, i)) for k in keys]))
            if rng.random() < 0.5:
                logs[-1]["time_ns"] = i
        values = GROUP_VALUES + (["\u4e2d\U0001f600"] if g >= wide_from else [])
        tags = [("h", rng.choice(values))] + [("z", rng.choice(values))] * (g % 2)
        group = dict(tags=tags if g % 3 else [], logs=logs)
        if g % 2:
            group["topic"] = rng.choice(values)
        if g % 5:
            group["source"] = rng.choice(values)
        groups.append(group)
    convert(make_batch(groups))


@pytest.mark.parametrize("tag_key", ["k", "kk", "kkk"])
def test_group_entries_rendered_up_to_the_end_of_their_room(tag_key):
    # The second log of a new key set in a group gets the group's entries rendered once, into
    # room for them escaped at worst: with the tag key "k" or "kk" that room fits the smallest
    # buffer there is, 64 bytes, and the short topic comes last, where a 16-byte move of it
    # would end past the room (the sanitized run of the suite checks it stays within). The
    # next group makes the input go on for sixteen bytes after the topic.
    groups = [dict(topic="t", tags=[(tag_key, "")],
                   logs=[dict(time_ns=1, contents=[("a", "1")]), dict(time_ns=2, contents=[("b", "2")])]),
              dict(topic="next group", logs=[dict(contents=[("c", "3" * 20)])])]
    convert(make_batch(groups))


@pytest.mark.parametrize("count", [12, 40, 300, 1100])
def test_more_shapes_than_are_kept(count):
    # Few shapes are looked up in turn, more by hash, and beyond a limit the remembered
    # ones are dropped and made anew; shapes that hash alike must still be told apart.
    convert(make_batch(many_shapes(count)))


@pytest.mark.parametrize("count", [20, 200])
def test_shapes_that_all_hash_alike(count):
    # Past a few dozen slots a lookup gives up and the shape is worked out anew: shapes
    # that collide must still be told apart, and found or made, never mixed up.
    convert(make_batch(colliding_shapes(count)))


@pytest.mark.parametrize("seed", range(3))
def test_groups_whose_tag_keys_vary(seed):
    # Groups with random tag keys (in any order, some twice: the later stays) take a new
    # layout most of the time; contents collide with reserved and tag keys, topic and
    # source come and go, and groups hold one to three logs of the same or other keys.
    import random
    rng = random.Random(seed)
    tag_keys = ["h", "h\x00", "zone", "a" * 9, "a" * 8, "\xe9", "", "__time__", "x" * 20]
    content_keys = ["m", "__tag__:h", "__tag__:zone", "__source__", "__topic__", "__time__", "__time_ns__", "zz"]
    groups = []
    for g in range(80):
        tags = [(rng.choice(tag_keys), "t%d" % rng.randrange(5)) for _ in range(rng.randrange(0, 6))]
        keys = rng.sample(content_keys, rng.randrange(1, 4))
        logs = [dict(time=i, contents=[(k, "%s%d" % (k, g)) for k in (keys if rng.random() < 0.7 else keys[:1])])
                for i in range(rng.randrange(1, 4))]
        group = dict(tags=tags, logs=logs)
        if rng.random() < 0.5:
            group["topic"] = "p"
        if rng.random() < 0.5:
            group["source"] = "s%d" % rng.randrange(3)
        groups.append(group)
    convert(make_batch(groups))


@pytest.mark.parametrize("order", ["descending", "shuffled"])
def test_a_group_of_thousands_of_tags(order):
    # A group's tags are sorted once for its layout, whatever their number: equal keys
    # (here each key three times, apart) keep the last tag's value, also among keys that
    # share their first eight bytes.
    import random
    keys = ["tag-key-%05d" % i for i in range(4000)] * 3
    tags = [(k, "v%d" % i) for i, k in enumerate(keys)]
    if order == "descending":
        tags.reverse()
    else:
        random.Random(7).shuffle(tags)
    convert(make_batch([dict(topic="t", tags=tags, logs=[dict(time=1), dict(time=2, contents=[("m", "x")])])]))


@pytest.mark.parametrize("density", [0.1, 0.5, 0.9])
def test_latin1_text_in_blocks(density):
    # Text whose characters all lie below U+0100 is written one byte a character; characters
    # of two UTF-8 bytes at every density and place, across the ends of 16-byte blocks.
    import random
    rng = random.Random(int(density * 10))
    wide = ["\x80", "\xbf", "\xc0", "\xe9", "\xff", "\xa0"]
    values = ["".join(rng.choice(wide) if rng.random() < density else "a" for _ in range(n)) for n in range(90)]
    convert(make_batch([dict(topic=values[40], logs=[dict(contents=[("k%d" % i, v) for i, v in enumerate(values)])])]))


@pytest.mark.parametrize("plain", ["a", "\xe9", "\u20ac"])
def test_blocks_of_many_short_escapes(plain):
    # Sixteen-byte blocks whose bytes need a two-byte escape about half the time, in every
    # pattern, with a byte that needs \u00XX in some blocks; plain characters are ASCII or
    # lie beyond it (a Latin-1 text, or UTF-8 with multi-byte characters).
    import random
    rng = random.Random(len(plain.encode()))
    short = '"\\\b\t\n\f\r'
    values = []
    for n in range(40):
        blocks = ["".join(rng.choice(short) if rng.random() < 0.5 else plain for _ in range(16)) for _ in range(50)]
        if n % 4 == 0:
            blocks[rng.randrange(50)] = "\x01" + blocks[0][1:]
        values.append("".join(blocks)[n % 16:])
    convert(make_batch([dict(tags=[("t", values[0])], logs=[dict(contents=[("k%d" % i, v) for i, v in enumerate(values)])])]))


@pytest.mark.parametrize("alphabet", ['a"\\\n\x01', 'a"\x7f\xe9\xff\t', '\xe9"\u20ac\\\x1f', '"\U0001f600\r\\',
                                      'abcdefgh[0m \x1b', 'abcdefg\xe9 \x1b'])  # colour codes, a few a block
def test_texts_dense_with_characters_to_escape(alphabet):
    # Several characters that need care within sixteen bytes are written one by one; runs
    # of them alternate with plain runs, at every length, as values, keys and tags.
    import random
    rng = random.Random(len(alphabet))
    texts = ["".join(rng.choice(alphabet) if rng.random() < 0.7 else "b" * rng.randrange(1, 20)
                     for _ in range(n)) for n in range(0, 60)]
    logs = [dict(contents=[(t, t), ("v", t)]) for t in texts]
    convert(make_batch([dict(tags=[(texts[-1], texts[-2])], logs=logs)]))


@pytest.mark.parametrize("key_sets", [2, 17, 20])
@pytest.mark.parametrize("logs_per_group", [1, 2, 3])
def test_groups_with_equal_values_under_changing_keys(key_sets, logs_per_group):
    # Every group holds the same values, only the tag keys (and a topic that comes and goes)
    # change: text put together for one key set must never serve another, also when a
    # remembered key set is replaced by a new one.
    groups = []
    for g in range(3 * key_sets):
        keys = ["k%d" % ((g % key_sets) + t) for t in range(1 + g % key_sets % 3)]
        group = dict(tags=[(k, "v") for k in keys],
                     logs=[dict(time=1, contents=[("c", "x")]) for _ in range(logs_per_group)])
        if g % key_sets % 2:
            group["topic"] = "v"
        groups.append(group)
    convert(make_batch(groups))


def test_large_outputs_of_changing_sizes_in_turn():
    # Text buffers of a MiB and more are kept from one call to the next and cut to size;
    # every output must be exactly its own, whatever an earlier call left in the buffer.
    def batch(logs, fill):
        return make_batch([dict(topic="t", logs=[dict(time=i, contents=[("m", fill * 200)]) for i in range(logs)])])
    batches = [batch(6000, "a"), batch(3000, "b"), batch(9000, "c"), batch(3000, "d")]
    expected = [reference_json(b) for b in batches]
    assert all(2 * len(b.SerializeToString()) > 1 << 20 for b in batches)  # the room asked for
    for _ in range(2):
        for b, text in zip(batches, expected):
            assert convert(b) == text


def test_outputs_too_large_to_keep():
    # Room of more than 64 MiB is not kept for the next call but mapped afresh (in huge
    # pages where the system offers them) and unmapped at the end of each call.
    def batch(seed):
        values = [("%02d\t" % seed + os.urandom(512 << 10).hex())[:1 << 20] for _ in range(34)]
        return make_batch([dict(topic="big", logs=[dict(time=i, contents=[("v", v)]) for i, v in enumerate(values)])])
    batches = [batch(1), batch(2)]
    assert all(2 * len(b.SerializeToString()) > 64 << 20 for b in batches)  # the room asked for
    for b in batches + batches[:1]:
        convert(b)


def test_outputs_many_times_their_input():
    # Room for the text is first asked for from the input's size; a batch whose records
    # repeat forty tags each outgrows it many times over (small buffers copied, large ones
    # remapped), also when a buffer kept from the call before serves.
    tags = [("t%02d" % i, "value-%02d" % i) for i in range(40)]
    batch = make_batch([dict(topic="t", tags=tags, logs=[dict(time=i) for i in range(3000)])])
    data = batch.SerializeToString()
    expected = reference_json(batch)
    assert len(expected) > 40 * len(data) and len(expected) > 2 << 20
    for _ in range(3):
        assert convert(batch) == expected


@pytest.mark.parametrize("wide", ["\u0100", "\u20ac", "\U0001f600"])
@pytest.mark.parametrize("where", ["value", "tag", "key", "uuid"])
@pytest.mark.parametrize("one_byte, groups_before", [("\u00e9", 2), ("\u00e9", 300), ("e", 2), ("e", 300)])
def test_a_wide_character_after_one_byte_groups(wide, where, one_byte, groups_before):
    # Groups whose characters all fit in one byte are written that way until a group with a
    # wider character comes; everything written and remembered before must then widen (text
    # that is all ASCII stays as it is).
    e = one_byte

    def group(g, extra=""):
        desc = dict(topic="t" + e, tags=[("h%ste" % e, e * (g % 40))],
                    logs=[dict(time=g, contents=[("cl" + e, "caf%s %d" % (e, g)), ("n", "x" * (g % 23))])])
        if extra and where == "value":
            desc["logs"][0]["contents"][0] = ("cl" + e, extra)
        elif extra and where == "tag":
            desc["tags"] = [("h%ste" % e, extra)]
        elif extra and where == "key":
            desc["logs"][0]["contents"].append((extra, "v"))
        elif extra:
            desc["uuid"] = extra  # never written, but read and checked
        return desc
    groups = [group(g) for g in range(groups_before)]
    groups += [group(groups_before, "a" * 17 + wide), group(groups_before + 1), group(groups_before + 2)]
    text = convert(make_batch(groups))
    assert sys.getsizeof(text) == sys.getsizeof(reference_json(make_batch(groups)))
