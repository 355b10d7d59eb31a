// The header record, the writer's output byte for byte, validation and the reader.
#include "volumes.h"

#include <unistd.h>

#include <cmath>
#include <cstring>

using namespace testkit;
using testing::ExitedWithCode;

namespace {

using Lines = std::vector<std::string>;

// A header that validation accepts, and its key lines.
VrdHeader validHeader() { return header(4, 2, 3, vrdUChar, vrdCompNone); }
const Lines kValid = {"#!endian vrdLittleEndian", "#!compression none", "#!vdim 4 2 3", "#!vtype vrdCubic",
                      "#!px 1.0", "#!nbands 1", "#!dtype vrdUChar", "#!units vrdUmm"};

Lines operator+(Lines a, const Lines &b) { return a.insert(a.end(), b.begin(), b.end()), a; }

// The valid lines without those that begin with `drop` (if given), then extra.
Lines lines(const Lines &extra, const std::string &drop = "")
{
    Lines out;
    for (const std::string &l : kValid)
        if (drop.empty() || l.rfind(drop, 0) != 0)
            out.push_back(l);
    return out + extra;
}

// A volume file: PNM lines, format line, key lines, end line, "255", icon.
std::string text(const Lines &keys, const std::string &pnm = "P5\n4 2\n", size_t iconBytes = 8)
{
    std::string t = pnm + "#!vrd 6.0\n";
    for (const std::string &line : keys)
        t += line + "\n";
    return t + "#!last\n255\n" + std::string(iconBytes, '\0');
}

// 0 when vrdReadPrologue accepts text, else vrdErrno; *rest gets what follows the icon.
int32_t readPrologue(const std::string &t, VrdHeader &h, std::string *rest = nullptr)
{
    FILE *f = streamOf(t);
    vrdErrno = 0;
    FILE *result = vrdReadPrologue(f, &h);
    if (result != nullptr && rest != nullptr)
        *rest = restOf(f);
    fclose(f);
    return result != nullptr ? 0 : vrdErrno;
}

VrdHeader accepted(const Lines &keys)
{
    VrdHeader h{};
    EXPECT_EQ(readPrologue(text(keys), h), 0);
    return h;
}

Bytes written(const VrdHeader &h, const char *icon = "12345678", int32_t width = 4, int32_t height = 2)
{
    return writtenBy([&](FILE *f) { writeVrdHeader(f, &h, reinterpret_cast<const unsigned char *>(icon), width, height); });
}

int32_t refusal(const VrdHeader &h) { return vrdErrno = 0, vrdCheckHeader(&h) == 1 ? 0 : vrdErrno; }

} // namespace

TEST(Record, ClearVoxelSizesAndComments)
{
    VrdHeader h = validHeader();
    h.versionMajor = 6, h.versionMinor = 3, h.rx = &h.px, h.tfnum = 1, h.bgThresholdF = 1;
    EXPECT_TRUE(vrdClearHeader(&h) == &h && h.versionMajor == 6 && h.versionMinor == 3); // all but the version
    EXPECT_TRUE(!h.compression && !h.nx && !h.nz && !h.dtype && !h.px && !h.rx && !h.tfnum && !h.bgThresholdF);
    const int32_t bytes[10] = {1, 1, 2, 2, 2, 2, 4, 4, 4, 8};
    for (h.dtype = vrdUChar; h.dtype <= vrdDouble; ++h.dtype)
        EXPECT_TRUE(vrdVoxelSize(h.dtype) == bytes[h.dtype - 1] && vrdHeaderVoxelSize(&h) == bytes[h.dtype - 1]);
    char first[] = "first";
    vrdAddHdrComment(&h, first);
    vrdAddHdrComment(&h, "");
    strcpy(first, "later");
    EXPECT_TRUE(h.commentCount == 2 && !strcmp(h.comments[0], "first") && !strcmp(h.comments[1], ""));
}

