// volmap and volcmp run end to end on volume files written through the library.
#include "volumes.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using namespace tooltest;

const std::string volmap = VOLMAP_PROGRAM, volcmp = VOLCMP_PROGRAM;
const float inf = std::numeric_limits<float>::infinity();

// What the programs write for an input header: float32 in this machine's order.
VrdHeader floatOf(VrdHeader h)
{
    h.dtype = vrdFloat;
    h.endian = vrdLittleEndian;
    return h;
}

// A header that uses every field the output copies.
VrdHeader rich(int32_t compression, int32_t endian, const char *comment)
{
    static float rz[] = {1.5f, 2.5f};
    static char d[] = "0 10", r[] = "1 0.5", g[] = "0 1", b[] = "1 1", a[] = "0.25 1";
    static char *tf[] = {d, r, g, b, a};
    VrdHeader h = header(4, 3, 2, vrdFloat, compression, endian);
    h.vtype = vrdRectZ;
    h.px = 0.5f;
    h.py = 0.25f;
    h.rz = rz;
    h.units = vrdUum;
    h.hasBgThreshold = 1;
    h.bgThresholdF = 0.5f;
    vrdAddHdrComment(&h, comment);
    vrdAddHdrComment(&h, "scanned twice");
    h.tfnum = 1;
    h.tfdata = tf;
    return h;
}

std::string lastLine(const std::string &text)
{
    const size_t start = text.size() < 2 ? 0 : text.rfind('\n', text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

// One line on stderr that names path and gives reason.
::testing::AssertionResult refusal(const Result &r, const std::string &path, const std::string &reason)
{
    if (r.status != 255 || std::count(r.err.begin(), r.err.end(), '\n') != 1 || r.err.back() != '\n' ||
        r.err.find(path) == std::string::npos || r.err.find(reason) == std::string::npos)
        return ::testing::AssertionFailure() << "status " << r.status << ", stderr: " << r.err;
    return ::testing::AssertionSuccess();
}

// Every run once with the one-thread slice loop and once with the pipeline.
class Programs : public TempDirTest, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        setenv("VRD_THREADS", GetParam(), 1);
    }

    // A small valid float volume.
    std::string plain(const std::string &name, int32_t nz = 2)
    {
        writeFile(path(name), volume(header(3, 2, nz), std::vector<Bytes>(nz, values<float>({1, 2, 3, 4, 5, 6}))));
        return path(name);
    }
};

TEST_P(Programs, TooFewArgumentsGiveUsageAndTouchNothing)
{
    const std::string in = plain("in.vrd");
    const std::string mapUsage = " inputImageFile outputImageFile min mid1 mid2 max\n";
    const struct {
        std::string program, invokedAs;
        std::vector<std::string> rest;
        std::string synopsis;
    } cases[] = {
        {volmap, volmap, {in, "out.vrd", "0", "10", "20"}, mapUsage},
        {volmap, "volmap-alias", {}, mapUsage},
        {volcmp, "./cmp", {in, in, "-", "out.vrd"}, " inputImageFile1 inputImageFile2\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{c.invokedAs};
        args.insert(args.end(), c.rest.begin(), c.rest.end());
        const Result r = run(dir, args, c.program.c_str());
        EXPECT_EQ(255, r.status);
        EXPECT_EQ("Missing parameters. \nUsage: \n" + c.invokedAs + c.synopsis, r.err);
        EXPECT_EQ("", r.out);
        EXPECT_FALSE(exists(path("out.vrd")));
    }
}

TEST_P(Programs, WindowCopiesHeaderAndKeepsCompressionInEveryByteOrder)
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
            EXPECT_EQ(0, r.status);
            EXPECT_EQ("", r.err);
            EXPECT_EQ("", r.out);
            EXPECT_TRUE(sameBytes(volume(floatOf(h), {out0, out1}), readFile(path("out.vrd"))));
        }
    }
}

