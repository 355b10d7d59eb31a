// The many-thread runs of volmap and volcmp against the one-thread run on
// the same inputs: output bytes, standard error and exit status must agree,
// for sound inputs of several kinds and for damaged ones.
#include "volumes.h"

#include <cmath>
#include <cstdio>
#include <type_traits>

namespace {

using namespace testkit;

constexpr int32_t kNx = 37, kNy = 23, kNz = 12, kCount = kNx * kNy;

// Slice z: negative values where the type has them, zeros of both signs
// and, for floating types, NaN and infinities.
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

// A volume file as the part before its blocks and the blocks' payloads.
struct Volume {
    Bytes prefix;
    std::vector<Bytes> payloads;
    Bytes file() const
    {
        Bytes f = prefix;
        for (const Bytes &p : payloads)
            f += block(p);
        return f;
    }
    size_t start(size_t k) const // where block k begins
    {
        size_t at = prefix.size();
        for (size_t j = 0; j < k; ++j)
            at += 4 + payloads[j].size();
        return at;
    }
    Volume with(size_t k, const Bytes &payload) const
    {
        Volume v = *this;
        v.payloads[k] = payload;
        return v;
    }
};

// Written through the library; `offset` shifts some slices so that two volumes differ.
Volume volumeOf(int32_t dtype, int32_t compression, int32_t endian, int32_t offset = 0)
{
    std::vector<Bytes> slices;
    for (int32_t z = 0; z < kNz; ++z) {
        const int32_t s = z + offset * (z % 3 == 1);
        slices.push_back(dtype == vrdUChar ? sliceOf<uint8_t>(s) : dtype == vrdInt16 ? sliceOf<int16_t>(s)
                         : dtype == vrdInt32 ? sliceOf<int32_t>(s) : dtype == vrdDouble ? sliceOf<double>(s)
                                                                         : sliceOf<float>(s));
    }
    const VrdHeader h = header(kNx, kNy, kNz, dtype, compression, endian);
    Volume v{volume(h, {}), {}};
    v.payloads = blocksAfter(volume(h, slices), v.prefix.size());
    return v;
}

class Threads : public TempDirTest {
protected:
    // The one-thread run and runs with 2, 3 and 5 threads agree in
    // everything; the one-thread run ends with status.
    void expectSameRuns(const std::vector<std::string> &args, const std::string &out, int status,
                        const std::string &what)
    {
        Result one{};
        Bytes first;
        for (const char *threads : {"1", "2", "3", "5"}) {
            std::remove(path(out).c_str());
            const Result r = run(dir, args, nullptr, threads);
            const Bytes output = readFile(path(out));
            if (threads[0] == '1') {
                one = r, first = output;
                EXPECT_EQ(status, r.status) << what << "\n" << r.err;
                continue;
            }
            EXPECT_EQ(one.status, r.status) << what << ", " << threads << " threads";
            EXPECT_EQ(one.err, r.err) << what << ", " << threads << " threads";
            EXPECT_TRUE(sameBytes(first, output)) << what << ", " << threads << " threads";
        }
    }

    // volmap on the input, volcmp with it as the first and as the second input.
    void expectBothProgramsAgree(const Volume &other, const Bytes &input, const std::string &what, int status)
    {
        writeFile(path("other.vrd"), other.file());
        writeFile(path("in.vrd"), input);
        expectSameRuns({VOLMAP, "in.vrd", "map.vrd", "-20", "0", "10", "40"}, "map.vrd", status, "volmap " + what);
        expectSameRuns({VOLCMP, "in.vrd", "other.vrd", "-", "-", "cmp.vrd"}, "cmp.vrd", status, "volcmp " + what);
        expectSameRuns({VOLCMP, "other.vrd", "in.vrd", "-", "-", "cmp.vrd"}, "cmp.vrd", status,
                       "volcmp, second input " + what);
    }
};

TEST_F(Threads, SoundVolumesOfSeveralKinds)
{
    const struct { int32_t dtype, compression, endian; } kinds[] = {
        {vrdFloat, vrdCompZlib, vrdLittleEndian}, {vrdFloat, vrdCompZlib, vrdBigEndian},
        {vrdFloat, vrdCompNone, vrdLittleEndian}, {vrdFloat, vrdCompNone, vrdBigEndian},
        {vrdInt16, vrdCompZlib, vrdBigEndian},    {vrdUChar, vrdCompNone, vrdLittleEndian},
        {vrdInt32, vrdCompNone, vrdBigEndian},    {vrdDouble, vrdCompZlib, vrdLittleEndian},
    };
    const Volume other = volumeOf(vrdFloat, vrdCompNone, vrdBigEndian, 5);
    for (const auto &k : kinds)
        expectBothProgramsAgree(other, volumeOf(k.dtype, k.compression, k.endian).file(),
                                "dtype " + std::to_string(k.dtype) + " compression " + std::to_string(k.compression) +
                                    " endian " + std::to_string(k.endian), 0);
}

TEST_F(Threads, DamagedZlibVolumes)
{
    const Volume sound = volumeOf(vrdFloat, vrdCompZlib, vrdBigEndian);
    const Bytes file = sound.file();
    const size_t sliceBytes = size_t(kCount) * 4;
    Volume corrupt = sound;
    for (size_t i = 6; i < 30; ++i)
        corrupt.payloads[4][i] ^= char(0x5a);
    const Bytes half = deflated(inflated(sound.payloads[3], sliceBytes).substr(0, sliceBytes / 2 + 2));
    const Bytes longer = deflated(inflated(sound.payloads[7], sliceBytes) + Bytes(8, 'x'));
    const std::pair<std::string, Bytes> damaged[] = {
        {"short last block", file.substr(0, file.size() - 10)},
        {"truncated middle block", file.substr(0, sound.start(6) + 4 + sound.payloads[6].size() / 2)},
        {"file ending inside a length field", file.substr(0, sound.start(9) + 2)},
        {"corrupt zlib stream", corrupt.file()},
        {"block that inflates short", sound.with(3, half).file()},
        {"short blocks in a row", sound.with(2, half).with(3, half).file()},
        {"block that inflates long", sound.with(7, longer).file()},
        {"empty block", sound.with(5, "").file()},
    };
    const Volume other = volumeOf(vrdFloat, vrdCompZlib, vrdLittleEndian, 3);
    for (const auto &[what, bytes] : damaged)
        expectBothProgramsAgree(other, bytes, what, 1);
}

TEST_F(Threads, DamagedRawVolumes)
{
    const Volume sound = volumeOf(vrdInt16, vrdCompNone, vrdBigEndian);
    const Bytes file = sound.file(), slice = sound.payloads[2];
    // An odd length leaves half an item of the slice before in the buffer.
    const std::pair<std::string, Bytes> damaged[] = {
        {"short last block", file.substr(0, file.size() - 9)},
        {"truncated middle block", file.substr(0, sound.start(5) + 4 + 100)},
        {"blocks shorter and longer than the slice",
         sound.with(2, slice.substr(0, slice.size() - 7)).with(6, slice + Bytes(13, 'y')).file()},
        {"first block short", sound.with(0, slice.substr(0, 11)).file()},
    };
    const Volume other = volumeOf(vrdFloat, vrdCompNone, vrdLittleEndian, 3);
    for (const auto &[what, bytes] : damaged)
        expectBothProgramsAgree(other, bytes, what, 1);
}

} // namespace
