// Slice blocks: length fields, raw and zlib payloads, byte order, faults.
#include "support.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <random>

namespace {

using testing::ExitedWithCode;

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

const std::pair<int32_t, std::string> kWhole{1, ""};

} // namespace

TEST(SliceDeath, LengthFieldsAndItemSizes)
{
    EXPECT_EQ(writtenBy([](FILE *f) { WriteLong(f, 258); WriteLong(f, -2); }), Bytes("\0\0\1\2\xff\xff\xff\xfe", 8));
    FILE *f = streamOf(Bytes("\0\0\1\2\xff\xff\xff\xfe\x80\0\0\0x", 13));
    for (int32_t value : {258, -2, INT32_MIN})
        EXPECT_EQ(ReadLong(f), value);
    EXPECT_EQ(fgetc(f), 'x');
    fclose(f);
    for (int n = 0; n < 4; ++n) {
        f = streamOf(Bytes(size_t(n), '\1'));
        EXPECT_EXIT(ReadLong(f), ExitedWithCode(1), Exactly("ReadLong error (" + std::to_string(n + 1) + ")\n"));
        fclose(f);
    }
    for (int32_t size : {1, 2, 4, 8}) {
        Bytes item = sequence(size_t(size));
        SwapOrder(item.data(), size);
        EXPECT_EQ(item, swapped(sequence(size_t(size)), size_t(size)));
    }
    unsigned char item[16] = {};
    for (int32_t size : {0, 3, 5, 7, 16, -1}) {
        EXPECT_EXIT(SwapOrder(item, size), ExitedWithCode(255), Exactly("SwapOrder:: Incorrect item size.\n"));
        EXPECT_EXIT(vrdSwapItems(item, size, 1), ExitedWithCode(255), Exactly("SwapOrder:: Incorrect item size.\n"));
    }
    Bytes buffer(6, '\0');
    f = streamOf(block(buffer) + block(buffer) + block(""));
    EXPECT_EXIT(ReadSliceDataN(f, buffer.data(), 1, 3, 2, 2), ExitedWithCode(255),
                Exactly("SwapOrder:: Incorrect item size.\n"));
    EXPECT_EQ(readBlock(f, buffer, 2, 3, 2, 2), kWhole); // no swap in this machine's order
    EXPECT_EQ(readBlock(f, buffer, 1, 3, 0, 2).second, ""); // nor with no items
    fclose(f);
}

TEST(Slice, RawBlocks)
{
    const Bytes data = values<uint16_t>({0x1234, 0x5678, 0x9abc});
    EXPECT_EQ(writtenBy([&](FILE *f) { EXPECT_EQ(WriteSliceDataN(f, data.data(), 2, 3, 2), 1); }),
              Bytes("\0\0\0\6\x34\x12\x78\x56\xbc\x9a", 10));
    EXPECT_EQ(data, values<uint16_t>({0x1234, 0x5678, 0x9abc})) << "the caller's slice changed";
    FILE *f = streamOf(block(sequence(8)) + block(sequence(10)) + block(sequence(4, 50)) + block(sequence(8)).substr(0, 9));
    Bytes buffer(8, 'G');
    EXPECT_EQ(readBlock(f, buffer, 0, 4, 2, 2), kWhole); // any order but little-endian is swapped
    EXPECT_EQ(buffer, swapped(sequence(8), 4));
    buffer = Bytes(8, 'G');
    EXPECT_EQ(readBlock(f, buffer, 1, 2, 3, 2),
              std::make_pair(0, std::string("ReadSliceDataN: block of 10 bytes for a slice of 6 bytes\n")));
    EXPECT_EQ(buffer, swapped(sequence(6), 2) + "GG");
    EXPECT_EQ(readBlock(f, buffer, 2, 2, 3, 2), std::make_pair(0, std::string()));
    EXPECT_EQ(buffer, sequence(4, 50) + "\5\4GG");
    buffer = Bytes(8, 'G');
    EXPECT_EQ(readBlock(f, buffer, 1, 2, 4, 2),
              std::make_pair(0, std::string("ReadSliceDataN: read error (trying to read 8 bytes of data)\n")));
    EXPECT_EQ(buffer, swapped(sequence(5) + "GGG", 2));
    EXPECT_EXIT(ReadSliceDataN(f, buffer.data(), 2, 2, 4, 2), ExitedWithCode(1), Exactly("ReadLong error (1)\n"));
    fclose(f);
}

TEST(Slice, OtherCompressionCodesMoveNothing)
{
    for (int32_t code : {0, 3}) {
        FILE *f = tmpfile();
        fputc('x', f);
        EXPECT_EQ(WriteSliceDataN(f, "\1\2\3\4", 2, 2, code), 1);
        char onDisk = 0;
        EXPECT_EQ(pread(fileno(f), &onDisk, 1, 0), 1) << "not flushed";
        Bytes buffer = sequence(4);
        EXPECT_EQ(readBlock(f, buffer, 1, 2, 2, code).first, 1);
        EXPECT_EQ(ftell(f), 1);
        EXPECT_EQ(buffer, swapped(sequence(4), 2));
        fclose(f);
    }
    EXPECT_EQ(writtenBy([](FILE *f) { WriteSliceDataN(f, "", 4, 0, 2); }), Bytes(4, '\0'));
}

