"""Windows a volume file as volmap does, slice range by slice range, so that
only one range of slices is in memory at a time, and writes the result with
the input's header (float32 slices, the middle one as the icon).

    python3 window_lazily.py IN.vrd OUT.vrd MIN MID1 MID2 MAX [SLICES_PER_RANGE]
"""
import sys

import vrd


def main(argv):
    if len(argv) not in (7, 8):
        sys.exit(__doc__)
    source, target = argv[1], argv[2]
    low, mid1, mid2, high = (float(v) for v in argv[3:7])
    step = int(argv[7]) if len(argv) == 8 else 32
    with vrd.open(source) as volume, vrd.Writer(target, volume.shape, "float32", header=volume.header) as out:
        nz, middle = len(volume), len(volume) // 2
        for z0 in range(0, nz, step):
            part = vrd.window(volume[z0:z0 + step], low, mid1, mid2, high)  # reads only these blocks
            out.write_slices(part)
            if z0 <= middle < z0 + step:
                out.set_preview(part[middle - z0])


if __name__ == "__main__":
    main(sys.argv)
