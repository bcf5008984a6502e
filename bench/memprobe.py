"""Peak memory of one module call, measured in a fresh process (run by bench/run.py).

    python bench/memprobe.py BATCH_FILE PATH

BATCH_FILE holds an encoded LogGroupList; PATH is json_str, lz4_json_str, dict_ft or
dict_tf. The input (and its LZ4 block) is made first; then the peak resident set size
is reset (/proc/self/clear_refs), the call runs, and the peak minus the resident size
before the call is the call's peak memory, held to a budget: input + 2x output for the
text paths, result + 2x expanded input for the dict path. Prints one JSON object.
"""

import gc
import json
import sys
import tracemalloc

import lz4.block

from morvex_log_py_bindings import log_parser

KIB = 1024


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * KIB
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident size
        return True
    except OSError:
        return False


def _deep_size(records):
    """sys.getsizeof summed over the list, its dicts, and their keys and values."""
    size = sys.getsizeof(records)
    for record in records:
        size += sys.getsizeof(record)
        for key, value in record.items():
            size += sys.getsizeof(key) + sys.getsizeof(value)
    return size


def main():
    batch_file, path = sys.argv[1], sys.argv[2]
    with open(batch_file, "rb") as f:
        data = f.read()
    raw = len(data)
    comp = lz4.block.compress(data, store_size=False)
    if path == "json_str":
        call = lambda: log_parser.logs_to_flat_json_str(data)  # noqa: E731
    elif path == "lz4_json_str":
        call = lambda: log_parser.lz4_logs_to_flat_json_str(comp, raw)  # noqa: E731
    elif path in ("dict_ft", "dict_tf"):
        flags = (False, True) if path == "dict_ft" else (True, False)
        call = lambda: log_parser.lz4_logs_to_flat_json(comp, raw, *flags)  # noqa: E731
    else:
        raise SystemExit(f"unknown path {path}")
    if path != "json_str":
        del data  # the compressed paths only need the block

    gc.collect()
    gc.disable()
    rss_before = _status("VmRSS")
    method = "clear_refs"
    if not _reset_peak():
        import resource
        method = "ru_maxrss"  # peak over the process's life: an upper bound
    result = call()
    if method == "clear_refs":
        peak = _status("VmHWM")
    else:
        import resource
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * KIB
    out = {"path": path, "method": method, "rss_before": rss_before, "peak_rss": peak,
           "peak_delta": max(0, peak - rss_before), "input_raw": raw, "input_compressed": len(comp)}
    if path.startswith("dict"):
        out["records"] = len(result)
        out["result_getsizeof"] = _deep_size(result)
        del result
        gc.collect()
        tracemalloc.start()
        result = call()
        out["result_tracemalloc"] = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        # The dict path: the result plus twice the expanded batch.
        out["budget"] = out["result_tracemalloc"] + 2 * raw
    else:
        out["output_str_size"] = sys.getsizeof(result)
        out["output_utf8"] = len(result.encode("utf-8"))
        out["output_chars"] = len(result)
        # The text paths: the batch (expanded, for the LZ4 path) plus twice the returned str.
        out["budget"] = raw + 2 * out["output_str_size"]
    print(json.dumps(out))


if __name__ == "__main__":
    main()