TEST(Writer, WholeHeaderBannerAndUnknownCodes)
{
    float rx[2] = {0.25f, 0.5f}, ry[1] = {1.0f}, rz[2] = {2.0f, 3.0f};
    char first[] = "first", empty[] = "", d[] = "0 1", g[] = "x", a[] = "a-b";
    char *comments[2] = {first, empty}, *tfdata[5] = {d, nullptr, g, nullptr, a}; // null: written empty
    VrdHeader h = validHeader();
    h.endian = vrdBigEndian, h.nx = 2, h.ny = 1, h.nz = 2, h.vtype = vrdRectXYZ, h.rx = rx, h.ry = ry, h.rz = rz;
    h.nbands = 3, h.dtype = vrdUInt16, h.units = vrdUm, h.hasBgThreshold = 1, h.bgThresholdI = 7, h.bgThresholdF = 2;
    h.commentCount = 2, h.comments = comments, h.tfnum = 1, h.tfdata = tfdata;
    const std::string stars = "#" + std::string(62, '*') + "\n";
    const std::string start = "P6\n2 1\n#!vrd   \t6.0\n" + stars + "#**" + std::string(26, ' ') + "vrd" +
                              std::string(29, ' ') + "**\n#**      Format for storage of 3D volumetric data sets"
                              "       **\n#**" + std::string(58, ' ') + "**\n#**  ";
    const Bytes out = written(h, "123456", 2, 1);
    const size_t end = out.find('\n', start.size());
    EXPECT_EQ(out.substr(0, start.size()), start);
    EXPECT_TRUE(end - start.size() == 58 && out[start.size()] != ' ' && out.compare(end - 2, 2, "**") == 0)
        << "the address line keeps the 62-character frame";
    EXPECT_EQ(out.substr(end + 1), stars +
              "#!endian \tvrdBigEndian\n#!compression \tnone\n#!vdim  \t2 1 2\n#!vtype \tvrdRectXYZ\n"
              "#!px\t0.250000\n#!px\t0.500000\n#!py\t1.000000\n#!pz\t2.000000\n#!pz\t3.000000\n#!nbands \t3\n"
              "#!dtype \tvrdUInt16\n#!units \tvrdUm\n#!bgthreshold \t7\n#!comment \tfirst\n#!comment \t\n"
              "#!tfnum \t1\n#!tfdata \td 0 1\n#!tfdata \tr \n#!tfdata \tg x\n#!tfdata \tb \n#!tfdata \ta a-b\n"
              "#!last\n255\n123456");
    h = validHeader(); // a cubic float header, a code without a name
    h.endian = 3, h.px = 0.5f, h.dtype = vrdFloat, h.hasBgThreshold = 1, h.bgThresholdF = 0.5f;
    const Bytes cubic = written(h);
    EXPECT_TRUE(cubic.find("#!endian \tunknown\n") != std::string::npos && cubic.rfind("P5\n4 2\n", 0) == 0) << cubic;
    EXPECT_NE(cubic.find("#!px\t\t0.500000\n#!nbands \t1\n#!dtype \tvrdFloat\n#!units \tvrdUmm\n#!bgthreshold \t0.500000\n"), std::string::npos);
}

TEST(WriterDeath, LongCommentsAndTheGridFault)
{
    for (auto [given, kept] : {std::pair<size_t, size_t>{1999, 1999}, {2000, 1998}}) {
        std::string comment(given, 'c');
        char *c = comment.data();
        VrdHeader h = validHeader();
        h.commentCount = 1, h.comments = &c;
        EXPECT_NE(written(h).find("#!comment \t" + std::string(kept, 'c') + "\n"), std::string::npos) << given;
        EXPECT_EQ(strlen(c), given) << "the caller's comment changed";
    }
    VrdHeader noGrid = validHeader(); // the lines up to the grid line, then the end
    noGrid.vtype = 5;
    FILE *f = tmpfile();
    EXPECT_EXIT(writeVrdHeader(f, &noGrid, reinterpret_cast<const unsigned char *>("12345678"), 4, 2), ExitedWithCode(1),
                testing::Eq("writeVrdHeader: Unknown grid type\n"));
    rewind(f);
    const Bytes upToGrid = restOf(f), tail = "#!vdim  \t4 2 3\n#!vtype \tunknown\n";
    EXPECT_TRUE(upToGrid.size() > tail.size() && upToGrid.substr(upToGrid.size() - tail.size()) == tail) << upToGrid;
    fclose(f);
}

