// Writes seed volumes for the fuzz targets with the library's own writer:
// small files of every grid type, data type, byte order and compression,
// with comments, transfer functions and background thresholds.
// Also zlib payloads for the inflate target, from zlib and libdeflate at
// several levels, whole and damaged.
// Usage: make_seeds OUTDIR   (writes OUTDIR/header, OUTDIR/slices, OUTDIR/program, OUTDIR/inflate)
#include "vrd/vrd.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

struct Shape {
    int32_t nx, ny, nz;
};

// A header of the given kind with every required field set.
VrdHeader makeHeader(Shape s, int32_t vtype, int32_t dtype, int32_t endian, int32_t compression)
{
    VrdHeader h{};
    vrdClearHeader(&h);
    h.compression = compression;
    h.endian = endian;
    h.nx = s.nx;
    h.ny = s.ny;
    h.nz = s.nz;
    h.vtype = vtype;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = dtype;
    h.px = 0.5f;
    h.py = 0.75f;
    h.pz = 1.25f;
    if (vtype == vrdRectXYZ) {
        h.rx = static_cast<float *>(calloc(size_t(s.nx), sizeof(float)));
        h.ry = static_cast<float *>(calloc(size_t(s.ny), sizeof(float)));
        for (int32_t i = 0; i < s.nx; ++i) h.rx[i] = 0.25f + 0.125f * float(i);
        for (int32_t i = 0; i < s.ny; ++i) h.ry[i] = 0.5f + 0.25f * float(i);
    }
    if (vtype == vrdRectZ || vtype == vrdRectXYZ) {
        h.rz = static_cast<float *>(calloc(size_t(s.nz), sizeof(float)));
        for (int32_t i = 0; i < s.nz; ++i) h.rz[i] = 1.0f + 0.5f * float(i);
    }
    return h;
}

void freeHeader(VrdHeader &h)
{
    free(h.rx);
    free(h.ry);
    free(h.rz);
    for (int32_t i = 0; i < h.commentCount; ++i) free(h.comments[i]);
    free(h.comments);
    for (int32_t i = 0; i < 5 * h.tfnum; ++i) free(h.tfdata[i]);
    free(h.tfdata);
}

void writeVolume(const std::string &path, const VrdHeader &h, bool withSlices)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        exit(1);
    }
    std::vector<unsigned char> icon(size_t(h.nx) * size_t(h.ny) * (h.nbands == 1 ? 1 : 3));
    for (size_t i = 0; i < icon.size(); ++i) icon[i] = static_cast<unsigned char>(i * 37);
    writeVrdHeader(f, &h, icon.data(), h.nx, h.ny);
    if (withSlices) {
        const int32_t size = vrdHeaderVoxelSize(&h);
        const int32_t count = h.nx * h.ny * h.nbands;
        std::vector<unsigned char> slice(size_t(size) * size_t(count));
        for (int32_t z = 0; z < h.nz; ++z) {
            for (size_t i = 0; i < slice.size(); ++i) slice[i] = static_cast<unsigned char>((i * 7 + z * 13) & 0x3F);
            if (h.dtype == vrdFloat) {
                float *values = reinterpret_cast<float *>(slice.data());
                for (int32_t i = 0; i < count; ++i) values[i] = float(i % 50) - 5.0f + float(z);
            }
            WriteSliceDataN(f, slice.data(), size, count, h.compression);
        }
    }
    fclose(f);
}

void makeDir(const std::string &path)
{
    mkdir(path.c_str(), 0755);
}

// An inflate seed: mode 0, the slice size (two bytes, little-endian), then
// the payload; or mode 1 and up, which makes the target deflate and damage
// the data itself.
void writeInflateSeed(const std::string &path, size_t sliceSize, const std::vector<unsigned char> &payload,
                      unsigned char mode = 0)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        exit(1);
    }
    const unsigned char start[3] = {mode, static_cast<unsigned char>(sliceSize), static_cast<unsigned char>(sliceSize >> 8)};
    fwrite(start, 1, 3, f);
    fwrite(payload.data(), 1, payload.size(), f);
    fclose(f);
}

