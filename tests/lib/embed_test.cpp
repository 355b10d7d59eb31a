// The calls for embedding programs: reentrant header reading, the block
// index and reading blocks by their place, in-memory blocks, writing a
// header without exits, the output written beside and renamed, and the
// engine reading straight into the caller's memory.
#include "volumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <thread>

namespace {

using namespace testkit;

using Embed = TempDirTest;

std::vector<Bytes> floatSlices(int32_t nx, int32_t ny, int32_t nz)
{
    std::vector<Bytes> slices;
    for (int32_t z = 0; z < nz; ++z) {
        std::vector<float> v(size_t(nx) * ny);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = float(z * 1000 + int(i % 97));
        slices.emplace_back(reinterpret_cast<const char *>(v.data()), v.size() * 4);
    }
    return slices;
}

struct Opened {
    VrdHeader h{};
    VrdPrologue p{};
    FILE *file = nullptr;
    char message[200] = "";
    int32_t error = 0;
    explicit Opened(const std::string &path) { error = vrdOpenReadR(path.c_str(), &h, &p, &file, message, sizeof message); }
    ~Opened()
    {
        if (file != nullptr)
            fclose(file);
        vrdFreeHeader(&h);
    }
};

TEST_F(Embed, ReentrantReadGivesTheClassicHeaderAndMessagesWithoutGlobalState)
{
    VrdHeader h = header(5, 4, 3, vrdInt16, vrdCompNone, vrdBigEndian);
    vrdAddHdrComment(&h, "scan");
    writeFile(path("a.vrd"), volume(h, std::vector<Bytes>(3, Bytes(40, '\1'))));
    vrdFreeHeader(&h);
    vrdErrno = 0;
    Opened a(path("a.vrd"));
    ASSERT_EQ(0, a.error) << a.message;
    EXPECT_EQ(int64_t(ftello(a.file)), a.p.firstBlock);
    EXPECT_EQ(5, a.p.iconWidth);
    EXPECT_EQ(3, a.h.nz);
    ASSERT_EQ(1, a.h.commentCount);
    EXPECT_STREQ("scan", a.h.comments[0]);

    // A refusal: the number and message, vrdErrno untouched, nothing printed.
    writeFile(path("bad.vrd"), "P5\n2 3\n#!vrd 9.0\n");
    Opened bad(path("bad.vrd"));
    EXPECT_EQ(35, bad.error);
    EXPECT_STREQ(vrdErrorMessages[35], bad.message);
    Opened missing(path("none.vrd"));
    EXPECT_EQ(1, missing.error);
    EXPECT_EQ(ENOENT, missing.p.osError);
    EXPECT_STREQ("file open error: No such file or directory", missing.message);
    EXPECT_EQ(0, vrdErrno);

    // An icon the file does not hold is refused without reading it.
    writeFile(path("icon.vrd"), "P5\n100000 100000\n#!vrd 6.0\n#!endian vrdLittleEndian\n#!vdim 1 1 1\n"
                                "#!vtype vrdCubic\n#!px 1\n#!nbands 1\n#!dtype vrdUChar\n#!units vrdUmm\n#!last\n255\n");
    EXPECT_EQ(4, Opened(path("icon.vrd")).error);
}

TEST_F(Embed, HeadersAreReadAndWrittenWithADecimalPointInAnyLocale)
{
    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr && setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr)
        GTEST_SKIP() << "no locale with a decimal comma";
    VrdHeader h = header(2, 2, 1);
    h.px = h.py = h.pz = 0.5f;
    FILE *out = fopen(path("c.vrd").c_str(), "wb");
    char message[100];
    ASSERT_EQ(1, vrdWriteHeaderR(out, &h, 2, 2, message, sizeof message));
    WriteSliceDataN(out, Bytes(16, '\0').data(), 4, 4, vrdCompNone);
    fclose(out);
    setlocale(LC_NUMERIC, "C");
    EXPECT_NE(std::string::npos, readFile(path("c.vrd")).find("#!px\t\t0.500000\n"));
}