TEST(Validate, RulesApplyInOrder)
{
    VrdHeader h{};
    EXPECT_EQ(refusal(h), 36);
    int32_t *const fields[] = {&h.compression, &h.endian, &h.nx, &h.vtype, &h.units, &h.nbands, &h.dtype};
    const int32_t next[] = {15, 16, 17, 18, 19, 20, 22};
    for (int i = 0; i < 7; ++i) {
        *fields[i] = 1;
        h.ny = h.nz = 2;
        EXPECT_EQ(refusal(h), next[i]) << i;
    }
    h.commentCount = 1;
    EXPECT_EQ(refusal(h), 21);
    h.commentCount = 0, h.px = 1.0f;
    EXPECT_EQ(refusal(h), 0);
    for (int32_t VrdHeader::*size : {&VrdHeader::nx, &VrdHeader::ny, &VrdHeader::nz}) {
        VrdHeader negative = h;
        EXPECT_EQ((negative.*size = -1, refusal(negative)), 16);
    }
    h.px = 0; // a refusal leaves its number; a later success leaves it alone
    EXPECT_EQ(vrdCheckHeader(&h), 0);
    h.px = 1;
    EXPECT_TRUE(vrdCheckHeader(&h) == 1 && vrdErrno == 22);
}

TEST(Validate, SpacingThresholdAndRuleOrder)
{
    const float nearest = 1e-20f; // the float nearest 1e-20 lies just under it
    ASSERT_LT(double(nearest), 1e-20);
    const struct { int32_t vtype, nz; float px, py, pz; std::vector<float> rx, ry, rz; int32_t expected; } cases[] = {
        {vrdCubic, 1, nearest, 1, 1, {}, {}, {}, 22},   {vrdCubic, 1, 1e-19f, 0, 0, {}, {}, {}, 0},
        {vrdCubic, 1, NAN, 0, 0, {}, {}, {}, 0},        {vrdRegular, 1, 0, 0, 0, {}, {}, {}, 24},
        {vrdRegular, 1, 0, 0, 1, {}, {}, {}, 23},       {vrdRegular, 1, 0, 1, 1, {}, {}, {}, 22},
        {vrdRectZ, 3, 0, 0, 0, {}, {}, {1, 1, 1}, 22},  {vrdRectZ, 3, 1, 0, 1, {}, {}, {1, 1, 1}, 23},
        {vrdRectZ, 3, 1, 1, 0, {}, {}, {1, nearest, 1}, 30}, {5, 1, 0, 0, 0, {}, {}, {}, 0},
        {vrdRectXYZ, 2, 1, 1, 1, {1, 0}, {0}, {1, 0}, 28}, {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {0}, {1, 0}, 29},
        {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {1}, {1, 0}, 30}, {vrdRectXYZ, 2, 0, 0, 0, {1, 1}, {1}, {0, 1}, 0},
        {vrdRectXYZ, 1, 1, 1, 1, {1, 1}, {1}, {5}, 27}, // the z list is checked from its second entry
    };
    for (auto c : cases) {
        VrdHeader h = validHeader();
        h.vtype = c.vtype, h.nx = 2, h.ny = 1, h.nz = c.nz, h.px = c.px, h.py = c.py, h.pz = c.pz;
        h.rx = c.rx.data(), h.ry = c.ry.data(), h.rz = c.rz.data();
        EXPECT_EQ(refusal(h), c.expected) << "case " << &c - cases;
    }
}