void writeInflateSeeds(const std::string &dir)
{
    std::vector<std::vector<unsigned char>> kinds(4, std::vector<unsigned char>(3000));
    uint32_t state = 12345;
    for (size_t i = 0; i < 3000; ++i) {
        kinds[1][i] = static_cast<unsigned char>("volume data "[i % 12]);
        kinds[2][i] = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24);
        kinds[3][i] = static_cast<unsigned char>(i / 40 + (i % 7));
    }
    int n = 0;
    for (const std::vector<unsigned char> &data : kinds) {
        for (unsigned char mode : {1, 7, 17, 65, 129})
            writeInflateSeed(dir + "/m" + std::to_string(n) + "-" + std::to_string(mode), 1500 + mode, data, mode);
        std::vector<std::vector<unsigned char>> streams;
        for (int level : {0, 1, 6, 9}) {
            uLongf size = compressBound(uLong(data.size()));
            std::vector<unsigned char> out(size);
            compress2(out.data(), &size, data.data(), uLong(data.size()), level);
            out.resize(size);
            streams.push_back(out);
        }
        for (int level : {1, 6, 12}) {
            libdeflate_compressor *c = libdeflate_alloc_compressor(level);
            std::vector<unsigned char> out(libdeflate_zlib_compress_bound(c, data.size()));
            out.resize(libdeflate_zlib_compress(c, data.data(), data.size(), out.data(), out.size()));
            libdeflate_free_compressor(c);
            streams.push_back(out);
        }
        for (const std::vector<unsigned char> &stream : streams) {
            const std::string base = dir + "/i" + std::to_string(n++);
            writeInflateSeed(base + "-whole", data.size(), stream);
            writeInflateSeed(base + "-longer-slice", data.size() + 1, stream);
            writeInflateSeed(base + "-shorter-slice", data.size() - 1, stream);
            std::vector<unsigned char> damaged = stream;
            damaged[damaged.size() / 2] ^= 0x10;
            writeInflateSeed(base + "-flipped", data.size(), damaged);
            damaged = stream;
            damaged.back() ^= 1;
            writeInflateSeed(base + "-checksum", data.size(), damaged);
            writeInflateSeed(base + "-cut", data.size(), std::vector<unsigned char>(stream.begin(), stream.begin() + long(stream.size() / 2)));
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    makeDir(out);
    makeDir(out + "/header");
    makeDir(out + "/slices");
    makeDir(out + "/program");
    makeDir(out + "/inflate");
    writeInflateSeeds(out + "/inflate");

    // Headers: every grid type and data type, both byte orders.
    int n = 0;
    for (int32_t vtype = vrdCubic; vtype <= vrdRectXYZ; ++vtype) {
        for (int32_t dtype = vrdUChar; dtype <= vrdDouble; dtype += 3) {
            VrdHeader h = makeHeader({3, 2, 2}, vtype, dtype, 1 + (n % 2), 1 + (n / 2 % 2));
            if (n % 3 == 0) {
                h.hasBgThreshold = 1;
                h.bgThresholdF = 0.5f;
                h.bgThresholdI = 7;
            }
            if (n % 4 == 1) {
                vrdAddHdrComment(&h, "a comment");
                vrdAddHdrComment(&h, "");
            }
            if (n % 5 == 2) {
                h.tfnum = 1;
                h.tfdata = static_cast<char **>(calloc(5, sizeof(char *)));
                const char *values[5] = {"0 10 20", "1.0 0.5", "0.25", "-1", "a_b"};
                for (int i = 0; i < 5; ++i) h.tfdata[i] = strdup(values[i]);
            }
            writeVolume(out + "/header/h" + std::to_string(n) + ".vrd", h, false);
            freeHeader(h);
            ++n;
        }
    }
    {
        VrdHeader h = makeHeader({2, 2, 1}, vrdRegular, vrdUChar, vrdBigEndian, vrdCompNone);
        h.nbands = 3;
        writeVolume(out + "/header/colour.vrd", h, false);
        freeHeader(h);
    }

    // Whole volumes with slice blocks: all data types, both compressions.
    n = 0;
    for (int32_t dtype = vrdUChar; dtype <= vrdDouble; ++dtype) {
        for (int32_t compression = vrdCompZlib; compression <= vrdCompNone; ++compression) {
            const int32_t vtype = 1 + n % 4;
            VrdHeader h = makeHeader({4, 3, 2}, vtype, dtype, 1 + (n / 2 % 2), compression);
            writeVolume(out + "/slices/s" + std::to_string(n) + ".vrd", h, true);
            freeHeader(h);
            ++n;
        }
    }

    // Volumes for the programs: single-band float and 16-bit volumes.
    n = 0;
    for (int32_t dtype : {vrdFloat, vrdInt16, vrdDouble}) {
        for (int32_t compression = vrdCompZlib; compression <= vrdCompNone; ++compression) {
            VrdHeader h = makeHeader({5, 4, 3}, 1 + n % 4, dtype, 1 + n % 2, compression);
            writeVolume(out + "/program/p" + std::to_string(n) + ".vrd", h, true);
            freeHeader(h);
            ++n;
        }
    }
    return 0;
}
