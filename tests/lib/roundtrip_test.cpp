// A volume written with every data type, byte order, compression and grid
// type reads back with the same header and the same slices.
#include "support.h"

#include <algorithm>
#include <tuple>

namespace {

using Kind = std::tuple<int32_t, int32_t, int32_t, int32_t>; // dtype, endian, compression, vtype

const char *const kDtypes[] = {"", "UChar", "Char", "UInt12", "UInt16", "Int16", "IntHU", "UInt32", "Int32",
                               "Float", "Double"};
const char *const kVtypes[] = {"", "Cubic", "Regular", "RectZ", "RectXYZ"};

std::string kindName(const testing::TestParamInfo<Kind> &info)
{
    const auto [dtype, endian, compression, vtype] = info.param;
    return std::string(kDtypes[dtype]) + (endian == vrdBigEndian ? "_Big_" : "_Little_") +
           (compression == vrdCompZlib ? "Zlib_" : "Raw_") + kVtypes[vtype];
}

class RoundTrip : public testing::TestWithParam<Kind> {};

} // namespace

TEST_P(RoundTrip, ReadsBackEqual)
{
    const auto [dtype, endian, compression, vtype] = GetParam();
    const int32_t nx = 3, ny = 2, nz = 3, size = vrdVoxelSize(dtype);
    float rx[nx] = {0.5f, 1.25f, 2.0f}, ry[ny] = {0.125f, 4.0f}, rz[nz] = {1.0f, 1.5f, 3.0f};
    char comment0[] = " \t leading blanks", comment1[] = "plain";
    char *comments[] = {comment0, comment1};
    char tf0[] = "0 1", tf1[] = "0.5", tf2[] = "1", tf3[] = "0", tf4[] = "-2.25";
    char *tfdata[] = {tf0, tf1, tf2, tf3, tf4};

    VrdHeader h{};
    h.compression = compression, h.endian = endian, h.nx = nx, h.ny = ny, h.nz = nz, h.vtype = vtype;
    h.px = 0.75f, h.py = 1.5f, h.pz = 2.25f;
    if (vtype == vrdRectXYZ)
        h.rx = rx, h.ry = ry;
    if (vtype >= vrdRectZ)
        h.rz = rz;
    h.units = vrdUm, h.nbands = dtype % 2 == 1 ? 1 : 3, h.dtype = dtype;
    h.hasBgThreshold = 5, h.bgThresholdF = 0.25f, h.bgThresholdI = -3;
    h.commentCount = 2, h.comments = comments, h.tfnum = 1, h.tfdata = tfdata;

    const size_t sliceBytes = size_t(size) * nx * ny;
    std::vector<std::string> slices;
    for (int32_t z = 0; z < nz; ++z) {
        std::string s(sliceBytes, '\0');
        for (size_t i = 0; i < sliceBytes; ++i)
            s[i] = char(z * 37 + int(i) * 11 + 3);
        slices.push_back(s);
    }
    const std::string icon(size_t(nx * ny * (h.nbands == 1 ? 1 : 3)), 'i');

    FILE *f = tmpfile();
    writeVrdHeader(f, &h, reinterpret_cast<const unsigned char *>(icon.data()), nx, ny);
    for (std::string slice : slices) {
        if (endian == vrdBigEndian) // the caller puts big-endian items in the slice
            for (size_t i = 0; i < sliceBytes; i += size_t(size))
                std::reverse(slice.begin() + long(i), slice.begin() + long(i) + size);
        EXPECT_EQ(WriteSliceDataN(f, slice.data(), size, nx * ny, compression), 1);
    }
    rewind(f);

    VrdHeader r{};
    ASSERT_EQ(vrdReadPrologue(f, &r), f) << vrdErrorMessages[vrdErrno];
    EXPECT_TRUE(r.versionMajor == 6 && r.versionMinor == 0);
    EXPECT_TRUE(r.compression == compression && r.endian == endian && r.vtype == vtype);
    EXPECT_TRUE(r.nx == nx && r.ny == ny && r.nz == nz);
    EXPECT_TRUE(r.units == h.units && r.nbands == h.nbands && r.dtype == dtype);
    EXPECT_EQ(r.hasBgThreshold, 1);
    const bool real = dtype == vrdFloat || dtype == vrdDouble;
    EXPECT_EQ(r.bgThresholdF, real ? 0.25f : 0.0f);
    EXPECT_EQ(r.bgThresholdI, real ? 0 : -3);
    switch (vtype) {
    case vrdCubic: EXPECT_TRUE(r.px == 0.75f && r.py == 0.75f && r.pz == 0.75f); break;
    case vrdRegular: EXPECT_TRUE(r.px == 0.75f && r.py == 1.5f && r.pz == 2.25f); break;
    case vrdRectZ: EXPECT_TRUE(r.px == 0.75f && r.py == 1.5f); break;
    }
    EXPECT_EQ(r.rx == nullptr, vtype != vrdRectXYZ);
    EXPECT_EQ(r.ry == nullptr, vtype != vrdRectXYZ);
    EXPECT_EQ(r.rz == nullptr, vtype < vrdRectZ);
    if (r.rx != nullptr && r.ry != nullptr) {
        EXPECT_TRUE(std::equal(rx, rx + nx, r.rx) && std::equal(ry, ry + ny, r.ry) && r.rx != rx);
    }
    if (r.rz != nullptr) {
        EXPECT_TRUE(std::equal(rz, rz + nz, r.rz) && r.rz != rz);
    }
    ASSERT_EQ(r.commentCount, 2);
    EXPECT_STREQ(r.comments[0], "leading blanks");
    EXPECT_STREQ(r.comments[1], "plain");
    ASSERT_EQ(r.tfnum, 1);
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(r.tfdata[i], tfdata[i]);

    for (const std::string &slice : slices) {
        std::string buffer(sliceBytes, '\xee');
        EXPECT_EQ(ReadSliceDataN(f, buffer.data(), endian, size, nx * ny, compression), 1);
        EXPECT_TRUE(buffer == slice);
    }
    EXPECT_EQ(fgetc(f), EOF);
    fclose(f);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, RoundTrip,
                         testing::Combine(testing::Range(1, 11), testing::Values(1, 2), testing::Values(1, 2),
                                          testing::Range(1, 5)),
                         kindName);