TEST_P(Programs, WindowCornersAreFloat32)
{
    writeFile(path("in.vrd"), volume(header(2, 1, 1, vrdFloat, vrdCompNone), {values<float>({0.1f, 0.2f})}));
    const Result r = run(dir, {volmap, "in.vrd", "out.vrd", "0.1", "1", "2", "3"});
    EXPECT_EQ(0, r.status);
    const float rising = float((double(0.2f) - double(0.1f)) / (1.0 - double(0.1f)));
    EXPECT_TRUE(sameBytes(volume(header(2, 1, 1, vrdFloat, vrdCompNone), {values<float>({0.0f, rising})}),
                          readFile(path("out.vrd"))));
}

TEST_P(Programs, WindowReadsEveryDataTypeAndWritesFloat32)
{
    const Bytes expected = values<float>({0, 0, 0.5f, 1, 0.5f, 0});
    const struct {
        int32_t dtype, endian;
        Bytes data;
    } cases[] = {
        {vrdInt16, vrdLittleEndian, values<int16_t>({-5, 0, 5, 10, 30, 40})},
        {vrdIntHU, vrdBigEndian, values<int16_t>({-1024, 0, 5, 20, 30, 3000})},
        {vrdUChar, vrdLittleEndian, values<uint8_t>({0, 0, 5, 10, 30, 255})},
        {vrdChar, vrdBigEndian, values<int8_t>({-128, 0, 5, 15, 30, 127})},
        {vrdUInt16, vrdBigEndian, values<uint16_t>({0, 0, 5, 10, 30, 65535})},
        {vrdUInt32, vrdBigEndian, values<uint32_t>({0, 0, 5, 10, 30, 4294967295u})},
        {vrdInt32, vrdLittleEndian, values<int32_t>({INT32_MIN, 0, 5, 10, 30, 40})},
        {vrdDouble, vrdBigEndian, values<double>({-1e300, 0, 5, 19.5, 30, 1e300})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("dtype " + std::to_string(c.dtype));
        VrdHeader h = header(3, 2, 2, c.dtype, c.dtype % 2 ? vrdCompZlib : vrdCompNone, c.endian);
        h.hasBgThreshold = 1;
        h.bgThresholdI = -7;
        h.bgThresholdF = 0.25f;
        writeFile(path("in.vrd"), volume(h, {c.data, c.data}));
        const Result r = run(dir, {volmap, "in.vrd", "out.vrd", "0", "10", "20", "40"});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.err);
        VrdHeader e = floatOf(h);
        if (c.dtype != vrdDouble)
            e.bgThresholdF = -7; // an integer threshold carried over as a float
        EXPECT_TRUE(sameBytes(volume(e, {expected, expected}), readFile(path("out.vrd"))));
    }
}

TEST_P(Programs, CompareEachInputInItsOwnOrderAndCompression)
{
    const Bytes a0 = values<float>({0.5f, 0.9f, 2, -3, 0.2f, 0.2f}), a1 = values<float>({1, 1, 1, 1, 1, 1});
    const Bytes b0 = values<float>({0.9f, 0.9f, 1, 0.2f, 0.7f, 0.71f}), b1 = values<float>({1, 1, 1, -0.0f, 1, 1.5f});
    const Bytes zero = values<float>({0, 0, 0, 0, 0, 0});
    const struct {
        int32_t c1, e1, c2, e2;
        bool differ;
    } cases[] = {
        {vrdCompZlib, vrdLittleEndian, vrdCompZlib, vrdLittleEndian, false},
        {vrdCompZlib, vrdLittleEndian, vrdCompNone, vrdLittleEndian, true},
        {vrdCompNone, vrdLittleEndian, vrdCompZlib, vrdBigEndian, true},
        {vrdCompZlib, vrdBigEndian, vrdCompNone, vrdLittleEndian, false},
        {vrdCompNone, vrdBigEndian, vrdCompNone, vrdBigEndian, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        VrdHeader h1 = rich(c.c1, c.e1, "first input"), h2 = rich(c.c2, c.e2, "second input");
        h1.nx = h2.nx = 3;
        h1.ny = h2.ny = 2;
        writeFile(path("a.vrd"), volume(h1, {a0, a1}));
        writeFile(path("b.vrd"), volume(h2, c.differ ? std::vector<Bytes>{b0, b1} : std::vector<Bytes>{a0, a1}));
        const Result r = run(dir, {volcmp, "a.vrd", "b.vrd", "-", "-", "out.vrd", "ignored"});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.err);
        const Bytes d0 = values<float>({90, 0, 200, 0, 0, 71}), d1 = values<float>({0, 0, 0, 100, 0, 150});
        const std::vector<Bytes> expected = c.differ ? std::vector<Bytes>{d0, d1} : std::vector<Bytes>{zero, zero};
        EXPECT_TRUE(sameBytes(volume(floatOf(h1), expected), readFile(path("out.vrd"))));
    }
}

