#!/usr/bin/env bash
# Builds and installs the module into .venv (see setup.sh), makes a sample log batch and
# prints what the module makes of it, then what the command-line tool morvex-log-flatten
# makes of the same batch written to files (plain and as an LZ4 block).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python samples/demo.py --write-dir build/demo
echo
echo "\$ morvex-log-flatten --jsonl build/demo/sample.pb"
.venv/bin/morvex-log-flatten --jsonl build/demo/sample.pb
echo
echo "\$ morvex-log-flatten --lz4 --raw-size 65536 -o build/demo/sample.json build/demo/sample.lz4"
.venv/bin/morvex-log-flatten --lz4 --raw-size 65536 -o build/demo/sample.json build/demo/sample.lz4
.venv/bin/morvex-log-flatten -o build/demo/plain.json build/demo/sample.pb
cmp build/demo/plain.json build/demo/sample.json
echo "build/demo/sample.json: the same records as the plain file, as one JSON array"
