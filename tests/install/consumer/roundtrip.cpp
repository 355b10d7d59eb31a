// Writes a zlib-compressed 3 x 2 x 1 float volume and reads it back.
#include <vrd/vrd.h>

#include <cstdio>
#include <cstring>

static_assert(VRD_VERSION_MAJOR == MAJOR && VRD_VERSION_MINOR == MINOR && VRD_VERSION_PATCH == PATCH,
              "the installed header's version macros differ from the package's");

int main(int argc, char **argv)
{
    VrdHeader h{}, back{};
    vrdClearHeader(&h);
    h.compression = vrdCompZlib, h.endian = vrdLittleEndian, h.vtype = vrdCubic, h.units = vrdUmm;
    h.nx = 3, h.ny = 2, h.nz = 1, h.px = 0.5f, h.nbands = 1, h.dtype = vrdFloat;
    const float volume[6] = {1, -2, 3.5f, 4e6f, 0, -1e-3f};
    float slice[6] = {};
    const unsigned char icon[6] = {};
    FILE *f = argc == 2 ? std::fopen(argv[1], "wb") : nullptr;
    if (f == nullptr)
        return 2;
    writeVrdHeader(f, &h, icon, 3, 2);
    WriteSliceDataN(f, volume, 4, 6, vrdCompZlib);
    std::fclose(f);
    f = vrdOpenRead(argv[1], &back);
    return f == nullptr || back.nx != 3 || back.dtype != vrdFloat || back.px != 0.5f ||
           ReadSliceDataN(f, slice, back.endian, 4, 6, back.compression) != 1 ||
           std::memcmp(slice, volume, sizeof slice) != 0;
}
