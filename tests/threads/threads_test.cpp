// The many-thread runs of volmap and volcmp against the one-thread run on
// the same inputs: output bytes, standard error and exit status must agree,
// for sound inputs of every kind and for damaged ones.
#include <vrd/vrd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::string;

constexpr int32_t kNx = 37, kNy = 23, kNz = 12;

std::string tempDir()
{
    char pattern[] = "/tmp/vrd-threads-XXXXXX";
    const char *dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "/tmp";
}

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// One voxel value of slice z at index i, as a double; covers negative
// values, zeros of both signs and, for floats, NaN and infinities.
double sample(int32_t z, int32_t i)
{
    const int32_t k = (z * 131 + i * 17) % 97;
    if (k == 3) return -0.0;
    return (k - 30) * 1.75;
}

template <class T>
void fillSlice(unsigned char *p, int32_t z, bool specials)
{
    for (int32_t i = 0; i < kNx * kNy; ++i) {
        T v = T(sample(z, i));
        if (specials && std::numeric_limits<T>::has_quiet_NaN) {
            if (i == 5) v = std::numeric_limits<T>::quiet_NaN();
            if (i == 6) v = std::numeric_limits<T>::infinity();
            if (i == 7) v = -std::numeric_limits<T>::infinity();
        }
        memcpy(p + size_t(i) * sizeof(T), &v, sizeof(T));
    }
}

// Writes a volume through the library; `offset` shifts the values so that
// two volumes differ.
void makeVolume(const std::string &path, int32_t dtype, int32_t compression, int32_t endian, int32_t offset = 0)
{
    VrdHeader h{};
    vrdClearHeader(&h);
    h.compression = compression;
    h.endian = endian;
    h.nx = kNx;
    h.ny = kNy;
    h.nz = kNz;
    h.vtype = vrdCubic;
    h.px = 1.0f;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = dtype;
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> icon(size_t(kNx) * kNy, 0);
    writeVrdHeader(f, &h, icon.data(), kNx, kNy);
    const int32_t size = vrdVoxelSize(dtype);
    std::vector<unsigned char> slice(size_t(size) * kNx * kNy);
    for (int32_t z = 0; z < kNz; ++z) {
        const int32_t zz = z + offset * (z % 3 == 1);
        switch (dtype) {
        case vrdUChar: fillSlice<uint8_t>(slice.data(), zz, false); break;
        case vrdInt16: fillSlice<int16_t>(slice.data(), zz, false); break;
        case vrdInt32: fillSlice<int32_t>(slice.data(), zz, false); break;
        case vrdDouble: fillSlice<double>(slice.data(), zz, true); break;
        default: fillSlice<float>(slice.data(), zz, true); break;
        }
        if (endian == vrdBigEndian)
            vrdSwapItems(slice.data(), size, kNx * kNy);
        WriteSliceDataN(f, slice.data(), size, kNx * kNy, compression);
    }
    fclose(f);
}

// Where each block of a volume file begins (its length field), and the end.
std::vector<size_t> blockStarts(const Bytes &file)
{
    const std::string end = "#!last\n255\n";
    size_t at = file.find(end) + end.size() + size_t(kNx) * kNy;
    std::vector<size_t> starts;
    while (at + 4 <= file.size()) {
        starts.push_back(at);
        const auto *p = reinterpret_cast<const unsigned char *>(file.data() + at);
        at += 4 + ((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]);
    }
    return starts;
}

