// volmap and volcmp run end to end on volume files written through the library.
#include "volumes.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using namespace testkit;

const std::string volmap = VOLMAP_PROGRAM, volcmp = VOLCMP_PROGRAM;
const float inf = std::numeric_limits<float>::infinity();
const Bytes kSlice = values<float>({1, 2, 3, 4, 5, 6}), kWindowed = values<float>({.1f, .2f, .3f, .4f, .5f, .6f});

// What the programs write for an input header: float32 in this machine's order.
VrdHeader floatOf(VrdHeader h)
{
    h.dtype = vrdFloat, h.endian = vrdLittleEndian;
    return h;
}

// A header that uses every field the output copies.
VrdHeader rich(int32_t compression, int32_t endian, const char *comment)
{
    static float rz[] = {1.5f, 2.5f};
    static char d[] = "0 10", r[] = "1 0.5", g[] = "0 1", b[] = "1 1", a[] = "0.25 1";
    static char *tf[] = {d, r, g, b, a};
    VrdHeader h = header(4, 3, 2, vrdFloat, compression, endian);
    h.vtype = vrdRectZ, h.px = 0.5f, h.py = 0.25f, h.rz = rz, h.units = vrdUum;
    h.hasBgThreshold = 1, h.bgThresholdF = 0.5f, h.tfnum = 1, h.tfdata = tf;
    vrdAddHdrComment(&h, comment);
    vrdAddHdrComment(&h, "scanned twice");
    return h;
}

// One line on stderr that names path and gives reason, status 255.
::testing::AssertionResult refusal(const Result &r, const std::string &path, const std::string &reason)
{
    if (r.status != 255 || std::count(r.err.begin(), r.err.end(), '\n') != 1 || r.err.back() != '\n' ||
        r.err.find(path) == std::string::npos || r.err.find(reason) == std::string::npos)
        return ::testing::AssertionFailure() << "status " << r.status << ", stderr: " << r.err;
    return ::testing::AssertionSuccess();
}

// The runs go through the slice pipeline; the thread tests hold the
// one-thread loop to the same bytes.
class Programs : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        setenv("VRD_THREADS", "4", 1);
    }
    std::string plain(const std::string &name, int32_t nz = 2)
    {
        writeFile(path(name), volume(header(3, 2, nz), std::vector<Bytes>(size_t(nz), kSlice)));
        return path(name);
    }
};

TEST_F(Programs, TooFewArgumentsGiveUsageAndTouchNothing)
{
    const std::string in = plain("in.vrd"), mapUsage = " inputImageFile outputImageFile min mid1 mid2 max\n";
    const struct { std::string program; std::vector<std::string> args; std::string synopsis; } cases[] = {
        {volmap, {volmap, in, "out.vrd", "0", "10", "20"}, mapUsage},
        {volmap, {"volmap-alias"}, mapUsage},
        {volcmp, {"./cmp", in, in, "-", "out.vrd"}, " inputImageFile1 inputImageFile2\n"},
    };
    for (const auto &c : cases) {
        const Result r = run(dir, c.args, c.program.c_str());
        EXPECT_EQ(255, r.status);
        EXPECT_EQ("Missing parameters. \nUsage: \n" + c.args[0] + c.synopsis, r.err);
        EXPECT_EQ("", r.out);
        EXPECT_FALSE(exists(path("out.vrd")));
    }
}