TEST_F(Embed, IndexFindsEveryBlockAndStopsAtTheFirstTheFileCannotHold)
{
    const VrdHeader h = header(8, 4, 5, vrdFloat, vrdCompZlib);
    const std::vector<Bytes> slices = floatSlices(8, 4, 5);
    const Bytes file = volume(h, slices);
    writeFile(path("v.vrd"), file);
    Opened v(path("v.vrd"));
    ASSERT_EQ(0, v.error);
    const std::vector<Bytes> blocks = blocksAfter(file, size_t(v.p.firstBlock));
    VrdBlockIndex index;
    char why[200] = "";
    ASSERT_EQ(1, vrdIndexBlocks(fileno(v.file), v.p.firstBlock, &v.h, &index, why, sizeof why)) << why;
    ASSERT_EQ(5, index.held);
    int64_t at = v.p.firstBlock;
    for (int32_t z = 0; z < 5; ++z) {
        EXPECT_EQ(at, index.offsets[z]);
        EXPECT_EQ(blocks[size_t(z)].size(), index.lengths[z]);
        at += 4 + int64_t(index.lengths[z]);
    }
    EXPECT_EQ(int64_t(file.size()), index.end);
    EXPECT_STREQ("", index.why);

    // Blocks read by their place from several threads at once, in any order.
    std::vector<std::thread> threads;
    std::vector<int> whole(5, 0);
    for (int32_t z = 4; z >= 0; --z)
        threads.emplace_back([&, z] {
            Bytes slice(slices[0].size(), '\0');
            VrdBlockResult r;
            whole[size_t(z)] = vrdReadIndexedBlock(fileno(v.file), &v.h, index.offsets[z], nullptr, &slice[0], &r) &&
                               slice == slices[size_t(z)];
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(std::vector<int>(5, 1), whole);
    vrdFreeBlockIndex(&index);

    // Cut inside the fourth block's payload, then inside its length field.
    const size_t fourth = size_t(v.p.firstBlock) + 12 + blocks[0].size() + blocks[1].size() + blocks[2].size();
    for (const auto &[cut, message] : {std::pair<size_t, std::string>{fourth + 6, "ReadSliceDataZ: read error (trying to read " +
                                                                                      std::to_string(blocks[3].size()) + " bytes of data)"},
                                       {fourth + 2, "ReadLong error (3)"}}) {
        writeFile(path("cut.vrd"), file.substr(0, cut));
        Opened c(path("cut.vrd"));
        ASSERT_EQ(1, vrdIndexBlocks(fileno(c.file), c.p.firstBlock, &c.h, &index, why, sizeof why));
        EXPECT_EQ(3, index.held);
        EXPECT_EQ(message, index.why);
        VrdBlockResult r;
        Bytes slice(slices[0].size(), '\0');
        EXPECT_EQ(0, vrdReadIndexedBlock(fileno(c.file), &c.h, int64_t(fourth), nullptr, &slice[0], &r));
        EXPECT_EQ(message + "\n", Bytes(r.message).substr(0, message.size() + 1));
        vrdFreeBlockIndex(&index);
    }
}

TEST_F(Embed, IndexOfAHugeAnnouncedVolumeCostsWhatTheFileHolds)
{
    // Two thousand million slices announced, two held.
    VrdHeader h = header(1, 1, 2);
    Bytes file = volume(h, {values<float>({1}), values<float>({2})});
    const size_t at = file.find("#!vdim");
    file.replace(at, file.find('\n', at) - at, "#!vdim  \t1 1 2000000000");
    writeFile(path("huge.vrd"), file);
    Opened v(path("huge.vrd"));
    ASSERT_EQ(0, v.error) << v.message;
    VrdBlockIndex index;
    char why[200];
    ASSERT_EQ(1, vrdIndexBlocks(fileno(v.file), v.p.firstBlock, &v.h, &index, why, sizeof why));
    EXPECT_EQ(2000000000, index.nz);
    EXPECT_EQ(2, index.held);
    EXPECT_STREQ("ReadLong error (1)", index.why);
    vrdFreeBlockIndex(&index);
}

TEST_F(Embed, EncodedBlocksAreTheBlocksTheStreamCallsWrite)
{
    const std::vector<Bytes> slices = floatSlices(16, 8, 1);
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        const Bytes written = writtenBy([&](FILE *f) { WriteSliceDataN(f, slices[0].data(), 4, 128, compression); });
        VrdCodec *codec = vrdCodecNew(vrdCodecDeflate, nullptr);
        Bytes out(size_t(vrdBlockBound(codec, 512, compression)), '\0');
        uint64_t size = 0;
        VrdBlockResult r;
        ASSERT_EQ(1, vrdEncodeBlock(codec, slices[0].data(), 512, compression, &out[0], out.size(), &size, &r));
        EXPECT_EQ(written, out.substr(0, size_t(size)));
        EXPECT_EQ(0, vrdEncodeBlock(codec, slices[0].data(), 512, compression, &out[0], 10, &size, &r));
        EXPECT_EQ(vrdBlockFatal, r.outcome);
        vrdCodecFree(codec);
    }
}

TEST_F(Embed, HeaderWriterRefusesWithoutExiting)
{
    VrdHeader h = header(2, 2, 1);
    char message[100];
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(nullptr, full);
    EXPECT_EQ(0, vrdWriteHeaderR(full, &h, 2, 2, message, sizeof message));
    EXPECT_STREQ("writeVrdHeader: File write error", message);
    fclose(full);
    h.vtype = 9;
    const Bytes none = writtenBy([&](FILE *f) { EXPECT_EQ(0, vrdWriteHeaderR(f, &h, 2, 2, message, sizeof message)); });
    EXPECT_STREQ("writeVrdHeader: Unknown grid type", message);
    EXPECT_EQ("", none);
    h.vtype = vrdCubic;
    EXPECT_EQ(0, vrdWriteHeaderR(stdout, &h, 0, 2, message, sizeof message));
    EXPECT_STREQ("writeVrdHeader: Empty icon image", message);
}

TEST_F(Embed, OutputIsWrittenBesideAndRenamedOntoTheTarget)
{
    writeFile(path("out.vrd"), "old");
    char target[4096], temporary[4096];
    int32_t how = 0;
    const int fd = vrdOpenOutputFile(path("out.vrd").c_str(), target, sizeof target, temporary, sizeof temporary, &how);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vrdOutputBeside, how);
    EXPECT_EQ(path("out.vrd"), target);
    EXPECT_EQ(path(".out.vrd.partial-"), Bytes(temporary).substr(0, path(".out.vrd.partial-").size()));
    ASSERT_EQ(3, write(fd, "new", 3));
    close(fd);
    EXPECT_EQ("old", readFile(path("out.vrd")));
    ASSERT_EQ(0, vrdCommitOutputFile(temporary, target));
    EXPECT_EQ("new", readFile(path("out.vrd")));
    const int null = vrdOpenOutputFile("/dev/null", target, sizeof target, temporary, sizeof temporary, &how);
    EXPECT_EQ(vrdOutputDirect, how);
    close(null);
    EXPECT_EQ(-1, vrdOpenOutputFile(path("no/such/dir/x.vrd").c_str(), target, sizeof target, temporary,
                                    sizeof temporary, &how));
    EXPECT_EQ(ENOENT, errno);
}