TEST(Reader, ErrorNumbers)
{
    const std::string body = text(kValid).substr(17);
    const Lines tf = {"#!tfnum 1", "#!tfdata d 0", "#!tfdata r 0", "#!tfdata g 0", "#!tfdata b 0", "#!tfdata a 0"};
    const Lines rect = {"#!vdim 2 1 2", "#!vtype vrdRectXYZ", "#!px 1", "#!px 2", "#!py 3", "#!pz 4", "#!pz 5"};
    const std::pair<std::string, int32_t> cases[] = {
        {"p5\n4 2\n#!vrd 6.0\n" + body, 2}, {"P4\n4 2\n#!vrd 6.0\n" + body, 3}, {"P5\n4\n#!vrd 6.0\n" + body, 5},
        {"P5\n4 2\n#!vrd 6\n" + body, 5}, {"P5\n4 2\n#!vrd 7.0\n" + body, 35}, {"P5\n4 2\n#!vrd 6.0\n#!px 1\n", 6},
        {text(lines({"#!endian little"}, "#!endian")), 7}, {text(lines({"#!vtype vrdcubic"}, "#!vtype")), 8},
        {text(lines({"#!ctype grey"})), 9}, {text(lines({"#!nbands 0"})), 10},
        {text(lines({"#!dtype vrdFloat32"})), 11}, {text(lines({"#!units mm"})), 12},
        {text(lines({}, "#!endian")), 15}, {text(lines({"#!tfdata d 0"})), 34},
        {text(lines({"#!tfnum -1"})), 33}, {text(lines({"#!tfnum 429496730"})), 33}, // 5-fold count does not fit
        {text(lines(tf + Lines{"#!tfdata d 1"})), 31}, // six values for one function; counters run on over tfnum
        {text(lines(tf + Lines{"#!tfnum 1", "#!tfdata d 1"})), 31},
        // Spacing arrays set up for other sizes than the final ones: only rules before the size rule come first.
        {text(lines({"#!vtype vrdRectZ", "#!vdim 4 2 3", "#!pz 1", "#!pz 1", "#!pz 1"}, "#!vdim")), 16},
        {text(lines(rect + Lines{"#!vdim 2 1 1"}, "#!units")), 16}, {text(lines(rect + Lines{"#!vdim 3 1 2"}, "#!endian")), 15},
        {text(kValid, "P5\n-4 2\n", 0), 4}, {text(kValid, "P6\n4 2\n", 23), 4}, // icon: negative size, short
        // An icon larger than any object is an allocation fault; one that
        // could exist but is not in the file is a short icon.
        {text(kValid, "P6\n2147483647 2147483647\n", 0), 14}, {text(kValid, "P5\n2147483647 2147483647\n", 0), 4},
    };
    for (const auto &[file, expected] : cases) {
        VrdHeader h{};
        EXPECT_EQ(readPrologue(file, h), expected) << file;
    }
}

TEST(Reader, LooseFormsAndValuesThatDependOnTheLinesBefore)
{
    const std::string loose = "P 5\n4 2\n#!vrd 1.9\n#****\n\nplain text\n#!unknown key\n#!units\n"
                              "#!endian\t vrdLittleEndian\n#!vdim  \t4 2 3\n#!vdim 9 8\n#!vdim 4 2 3\n#!vtype vrdCubic\n"
                              "#!px 2.5\n#!nbands 1\n#!dtype vrdUChar\n#!units vrdUmm\r\n#!lastly\n255\n12345678SLICES";
    VrdHeader h{};
    std::string rest;
    ASSERT_EQ(readPrologue(loose, h, &rest), 0);
    EXPECT_TRUE(rest == "SLICES" && h.versionMajor == 1 && h.versionMinor == 9 && h.compression == vrdCompZlib);
    EXPECT_TRUE(h.units == vrdUmm && h.nx == 4 && h.ny == 2 && h.nz == 3 && h.px == 2.5f && h.pz == 2.5f);
    // The threshold is read as the dtype so far says; a cubic px line sets all three, later lines one.
    h = accepted({"#!endian vrdBigEndian", "#!compression none", "#!vdim 1 1 1", "#!bgthreshold 7.5", "#!px 3",
                  "#!vtype vrdCubic", "#!units vrdUm", "#!ctype vrdColor", "#!nbands 2", "#!dtype vrdUChar"});
    EXPECT_TRUE(h.hasBgThreshold == 1 && h.bgThresholdI == 7 && h.bgThresholdF == 0.0f);
    EXPECT_TRUE(h.px == 3.0f && h.py == 0.0f && h.pz == 0.0f && h.nbands == 2);
}

