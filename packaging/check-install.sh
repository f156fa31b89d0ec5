#!/bin/sh
# Checks an installed tree: the files in their places, the desktop entry and the
# metainfo accepted by their validators, a MIME type in the desktop entry for every
# sample picture, and the installed program running from there.
#   check-install.sh ROOT SAMPLES   (ROOT holds usr/..., as `DESTDIR=ROOT cmake --install`
#                                    or `dpkg-deb -x` leave it)
set -eu
root=$1
samples=$2
id=org.vorlane7.Vorlane7
fail() { echo "check-install: $*" >&2; exit 1; }
for f in usr/bin/vorlane7 usr/bin/vorlane7-thumbx usr/bin/vorlane7-cache \
         usr/share/applications/$id.desktop usr/share/icons/hicolor/scalable/apps/$id.svg \
         usr/share/metainfo/$id.metainfo.xml usr/share/vorlane7/help/index.html \
         usr/share/doc/vorlane7/README.md; do
    [ -e "$root/$f" ] || fail "missing $f"
done
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry rejected"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null || fail "metainfo rejected"
mimes=$(sed -n 's/^MimeType=//p' "$root/usr/share/applications/$id.desktop")
for s in "$samples"/*; do
    case $s in *.sh|*.py) continue ;; esac
    m=$(file --mime-type -b "$s")
    [ "$m" = application/octet-stream ] && continue # no MIME type of its own (PhotoCD)
    case ";$mimes" in *";$m;"*) ;; *) fail "$(basename "$s"): $m is not in MimeType" ;; esac
done
out=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/vorlane7" --version) || fail "installed vorlane7 --version failed"
echo "$out" | grep -q '7\.' || fail "unexpected version text: $out"
echo "check-install: ok ($out)"
