// Slice blocks: length fields, raw and zlib payloads, byte order, faults.
#include "support.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <random>

namespace {

using testing::ExitedWithCode;

std::string block(const std::string &payload)
{
    const uint32_t n = uint32_t(payload.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + payload;
}

std::string deflated(const std::string &data)
{
    std::string out(compressBound(uLong(data.size())), '\0');
    uLongf n = uLongf(out.size());
    EXPECT_EQ(compress(reinterpret_cast<Bytef *>(out.data()), &n, reinterpret_cast<const Bytef *>(data.data()),
                       uLong(data.size())), Z_OK);
    return out.substr(0, n);
}

std::string sequence(size_t n, int first = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char(first + int(i));
    return s;
}

std::string reversedItems(std::string s, size_t size)
{
    for (size_t i = 0; i + size <= s.size(); i += size)
        std::reverse(s.begin() + long(i), s.begin() + long(i + size));
    return s;
}

// Reads one block of file text into buffer; returns the result and stderr.
std::pair<int32_t, std::string> readBlock(FILE *f, std::string &buffer, int32_t endian, int32_t size,
                                          int32_t count, int32_t compression)
{
    testing::internal::CaptureStderr();
    const int32_t whole = ReadSliceDataN(f, buffer.data(), endian, size, count, compression);
    return {whole, testing::internal::GetCapturedStderr()};
}

// zlib's uncompress on a payload of which only `arrived` bytes came, the
// rest being zeros: its code, the inflated length and the output bytes.
struct Inflated {
    int code;
    uLongf length;
    std::string bytes;
};

Inflated uncompressPadded(const std::string &payload, size_t arrived, uint32_t expected)
{
    const std::string padded = payload.substr(0, arrived) + std::string(payload.size() - arrived, '\0');
    Inflated r{0, expected, std::string(expected + 1, 'G')};
    r.code = uncompress(reinterpret_cast<Bytef *>(r.bytes.data()), &r.length,
                        reinterpret_cast<const Bytef *>(padded.data()), uLong(padded.size()));
    return r;
}

} // namespace

TEST(Slice, LengthFields)
{
    EXPECT_EQ(writtenBy([](FILE *f) { WriteLong(f, 258); }), std::string("\0\0\1\2", 4));
    EXPECT_EQ(writtenBy([](FILE *f) { WriteLong(f, -2); }), "\xff\xff\xff\xfe");
    const std::pair<std::string, int32_t> cases[] = {{std::string("\0\0\1\2", 4), 258},
        {std::string("\0\0\0\x18", 4), 24}, {"\xff\xff\xff\xfe", -2}, {std::string("\x80\0\0\0", 4), INT32_MIN}};
    for (const auto &[bytes, value] : cases) {
        FILE *f = streamOf(bytes + "x");
        EXPECT_EQ(ReadLong(f), value);
        EXPECT_EQ(fgetc(f), 'x');
        fclose(f);
    }
}

TEST(SliceDeath, CutLengthField)
{
    for (int n = 0; n < 4; ++n) {
        FILE *f = streamOf(std::string(size_t(n), '\1'));
        EXPECT_EXIT(ReadLong(f), ExitedWithCode(1), Exactly("ReadLong error (" + std::to_string(n + 1) + ")\n"));
        fclose(f);
    }
}

TEST(Slice, RawBlockLayoutAndByteOrder)
{
    uint16_t slice[12];
    for (int i = 0; i < 12; ++i)
        slice[i] = uint16_t(0x1234 + i);
    const std::string memory(reinterpret_cast<const char *>(slice), sizeof slice);
    const std::string out = writtenBy([&](FILE *f) { EXPECT_EQ(WriteSliceDataN(f, slice, 2, 12, 2), 1); });
    EXPECT_EQ(out, std::string("\0\0\0\x18", 4) + memory);
    EXPECT_EQ(out.substr(4, 2), "\x34\x12");
    EXPECT_EQ(memory, std::string(reinterpret_cast<const char *>(slice), sizeof slice)) << "data changed";

    for (int32_t size : {1, 2, 4, 8}) {
        const std::string bytes = sequence(24);
        for (int32_t endian : {1, 2, 0}) {
            FILE *f = streamOf(block(bytes));
            std::string buffer(24, '\0');
            EXPECT_EQ(readBlock(f, buffer, endian, size, 24 / size, 2), std::make_pair(1, std::string()));
            EXPECT_EQ(buffer, endian == 2 ? bytes : reversedItems(bytes, size_t(size))) << size << endian;
            fclose(f);
        }
    }
}

TEST(SliceDeath, ItemSizes)
{
    for (int32_t size : {1, 2, 4, 8}) {
        std::string item = sequence(size_t(size));
        SwapOrder(item.data(), size);
        EXPECT_EQ(item, reversedItems(sequence(size_t(size)), size_t(size)));
    }
    for (int32_t size : {0, 3, 5, 7, 16, -1}) {
        unsigned char item[16] = {};
        EXPECT_EXIT(SwapOrder(item, size), ExitedWithCode(255), Exactly("SwapOrder:: Incorrect item size.\n"));
        EXPECT_EXIT(vrdSwapItems(item, size, 1), ExitedWithCode(255), Exactly("SwapOrder:: Incorrect item size.\n"));
    }
    std::string buffer(6, '\0');
    FILE *f = streamOf(block(buffer));
    EXPECT_EXIT(ReadSliceDataN(f, buffer.data(), 1, 3, 2, 2), ExitedWithCode(255),
                Exactly("SwapOrder:: Incorrect item size.\n"));
    fclose(f);
    f = streamOf(block(buffer) + block(""));
    EXPECT_EQ(readBlock(f, buffer, 2, 3, 2, 2), std::make_pair(1, std::string()));
    EXPECT_EQ(readBlock(f, buffer, 1, 3, 0, 2).second, "");
    vrdSwapItems(buffer.data(), 3, 0);
    fclose(f);
}

TEST(Slice, OtherCompressionCodesMoveNothing)
{
    for (int32_t code : {0, 3}) {
        FILE *f = tmpfile();
        fputc('x', f);
        const char data[4] = {1, 2, 3, 4};
        EXPECT_EQ(WriteSliceDataN(f, data, 2, 2, code), 1);
        char onDisk = 0;
        EXPECT_EQ(pread(fileno(f), &onDisk, 1, 0), 1) << "not flushed";
        EXPECT_EQ(contentsOf(f), "x");
        rewind(f);
        std::string buffer = sequence(4);
        EXPECT_EQ(readBlock(f, buffer, 1, 2, 2, code).first, 1);
        EXPECT_EQ(ftell(f), 0);
        EXPECT_EQ(buffer, reversedItems(sequence(4), 2));
        fclose(f);
    }
    EXPECT_EQ(writtenBy([](FILE *f) { WriteSliceDataN(f, "", 4, 0, 2); }), std::string(4, '\0'));
}

TEST(Slice, RawBlockOfAnotherLength)
{
    FILE *f = streamOf(block(sequence(10)) + block(sequence(4, 50)) + block(sequence(8, 70)));
    std::string buffer = std::string(8, 'G');
    EXPECT_EQ(readBlock(f, buffer, 1, 2, 3, 2),
              std::make_pair(0, std::string("ReadSliceDataN: block of 10 bytes for a slice of 6 bytes\n")));
    EXPECT_EQ(buffer, reversedItems(sequence(6), 2) + "GG");
    EXPECT_EQ(readBlock(f, buffer, 2, 2, 3, 2), std::make_pair(0, std::string()));
    EXPECT_EQ(buffer, sequence(4, 50) + "\5\4GG");
    EXPECT_EQ(readBlock(f, buffer, 2, 2, 4, 2), std::make_pair(1, std::string()));
    fclose(f);
}

TEST(SliceDeath, RawPayloadCutShort)
{
    FILE *f = streamOf(block(sequence(8)).substr(0, 9));
    std::string buffer = std::string(8, 'G');
    EXPECT_EQ(readBlock(f, buffer, 1, 2, 4, 2),
              std::make_pair(0, std::string("ReadSliceDataN: read error (trying to read 8 bytes of data)\n")));
    EXPECT_EQ(buffer, reversedItems(sequence(5) + "GGG", 2));
    EXPECT_EXIT(ReadSliceDataN(f, buffer.data(), 2, 2, 4, 2), ExitedWithCode(1), Exactly("ReadLong error (1)\n"));
    fclose(f);
}

TEST(Slice, ShortWrites)
{
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    const std::string data = sequence(64);
    const std::pair<int32_t, const char *> cases[] = {{2, "WriteSliceDataN: Write Error\n"},
                                                      {1, "WriteSliceDataZ: Write Error\n"}};
    for (const auto &[code, message] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(WriteSliceDataN(full, data.data(), 4, 16, code), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    }
    fclose(full);
}

TEST(Slice, ZlibBlocks)
{
    const std::string data = sequence(300);
    const std::string out = writtenBy([&](FILE *f) { EXPECT_EQ(WriteSliceDataN(f, data.data(), 4, 75, 1), 1); });
    EXPECT_EQ(out, block(deflated(data)));

    FILE *f = streamOf(out + block(deflated(sequence(10))));
    std::string buffer(300, '\0');
    EXPECT_EQ(readBlock(f, buffer, 2, 4, 75, 1), std::make_pair(1, std::string()));
    EXPECT_EQ(buffer, data);
    buffer = sequence(20, 100);
    EXPECT_EQ(readBlock(f, buffer, 1, 2, 10, 1),
              std::make_pair(0, std::string("ReadSliceDataZ: Incorrect data length (10, 20)\n")));
    EXPECT_EQ(buffer, reversedItems(sequence(10) + sequence(10, 110), 2));
    fclose(f);
}

TEST(SliceDeath, ZlibBlocksThatCannotInflate)
{
    const std::string payload = deflated(sequence(200));
    const int cut = uncompressPadded(payload, 40, 100).code, empty = uncompressPadded("", 0, 100).code;
    ASSERT_NE(cut, Z_OK);
    const struct { std::string file; std::string message; } cases[] = {
        {block(payload), "ReadSliceDataZ: Uncompression Error (-5)\n"},
        {block(""), "ReadSliceDataZ: Uncompression Error (" + std::to_string(empty) + ")\n"},
        {block(payload).substr(0, 44), "ReadSliceDataZ: read error (trying to read " + std::to_string(payload.size()) +
                                           " bytes of data)\nReadSliceDataZ: Uncompression Error (" +
                                           std::to_string(cut) + ")\n"},
    };
    for (const auto &c : cases) {
        FILE *f = streamOf(c.file);
        std::string buffer(200, '\0');
        EXPECT_EXIT(ReadSliceDataZ(f, buffer.data(), 100), ExitedWithCode(1), Exactly(c.message));
        fclose(f);
    }
}

TEST(Slice, DeflateCapacity)
{
    const std::pair<uint32_t, uint64_t> cases[] = {{0, 12}, {100, 113}, {300, 315}, {UINT32_MAX, 4337916979u}};
    for (const auto &[length, capacity] : cases)
        EXPECT_EQ(vrdDeflateCapacity(length), capacity) << length;
}

// vrdInflateBlock against zlib's uncompress on the payload padded with zeros.
TEST(Slice, InflateBlockAgreesWithUncompress)
{
    std::mt19937 random(7);
    std::string noise(2600000, '\0');
    for (char &c : noise)
        c = char(random());
    const std::string small = deflated(sequence(200)), big = deflated(noise);
    std::string corrupt = small;
    corrupt.back() ^= 1;
    std::string withDictionary(64, '\0');
    {
        z_stream z{};
        deflateInit(&z, Z_DEFAULT_COMPRESSION);
        deflateSetDictionary(&z, reinterpret_cast<const Bytef *>("abc"), 3);
        z.next_in = reinterpret_cast<Bytef *>(noise.data()), z.avail_in = 10;
        z.next_out = reinterpret_cast<Bytef *>(withDictionary.data()), z.avail_out = 64;
        deflate(&z, Z_FINISH);
        withDictionary.resize(z.total_out);
        deflateEnd(&z);
    }
    const struct { const char *name; std::string payload; size_t arrived; uint32_t expected; } cases[] = {
        {"exact", small, small.size(), 200},          {"short", small, small.size(), 300},
        {"long", small, small.size(), 100},           {"cut", small, 20, 200},
        {"header only", small, 2, 200},               {"garbage", "not a zlib stream", 17, 200},
        {"empty", "", 0, 200},                        {"empty slice", deflated(""), 8, 0},
        {"empty slice, data", small, small.size(), 0}, {"trailing bytes", small + "tail", small.size() + 4, 200},
        {"bad checksum", corrupt, corrupt.size(), 200}, {"dictionary", withDictionary, withDictionary.size(), 200},
        {"big", big, big.size(), uint32_t(noise.size())}, {"big cut", big, big.size() / 2, uint32_t(noise.size())},
        {"big long", big, big.size(), uint32_t(noise.size() - 1)},
    };
    for (const auto &c : cases) {
        const Inflated expected = uncompressPadded(c.payload, c.arrived, c.expected);
        std::string got(c.expected + 1, 'G');
        uint32_t inflated = 12345;
        EXPECT_EQ(vrdInflateBlock(c.payload.data(), uint32_t(c.arrived), uint32_t(c.payload.size()), got.data(),
                                  c.expected, &inflated), expected.code) << c.name;
        EXPECT_EQ(inflated, expected.length) << c.name;
        EXPECT_TRUE(got == expected.bytes) << c.name;
    }
}
