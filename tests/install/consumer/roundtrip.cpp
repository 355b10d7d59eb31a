// Writes a small raw float volume through the installed library, reads it
// back and compares header and voxels. Usage: vrd_consumer FILE
#include <vrd/vrd.h>

#include <cstdio>
#include <cstring>
#include <vector>

static_assert(VRD_VERSION_MAJOR == EXPECTED_MAJOR && VRD_VERSION_MINOR == EXPECTED_MINOR &&
                  VRD_VERSION_PATCH == EXPECTED_PATCH,
              "the installed header's version macros differ from the package version");

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const int32_t nx = 6, ny = 5, nz = 4, count = nx * ny;

    VrdHeader h;
    std::memset(&h, 0, sizeof h);
    vrdClearHeader(&h);
    h.compression = vrdCompNone;
    h.endian = vrdLittleEndian;
    h.nx = nx;
    h.ny = ny;
    h.nz = nz;
    h.vtype = vrdRegular;
    h.px = 0.5f;
    h.py = 0.25f;
    h.pz = 2.0f;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = vrdFloat;
    vrdAddHdrComment(&h, "made by the find_package consumer");

    std::vector<float> volume(static_cast<size_t>(count) * nz);
    for (size_t i = 0; i < volume.size(); ++i)
        volume[i] = static_cast<float>(i) * 0.75f - 7.0f;
    std::vector<unsigned char> icon(static_cast<size_t>(count), 0);

    FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr)
        return 3;
    writeVrdHeader(out, &h, icon.data(), nx, ny);
    for (int32_t z = 0; z < nz; ++z)
        WriteSliceDataN(out, &volume[static_cast<size_t>(z) * count], vrdHeaderVoxelSize(&h), count,
                        h.compression);
    if (std::fclose(out) != 0)
        return 3;

    VrdHeader back;
    std::memset(&back, 0, sizeof back);
    FILE *in = vrdOpenRead(argv[1], &back);
    if (in == nullptr) {
        std::fprintf(stderr, "vrdOpenRead: %s\n", vrdErrorMessages[vrdErrno]);
        return 1;
    }
    if (back.nx != nx || back.ny != ny || back.nz != nz || back.dtype != vrdFloat ||
        back.compression != vrdCompNone || back.py != 0.25f || back.commentCount != 1 ||
        std::strcmp(back.comments[0], "made by the find_package consumer") != 0) {
        std::fprintf(stderr, "header read back differs\n");
        return 1;
    }
    std::vector<float> slice(static_cast<size_t>(count));
    for (int32_t z = 0; z < nz; ++z) {
        ReadSliceDataN(in, slice.data(), back.endian, vrdHeaderVoxelSize(&back), count, back.compression);
        if (std::memcmp(slice.data(), &volume[static_cast<size_t>(z) * count], slice.size() * sizeof(float)) != 0) {
            std::fprintf(stderr, "slice %d read back differs\n", static_cast<int>(z));
            return 1;
        }
    }
    std::fclose(in);
    return 0;
}
