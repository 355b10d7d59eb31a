// What writeVrdHeader writes, byte for byte.
#include "support.h"

#include <sstream>

namespace {

std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string write(const VrdHeader &h, const std::string &icon, int32_t width, int32_t height)
{
    return writtenBy([&](FILE *f) {
        writeVrdHeader(f, &h, reinterpret_cast<const unsigned char *>(icon.data()), width, height);
    });
}

// The six banner lines as written, the fifth (an address) taken from written.
std::string bannerOf(const std::string &written)
{
    const std::string stars = "#" + std::string(62, '*') + "\n";
    return stars + "#**" + std::string(26, ' ') + "vrd" + std::string(29, ' ') + "**\n" +
           "#**      Format for storage of 3D volumetric data sets       **\n" + "#**" +
           std::string(58, ' ') + "**\n" + linesOf(written).at(7) + "\n" + stars;
}

struct WriterCase {
    const char *name;
    VrdHeader header;
    std::string icon;
    int32_t width, height;
    std::string expected; // with "BANNER\n" where the six banner lines stand
};

float rx[2] = {0.25f, 0.5f}, ry[1] = {1.0f}, rz[2] = {2.0f, 3.0f};
char first[] = "first", empty[] = "", d[] = "0 1", g[] = "x", a[] = "a-b";
char *comments[2] = {first, empty};
char *tfdata[5] = {d, nullptr, g, nullptr, a};

std::vector<WriterCase> writerCases()
{
    VrdHeader cubic = validHeader();
    cubic.compression = vrdCompZlib;
    cubic.dtype = vrdFloat;
    cubic.px = 0.5f;
    cubic.py = cubic.pz = 9.0f;
    cubic.hasBgThreshold = 3;
    cubic.bgThresholdF = 0.5f;
    cubic.bgThresholdI = 4;

    VrdHeader rect = validHeader();
    rect.endian = vrdBigEndian;
    rect.nx = 2, rect.ny = 1, rect.nz = 2;
    rect.vtype = vrdRectXYZ;
    rect.rx = rx, rect.ry = ry, rect.rz = rz;
    rect.nbands = 3;
    rect.dtype = vrdUInt16;
    rect.units = vrdUm;
    rect.hasBgThreshold = 1;
    rect.bgThresholdI = 7;
    rect.bgThresholdF = 2.0f;
    rect.commentCount = 2, rect.comments = comments;
    rect.tfnum = 1, rect.tfdata = tfdata;

    VrdHeader unknown = validHeader();
    unknown.endian = 3, unknown.compression = 0, unknown.dtype = 0, unknown.units = 7;
    unknown.nx = unknown.ny = unknown.nz = 1;
    unknown.vtype = vrdRegular;
    unknown.px = 1.0f, unknown.py = 2.0f, unknown.pz = 3.5f;
    unknown.nbands = 2;
    unknown.bgThresholdF = 1.0f, unknown.bgThresholdI = 1;
    unknown.tfdata = tfdata;

    VrdHeader rectZ = validHeader();
    rectZ.nz = 0;
    rectZ.vtype = vrdRectZ;
    rectZ.px = 1.5f, rectZ.py = 2.5f;
    rectZ.dtype = vrdDouble;
    rectZ.units = vrdUum;
    rectZ.hasBgThreshold = 1;
    rectZ.bgThresholdF = -1.25f;

    return {
        {"cubic", cubic, "ABCDEFGH", 4, 2,
         "P5\n4 2\n#!vrd   \t6.0\nBANNER\n#!endian \tvrdLittleEndian\n#!compression \tzlib\n"
         "#!vdim  \t4 2 3\n#!vtype \tvrdCubic\n#!px\t\t0.500000\n#!nbands \t1\n#!dtype \tvrdFloat\n"
         "#!units \tvrdUmm\n#!bgthreshold \t0.500000\n#!last\n255\nABCDEFGH"},
        {"rectXYZ", rect, "123456", 2, 1,
         "P6\n2 1\n#!vrd   \t6.0\nBANNER\n#!endian \tvrdBigEndian\n#!compression \tnone\n"
         "#!vdim  \t2 1 2\n#!vtype \tvrdRectXYZ\n#!px\t0.250000\n#!px\t0.500000\n#!py\t1.000000\n"
         "#!pz\t2.000000\n#!pz\t3.000000\n#!nbands \t3\n#!dtype \tvrdUInt16\n#!units \tvrdUm\n"
         "#!bgthreshold \t7\n#!comment \tfirst\n#!comment \t\n#!tfnum \t1\n#!tfdata \td 0 1\n"
         "#!tfdata \tr \n#!tfdata \tg x\n#!tfdata \tb \n#!tfdata \ta a-b\n#!last\n255\n123456"},
        {"unknownCodes", unknown, "abc", 1, 1,
         "P6\n1 1\n#!vrd   \t6.0\nBANNER\n#!endian \tunknown\n#!compression \tunknown\n"
         "#!vdim  \t1 1 1\n#!vtype \tvrdRegular\n#!px\t1.000000\n#!py\t2.000000\n#!pz\t3.500000\n"
         "#!nbands \t2\n#!dtype \tunknown\n#!units \tunknown\n#!last\n255\nabc"},
        {"rectZWithoutSlices", rectZ, "12345678", 4, 2,
         "P5\n4 2\n#!vrd   \t6.0\nBANNER\n#!endian \tvrdLittleEndian\n#!compression \tnone\n"
         "#!vdim  \t4 2 0\n#!vtype \tvrdRectZ\n#!px\t1.500000\n#!py\t2.500000\n#!nbands \t1\n"
         "#!dtype \tvrdDouble\n#!units \tvrdUum\n#!bgthreshold \t-1.250000\n#!last\n255\n12345678"},
    };
}

} // namespace

