// Reading headers: key order and matching, error numbers, bounds, the icon.
#include "support.h"

#include <unistd.h>

#include <algorithm>

namespace {

using Lines = std::vector<std::string>;

Lines with(Lines lines, const Lines &extra)
{
    lines.insert(lines.end(), extra.begin(), extra.end());
    return lines;
}

// The valid lines without those that begin with prefix, then extra.
Lines without(const std::string &prefix, const Lines &extra = {})
{
    Lines lines = validLines();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const std::string &line) { return line.compare(0, prefix.size(), prefix) == 0; }),
                lines.end());
    return with(lines, extra);
}

// Reads the prologue of text: 0 when accepted, else vrdErrno. On acceptance
// *rest receives what follows the icon.
int32_t readPrologue(const std::string &text, VrdHeader &h, std::string *rest = nullptr)
{
    FILE *f = streamOf(text);
    vrdErrno = 0;
    FILE *result = vrdReadPrologue(f, &h);
    if (result != nullptr && rest != nullptr)
        *rest = restOf(f);
    fclose(f);
    return result != nullptr ? 0 : vrdErrno;
}

VrdHeader accepted(const Lines &lines)
{
    VrdHeader h{};
    EXPECT_EQ(readPrologue(volumeText(lines), h), 0);
    return h;
}

const Lines kRectXYZ = {"#!vdim 2 1 2", "#!vtype vrdRectXYZ", "#!px 1", "#!px 2", "#!py 3", "#!pz 4", "#!pz 5"};

} // namespace

TEST(Reader, Refusals)
{
    const std::string head = "P5\n4 2\n", body = volumeText(validLines()).substr(head.size() + 10);
    const Lines tf5 = {"#!tfdata d 0", "#!tfdata r 0", "#!tfdata g 0", "#!tfdata b 0", "#!tfdata a 0"};
    const Lines valid = validLines(), tf1 = with(valid, {"#!tfnum 1"});
    const struct { const char *name; std::string text; int32_t expected; } cases[] = {
        {"empty file", "", 2},
        {"lowercase p", "p5\n4 2\n#!vrd 6.0\n" + body, 2},
        {"PNM type 4", "P4\n4 2\n#!vrd 6.0\n" + body, 3},
        {"one size number", "P5\n4\n#!vrd 6.0\n" + body, 5},
        {"no minor version", head + "#!vrd 6\n" + body, 5},
        {"newer major version", head + "#!vrd 7.0\n" + body, 35},
        {"no end line", head + "#!vrd 6.0\n#!endian vrdLittleEndian\n", 6},
        {"compression word", volumeText(without("#!compression", {"#!compression lzw"})), 7},
        {"endian word", volumeText(without("#!endian", {"#!endian little"})), 7},
        {"vtype word", volumeText(without("#!vtype", {"#!vtype vrdcubic"})), 8},
        {"ctype word", volumeText(with(valid, {"#!ctype grey"})), 9},
        {"nbands 0", volumeText(with(valid, {"#!nbands 0"})), 10},
        {"dtype word", volumeText(with(valid, {"#!dtype vrdFloat32"})), 11},
        {"units word", volumeText(with(valid, {"#!units mm"})), 12},
        {"missing endian", volumeText(without("#!endian")), 15},
        {"tfdata first", volumeText(with(valid, {"#!tfdata d 0"})), 34},
        {"tfdata after tfnum 0", volumeText(with(valid, {"#!tfnum 0", "#!tfdata d 0"})), 34},
        {"tfnum negative", volumeText(with(valid, {"#!tfnum -1"})), 33},
        {"tfnum overflowing", volumeText(with(valid, {"#!tfnum 429496730"})), 33},
        {"six tfdata for one", volumeText(with(tf1, with(tf5, {"#!tfdata d 1"}))), 31},
        {"counters run on", volumeText(with(tf1, with(tf5, {"#!tfnum 1", "#!tfdata d 1"}))), 31},
        {"rectZ vtype before vdim",
         volumeText(without("#!vdim", {"#!vtype vrdRectZ", "#!vdim 4 2 3", "#!pz 1", "#!pz 1", "#!pz 1"})), 16},
        {"rectXYZ vdim changed", volumeText(with(without("#!vdim"), with(kRectXYZ, {"#!vdim 2 1 3", "#!pz 6"}))), 16},
        {"rectXYZ vdim changed, no units", volumeText(with(without("#!units"), with(kRectXYZ, {"#!vdim 2 1 1"}))), 16},
        {"rectXYZ vdim changed, no endian", volumeText(with(without("#!endian"), with(kRectXYZ, {"#!vdim 3 1 2"}))), 15},
        {"rectXYZ px missing",
         volumeText(with(without("#!vdim"), {"#!vdim 2 1 2", "#!vtype vrdRectXYZ", "#!px 1", "#!py 1"})), 28},
        {"negative icon width", volumeText(valid, "P5\n-4 2\n", 0), 4},
        {"negative icon height", volumeText(valid, "P5\n4 -2\n", 0), 4},
        {"short P5 icon", volumeText(valid, "P5\n4 2\n", 7), 4},
        {"short P6 icon", volumeText(valid, "P6\n4 2\n", 23), 4},
    };
    for (const auto &c : cases) {
        VrdHeader h{};
        EXPECT_EQ(readPrologue(c.text, h), c.expected) << c.name;
    }
    // A transfer function value that cannot be copied.
    VrdHeader h{};
    vrdTestFailStrdup = 1;
    const int32_t error = readPrologue(volumeText(with(tf1, {"#!tfdata d 0"})), h);
    vrdTestFailStrdup = 0;
    EXPECT_EQ(error, 33);
}

