#!/usr/bin/env bash
# vrdconvert on small hostile files: what each costs against the bound that
# any input must keep (output at most 1032 x its bytes + 1 MiB, CPU under 2 s
# for an input under 1 MB). For each file: the input bytes (a detached
# header with its data file), exit status, output bytes, the bound (for a vrd
# output with its icon of nx x ny bytes besides), peak
# resident memory and user+system CPU (/usr/bin/time), each run capped at
# 20 s and a 4 GiB output. Usage: bench/hostile_convert.sh; BENCH_DIR sets
# where the files go (default a temporary directory, removed at the end).
set -uo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vrdconvert >/dev/null || exit 1
convert=$PWD/build/bin/vrdconvert
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/in"
cd "$dir"

# The files: vrd volumes written here block by block (a length, then the payload).
/usr/bin/python3 - <<'EOF'
import struct, zlib
def vrd(name, nx, ny, nz, dtype, compression, blocks):
    head = ("P5\n1 1\n#!vrd 6.0\n#!endian vrdLittleEndian\n#!compression %s\n#!vdim %d %d %d\n"
            "#!vtype vrdCubic\n#!px 1.0\n#!nbands 1\n#!dtype %s\n#!units vrdUmm\n#!last\n255\n"
            % (compression, nx, ny, nz, dtype)).encode() + b"\0"
    with open(name, "wb") as f:
        f.write(head)
        for b in blocks:
            f.write(struct.pack(">I", len(b)) + b)
slice0 = zlib.compress(bytes(4096 * 4096 * 4))
# The first slice whole, then 1999 empty blocks of 4096 x 4096 float slices.
vrd("in/empty-blocks.vrd", 4096, 4096, 2000, "vrdFloat", "zlib", [slice0] + [b""] * 1999)
# Tiny zlib streams: every block valid but only a few bytes of its slice.
vrd("in/tiny-streams.vrd", 4096, 4096, 2000, "vrdFloat", "zlib", [slice0] + [zlib.compress(b"\0")] * 1999)
def nhdr(name, fields, sizes="64 64 64", encoding="raw"):
    open("in/" + name, "w").write("NRRD0004\ntype: uchar\ndimension: 3\nsizes: %s\nencoding: %s\n%s\n"
                                  % (sizes, encoding, fields))
open("in/data.raw", "wb").write(bytes(64 * 64 * 64))
nhdr("passwd.nhdr", "data file: /etc/passwd", "1 1 1")
nhdr("up.nhdr", "data file: " + "../" * 32 + "etc/passwd", "1 1 1")
nhdr("zero.nhdr", "data file: /dev/zero", "65536 32768 1000")
nhdr("urandom.nhdr", "data file: /dev/urandom", "65536 32768 1000")
nhdr("fifo.nhdr", "data file: fifo.raw")
nhdr("stdin.nhdr", "data file: -")
nhdr("lineskip.nhdr", "data file: data.raw\nline skip: 1000000000000")
nhdr("byteskip.nhdr", "data file: data.raw\nbyte skip: 1000000000000000")
nhdr("gzskip.nhdr", "data file: data.raw\nbyte skip: 1000000000000000", encoding="gzip")
nii = bytearray(352)
struct.pack_into("<i", nii, 0, 348)
struct.pack_into("<8h", nii, 40, 3, 32767, 32767, 32767, 1, 1, 1, 1)
struct.pack_into("<hh", nii, 70, 16, 32)
struct.pack_into("<f", nii, 108, 352.0)
nii[344:348] = b"n+1\0"
open("in/huge.nii", "wb").write(bytes(nii) + bytes(100))
import gzip
open("in/huge.nii.gz", "wb").write(gzip.compress(bytes(nii) + bytes(1 << 20), 9))
struct.pack_into("<h", nii, 72, 8)
open("in/bitpix.nii", "wb").write(bytes(nii) + bytes(100))
open("in/claims.nrrd", "w").write("NRRD0004\ntype: double\ndimension: 3\nsizes: 32767 32767 32767\n"
                                  "endian: little\nencoding: ascii\n\n1 2 3\n")
EOF
mkfifo in/fifo.raw

