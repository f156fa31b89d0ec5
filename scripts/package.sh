#!/bin/sh
# Builds the Debian package: the three programs and the help pages in build/package
# (or $BUILD, e.g. an existing build tree; $BUILD_TYPE, default Release), then CPack.
# The package's dependencies come from dpkg-shlibdeps over the programs. Then the
# package is installed into a fresh root with its own package database, checked
# (files, desktop-file-validate, appstreamcli validate) and its program run.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD:-build/package}
# Only what the package holds is built: the tests are not needed for it.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$build" --parallel "${JOBS:-2}" --target vorlane7 vorlane7-thumbx vorlane7-cache vorlane7_help
(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/vorlane7_*.deb | head -n 1)
dpkg-deb --field "$deb" Package Version Depends
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The fresh root has none of the libraries; the host has them (checked below).
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" >/dev/null 2>&1
dpkg --root="$root" -L vorlane7 | grep -q '^/usr/bin/vorlane7$'
sh packaging/check-install.sh "$root" samples
# Every declared dependency is satisfied by the host's packages.
apt-get install --simulate "./$deb" >/dev/null
echo "package: $deb"
