#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (as root, or with sudo).
#   bash scripts/debian_packages.sh liblz4-dev pkg-config
set -euo pipefail
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing Debian packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
# sudo would drop a variable set before it, so env sets it for apt-get itself.
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