TEST_F(Programs, WindowCopiesHeaderKeepsCompressionAndReadsEveryByteOrder)
{
    const Bytes in0 = values<float>({-5, 0, 2.5f, 5, 10, 15, 20, 30, 35, 40, 50, inf});
    const Bytes in1 = values<float>({-inf, 7.5f, 12, 25, 37, 1e30f, -1e30f, 20, 10, 40, -0.0f, 45});
    const Bytes out0 = values<float>({0, 0, 0.25f, 0.5f, 1, 1, 1, 0.5f, 0.25f, 0, 0, 0});
    const Bytes out1 = values<float>({0, 0.75f, 1, 0.75f, 0.15f, 0, 0, 1, 1, 0, 0, 0});
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        for (int32_t endian : {vrdLittleEndian, vrdBigEndian}) {
            SCOPED_TRACE("compression " + std::to_string(compression) + ", endian " + std::to_string(endian));
            const VrdHeader h = rich(compression, endian, "windowed");
            writeFile(path("in.vrd"), volume(h, {in0, in1}));
            const Result r = run(dir, {volmap, "in.vrd", "out.vrd", "0", "10", "20", "40", "ignored"});
            EXPECT_TRUE(r.status == 0 && r.err.empty() && r.out.empty()) << r.status << r.err;
            EXPECT_TRUE(sameBytes(volume(floatOf(h), {out0, out1}), readFile(path("out.vrd"))));
        }
    }
    // The corners are float32 values: 0.1 as a double would give another rising edge.
    writeFile(path("in.vrd"), volume(header(2, 1, 1, vrdFloat, vrdCompNone), {values<float>({0.1f, 0.2f})}));
    EXPECT_EQ(0, run(dir, {volmap, "in.vrd", "out.vrd", "0.1", "1", "2", "3"}).status);
    const float rising = float((double(0.2f) - double(0.1f)) / (1.0 - double(0.1f)));
    EXPECT_TRUE(sameBytes(volume(header(2, 1, 1, vrdFloat, vrdCompNone), {values<float>({0.0f, rising})}),
                          readFile(path("out.vrd"))));
}

