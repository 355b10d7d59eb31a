"""tifffile's side of the TIFF tests (run by /usr/bin/python3).

stacks DIR: writes 20 x 35 x 3 stacks (x, y, pages) of every sample type
    in strips and tiles, both byte orders, classic and BigTIFF, each
    compression (LZW and PackBits through libtiff's tiffcp, which tifffile
    cannot write without imagecodecs), and files with ImageJ and resolution
    metadata. Prints one JSON line per file: file, dtype, values (hex of the
    little-endian values, x fastest), spacing ([x, y, z] or null), units.
describe FILE: one JSON line of what tifffile reads: dtype, shape, values,
    bigtiff, ImageJ spacing and unit, x and y resolution.
hostile DIR: writes damaged and unsupported files; prints one JSON line per
    file with the text its refusal must contain.
"""
import json
import os
import shutil
import struct
import subprocess
import sys

import numpy as np
import tifffile

NX, NY, NZ = 20, 35, 3
TYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "float64", "int64", "uint64"]


def noise(dtype, seed, shape=(NZ, NY, NX)):
    """Every bit pattern the type has, NaN payloads included."""
    dtype = np.dtype(dtype)
    count = int(np.prod(shape))
    raw = np.random.default_rng(seed).integers(0, 256, count * dtype.itemsize, dtype=np.uint8)
    return raw.view(dtype.newbyteorder("<")).reshape(shape).astype(dtype.newbyteorder("="))


def values_hex(array):
    return array.astype(array.dtype.newbyteorder("<")).tobytes().hex()


def line(**fields):
    print(json.dumps(fields))


def stacks(folder):
    for k, t in enumerate(TYPES):
        a = noise(t, k)
        ints = np.dtype(t).kind in "iu"
        variants = {
            "plain": dict(),
            "big": dict(byteorder=">", rowsperstrip=4),
            "tiled": dict(tile=(16, 16), compression="zlib", predictor=ints and np.dtype(t).itemsize < 8),
            "bigtiff": dict(bigtiff=True, compression=32946, rowsperstrip=8),
        }
        for name, options in variants.items():
            path = os.path.join(folder, f"{t}_{name}.tif")
            tifffile.imwrite(path, a, photometric="minisblack", **options)
            line(file=path, dtype=t, values=values_hex(a), spacing=None, units=None)
        if t in ("uint16", "float32") and shutil.which("tiffcp"):
            plain = os.path.join(folder, f"{t}_plain.tif")
            copies = {"lzw": ["-c", "lzw"], "packbits": ["-c", "packbits", "-r", "5"],
                      "lzwtiles": ["-c", "lzw", "-t", "-w", "16", "-l", "32"]}
            if ints:
                copies["lzwpredictor"] = ["-c", "lzw:2"]
            for name, args in copies.items():
                path = os.path.join(folder, f"{t}_{name}.tif")
                subprocess.run(["tiffcp", *args, plain, path], check=True)
                line(file=path, dtype=t, values=values_hex(a), spacing=None, units=None)

    def spaced(name, dtype, spacing, units, **options):
        a = noise(dtype, 99)
        path = os.path.join(folder, name)
        tifffile.imwrite(path, a, **options)
        line(file=path, dtype=dtype, values=values_hex(a), spacing=spacing, units=units)

    zyx = {"axes": "ZYX"}
    spaced("ij_um.tif", "float32", [0.5, 0.25, 2.5], "um", imagej=True, resolution=(2, 4),
           metadata=dict(zyx, spacing=2.5, unit="um"))
    spaced("ij_escaped.tif", "uint16", [0.1, 0.1, 0.3], "um", imagej=True, resolution=(10, 10),
           metadata=dict(zyx, spacing=0.3, unit="\\u00B5m"))
    spaced("ij_nm.tif", "uint8", [0.1, 0.1, 0.25], "um", imagej=True, resolution=(0.01, 0.01),
           metadata=dict(zyx, spacing=250, unit="nm"))
    # ImageJ's layout for stacks over 4 GiB: one directory, the images' values in one run.
    spaced("ij_one_directory.tif", "uint16", [0.5, 0.5, 3], "um", imagej=True, truncate=True, byteorder=">",
           resolution=(2, 2), metadata=dict(zyx, spacing=3, unit="um"))
    spaced("cm.tif", "int16", [1, 0.5, 1], "mm", photometric="minisblack", resolution=(10, 20),
           resolutionunit="CENTIMETER")
    spaced("inch.tif", "int16", [0.1, 0.1, 1], "mm", photometric="minisblack", resolution=(254, 254),
           resolutionunit="INCH")


def describe(path):
    with tifffile.TiffFile(path) as t:
        page = t.pages[0]
        a = t.asarray()
        ij = t.imagej_metadata or {}
        x, y = page.tags["XResolution"].value, page.tags["YResolution"].value
        line(dtype=a.dtype.name, shape=list(a.shape), values=values_hex(a), bigtiff=t.is_bigtiff,
             pages=len(t.pages), spacing=ij.get("spacing"), unit=ij.get("unit"),
             resolution=[x[0] / x[1], y[0] / y[1]], resolutionunit=int(page.tags["ResolutionUnit"].value))


