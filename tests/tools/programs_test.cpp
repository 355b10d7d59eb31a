// volmap and volcmp run end to end on volume files written through the
// library; the runs go through the slice pipeline (the thread tests hold the
// one-thread loop to the same bytes).
#include "volumes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using namespace testkit;

const std::string volmap = VOLMAP_PROGRAM, volcmp = VOLCMP_PROGRAM;
const Bytes kSlice = values<float>({1, 2, 3, 4, 5, 6}), kWindowed = values<float>({.1f, .2f, .3f, .4f, .5f, .6f});

// What the programs write for an input header: float32 in this machine's order.
VrdHeader floatOf(VrdHeader h) { return h.dtype = vrdFloat, h.endian = vrdLittleEndian, h; }

// A header that uses every field the output copies.
VrdHeader rich(int32_t compression, int32_t endian)
{
    static float rz[] = {1.5f, 2.5f};
    static char d[] = "0 10", r[] = "1 0.5", a[] = "0.25 1", *tf[] = {d, r, a, r, a};
    VrdHeader h = header(3, 2, 2, vrdFloat, compression, endian);
    h.vtype = vrdRectZ, h.px = 0.5f, h.py = 0.25f, h.rz = rz, h.units = vrdUum;
    h.hasBgThreshold = 1, h.bgThresholdF = 0.5f, h.tfnum = 1, h.tfdata = tf;
    vrdAddHdrComment(&h, "scanned twice");
    return h;
}

struct Programs : TempDirTest {
    void SetUp() override { TempDirTest::SetUp(), setenv("VRD_THREADS", "4", 1); }
    std::string plain(const std::string &name, int32_t nz = 2, int32_t compression = vrdCompZlib)
    {
        writeFile(path(name), volume(header(3, 2, nz, vrdFloat, compression), std::vector<Bytes>(size_t(nz), kSlice)));
        return path(name);
    }
    void expectRun(const std::vector<std::string> &args, const Bytes &expected)
    {
        const Result r = run(dir, args);
        EXPECT_TRUE(r.status == 0 && r.err.empty() && r.out.empty()) << r.status << r.err;
        EXPECT_TRUE(sameBytes(expected, readFile(path("out.vrd"))));
    }
};

TEST_F(Programs, TooFewArgumentsGiveUsageAndTouchNothing)
{
    const std::string in = plain("in.vrd");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{volmap, in, "out.vrd", "0", "10", "20"}, " inputImageFile outputImageFile min mid1 mid2 max\n"},
        {{"./cmp", in, in, "-", "out.vrd"}, " inputImageFile1 inputImageFile2\n"},
    };
    for (const auto &[args, synopsis] : cases) {
        const Result r = run(dir, args, (args[0] == volmap ? volmap : volcmp).c_str());
        EXPECT_TRUE(r.status == 255 && r.out.empty() && !std::filesystem::exists(path("out.vrd")));
        EXPECT_EQ("Missing parameters. \nUsage: \n" + args[0] + synopsis, r.err);
    }
}

TEST_F(Programs, HelpAndVersionAnswerOnStandardOutput)
{
    for (const std::string &program : {volmap, volcmp}) {
        const std::string name = program.substr(program.rfind('/') + 1);
        const Result help = run(dir, {program, "--help"}), version = run(dir, {program, "--version"});
        EXPECT_TRUE(help.status == 0 && help.err.empty() && help.out.rfind("Usage: " + name + " ", 0) == 0) << help.out;
        EXPECT_TRUE(version.status == 0 && version.err.empty()) << version.err;
        EXPECT_EQ(version.out, name + " (vrd) " + vrdVersion() + "\n");
        // Only as the first and only argument: otherwise arguments as before.
        const Result late = run(dir, {program, "in.vrd", "--help"});
        EXPECT_TRUE(late.status == 255 && late.out.empty() && late.err.rfind("Missing parameters. \n", 0) == 0);
    }
}

