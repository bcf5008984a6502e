"""Concurrent calls from several threads, and the interpreter lock released during the work."""

import gc
import json
import os
import random
import sys
import threading
import time

import lz4.block
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples"))
import log_schema  # noqa: E402
from morvex_log_py_bindings import PanicException, log_parser as lp  # noqa: E402


def group_bytes(index, n_logs, value_size=8):
    """One encoded `log_groups` element; a batch is a concatenation of these."""
    batch = log_schema.LogGroupList()
    group = batch.log_groups.add(topic="topic%d" % index, source="" if index % 2 else "src")
    group.log_tags.add(key="thread", value="t%d" % index)
    for i in range(n_logs):
        log = group.logs.add(time=index * 1000 + i)
        if i % 2:
            log.time_ns = i
        log.contents.add(key="msg", value="%d é 😀 \"q\" \\ " % i + "x" * value_size)
        log.contents.add(key="k%d" % (i % 3), value="v")
    return batch.SerializeToString()


def reference_text(data):
    records = log_schema.flatten_json_records(log_schema.LogGroupList.FromString(data))
    return json.dumps(records, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def reference_dicts(data, time_as_str, decode_utf8):
    return log_schema.flatten_dicts(log_schema.LogGroupListRaw.FromString(data), time_as_str, decode_utf8)


def mixed_cases():
    """(call, check) pairs over valid and invalid inputs of all three functions."""
    cases = []
    for index in range(4):
        data = b"".join(group_bytes(index * 10 + g, 5 + index * 7) for g in range(index + 1))
        block = lz4.block.compress(data, store_size=False)
        text = reference_text(data)
        cases.append((lambda d=data: lp.logs_to_flat_json_str(d), text))
        cases.append((lambda b=block, n=len(data): lp.lz4_logs_to_flat_json_str(b, n), text))
        for flags in [(False, False), (True, True), (True, False), (False, True)]:
            want = [list(d.items()) for d in reference_dicts(data, *flags)]
            cases.append((lambda b=block, n=len(data), f=flags: [list(d.items()) for d in
                                                                  lp.lz4_logs_to_flat_json(b, n, *f)], want))
        cases.append((lambda d=data: lp.logs_to_flat_json_str(d[:-1]), ValueError))
        cases.append((lambda b=block, n=len(data): lp.lz4_logs_to_flat_json_str(b, n - 1), PanicException))
        cases.append((lambda b=block: lp.lz4_logs_to_flat_json(b[:-2], 10**6, True, True), PanicException))
    bad = log_schema.LogGroupListRaw()
    bad.log_groups.add().logs.add().contents.add(key="k", value=b"\xe2\x82")
    bad_block = lz4.block.compress(bad.SerializeToString(), store_size=False)
    cases.append((lambda: lp.lz4_logs_to_flat_json(bad_block, 100, False, True), UnicodeDecodeError))
    cases.append((lambda: lp.lz4_logs_to_flat_json_str(bad_block, 100), ValueError))
    return cases


def calls_in_threads(cases, n_threads, calls):
    """Runs `calls` cases picked at random in each of `n_threads` threads started together;
    returns (case, wanted, got) for every call whose result, or exception type, differed."""
    barrier = threading.Barrier(n_threads)
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        order = [rng.randrange(len(cases)) for _ in range(calls)]
        barrier.wait()
        for i in order:
            call, want = cases[i]
            try:
                got = call()
            except (Exception, PanicException) as error:
                got = type(error)
            if got != want:
                failures.append((i, want, got))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


def test_threads_calling_at_once_all_get_correct_results():
    failures = calls_in_threads(mixed_cases(), 6, 300)
    assert not failures, failures[:3]


@pytest.fixture(scope="module")
def big_batch():
    """About 30 MB: 16 groups of 6000 logs."""
    data = b"".join(group_bytes(g, 6000, value_size=250) for g in range(16))
    assert len(data) > 25 * 2**20
    return data, lz4.block.compress(data, store_size=False)


CONVERSIONS = {
    "text": lambda data, block: lp.logs_to_flat_json_str(data),
    "lz4 text": lambda data, block: lp.lz4_logs_to_flat_json_str(block, len(data)),
    "dicts": lambda data, block: lp.lz4_logs_to_flat_json(block, len(data), False, False),
}


@pytest.mark.parametrize("name", CONVERSIONS)
def test_other_threads_run_during_a_large_conversion(big_batch, name):
    data, block = big_batch
    counter = [0]
    begin, stop = threading.Event(), threading.Event()

    def count():
        begin.wait()
        while not stop.is_set():
            counter[0] += 1
            if counter[0] % 1000 == 0:
                time.sleep(0)  # hands the lock back soon once the call wants it again

    # The switch interval is made so long that this thread is never made to hand the lock
    # over between its two reads of the counter: the counter can only move while the call
    # itself has released the lock.
    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    counting = threading.Thread(target=count)
    counting.start()
    try:
        begin.set()
        before = counter[0]
        result = CONVERSIONS[name](data, block)
        after = counter[0]
    finally:
        stop.set()
        sys.setswitchinterval(old)
        counting.join()
    records = len(result) if isinstance(result, list) else result.count('"__time__":')
    assert records == 16 * 6000
    assert after - before > 10_000, f"the other thread advanced only {after - before} times during the call"


def large_text_cases():
    """(call, text) pairs of batches whose text buffers (twice the input, from 256 KiB on)
    are kept from one call to the next, each of its own size."""
    cases = []
    for index, n_logs in enumerate([1000, 2500, 4000, 6000]):
        data = group_bytes(index, n_logs, value_size=100)
        assert 2 * len(data) > 256 << 10
        block = lz4.block.compress(data, store_size=False)
        text = reference_text(data)
        cases.append((lambda d=data: lp.logs_to_flat_json_str(d), text))
        cases.append((lambda b=block, n=len(data): lp.lz4_logs_to_flat_json_str(b, n), text))
    return cases


def test_threads_sharing_the_kept_text_buffer():
    # The text buffer released last is handed to the next call that fits in it, from any
    # thread: no buffer may ever serve two calls at once.
    failures = calls_in_threads(large_text_cases(), 4, 60)
    assert not failures, [case for case, _, _ in failures[:3]]  # (the texts are long)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # forking with threads running
def test_fork_while_other_threads_convert():
    # A child forked while other threads are in the middle of calls (and of handing text
    # buffers over) converts on its own: nothing the parent's threads held stays held.
    cases = large_text_cases()
    stop = threading.Event()
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            call, want = cases[rng.randrange(len(cases))]
            if call() != want:
                failures.append(want[:40])

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(2)]
    for t in threads:
        t.start()
    try:
        for round_ in range(20):
            pid = os.fork()
            if pid == 0:  # the child: every case once, then out without cleanup, whatever happens
                status = 1
                try:
                    status = 0 if all(call() == want for call, want in cases) else 1
                finally:
                    os._exit(status)
            deadline = time.monotonic() + 30
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    pytest.fail(f"child {round_} still running after 30 s")
                time.sleep(0.01)
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child {round_}: {status}"
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert not failures, failures[:3]


