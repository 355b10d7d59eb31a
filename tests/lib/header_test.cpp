// The header record, the writer's output byte for byte, and validation.
#include "support.h"

#include <cmath>
#include <cstring>

TEST(RecordDeath, ClearVoxelSizesAndComments)
{
    float spacing = 1.0f;
    char *text = nullptr;
    VrdHeader h = validHeader();
    h.versionMajor = 6, h.versionMinor = 3, h.rx = h.ry = h.rz = &spacing, h.comments = h.tfdata = &text;
    h.hasBgThreshold = h.bgThresholdI = h.commentCount = h.tfnum = 1, h.bgThresholdF = 2.0f;
    EXPECT_EQ(vrdClearHeader(&h), &h);
    EXPECT_TRUE(h.versionMajor == 6 && h.versionMinor == 3); // the version stays
    for (int32_t field : {h.compression, h.endian, h.nx, h.ny, h.nz, h.vtype, h.units, h.nbands, h.dtype,
                          h.hasBgThreshold, h.bgThresholdI, h.commentCount, h.tfnum})
        EXPECT_EQ(field, 0);
    EXPECT_TRUE(h.px == 0 && h.py == 0 && h.pz == 0 && h.bgThresholdF == 0);
    EXPECT_TRUE(!h.rx && !h.ry && !h.rz && !h.comments && !h.tfdata);

    const int32_t bytes[10] = {1, 1, 2, 2, 2, 2, 4, 4, 4, 8};
    for (h.dtype = vrdUChar; h.dtype <= vrdDouble; ++h.dtype)
        EXPECT_TRUE(vrdVoxelSize(h.dtype) == bytes[h.dtype - 1] && vrdHeaderVoxelSize(&h) == bytes[h.dtype - 1]);
    for (int32_t code : {0, 11, -1})
        EXPECT_EXIT(vrdVoxelSize(code), testing::ExitedWithCode(1), Exactly("vrdVoxelSize: unknown voxel type\n"));

    char first[] = "first";
    vrdAddHdrComment(&h, first);
    vrdAddHdrComment(&h, "");
    strcpy(first, "later");
    ASSERT_EQ(h.commentCount, 2);
    EXPECT_TRUE(!strcmp(h.comments[0], "first") && !strcmp(h.comments[1], ""));
    // A copy that cannot be made ends the run, like a failed growth.
    EXPECT_EXIT((vrdTestFailStrdup = 1, vrdAddHdrComment(&h, "text")), testing::ExitedWithCode(1),
                Exactly("vrdAddHdrComment: Allocation Error\n"));
}

namespace {

Bytes written(const VrdHeader &h, const std::string &icon, int32_t width, int32_t height)
{
    return writtenBy([&](FILE *f) {
        writeVrdHeader(f, &h, reinterpret_cast<const unsigned char *>(icon.data()), width, height);
    });
}

} // namespace

