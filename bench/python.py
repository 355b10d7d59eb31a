"""Measurements of the Python package, one per call (each in a fresh process,
so that peak memory is its own):
  python.py read VRD              vrd.read: seconds, peak RSS MiB, array MiB
  python.py nibabel NII           nibabel np.asanyarray(img.dataobj): the same
  python.py slice VRD Z           vrd.open(p)[z]: seconds, bytes read (rchar),
                                  bytes of the length fields and the block
  python.py write VRD OUT DEFLATE vrd.write of the values of VRD: seconds, MB/s
                                  of array data, peak RSS MiB beyond the array"""
import resource
import sys
import time

import numpy as np


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def rchar():
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar"))


what = sys.argv[1]
if what == "nibabel":
    import nibabel
    start = time.perf_counter()
    volume = np.asanyarray(nibabel.load(sys.argv[2]).dataobj)
    print(f"{time.perf_counter() - start:.3f} {peak_mib():.0f} {volume.nbytes / 2**20:.0f}")
    sys.exit()

import vrd  # noqa: E402

if what == "read":
    start = time.perf_counter()
    header, volume = vrd.read(sys.argv[2])
    print(f"{time.perf_counter() - start:.3f} {peak_mib():.0f} {volume.nbytes / 2**20:.0f}")
elif what == "slice":
    z = int(sys.argv[3])
    before = rchar()
    start = time.perf_counter()
    with vrd.open(sys.argv[2]) as vol:
        s = vol[z]
        seconds = time.perf_counter() - start
        read = rchar() - before
        offsets = vol.block_offsets
    with open(sys.argv[2], "rb") as f:
        f.seek(int(offsets[z]))
        block = 4 + int.from_bytes(f.read(4), "big")
    print(f"{seconds * 1000:.1f} {read} {4 * len(offsets) + block}")
elif what == "write":
    header, volume = vrd.read(sys.argv[2])
    base = peak_mib()
    start = time.perf_counter()
    vrd.write(sys.argv[3], volume, header=header, deflate=sys.argv[4])
    seconds = time.perf_counter() - start
    print(f"{seconds:.3f} {volume.nbytes / seconds / 1e6:.0f} {max(peak_mib() - base, 0):.0f}")