// Window numbers: every form of a number has the value atof gives it; any
// other text is refused naming the argument, before the input is opened or
// any output exists.
TEST_F(Programs, WindowNumbersMustBeNumbers)
{
    writeFile(path("in.vrd"), volume(header(6, 1, 1, vrdFloat, vrdCompNone), {values<float>({-1, 5, 999, 1e4f, 0, 3})}));
    const std::vector<std::string> forms = {"-0.5", "10", "1e3", "inf", "0x10", "+2", ".5"};
    for (const std::string &min : forms) {
        std::remove(path("out.vrd").c_str());
        const Result r = run(dir, {volmap, "in.vrd", "out.vrd", min, "2000", "3000", "inf"});
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << min << r.err;
    }
    const Result nan = run(dir, {volmap, "in.vrd", "out.vrd", "nan", "nan", "nan", "nan"});
    EXPECT_EQ(nan.status, 0) << nan.err;
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"abc", "0", "60", "80"}, "min: not a number: \"abc\""},
        {{"0", "1O", "60", "80"}, "mid1: not a number: \"1O\""},
        {{"0", "1", "3x", "80"}, "mid2: not a number: \"3x\""},
        {{"0", "1", "3", ""}, "max: not a number: \"\""},
        {{"0", " 1", "3", "4"}, "mid1: not a number: \" 1\""},
        {{"0", "1", "3", "4 "}, "max: not a number: \"4 \""},
    };
    std::remove(path("out.vrd").c_str());
    for (const auto &[numbers, reason] : refused) {
        std::vector<std::string> args = {volmap, "missing.vrd", "out.vrd"};
        args.insert(args.end(), numbers.begin(), numbers.end());
        const Result r = run(dir, args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "volmap: " + reason + "\n");
        EXPECT_FALSE(std::filesystem::exists(path("out.vrd")));
    }
}

// A file whose first block cannot hold a slice is refused before any output
// exists and without the memory its header asks for; a pipe, or a file that
// holds some blocks, still runs as a damaged input.
TEST_F(Programs, InputsThatHoldNoSliceDataAreRefusedFirst)
{
    // Headers of 30000 x 30000 voxels per slice, with a one-pixel icon.
    const auto huge = [](int32_t compression) {
        const VrdHeader h = header(30000, 30000, 4, vrdFloat, compression);
        const unsigned char pixel = 0;
        return writtenBy([&](FILE *f) { writeVrdHeader(f, &h, &pixel, 1, 1); });
    };
    const Bytes z = deflated(kSlice);
    const std::pair<const char *, Bytes> cases[] = {
        {"header alone", huge(vrdCompZlib)},
        {"half a length field", huge(vrdCompZlib) + Bytes(2, '\0')},
        {"fewer bytes than announced", huge(vrdCompZlib) + block(Bytes(5000, 'x'), 900000)},
        {"zlib block below the deflate bound", huge(vrdCompZlib) + block(Bytes(3000, 'x')) + block(Bytes(3000, 'x'))},
        {"raw block shorter than the slice", huge(vrdCompNone) + block(Bytes(4000, 'x'))},
        {"small raw slice", volume(header(3, 2, 2, vrdFloat, vrdCompNone), {}) + block(kSlice.substr(0, 20)) + block(kSlice)},
    };
    for (const auto &[what, file] : cases) {
        SCOPED_TRACE(what);
        writeFile(path("in.vrd"), file);
        for (const std::vector<std::string> &args : {std::vector<std::string>{volmap, "in.vrd", "out.vrd", "0", "1", "2", "3"},
                                                     {volcmp, "in.vrd", "in.vrd", "-", "-", "out.vrd"}}) {
            const Result r = run(dir, args, nullptr, nullptr, addressLimit(uint64_t(64) << 20));
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.err.rfind(args[0].substr(args[0].rfind('/') + 1) + ": in.vrd: holds no slice data", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
            EXPECT_FALSE(std::filesystem::exists(path("out.vrd")));
        }
    }
    // Some blocks but fewer than nz: a damaged input, as always.
    writeFile(path("in.vrd"), volume(header(3, 2, 4, vrdFloat, vrdCompZlib), {}) + block(z));
    const Result some = run(dir, {volmap, "in.vrd", "out.vrd", "0", "10", "20", "40"});
    EXPECT_EQ(some.status, 1);
    EXPECT_EQ(some.err, "ReadLong error (1)\n") << some.err;
    // The same bytes through a pipe are read as they come.
    const Result piped = run(dir, {"/bin/sh", "-c", "cat in.vrd | " + volmap + " /dev/stdin out.vrd 0 10 20 40"});
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.err, "ReadLong error (1)\n");
}

