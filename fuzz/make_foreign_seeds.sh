#!/usr/bin/env bash
# Writes the seed corpus of fuzz_foreign: NIfTI-1, NIfTI-2 and NRRD files
# that vrdconvert writes from small volumes of several types and grids, NRRD
# files teem's unu re-encodes (big-endian, raw, ascii) or joins into 4-D
# files, an NRRD file placed in LPS space, and 4-D NIfTI-1 and -2 files with
# a qform and an sform that nibabel writes, each behind the target's
# selector byte (0 NIfTI, 1 NRRD; 0x80/0x81 plus 0x20 times the volume for a
# 4-D file's volume).
# Usage: fuzz/make_foreign_seeds.sh [BIN] [OUTDIR]   (defaults build/bin, fuzz/corpus/foreign)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin} out=${2:-fuzz/corpus/foreign}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
seed() { # selector (hex) file
  printf "\\x$(printf %02x $((16#$1)))" | cat - "$2" >"$tmp/seed"
  cp "$tmp/seed" "$out/$(sha1sum "$tmp/seed" | cut -c1-40)"
}
"$bin/vrd_phantom" "$tmp/p.vrd" 6 5 4
for t in uint8:1 int16:2 float32:4 float64:8; do
  type=${t%:*}
  head -c $((6 * 5 * 4 * ${t#*:})) /dev/urandom >"$tmp/$type.raw"
  "$bin/vrdconvert" --size 6 5 4 --type $type "$tmp/$type.raw" "$tmp/$type.vrd" 2>/dev/null
done
for v in "$tmp"/*.vrd; do
  name=$(basename "$v" .vrd)
  "$bin/vrdconvert" "$v" "$tmp/$name.nii" 2>/dev/null
  "$bin/vrdconvert" "$v" "$tmp/$name.nii.gz" 2>/dev/null
  "$bin/vrdconvert" "$v" "$tmp/$name.nrrd" 2>/dev/null
  "$bin/vrdconvert" --encoding raw "$v" "$tmp/$name-raw.nrrd" 2>/dev/null
  "$bin/vrdconvert" --nifti2 "$v" "$tmp/$name-2.nii" 2>/dev/null
  seed 0 "$tmp/$name.nii"; seed 0 "$tmp/$name.nii.gz"; seed 1 "$tmp/$name.nrrd"; seed 1 "$tmp/$name-raw.nrrd"
  seed 0 "$tmp/$name-2.nii"
done
printf 'NRRD0005\ntype: uchar\ndimension: 4\nsizes: 3 2 2 2\nspace: left-posterior-superior\nspace directions: (0,0.5,0) (-0.25,0,0) (0,0,2.5) none\nkinds: space space space list\nspace origin: (10,-20,30.5)\nencoding: raw\n\n' >"$tmp/lps.nrrd"
head -c 24 /dev/urandom >>"$tmp/lps.nrrd"
seed 81 "$tmp/lps.nrrd"; seed a1 "$tmp/lps.nrrd"
if [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import nibabel' 2>/dev/null; then
  for version in 1 2; do
    /usr/bin/python3 tests/convert/nib.py write4d "$tmp/4d-$version.nii" int16 2 $version >/dev/null
    /usr/bin/python3 tests/convert/nib.py write4d "$tmp/4d-$version.nii.gz" float32 2 $version '>' >/dev/null
    seed 80 "$tmp/4d-$version.nii"; seed a0 "$tmp/4d-$version.nii.gz"; seed 0 "$tmp/4d-$version.nii"
  done
fi
if command -v teem-unu >/dev/null; then
  for e in "-e raw -en big" "-e ascii" "-e gzip -en big"; do
    teem-unu save -f nrrd $e -i "$tmp/p.nrrd" -o "$tmp/unu.nrrd"
    # unu's two preamble comment lines are dropped by the reader anyway.
    sed -i -e '/^# Complete NRRD/d' -e '/^# http:\/\/teem/d' "$tmp/unu.nrrd"
    seed 1 "$tmp/unu.nrrd"
  done
  "$bin/vrdconvert" --encoding raw "$tmp/uint8.vrd" "$tmp/one.nrrd" 2>/dev/null
  teem-unu join -i "$tmp/one.nrrd" "$tmp/one.nrrd" -a 3 -incr -o "$tmp/last.nrrd"
  teem-unu join -i "$tmp/one.nrrd" "$tmp/one.nrrd" -a 0 -incr -o "$tmp/first.nrrd"
  teem-unu save -f nrrd -e ascii -i "$tmp/first.nrrd" -o "$tmp/firsttext.nrrd"
  for f in last first firsttext; do
    sed -i -e '/^# Complete NRRD/d' -e '/^# http:\/\/teem/d' "$tmp/$f.nrrd"
    seed 81 "$tmp/$f.nrrd"; seed a1 "$tmp/$f.nrrd"
  done
fi
echo "seeds in $out: $(ls "$out" | wc -l)"