TEST(Reader, LooseFormsAndValuesThatDependOnTheLinesBefore)
{
    const std::string text = "P 5\n4 2\n#!vrd 1.9\n#****\n\nplain text\n#!unknown key\n#!units\n"
                             "#!endian\t vrdLittleEndian\n#!vdim  \t4 2 3\n#!vdim 9 8\n#!vdim 4 2 3\n"
                             "#!vtype vrdCubic\n#!px 2.5\n#!nbands 1\n#!dtype vrdUChar\n#!units vrdUmm\r\n"
                             "#!lastly\n255\n12345678SLICES";
    VrdHeader h{};
    std::string rest;
    ASSERT_EQ(readPrologue(text, h, &rest), 0);
    EXPECT_EQ(rest, "SLICES");
    EXPECT_TRUE(h.versionMajor == 1 && h.versionMinor == 9 && h.compression == vrdCompZlib && h.units == vrdUmm);
    EXPECT_EQ(h.nx * 100 + h.ny * 10 + h.nz, 423);
    EXPECT_TRUE(h.px == 2.5f && h.py == 2.5f && h.pz == 2.5f);

    h = accepted(without("#!", {"#!endian vrdBigEndian", "#!vdim 1 1 1", "#!bgthreshold 7.5", "#!px 3",
                                "#!vtype vrdCubic", "#!units vrdUm", "#!ctype vrdColor", "#!nbands 2",
                                "#!dtype vrdUChar"}));
    EXPECT_TRUE(h.hasBgThreshold == 1 && h.bgThresholdI == 7 && h.bgThresholdF == 0.0f);
    EXPECT_TRUE(h.px == 3.0f && h.py == 0.0f && h.pz == 0.0f && h.nbands == 2);
    h = accepted(with(validLines(), {"#!dtype vrdFloat", "#!bgthreshold 7.5", "#!px 2", "#!ctype vrdColor"}));
    EXPECT_TRUE(h.hasBgThreshold == 1 && h.bgThresholdI == 0 && h.bgThresholdF == 7.5f);
    EXPECT_TRUE(h.px == 2.0f && h.py == 2.0f && h.pz == 2.0f && h.nbands == 3);
}

TEST(Reader, CommentsTransferFunctionsAndSpacings)
{
    VrdHeader h = accepted(with(validLines(), {"#!comment \t   text  after", "#!comment", "#!commentary",
                                               "#!tfnum 2", "#!tfdata d 1 2 3", "#!tfdata r 1.5e+3",
                                               "#!tfdata g a_b-c.d\t ", "#!tfdata b +1", "#!tfdata x 7"}));
    ASSERT_EQ(h.commentCount, 3);
    EXPECT_STREQ(h.comments[0], "text  after");
    EXPECT_STREQ(h.comments[1], "");
    EXPECT_STREQ(h.comments[2], "ary");
    ASSERT_EQ(h.tfnum, 2);
    const char *expected[10] = {"1 2 3", "1.5e", "a_b-c.d\t ", "7"};
    for (int i = 0; i < 10; ++i)
        EXPECT_STREQ(h.tfdata[i], expected[i]) << i;

    h = accepted(with(without("#!vdim"), with(kRectXYZ, {"#!px 9", "#!py 9", "#!pz 9"})));
    ASSERT_EQ(h.vtype, vrdRectXYZ);
    EXPECT_TRUE(h.rx[0] == 1 && h.rx[1] == 2 && h.ry[0] == 3 && h.rz[0] == 4 && h.rz[1] == 5);
    EXPECT_EQ(h.px, 1.0f); // from the cubic line before the rectXYZ one
    h = accepted(with(without("#!vdim"), {"#!vdim 2 1 2", "#!vtype vrdRectZ", "#!px 6", "#!py 7", "#!pz 4",
                                          "#!pz 5", "#!pz 9"}));
    EXPECT_TRUE(h.px == 6 && h.py == 7 && h.pz == 1 && h.rx == nullptr); // pz from the cubic line
    EXPECT_TRUE(h.rz[0] == 4 && h.rz[1] == 5);
}

TEST(Reader, HeaderStopsAtTheIconAndOpenReadClosesWhatItOpened)
{
    FILE *f = streamOf(volumeText(validLines(), "P6\n4 2\n", 24) + "NEXT");
    VrdHeader h{};
    int32_t width = 0, height = 0, isColor = 0;
    ASSERT_EQ(readVrdHeader(f, &h, &width, &height, &isColor), f);
    EXPECT_TRUE(width == 4 && height == 2 && isColor == 1);
    EXPECT_EQ(restOf(f), std::string(24, '\0') + "NEXT");
    fclose(f);

    EXPECT_EQ(vrdOpenRead("/nonexistent/volume.vrd", &h), nullptr);
    EXPECT_EQ(vrdErrno, 1);
    char path[] = "/tmp/vrd-reader-XXXXXX";
    close(mkstemp(path));
    writeFile(path, volumeText(without("#!endian")));
    const int freeBefore = dup(0);
    close(freeBefore);
    EXPECT_EQ(vrdOpenRead(path, &h), nullptr);
    EXPECT_EQ(vrdErrno, 15);
    const int freeAfter = dup(0);
    close(freeAfter);
    EXPECT_EQ(freeAfter, freeBefore) << "the stream of a refused file is left open";
    writeFile(path, volumeText(validLines()) + "SLICES");
    FILE *in = vrdOpenRead(path, &h);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(restOf(in), "SLICES");
    fclose(in);
    unlink(path);
}
