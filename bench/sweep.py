"""Module speed on batches of unusual shapes, to find where it falls off a cliff.

    .venv/bin/python bench/sweep.py                      # every kind, about 4 MiB each
    .venv/bin/python bench/sweep.py --kinds churn,cjk --mib 1
    .venv/bin/python bench/sweep.py --build-dir build/release

The benchmark's four profiles are what the targets are checked on; these kinds stress
what they do not: logs that vary their keys (no plan is reused), many shapes coming back
in turn, long and numbered keys, empty values, dense escapes, wide text, many tags,
duplicate keys, one log per group, a few wide characters late in Latin-1 text, emoji
sprinkled over it, and two crafted kinds (keys that all hash alike, a tag key repeated
hundreds of times). Each module path's best time over a few calls is set
against the best time of its peer (the same peers as the benchmark, checked equal first):
P1 and P2 for the JSON text, P3 and pickle.loads for the dicts (False, True). With
--memory, the dict path's peak memory with both flag settings is measured as the
benchmark does (bench/memprobe.py in a fresh process) and given as a share of its budget,
the result plus twice the expanded input. Batches are generated from fixed seeds by the
protobuf package; only --memory writes them, to a temporary folder.
"""

import argparse
import gc
import json
import os
import pickle
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

KEYS = [f"field_{i}" for i in range(30)]
BASE_TIME = 1_733_600_000


def _churn(group, rng, g):
    # Each log its own keys: 3 to 12 of 30, in random order.
    group.topic = "t"
    for i in range(50):
        log = group.logs.add(time=BASE_TIME + i)
        for key in rng.sample(KEYS, rng.randrange(3, 12)):
            log.contents.add(key=key, value=str(rng.randrange(10**6)))


def _optional(group, rng, g):
    # Six keys always, eight more each present half of the time, in a fixed order.
    group.topic, group.source = "t", "s"
    for i in range(50):
        log = group.logs.add(time=BASE_TIME + i)
        for key in KEYS[:6]:
            log.contents.add(key=key, value="v%d" % rng.randrange(50))
        for key in KEYS[6:14]:
            if rng.random() < 0.5:
                log.contents.add(key=key, value="w%d" % rng.randrange(1000))