TEST(Writer, WholeHeaders)
{
    VrdHeader cubic = validHeader();
    cubic.compression = vrdCompZlib, cubic.dtype = vrdFloat, cubic.px = 0.5f, cubic.py = cubic.pz = 9.0f;
    cubic.hasBgThreshold = 3, cubic.bgThresholdF = 0.5f, cubic.bgThresholdI = 4;

    float rx[2] = {0.25f, 0.5f}, ry[1] = {1.0f}, rz[2] = {2.0f, 3.0f};
    char first[] = "first", empty[] = "", d[] = "0 1", g[] = "x", a[] = "a-b";
    char *comments[2] = {first, empty}, *tfdata[5] = {d, nullptr, g, nullptr, a};
    VrdHeader rect = validHeader();
    rect.endian = vrdBigEndian, rect.nx = 2, rect.ny = 1, rect.nz = 2, rect.vtype = vrdRectXYZ;
    rect.rx = rx, rect.ry = ry, rect.rz = rz, rect.nbands = 3, rect.dtype = vrdUInt16, rect.units = vrdUm;
    rect.hasBgThreshold = 1, rect.bgThresholdI = 7, rect.bgThresholdF = 2.0f;
    rect.commentCount = 2, rect.comments = comments, rect.tfnum = 1, rect.tfdata = tfdata;

    const std::string stars = "#" + std::string(62, '*') + "\n";
    const std::string banner = "#!vrd   \t6.0\n" + stars + "#**" + std::string(26, ' ') + "vrd" +
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
    };
    for (const auto &c : cases) {
        const Bytes out = written(c.header, c.icon, c.width, c.height);
        const size_t address = c.start.size() + banner.size(), end = out.find('\n', address);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(end - address, 58u) << "the address line keeps the 62-character frame";
        EXPECT_TRUE(out[address] != ' ' && out.compare(end - 2, 2, "**") == 0);
        EXPECT_EQ(out.substr(0, address), c.start + banner);
        EXPECT_EQ(out.substr(end + 1), stars + c.end);
    }
    // Codes without a name.
    VrdHeader unknown = validHeader();
    unknown.endian = 3, unknown.compression = 0, unknown.dtype = 0, unknown.units = 7;
    const Bytes out = written(unknown, "12345678", 4, 2);
    EXPECT_NE(out.find("#!endian \tunknown\n#!compression \tunknown\n"), std::string::npos) << out;
    EXPECT_NE(out.find("#!dtype \tunknown\n#!units \tunknown\n#!last\n"), std::string::npos) << out;
}

TEST(WriterDeath, LongCommentsAndFaults)
{
    for (auto [given, kept] : {std::pair<size_t, size_t>{1999, 1999}, {2000, 1998}, {2001, 1998}}) {
        std::string text(given, 'c');
        char *comment = text.data();
        VrdHeader h = validHeader();
        h.commentCount = 1, h.comments = &comment;
        const Bytes out = written(h, "12345678", 4, 2), key = "#!comment \t";
        const size_t start = out.find(key) + key.size();
        EXPECT_EQ(out.find('\n', start) - start, kept) << given;
        EXPECT_EQ(strlen(comment), given) << "the caller's comment changed";
    }
    const unsigned char icon[8] = {};
    const VrdHeader good = validHeader();
    VrdHeader noGrid = validHeader();
    noGrid.vtype = 5;
    const struct { const VrdHeader *h; const unsigned char *icon; int32_t width, height; const char *message, *tail; }
    cases[] = {
        {&good, nullptr, 4, 2, "writeVrdHeader: Empty icon image\n", ""},
        {&good, icon, 0, 2, "writeVrdHeader: Empty icon image\n", ""},
        {&good, icon, 4, 0, "writeVrdHeader: Empty icon image\n", ""},
        {&noGrid, icon, 4, 2, "writeVrdHeader: Unknown grid type\n", "#!vdim  \t4 2 3\n#!vtype \tunknown\n"},
    };
    for (const auto &c : cases) {
        FILE *f = tmpfile();
        EXPECT_EXIT(writeVrdHeader(f, c.h, c.icon, c.width, c.height), testing::ExitedWithCode(1),
                    Exactly(c.message));
        rewind(f);
        const Bytes all = restOf(f), tail = c.tail;
        EXPECT_TRUE(all.size() >= tail.size() && all.substr(all.size() - tail.size()) == tail) << all;
        EXPECT_EQ(all.empty(), tail.empty());
        fclose(f);
    }
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EXIT(writeVrdHeader(full, &good, icon, 4, 2), testing::ExitedWithCode(1),
                Exactly("writeVrdHeader: File write error\n"));
    fclose(full);
}

namespace {

int32_t refusal(const VrdHeader &h)
{
    vrdErrno = 0;
    return vrdCheckHeader(&h) == 1 ? 0 : vrdErrno;
}

} // namespace

