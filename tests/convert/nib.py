"""nibabel's side of the NIfTI tests (run by /usr/bin/python3).

describe FILE: prints one JSON line: dtype, shape, zooms, space units,
    description and the values as little-endian bytes in file order (hex).
write FILE DTYPE SX SY SZ [>]: writes a 5 x 4 x 3 volume of DTYPE with
    those zooms, millimetres and a description ('>' for big-endian), and
    prints the values' hex the same way.
"""
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


if __name__ == "__main__":
    if sys.argv[1] == "describe":
        describe(sys.argv[2])
    else:
        write(sys.argv[2], sys.argv[3], [float(z) for z in sys.argv[4:7]], sys.argv[7:] == [">"])
