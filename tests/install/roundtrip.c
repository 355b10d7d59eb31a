/* Writes a small zlib-compressed 16-bit volume through the installed library,
   reads it back and compares header and voxels; also checks that a missing
   file is refused with error number 1 and its message. Usage: roundtrip FILE */
#include <vrd/vrd.h>

#include <stdlib.h>
#include <string.h>

#define STR2(x) #x
#define STR(x) STR2(x)

enum { NX = 7, NY = 3, NZ = 5, COUNT = NX * NY };

int main(int argc, char **argv)
{
    VrdHeader h, back;
    static int16_t volume[NZ][COUNT], slice[COUNT];
    static unsigned char icon[COUNT];
    char missing[4096];
    FILE *out, *in;
    int32_t z, i;

    if (argc != 2)
        return 2;
    if (strcmp(STR(VRD_VERSION_MAJOR) "." STR(VRD_VERSION_MINOR) "." STR(VRD_VERSION_PATCH),
               EXPECTED_VERSION) != 0) {
        fprintf(stderr, "header version macros differ from vrd.pc's version %s\n", EXPECTED_VERSION);
        return 1;
    }

    memset(&h, 0, sizeof h);
    vrdClearHeader(&h);
    h.compression = vrdCompZlib;
    h.endian = vrdLittleEndian;
    h.nx = NX;
    h.ny = NY;
    h.nz = NZ;
    h.vtype = vrdRectZ;
    h.px = 1.0f;
    h.py = 1.0f;
    h.rz = calloc(NZ, sizeof *h.rz);
    if (h.rz == NULL)
        return 3;
    for (z = 0; z < NZ; ++z)
        h.rz[z] = 0.5f + (float)z;
    h.units = vrdUum;
    h.nbands = 1;
    h.dtype = vrdInt16;
    for (z = 0; z < NZ; ++z)
        for (i = 0; i < COUNT; ++i)
            volume[z][i] = (int16_t)(z * 1000 - i * 37);

    out = fopen(argv[1], "wb");
    if (out == NULL)
        return 3;
    writeVrdHeader(out, &h, icon, NX, NY);
    for (z = 0; z < NZ; ++z)
        WriteSliceDataN(out, volume[z], vrdHeaderVoxelSize(&h), COUNT, h.compression);
    if (fclose(out) != 0)
        return 3;

    memset(&back, 0, sizeof back);
    in = vrdOpenRead(argv[1], &back);
    if (in == NULL) {
        fprintf(stderr, "vrdOpenRead: %s\n", vrdErrorMessages[vrdErrno]);
        return 1;
    }
    if (back.nx != NX || back.ny != NY || back.nz != NZ || back.dtype != vrdInt16 ||
        back.compression != vrdCompZlib || back.vtype != vrdRectZ || back.rz == NULL ||
        back.rz[NZ - 1] != 0.5f + (float)(NZ - 1)) {
        fprintf(stderr, "header read back differs\n");
        return 1;
    }
    for (z = 0; z < NZ; ++z) {
        memset(slice, 0, sizeof slice);
        ReadSliceDataN(in, slice, back.endian, vrdHeaderVoxelSize(&back), COUNT, back.compression);
        if (memcmp(slice, volume[z], sizeof slice) != 0) {
            fprintf(stderr, "slice %d read back differs\n", (int)z);
            return 1;
        }
    }
    fclose(in);

    /* The error globals are reachable from C. */
    if (strlen(argv[1]) + 16 > sizeof missing)
        return 2;
    strcpy(missing, argv[1]);
    strcat(missing, ".missing/x.vrd");
    if (vrdOpenRead(missing, &back) != NULL || vrdErrno != 1 ||
        strcmp(vrdErrorMessages[1], "file open error") != 0) {
        fprintf(stderr, "a missing file was not refused with error 1\n");
        return 1;
    }
    return 0;
}
