#!/usr/bin/env bash
# Installs what is missing, builds the browser and starts it on samples/.
# Extra arguments go to the browser (for example a folder, or "/s").
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$top/build/release" --parallel
[ $# -eq 0 ] && set -- "$top/samples"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting under Xvfb (xvfb-run)."
    exec xvfb-run -a -s "-screen 0 1600x1000x24" "$top/build/release/vorlane7" "$@"
fi
exec "$top/build/release/vorlane7" "$@"