Bytes lengthField(uint32_t n)
{
    const char b[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return Bytes(b, 4);
}

// Replaces block k by a block with the given payload.
Bytes replaceBlock(const Bytes &file, size_t k, const Bytes &payload)
{
    const std::vector<size_t> s = blockStarts(file);
    const size_t next = k + 1 < s.size() ? s[k + 1] : file.size();
    return file.substr(0, s[k]) + lengthField(uint32_t(payload.size())) + payload + file.substr(next);
}

Bytes payloadOf(const Bytes &file, size_t k)
{
    const std::vector<size_t> s = blockStarts(file);
    const size_t next = k + 1 < s.size() ? s[k + 1] : file.size();
    return file.substr(s[k] + 4, next - s[k] - 4);
}

Bytes deflate(const Bytes &data)
{
    uLongf length = compressBound(uLong(data.size()));
    Bytes out(length, '\0');
    compress(reinterpret_cast<Bytef *>(&out[0]), &length, reinterpret_cast<const Bytef *>(data.data()),
             uLong(data.size()));
    out.resize(length);
    return out;
}

Bytes inflate(const Bytes &data, size_t expected)
{
    Bytes out(expected, '\0');
    uLongf length = expected;
    uncompress(reinterpret_cast<Bytef *>(&out[0]), &length, reinterpret_cast<const Bytef *>(data.data()),
               uLong(data.size()));
    out.resize(length);
    return out;
}

struct Run {
    int status;
    Bytes err, output;
};

// Runs a program with VRD_THREADS set; the output file is args.back() or
// argument 2 of volmap, given by outIndex.
Run runWith(int threads, const std::vector<std::string> &args, size_t outIndex)
{
    const std::string errPath = args[outIndex] + ".err";
    unlink(args[outIndex].c_str());
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("VRD_THREADS", std::to_string(threads).c_str(), 1);
        if (freopen(errPath.c_str(), "wb", stderr) == nullptr)
            _exit(99);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Run r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    r.err = readFile(errPath);
    r.output = readFile(args[outIndex]);
    return r;
}

// The one-thread run and runs with 2, 3 and 5 threads agree in everything.
// Returns the one-thread run's status.
int expectSameRuns(const std::vector<std::string> &args, size_t outIndex, const std::string &what)
{
    const Run one = runWith(1, args, outIndex);
    for (int threads : {2, 3, 5}) {
        const Run many = runWith(threads, args, outIndex);
        EXPECT_EQ(one.status, many.status) << what << ", " << threads << " threads";
        EXPECT_EQ(one.err, many.err) << what << ", " << threads << " threads";
        EXPECT_TRUE(one.output == many.output)
            << what << ", " << threads << " threads: outputs of " << one.output.size() << " and "
            << many.output.size() << " bytes differ";
    }
    return one.status;
}

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = tempDir(); }
    void TearDown() override
    {
        if (!HasFailure()) {
            EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0);
        }
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Both programs, the input first and (for volcmp) second; every run must
    // end with `status` when it is given.
    void expectBothProgramsAgree(const std::string &input, const std::string &other, const std::string &what,
                                 int status = -1)
    {
        const int statuses[] = {
            expectSameRuns({VOLMAP, input, path("map.vrd"), "-20", "0", "10", "40"}, 2, "volmap " + what),
            expectSameRuns({VOLCMP, input, other, "-", "-", path("cmp.vrd")}, 5, "volcmp " + what),
            expectSameRuns({VOLCMP, other, input, "-", "-", path("cmp.vrd")}, 5, "volcmp (second input) " + what),
        };
        for (int s : statuses) {
            if (status >= 0) {
                EXPECT_EQ(s, status) << what;
            }
        }
    }

    std::string dir_;
};

TEST_F(ThreadsTest, SoundVolumesOfEveryKind)
{
    struct Kind {
        int32_t dtype, compression, endian;
    };
    const Kind kinds[] = {
        {vrdFloat, vrdCompZlib, vrdLittleEndian}, {vrdFloat, vrdCompZlib, vrdBigEndian},
        {vrdFloat, vrdCompNone, vrdLittleEndian}, {vrdFloat, vrdCompNone, vrdBigEndian},
        {vrdInt16, vrdCompZlib, vrdBigEndian},    {vrdUChar, vrdCompNone, vrdLittleEndian},
        {vrdInt32, vrdCompNone, vrdBigEndian},    {vrdDouble, vrdCompZlib, vrdLittleEndian},
    };
    makeVolume(path("other.vrd"), vrdFloat, vrdCompNone, vrdBigEndian, 5);
    for (const Kind &k : kinds) {
        const std::string what = "dtype " + std::to_string(k.dtype) + " compression " +
                                 std::to_string(k.compression) + " endian " + std::to_string(k.endian);
        makeVolume(path("in.vrd"), k.dtype, k.compression, k.endian);
        expectBothProgramsAgree(path("in.vrd"), path("other.vrd"), what, 0);
    }
}

