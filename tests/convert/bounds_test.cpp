// vrdconvert on files sent by someone else: a detached header reads only the
// data file it may read, no skip or read goes past what the data hold, and
// no input makes an output larger than its bytes can give.
#include "volumes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace testkit;

const std::string kConvert = VRDCONVERT_PROGRAM;
// The most a file may cause to be written: what deflate can make of its bytes, and headers.
constexpr uint64_t kRatio = 1032, kAllowance = uint64_t{1} << 20;

struct Bounds : TempDirTest {
    Result convert(const std::vector<std::string> &args, uint64_t fileLimit = uint64_t{1} << 30)
    {
        std::vector<std::string> argv{kConvert};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(dir, argv, nullptr, nullptr, addressLimit(uint64_t{2} << 30), fileLimit);
    }
    Result shell(const std::string &command)
    {
        return run(dir, {"/bin/sh", "-c", command}, nullptr, nullptr, addressLimit(uint64_t{2} << 30),
                   uint64_t{1} << 30);
    }
    // A detached header in sub/ for 2 x 2 x 2 uchar values.
    void nhdr(const std::string &fields, const std::string &encoding = "raw")
    {
        writeFile(path("sub/h.nhdr"),
                  "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 2\nencoding: " + encoding + "\n" + fields + "\n");
    }
    void SetUp() override
    {
        TempDirTest::SetUp();
        std::filesystem::create_directories(path("sub/deeper"));
        writeFile(path("sub/in.raw"), "ABCDEFGH");
        writeFile(path("sub/deeper/in.raw"), "ABCDEFGH");
        writeFile(path("secret.raw"), "SECRET!!");
    }
};

void expectRefusal(const Result &r, const std::string &reason, const std::string &out)
{
    EXPECT_EQ(255, r.status) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(reason)) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << out;
}

TEST_F(Bounds, ADetachedHeaderReadsOnlyFilesInItsFolder)
{
    ASSERT_EQ(0, symlink("../secret.raw", path("sub/out.raw").c_str()));
    ASSERT_EQ(0, symlink("deeper/in.raw", path("sub/in-link.raw").c_str()));
    ASSERT_EQ(0, mkfifo(path("sub/fifo.raw").c_str(), 0600));
    const std::string anywhere = "--data-anywhere allows it";
    const std::pair<std::string, std::string> refused[] = {
        {"data file: " + path("secret.raw"), "data file " + path("secret.raw").substr(0, 37)},
        {"data file: /etc/passwd", "data file /etc/passwd lies outside the header's folder; " + anywhere},
        {"data file: ../secret.raw", "data file ../secret.raw lies outside the header's folder; " + anywhere},
        {"data file: deeper/../../secret.raw", "lies outside the header's folder; " + anywhere},
        {"data file: out.raw", "data file out.raw lies outside the header's folder; " + anywhere},
        {"data file: fifo.raw", "data file fifo.raw is not a regular file; " + anywhere},
        {"data file: -", "data file - (standard input) is not read; " + anywhere},
        {"data file: /dev/zero", "data file /dev/zero is a device"},
    };
    for (const auto &[field, reason] : refused) {
        SCOPED_TRACE(field);
        nhdr(field);
        expectRefusal(convert({"sub/h.nhdr", "out.nii"}), reason, path("out.nii"));
    }
    // Inside the folder, by any spelling: read.
    for (const std::string &name : std::vector<std::string>{"in.raw", "deeper/in.raw", "in-link.raw", "deeper/../in.raw", path("sub/in.raw")}) {
        nhdr("data file: " + name);
        const Result r = convert({"sub/h.nhdr", "out.raw"});
        EXPECT_EQ(0, r.status) << name << ": " << r.err;
        EXPECT_EQ("ABCDEFGH", readFile(path("out.raw"))) << name;
    }
    // With the option: elsewhere, a FIFO and standard input; a device never.
    nhdr("data file: ../secret.raw");
    ASSERT_EQ(0, convert({"--data-anywhere", "sub/h.nhdr", "out.raw"}).status);
    EXPECT_EQ("SECRET!!", readFile(path("out.raw")));
    nhdr("data file: fifo.raw");
    Result r = shell("printf 12345678 > sub/fifo.raw & exec " + kConvert + " --data-anywhere sub/h.nhdr out.raw");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("12345678", readFile(path("out.raw")));
    nhdr("data file: -\nline skip: 1");
    r = shell("printf 'skip me\\nabcdefgh' | " + kConvert + " --data-anywhere sub/h.nhdr out.raw");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("abcdefgh", readFile(path("out.raw")));
    for (const char *device : {"/dev/zero", "/dev/urandom"}) {
        nhdr(std::string("data file: ") + device);
        expectRefusal(convert({"--data-anywhere", "sub/h.nhdr", "out2.raw"}), "not even with --data-anywhere",
                      path("out2.raw"));
    }
    expectRefusal(convert({"--data-anywhere", "x.vrd", "out2.nii"}), "NRRD input only", path("out2.nii"));
}