TEST_F(Programs, WindowReadsOtherDataTypesAndWritesFloat32)
{
    const Bytes expected = values<float>({0, 0, 0.5f, 1, 0.5f, 0});
    const struct { int32_t dtype, endian; Bytes data; } cases[] = {
        {vrdInt16, vrdLittleEndian, values<int16_t>({-5, 0, 5, 10, 30, 40})},
        {vrdIntHU, vrdBigEndian, values<int16_t>({-1024, 0, 5, 20, 30, 3000})},
        {vrdChar, vrdBigEndian, values<int8_t>({-128, 0, 5, 15, 30, 127})},
        {vrdUInt32, vrdBigEndian, values<uint32_t>({0, 0, 5, 10, 30, 4294967295u})},
        {vrdDouble, vrdBigEndian, values<double>({-1e300, 0, 5, 19.5, 30, 1e300})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("dtype " + std::to_string(c.dtype));
        VrdHeader h = header(3, 2, 2, c.dtype, c.dtype % 2 ? vrdCompZlib : vrdCompNone, c.endian);
        h.hasBgThreshold = 1, h.bgThresholdI = -7, h.bgThresholdF = 0.25f;
        writeFile(path("in.vrd"), volume(h, {c.data, c.data}));
        const Result r = run(dir, {volmap, "in.vrd", "out.vrd", "0", "10", "20", "40"});
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.status << r.err;
        VrdHeader e = floatOf(h);
        if (c.dtype != vrdDouble)
            e.bgThresholdF = -7; // an integer threshold carried over as a float
        EXPECT_TRUE(sameBytes(volume(e, {expected, expected}), readFile(path("out.vrd"))));
    }
}

TEST_F(Programs, CompareEachInputInItsOwnOrderAndCompression)
{
    const Bytes a0 = values<float>({0.5f, 0.9f, 2, -3, 0.2f, 0.2f}), a1 = values<float>({1, 1, 1, 1, 1, 1});
    const Bytes b0 = values<float>({0.9f, 0.9f, 1, 0.2f, 0.7f, 0.71f}), b1 = values<float>({1, 1, 1, -0.0f, 1, 1.5f});
    const std::vector<Bytes> differences = {values<float>({90, 0, 200, 0, 0, 71}), values<float>({0, 0, 0, 100, 0, 150})};
    const struct { int32_t c1, e1, c2, e2; bool differ; } cases[] = {
        {vrdCompZlib, vrdLittleEndian, vrdCompZlib, vrdLittleEndian, false},
        {vrdCompZlib, vrdLittleEndian, vrdCompNone, vrdLittleEndian, true},
        {vrdCompNone, vrdLittleEndian, vrdCompZlib, vrdBigEndian, true},
        {vrdCompZlib, vrdBigEndian, vrdCompNone, vrdLittleEndian, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        VrdHeader h1 = rich(c.c1, c.e1, "first input"), h2 = rich(c.c2, c.e2, "second input");
        h1.nx = h2.nx = 3, h1.ny = h2.ny = 2;
        writeFile(path("a.vrd"), volume(h1, {a0, a1}));
        writeFile(path("b.vrd"), volume(h2, c.differ ? std::vector<Bytes>{b0, b1} : std::vector<Bytes>{a0, a1}));
        const Result r = run(dir, {volcmp, "a.vrd", "b.vrd", "-", "-", "out.vrd", "ignored"});
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.status << r.err;
        EXPECT_TRUE(sameBytes(volume(floatOf(h1), c.differ ? differences : std::vector<Bytes>(2, Bytes(24, '\0'))),
                              readFile(path("out.vrd"))));
    }
}

TEST_F(Programs, RefusalsLeaveTheFilesAlone)
{
    const std::string good = plain("a.vrd"), other = plain("b.vrd"), longer = plain("long.vrd", 3);
    const std::string missing = path("missing.vrd"), junk = path("junk.vrd"), colour = path("colour.vrd");
    writeFile(junk, "not a volume\n");
    VrdHeader h = header(3, 2, 2);
    h.nbands = 3;
    writeFile(colour, volume(h, std::vector<Bytes>(2, kSlice + kSlice + kSlice)));
    ASSERT_EQ(0, link(good.c_str(), path("link.vrd").c_str()));
    const std::string out = path("out.vrd"), same = "same file", self = "../" + dir.substr(dir.rfind('/') + 1);
    const struct { std::vector<std::string> args; std::string named, reason; } cases[] = {
        {{volmap, missing, out, "0", "1", "2", "3"}, missing, vrdErrorMessages[1]},
        {{volcmp, good, missing, "-", "-", out}, missing, vrdErrorMessages[1]},
        {{volmap, junk, out, "0", "1", "2", "3"}, junk, vrdErrorMessages[2]},
        {{volmap, colour, out, "0", "1", "2", "3"}, colour, "band"},
        {{volcmp, good, colour, "-", "-", out}, colour, "band"},
        {{volmap, good, path("none/out.vrd"), "0", "1", "2", "3"}, path("none/out.vrd"), strerror(ENOENT)},
        {{volmap, "a.vrd", "a.vrd", "0", "1", "2", "3"}, "a.vrd", same},
        {{volmap, "a.vrd", "./a.vrd", "0", "1", "2", "3"}, "./a.vrd", same},
        {{volmap, "a.vrd", "link.vrd", "0", "1", "2", "3"}, "link.vrd", same},
        {{volcmp, "b.vrd", "a.vrd", "-", "-", "./link.vrd"}, "./link.vrd", same},
        {{volcmp, "a.vrd", "b.vrd", "-", "-", self + "/a.vrd"}, self + "/a.vrd", same},
    };
    const Bytes original = readFile(good);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2] + " " + c.args.back());
        EXPECT_TRUE(refusal(run(dir, c.args), c.named, c.reason));
        EXPECT_FALSE(exists(out));
        EXPECT_TRUE(sameBytes(original, readFile(good)));
    }
    for (const Bytes &before : {Bytes(), Bytes("keep")}) { // volumes of different size
        if (!before.empty())
            writeFile(out, before);
        const Result r = run(dir, {volcmp, good, longer, "-", "-", out});
        EXPECT_TRUE(r.status == 255 && r.err == "Images of different size!\n") << r.status << r.err;
        EXPECT_TRUE(exists(out) == !before.empty() && readFile(out) == before);
    }
}

