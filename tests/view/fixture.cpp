// Volumes for the viewer's tests, and slices of volumes as raw float32.
// Usage: vrdview_fixture make DIR
//        vrdview_fixture dump FILE Z     (slice Z of a float32 volume, raw, this machine's order)
#include <vrd/vrd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int32_t nx = 64, ny = 48, nz = 20;

// The value every test knows at (x, y, z).
float known(int32_t x, int32_t y, int32_t z) { return float(x + 2 * y + 10 * z); }

VrdHeader floatHeader()
{
    VrdHeader h{};
    vrdClearHeader(&h);
    h.compression = vrdCompZlib;
    h.endian = vrdLittleEndian;
    h.nx = nx, h.ny = ny, h.nz = nz;
    h.vtype = vrdRegular;
    h.px = 0.5f, h.py = 0.5f, h.pz = 2.0f;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = vrdFloat;
    vrdAddHdrComment(&h, "viewer test volume: x + 2y + 10z");
    return h;
}

// Writes a volume; changed adds 1000 inside a small box. Returns the offset
// of slice 7's block.
long writeVolume(const std::string &path, bool changed)
{
    FILE *out = fopen(path.c_str(), "wb");
    if (out == nullptr)
        exit(1);
    VrdHeader h = floatHeader();
    std::vector<unsigned char> icon(size_t(nx) * ny, 0);
    writeVrdHeader(out, &h, icon.data(), nx, ny);
    std::vector<float> slice(size_t(nx) * ny);
    long seven = 0;
    for (int32_t z = 0; z < nz; ++z) {
        for (int32_t y = 0; y < ny; ++y)
            for (int32_t x = 0; x < nx; ++x) {
                const bool inBox = x >= 10 && x < 20 && y >= 8 && y < 16 && z >= 4 && z < 9;
                slice[size_t(y) * nx + x] = known(x, y, z) + (changed && inBox ? 1000.0f : 0.0f);
            }
        if (z == 7)
            seven = ftell(out);
        WriteSliceDataN(out, slice.data(), 4, nx * ny, h.compression);
    }
    fclose(out);
    return seven;
}

void make(const std::string &dir)
{
    writeVolume(dir + "/a.vrd", false);
    writeVolume(dir + "/b.vrd", true);
    // Slice 7's zlib stream broken in its middle: the rest of the file is sound.
    const long seven = writeVolume(dir + "/damaged.vrd", false);
    FILE *f = fopen((dir + "/damaged.vrd").c_str(), "r+b");
    fseek(f, seven + 4 + 2, SEEK_SET);
    const char garbage[] = "\xff\xff\xff\xff\xff\xff\xff\xff";
    fwrite(garbage, 1, 8, f);
    fclose(f);
    // A header the library refuses: a's with an unknown data type.
    FILE *a = fopen((dir + "/a.vrd").c_str(), "rb");
    std::string bytes;
    char chunk[65536];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, a)) > 0;)
        bytes.append(chunk, got);
    fclose(a);
    const size_t at = bytes.find("#!dtype \t") + 9;
    bytes.replace(at, bytes.find('\n', at) - at, "quaternion");
    FILE *r = fopen((dir + "/refused.vrd").c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), r);
    fclose(r);
}

int dump(const char *path, int32_t z)
{
    VrdHeader h{};
    FILE *in = vrdOpenRead(path, &h);
    if (in == nullptr || h.dtype != vrdFloat || z < 0 || z >= h.nz)
        return 1;
    std::vector<float> slice(size_t(h.nx) * size_t(h.ny));
    for (int32_t k = 0; k <= z; ++k)
        if (!ReadSliceDataN(in, slice.data(), h.endian, 4, h.nx * h.ny, h.compression))
            return 1;
    fwrite(slice.data(), sizeof(float), slice.size(), stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "make") == 0) {
        make(argv[2]);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "dump") == 0)
        return dump(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: vrdview_fixture make DIR | dump FILE Z\n");
    return 2;
}