TEST_F(Programs, WindowCopiesTheHeaderAndReadsEveryKind)
{
    const Bytes in = values<float>({-5, 2.5f, 15, 30, 40, -0.0f}), out = values<float>({0, 0.25f, 1, 0.5f, 0, 0});
    for (int32_t compression : {vrdCompZlib, vrdCompNone})
        for (int32_t endian : {vrdLittleEndian, vrdBigEndian}) {
            writeFile(path("in.vrd"), volume(rich(compression, endian), {in, kSlice}));
            expectRun({volmap, "in.vrd", "out.vrd", "0", "10", "20", "40", "ignored"},
                      previewed(floatOf(rich(compression, endian)), {out, kWindowed}));
        }
    // Other data types become float32; an integer background threshold is carried as a float.
    VrdHeader h = header(3, 2, 1, vrdIntHU, vrdCompZlib, vrdBigEndian);
    h.hasBgThreshold = 1, h.bgThresholdI = -7, h.bgThresholdF = 0.25f;
    writeFile(path("in.vrd"), volume(h, {values<int16_t>({-1024, 0, 5, 20, 30, 3000})}));
    h = floatOf(h), h.bgThresholdF = -7;
    expectRun({volmap, "in.vrd", "out.vrd", "0", "10", "20", "40"}, previewed(h, {values<float>({0, 0, 0.5f, 1, 0.5f, 0})}));
    // The corners are float32 values: 0.1 as a double would give another rising edge.
    writeFile(path("in.vrd"), volume(header(2, 1, 1, vrdFloat, vrdCompNone), {values<float>({0.1f, 0.2f})}));
    const float rising = float((double(0.2f) - double(0.1f)) / (1.0 - double(0.1f)));
    expectRun({volmap, "in.vrd", "out.vrd", "0.1", "1", "2", "3"},
              previewed(header(2, 1, 1, vrdFloat, vrdCompNone), {values<float>({0.0f, rising})}));
}

TEST_F(Programs, CompareEachInputInItsOwnOrderAndCompression)
{
    const Bytes a0 = values<float>({0.5f, 0.9f, 2, -3, 0.2f, 0.2f}), b0 = values<float>({0.9f, 0.9f, 1, 0.2f, 0.7f, 0.71f});
    writeFile(path("a.vrd"), volume(rich(vrdCompNone, vrdLittleEndian), {a0, kSlice}));
    writeFile(path("b.vrd"), volume(rich(vrdCompZlib, vrdBigEndian), {b0, values<float>({1, 2, 3, -0.0f, 1, 7})}));
    expectRun({volcmp, "a.vrd", "b.vrd", "-", "-", "out.vrd", "ignored"},
              previewed(floatOf(rich(vrdCompNone, vrdLittleEndian)),
                        {values<float>({90, 0, 200, 0, 0, 71}), values<float>({0, 0, 0, 400, 500, 700})}));
}

TEST_F(Programs, RefusalsLeaveTheFilesAlone)
{
    const std::string good = plain("a.vrd"), missing = path("missing.vrd"), junk = path("junk.vrd");
    const std::string colour = path("colour.vrd"), out = path("out.vrd"), same = "same file";
    plain("b.vrd");
    writeFile(junk, "not a volume\n");
    VrdHeader h = header(3, 2, 2);
    h.nbands = 3;
    writeFile(colour, volume(h, std::vector<Bytes>(2, kSlice + kSlice + kSlice)));
    ASSERT_EQ(0, link(good.c_str(), path("link.vrd").c_str()));
    const struct { std::vector<std::string> args; std::string named, reason; } cases[] = {
        {{volmap, missing, out, "0", "1", "2", "3"}, missing, vrdErrorMessages[1]},
        {{volmap, junk, out, "0", "1", "2", "3"}, junk, vrdErrorMessages[2]},
        {{volcmp, good, colour, "-", "-", out}, colour, "band"},
        {{volmap, good, path("none/out.vrd"), "0", "1", "2", "3"}, path("none/out.vrd"), strerror(ENOENT)},
        {{volmap, "a.vrd", "./a.vrd", "0", "1", "2", "3"}, "./a.vrd", same},
        {{volcmp, "b.vrd", "a.vrd", "-", "-", "link.vrd"}, "link.vrd", same}, // a hard link of the second input
    };
    const Bytes original = readFile(good);
    for (const auto &c : cases) { // one line naming the file and the reason, status 255
        const Result r = run(dir, c.args);
        EXPECT_TRUE(r.status == 255 && std::count(r.err.begin(), r.err.end(), '\n') == 1 && r.err.back() == '\n' &&
                    r.err.find(c.named) != std::string::npos && r.err.find(c.reason) != std::string::npos) << r.err;
        EXPECT_TRUE(!std::filesystem::exists(out) && sameBytes(original, readFile(good)));
    }
    for (const char *setting : {"zlib:10", "libdeflate:0", "gzip", ""}) { // refused before the output exists
        setenv("VRD_DEFLATE", setting, 1);
        const Result r = run(dir, {volmap, good, out, "0", "1", "2", "3"});
        EXPECT_TRUE(r.status == 255 && r.err.find("VRD_DEFLATE") != std::string::npos &&
                    std::count(r.err.begin(), r.err.end(), '\n') == 1 && !std::filesystem::exists(out)) << r.err;
    }
    unsetenv("VRD_DEFLATE");
    writeFile(out, "keep");
    const Result r = run(dir, {volcmp, good, plain("long.vrd", 3), "-", "-", out});
    EXPECT_TRUE(r.status == 255 && r.err == "Images of different size!\n" && readFile(out) == "keep") << r.err;
}

