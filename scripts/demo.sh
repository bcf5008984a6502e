#!/usr/bin/env bash
# Builds and installs the module into .venv (see setup.sh), makes a sample log batch and
# prints what the module makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python samples/demo.py "$@"