struct Into {
    char *base;
    size_t sliceBytes;
};

void *sliceInto(void *user, int32_t z)
{
    const Into *into = static_cast<const Into *>(user);
    return into->base + size_t(z) * into->sliceBytes;
}

TEST_F(Embed, EngineReadsChosenBlocksStraightIntoTheCallersMemory)
{
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        VrdHeader h = header(8, 4, 9, vrdInt32, compression, vrdBigEndian);
        const std::vector<Bytes> slices = floatSlices(8, 4, 9); // as int32 bits
        writeFile(path("v.vrd"), volume(h, slices));
        Opened v(path("v.vrd"));
        VrdBlockIndex index;
        char why[200];
        ASSERT_EQ(1, vrdIndexBlocks(fileno(v.file), v.p.firstBlock, &v.h, &index, why, sizeof why));
        for (int32_t threads : {1, 3}) {
            // Slices 1, 3, 5, 7.
            std::vector<int64_t> offsets{index.offsets[1], index.offsets[3], index.offsets[5], index.offsets[7]};
            VrdHeader part = v.h;
            part.nz = 4;
            Bytes out(4 * 128, '\0');
            Into into{&out[0], 128};
            VrdEngineInput input = {v.file, &part, nullptr};
            VrdEngineSetup setup{};
            setup.inputCount = 1, setup.inputs = &input, setup.user = &into;
            setup.threads = threads, setup.flags = vrdEngineQuiet | vrdEngineKeepGoing;
            setup.blockOffsets = offsets.data(), setup.sliceAt = sliceInto;
            VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
            ASSERT_NE(nullptr, engine) << why;
            EXPECT_EQ(4, vrdEngineRun(engine, nullptr));
            EXPECT_EQ(0, vrdEngineDamaged(engine, 0));
            vrdEngineFree(engine);
            Bytes expected;
            for (int32_t z : {1, 3, 5, 7})
                expected += slices[size_t(z)]; // in this machine's order again
            EXPECT_TRUE(expected == out) << threads << " threads";
        }
        vrdFreeBlockIndex(&index);
    }
}

} // namespace
