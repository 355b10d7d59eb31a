// What writeVrdHeader writes, byte for byte.
#include "support.h"

#include <cstring>

namespace {

std::string write(const VrdHeader &h, const std::string &icon, int32_t width, int32_t height)
{
    return writtenBy([&](FILE *f) {
        writeVrdHeader(f, &h, reinterpret_cast<const unsigned char *>(icon.data()), width, height);
    });
}

float rx[2] = {0.25f, 0.5f}, ry[1] = {1.0f}, rz[2] = {2.0f, 3.0f};
char first[] = "first", empty[] = "", d[] = "0 1", g[] = "x", a[] = "a-b";
char *comments[2] = {first, empty};
char *tfdata[5] = {d, nullptr, g, nullptr, a};

} // namespace

TEST(Writer, WholeHeaders)
{
    VrdHeader cubic = validHeader();
    cubic.compression = vrdCompZlib, cubic.dtype = vrdFloat;
    cubic.px = 0.5f, cubic.py = cubic.pz = 9.0f;
    cubic.hasBgThreshold = 3, cubic.bgThresholdF = 0.5f, cubic.bgThresholdI = 4;

    VrdHeader rect = validHeader();
    rect.endian = vrdBigEndian, rect.nx = 2, rect.ny = 1, rect.nz = 2, rect.vtype = vrdRectXYZ;
    rect.rx = rx, rect.ry = ry, rect.rz = rz;
    rect.nbands = 3, rect.dtype = vrdUInt16, rect.units = vrdUm;
    rect.hasBgThreshold = 1, rect.bgThresholdI = 7, rect.bgThresholdF = 2.0f;
    rect.commentCount = 2, rect.comments = comments, rect.tfnum = 1, rect.tfdata = tfdata;

    VrdHeader unknown = validHeader();
    unknown.endian = 3, unknown.compression = 0, unknown.dtype = 0, unknown.units = 7;
    unknown.nz = 0, unknown.vtype = vrdRectZ, unknown.px = 1.0f, unknown.py = 2.5f, unknown.nbands = 2;
    unknown.bgThresholdF = 1.0f, unknown.bgThresholdI = 1, unknown.tfdata = tfdata;

    const std::string stars = "#" + std::string(62, '*') + "\n";
    const std::string bannerTop = "#!vrd   \t6.0\n" + stars + "#**" + std::string(26, ' ') + "vrd" +
                                  std::string(29, ' ') + "**\n#**      Format for storage of 3D volumetric data sets"
                                  "       **\n#**" + std::string(58, ' ') + "**\n#**  ";
    const struct { VrdHeader header; std::string icon; int32_t width, height; std::string start, end; } cases[] = {
        {cubic, "ABCDEFGH", 4, 2, "P5\n4 2\n",
         "#!endian \tvrdLittleEndian\n#!compression \tzlib\n#!vdim  \t4 2 3\n#!vtype \tvrdCubic\n"
         "#!px\t\t0.500000\n#!nbands \t1\n#!dtype \tvrdFloat\n#!units \tvrdUmm\n#!bgthreshold \t0.500000\n"
         "#!last\n255\nABCDEFGH"},
        {rect, "123456", 2, 1, "P6\n2 1\n",
         "#!endian \tvrdBigEndian\n#!compression \tnone\n#!vdim  \t2 1 2\n#!vtype \tvrdRectXYZ\n"
         "#!px\t0.250000\n#!px\t0.500000\n#!py\t1.000000\n#!pz\t2.000000\n#!pz\t3.000000\n#!nbands \t3\n"
         "#!dtype \tvrdUInt16\n#!units \tvrdUm\n#!bgthreshold \t7\n#!comment \tfirst\n#!comment \t\n"
         "#!tfnum \t1\n#!tfdata \td 0 1\n#!tfdata \tr \n#!tfdata \tg x\n#!tfdata \tb \n#!tfdata \ta a-b\n"
         "#!last\n255\n123456"},
        {unknown, "abc", 1, 1, "P6\n1 1\n",
         "#!endian \tunknown\n#!compression \tunknown\n#!vdim  \t4 2 0\n#!vtype \tvrdRectZ\n#!px\t1.000000\n"
         "#!py\t2.500000\n#!nbands \t2\n#!dtype \tunknown\n#!units \tunknown\n#!last\n255\nabc"},
    };
    for (const auto &c : cases) {
        const std::string out = write(c.header, c.icon, c.width, c.height);
        const size_t address = c.start.size() + bannerTop.size(), end = out.find('\n', address);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(end - address, 58u) << "the address line keeps the 62-character frame";
        EXPECT_TRUE(out[address] != ' ' && out.compare(end - 2, 2, "**") == 0);
        EXPECT_EQ(out.substr(0, address), c.start + bannerTop);
        EXPECT_EQ(out.substr(end + 1), stars + c.end);
    }
}

TEST(Writer, LongCommentsAreCut)
{
    const std::pair<size_t, size_t> lengths[] = {{1998, 1998}, {1999, 1999}, {2000, 1998}, {2001, 1998}};
    for (auto [given, written] : lengths) {
        std::string text(given, 'c');
        char *comment = text.data();
        VrdHeader h = validHeader();
        h.commentCount = 1, h.comments = &comment;
        const std::string out = write(h, "12345678", 4, 2), key = "#!comment \t";
        const size_t start = out.find(key) + key.size();
        EXPECT_EQ(out.find('\n', start) - start, written) << given;
        EXPECT_EQ(strlen(comment), given);
    }
}

TEST(WriterDeath, Faults)
{
    const unsigned char icon[8] = {};
    const VrdHeader good = validHeader();
    VrdHeader noGrid = validHeader();
    noGrid.vtype = 5;
    const struct {
        const VrdHeader *h;
        const unsigned char *icon;
        int32_t width, height;
        const char *message, *written;
    } cases[] = {
        {&good, nullptr, 4, 2, "writeVrdHeader: Empty icon image\n", ""},
        {&good, icon, 0, 2, "writeVrdHeader: Empty icon image\n", ""},
        {&good, icon, 4, 0, "writeVrdHeader: Empty icon image\n", ""},
        {&noGrid, icon, 4, 2, "writeVrdHeader: Unknown grid type\n", "#!vdim  \t4 2 3\n#!vtype \tunknown\n"},
    };
    for (const auto &c : cases) {
        FILE *f = tmpfile();
        EXPECT_EXIT(writeVrdHeader(f, c.h, c.icon, c.width, c.height), testing::ExitedWithCode(1),
                    Exactly(c.message));
        const std::string out = contentsOf(f), tail = c.written;
        EXPECT_TRUE(out.size() >= tail.size() && out.substr(out.size() - tail.size()) == tail) << out;
        EXPECT_EQ(out.empty(), tail.empty());
        fclose(f);
    }
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EXIT(writeVrdHeader(full, &good, icon, 4, 2), testing::ExitedWithCode(1),
                Exactly("writeVrdHeader: File write error\n"));
    fclose(full);
}