printf '%-36s %8s %4s %12s %14s %9s %7s\n' file input exit output bound "peak RSS" CPU
one() { # name, input bytes, output name, arguments...
  local name=$1 bytes=$2 out=$3
  shift 3
  rm -f "$out"
  ( ulimit -f $((4 << 20)); exec timeout 20 /usr/bin/time -f '%M %U %S' -o time "$convert" "$@" ) \
    >/dev/null 2>err </dev/null
  local status=$?
  read -r kib user sys < <(tail -n 1 time) 2>/dev/null || { kib=0 user=0 sys=0; }
  local size=0
  [ -f "$out" ] && size=$(stat -c %s "$out")
  awk -v n="$name" -v i="$bytes" -v s=$status -v o=$size -v k="$kib" -v u="$user" -v y="$sys" -v e="${ICON:-0}" 'BEGIN {
    b = 1032 * i + 1048576 + e
    printf "%-36s %8d %4d %12d %14d %7.1f M %5.2f s%s\n", n, i, s, o, b, k / 1024, u + y, (o > b ? "  OVER" : "")}'
  sed 's/^/    /' err | head -3
}
size() { stat -L -c %s "$@" | awk '{s += $1} END {print s}'; }

for out in o.nii o.nii.gz o.nrrd o.raw; do
  one "empty-blocks.vrd -> $out" "$(size in/empty-blocks.vrd)" $out in/empty-blocks.vrd $out
done
icon=$((4096 * 4096))
ICON=$icon one "empty-blocks.vrd -> o.vrd" "$(size in/empty-blocks.vrd)" o.vrd in/empty-blocks.vrd o.vrd
ICON=$icon one "empty-blocks.vrd -> o.vrd (--raw)" "$(size in/empty-blocks.vrd)" o.vrd --raw in/empty-blocks.vrd o.vrd
one "tiny-streams.vrd -> o.nii" "$(size in/tiny-streams.vrd)" o.nii in/tiny-streams.vrd o.nii
ICON=$icon one "tiny-streams.vrd -> o.vrd" "$(size in/tiny-streams.vrd)" o.vrd in/tiny-streams.vrd o.vrd
mkfifo in/pipe.vrd
( cat in/empty-blocks.vrd >in/pipe.vrd & )
one "empty-blocks.vrd through a FIFO -> o.nii" "$(size in/empty-blocks.vrd)" o.nii in/pipe.vrd o.nii
( cat in/tiny-streams.vrd >in/pipe.vrd & )
one "tiny-streams.vrd through a FIFO -> o.nii.gz" "$(size in/tiny-streams.vrd)" o.nii.gz in/pipe.vrd o.nii.gz
one "passwd.nhdr -> o.nii" "$(size in/passwd.nhdr)" o.nii in/passwd.nhdr o.nii
one "up.nhdr -> o.nii" "$(size in/up.nhdr)" o.nii in/up.nhdr o.nii
one "zero.nhdr -> o.nii" "$(size in/zero.nhdr)" o.nii in/zero.nhdr o.nii
one "zero.nhdr -> o.nii (--data-anywhere)" "$(size in/zero.nhdr)" o.nii --data-anywhere in/zero.nhdr o.nii
one "urandom.nhdr -> o.nii (--data-anywhere)" "$(size in/urandom.nhdr)" o.nii --data-anywhere in/urandom.nhdr o.nii
one "fifo.nhdr -> o.nii" "$(size in/fifo.nhdr)" o.nii in/fifo.nhdr o.nii
one "stdin.nhdr -> o.nii" "$(size in/stdin.nhdr)" o.nii in/stdin.nhdr o.nii
one "lineskip.nhdr -> o.nii" "$(size in/lineskip.nhdr in/data.raw)" o.nii in/lineskip.nhdr o.nii
one "byteskip.nhdr -> o.nii" "$(size in/byteskip.nhdr in/data.raw)" o.nii in/byteskip.nhdr o.nii
one "gzskip.nhdr -> o.nii" "$(size in/gzskip.nhdr in/data.raw)" o.nii in/gzskip.nhdr o.nii
one "huge.nii -> o.nii" "$(size in/huge.nii)" o.nii in/huge.nii o.nii
one "huge.nii.gz -> o.nii" "$(size in/huge.nii.gz)" o.nii in/huge.nii.gz o.nii
one "bitpix.nii -> o.nii" "$(size in/bitpix.nii)" o.nii in/bitpix.nii o.nii
one "claims.nrrd -> o.nii" "$(size in/claims.nrrd)" o.nii in/claims.nrrd o.nii
# A FIFO as the input itself: a header claiming 16 MiB slices and nothing after it.
mkfifo in/pipe.nii
head -c 352 in/huge.nii >in/pipe-head
( cat in/pipe-head >in/pipe.nii & )
one "huge.nii header through a FIFO" 352 o.nii.gz in/pipe.nii o.nii.gz