TEST(Slice, ShortWrites)
{
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    const Bytes data = sequence(64);
    for (auto [code, message] : {std::pair<int32_t, const char *>{2, "WriteSliceDataN: Write Error\n"},
                                 {1, "WriteSliceDataZ: Write Error\n"}}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(WriteSliceDataN(full, data.data(), 4, 16, code), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    }
    fclose(full);
}

namespace {

// zlib's uncompress on a payload of which only `arrived` bytes came, the rest
// zeros: its code, the inflated length and the output bytes.
struct Inflated {
    int code;
    uLongf length;
    Bytes bytes;
};

Inflated uncompressPadded(const Bytes &payload, size_t arrived, uint32_t expected)
{
    const Bytes padded = payload.substr(0, arrived) + Bytes(payload.size() - arrived, '\0');
    Inflated r{0, expected, Bytes(expected + 1, 'G')};
    r.code = uncompress(reinterpret_cast<Bytef *>(r.bytes.data()), &r.length,
                        reinterpret_cast<const Bytef *>(padded.data()), uLong(padded.size()));
    return r;
}

} // namespace

TEST(SliceDeath, ZlibBlocks)
{
    const Bytes data = sequence(300), payload = deflated(sequence(200));
    const Bytes out = writtenBy([&](FILE *f) { EXPECT_EQ(WriteSliceDataN(f, data.data(), 4, 75, 1), 1); });
    EXPECT_EQ(out, block(deflated(data)));
    FILE *f = streamOf(out + block(deflated(sequence(10))));
    Bytes buffer(300, '\0');
    EXPECT_EQ(readBlock(f, buffer, 2, 4, 75, 1), kWhole);
    EXPECT_EQ(buffer, data);
    buffer = sequence(20, 100);
    EXPECT_EQ(readBlock(f, buffer, 1, 2, 10, 1),
              std::make_pair(0, std::string("ReadSliceDataZ: Incorrect data length (10, 20)\n")));
    EXPECT_EQ(buffer, swapped(sequence(10) + sequence(10, 110), 2));
    fclose(f);

    const int cut = uncompressPadded(payload, 40, 100).code, empty = uncompressPadded("", 0, 100).code;
    ASSERT_NE(cut, Z_OK);
    buffer.assign(200, '\0');
    const std::pair<Bytes, std::string> fatal[] = {
        {block(payload), "ReadSliceDataZ: Uncompression Error (-5)\n"},
        {block(""), "ReadSliceDataZ: Uncompression Error (" + std::to_string(empty) + ")\n"},
        {block(payload).substr(0, 44), "ReadSliceDataZ: read error (trying to read " + std::to_string(payload.size()) +
                                           " bytes of data)\nReadSliceDataZ: Uncompression Error (" +
                                           std::to_string(cut) + ")\n"},
    };
    for (const auto &[file, message] : fatal) {
        f = streamOf(file);
        EXPECT_EXIT(ReadSliceDataZ(f, buffer.data(), 100), ExitedWithCode(1), Exactly(message));
        fclose(f);
    }
    for (auto [length, capacity] : {std::pair<uint32_t, uint64_t>{0, 12}, {100, 113}, {UINT32_MAX, 4337916979u}})
        EXPECT_EQ(vrdDeflateCapacity(length), capacity) << length; // length * 1.01 + 12
}

// vrdInflateBlock against zlib's uncompress on the payload padded with zeros.
TEST(Slice, InflateBlockAgreesWithUncompress)
{
    std::mt19937 random(7);
    Bytes noise(2600000, '\0');
    for (char &c : noise)
        c = char(random());
    const Bytes small = deflated(sequence(200)), big = deflated(noise);
    Bytes corrupt = small, withDictionary(64, '\0');
    corrupt.back() ^= 1;
    z_stream z{};
    deflateInit(&z, Z_DEFAULT_COMPRESSION);
    deflateSetDictionary(&z, reinterpret_cast<const Bytef *>("abc"), 3);
    z.next_in = reinterpret_cast<Bytef *>(noise.data()), z.avail_in = 10;
    z.next_out = reinterpret_cast<Bytef *>(withDictionary.data()), z.avail_out = 64;
    deflate(&z, Z_FINISH);
    withDictionary.resize(z.total_out);
    deflateEnd(&z);
    const uint32_t n = uint32_t(noise.size());
    const struct { const char *name; Bytes payload; size_t arrived; uint32_t expected; } cases[] = {
        {"exact", small, small.size(), 200},          {"short", small, small.size(), 300},
        {"long", small, small.size(), 100},           {"cut", small, 20, 200},
        {"header only", small, 2, 200},               {"garbage", "not a zlib stream", 17, 200},
        {"empty", "", 0, 200},                        {"empty slice", deflated(""), 8, 0},
        {"empty slice, data", small, small.size(), 0}, {"trailing bytes", small + "tail", small.size() + 4, 200},
        {"bad checksum", corrupt, corrupt.size(), 200}, {"dictionary", withDictionary, withDictionary.size(), 200},
        {"big", big, big.size(), n}, {"big cut", big, big.size() / 2, n}, {"big long", big, big.size(), n - 1},
    };
    for (const auto &c : cases) {
        const Inflated expected = uncompressPadded(c.payload, c.arrived, c.expected);
        Bytes got(c.expected + 1, 'G');
        uint32_t inflated = 12345;
        EXPECT_EQ(vrdInflateBlock(c.payload.data(), uint32_t(c.arrived), uint32_t(c.payload.size()), got.data(),
                                  c.expected, &inflated), expected.code) << c.name;
        EXPECT_EQ(inflated, expected.length) << c.name;
        EXPECT_TRUE(got == expected.bytes) << c.name;
    }
}