TEST(Writer, WholeHeaders)
{
    for (const WriterCase &c : writerCases()) {
        const std::string out = write(c.header, c.icon, c.width, c.height);
        std::string expected = c.expected;
        expected.replace(expected.find("BANNER\n"), 7, bannerOf(out));
        EXPECT_EQ(out, expected) << c.name;
    }
}

TEST(Writer, BannerLinesKeepTheirFrame)
{
    const std::vector<std::string> lines = linesOf(write(validHeader(), "12345678", 4, 2));
    for (size_t i = 3; i <= 8; ++i)
        EXPECT_EQ(lines[i].size(), 63u) << lines[i];
    EXPECT_EQ(lines[7].compare(0, 5, "#**  "), 0);
    EXPECT_NE(lines[7][5], ' ');
    EXPECT_EQ(lines[7].substr(61), "**");
}

TEST(Writer, LongCommentsAreCut)
{
    const std::pair<size_t, size_t> lengths[] = {{1998, 1998}, {1999, 1999}, {2000, 1998}, {2001, 1998}};
    for (auto [given, written] : lengths) {
        std::string text(given, 'c');
        char *comment = text.data();
        VrdHeader h = validHeader();
        h.commentCount = 1;
        h.comments = &comment;
        const std::string out = write(h, "12345678", 4, 2);
        const std::string key = "#!comment \t";
        const size_t start = out.find(key) + key.size();
        EXPECT_EQ(out.find('\n', start) - start, written) << given;
        EXPECT_EQ(strlen(comment), given);
    }
}

TEST(WriterDeath, EmptyIconWritesNothing)
{
    const VrdHeader h = validHeader();
    const unsigned char icon[8] = {};
    const struct { const unsigned char *icon; int32_t width, height; } cases[] = {
        {nullptr, 4, 2}, {icon, 0, 2}, {icon, 4, 0}};
    for (const auto &c : cases) {
        FILE *f = tmpfile();
        EXPECT_EXIT(writeVrdHeader(f, &h, c.icon, c.width, c.height), testing::ExitedWithCode(1),
                    Exactly("writeVrdHeader: Empty icon image\n"));
        EXPECT_EQ(contentsOf(f), "");
        fclose(f);
    }
}

TEST(WriterDeath, UnknownGridTypeAfterTheVtypeLine)
{
    for (int32_t vtype : {0, 5}) {
        VrdHeader h = validHeader();
        h.vtype = vtype;
        FILE *f = tmpfile();
        const unsigned char icon[8] = {};
        EXPECT_EXIT(writeVrdHeader(f, &h, icon, 4, 2), testing::ExitedWithCode(1),
                    Exactly("writeVrdHeader: Unknown grid type\n"));
        const std::string out = contentsOf(f);
        const std::string tail = "#!vdim  \t4 2 3\n#!vtype \tunknown\n";
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
        fclose(f);
    }
}

TEST(WriterDeath, IconThatCannotBeWritten)
{
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    const VrdHeader h = validHeader();
    const unsigned char icon[8] = {};
    EXPECT_EXIT(writeVrdHeader(full, &h, icon, 4, 2), testing::ExitedWithCode(1),
                Exactly("writeVrdHeader: File write error\n"));
    fclose(full);
}