TEST_F(ThreadsTest, DamagedZlibVolumes)
{
    makeVolume(path("sound.vrd"), vrdFloat, vrdCompZlib, vrdBigEndian);
    makeVolume(path("other.vrd"), vrdFloat, vrdCompZlib, vrdLittleEndian, 3);
    const Bytes sound = readFile(path("sound.vrd"));
    const std::vector<size_t> starts = blockStarts(sound);
    ASSERT_EQ(starts.size(), size_t(kNz));
    const size_t sliceBytes = size_t(kNx) * kNy * 4;

    Bytes corrupt = sound;
    for (size_t i = 0; i < 24; ++i)
        corrupt[starts[4] + 10 + i] ^= char(0x5a);
    const Bytes halfSlice = inflate(payloadOf(sound, 3), sliceBytes).substr(0, sliceBytes / 2 + 2);
    const Bytes longSlice = inflate(payloadOf(sound, 7), sliceBytes) + Bytes(8, 'x');

    const std::vector<std::pair<std::string, Bytes>> damaged = {
        {"short last block", sound.substr(0, sound.size() - 10)},
        {"truncated middle block", sound.substr(0, starts[6] + 4 + (starts[7] - starts[6]) / 2)},
        {"file ending inside a length field", sound.substr(0, starts[9] + 2)},
        {"corrupt zlib stream", corrupt},
        {"block that inflates short", replaceBlock(sound, 3, deflate(halfSlice))},
        {"short blocks in a row", replaceBlock(replaceBlock(sound, 2, deflate(halfSlice)), 3, deflate(halfSlice))},
        {"block that inflates long", replaceBlock(sound, 7, deflate(longSlice))},
        {"empty block", replaceBlock(sound, 5, Bytes())},
    };
    for (const auto &[what, bytes] : damaged) {
        writeFile(path("in.vrd"), bytes);
        expectBothProgramsAgree(path("in.vrd"), path("other.vrd"), what, 1);
    }
}

TEST_F(ThreadsTest, DamagedRawVolumes)
{
    makeVolume(path("sound.vrd"), vrdInt16, vrdCompNone, vrdBigEndian);
    makeVolume(path("other.vrd"), vrdFloat, vrdCompNone, vrdLittleEndian, 3);
    const Bytes sound = readFile(path("sound.vrd"));
    const std::vector<size_t> starts = blockStarts(sound);
    ASSERT_EQ(starts.size(), size_t(kNz));
    const Bytes slice = payloadOf(sound, 2);

    // An odd length leaves half an item of the slice before in the buffer.
    const Bytes shortAndLong =
        replaceBlock(replaceBlock(sound, 2, slice.substr(0, slice.size() - 7)), 6, slice + Bytes(13, 'y'));
    const std::vector<std::pair<std::string, Bytes>> damaged = {
        {"short last block", sound.substr(0, sound.size() - 9)},
        {"truncated middle block", sound.substr(0, starts[5] + 4 + 100)},
        {"blocks shorter and longer than the slice", shortAndLong},
        {"first block short", replaceBlock(sound, 0, slice.substr(0, 11))},
    };
    for (const auto &[what, bytes] : damaged) {
        writeFile(path("in.vrd"), bytes);
        expectBothProgramsAgree(path("in.vrd"), path("other.vrd"), what, 1);
    }
}

} // namespace
