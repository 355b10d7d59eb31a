#!/usr/bin/env bash
# Writes the seed corpus of fuzz_foreign: NIfTI-1, NIfTI-2 and NRRD files
# that vrdconvert writes from small volumes of several types and grids, NRRD
# files teem's unu re-encodes (big-endian, raw, ascii) or joins into 4-D
# files, an NRRD file placed in LPS space, and 4-D NIfTI-1 and -2 files with
# a qform and an sform that nibabel writes, each behind the target's
# selector byte (0 NIfTI, 1 NRRD; 0x80/0x81 plus 0x20 times the volume for a
# 4-D file's volume).
# Usage: fuzz/make_foreign_seeds.sh [BIN] [OUTDIR]   (defaults build/bin, fuzz/corpus/foreign)
#        fuzz/make_foreign_seeds.sh nhdr_seeds OUTDIR  (the detached-header seeds alone)
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
# Headers that name a data file: the target writes its input as in.nrrd, so
# a header can take its data from itself past line or byte skips; the other
# names must be refused (elsewhere, devices, standard input, LIST forms).
# Repeated fields too. Usage alone: nhdr_seeds OUTDIR (no build needed).
nhdr_seeds() {
  local head='NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 1\n' f
  for f in 'encoding: raw\ndata file: in.nrrd\nline skip: 6\n' \
           'encoding: raw\ndata file: in.nrrd\nbyte skip: 12\n' \
           'encoding: raw\ndatafile: in.nrrd\nbyte skip: -1\n' \
           'encoding: ascii\ndata file: in.nrrd\nline skip: 7\n\n1 2\n3 4\n' \
           'encoding: gzip\ndata file: in.nrrd\nlineskip: 1\nbyteskip: 1000000000000000\n' \
           'encoding: raw\ndata file: in.nrrd\nline skip: 1000000000000\n' \
           'encoding: raw\ndata file: ./in.nrrd\n' \
           'encoding: raw\ndata file: ../in.nrrd\n' \
           'encoding: raw\ndata file: /etc/passwd\n' \
           'encoding: raw\ndata file: /dev/zero\n' \
           'encoding: raw\ndata file: -\n' \
           'encoding: raw\ndata file: LIST\nin.nrrd\n' \
           'encoding: raw\ndata file: in%%03d.raw 1 4 1\n' \
           'encoding: raw\ndata file: in.nrrd\ndata file: in.nii\n' \
           'encoding: raw\nencoding: raw\n\nABCD' \
           'encoding: raw\nline skip: 1\nline skip: 1\n\nABCD'; do
    printf "\\x01$head$f" >"$tmp/seed"
    cp "$tmp/seed" "$1/$(sha1sum "$tmp/seed" | cut -c1-40)"
  done
}
if [ "${1:-}" = nhdr_seeds ]; then nhdr_seeds "$2"; exit 0; fi

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
nhdr_seeds "$out"
seedT() { # file
  printf 'T' | cat - "$1" >"$tmp/seed"
  cp "$tmp/seed" "$out/$(sha1sum "$tmp/seed" | cut -c1-40)"
}
mkdir -p "$tmp/stacks" "$tmp/hostile"
/usr/bin/python3 tests/convert/tiffs.py stacks "$tmp/stacks" >/dev/null
/usr/bin/python3 tests/convert/tiffs.py hostile "$tmp/hostile" >/dev/null 2>&1
for f in uint8_plain int8_big int16_tiled uint16_bigtiff uint16_lzw uint16_packbits uint16_lzwtiles \
  uint16_lzwpredictor float32_tiled float64_big int64_plain ij_um ij_nm cm; do
  seedT "$tmp/stacks/$f.tif"
done
for f in "$tmp"/hostile/*.tif; do seedT "$f"; done
"$bin/vrdconvert" "$tmp/p.vrd" "$tmp/p.tif" 2>/dev/null
"$bin/vrdconvert" "$tmp/int16.vrd" "$tmp/int16.tif" 2>/dev/null
seedT "$tmp/p.tif"; seedT "$tmp/int16.tif"
echo "seeds in $out: $(ls "$out" | wc -l)"