TEST_P(Programs, CompareRefusesVolumesOfDifferentSize)
{
    const std::string a = plain("a.vrd", 2), b = plain("b.vrd", 3);
    for (const Bytes &before : {Bytes(), Bytes("keep")}) {
        if (!before.empty())
            writeFile(path("out.vrd"), before);
        const Result r = run(dir, {volcmp, a, b, "-", "-", path("out.vrd")});
        EXPECT_EQ(255, r.status);
        EXPECT_EQ("Images of different size!\n", r.err);
        EXPECT_EQ(!before.empty(), exists(path("out.vrd")));
        EXPECT_EQ(before, readFile(path("out.vrd")));
    }
}

TEST_P(Programs, RefusedInputsCreateNoOutput)
{
    const std::string good = plain("good.vrd"), missing = path("missing.vrd"), junk = path("junk.vrd");
    writeFile(junk, "not a volume\n");
    VrdHeader colour = header(3, 2, 2);
    colour.nbands = 3;
    const Bytes rgb = values<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    writeFile(path("colour.vrd"), volume(colour, {rgb, rgb}));
    const std::string out = path("out.vrd");
    const struct {
        std::vector<std::string> args;
        std::string named, reason;
    } cases[] = {
        {{volmap, missing, out, "0", "1", "2", "3"}, missing, vrdErrorMessages[1]},
        {{volcmp, good, missing, "-", "-", out}, missing, vrdErrorMessages[1]},
        {{volmap, junk, out, "0", "1", "2", "3"}, junk, vrdErrorMessages[2]},
        {{volmap, path("colour.vrd"), out, "0", "1", "2", "3"}, path("colour.vrd"), "band"},
        {{volcmp, good, path("colour.vrd"), "-", "-", out}, path("colour.vrd"), "band"},
        {{volmap, good, path("none/out.vrd"), "0", "1", "2", "3"}, path("none/out.vrd"), strerror(ENOENT)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        EXPECT_TRUE(refusal(run(dir, c.args), c.named, c.reason));
        EXPECT_FALSE(exists(out));
    }
}

TEST_P(Programs, OutputThatIsAnInputIsRefused)
{
    const std::string a = plain("a.vrd"), b = plain("b.vrd");
    ASSERT_EQ(0, link(a.c_str(), path("link.vrd").c_str()));
    const Bytes original = readFile(a);
    const std::vector<std::string> cases[] = {
        {volmap, "a.vrd", "a.vrd", "0", "1", "2", "3"},
        {volmap, "a.vrd", "./a.vrd", "0", "1", "2", "3"},
        {volmap, "a.vrd", "link.vrd", "0", "1", "2", "3"},
        {volcmp, "b.vrd", "a.vrd", "-", "-", "./link.vrd"},
        {volcmp, "a.vrd", "b.vrd", "-", "-", dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/a.vrd"},
    };
    for (const std::vector<std::string> &args : cases) {
        SCOPED_TRACE(args.back());
        const std::string &output = args[0] == volmap ? args[2] : args[5];
        EXPECT_TRUE(refusal(run(dir, args), output, "same file"));
        EXPECT_TRUE(sameBytes(original, readFile(a)));
    }
}

TEST_P(Programs, DamagedInputRunsToTheEndAndFails)
{
    const Bytes s = values<float>({1, 2, 3, 4, 5, 6}), z = deflated(s);
    const Bytes windowed = values<float>({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f});
    const struct {
        const char *what;
        int32_t compression;
        Bytes blocks;
        size_t good; // the slice that is intact
        bool compare;
    } cases[] = {
        {"short last block", vrdCompNone, block(s) + block(s.substr(0, 10), 24), 0, false},
        {"truncated zlib block", vrdCompZlib, block(z) + block(z, uint32_t(z.size()) + 9), 0, false},
        {"block that inflates short", vrdCompZlib, block(deflated(s.substr(0, 16))) + block(z), 1, false},
        {"raw block too short", vrdCompNone, block(s.substr(0, 20)) + block(s), 1, false},
        {"raw block too long", vrdCompNone, block(s + "more") + block(s), 1, false},
        {"second input damaged", vrdCompZlib, block(deflated(s.substr(0, 16))) + block(z), 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const VrdHeader h = header(3, 2, 2, vrdFloat, c.compression);
        const Bytes prefix = volume(h, {});
        writeFile(path("bad.vrd"), prefix + c.blocks);
        const Result r = c.compare ? run(dir, {volcmp, plain("good.vrd"), path("bad.vrd"), "-", "-", path("out.vrd")})
                                : run(dir, {volmap, path("bad.vrd"), path("out.vrd"), "0", "10", "20", "40"});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, lastLine(r.err).find(path("bad.vrd") + ": 1 of 2 slices")) << r.err;
        const Bytes out = readFile(path("out.vrd"));
        ASSERT_EQ(prefix, out.substr(0, prefix.size()));
        const std::vector<Bytes> blocks = blocksAfter(out, prefix.size());
        ASSERT_EQ(2u, blocks.size());
        if (!c.compare) {
            EXPECT_EQ(blocksAfter(volume(h, {windowed, windowed}), prefix.size())[c.good], blocks[c.good]);
        }
        for (const Bytes &payload : blocks) {
            uLongf n = 24;
            Bytes slice(n, '\0');
            if (c.compression == vrdCompZlib) {
                EXPECT_EQ(Z_OK, uncompress(reinterpret_cast<Bytef *>(&slice[0]), &n,
                                           reinterpret_cast<const Bytef *>(payload.data()), uLong(payload.size())));
            } else {
                n = payload.size();
            }
            EXPECT_EQ(24u, n);
        }
    }
}

TEST_P(Programs, FailedOutputWritesEndWithStatusOne)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    const Result r = run(dir, {volmap, plain("in.vrd"), "/dev/full", "0", "10", "20", "40"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, lastLine(r.err).find("/dev/full")) << r.err;
}

TEST_P(Programs, FatalLibraryErrorKeepsTheBlocksWrittenBefore)
{
    const Bytes s = values<float>({1, 2, 3, 4, 5, 6}), z = deflated(s);
    Bytes corrupt = z;
    corrupt[0] = 0; // not a zlib header
    Bytes four;
    for (int i = 0; i < 4; ++i)
        four += block(z);
    const struct {
        Bytes tail; // what follows four sound blocks of nine
        std::string message;
    } cases[] = {
        {block(corrupt) + four, "ReadSliceDataZ: Uncompression Error (-3)\n"},
        {block(deflated(s + s)) + four, "ReadSliceDataZ: Uncompression Error (-5)\n"},
        {"", "ReadLong error (1)\n"},
        {Bytes(2, '\0'), "ReadLong error (3)\n"},
    };
    const VrdHeader h = header(3, 2, 9);
    const Bytes windowed = values<float>({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        writeFile(path("bad.vrd"), volume(h, {}) + four + c.tail);
        const Result r = run(dir, {volmap, "bad.vrd", "out.vrd", "0", "10", "20", "40"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.message, r.err);
        EXPECT_TRUE(sameBytes(volume(h, std::vector<Bytes>(4, windowed)), readFile(path("out.vrd"))));
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, Programs, ::testing::Values("1", "4"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace
