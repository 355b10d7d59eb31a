// The C++ side of the Python module's tests.
//   vrd_py_fixture write DIR   writes sound volumes of every data type, byte
//                              order, compression and grid, each with the
//                              values it holds in NAME.raw, and damaged ones;
//                              DIR/manifest lists them.
//   vrd_py_fixture read FILE   reads FILE with vrdOpenRead and ReadSliceDataN
//                              and prints the header and every slice.
#include <vrd/vrd.h>

#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::string;

const int32_t kVoxelSize[] = {0, 1, 1, 2, 2, 2, 2, 4, 4, 4, 8};
const int32_t nx = 5, ny = 4, nz = 3;

// The icon as the programs write it: the library's preview of the slice.
std::vector<unsigned char> previewOf(int32_t dtype, const void *p, size_t count)
{
    std::vector<unsigned char> icon(count, 0);
    double lo = 0, hi = 0;
    if (vrdPreviewRange(p, dtype, int32_t(count), &lo, &hi))
        vrdPreviewPixels(p, dtype, 0, int32_t(count), lo, hi, icon.data());
    return icon;
}

// Values of one volume in this machine's order: random bits for integers;
// for floats multiples of 1/8 with NaN, infinities, -0 and the smallest
// subnormal at fixed places of every slice.
Bytes valuesOf(int32_t dtype, uint64_t seed)
{
    const size_t count = size_t(nx) * ny * nz, size = size_t(kVoxelSize[dtype]);
    Bytes bytes(count * size, '\0');
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const uint64_t r = state >> 11;
        const double special[] = {std::nan(""), INFINITY, -INFINITY, -0.0};
        const size_t at = i % (size_t(nx) * ny);
        const double real = at == 3 ? special[0] : at == 7 ? special[1] : at == 11 ? special[2]
                          : at == 13 ? special[3] : double(int64_t(r % 20001) - 10000) / 8.0;
        char *p = &bytes[i * size];
        if (dtype == vrdFloat) {
            const float f = at == 17 ? std::numeric_limits<float>::denorm_min() : float(real);
            memcpy(p, &f, 4);
        } else if (dtype == vrdDouble) {
            const double d = at == 17 ? std::numeric_limits<double>::denorm_min() : real;
            memcpy(p, &d, 8);
        } else {
            memcpy(p, &r, size);
        }
    }
    return bytes;
}

Bytes deflated(const Bytes &data)
{
    uLongf n = compressBound(uLong(data.size()));
    Bytes out(n, '\0');
    if (compress(reinterpret_cast<Bytef *>(&out[0]), &n, reinterpret_cast<const Bytef *>(data.data()),
                 uLong(data.size())) != Z_OK)
        exit(2);
    return out.substr(0, n);
}

FILE *create(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        exit(2);
    }
    return f;
}

void writeFile(const std::string &path, const Bytes &bytes)
{
    FILE *f = create(path);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Writes a volume through the library; its values go to path.raw.
void writeVolume(const std::string &path, VrdHeader h, const Bytes &values)
{
    const size_t sliceBytes = values.size() / size_t(h.nz), count = sliceBytes / size_t(kVoxelSize[h.dtype]);
    FILE *f = create(path);
    writeVrdHeader(f, &h, previewOf(h.dtype, &values[sliceBytes * size_t(h.nz / 2)], count).data(), h.nx, h.ny);
    for (int32_t z = 0; z < h.nz; ++z) {
        Bytes slice = values.substr(sliceBytes * size_t(z), sliceBytes);
        if (h.endian != vrdLittleEndian)
            vrdSwapItems(&slice[0], kVoxelSize[h.dtype], int32_t(count));
        WriteSliceDataN(f, slice.data(), kVoxelSize[h.dtype], int32_t(count), h.compression);
    }
    fclose(f);
    writeFile(path + ".raw", values);
}

float *spacings(std::initializer_list<float> v)
{
    float *p = static_cast<float *>(malloc(v.size() * sizeof(float)));
    std::copy(v.begin(), v.end(), p);
    return p;
}

VrdHeader headerOf(int32_t dtype, int32_t endian, int32_t compression, int32_t vtype)
{
    VrdHeader h{};
    h.compression = compression, h.endian = endian, h.nx = nx, h.ny = ny, h.nz = nz, h.vtype = vtype;
    h.units = 1 + dtype % 3, h.nbands = 1, h.dtype = dtype;
    if (vtype == vrdCubic) {
        h.px = 0.5f;
    } else if (vtype == vrdRegular) {
        h.px = 0.25f, h.py = 0.0078125f, h.pz = 2.5f; // py is a tie at six decimals
    } else {
        h.px = 0.3f, h.py = 0.6f;
        h.rz = spacings({1.0f, 1.5f, 2.25f});
        if (vtype == vrdRectXYZ) {
            h.rx = spacings({0.1f, 0.2f, 0.3f, 0.4f, 0.5f});
            h.ry = spacings({1.0f, 2.0f, 3.0f, 4.0f});
        }
        // Rectilinear grids also carry a threshold and transfer functions.
        h.hasBgThreshold = 1, h.bgThresholdF = 12.5f, h.bgThresholdI = -7;
        h.tfnum = 2;
        h.tfdata = static_cast<char **>(calloc(10, sizeof(char *)));
        const char *entries[10] = {"0 100", "0 1", "0 0.5", "1 0", "0 1", "a_b", "c-d", "e.f", "g h", "7"};
        for (int i = 0; i < 10; ++i)
            h.tfdata[i] = strdup(entries[i]);
    }
    vrdAddHdrComment(&h, "fixture volume");
    vrdAddHdrComment(&h, "spacing in \xc2\xb5m,\ttabbed");
    vrdAddHdrComment(&h, std::string(2000, 'x').c_str()); // written cut to 1998 bytes
    return h;
}

// Writes a volume from explicit blocks after a sound float header.
void writeBlocks(const std::string &path, const std::vector<Bytes> &blocks, int32_t compression)
{
    VrdHeader h = headerOf(vrdFloat, vrdLittleEndian, compression, vrdCubic);
    const std::vector<unsigned char> icon(size_t(nx) * ny, 0);
    FILE *f = create(path);
    writeVrdHeader(f, &h, icon.data(), nx, ny);
    for (const Bytes &b : blocks)
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

Bytes block(const Bytes &payload, uint32_t length)
{
    const char be[4] = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
    return Bytes(be, 4) + payload;
}
Bytes block(const Bytes &payload) { return block(payload, uint32_t(payload.size())); }

int writeAll(const std::string &dir)
{
    static const char *const dtypes[] = {"", "uchar", "char", "uint12", "uint16", "int16",
                                         "inthu", "uint32", "int32", "float", "double"};
    static const char *const grids[] = {"", "cubic", "regular", "rectz", "rectxyz"};
    FILE *manifest = create(dir + "/manifest");
    uint64_t seed = 0;
    for (int32_t dtype = vrdUChar; dtype <= vrdDouble; ++dtype)
        for (int32_t endian : {vrdLittleEndian, vrdBigEndian})
            for (int32_t compression : {vrdCompZlib, vrdCompNone})
                for (int32_t vtype = vrdCubic; vtype <= vrdRectXYZ; ++vtype) {
                    const std::string name = std::string(dtypes[dtype]) + (endian == vrdBigEndian ? "_big" : "_little") +
                                             (compression == vrdCompZlib ? "_zlib_" : "_none_") + grids[vtype] + ".vrd";
                    writeVolume(dir + "/" + name, headerOf(dtype, endian, compression, vtype), valuesOf(dtype, ++seed));
                    fprintf(manifest, "sound %s\n", name.c_str());
                }

    // Damaged volumes of three float slices: name, damaged slice, blocks.
    const size_t sliceBytes = size_t(nx) * ny * 4;
    const Bytes values = valuesOf(vrdFloat, 0);
    std::vector<Bytes> raw, zlib;
    for (int32_t z = 0; z < nz; ++z) {
        raw.push_back(block(values.substr(sliceBytes * z, sliceBytes)));
        zlib.push_back(block(deflated(values.substr(sliceBytes * z, sliceBytes))));
    }
    Bytes corrupt = zlib[1];
    for (size_t i = 8; i < 14; ++i)
        corrupt[i] = char(~corrupt[i]);
    const Bytes stream = deflated(values.substr(sliceBytes, sliceBytes));
    struct Damaged {
        const char *name;
        int32_t compression, slice;
        std::vector<Bytes> blocks;
    } damaged[] = {
        {"raw_long_block", vrdCompNone, 1, {raw[0], block(values.substr(0, sliceBytes) + "xyzw"), raw[2]}},
        {"raw_short_block", vrdCompNone, 0, {block(values.substr(0, sliceBytes - 4)), raw[1], raw[2]}},
        {"raw_file_ends_in_block", vrdCompNone, 2, {raw[0], raw[1], raw[2].substr(0, 30)}},
        {"raw_file_ends_in_length", vrdCompNone, 2, {raw[0], raw[1], raw[2].substr(0, 2)}},
        {"zlib_missing_slice", vrdCompZlib, 2, {zlib[0], zlib[1]}},
        {"zlib_file_ends_in_block", vrdCompZlib, 2, {zlib[0], zlib[1], zlib[2].substr(0, zlib[2].size() - 3)}},
        {"zlib_inflates_short", vrdCompZlib, 1, {zlib[0], block(deflated(values.substr(0, sliceBytes - 8))), zlib[2]}},
        {"zlib_inflates_long", vrdCompZlib, 0, {block(deflated(values.substr(0, sliceBytes + 8))), zlib[1], zlib[2]}},
        {"zlib_corrupt_stream", vrdCompZlib, 1, {zlib[0], corrupt, zlib[2]}},
        {"zlib_cut_stream", vrdCompZlib, 1, {zlib[0], block(stream.substr(0, stream.size() / 2)), zlib[2]}},
    };
    for (const Damaged &d : damaged) {
        writeBlocks(dir + "/" + d.name + ".vrd", d.blocks, d.compression);
        fprintf(manifest, "damaged %s.vrd %d\n", d.name, d.slice);
    }
    // Trailing bytes after a stream's end still belong to its block.
    writeBlocks(dir + "/zlib_trailing_bytes.vrd", {zlib[0], block(stream + "tail"), zlib[2]}, vrdCompZlib);
    writeFile(dir + "/zlib_trailing_bytes.vrd.raw", values);
    fprintf(manifest, "sound zlib_trailing_bytes.vrd\n");
    fclose(manifest);
    return 0;
}

void printHex(const void *data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        printf("%02x", static_cast<const unsigned char *>(data)[i]);
}

void printFloats(const char *key, const float *values, int32_t count)
{
    printf("%s", key);
    if (values == nullptr)
        printf(" -");
    for (int32_t i = 0; values != nullptr && i < count; ++i)
        printf(" "), printHex(&values[i], 4);
    printf("\n");
}

int readOne(const char *path)
{
    VrdHeader h;
    FILE *f = vrdOpenRead(path, &h);
    if (f == nullptr) {
        printf("error %d %s\n", vrdErrno, vrdErrorMessages[vrdErrno]);
        return 0;
    }
    printf("version %d %d\ncodes %d %d %d %d %d %d\ndims %d %d %d\n", h.versionMajor, h.versionMinor, h.compression,
           h.endian, h.vtype, h.units, h.nbands, h.dtype, h.nx, h.ny, h.nz);
    const float p[3] = {h.px, h.py, h.pz};
    printFloats("p", p, 3);
    printFloats("rx", h.rx, h.nx);
    printFloats("ry", h.ry, h.ny);
    printFloats("rz", h.rz, h.nz);
    printf("bg %d %d ", h.hasBgThreshold, h.bgThresholdI), printHex(&h.bgThresholdF, 4), printf("\n");
    for (int32_t i = 0; i < h.commentCount; ++i)
        printf("comment "), printHex(h.comments[i], strlen(h.comments[i])), printf("\n");
    printf("tfnum %d\n", h.tfnum);
    for (int64_t i = 0; i < int64_t{h.tfnum} * 5; ++i) {
        printf("tfdata ");
        if (h.tfdata[i] == nullptr)
            printf("-");
        else
            printHex(h.tfdata[i], strlen(h.tfdata[i]));
        printf("\n");
    }
    const int32_t size = vrdHeaderVoxelSize(&h);
    const int64_t count = int64_t{h.nx} * h.ny * h.nbands;
    if (count > (1 << 20)) {
        printf("too large\n");
        return 1;
    }
    Bytes slice(size_t(size) * size_t(count), '\0');
    for (int32_t z = 0; z < h.nz; ++z) {
        const int32_t whole = ReadSliceDataN(f, &slice[0], h.endian, size, int32_t(count), h.compression);
        printf("slice %d %d ", z, whole), printHex(slice.data(), slice.size()), printf("\n");
    }
    fclose(f);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "write") == 0)
        return writeAll(argv[2]);
    if (argc == 3 && strcmp(argv[1], "read") == 0)
        return readOne(argv[2]);
    fprintf(stderr, "usage: vrd_py_fixture write DIR | read FILE\n");
    return 2;
}
