// Hostile files made here, run through the programs: whatever a file
// announces, what a run writes and takes is bounded by what the file holds
// (at most 1032 times its bytes plus 1 MiB, the most deflate can expand).
#include "volumes.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace testkit;

const std::string volmap = VOLMAP_PROGRAM, volcmp = VOLCMP_PROGRAM, vrdinfo = VRDINFO_PROGRAM,
                  vrdconvert = VRDCONVERT_PROGRAM;

// A header as text, with a 1 x 1 icon, before the blocks.
Bytes headerText(const std::string &dims, const std::string &dtype, const std::string &compression,
                 const std::string &extra = "")
{
    return "P5\n1 1\n#!vrd 6.0\n#!endian vrdLittleEndian\n#!compression " + compression + "\n#!vdim " + dims +
           "\n#!vtype vrdCubic\n#!px 1.0\n#!nbands 1\n#!dtype " + dtype + "\n#!units vrdUmm\n" + extra +
           "#!last\n255\n" + Bytes(1, '\0');
}

uint64_t bound(uint64_t inputBytes)
{
    return 1032 * inputBytes + (uint64_t{1} << 20);
}

struct Bounds : TempDirTest {
    uint64_t sizeOf(const std::string &name) const
    {
        std::error_code error;
        const auto size = std::filesystem::file_size(path(name), error);
        return error ? 0 : uint64_t(size);
    }
    bool leftovers() const
    {
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            if (entry.path().filename().string().find(".partial-") != std::string::npos)
                return true;
        return false;
    }
};

// An address-space limit for the runs that check memory (none under ASan).
const uint64_t kMemory = addressLimit(uint64_t{512} << 20);

TEST_F(Bounds, TransferFunctionCountsAreBoundedAndRepeatsCostNothing)
{
    const Bytes slice = block(deflated(Bytes(8, '\1')));
    // A count far past the bound, with no values: refused by every program.
    writeFile(path("huge.vrd"), headerText("4 2 1", "vrdUChar", "zlib", "#!tfnum 1048576\n") + slice);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{volmap, "huge.vrd", "out.vrd", "0", "1", "2", "3"},
          {volcmp, "huge.vrd", "huge.vrd", "-", "-", "out.vrd"}, {vrdinfo, "--json", "huge.vrd"},
          {vrdconvert, "huge.vrd", "out.nii"}}) {
        const Result r = run(dir, args);
        EXPECT_EQ(r.status, 255) << args[0] << r.err;
        EXPECT_NE(r.err.find("transfer function array allocation error"), std::string::npos) << r.err;
        EXPECT_LT(r.out.size(), 2000u);
    }
    EXPECT_FALSE(std::filesystem::exists(path("out.vrd")));

    // The bound, named once or 20,000 times: outputs within the bound.
    std::string counts;
    for (int i = 0; i < 20000; ++i)
        counts += "#!tfnum 4096\n";
    for (const std::string &extra : {std::string("#!tfnum 4096\n"), counts}) {
        writeFile(path("tf.vrd"), headerText("4 2 1", "vrdUChar", "zlib", extra) + slice);
        const uint64_t in = sizeOf("tf.vrd");
        ASSERT_EQ(run(dir, {volmap, "tf.vrd", "map.vrd", "0", "1", "2", "3"}).status, 0);
        ASSERT_EQ(run(dir, {volcmp, "tf.vrd", "tf.vrd", "-", "-", "cmp.vrd"}).status, 0);
        const Result info = run(dir, {vrdinfo, "--json", "tf.vrd"});
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_LE(sizeOf("map.vrd"), bound(in));
        EXPECT_LE(sizeOf("cmp.vrd"), bound(in));
        EXPECT_LE(info.out.size(), bound(in));
        // The output carries the one count of 4096 functions.
        const Bytes out = readFile(path("map.vrd"));
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 13 + 5 * 4096 + 6 + 1) << "lines";
    }
}

