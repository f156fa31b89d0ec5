#!/usr/bin/env bash
# Makes the benchmark's test images: 12-megapixel (4000 x 3000) camera-like JPEGs of
# about 4 MB, with fractal colour, shapes and sensor-like noise (fixed seeds, so
# every run gets the same files).
#   bench/codec_make_images.sh [FOLDER [COUNT]]   default build/bench-images, 6 files
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/bench-images}
count=${2:-6}
mkdir -p "$out"
for i in $(seq 1 "$count"); do
    f="$out/camera-$i.jpg"
    [ -s "$f" ] && continue
    cx=$(( 800 + (i * 537) % 2400 ))
    cy=$(( 600 + (i * 311) % 1800 ))
    convert -seed "$i" -size 1000x750 plasma:fractal -resize 4000x3000! \
        -fill 'rgba(240,230,200,0.5)' -draw "circle $cx,$cy $((cx + 600)),$cy" \
        -fill 'rgba(10,30,60,0.4)' -draw "rectangle 300,$((cy / 2)) 1500,$((cy / 2 + 900))" \
        -attenuate 0.42 +noise Gaussian -alpha off -depth 8 \
        -quality 92 -sampling-factor 2x2 "$f"
done
ls -l "$out"