TEST(Validate, RulesApplyInOrder)
{
    VrdHeader h{};
    EXPECT_EQ(refusal(h), 36);
    int32_t *const fields[] = {&h.compression, &h.endian, &h.nx, &h.vtype, &h.units, &h.nbands, &h.dtype};
    const int32_t next[] = {15, 16, 17, 18, 19, 20, 22};
    for (int i = 0; i < 7; ++i) {
        *fields[i] = 1;
        if (fields[i] == &h.nx)
            h.ny = h.nz = 2;
        EXPECT_EQ(refusal(h), next[i]) << i;
    }
    h.commentCount = 1;
    EXPECT_EQ(refusal(h), 21);
    h.commentCount = 0, h.px = 1.0f;
    EXPECT_EQ(refusal(h), 0);
    for (int32_t value : {0, -1, INT32_MIN}) // sizes must be positive
        for (int32_t VrdHeader::*size : {&VrdHeader::nx, &VrdHeader::ny, &VrdHeader::nz}) {
            VrdHeader sized = h;
            sized.*size = value;
            EXPECT_EQ(refusal(sized), 16) << value;
        }
    // A refusal leaves its number; a later success leaves it alone.
    h.px = 0;
    EXPECT_EQ(vrdCheckHeader(&h), 0);
    h.px = 1;
    EXPECT_EQ(vrdCheckHeader(&h), 1);
    EXPECT_EQ(vrdErrno, 22);
    EXPECT_STREQ(vrdErrorMessages[22], "vrd format error - px equal 0 or missing");
}

TEST(Validate, Spacings)
{
    const float nearest = 1e-20f; // the float nearest 1e-20 lies just under it
    ASSERT_LT(static_cast<double>(nearest), 1e-20);
    const struct { int32_t vtype, nz; float px, py, pz; std::vector<float> rx, ry, rz; int32_t expected; } cases[] = {
        {vrdCubic, 1, 0.5f, 0, 0, {}, {}, {}, 0},       {vrdCubic, 1, 1e-19f, 0, 0, {}, {}, {}, 0},
        {vrdCubic, 1, nearest, 1, 1, {}, {}, {}, 22},   {vrdCubic, 1, NAN, 0, 0, {}, {}, {}, 0},
        {vrdCubic, 1, -1, 1, 1, {}, {}, {}, 22},        {vrdRegular, 1, 0, 0, 0, {}, {}, {}, 24},
        {vrdRegular, 1, 0, 0, 1, {}, {}, {}, 23},       {vrdRegular, 1, 0, 1, 1, {}, {}, {}, 22},
        {vrdRegular, 1, 1, 1, nearest, {}, {}, {}, 24}, {5, 1, 0, 0, 0, {}, {}, {}, 0},
        {vrdRectZ, 3, 0, 0, 0, {}, {}, {1, 1, 1}, 22},  {vrdRectZ, 3, 1, 1, 0, {}, {}, {1, 0, 1}, 30},
        {vrdRectZ, 3, 1, 0, 1, {}, {}, {1, 1, 1}, 23},  {vrdRectZ, 1, 1, 1, 0, {}, {}, {1}, 0},
        {vrdRectZ, 2, 1, 1, 0, {}, {}, {NAN, 1}, 0},    {vrdRectXYZ, 2, 0, 0, 0, {1, 1}, {1}, {1, 1}, 0},
        {vrdRectXYZ, 2, 1, 1, 1, {1, 0}, {0}, {1, 0}, 28}, {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {0}, {1, 0}, 29},
        {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {1}, {1, 0}, 30}, {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {1}, {0, 1}, 0},
        {vrdRectXYZ, 1, 1, 1, 1, {1, 1}, {1}, {5}, 27},    {vrdRectXYZ, 2, 1, 1, 1, {1, nearest}, {1}, {1, 1}, 28},
    };
    for (auto c : cases) {
        VrdHeader h = validHeader();
        h.vtype = c.vtype, h.nx = 2, h.ny = 1, h.nz = c.nz, h.px = c.px, h.py = c.py, h.pz = c.pz;
        h.rx = c.rx.data(), h.ry = c.ry.data(), h.rz = c.rz.data();
        EXPECT_EQ(refusal(h), c.expected) << c.vtype << " " << c.px << " " << c.py << " " << c.pz;
    }
}