def patch(path, fmt, offset, value):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack(fmt, value))


def hostile(folder):
    a = noise("uint16", 7)

    def stack(name, data=a, **options):
        path = os.path.join(folder, name)
        tifffile.imwrite(path, data, photometric="minisblack", **options)
        return path

    def tag(path, page, name):
        with tifffile.TiffFile(path) as t:
            return t.pages[page].tags[name]

    def refused(path, text, status=255):
        line(file=path, expect=text, status=status)

    p = stack("offset_past_end.tif")
    patch(p, "<I", tag(p, 1, "StripOffsets").valueoffset, 0x7FFFFFF0)
    refused(p, "page 2: strip 0 lies past the end of the file")

    # libtiff puts a byte count past the end of the file right from the page's size.
    p = stack("count_past_end.tif")
    patch(p, "<I", tag(p, 0, "StripByteCounts").valueoffset, 0xFFFFFFF0)
    refused(p, "", 0)

    p = stack("huge_width.tif")  # 1400 stored bytes announce 2^30 x 35 16-bit values
    patch(p, "<I", tag(p, 0, "ImageWidth").valueoffset, 1 << 30)
    refused(p, "page 1: strip 0 lies past the end of the file (75161927680 bytes at")

    p = stack("short_strip.tif", rowsperstrip=5)
    counts = tag(p, 0, "StripByteCounts")
    wide = counts.dtype == 4
    patch(p, "<I" if wide else "<H", counts.valueoffset + 3 * (4 if wide else 2), 100)
    refused(p, "page 1: strip 3 holds 100 bytes; it needs 200")

    p = stack("strip_missing.tif", rowsperstrip=5)
    patch(p, "<I", tag(p, 0, "ImageLength").valueoffset, 36)
    refused(p, "page 1: strip 7 has no data")

    p = stack("deflate_claim.tif", compression="zlib")  # one strip per page
    patch(p, "<I", tag(p, 0, "ImageLength").valueoffset, 1 << 24)
    patch(p, "<I", tag(p, 0, "RowsPerStrip").valueoffset, 1 << 24)
    refused(p, "deflate bytes cannot hold the 671088640 bytes it announces")

    p = stack("tiles_claim.tif", tile=(16, 16))
    patch(p, "<I", tag(p, 0, "ImageWidth").valueoffset, 16)
    patch(p, "<I", tag(p, 0, "ImageLength").valueoffset, 16)
    patch(p, "<I", tag(p, 0, "TileWidth").valueoffset, 1 << 20)
    patch(p, "<I", tag(p, 0, "TileLength").valueoffset, 1 << 20)
    refused(p, "page 1: ")

    p = stack("ifd_past_end.tif")
    patch(p, "<I", 4, 0x7FFFFFF0)
    refused(p, "")

    p = stack("ifd_loop.tif")
    with tifffile.TiffFile(p) as t:
        first, second = t.pages[0].offset, t.pages[1].offset
        entries = len(t.pages[1].tags)
    patch(p, "<I", second + 2 + 12 * entries, first)
    refused(p, "page 3: ")

    # A count far past the page's strips: libtiff reads the strips the page has.
    p = stack("offsets_count.tif", data=noise("uint16", 8, (NZ, 64, NX)), rowsperstrip=1)
    entry = tag(p, 0, "StripOffsets").offset
    patch(p, "<I", entry + 4, 0x0FFFFFFF)
    refused(p, "", 0)

    p = stack("corrupt_deflate.tif", compression="zlib")
    patch(p, "<Q", tag(p, 1, "StripOffsets").value[0] + 8, 0xFFFFFFFFFFFFFFFF)
    refused(p, "page 2: ", 1)

    p = os.path.join(folder, "sizes_differ.tif")
    with tifffile.TiffWriter(p) as w:
        w.write(a, photometric="minisblack")
        w.write(a[:, :10, :10], photometric="minisblack")
    refused(p, "page 4 is 10 x 10 uint16, page 1 is 20 x 35 uint16")

    p = os.path.join(folder, "types_differ.tif")
    with tifffile.TiffWriter(p) as w:
        w.write(a[0], photometric="minisblack")
        w.write(a[1].astype("float32"), photometric="minisblack")
    refused(p, "page 2 is 20 x 35 float32, page 1 is 20 x 35 uint16")

    p = os.path.join(folder, "rgb.tif")
    tifffile.imwrite(p, noise("uint8", 9, (NY, NX, 3)), photometric="rgb")
    refused(p, "page 1: 3 samples per pixel; greyscale pages (one sample) only")

    p = stack("lzma.tif", compression="lzma")
    refused(p, "page 1: LZMA compression is not supported")

    p = stack("truncated.tif")
    os.truncate(p, os.path.getsize(p) - 100)
    refused(p, "")

    p = os.path.join(folder, "text.tif")
    with open(p, "w") as f:
        f.write("not a picture\n")
    refused(p, "")


if __name__ == "__main__":
    {"stacks": stacks, "describe": describe, "hostile": hostile}[sys.argv[1]](sys.argv[2])
