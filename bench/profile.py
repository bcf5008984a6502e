"""Calls one module path on one benchmark batch in a loop, for a profiler to watch.

    .venv/bin/python bench/profile.py json_str access --calls 20
    valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.out \\
        .venv/bin/python bench/profile.py dict_ft wide --calls 2 --build-dir build/release
    callgrind_annotate --inclusive=yes /tmp/cg.out | head -40
    perf record -g --call-graph dwarf -o /tmp/perf.data .venv/bin/python bench/profile.py ...

--build-dir imports the module from the build folder (build/release keeps the unstripped
library, so profilers see function names; the copy installed in .venv is stripped).
The batch is read from the benchmark's cache (bench/results/tmp/), made first if missing.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("path", choices=["json_str", "lz4_json_str", "dict_ft", "dict_tf"])
    ap.add_argument("profile", choices=["access", "app", "wide", "tiny"])
    ap.add_argument("--size", choices=["large", "small"], default="large")
    ap.add_argument("--calls", type=int, default=20)
    ap.add_argument("--build-dir", help="import the module from this folder instead of the installed one")
    args = ap.parse_args()

    batch_file = None
    sys.path.insert(0, HERE)
    import workloads  # only for the cache path; the batch is made here only when missing
    batch_file = workloads.cache_path(args.profile, args.size)
    if not os.path.exists(batch_file):
        workloads.load(args.profile, args.size)
    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    import lz4.block
    import morvex_log_py_bindings
    from morvex_log_py_bindings import log_parser

    with open(batch_file, "rb") as f:
        data = f.read()
    comp = lz4.block.compress(data, store_size=False)
    raw = len(data)
    print(f"module from {morvex_log_py_bindings.__file__}; {args.calls} calls of {args.path} "
          f"on {args.profile}/{args.size} ({raw} bytes)", file=sys.stderr)
    for _ in range(args.calls):
        if args.path == "json_str":
            log_parser.logs_to_flat_json_str(data)
        elif args.path == "lz4_json_str":
            log_parser.lz4_logs_to_flat_json_str(comp, raw)
        elif args.path == "dict_ft":
            log_parser.lz4_logs_to_flat_json(comp, raw, False, True)
        else:
            log_parser.lz4_logs_to_flat_json(comp, raw, True, False)


if __name__ == "__main__":
    main()
