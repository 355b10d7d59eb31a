/* Writes a small synthetic phantom: a zlib-compressed vrdFloat volume of a
   bright sphere in a dimmer cylinder. With --lesion, a cube of 8 x 8 x 4
   voxels at the volume's centre holds 25 instead of 40, so two phantoms
   differ in exactly that region. Shows the library from C.
   Usage: vrd_phantom [--lesion] output.vrd [nx ny nz] */
#include <vrd/vrd.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    int lesion = 0;
    if (argc >= 2 && strcmp(argv[1], "--lesion") == 0) {
        lesion = 1;
        --argc;
        ++argv;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: vrd_phantom [--lesion] output.vrd [nx ny nz]\n");
        return 2;
    }
    int32_t nx = 64, ny = 64, nz = 32;
    if (argc >= 5) {
        nx = atoi(argv[2]);
        ny = atoi(argv[3]);
        nz = atoi(argv[4]);
    }
    if (nx <= 0 || ny <= 0 || nz <= 0 || nx > 4096 || ny > 4096) {
        fprintf(stderr, "%s: sizes must be 1..4096 by 1..4096 by at least 1\n", argv[0]);
        return 2;
    }

    VrdHeader h;
    memset(&h, 0, sizeof h);
    vrdClearHeader(&h);
    h.compression = vrdCompZlib;
    h.endian = vrdLittleEndian;
    h.nx = nx;
    h.ny = ny;
    h.nz = nz;
    h.vtype = vrdRegular;
    h.px = h.py = 0.5f;
    h.pz = 1.0f;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = vrdFloat;
    vrdAddHdrComment(&h, "synthetic phantom: sphere of 40 in a cylinder of 15");

    size_t count = (size_t)nx * (size_t)ny;
    unsigned char *icon = calloc(count, 1);
    float *slice = malloc(count * sizeof *slice);
    FILE *out = fopen(argv[1], "wb");
    if (icon == NULL || slice == NULL || out == NULL) {
        perror(argv[1]);
        return 1;
    }
    /* The icon shows the middle slice of the sphere. */
    for (int32_t y = 0; y < ny; ++y)
        for (int32_t x = 0; x < nx; ++x) {
            double dx = (x - nx / 2.0) / (nx / 2.0), dy = (y - ny / 2.0) / (ny / 2.0);
            double r = sqrt(dx * dx + dy * dy);
            icon[(size_t)y * nx + x] = r < 0.5 ? 255 : r < 0.9 ? 96 : 0;
        }
    writeVrdHeader(out, &h, icon, nx, ny);
    free(icon);

    int ok = 1;
    for (int32_t z = 0; z < nz; ++z) {
        for (int32_t y = 0; y < ny; ++y)
            for (int32_t x = 0; x < nx; ++x) {
                double dx = (x - nx / 2.0) / (nx / 2.0), dy = (y - ny / 2.0) / (ny / 2.0);
                double dz = (z - nz / 2.0) / (nz / 2.0);
                double rxy = sqrt(dx * dx + dy * dy), r = sqrt(rxy * rxy + dz * dz);
                float v = r < 0.5 ? 40.0f : rxy < 0.9 ? 15.0f : 0.0f;
                if (lesion && x >= nx / 2 - 4 && x < nx / 2 + 4 && y >= ny / 2 - 4 && y < ny / 2 + 4 &&
                    z >= nz / 2 - 2 && z < nz / 2 + 2)
                    v = 25.0f;
                slice[(size_t)y * nx + x] = v;
            }
        ok &= WriteSliceDataN(out, slice, 4, nx * ny, h.compression);
    }
    free(slice);
    if (fclose(out) != 0 || !ok) {
        fprintf(stderr, "%s: write error\n", argv[1]);
        return 1;
    }
    return 0;
}