TEST_F(Programs, DamagedInputsRunToTheEndAndFail)
{
    const Bytes z = deflated(kSlice), shortZ = deflated(kSlice.substr(0, 16));
    const struct { const char *what; int32_t compression; Bytes blocks; int good; bool compare; } cases[] = {
        {"short last block", vrdCompNone, block(kSlice) + block(kSlice.substr(0, 10), 24), 0, false},
        {"truncated zlib block", vrdCompZlib, block(z) + block(z, uint32_t(z.size()) + 9), 0, false},
        {"block that inflates short", vrdCompZlib, block(shortZ) + block(z), 1, false},
        {"raw block too short", vrdCompNone, block(kSlice.substr(0, 20)) + block(kSlice), 1, false},
        {"raw block too long", vrdCompNone, block(kSlice + "more") + block(kSlice), 1, false},
        {"second input damaged", vrdCompZlib, block(shortZ) + block(z), 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const VrdHeader h = header(3, 2, 2, vrdFloat, c.compression);
        const Bytes prefix = volume(h, {}), bad = path("bad.vrd"), out = path("out.vrd");
        writeFile(bad, prefix + c.blocks);
        const Result r = c.compare ? run(dir, {volcmp, plain("good.vrd"), bad, "-", "-", out})
                                   : run(dir, {volmap, bad, out, "0", "10", "20", "40"});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find(bad + ": 1 of 2 slices")) << r.err;
        EXPECT_EQ(r.err.find('\n', r.err.find(bad + ": 1 of 2 slices")), r.err.size() - 1) << "not the last line";
        const Bytes output = readFile(out);
        ASSERT_EQ(prefix, output.substr(0, prefix.size()));
        const std::vector<Bytes> blocks = blocksAfter(output, prefix.size());
        ASSERT_EQ(2u, blocks.size());
        if (!c.compare) {
            EXPECT_EQ(blocksAfter(volume(h, {kWindowed, kWindowed}), prefix.size())[c.good], blocks[c.good]);
        }
        for (const Bytes &payload : blocks) // every slice written whole
            EXPECT_EQ(24u, c.compression == vrdCompZlib ? inflated(payload, 25).size() : payload.size());
    }
    const Result full = run(dir, {volmap, plain("in.vrd"), "/dev/full", "0", "10", "20", "40"});
    EXPECT_EQ(1, full.status);
    EXPECT_NE(std::string::npos, full.err.find("/dev/full")) << full.err;
}

TEST_F(Programs, FatalLibraryErrorKeepsTheBlocksWrittenBefore)
{
    const Bytes z = deflated(kSlice);
    Bytes corrupt = z, four;
    corrupt[0] = 0; // not a zlib header
    for (int i = 0; i < 4; ++i)
        four += block(z);
    const std::pair<Bytes, std::string> cases[] = { // what follows four sound blocks of nine
        {block(corrupt) + four, "ReadSliceDataZ: Uncompression Error (-3)\n"},
        {block(deflated(kSlice + kSlice)) + four, "ReadSliceDataZ: Uncompression Error (-5)\n"},
        {"", "ReadLong error (1)\n"},
        {Bytes(2, '\0'), "ReadLong error (3)\n"},
    };
    const VrdHeader h = header(3, 2, 9);
    for (const auto &[tail, message] : cases) {
        SCOPED_TRACE(message);
        writeFile(path("bad.vrd"), volume(h, {}) + four + tail);
        const Result r = run(dir, {volmap, "bad.vrd", "out.vrd", "0", "10", "20", "40"});
        EXPECT_TRUE(r.status == 1 && r.err == message) << r.status << r.err;
        EXPECT_TRUE(sameBytes(volume(h, std::vector<Bytes>(4, kWindowed)), readFile(path("out.vrd"))));
    }
}

} // namespace
