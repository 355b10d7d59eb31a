#!/usr/bin/python3
"""Writes the hostile vrd files that bench/hostile.sh runs the programs on.

Usage: hostile_files.py DIR. Each file is small and announces far more
than it holds: repeated or huge transfer-function counts, huge slices over
empty or one-byte blocks; and a volume of 2,000,000 one-voxel slices."""
import struct
import sys
import zlib


def header(dims, dtype="vrdUChar", compression="zlib", extra=""):
    return ("P5\n1 1\n#!vrd 6.0\n#!endian vrdLittleEndian\n#!compression %s\n#!vdim %s\n#!vtype vrdCubic\n"
            "#!px 1.0\n#!nbands 1\n#!dtype %s\n#!units vrdUmm\n%s#!last\n255\n" % (compression, dims, dtype, extra)
            ).encode() + b"\0"


def block(payload):
    return struct.pack(">I", len(payload)) + payload


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main(out):
    one = block(zlib.compress(b"\1" * 8))
    # Transfer-function counts: the 16.6 KB and 320 KB files of repeated
    # counts at the old bound, the same at the new bound, and one count with
    # no values (616 bytes).
    for name, line, size in (("tfnum-repeated-16k", "#!tfnum 1048576\n", 16600),
                             ("tfnum-repeated-320k", "#!tfnum 1048576\n", 320000),
                             ("tfnum-4096-repeated-320k", "#!tfnum 4096\n", 320000)):
        write("%s/%s.vrd" % (out, name), header("4 2 1", extra=line * (size // len(line))) + one)
    write(out + "/tfnum-huge-616.vrd", header("4 2 1", extra="#!tfnum 1048576\n#!comment " + "x" * 400 + "\n") + one)
    write(out + "/tfnum-4096-empty.vrd", header("4 2 1", extra="#!tfnum 4096\n") + one)
    # 4096 x 4096 slices: the first whole, 1,999 blocks that give nothing
    # (empty, or the smallest zlib stream) or one byte each.
    n, nz = 4096, 2000
    first = block(zlib.compress(bytes(n * n)))
    dims = "%d %d %d" % (n, n, nz)
    write(out + "/huge-empty-blocks.vrd", header(dims) + first + block(b"") * (nz - 1))
    write(out + "/huge-tiny-streams.vrd", header(dims) + first + block(zlib.compress(b"")) * (nz - 1))
    write(out + "/huge-one-byte-streams.vrd",
          header(dims) + first + b"".join(block(zlib.compress(bytes([z % 251 + 1]))) for z in range(1, nz)))
    # Slices of 1 GiB over a few bytes (for vrdinfo, on a regular file and
    # through a pipe), and 256 MiB float slices in 746 bytes.
    write(out + "/giant-slices-pipe.vrd", header("32768 32768 380") + block(zlib.compress(b"")) * 380)
    write(out + "/giant-slices-746.vrd", header("16384 16384 16", "vrdFloat") + block(zlib.compress(b"")) * 16
          + b"\0" * (746 - len(header("16384 16384 16", "vrdFloat")) - 16 * 12))
    # 2,000,000 one-voxel float slices, raw and zlib.
    count = 2000000
    raw = b"".join(block(struct.pack("<f", float(z % 1000))) for z in range(count))
    write(out + "/thin-raw.vrd", header("1 1 %d" % count, "vrdFloat", "none") + raw)
    blocks = [block(zlib.compress(struct.pack("<f", float(v)))) for v in range(1000)]
    write(out + "/thin-zlib.vrd", header("1 1 %d" % count, "vrdFloat") + b"".join(blocks[z % 1000] for z in range(count)))


if __name__ == "__main__":
    main(sys.argv[1])