TEST(Reader, CommentsTransferFunctionsAndSpacings)
{
    VrdHeader h = accepted(lines({"#!comment \t   text  after", "#!comment", "#!commentary", "#!tfnum 2",
                                  "#!tfdata d 1 2 3", "#!tfdata r 1.5e+3", "#!tfdata g a_b-c.d\t ", "#!tfdata x 7"}));
    ASSERT_TRUE(h.commentCount == 3 && h.tfnum == 2);
    EXPECT_TRUE(!strcmp(h.comments[0], "text  after") && !strcmp(h.comments[1], "") && !strcmp(h.comments[2], "ary"));
    const char *expected[10] = {"1 2 3", "1.5e", "a_b-c.d\t ", "7"};
    for (int i = 0; i < 10; ++i)
        EXPECT_STREQ(h.tfdata[i], expected[i]) << i;
    // Lines beyond an array are ignored; the other axes keep the cubic line's value.
    h = accepted(lines({"#!vdim 2 1 2", "#!vtype vrdRectXYZ", "#!px 1", "#!px 2", "#!py 3", "#!pz 4", "#!pz 5",
                        "#!px 9", "#!py 9", "#!pz 9"}, "#!vdim"));
    EXPECT_TRUE(h.rx[0] == 1 && h.rx[1] == 2 && h.ry[0] == 3 && h.rz[0] == 4 && h.rz[1] == 5 && h.px == 1.0f);
    h = accepted(lines({"#!vdim 2 1 2", "#!vtype vrdRectZ", "#!px 6", "#!py 7", "#!pz 4", "#!pz 5", "#!pz 9"}, "#!vdim"));
    EXPECT_TRUE(h.px == 6 && h.py == 7 && h.pz == 1 && h.rx == nullptr && h.rz[0] == 4 && h.rz[1] == 5);
}

TEST(Reader, HeaderStopsAtTheIconAndOpenReadClosesWhatItOpened)
{
    VrdHeader h{};
    int32_t width = 0, height = 0, isColor = 0;
    FILE *f = streamOf(text(kValid, "P6\n4 2\n", 24));
    EXPECT_TRUE(readVrdHeader(f, &h, &width, &height, &isColor) == f && width == 4 && height == 2 && isColor == 1);
    EXPECT_EQ(restOf(f), std::string(24, '\0'));
    fclose(f);
    EXPECT_TRUE(vrdOpenRead("/nonexistent/volume.vrd", &h) == nullptr && vrdErrno == 1);
    char path[] = "/tmp/vrd-reader-XXXXXX";
    close(mkstemp(path));
    writeFile(path, text(lines({}, "#!endian")));
    const int freeBefore = dup(0);
    close(freeBefore);
    EXPECT_TRUE(vrdOpenRead(path, &h) == nullptr && vrdErrno == 15);
    const int freeAfter = dup(0);
    close(freeAfter);
    EXPECT_EQ(freeAfter, freeBefore) << "the stream of a refused file is left open";
    writeFile(path, text(kValid) + "SLICES");
    FILE *in = vrdOpenRead(path, &h);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(restOf(in), "SLICES");
    fclose(in);
    unlink(path);
}