TEST_F(Programs, DamagedInputsRunToTheEndAndFail)
{
    const Bytes z = deflated(kSlice);
    const struct { const char *what; int32_t compression; Bytes blocks; int good; bool compare; } cases[] = {
        {"short last block", vrdCompNone, block(kSlice) + block(kSlice.substr(0, 10), 24), 0, false},
        {"truncated zlib block", vrdCompZlib, block(z) + block(z, uint32_t(z.size()) + 9), 0, false},
        {"block that inflates short", vrdCompZlib, block(deflated(kSlice.substr(0, 16))) + block(z), 1, false},
        {"raw block too long, second input", vrdCompNone, block(kSlice + "more") + block(kSlice), 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const VrdHeader h = header(3, 2, 2, vrdFloat, c.compression);
        const Bytes prefix = volume(h, {}), bad = path("bad.vrd"), out = path("out.vrd");
        writeFile(bad, prefix + c.blocks);
        const Result r = c.compare ? run(dir, {volcmp, plain("good.vrd", 2, c.compression), bad, "-", "-", out})
                                   : run(dir, {volmap, bad, out, "0", "10", "20", "40"});
        const size_t line = r.err.find(bad + ": 1 of 2 slices"); // the last line
        EXPECT_TRUE(r.status == 1 && line != std::string::npos && r.err.find('\n', line) == r.err.size() - 1) << r.err;
        const Bytes output = readFile(out);
        // A run that reaches its end has its preview, damaged or not.
        ASSERT_EQ(prefix.substr(0, prefix.size() - 6), output.substr(0, prefix.size() - 6));
        EXPECT_TRUE(c.compare || prefix != output.substr(0, prefix.size())); // volcmp: equal slices, all 0
        const std::vector<Bytes> blocks = blocksAfter(output, prefix.size());
        ASSERT_EQ(2u, blocks.size());
        EXPECT_TRUE(c.compare || blocksAfter(volume(h, {kWindowed, kWindowed}), prefix.size())[c.good] == blocks[c.good]);
        for (const Bytes &payload : blocks) // every slice written whole
            EXPECT_EQ(24u, c.compression == vrdCompZlib ? inflated(payload, 25).size() : payload.size());
    }
    const Result full = run(dir, {volmap, plain("in.vrd"), "/dev/full", "0", "10", "20", "40"});
    EXPECT_TRUE(full.status == 1 && full.err.find("/dev/full") != std::string::npos) << full.err;
}

// ... and the blank icon, since the run ended part-way.
TEST_F(Programs, FatalLibraryErrorKeepsTheBlocksWrittenBefore)
{
    const Bytes z = deflated(kSlice), four = block(z) + block(z) + block(z) + block(z);
    const std::pair<Bytes, std::string> cases[] = { // what follows four sound blocks of nine
        {block(Bytes(1, '\0') + z.substr(1)) + four, "ReadSliceDataZ: Uncompression Error (-3)\n"},
        {block(deflated(kSlice + kSlice)) + four, "ReadSliceDataZ: Uncompression Error (-5)\n"},
        {Bytes(2, '\0'), "ReadLong error (3)\n"},
    };
    const VrdHeader h = header(3, 2, 9);
    for (const auto &[tail, message] : cases) {
        writeFile(path("bad.vrd"), volume(h, {}) + four + tail);
        const Result r = run(dir, {volmap, "bad.vrd", "out.vrd", "0", "10", "20", "40"});
        EXPECT_TRUE(r.status == 1 && r.err == message) << r.status << r.err;
        EXPECT_TRUE(sameBytes(volume(h, std::vector<Bytes>(4, kWindowed)), readFile(path("out.vrd"))));
    }
}

} // namespace