TEST_F(Bounds, SkipsAndReadsEndWhereTheDataDo)
{
    const std::pair<std::string, std::string> refused[] = {
        {"data file: in.raw\nline skip: 1000000000000", "data end before the lines to skip"},
        {"data file: in.raw\nbyte skip: 1000000000000000", "the file holds 8 data bytes, the volume needs"},
        {"data file: in.raw\nbyte skip: 9223372036854775807", "the volume needs"},
        {"data file: in.raw\nline skip: 1\nline skip: 1", "given twice"},
        {"data file: in.raw\ndata file: ../secret.raw", "given twice"},
    };
    for (const auto &[fields, reason] : refused) {
        SCOPED_TRACE(fields);
        nhdr(fields);
        expectRefusal(convert({"sub/h.nhdr", "out.nii"}), reason, path("out.nii"));
    }
    // Gzip skips count inflated bytes: a small file cannot give a huge skip's worth.
    nhdr("data file: in.raw\nbyte skip: 1000000000000000", "gzip");
    expectRefusal(convert({"sub/h.nhdr", "out.nii"}), "bytes of gzip data cannot hold", path("out.nii"));
    // Through a pipe nothing can be measured first: the reads end where the data do.
    ASSERT_EQ(0, mkfifo(path("sub/fifo.raw").c_str(), 0600));
    nhdr("data file: fifo.raw\nbyte skip: -1");
    expectRefusal(shell("printf 12345678 > sub/fifo.raw & exec " + kConvert + " --data-anywhere sub/h.nhdr out.nii"),
                  "byte skip -1 needs a regular data file", path("out.nii"));
    nhdr("data file: fifo.raw\nbyte skip: 1000000000000000");
    expectRefusal(shell("printf 12345678 > sub/fifo.raw & exec " + kConvert + " --data-anywhere sub/h.nhdr out.nii"),
                  "data end before the bytes to skip", path("out.nii"));
    nhdr("data file: fifo.raw\nline skip: 1000000000000");
    expectRefusal(shell("printf 'a\\nb\\n' > sub/fifo.raw & exec " + kConvert + " --data-anywhere sub/h.nhdr out.nii"),
                  "data end before the lines to skip", path("out.nii"));
    // A header claiming 4 GiB slices of a pipe that holds a few bytes: refused
    // before anything is sized from the claim (the run has a 2 GiB address space).
    for (const std::string encoding : {"raw", "ascii", "gzip"}) {
        writeFile(path("sub/big.nhdr"), "NRRD0004\ntype: short\ndimension: 3\nsizes: 46340 46340 1000\n"
                                        "endian: little\nencoding: " + encoding + "\ndata file: fifo.raw\n\n");
        const Result r = shell("printf '1 2 3 4 5 6 7 8' > sub/fifo.raw & exec " + kConvert +
                               " --data-anywhere sub/big.nhdr out.nii");
        if (encoding == "gzip")
            expectRefusal(r, "gzip data", path("out.nii"));
        else
            expectRefusal(r, "data end in slice 1 of 1000", path("out.nii"));
    }
}

TEST_F(Bounds, NiftiBitpixMustAgreeWithDatatype)
{
    writeFile(path("in.raw"), Bytes(2 * 3 * 4 * 2, '\1'));
    ASSERT_EQ(0, convert({"--size", "2", "3", "4", "--type", "int16", "in.raw", "good.nii"}).status);
    Bytes nii = readFile(path("good.nii"));
    const int16_t wrong[] = {8, 32, 0, -16};
    for (const int16_t bitpix : wrong) {
        memcpy(&nii[72], &bitpix, 2);
        writeFile(path("bad.nii"), nii);
        expectRefusal(convert({"bad.nii", "out.vrd"}),
                      "bitpix " + std::to_string(bitpix) + " does not agree with datatype 4 (int16, 16 bits)",
                      path("out.vrd"));
    }
}

// A float32 zlib vrd volume's header with a one-pixel icon (the library
// writes nx x ny), so that the file is little more than its blocks.
Bytes prologue(int32_t nx, int32_t ny, int32_t nz)
{
    return "P5\n1 1\n#!vrd 6.0\n#!endian vrdLittleEndian\n#!compression zlib\n#!vdim " + std::to_string(nx) + " " +
           std::to_string(ny) + " " + std::to_string(nz) +
           "\n#!vtype vrdCubic\n#!px 1.0\n#!nbands 1\n#!dtype vrdFloat\n#!units vrdUmm\n#!last\n255\n" + Bytes(1, '\0');
}