@pytest.mark.parametrize("flags", [(False, True), (True, False)])
def test_calls_from_the_collector_while_dicts_are_built(flags):
    """The cyclic collector may run while the module allocates the result's dicts (up to
    Python 3.11 it runs inside the allocation), and with it finalizers and `gc.callbacks`.
    Such code may call the module again, which releases the lock and lets another
    converting thread run: every call must get exact results, the interrupted one too."""
    outer = b"".join(group_bytes(i, 1 + i % 4) for i in range(300))
    inner = b"".join(group_bytes(i, 3) for i in range(1000, 1010))
    outer_block = lz4.block.compress(outer, store_size=False)
    inner_block = lz4.block.compress(inner, store_size=False)
    inner_dicts, inner_text = reference_dicts(inner, *flags), reference_text(inner)
    # "inside": calls from the collector inside the outer call, on its thread (the other
    # thread's allocations start collections too, and may run the finalizer).
    state = {"outer": False, "inside": 0}
    failures = []
    main = threading.get_ident()

    def inside_outer_call():
        return state["outer"] and threading.get_ident() == main

    def convert_inner():
        try:
            if lp.lz4_logs_to_flat_json(inner_block, len(inner), *flags) != inner_dicts:
                failures.append("inner dicts differ")
            if lp.logs_to_flat_json_str(inner) != inner_text:
                failures.append("inner text differs")
        except BaseException as exc:  # an exception here would only be printed
            failures.append(repr(exc))

    class Finalized:
        def __init__(self):
            self.cycle = self  # only the collector can free it

        def __del__(self):
            finalized.set()
            convert_inner()

    def after_collection(phase, info):
        if phase == "stop" and inside_outer_call() and state["inside"] < 40:
            state["inside"] += 1
            convert_inner()

    stop, converted, finalized = threading.Event(), threading.Event(), threading.Event()
    other_results = []

    def other_thread():
        while not stop.is_set():
            dicts = lp.lz4_logs_to_flat_json(inner_block, len(inner), *flags)
            other_results.append(dicts == inner_dicts)
            converted.set()

    results = []
    thread = threading.Thread(target=other_thread)
    thresholds, enabled = gc.get_threshold(), gc.isenabled()
    thread.start()
    try:
        Finalized()
        gc.enable()
        gc.set_threshold(1)
        gc.callbacks.append(after_collection)
        # A collection that the other thread has started (its finalizer may release the
        # lock) keeps this thread's allocations from collecting: call again until some
        # collection ran inside the call.
        for _ in range(20):
            state["outer"] = True
            results.append(lp.lz4_logs_to_flat_json(outer_block, len(outer), *flags))
            state["outer"] = False
            if state["inside"] > 1 or sys.version_info >= (3, 12):
                break
    finally:
        gc.callbacks.remove(after_collection)
        gc.set_threshold(*thresholds)
        if not enabled:
            gc.disable()
        converted.wait(60)  # the other thread has finished a call at least once
        stop.set()
        thread.join()
    gc.collect()
    assert failures == []
    expected = reference_dicts(outer, *flags)
    assert results and all(result == expected for result in results)
    assert other_results and all(other_results)
    assert finalized.is_set()
    if sys.version_info < (3, 12):
        assert state["inside"] > 1
