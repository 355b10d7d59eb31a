/* Prints a volume's size and type, its value range and how many voxels are
   nonzero. Reads any single-band volume; values are shown as doubles.
   Usage: vrd_stats volume.vrd */
#include <vrd/vrd.h>

#include <stdlib.h>
#include <string.h>

static double valueAt(const unsigned char *p, int32_t dtype)
{
    switch (dtype) {
    case vrdUChar: return *p;
    case vrdChar: return (signed char)*p;
    case vrdUInt12:
    case vrdUInt16: { uint16_t v; memcpy(&v, p, 2); return v; }
    case vrdInt16:
    case vrdIntHU: { int16_t v; memcpy(&v, p, 2); return v; }
    case vrdUInt32: { uint32_t v; memcpy(&v, p, 4); return v; }
    case vrdInt32: { int32_t v; memcpy(&v, p, 4); return v; }
    case vrdDouble: { double v; memcpy(&v, p, 8); return v; }
    default: { float v; memcpy(&v, p, 4); return v; }
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: vrd_stats volume.vrd\n");
        return 2;
    }
    VrdHeader h;
    memset(&h, 0, sizeof h);
    FILE *in = vrdOpenRead(argv[1], &h);
    if (in == NULL) {
        fprintf(stderr, "vrd_stats: %s: %s\n", argv[1], vrdErrorMessages[vrdErrno]);
        return 1;
    }
    if (h.nbands != 1 || (int64_t)h.nx * h.ny > INT32_MAX) {
        fprintf(stderr, "vrd_stats: %s: only single-band volumes of moderate slice size\n", argv[1]);
        return 1;
    }
    int32_t size = vrdHeaderVoxelSize(&h), count = h.nx * h.ny;
    unsigned char *slice = malloc((size_t)size * (size_t)count);
    if (slice == NULL) {
        fprintf(stderr, "vrd_stats: %s: out of memory\n", argv[1]);
        return 1;
    }
    double lo = 0, hi = 0;
    long long nonzero = 0, seen = 0;
    int whole = 1;
    for (int32_t z = 0; z < h.nz; ++z) {
        whole &= ReadSliceDataN(in, slice, h.endian, size, count, h.compression);
        for (int32_t i = 0; i < count; ++i) {
            double v = valueAt(slice + (size_t)i * size, h.dtype);
            if (seen++ == 0 || v < lo)
                lo = v;
            if (seen == 1 || v > hi)
                hi = v;
            nonzero += v != 0;
        }
    }
    fclose(in);
    free(slice);
    printf("%s: %d x %d x %d voxels, %d-byte values, %s, range %g .. %g, %lld nonzero\n", argv[1], h.nx, h.ny,
           h.nz, size, h.compression == vrdCompZlib ? "zlib" : "raw", lo, hi, nonzero);
    return whole ? 0 : 1;
}