// A vrd file's damaged blocks give slices from nothing (the slice before);
// a file of such blocks ends its run where the output would pass what its
// bytes can give, in every output format.
TEST_F(Bounds, DamagedVrdSlicesEndWhereTheFileCanGiveNoMore)
{
    constexpr int32_t n = 1024, nz = 2000;
    const Bytes zeros(size_t(n) * n * 4, '\0');
    Bytes file = prologue(n, n, nz);
    const Bytes first = deflated(zeros);
    file += block(first);
    for (int32_t z = 1; z < nz; ++z)
        file += block("");
    writeFile(path("empty.vrd"), file);
    const uint64_t bound = kRatio * file.size() + kAllowance;
    const uint64_t held = kRatio * file.size() / (zeros.size() + 4);
    const std::vector<std::vector<std::string>> outputs = {
        {"o.nii"}, {"o.nii.gz"}, {"o.nrrd"}, {"o.nrrd", "--encoding", "raw"}, {"o.raw"}, {"o.vrd"}, {"o.vrd", "--raw"}};
    for (const auto &out : outputs) {
        SCOPED_TRACE(out.back());
        std::vector<std::string> args{"empty.vrd"};
        args.insert(args.end(), out.begin(), out.end());
        const Result r = convert(args, bound + n * n + 1);
        EXPECT_EQ(1, r.status) << r.err;
        // A vrd output has an icon of nx x ny bytes besides.
        EXPECT_LE(uint64_t(std::filesystem::file_size(path(out[0]))), bound + (out[0] == "o.vrd" ? n * n : 0));
        if (out[0] == "o.vrd")
            continue; // an empty zlib block is fatal: vrd to vrd ends at the first one, as volmap does
        EXPECT_NE(std::string::npos, r.err.find("empty.vrd: its " + std::to_string(file.size()) +
                                                " bytes cannot give more than ")) << r.err;
        {
            EXPECT_NE(std::string::npos, r.err.find(" more than " + std::to_string(held) + " of its 2000 slices of "
                                                    "4194304 bytes; the run ends there")) << r.err;
        }
        EXPECT_NE(std::string::npos, r.err.find("empty.vrd: " + std::to_string(nz - 1) + " of 2000 slices damaged"))
            << r.err;
    }
    // A sound file as compressed as deflate can make it gives every slice.
    Bytes sound = prologue(n, n, 10);
    for (int z = 0; z < 10; ++z)
        sound += block(first);
    writeFile(path("sound.vrd"), sound);
    for (const char *out : {"s.nii", "s.vrd"}) {
        const Result sr = convert({"sound.vrd", out});
        EXPECT_EQ(0, sr.status) << sr.err;
    }
    EXPECT_EQ(352 + 10 * zeros.size(), std::filesystem::file_size(path("s.nii")));
    // Through a FIFO, with no size to look at: each block is let through
    // while the blocks so far can give its slice.
    ASSERT_EQ(0, mkfifo(path("pipe.vrd").c_str(), 0600));
    Result r = shell("cat empty.vrd > pipe.vrd & exec " + kConvert + " pipe.vrd p.nii.gz");
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("pipe.vrd: the " + std::to_string(first.size() + 4) +
                                            " bytes of its first 1 blocks cannot give more slices")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("pipe.vrd: 1999 of 2000 slices damaged")) << r.err;
    // A vrd output ends at the block held back, as at a fatal one, and says why.
    r = shell("cat empty.vrd > pipe.vrd & exec " + kConvert + " pipe.vrd p.vrd");
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("pipe.vrd: the " + std::to_string(first.size() + 4) +
                                            " bytes of its first 1 blocks cannot give more slices")) << r.err;
    // A header claiming 4 GB slices and a few bytes: refused before
    // anything is sized from it (the run has a 2 GiB address space).
    writeFile(path("claim.vrd"), prologue(32000, 32000, 1000) + Bytes("\xff\xff\xff\xf0", 4) + "x");
    expectRefusal(shell("cat claim.vrd > pipe.vrd & exec " + kConvert + " pipe.vrd p.nii"),
                  "pipe.vrd: holds no slice data", path("p.nii"));
    r = shell("cat sound.vrd > pipe.vrd & exec " + kConvert + " pipe.vrd p.nii");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(352 + 10 * zeros.size(), std::filesystem::file_size(path("p.nii")));
}

} // namespace
