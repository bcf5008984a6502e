#!/usr/bin/env bash
# Builds and installs the module into .venv (see setup.sh), then runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python -m pytest -q tests "$@"
