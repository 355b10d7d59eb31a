// A volume written with every data type, byte order, compression and grid
// type reads back with the same header and the same slices.
#include "support.h"

#include <algorithm>
#include <tuple>

namespace {

using Kind = std::tuple<int32_t, int32_t, int32_t, int32_t>; // dtype, endian, compression, vtype

class RoundTrip : public testing::TestWithParam<Kind> {};

std::string kindName(const testing::TestParamInfo<Kind> &info)
{
    const char *dtypes[] = {"", "UChar", "Char", "UInt12", "UInt16", "Int16", "IntHU", "UInt32", "Int32", "Float",
                            "Double"};
    const char *vtypes[] = {"", "Cubic", "Regular", "RectZ", "RectXYZ"};
    const auto [dtype, endian, compression, vtype] = info.param;
    return std::string(dtypes[dtype]) + (endian == vrdBigEndian ? "_Big_" : "_Little_") +
           (compression == vrdCompZlib ? "Zlib_" : "Raw_") + vtypes[vtype];
}

} // namespace

TEST_P(RoundTrip, ReadsBackEqual)
{
    const auto [dtype, endian, compression, vtype] = GetParam();
    const int32_t nx = 3, ny = 2, nz = 3, size = vrdVoxelSize(dtype);
    float rx[nx] = {0.5f, 1.25f, 2.0f}, ry[ny] = {0.125f, 4.0f}, rz[nz] = {1.0f, 1.5f, 3.0f};
    char comment0[] = " \t leading blanks", comment1[] = "plain", tf0[] = "0 1", tf1[] = "0.5", tf2[] = "-2.25";
    char *comments[] = {comment0, comment1}, *tfdata[] = {tf0, tf1, tf2, tf1, tf0};
    VrdHeader h = header(nx, ny, nz, dtype, compression, endian);
    h.vtype = vtype, h.px = 0.75f, h.py = 1.5f, h.pz = 2.25f, h.units = vrdUm, h.nbands = dtype % 2 ? 1 : 3;
    h.rx = vtype == vrdRectXYZ ? rx : nullptr, h.ry = vtype == vrdRectXYZ ? ry : nullptr;
    h.rz = vtype >= vrdRectZ ? rz : nullptr;
    h.hasBgThreshold = 5, h.bgThresholdF = 0.25f, h.bgThresholdI = -3;
    h.commentCount = 2, h.comments = comments, h.tfnum = 1, h.tfdata = tfdata;
    std::vector<Bytes> slices(nz, Bytes(size_t(size) * nx * ny, '\0'));
    for (size_t z = 0; z < slices.size(); ++z)
        for (size_t i = 0; i < slices[z].size(); ++i)
            slices[z][i] = char(z * 37 + i * 11 + 3);
    const Bytes icon(size_t(nx * ny * (h.nbands == 1 ? 1 : 3)), 'i');

    FILE *f = tmpfile();
    writeVrdHeader(f, &h, reinterpret_cast<const unsigned char *>(icon.data()), nx, ny);
    for (Bytes slice : slices) {
        if (endian == vrdBigEndian) // the caller puts big-endian items in the slice
            for (size_t i = 0; i < slice.size(); i += size_t(size))
                std::reverse(slice.begin() + long(i), slice.begin() + long(i) + size);
        EXPECT_EQ(WriteSliceDataN(f, slice.data(), size, nx * ny, compression), 1);
    }
    rewind(f);
    VrdHeader r{};
    ASSERT_EQ(vrdReadPrologue(f, &r), f) << vrdErrorMessages[vrdErrno];
    EXPECT_TRUE(r.versionMajor == 6 && r.versionMinor == 0 && r.compression == compression && r.endian == endian);
    EXPECT_TRUE(r.vtype == vtype && r.nx == nx && r.ny == ny && r.nz == nz);
    EXPECT_TRUE(r.units == h.units && r.nbands == h.nbands && r.dtype == dtype && r.hasBgThreshold == 1);
    const bool real = dtype == vrdFloat || dtype == vrdDouble;
    EXPECT_TRUE(r.bgThresholdF == (real ? 0.25f : 0.0f) && r.bgThresholdI == (real ? 0 : -3));
    if (vtype != vrdRectXYZ) { // a cubic grid has one spacing for all axes
        EXPECT_TRUE(r.px == 0.75f && r.py == (vtype == vrdCubic ? 0.75f : 1.5f));
    }
    if (vtype < vrdRectZ) {
        EXPECT_EQ(r.pz, vtype == vrdCubic ? 0.75f : 2.25f);
    }
    EXPECT_TRUE((r.rx == nullptr) == (h.rx == nullptr) && (r.ry == nullptr) == (h.ry == nullptr));
    EXPECT_EQ(r.rz == nullptr, h.rz == nullptr);
    if (r.rx != nullptr && r.ry != nullptr) {
        EXPECT_TRUE(std::equal(rx, rx + nx, r.rx) && std::equal(ry, ry + ny, r.ry) && r.rx != rx);
    }
    if (r.rz != nullptr) {
        EXPECT_TRUE(std::equal(rz, rz + nz, r.rz) && r.rz != rz);
    }
    ASSERT_TRUE(r.commentCount == 2 && r.tfnum == 1);
    EXPECT_STREQ(r.comments[0], "leading blanks");
    EXPECT_STREQ(r.comments[1], "plain");
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(r.tfdata[i], tfdata[i]);
    for (const Bytes &slice : slices) {
        Bytes buffer(slice.size(), '\xee');
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
