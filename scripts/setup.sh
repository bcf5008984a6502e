#!/usr/bin/env bash
# Installs what the project needs, skipping what is already there: the Debian packages,
# a virtual environment in .venv with the Python packages, and the module built from
# this checkout. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(liblz4-dev pkg-config g++)
# Debian's own Python (installed under /usr, however python3 reaches it) takes its headers
# and its venv module from packages of their own; one installed otherwise (pyenv, a build
# from source) brings both.
if python3 -c 'import sys; sys.exit(sys.base_prefix != "/usr")'; then
    packages+=(python3-dev python3-venv)
fi
bash scripts/debian_packages.sh "${packages[@]}"

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt "$@"
# build/release keeps the CMake build between runs, so a second run only relinks.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C build-dir=build/release .
