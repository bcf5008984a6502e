#!/usr/bin/env bash
# Builds and installs the module into .venv (see setup.sh), adds the benchmark's own
# packages (bench/requirements.txt) and runs the benchmark; results go to bench/results/.
#   bash scripts/bench.sh                       # full run, 3 to 5 minutes on 2 cores
#   bash scripts/bench.sh --quick               # large access and app batches, 3 rounds
#   bash scripts/bench.sh --rounds 5 --profiles wide,tiny
#   bash scripts/bench.sh --no-setup --quick    # rerun without rebuilding the module
# Any other option is passed to bench/run.py (see: .venv/bin/python bench/run.py --help).
set -euo pipefail
cd "$(dirname "$0")/.."
args=()
setup=1
for arg in "$@"; do
    if [ "$arg" = "--no-setup" ]; then setup=0; else args+=("$arg"); fi
done
if [ "$setup" = 1 ] || [ ! -x .venv/bin/python ]; then
    bash scripts/setup.sh
fi
if ! .venv/bin/python -c "import orjson, matplotlib" 2>/dev/null; then
    .venv/bin/python -m pip install -q --disable-pip-version-check -r bench/requirements.txt
fi
exec .venv/bin/python bench/run.py "${args[@]}"
