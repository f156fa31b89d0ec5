#!/usr/bin/env bash
# Makes the sample images shown by the run command: one or more files in every
# format the browser reads, at different sizes, with photographic-looking content
# (fractal plasma from a fixed seed, softened, with a few shapes on top).
# Needs ImageMagick, exiftool and Python 3 (Debian: imagemagick,
# libimage-exiftool-perl, python3), and the encoders of the newer formats
# (Debian: webp, libheif-examples, libavif-bin, libjxl-tools).
# The results are committed, so running the browser needs neither.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# scene NAME WIDTH HEIGHT SEED: a synthetic photograph as a lossless PNG in $tmp.
scene() {
    local name=$1 w=$2 h=$3 seed=$4
    local r=$(( (w < h ? w : h) / 5 ))
    convert -seed "$seed" -size "${w}x${h}" plasma:fractal -blur 0x2 \
        -fill 'rgba(250,240,200,0.55)' -draw "circle $((w * 2 / 3)),$((h / 3)) $((w * 2 / 3 + r)),$((h / 3))" \
        -fill 'rgba(20,40,90,0.45)' -draw "rectangle $((w / 10)),$((h * 3 / 5)) $((w * 2 / 5)),$((h * 9 / 10))" \
        -attenuate 0.4 +noise Gaussian \
        -alpha off -depth 8 "$tmp/$name.png"
}

scene a 1600 1200 11
scene b 560 420 12
scene c 480 360 13
scene d 400 300 14
scene e 360 270 15
scene f 440 330 16
scene g 600 800 17
scene h 320 240 18
scene p 768 512 19
scene w 640 480 20
scene k 1024 768 21
scene v 800 600 22
scene x 720 540 23
scene q 800 600 24

convert "$tmp/a.png" -quality 85 -sampling-factor 2x2 landscape.jpg
# A portrait photo stored sideways, as cameras do, with EXIF orientation 6
# (turn 90 degrees clockwise to show it upright).
convert "$tmp/g.png" -rotate -90 -quality 85 -sampling-factor 2x2 portrait-exif6.jpg
exiftool -q -n -Orientation=6 -overwrite_original portrait-exif6.jpg
convert "$tmp/b.png" -strip png24:meadow.png
convert "$tmp/c.png" -colors 256 gif:harbour.gif
convert "$tmp/d.png" -colors 256 -type palette bmp3:dunes-8bit.bmp
convert "$tmp/h.png" -type truecolor bmp3:forest-24bit.bmp
convert "$tmp/e.png" -colors 256 -type palette pcx:sunset.pcx
convert "$tmp/f.png" -compress lzw tif:glacier.tif
# PhotoCD holds 768 x 512 and its smaller resolutions, in PhotoYCC. ImageMagick's
# own PCD writer stores luma on its private curve, so our script writes the pack.
convert "$tmp/p.png" -resize '768x512!' "$tmp/pcd2.ppm"
convert "$tmp/pcd2.ppm" -resize 384x256 "$tmp/pcd1.ppm"
convert "$tmp/pcd2.ppm" -resize 192x128 "$tmp/pcd0.ppm"
./make-photocd.py "$tmp/pcd0.ppm" "$tmp/pcd1.ppm" "$tmp/pcd2.ppm" kodak.pcd

# The newer formats, each from its own reference encoder. The HEIC file carries a
# 320-pixel thumbnail image, as phone photos do.
cwebp -quiet -q 80 "$tmp/w.png" -o lakeside.webp
heif-enc -q 45 -t 320 "$tmp/k.png" -o canyon.heic >/dev/null
avifenc -s 6 --min 18 --max 28 "$tmp/v.png" valley.avif >/dev/null
# From PPM: the encoder would take the PNG's gamma note as the picture's curve.
convert "$tmp/x.png" "$tmp/x.ppm"
cjxl "$tmp/x.ppm" reef.jxl -d 1.5 >/dev/null 2>&1
# A photo in Display P3, as phones take them: the sRGB scene turned into P3 and
# tagged with that profile, with a saturated red square. Shown without its profile
# it looks dull; shown right it matches the scene.
./make-p3-profile.py "$tmp/p3.icc"
./make-p3-profile.py "$tmp/srgb.icc" --srgb
convert "$tmp/q.png" -fill 'rgb(225,30,30)' -draw "rectangle 40,40 240,240" \
    -profile "$tmp/srgb.icc" -profile "$tmp/p3.icc" \
    -quality 90 -sampling-factor 2x2 poppies-p3.jpg

ls -l
du -ch -- *.jpg *.png *.gif *.bmp *.pcx *.tif *.pcd *.webp *.heic *.avif *.jxl | tail -n 1
