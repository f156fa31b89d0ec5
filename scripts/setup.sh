#!/usr/bin/env bash
# Installs the Debian packages the project needs (as root), only those missing.
#   scripts/setup.sh          packages to build and run the browser
#   scripts/setup.sh --tests  also the tools the test suite compares against
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
want="build"
[ "${1:-}" = "--tests" ] && want="build|test"

mapfile -t pkgs < <(grep -E "^($want)[[:space:]]" "$here/debian-packages.txt" | awk '{print $2}')
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
