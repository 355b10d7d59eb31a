#!/usr/bin/env bash
# Builds the toolkit, makes two sample volumes, runs the programs on them,
# inspects and checks the results and converts one of them to NIfTI.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target volmap volcmp vrdinfo vrdconvert vrdview vrd_phantom vrd_stats >/dev/null
bin=build/bin
mkdir -p out

# A phantom (sphere of 40 in a cylinder of 15), and a copy of it in which an
# 8 x 8 x 4 cube at the centre holds 25: the two differ in 256 voxels.
$bin/vrd_phantom out/phantom.vrd 128 128 64
$bin/vrd_phantom --lesion out/lesion.vrd 128 128 64
echo "made   $($bin/vrd_stats out/phantom.vrd)"
echo "made   $($bin/vrd_stats out/lesion.vrd)"

# Window 0..10 rising, 1 from 10 to 20, falling to 0 at 40: the cylinder
# (15) maps to 1, the sphere (40) to 0.
$bin/volmap out/phantom.vrd out/windowed.vrd 0 10 20 40
echo "volmap $($bin/vrd_stats out/windowed.vrd)"
# Every output is also a PNM image whose picture is its middle slice.
convert out/windowed.vrd out/windowed.png
echo "icon   out/windowed.png: the middle slice of out/windowed.vrd as a picture"

# Where the two volumes differ: 100 x the larger value, 0 elsewhere.
$bin/volcmp out/phantom.vrd out/lesion.vrd - - out/difference.vrd
echo "volcmp $($bin/vrd_stats out/difference.vrd)"

# What the windowed volume holds, and every file checked block by block.
$bin/vrdinfo out/windowed.vrd
$bin/vrdinfo out/*.vrd | grep -E '^out/[^ ]+: '

# The windowed volume as NIfTI, for the viewers and pipelines that read it.
$bin/vrdconvert out/windowed.vrd out/windowed.nii.gz
echo "vrdconvert out/windowed.nii.gz: $(stat -c %s out/windowed.nii.gz) bytes, NIfTI-1 with the same spacing"
# Look through them in the browser and choose a window there (Ctrl-C stops it).
echo "view   $bin/vrdview out/phantom.vrd out/lesion.vrd   # the phantom, its difference to the lesion copy, volmap's window"
echo "files are in $(pwd)/out; each .vrd is also a PNM image any viewer opens, showing its middle slice"
