/* Writes a zlib-compressed 4 x 1 x 2 int16 volume and reads it back. */
#include <vrd/vrd.h>

#include <string.h>

int main(int argc, char **argv)
{
    VrdHeader h = {0}, back = {0};
    const int16_t volume[2][4] = {{1, -2, 300, -32768}, {32767, 0, 7, -9}};
    int16_t slice[4];
    const unsigned char icon[4] = {0};
    FILE *f = argc == 2 ? fopen(argv[1], "wb") : NULL;
    int32_t z;

    if (f == NULL)
        return 2;
    vrdClearHeader(&h);
    h.compression = vrdCompZlib, h.endian = vrdLittleEndian, h.vtype = vrdCubic, h.units = vrdUum;
    h.nx = 4, h.ny = 1, h.nz = 2, h.px = 2.0f, h.nbands = 1, h.dtype = vrdInt16;
    writeVrdHeader(f, &h, icon, 4, 1);
    for (z = 0; z < 2; ++z)
        WriteSliceDataN(f, volume[z], 2, 4, vrdCompZlib);
    fclose(f);
    if ((f = vrdOpenRead(argv[1], &back)) == NULL || back.nz != 2 || back.dtype != vrdInt16)
        return 1;
    for (z = 0; z < 2; ++z)
        if (ReadSliceDataN(f, slice, back.endian, 2, 4, back.compression) != 1 ||
            memcmp(slice, volume[z], sizeof slice) != 0)
            return 1;
    return 0;
}
