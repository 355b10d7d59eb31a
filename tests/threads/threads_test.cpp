// The many-thread runs of volmap and volcmp against the one-thread run on the
// same inputs: output bytes, standard error and exit status must agree, for
// sound inputs of several kinds and for damaged ones.
#include "volumes.h"
#include "window.h"

#include <cmath>
#include <cstdio>
#include <type_traits>

namespace {

using namespace testkit;

constexpr int32_t kNx = 37, kNy = 23, kNz = 12, kCount = kNx * kNy;

// Slice z of a volume of type T: negative values where T has them, zeros of
// both signs and, for floating types, NaN and infinities.
template <class T>
Bytes sliceOf(int32_t z)
{
    std::vector<T> v(kCount);
    for (int32_t i = 0; i < kCount; ++i) {
        const int32_t k = (z * 131 + i * 17) % 97;
        v[size_t(i)] = k == 3 ? T(-0.0) : T((std::is_signed_v<T> ? k - 30 : k) * 1.75);
    }
    if constexpr (std::is_floating_point_v<T>)
        v[5] = NAN, v[6] = INFINITY, v[7] = -INFINITY;
    return Bytes(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}

// A volume written through the library as the part before its blocks and
// the blocks' payloads; `offset` shifts some slices so that two volumes differ.
struct Volume {
    Bytes prefix;
    std::vector<Bytes> payloads;
    Volume(int32_t dtype, int32_t compression, int32_t endian, int32_t offset = 0)
    {
        std::vector<Bytes> slices;
        for (int32_t z = 0; z < kNz; ++z) {
            const int32_t s = z + offset * (z % 3 == 1);
            slices.push_back(dtype == vrdUChar ? sliceOf<uint8_t>(s) : dtype == vrdInt16 ? sliceOf<int16_t>(s)
                             : dtype == vrdDouble ? sliceOf<double>(s) : sliceOf<float>(s));
        }
        const VrdHeader h = header(kNx, kNy, kNz, dtype, compression, endian);
        prefix = volume(h, {});
        payloads = blocksAfter(volume(h, slices), prefix.size());
    }
    Volume with(size_t k, const Bytes &payload) const { Volume v = *this; v.payloads[k] = payload; return v; }
    Bytes file(size_t k = SIZE_MAX, size_t cut = 0) const // cut `cut` bytes into block k when k is given
    {
        Bytes f = prefix;
        for (size_t j = 0; j < payloads.size() && j <= k; ++j)
            f += j == k ? block(payloads[j]).substr(0, cut) : block(payloads[j]);
        return f;
    }
};

// What volmap writes for a file, made with the library's stream reads
// (zlib alone, as the format defines the blocks) into one reused buffer:
// the output, the block messages, and whether a fatal block ended the run.
struct Reference {
    Bytes output;
    std::string messages;
    bool fatal = false;
};

Reference windowReference(const Bytes &file, const volmap::Window &w)
{
    FILE *f = streamOf(file);
    VrdHeader h{};
    EXPECT_TRUE(vrdReadPrologue(f, &h));
    VrdHeader out = h;
    out.dtype = vrdFloat, out.endian = vrdLittleEndian;
    Reference ref;
    ref.output = volume(out, {});
    const int32_t size = vrdHeaderVoxelSize(&h);
    std::vector<unsigned char> slice(size_t(size) * kCount);
    std::vector<float> windowed(kCount);
    Bytes icon;
    for (int32_t z = 0; z < h.nz && !ref.fatal; ++z) {
        VrdBlockResult r;
        vrdReadBlock(f, nullptr, slice.data(), h.endian, size, kCount, h.compression, &r);
        ref.messages += r.message;
        ref.fatal = r.outcome == vrdBlockFatal;
        if (ref.fatal)
            break;
        volmap::windowSlice(slice.data(), h.dtype, windowed.data(), kCount, w);
        if (z == h.nz / 2)
            icon = previewOf(windowed.data(), windowed.size());
        const Bytes bytes(reinterpret_cast<const char *>(windowed.data()), windowed.size() * 4);
        ref.output += block(h.compression == vrdCompZlib ? deflated(bytes) : bytes);
    }
    if (!ref.fatal) // a run that ends part-way leaves the blank icon
        ref.output = withIcon(ref.output, out, icon);
    fclose(f);
    return ref;
}

using Threads = TempDirTest;

// volmap on each input, volcmp with it as the first and as the second input: the one-thread run
// ends with the status given, runs with 2 and 5 threads agree with it in everything, and
// volmap's output and messages are those of the library's stream reads.
TEST_F(Threads, SameRunsOnSoundAndDamagedVolumes)
{
    const Volume zlib(vrdFloat, vrdCompZlib, vrdBigEndian), raw(vrdInt16, vrdCompNone, vrdBigEndian);
    const size_t sliceBytes = size_t(kCount) * 4;
    Volume corrupt = zlib;
    for (size_t i = 6; i < 30; ++i)
        corrupt.payloads[4][i] ^= char(0x5a);
    const Bytes half = deflated(inflated(zlib.payloads[3], sliceBytes).substr(0, sliceBytes / 2 + 2));
    const Bytes longer = deflated(inflated(zlib.payloads[7], sliceBytes) + "x"), slice = raw.payloads[2];
    const struct { const char *what; Bytes file; int status; } inputs[] = {
        {"zlib", zlib.file(), 0}, {"raw", raw.file(), 0},
        {"float raw", Volume(vrdFloat, vrdCompNone, vrdLittleEndian).file(), 0},
        {"int16 zlib", Volume(vrdInt16, vrdCompZlib, vrdLittleEndian).file(), 0},
        {"uchar", Volume(vrdUChar, vrdCompNone, vrdBigEndian).file(), 0},
        {"double", Volume(vrdDouble, vrdCompZlib, vrdBigEndian).file(), 0},
        // Blocks that inflate short keep the rest of the slice before; a truncated block ends the file.
        {"zlib: short blocks in a row, truncated block", zlib.with(2, half).with(3, half).file(6, 4 + zlib.payloads[6].size() / 2), 1},
        {"zlib: file ending inside a length field", zlib.file(9, 2), 1},
        {"zlib: corrupt stream", corrupt.file(), 1},
        {"zlib: block that inflates long", zlib.with(7, longer).file(), 1},
        // An odd length leaves half an item of the slice before in the buffer.
        {"raw: short, shorter and longer blocks, truncated block",
         raw.with(1, slice.substr(0, 11)).with(2, slice.substr(0, slice.size() - 7)).with(6, slice + "more").file(9, 104), 1},
    };
    writeFile(path("other.vrd"), Volume(vrdFloat, vrdCompZlib, vrdLittleEndian, 3).file());
    for (const auto &in : inputs) {
        writeFile(path("in.vrd"), in.file);
        for (const std::vector<std::string> &args : {std::vector<std::string>{VOLMAP, "in.vrd", "out.vrd", "-20", "0", "10", "40"},
                                                     {VOLCMP, "in.vrd", "other.vrd", "-", "-", "out.vrd"},
                                                     {VOLCMP, "other.vrd", "in.vrd", "-", "-", "out.vrd"}}) {
            SCOPED_TRACE(std::string(in.what) + ", " + args[0] + " " + args[1] + " " + args[2]);
            std::remove(path("out.vrd").c_str());
            const Result one = run(dir, args, nullptr, "1");
            const Bytes first = readFile(path("out.vrd"));
            EXPECT_EQ(in.status, one.status) << one.err;
            if (args[0] == VOLMAP) {
                const Reference ref = windowReference(in.file, {-20, 0, 10, 40});
                EXPECT_TRUE(sameBytes(ref.output, first));
                EXPECT_EQ(one.err.substr(0, ref.messages.size()), ref.messages);
                EXPECT_TRUE(!ref.fatal || one.err == ref.messages) << one.err;
            }
            for (const char *threads : {"2", "5"}) {
                std::remove(path("out.vrd").c_str());
                const Result r = run(dir, args, nullptr, threads);
                EXPECT_TRUE(one.status == r.status && one.err == r.err) << threads << " threads: " << r.err;
                EXPECT_TRUE(sameBytes(first, readFile(path("out.vrd")))) << threads << " threads";
            }
        }
    }
}

// Every deflate setting gives the same bytes for every thread count, and
// blocks that zlib's stream reads take back to the values of the default.
TEST_F(Threads, EveryDeflateSettingIsTheSameForAnyThreadCount)
{
    writeFile(path("in.vrd"), Volume(vrdFloat, vrdCompZlib, vrdLittleEndian).file());
    const std::vector<std::string> args{VOLMAP, "in.vrd", "out.vrd", "-20", "0", "10", "40"};
    ASSERT_EQ(run(dir, args, nullptr, "2").status, 0);
    const Bytes standard = readFile(path("out.vrd"));
    const auto slicesOf = [](const Bytes &file) {
        FILE *f = streamOf(file);
        VrdHeader h{};
        EXPECT_TRUE(vrdReadPrologue(f, &h));
        Bytes all;
        for (int32_t z = 0; z < h.nz; ++z) {
            Bytes slice(size_t(kCount) * 4, '\0');
            EXPECT_EQ(ReadSliceDataN(f, &slice[0], h.endian, 4, kCount, h.compression), 1);
            all += slice;
        }
        fclose(f);
        return all;
    };
    for (const char *setting : {"zlib", "zlib:1", "zlib:9", "libdeflate", "libdeflate:1", "libdeflate:12"}) {
        SCOPED_TRACE(setting);
        setenv("VRD_DEFLATE", setting, 1);
        Bytes first;
        for (const char *threads : {"1", "2", "5"}) {
            std::remove(path("out.vrd").c_str());
            const Result r = run(dir, args, nullptr, threads);
            EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
            const Bytes out = readFile(path("out.vrd"));
            if (first.empty())
                first = out;
            EXPECT_TRUE(sameBytes(first, out)) << threads << " threads";
        }
        EXPECT_EQ(std::string(setting) == "zlib", first == standard);
        EXPECT_TRUE(slicesOf(first) == slicesOf(standard));
    }
    unsetenv("VRD_DEFLATE");
}

} // namespace
