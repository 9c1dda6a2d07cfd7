#!/usr/bin/env bash
# Rewrites the seed corpora in fuzz/corpus/ from independent writers
# (ImageMagick, libtiff's tiffcp, exiftool) and from the project's own writers
# (make_seeds: the whole-run field and the databases). Small images only:
# libFuzzer's default input size limit is the largest seed.
# Usage: fuzz/make_seeds.sh <fuzz build dir>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: fuzz/make_seeds.sh <fuzz build dir>}
corpus="$root/fuzz/corpus"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$corpus"/{fits,image,db,run}
rm -f "$corpus"/{fits,image,db,run}/*
"$build/make_seeds" "$corpus"

cd "$tmp"
convert -size 24x16 gradient:black-white -attenuate 0.3 +noise Gaussian -depth 8 gray.pgm
convert -size 24x16 gradient:navy-orange -attenuate 0.3 +noise Gaussian -depth 8 colour.ppm

# FITS: every BITPIX the reader takes, and three planes.
f="$corpus/fits"
convert gray.pgm -depth 16 "$f/i16.fits"
convert gray.pgm -depth 32 "$f/i32.fits"
convert gray.pgm -define quantum:format=floating-point -depth 32 "$f/f32.fits"
convert gray.pgm -define quantum:format=floating-point -depth 64 "$f/f64.fits"
convert colour.ppm -depth 16 "$f/rgb16.fits"

# JPEG, PNG, TIFF in the layouts the decoders distinguish.
i="$corpus/image"
convert gray.pgm -quality 80 "$i/gray.jpg"
convert colour.ppm -quality 80 "$i/colour.jpg"
convert colour.ppm -interlace JPEG "$i/progressive.jpg"
convert colour.ppm -colorspace CMYK "$i/cmyk.jpg"
convert colour.ppm -define jpeg:arithmetic-coding=true "$i/arithmetic.jpg" 2>/dev/null || true
cp "$i/colour.jpg" "$i/oriented.jpg"
exiftool -q -overwrite_original -n -Orientation=6 "$i/oriented.jpg"
convert gray.pgm "$i/gray.png"
convert gray.pgm -depth 1 "$i/gray1.png"
convert colour.ppm -colors 16 -type Palette "$i/palette.png"
convert colour.ppm -alpha set -depth 16 "PNG64:$i/rgba16.png"
convert colour.ppm -interlace PNG "$i/interlaced.png"
convert gray.pgm -transparent black "$i/trns.png"
cp "$i/gray.png" "$i/oriented.png"
exiftool -q -q -overwrite_original -n -Orientation=8 "$i/oriented.png"
convert gray.pgm -compress None "$i/gray.tif"
convert colour.ppm -depth 16 -compress LZW -define tiff:predictor=2 "$i/lzw16.tif"
convert colour.ppm -compress Zip "$i/deflate.tif"
convert gray.pgm -compress RLE "$i/packbits.tif"
convert colour.ppm -define tiff:tile-geometry=16x16 "$i/tiled.tif"
convert colour.ppm -interlace Plane "$i/planar.tif"
# ImageMagick reports a predictor tag it cannot set for float TIFF, but writes the file.
convert gray.pgm -define quantum:format=floating-point -depth 32 "$i/float.tif" 2>/dev/null ||
  [ -s "$i/float.tif" ]
convert gray.pgm -depth 32 "$i/u32.tif"
convert gray.pgm -endian MSB "$i/motorola.tif"
convert gray.pgm "TIFF64:$i/big.tif"
tiffcp -c none "$i/gray.tif" -o 3 "$i/oriented.tif" 2>/dev/null ||
  { cp "$i/gray.tif" "$i/oriented.tif"; exiftool -q -overwrite_original -n -Orientation=3 "$i/oriented.tif"; }
ls -l "$corpus"/* | awk 'NF > 5 { n++; s += $5 } END { printf "%d seeds, %d bytes\n", n, s }'
