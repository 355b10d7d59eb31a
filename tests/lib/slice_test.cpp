// Slice blocks (length fields, raw and zlib payloads, byte order, faults) and
// a round trip over every kind of volume.
#include "volumes.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

using namespace testkit;
using testing::ExitedWithCode;

namespace {

Bytes sequence(size_t n, int first = 0)
{
    Bytes s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char(first + int(i));
    return s;
}

Bytes swapped(Bytes s, size_t size)
{
    for (size_t i = 0; i + size <= s.size(); i += size)
        std::reverse(s.begin() + long(i), s.begin() + long(i + size));
    return s;
}

// Reads one block into buffer: the result and what went to stderr.
std::pair<int32_t, std::string> readBlock(FILE *f, Bytes &buffer, int32_t endian, int32_t size, int32_t count,
                                          int32_t compression)
{
    testing::internal::CaptureStderr();
    const int32_t whole = ReadSliceDataN(f, buffer.data(), endian, size, count, compression);
    return {whole, testing::internal::GetCapturedStderr()};
}

} // namespace

// The fatal paths of the library: exit status and the exact message.
TEST(LibraryDeath, FatalPathsEndWithTheirMessage)
{
    const VrdHeader h = header(4, 2, 3, vrdUChar, vrdCompNone);
    const auto icon = reinterpret_cast<const unsigned char *>("12345678");
    const Bytes payload = deflated(sequence(200)), cut = block(payload).substr(0, 44);
    unsigned char buffer[200] = {};
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    const struct { std::function<void()> call; int status; std::string message; } cases[] = {
        {[] { vrdVoxelSize(11); }, 1, "vrdVoxelSize: unknown voxel type\n"},
        {[&] { writeVrdHeader(tmpfile(), &h, nullptr, 4, 2); }, 1, "writeVrdHeader: Empty icon image\n"},
        {[&] { writeVrdHeader(tmpfile(), &h, icon, 4, 0); }, 1, "writeVrdHeader: Empty icon image\n"},
        {[&] { writeVrdHeader(full, &h, icon, 4, 2); }, 1, "writeVrdHeader: File write error\n"},
        {[] { ReadLong(streamOf("")); }, 1, "ReadLong error (1)\n"}, {[] { ReadLong(streamOf("\1")); }, 1, "ReadLong error (2)\n"},
        {[] { ReadLong(streamOf("\1\1")); }, 1, "ReadLong error (3)\n"}, {[] { ReadLong(streamOf("\1\1\1")); }, 1, "ReadLong error (4)\n"},
        {[&] { SwapOrder(buffer, 3); }, 255, "SwapOrder:: Incorrect item size.\n"},
        {[&] { ReadSliceDataN(streamOf(block("123456")), buffer, vrdBigEndian, 3, 2, vrdCompNone); }, 255,
         "SwapOrder:: Incorrect item size.\n"},
        {[&] { ReadSliceDataZ(streamOf(block(payload)), buffer, 100); }, 1, "ReadSliceDataZ: Uncompression Error (-5)\n"},
        {[&] { ReadSliceDataZ(streamOf(cut), buffer, 200); }, 1, "ReadSliceDataZ: read error (trying to read " +
             std::to_string(payload.size()) + " bytes of data)\nReadSliceDataZ: Uncompression Error (-3)\n"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(c.call(), ExitedWithCode(c.status), testing::Eq(c.message)) << "case " << &c - cases;
    fclose(full);
}

TEST(Slice, LengthFieldsAndItemSizes)
{
    EXPECT_EQ(writtenBy([](FILE *f) { WriteLong(f, 0x01020304); WriteLong(f, -2); }), Bytes("\1\2\3\4\xff\xff\xff\xfe", 8));
    FILE *f = streamOf(Bytes("\1\2\3\4\x80\0\0\0x", 9));
    EXPECT_TRUE(ReadLong(f) == 0x01020304 && ReadLong(f) == INT32_MIN && fgetc(f) == 'x');
    fclose(f);
    for (int32_t size : {1, 2, 4, 8}) {
        Bytes item = sequence(size_t(size));
        SwapOrder(item.data(), size);
        EXPECT_EQ(item, swapped(sequence(size_t(size)), size_t(size)));
    }
    EXPECT_TRUE(vrdDeflateCapacity(0) == 12 && vrdDeflateCapacity(UINT32_MAX) == 4337916979u); // length * 1.01 + 12
}

// Blocks written and read in turn: what each call returns and writes, the buffer afterwards.
TEST(Slice, RawAndZlibBlocks)
{
    const Bytes data = sequence(300), raw = values<uint16_t>({0x1234, 0x5678, 0x9abc});
    EXPECT_EQ(writtenBy([&](FILE *f) {
                  EXPECT_EQ(WriteSliceDataN(f, raw.data(), 2, 3, vrdCompNone), 1);
                  EXPECT_EQ(WriteSliceDataN(f, data.data(), 4, 75, vrdCompZlib), 1);
                  EXPECT_EQ(WriteSliceDataN(f, data.data(), 4, 75, 3), 1); // other codes move nothing
              }), Bytes("\0\0\0\6\x34\x12\x78\x56\xbc\x9a", 10) + block(deflated(data)));
    FILE *f = streamOf(block(sequence(6)) + block(sequence(8)) + block(sequence(10)) + block(sequence(4, 50)) + block(deflated(data)) +
                       block(deflated(sequence(10))) + block(sequence(8)).substr(0, 9));
    const struct { int32_t compression, endian, size, count, whole; const char *message; Bytes buffer; } reads[] = {
        {3, vrdBigEndian, 2, 2, 1, "", "GGGG"},
        {vrdCompNone, vrdLittleEndian, 3, 2, 1, "", sequence(6)}, // no swap in this machine's order, whatever the size
        {vrdCompNone, 0, 4, 2, 1, "", swapped(sequence(8), 4)}, // any order but little-endian is swapped
        {vrdCompNone, vrdBigEndian, 2, 3, 0, "ReadSliceDataN: block of 10 bytes for a slice of 6 bytes\n",
         swapped(sequence(6), 2) + "GG"}, // the stream stands at the next block
        {vrdCompNone, vrdLittleEndian, 2, 3, 0, "", sequence(4, 50) + "GG"}, // shorter: the rest kept
        {vrdCompZlib, vrdLittleEndian, 4, 75, 1, "", data},
        {vrdCompZlib, vrdBigEndian, 2, 10, 0, "ReadSliceDataZ: Incorrect data length (10, 20)\n",
         swapped(sequence(10) + Bytes(10, 'G'), 2)},
        {vrdCompNone, vrdBigEndian, 2, 4, 0, "ReadSliceDataN: read error (trying to read 8 bytes of data)\n",
         swapped(sequence(5) + "GGG", 2)},
    };
    for (const auto &r : reads) {
        Bytes buffer(r.buffer.size(), 'G');
        EXPECT_EQ(readBlock(f, buffer, r.endian, r.size, r.count, r.compression), std::make_pair(r.whole, std::string(r.message)));
        EXPECT_EQ(buffer, r.buffer) << "read " << &r - reads;
    }
    fclose(f);
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    for (auto [code, message] : {std::pair<int32_t, const char *>{vrdCompNone, "WriteSliceDataN: Write Error\n"},
                                 {vrdCompZlib, "WriteSliceDataZ: Write Error\n"}}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(WriteSliceDataN(full, data.data(), 4, 16, code), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    }
    fclose(full);
}

// vrdInflateBlock against zlib's uncompress on the payload padded with zeros.
TEST(Slice, InflateBlockAgreesWithUncompress)
{
    std::mt19937 random(7);
    Bytes noise(2600000, '\0');
    std::generate(noise.begin(), noise.end(), [&] { return char(random()); });
    const Bytes small = deflated(sequence(200)), big = deflated(noise), withDictionary("\x78\xbb\0\0\0\1\3\0", 8);
    const struct { const char *name; Bytes payload; size_t arrived; uint32_t expected; } cases[] = {
        {"exact", small, small.size(), 200},      {"short", small, small.size(), 300},
        {"long", small, small.size(), 100},       {"cut", small, 20, 200},
        {"garbage", "not a zlib stream", 17, 200}, {"empty slice, data", small, small.size(), 0},
        {"dictionary", withDictionary, withDictionary.size(), 200}, {"big cut", big, big.size() / 2, uint32_t(noise.size())},
    };
    for (const auto &c : cases) {
        const Bytes padded = c.payload.substr(0, c.arrived) + Bytes(c.payload.size() - c.arrived, '\0');
        Bytes expected(c.expected + 1, 'G'), got = expected;
        uLongf length = c.expected;
        const int code = uncompress(reinterpret_cast<Bytef *>(&expected[0]), &length,
                                    reinterpret_cast<const Bytef *>(padded.data()), uLong(padded.size()));
        uint32_t inflated = 12345;
        EXPECT_EQ(vrdInflateBlock(c.payload.data(), uint32_t(c.arrived), uint32_t(c.payload.size()), &got[0],
                                  c.expected, &inflated), code) << c.name;
        EXPECT_TRUE(inflated == length && got == expected) << c.name;
    }
}

// Header and slices written and read back equal, for every dtype, byte order, compression and grid type.
TEST(RoundTrip, EveryKindReadsBackEqual)
{
    const int32_t nx = 3, ny = 2, nz = 3;
    float rx[nx] = {0.5f, 1.25f, 2.0f}, ry[ny] = {0.125f, 4.0f}, rz[nz] = {1.0f, 1.5f, 3.0f};
    char comment[] = " \t leading blanks", tf0[] = "0 1", tf1[] = "-2.25";
    char *comments = comment, *tfdata[] = {tf0, tf1, tf0, tf1, tf0};
    for (int kind = 0; kind < 160; ++kind) {
        const int32_t dtype = 1 + kind % 10, endian = 1 + kind / 10 % 2, compression = 1 + kind / 20 % 2, vtype = 1 + kind / 40;
        SCOPED_TRACE(testing::Message() << "dtype " << dtype << ", endian " << endian << ", compression " << compression
                                        << ", vtype " << vtype);
        VrdHeader h = header(nx, ny, nz, dtype, compression, endian);
        h.vtype = vtype, h.px = 0.75f, h.py = 1.5f, h.pz = 2.25f, h.units = vrdUm, h.nbands = dtype % 2 ? 1 : 3;
        h.rx = vtype == vrdRectXYZ ? rx : nullptr, h.ry = h.rx ? ry : nullptr, h.rz = vtype >= vrdRectZ ? rz : nullptr;
        h.hasBgThreshold = 5, h.bgThresholdF = 0.25f, h.bgThresholdI = -3;
        h.commentCount = 1, h.comments = &comments, h.tfnum = 1, h.tfdata = tfdata;
        const int32_t size = vrdVoxelSize(dtype);
        std::vector<Bytes> slices;
        for (int z = 0; z < nz; ++z)
            slices.push_back(sequence(size_t(size) * nx * ny, z * 37 + 3));
        FILE *f = streamOf(volume(h, slices)); // written in the header's byte order
        VrdHeader r{};
        ASSERT_EQ(vrdReadPrologue(f, &r), f) << vrdErrorMessages[vrdErrno];
        const bool real = dtype == vrdFloat || dtype == vrdDouble, cubic = vtype == vrdCubic;
        EXPECT_TRUE(r.versionMajor == 6 && r.versionMinor == 0 && r.compression == compression && r.endian == endian);
        EXPECT_TRUE(r.vtype == vtype && r.nx == nx && r.ny == ny && r.nz == nz && r.units == h.units);
        EXPECT_TRUE(r.nbands == h.nbands && r.dtype == dtype && r.hasBgThreshold == 1);
        EXPECT_TRUE(r.bgThresholdF == (real ? 0.25f : 0.0f) && r.bgThresholdI == (real ? 0 : -3));
        EXPECT_TRUE(vtype == vrdRectXYZ || (r.px == 0.75f && r.py == (cubic ? 0.75f : 1.5f)));
        EXPECT_TRUE(vtype >= vrdRectZ || r.pz == (cubic ? 0.75f : 2.25f));
        EXPECT_TRUE(h.rx ? std::equal(rx, rx + nx, r.rx) && std::equal(ry, ry + ny, r.ry) : !r.rx && !r.ry);
        EXPECT_TRUE(h.rz ? std::equal(rz, rz + nz, r.rz) : !r.rz);
        ASSERT_TRUE(r.commentCount == 1 && r.tfnum == 1);
        EXPECT_TRUE(!strcmp(r.comments[0], "leading blanks") && !strcmp(r.tfdata[1], tf1) && !strcmp(r.tfdata[4], tf0));
        for (const Bytes &slice : slices) {
            Bytes buffer(slice.size(), '\xee');
            EXPECT_EQ(ReadSliceDataN(f, buffer.data(), endian, size, nx * ny, compression), 1);
            EXPECT_TRUE(buffer == slice);
        }
        EXPECT_EQ(fgetc(f), EOF);
        fclose(f);
    }
}
