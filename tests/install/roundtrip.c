/* Writes a zlib-compressed 4 x 2 x 1 int16 volume and reads it back. */
#include <vrd/vrd.h>

#include <string.h>

int main(int argc, char **argv)
{
    VrdHeader h = {0}, back = {0};
    const int16_t volume[8] = {1, -2, 300, -32768, 32767, 0, 7, -9};
    int16_t slice[8] = {0};
    const unsigned char icon[8] = {0};
    FILE *f = argc == 2 ? fopen(argv[1], "wb") : NULL;

    if (f == NULL)
        return 2;
    vrdClearHeader(&h);
    h.compression = vrdCompZlib, h.endian = vrdLittleEndian, h.vtype = vrdCubic, h.units = vrdUum;
    h.nx = 4, h.ny = 2, h.nz = 1, h.px = 2.0f, h.nbands = 1, h.dtype = vrdInt16;
    writeVrdHeader(f, &h, icon, 4, 2);
    WriteSliceDataN(f, volume, 2, 8, vrdCompZlib);
    fclose(f);
    f = vrdOpenRead(argv[1], &back);
    return f == NULL || back.ny != 2 || back.dtype != vrdInt16 ||
           ReadSliceDataN(f, slice, back.endian, 2, 8, back.compression) != 1 ||
           memcmp(slice, volume, sizeof slice) != 0;
}
