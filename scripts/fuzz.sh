#!/usr/bin/env bash
# Fuzzes the native core with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/fuzz.sh [SECONDS]     # each target runs SECONDS (default 60)
#
# Installs what is missing (clang, libclang-rt-dev, liblz4-dev, the Python packages in
# .venv), builds the targets with clang into build/fuzz, writes the seed corpus into
# build/fuzz/seeds and runs every target in turn. The corpus each run grows is kept in
# build/fuzz/corpus/TARGET, so later runs start from it. Any finding (crash, broken
# invariant, sanitizer report, leak, timeout, out-of-memory) fails the script; the input
# is saved as build/fuzz/artifacts/TARGET-*. Replay one with
#   build/fuzz/fuzz/TARGET build/fuzz/artifacts/TARGET-crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

bash scripts/debian_packages.sh clang libclang-rt-dev liblz4-dev pkg-config

# cmake, ninja, protobuf and lz4 come from the project's virtual environment.
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt

out=build/fuzz
.venv/bin/cmake -S . -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORVEX_BUILD_EXTENSION=OFF -DMORVEX_BUILD_FUZZERS=ON >/dev/null
.venv/bin/cmake --build "$out" -j 2

rm -rf "$out/seeds"
.venv/bin/python fuzz/make_corpus.py "$out/seeds"
mkdir -p "$out/artifacts" "$out/logs"

status=0
summary=()
for name in decode lz4 utf8; do
    target="fuzz_$name"
    corpus="$out/corpus/$name"
    log="$out/logs/$target.log"
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len=16384
             -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-")
    [ "$name" = decode ] && options+=(-dict=fuzz/decode.dict)
    echo "== $target for ${seconds}s"
    if "$out/fuzz/$target" "${options[@]}" "$corpus" "$out/seeds/$name" >"$log" 2>&1; then
        done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        per_sec=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
        cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
        ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
        corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$done_line")
        line="$target: ${runs} executions in ${seconds}s (${per_sec}/s), coverage ${cov} edges, ${ft} features, corpus ${corp}, peak RSS ${rss} MB"
        echo "$line"
        summary+=("$line")
    else
        echo "FINDING in $target (log: $log):"
        grep -v -E '^(INFO|#[0-9]+)' "$log" | tail -n 60
        status=1
    fi
done
printf '%s\n' "${summary[@]}" >"$out/summary.txt"
exit "$status"
