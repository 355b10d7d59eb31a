#!/usr/bin/env bash
# vrd_threshold on a phantom: the same mask and count for one and for several
# threads, and a count that the library's plain reader (vrd_stats) confirms.
set -euo pipefail
phantom=$1 threshold=$2 stats=$3 dir=$4
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
"$phantom" in.vrd 40 36 24
one=$(VRD_THREADS=1 "$threshold" in.vrd one.vrd 20)
many=$(VRD_THREADS=3 "$threshold" in.vrd many.vrd 20)
cmp one.vrd many.vrd
[ "$one" = "$many" ] || { echo "counts differ: $one / $many"; exit 1; }
set_count=${one%% of *}
summary=$("$stats" one.vrd)
case "$summary" in
  *"1-byte values, zlib, range 0 .. 1, $set_count nonzero") ;;
  *) echo "mask of $one read back as: $summary"; exit 1 ;;
esac
[ "$set_count" -gt 0 ] && [ "$one" = "$set_count of 34560 voxels at or above 20" ]
