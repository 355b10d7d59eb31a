"""nibabel's side of the NIfTI tests (run by /usr/bin/python3).

describe FILE: prints one JSON line: dtype, shape, zooms, space units,
    description and the values as little-endian bytes in file order (hex).
write FILE DTYPE SX SY SZ [>]: writes a 5 x 4 x 3 volume of DTYPE with
    those zooms, millimetres and a description ('>' for big-endian), and
    prints the values' hex the same way.
write4d FILE DTYPE NT VERSION [>]: writes NT volumes of 5 x 4 x 3 as NIfTI-1
    or -2, with a rotated qform (scanner) and a sheared sform (aligned), and
    prints a JSON list of each volume's values in hex.
compare ORIG VOLUME OUT: prints one JSON line: whether OUT holds ORIG's
    volume VOLUME (-1: ORIG is 3-D) value for value, whether its affine, qform
    and zooms are ORIG's to float32 precision, OUT's codes and NIfTI version.
writeqform FILE: a 5 x 4 x 3 int16 volume placed by a rotated qform alone.
affine FILE: the 3 x 4 affine nibabel reads, as JSON.
datadir: the folder of nibabel's own test files.
"""
import os
import json
import sys

import nibabel as nib
import numpy as np


def values_hex(array):
    return array.astype(array.dtype.newbyteorder("<")).tobytes(order="F").hex()


def describe(path):
    img = nib.load(path)
    data = np.asanyarray(img.dataobj)
    header = img.header
    line = json.dumps({
        "dtype": str(header.get_data_dtype().newbyteorder("=").name),
        "shape": list(data.shape),
        "zooms": [float(z) for z in header.get_zooms()],
        "units": header.get_xyzt_units()[0],
        "descrip": header["descrip"].item().decode("utf-8", "replace"),
        "version": 2 if isinstance(header, nib.Nifti2Header) else 1,
        "values": values_hex(data),
    }, ensure_ascii=False)
    sys.stdout.buffer.write(line.encode("utf-8") + b"\n")


def write(path, dtype, zooms, big):
    count = 5 * 4 * 3
    ramp = np.arange(count, dtype=np.float64) * 37 % 101 - 50
    if np.dtype(dtype).kind == "f":
        ramp = ramp * 0.25
    array = ramp.astype(dtype).reshape((5, 4, 3), order="F")
    header = nib.Nifti1Header(endianness=">" if big else "<")
    img = nib.Nifti1Image(array, np.diag(zooms + [1.0]), header)
    img.header.set_zooms(zooms)
    img.header.set_xyzt_units("mm")
    img.header["descrip"] = b"made by nibabel"
    img.set_data_dtype(dtype)
    nib.save(img, path)
    print(values_hex(array))


def rotated():
    c, s = np.cos(0.3), np.sin(0.3)
    return np.array([[c, -s, 0, 10.5], [s, c, 0, -20.25], [0, 0, 1, 30], [0, 0, 0, 1]]) @ np.diag([0.5, 0.75, 2.5, 1])


def write4d(path, dtype, count, version, big):
    shape = (5, 4, 3) + ((count,) if count > 1 else ())
    ramp = np.arange(np.prod(shape), dtype=np.float64) * 37 % 101 - 50
    array = ramp.astype(dtype).reshape(shape, order="F")
    sheared = rotated()
    sheared[0, 2] += 0.125
    kind = nib.Nifti2Image if version == 2 else nib.Nifti1Image
    header = (nib.Nifti2Header if version == 2 else nib.Nifti1Header)(endianness=">" if big else "<")
    img = kind(array, None, header)
    img.set_qform(rotated(), "scanner")
    img.set_sform(sheared, "aligned")
    img.header.set_xyzt_units("mm")
    img.set_data_dtype(dtype)
    nib.save(img, path)
    volumes = [array] if count == 1 else [array[..., t] for t in range(count)]
    print(json.dumps([values_hex(v) for v in volumes]))


def close(a, b):
    scale = max(1.0, float(np.abs(a).max()))
    return bool(np.allclose(a, b, rtol=0, atol=4 * np.finfo(np.float32).eps * scale))


def compare(orig_path, volume, out_path):
    orig, out = nib.load(orig_path), nib.load(out_path)
    data = np.asanyarray(orig.dataobj)
    if volume >= 0:
        data = data[..., volume]
    got = np.asanyarray(out.dataobj)
    print(json.dumps({
        "values": bool(got.dtype.kind == data.dtype.kind and got.dtype.itemsize == data.dtype.itemsize
                       and np.array_equal(got, data)),
        "affine": close(orig.affine, out.affine),
        "qform": close(orig.header.get_qform(), out.header.get_qform()),
        "zooms": close(np.array(orig.header.get_zooms()[:3]), np.array(out.header.get_zooms()[:3])),
        "codes": [int(out.header["qform_code"]), int(out.header["sform_code"])],
        "version": 2 if isinstance(out.header, nib.Nifti2Header) else 1,
    }))


if __name__ == "__main__":
    if sys.argv[1] == "describe":
        describe(sys.argv[2])
    elif sys.argv[1] == "write4d":
        write4d(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), sys.argv[6:] == [">"])
    elif sys.argv[1] == "compare":
        compare(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    elif sys.argv[1] == "writeqform":
        img = nib.Nifti1Image(np.arange(60, dtype=np.int16).reshape((5, 4, 3)), None)
        img.set_qform(rotated(), "scanner")
        img.set_sform(None, 0)
        nib.save(img, sys.argv[2])
    elif sys.argv[1] == "affine":
        print(json.dumps((nib.load(sys.argv[2]).affine[:3] + 0.0).tolist()))
    elif sys.argv[1] == "datadir":
        print(os.path.join(os.path.dirname(nib.__file__), "tests", "data"))
    else:
        write(sys.argv[2], sys.argv[3], [float(z) for z in sys.argv[4:7]], sys.argv[7:] == [">"])