def _cycling(group, rng, g):
    # 150 shapes of 16 keys coming back in turn, values mostly repeated.
    group.topic, group.source = "t", "s"
    for t in range(4):
        group.log_tags.add(key=f"tag{t}", value=f"value-{t}")
    for i in range(50):
        log = group.logs.add(time=BASE_TIME + i // 10)
        for key in random.Random(rng.randrange(150)).sample(KEYS, 16):
            log.contents.add(key=key, value="constant value %d" % (rng.random() < 0.2))


def _long_keys(group, rng, g):
    group.topic = "k8s"
    for t in range(6):
        group.log_tags.add(key=f"kubernetes.pod.labels.app.example.com/label-{t}", value=f"value-{t}")
    for i in range(20):
        log = group.logs.add(time=BASE_TIME + i)
        for k in range(8):
            log.contents.add(key=f"kubernetes.container.resource.attribute.{k}", value="%d" % rng.randrange(100))


def _empty_values(group, rng, g):
    for i in range(100):
        log = group.logs.add(time=BASE_TIME + i)
        for key in KEYS[:10]:
            log.contents.add(key=key, value="" if rng.random() < 0.7 else "x")


def _short_values(group, rng, g):
    # Ten one-letter keys with values of two or three digits: a result many times its input.
    for i in range(100):
        log = group.logs.add(time=BASE_TIME + i)
        for key in "abcdefghij":
            log.contents.add(key=key, value="%0*d" % (2 + i % 2, rng.randrange(100 * 10 ** (i % 2))))


def _escapes(group, rng, g):
    # One long value a log, nearly a quarter of it quotes, backslashes and newlines.
    chunk = "".join(rng.choice('abcdefghij "\\\n') for _ in range(1000))
    group.logs.add(time=BASE_TIME).contents.add(key="body", value=chunk * 60)


def _cjk(group, rng, g):
    group.topic = "日志"
    for i in range(30):
        log = group.logs.add(time=BASE_TIME + i)
        text = "".join(chr(rng.randrange(0x4E00, 0x9FFF)) for _ in range(rng.randrange(10, 80)))
        log.contents.add(key="消息", value=text)
        log.contents.add(key="level", value="INFO")


def _latin(group, rng, g):
    for i in range(40):
        log = group.logs.add(time=BASE_TIME + i)
        text = rng.choice(["Grüße aus Köln", "café crème", "niño año", "plain ascii text here"])
        log.contents.add(key="msg", value=f"{text} {i}")
        log.contents.add(key="user", value=rng.choice(["Müller", "Dupont", "García"]))


def _late_wide(group, rng, g):
    # Latin-1 text as above, and from the 600th group on (about a third into a batch of
    # 4 MiB) a CJK character in one log of every fiftieth group.
    _latin(group, rng, g)
    if g >= 600 and g % 50 == 0:
        group.logs[0].contents[0].value += " 中"


def _sparse_emoji(group, rng, g):
    # Latin-1 text as above, and an emoji in one log of every tenth group.
    _latin(group, rng, g)
    if g % 10 == 0:
        group.logs[0].contents[0].value += " \U0001f600"


def _many_tags(group, rng, g):
    group.topic, group.source = "t", "s"
    for t in range(60):
        group.log_tags.add(key=f"tag{t}", value=f"value-{t}-{g}")
    for i in range(5):
        group.logs.add(time=BASE_TIME + i).contents.add(key="m", value=f"hello {i}")


def _duplicate_keys(group, rng, g):
    for i in range(40):
        log = group.logs.add(time=BASE_TIME + i)
        for key in ("a", "b", "a", "c", "b", "d"):
            log.contents.add(key=key, value=str(rng.randrange(1000)))


def _one_log(group, rng, g):
    group.topic, group.source = f"topic-{g % 50}", f"host-{g}"
    group.log_tags.add(key="path", value=f"/var/log/{g % 13}.log")
    log = group.logs.add(time=BASE_TIME + g)
    for key in ("level", "msg", "thread"):
        log.contents.add(key=key, value=f"{key}-{rng.randrange(100)}")


def _colliding_keys(group, rng, g):
    # Crafted: logs of 2,000 shapes whose keys share their size and first and last eight
    # bytes, all the module's cheap shape hash reads, so that every shape hashes alike.
    group.topic = "t"
    for i in range(50):
        log = group.logs.add(time=BASE_TIME + i)
        log.contents.add(key="prefix__%08d__suffix" % rng.randrange(2000), value="v")
        log.contents.add(key="x", value="y")


def _repeated_tags(group, rng, g):
    # Crafted: 300 tags of one key in a group whose logs change their keys.
    group.topic = "t"
    for t in range(300):
        group.log_tags.add(key="k", value=f"v{t}")
    for i in range(50):
        group.logs.add(time=BASE_TIME + i).contents.add(key=f"c{rng.randrange(100)}", value="x")


KINDS = {
    "churn": _churn, "optional": _optional, "cycling": _cycling, "long_keys": _long_keys,
    "empty_values": _empty_values, "short_values": _short_values, "escapes": _escapes, "cjk": _cjk, "latin": _latin,
    "late_wide": _late_wide, "sparse_emoji": _sparse_emoji,
    "many_tags": _many_tags, "duplicate_keys": _duplicate_keys, "one_log": _one_log,
    "colliding_keys": _colliding_keys, "repeated_tags": _repeated_tags,
}


def generate(kind, size, log_schema):
    rng = random.Random(kind)
    batch = log_schema.LogGroupList()
    g = 0
    while batch.ByteSize() < size:
        KINDS[kind](batch.log_groups.add(), rng, g)
        g += 1
    return batch.SerializeToString()


def best(fn, calls):
    times = []
    for _ in range(calls):
        gc.disable()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        gc.enable()
        del result
    return min(times)


def memory_shares(data, build_dir):
    """Peak memory of the dict path with each flag setting, as a share of its budget."""
    env = dict(os.environ)
    if build_dir:
        env["PYTHONPATH"] = os.path.abspath(build_dir) + os.pathsep + env.get("PYTHONPATH", "")
    shares = []
    with tempfile.TemporaryDirectory() as folder:
        batch_file = os.path.join(folder, "batch.pb")
        with open(batch_file, "wb") as f:
            f.write(data)
        for path in ("dict_ft", "dict_tf"):
            probe = subprocess.run([sys.executable, os.path.join(HERE, "memprobe.py"), batch_file, path],
                                   env=env, check=True, capture_output=True, text=True)
            m = json.loads(probe.stdout)
            shares.append(m["peak_delta"] / m["budget"])
    return shares


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--kinds", default=",".join(KINDS), help="comma-separated subset of " + ",".join(KINDS))
    ap.add_argument("--mib", type=float, default=4, help="protobuf size of each batch in MiB (default 4)")
    ap.add_argument("--build-dir", help="import the module from this folder instead of the installed one")
    ap.add_argument("--memory", action="store_true", help="also the dict path's peak memory (fresh processes)")
    args = ap.parse_args()
    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    import lz4.block
    import peers
    from workloads import log_schema
    from morvex_log_py_bindings import log_parser as lp

    print(f"{'kind':15s} {'MB':>4s} {'json ms':>8s} {'P1':>6s} {'P2':>6s} {'lz4 P1':>7s} "
          f"{'dict ms':>8s} {'P3':>5s} {'pickle':>6s}" + ("  memory (False, True) (True, False)" if args.memory else ""))
    for kind in args.kinds.split(","):
        if kind not in KINDS:
            ap.error(f"unknown kind {kind!r}")
        data = generate(kind, int(args.mib * 1024 * 1024), log_schema)
        comp, raw = lz4.block.compress(data, store_size=False), len(data)
        text = lp.logs_to_flat_json_str(data)

        def p1():
            return peers.p1_text(data)

        def p2():
            return peers.p2_text(data)

        def p3():
            return peers.p3_dicts(comp, raw, False, True)

        dicts = lp.lz4_logs_to_flat_json(comp, raw, False, True)
        if p1() != text or p3() != dicts:
            sys.exit(f"{kind}: a peer's output differs from the module's")
        pickled = pickle.dumps(dicts, protocol=pickle.HIGHEST_PROTOCOL)
        del dicts, text
        json_time = best(lambda: lp.logs_to_flat_json_str(data), 15)
        lz4_time = best(lambda: lp.lz4_logs_to_flat_json_str(comp, raw), 15)
        dict_time = best(lambda: lp.lz4_logs_to_flat_json(comp, raw, False, True), 7)
        p1_time, p2_time, p3_time = best(p1, 3), best(p2, 3), best(p3, 3)
        pickle_time = best(lambda: pickle.loads(pickled), 7)
        print(f"{kind:15s} {raw / 1e6:4.1f} {json_time * 1e3:8.2f} {p1_time / json_time:5.1f}x "
              f"{p2_time / json_time:5.1f}x {p1_time / lz4_time:6.1f}x {dict_time * 1e3:8.2f} "
              f"{p3_time / dict_time:4.1f}x {pickle_time / dict_time:5.2f}x", end="", flush=True)
        if args.memory:
            ft, tf = memory_shares(data, args.build_dir)
            print(f"  {ft:21.2f} {tf:13.2f}", end="")
        print(flush=True)


if __name__ == "__main__":
    main()