// Huge slices, the first whole, the rest empty zlib streams: every run
// reuses the first output block for the repeats, and its output stays
// within the bound.
TEST_F(Bounds, SlicesRepeatedForEmptyBlocksReuseTheirBlock)
{
    constexpr int32_t n = 1024, nz = 300;
    Bytes first(size_t(n) * n, '\0');
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = char(i % 251 == 0 ? 7 : 0);
    Bytes file = headerText(std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(nz), "vrdUChar",
                            "zlib") + block(deflated(first));
    const Bytes empty = block(deflated(""));
    for (int32_t z = 1; z < nz; ++z)
        file += empty;
    writeFile(path("repeats.vrd"), file);
    const Result r = run(dir, {volmap, "repeats.vrd", "map.vrd", "0", "1", "2", "3"}, nullptr, nullptr, kMemory);
    EXPECT_EQ(r.status, 1) << r.err; // damaged input slices; the output is whole
    EXPECT_NE(r.err.find("299 of 300 slices damaged"), std::string::npos) << r.err;
    EXPECT_LE(sizeOf("map.vrd"), bound(file.size()));
    // Every output block is the first one again.
    const Bytes out = readFile(path("map.vrd"));
    const VrdHeader h = header(n, n, nz);
    const size_t blocksStart = volume(h, {}).size();
    const std::vector<Bytes> blocks = blocksAfter(out, blocksStart);
    ASSERT_EQ(blocks.size(), size_t(nz));
    EXPECT_TRUE(std::all_of(blocks.begin(), blocks.end(), [&](const Bytes &b) { return b == blocks[0]; }));

    // vrdinfo, through a pipe as well, and vrdconvert to vrd.
    for (const std::string &command : {vrdinfo + " repeats.vrd", "cat repeats.vrd | " + vrdinfo + " /dev/stdin"}) {
        const Result info = run(dir, {"/bin/sh", "-c", command}, nullptr, nullptr, kMemory);
        EXPECT_EQ(info.status, 1) << info.err;
        EXPECT_NE(info.out.find("damaged: 299 of 300 slices not read whole"), std::string::npos) << info.out;
    }
    const Result converted = run(dir, {vrdconvert, "repeats.vrd", "copy.vrd"}, nullptr, nullptr, kMemory);
    EXPECT_EQ(converted.status, 1) << converted.err;
    EXPECT_LE(sizeOf("copy.vrd"), bound(file.size()));
}

// Blocks that hold nothing of slices that cannot be shrunk to nothing: the
// output would grow far past its bound. The run stops writing, says so once,
// and leaves no output.
TEST_F(Bounds, OutputsPastTheBoundAreNotWritten)
{
    constexpr int32_t n = 128, nz = 3000;
    Bytes file = headerText(std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(nz), "vrdUChar",
                            "none") + block(Bytes(size_t(n) * n, '\5'));
    for (int32_t z = 1; z < nz; ++z)
        file += block("");
    writeFile(path("thin.vrd"), file);
    writeFile(path("old.vrd"), "old content");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{volmap, "thin.vrd", "old.vrd", "0", "1", "2", "3"},
          {volcmp, "thin.vrd", "thin.vrd", "-", "-", "old.vrd"}, {vrdconvert, "--raw", "thin.vrd", "old.vrd"}}) {
        for (const char *threads : {"1", "2"}) {
            const Result r = run(dir, args, nullptr, threads);
            EXPECT_EQ(r.status, 1) << args[0];
            const size_t said = [&] {
                size_t count = 0;
                for (size_t at = 0; (at = r.err.find("hold too little", at)) != std::string::npos; ++at)
                    ++count;
                return count;
            }();
            EXPECT_EQ(said, 1u) << args[0] << r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
            EXPECT_NE(r.err.find("old.vrd: write error"), std::string::npos) << args[0];
            EXPECT_TRUE(readFile(path("old.vrd")) == "old content") << args[0];
            EXPECT_FALSE(leftovers());
        }
    }
}

// A header announcing slices of 256 MiB over a few bytes, in a regular file
// and through a pipe: refused before any output (volmap, volcmp) or read
// in little memory (vrdinfo).
TEST_F(Bounds, HugeSlicesOverAFewBytes)
{
    Bytes file = headerText("16384 16384 1000", "vrdUChar", "zlib");
    for (int z = 0; z < 1000; ++z)
        file += block(deflated(""));
    writeFile(path("huge.vrd"), file);
    for (const std::string &input : {std::string("huge.vrd"), std::string("/dev/stdin")}) {
        const std::string feed = input == "huge.vrd" ? "" : "cat huge.vrd | ";
        const Result map = run(dir, {"/bin/sh", "-c", feed + volmap + " " + input + " out.vrd 0 1 2 3"}, nullptr,
                               nullptr, kMemory);
        EXPECT_EQ(map.status, 255) << map.err;
        EXPECT_NE(map.err.find("holds no slice data"), std::string::npos) << map.err;
        EXPECT_FALSE(std::filesystem::exists(path("out.vrd")));
        const Result info = run(dir, {"/bin/sh", "-c", feed + vrdinfo + " " + input}, nullptr, nullptr, kMemory);
        EXPECT_EQ(info.status, 1) << info.err;
        EXPECT_NE(info.out.find("damaged: 1000 of 1000 slices not read whole"), std::string::npos) << info.out;
    }
}

} // namespace
