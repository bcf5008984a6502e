#!/usr/bin/env bash
# Installs what the project needs, skipping what is already there: the Debian packages,
# a virtual environment in .venv with the Python packages, and the module built from
# this checkout. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for package in liblz4-dev pkg-config g++; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing Debian packages: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt "$@"
# build/release keeps the CMake build between runs, so a second run only relinks.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C build-dir=build/release .
