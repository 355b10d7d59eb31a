// The in-memory block decoder against the stream reads, the deflater against
// zlib's compress, and the slice engine's interface: callbacks, results that
// do not depend on the thread count, keep-going runs, sources, fallbacks.
#include "volumes.h"

#include "vrd/codec_internal.h"

#include <libdeflate.h>

#include <cmath>
#include <cstring>

#include <unistd.h>

using namespace testkit;

namespace {

struct Outcome {
    VrdBlockResult r{};
    Bytes slice;
};

bool same(const Outcome &a, const Outcome &b)
{
    return a.r.outcome == b.r.outcome && a.r.exitStatus == b.r.exitStatus && a.r.filled == b.r.filled &&
           a.r.length == b.r.length && std::string(a.r.message) == b.r.message &&
           a.slice.substr(0, a.r.filled) == b.slice.substr(0, b.r.filled);
}

} // namespace

// Every kind of block, decoded from memory with one reused codec and read
// from a stream: the same outcome, message and bytes; ReadSliceDataN prints
// that message.
TEST(Codec, DecodeAgreesWithTheStreamRead)
{
    Bytes slice(24, '\0');
    for (size_t i = 0; i < slice.size(); ++i)
        slice[i] = char(i * 7 + 1);
    const Bytes z = deflated(slice), corrupt = z.substr(0, 2) + Bytes(z.size() - 2, '\x55');
    const struct { const char *what; int32_t compression, endian, size; Bytes block; } cases[] = {
        {"raw", vrdCompNone, vrdBigEndian, 2, block(slice)},
        {"raw short", vrdCompNone, vrdLittleEndian, 2, block(slice.substr(0, 9))},
        {"raw long", vrdCompNone, vrdBigEndian, 4, block(slice + "tail")},
        {"raw cut", vrdCompNone, vrdBigEndian, 2, block(slice).substr(0, 15)},
        {"zlib", vrdCompZlib, vrdBigEndian, 8, block(z)},
        {"zlib inflates short", vrdCompZlib, vrdLittleEndian, 2, block(deflated(slice.substr(0, 10)))},
        {"zlib inflates long", vrdCompZlib, vrdLittleEndian, 2, block(deflated(slice + slice))},
        {"zlib corrupt", vrdCompZlib, vrdLittleEndian, 2, block(corrupt)},
        {"zlib cut", vrdCompZlib, vrdBigEndian, 2, block(z).substr(0, 12)},
        {"zlib empty", vrdCompZlib, vrdLittleEndian, 2, block("")},
        {"item size 3", vrdCompNone, vrdBigEndian, 3, block(slice)},
    };
    VrdCodec *codec = vrdCodecNew(vrdCodecInflate, nullptr);
    ASSERT_NE(codec, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t count = int32_t(slice.size()) / c.size;
        Outcome stream, memory;
        stream.slice = memory.slice = Bytes(slice.size(), 'G');
        FILE *f = streamOf(c.block);
        vrdReadBlock(f, nullptr, &stream.slice[0], c.endian, c.size, count, c.compression, &stream.r);
        fclose(f);
        const uint32_t length = uint32_t(uint8_t(c.block[0])) << 24 | uint32_t(uint8_t(c.block[1])) << 16 |
                                uint32_t(uint8_t(c.block[2])) << 8 | uint8_t(c.block[3]);
        const Bytes payload = c.block.substr(4);
        vrdDecodeBlock(codec, length, payload.data(), payload.size(), &memory.slice[0], c.endian, c.size, count,
                       c.compression, &memory.r);
        EXPECT_TRUE(same(stream, memory)) << stream.r.message << "/" << memory.r.message;
        if (stream.r.outcome != vrdBlockFatal) {
            Bytes buffer(slice.size(), 'G');
            f = streamOf(c.block);
            testing::internal::CaptureStderr();
            EXPECT_EQ(ReadSliceDataN(f, &buffer[0], c.endian, c.size, count, c.compression),
                      stream.r.outcome == vrdBlockWhole);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), stream.r.message);
            EXPECT_EQ(buffer, stream.slice); // the stream read leaves the rest as it was
            fclose(f);
        }
    }
    vrdCodecFree(codec);
}

// libdeflate's whole-payload inflation against zlib alone, on streams of
// both deflaters with every byte damaged in turn and cut at every length:
// the same outcome, message and inflated bytes.
TEST(Codec, FastInflateAgreesWithZlibOnDamagedStreams)
{
    VrdCodec *fast = vrdpriv::newCodec(vrdCodecInflate, nullptr, 0, true);
    VrdCodec *zlibOnly = vrdpriv::newCodec(vrdCodecInflate, nullptr, 0, false);
    libdeflate_compressor *c = libdeflate_alloc_compressor(9);
    ASSERT_TRUE(fast && zlibOnly && c);
    Bytes data(1200, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i % 251 < 120 ? i / 30 : (i * 2654435761u) >> 13);
    Bytes fromLibdeflate(libdeflate_zlib_compress_bound(c, data.size()), '\0');
    fromLibdeflate.resize(libdeflate_zlib_compress(c, data.data(), data.size(), &fromLibdeflate[0], fromLibdeflate.size()));
    libdeflate_free_compressor(c);
    int disagreements = 0, cases = 0;
    for (const Bytes &stream : {deflated(data), fromLibdeflate}) {
        std::vector<Bytes> payloads;
        for (size_t i = 0; i < stream.size(); ++i)
            for (char flip : {'\x01', '\x80', '\x5a'}) {
                Bytes damaged = stream;
                damaged[i] ^= flip;
                payloads.push_back(damaged);
            }
        for (size_t n = 0; n < stream.size(); ++n)
            payloads.push_back(stream.substr(0, n));
        for (const Bytes &payload : payloads)
            for (size_t slice : {data.size(), data.size() - 1, data.size() + 1}) {
                Bytes a(slice, 'G'), b(slice, 'G');
                VrdBlockResult ra, rb;
                vrdDecodeBlock(fast, uint32_t(payload.size()), payload.data(), payload.size(), &a[0], vrdLittleEndian, 1,
                               int32_t(slice), vrdCompZlib, &ra);
                vrdDecodeBlock(zlibOnly, uint32_t(payload.size()), payload.data(), payload.size(), &b[0], vrdLittleEndian,
                               1, int32_t(slice), vrdCompZlib, &rb);
                ++cases;
                disagreements += !(ra.outcome == rb.outcome && ra.filled == rb.filled && !strcmp(ra.message, rb.message) &&
                                   a.substr(0, ra.filled) == b.substr(0, rb.filled));
            }
    }
    EXPECT_EQ(disagreements, 0) << "of " << cases;
    vrdCodecFree(fast);
    vrdCodecFree(zlibOnly);
}

TEST(Codec, DeflateMatchesCompressAndSettingsParse)
{
    VrdCodec *codec = vrdCodecNew(vrdCodecDeflate, nullptr);
    ASSERT_NE(codec, nullptr);
    for (const Bytes &data : {Bytes(5000, 'a'), Bytes("mixed \x01\x02 bytes"), Bytes()}) {
        Bytes out(size_t(vrdDeflateBound(codec, uint32_t(data.size()))), '\0');
        uint32_t length = 0;
        VrdBlockResult r;
        ASSERT_EQ(vrdDeflateSlice(codec, data.data(), uint32_t(data.size()), &out[0], out.size(), &length, &r), 1);
        EXPECT_EQ(out.substr(0, length), deflated(data)); // reused state, compress's bytes
    }
    uint32_t length = 0;
    VrdBlockResult r;
    char tiny[4];
    EXPECT_EQ(vrdDeflateSlice(codec, "0123456789", 10, tiny, sizeof tiny, &length, &r), 0);
    EXPECT_TRUE(r.outcome == vrdBlockFatal && r.exitStatus == 1 && !strcmp(r.message, "WriteSliceDataZ: Compression Error\n"));
    vrdCodecFree(codec);

    const struct { const char *text; int32_t ok, method, level; } settings[] = {
        {"zlib", 1, vrdDeflateDefault, 0}, {"zlib:0", 1, vrdDeflateZlib, 0}, {"zlib:9", 1, vrdDeflateZlib, 9},
        {"libdeflate", 1, vrdDeflateLibdeflate, 6}, {"libdeflate:12", 1, vrdDeflateLibdeflate, 12},
        {"zlib:10", 0, 0, 0}, {"libdeflate:0", 0, 0, 0}, {"zlib:", 0, 0, 0}, {"zlib:1x", 0, 0, 0},
        {"zlib:-1", 0, 0, 0}, {"ZLIB", 0, 0, 0}, {"", 0, 0, 0}, {"zlibx", 0, 0, 0},
    };
    for (const auto &s : settings) {
        VrdDeflate d{-7, -7};
        EXPECT_EQ(vrdParseDeflate(s.text, &d), s.ok) << s.text;
        EXPECT_TRUE(s.ok ? d.method == s.method && d.level == s.level : d.method == -7) << s.text;
    }
}

namespace {

constexpr int32_t kNx = 9, kNy = 7, kNz = 11, kCount = kNx * kNy;

float valueA(int32_t z, int32_t i) { return float(z * 100 + i) * 0.5f - 40; }
int16_t valueB(int32_t z, int32_t i) { return int16_t((z * 31 + i * 7) % 200 - 100); }

// What the ordered callback saw of one slice.
struct Seen {
    int32_t z;
    double sum;
    int32_t outcomes[2];
    std::string messages;
    bool operator==(const Seen &o) const
    {
        return z == o.z && sum == o.sum && outcomes[0] == o.outcomes[0] && outcomes[1] == o.outcomes[1] &&
               messages == o.messages;
    }
};

struct Calls {
    std::vector<Seen> seen;
    int32_t inputs = 2;
    int32_t failFrom = 1000; // worker indexes from this one fail to set up
};

// output = a + b as doubles; the scratch holds the slice's sum.
void addSlices(void *user, int32_t, int32_t, const void *const *in, void *out, int32_t count, void *scratch)
{
    const Calls &run = *static_cast<const Calls *>(user);
    double sum = 0;
    for (int32_t i = 0; i < count; ++i) {
        double v = static_cast<const float *>(in[0])[i];
        if (run.inputs > 1)
            v += static_cast<const int16_t *>(in[1])[i];
        if (out != nullptr)
            static_cast<double *>(out)[i] = v;
        sum += v;
    }
    memcpy(scratch, &sum, sizeof sum);
}

void record(void *user, int32_t z, const void *const *, const VrdBlockResult *blocks, const void *, void *scratch)
{
    Calls &run = *static_cast<Calls *>(user);
    Seen s{z, 0, {blocks[0].outcome, run.inputs > 1 ? blocks[1].outcome : -1}, blocks[0].message};
    memcpy(&s.sum, scratch, sizeof s.sum);
    run.seen.push_back(s);
}

int32_t setUpWorker(void *user, int32_t worker, int32_t setUp)
{
    return !setUp || worker < static_cast<Calls *>(user)->failFrom;
}

void sourceB(void *, int32_t z, void *slice, VrdBlockResult *)
{
    for (int32_t i = 0; i < kCount; ++i)
        static_cast<int16_t *>(slice)[i] = valueB(z, i);
}

struct Files {
    Bytes a, b;
};

Files sound()
{
    std::vector<Bytes> a, b;
    for (int32_t z = 0; z < kNz; ++z) {
        std::vector<float> va(kCount);
        std::vector<int16_t> vb(kCount);
        for (int32_t i = 0; i < kCount; ++i)
            va[size_t(i)] = valueA(z, i), vb[size_t(i)] = valueB(z, i);
        a.emplace_back(reinterpret_cast<const char *>(va.data()), va.size() * 4);
        b.emplace_back(reinterpret_cast<const char *>(vb.data()), vb.size() * 2);
    }
    return {volume(header(kNx, kNy, kNz, vrdFloat, vrdCompZlib, vrdBigEndian), a),
            volume(header(kNx, kNy, kNz, vrdInt16, vrdCompNone, vrdLittleEndian), b)};
}

// One engine run over the files (b, or a source for it, when given);
// the output's bytes when outputCompression is set.
Bytes runEngine(Calls &run, const Files &files, int32_t threads, int32_t flags = 0, int32_t outputCompression = 0,
                bool bFromSource = false, int32_t *usedThreads = nullptr, int32_t *done = nullptr)
{
    FILE *fa = streamOf(files.a), *fb = streamOf(files.b);
    VrdHeader ha{}, hb{};
    EXPECT_TRUE(vrdReadPrologue(fa, &ha) && vrdReadPrologue(fb, &hb));
    const VrdEngineInput inputs[] = {{fa, &ha, nullptr}, {fb, &hb, bFromSource ? sourceB : nullptr}};
    VrdEngineSetup setup{};
    setup.inputCount = run.inputs;
    setup.inputs = inputs;
    setup.outputDtype = outputCompression != 0 ? vrdDouble : 0;
    setup.outputCompression = outputCompression;
    setup.scratchBytes = sizeof(double);
    setup.compute = addSlices;
    setup.ordered = record;
    setup.worker = setUpWorker;
    setup.user = &run;
    setup.threads = threads;
    setup.flags = flags;
    char why[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    EXPECT_NE(engine, nullptr) << why;
    if (engine == nullptr)
        return "";
    if (usedThreads != nullptr)
        *usedThreads = vrdEngineThreads(engine);
    FILE *out = outputCompression != 0 ? tmpfile() : nullptr;
    const int32_t n = vrdEngineRun(engine, out);
    if (done != nullptr)
        *done = n;
    vrdEngineFree(engine);
    fclose(fa);
    fclose(fb);
    Bytes bytes;
    if (out != nullptr) {
        rewind(out);
        bytes = restOf(out);
        fclose(out);
    }
    return bytes;
}

} // namespace

TEST(Engine, OutputAndOrderedResultsDoNotDependOnThreads)
{
    const Files files = sound();
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        Calls one;
        const Bytes expected = runEngine(one, files, 1, 0, compression);
        ASSERT_EQ(one.seen.size(), size_t(kNz));
        std::vector<Bytes> slices; // the output holds a + b
        for (int32_t z = 0; z < kNz; ++z) {
            std::vector<double> v(kCount);
            double sum = 0;
            for (int32_t i = 0; i < kCount; ++i)
                sum += v[size_t(i)] = double(valueA(z, i)) + valueB(z, i);
            EXPECT_TRUE(one.seen[size_t(z)] == (Seen{z, sum, {0, 0}, ""})) << z;
            slices.emplace_back(reinterpret_cast<const char *>(v.data()), v.size() * 8);
        }
        EXPECT_EQ(expected, volume(header(kNx, kNy, kNz, vrdDouble, compression), slices)
                                .substr(volume(header(kNx, kNy, kNz, vrdDouble, compression), {}).size()));
        for (int32_t threads : {2, 5}) {
            Calls many;
            int32_t used = 0;
            EXPECT_EQ(runEngine(many, files, threads, 0, compression, threads == 5, &used), expected);
            EXPECT_TRUE(many.seen == one.seen && used == threads) << threads;
        }
    }
}

TEST(Engine, KeepGoingSeesEveryBlockAndStopsWhereTheFileEnds)
{
    Files files = sound();
    const size_t prefix = volume(header(kNx, kNy, kNz, vrdFloat, vrdCompZlib, vrdBigEndian), {}).size();
    std::vector<Bytes> payloads = blocksAfter(files.a, prefix);
    payloads[2] = payloads[2].substr(0, 3) + Bytes(payloads[2].size() - 3, '\x77'); // corrupt
    payloads[4] = deflated(inflated(payloads[4], kCount * 4).substr(0, 100));           // inflates short
    files.a = files.a.substr(0, prefix);
    for (size_t z = 0; z < 7; ++z)
        files.a += block(payloads[z]);
    files.a += Bytes(2, '\0'); // the file ends inside the eighth length field
    std::vector<Seen> first;
    for (int32_t threads : {1, 3}) {
        Calls run;
        run.inputs = 1;
        int32_t done = 0;
        testing::internal::CaptureStderr();
        runEngine(run, files, threads, vrdEngineKeepGoing | vrdEngineQuiet, 0, false, nullptr, &done);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(done, 7);
        ASSERT_EQ(run.seen.size(), 8u);
        EXPECT_EQ(run.seen[2].outcomes[0], vrdBlockFatal);
        EXPECT_EQ(run.seen[2].messages, "ReadSliceDataZ: Uncompression Error (-3)\n");
        EXPECT_EQ(run.seen[4].messages, "ReadSliceDataZ: Incorrect data length (100, 252)\n");
        EXPECT_TRUE(run.seen[7].outcomes[0] == vrdBlockFatal && run.seen[7].messages == "ReadLong error (3)\n");
        EXPECT_TRUE(run.seen[5].outcomes[0] == vrdBlockWhole && run.seen[6].z == 6);
        if (threads == 1)
            first = run.seen;
        else
            EXPECT_TRUE(run.seen == first);
    }
}

TEST(Engine, FewerThreadsWhenWorkersCannotBeSetUpAndBadSetupsRefused)
{
    const Files files = sound();
    Calls plain;
    const Bytes expected = runEngine(plain, files, 1, 0, vrdCompZlib);
    for (int32_t failFrom : {0, 1, 3}) {
        Calls run;
        run.failFrom = failFrom;
        int32_t used = 0;
        if (failFrom == 0) { // not even the plain loop: refused
            FILE *fa = streamOf(files.a);
            VrdHeader h{};
            ASSERT_TRUE(vrdReadPrologue(fa, &h));
            const VrdEngineInput input{fa, &h, nullptr};
            VrdEngineSetup setup{};
            setup.inputCount = 1, setup.inputs = &input, setup.worker = setUpWorker, setup.user = &run;
            char why[200] = "";
            EXPECT_EQ(vrdEngineNew(&setup, why, sizeof why), nullptr);
            EXPECT_NE(std::string(why).find("cannot allocate"), std::string::npos) << why;
            fclose(fa);
            continue;
        }
        EXPECT_EQ(runEngine(run, files, 6, 0, vrdCompZlib, false, &used), expected);
        EXPECT_EQ(used, failFrom == 1 ? 1 : 2) << failFrom; // worker indexes: one per thread and the writer's
    }

    FILE *fa = streamOf(files.a);
    VrdHeader h{}, other{};
    ASSERT_TRUE(vrdReadPrologue(fa, &h));
    other = h, other.nz = 3;
    const VrdEngineInput two[] = {{fa, &h, nullptr}, {fa, &other, nullptr}};
    const struct { int32_t inputs, outputDtype, compression, threads; VrdDeflate deflate; const char *why; } bad[] = {
        {2, 0, 0, 0, {}, "differ in size"},
        {1, vrdFloat, 7, 0, {}, "output"},
        {1, 11, vrdCompNone, 0, {}, "output"},
        {1, 0, 0, 300, {}, "thread"},
        {1, vrdFloat, vrdCompZlib, 0, {vrdDeflateZlib, 10}, "deflate"},
        {1, vrdDouble, vrdCompNone, 0, {}, "input 0's type"}, // no compute: nothing makes doubles
    };
    for (const auto &b : bad) {
        VrdEngineSetup setup{};
        setup.inputCount = b.inputs, setup.inputs = two, setup.outputDtype = b.outputDtype;
        setup.outputCompression = b.compression, setup.threads = b.threads, setup.deflate = b.deflate;
        char why[200] = "";
        EXPECT_EQ(vrdEngineNew(&setup, why, sizeof why), nullptr);
        EXPECT_NE(std::string(why).find(b.why), std::string::npos) << why;
    }
    fclose(fa);
}

namespace {

// A slow source: about a quarter of a second per slice, and a message of its
// own on slice 6.
void slowSource(void *, int32_t z, void *slice, VrdBlockResult *result)
{
    memset(slice, 0, size_t(kCount) * 2);
    usleep(250 * 1000);
    if (z == 6) {
        result->outcome = vrdBlockDamaged;
        snprintf(result->message, sizeof result->message, "slice 6 is odd\n");
    }
}

std::string slowRun(int32_t flags)
{
    VrdHeader h = header(kNx, kNy, 8, vrdInt16, vrdCompNone);
    const VrdEngineInput input{nullptr, &h, slowSource};
    VrdEngineSetup setup{};
    setup.inputCount = 1, setup.inputs = &input, setup.threads = 1, setup.flags = flags;
    char why[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    EXPECT_NE(engine, nullptr) << why;
    testing::internal::CaptureStderr();
    if (engine != nullptr)
        vrdEngineRun(engine, nullptr);
    vrdEngineFree(engine);
    return testing::internal::GetCapturedStderr();
}

} // namespace

// A run of two seconds shows its progress line; every message starts on a
// cleared line, the line is cleared at the end, and without the flag stderr
// holds the messages alone.
TEST(Engine, ProgressLineNeverMixesWithMessages)
{
    EXPECT_EQ(slowRun(0), "slice 6 is odd\n");
    const std::string err = slowRun(vrdEngineProgress);
    EXPECT_NE(err.find("/8 slices"), std::string::npos) << err;
    const size_t message = err.find("slice 6 is odd\n");
    ASSERT_NE(message, std::string::npos);
    ASSERT_GT(message, 0u);
    EXPECT_EQ(err[message - 1], '\r');
    const size_t cleared = err.rfind('\r', message - 2);
    ASSERT_NE(cleared, std::string::npos);
    EXPECT_EQ(err.find_first_not_of(' ', cleared + 1), message - 1) << "blanks over the line before the message";
    EXPECT_EQ(err.back(), '\r');
    EXPECT_EQ(err.find_first_not_of(" \r", err.rfind("left") + 4), std::string::npos);
    std::string text; // what stays on the screen
    for (size_t i = 0; i < err.size(); ++i) {
        if (err[i] == '\r')
            text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
        else
            text += err[i];
    }
    EXPECT_EQ(text.substr(0, text.rfind('\n') + 1), "slice 6 is odd\n");
    EXPECT_EQ(text.find_first_not_of(' ', text.rfind('\n') + 1), std::string::npos);
}

TEST(Engine, ThinSlicesRunInThePlainLoopUnlessThreadsAreAskedFor)
{
    const Files files = sound(); // 9 x 7 voxels a slice
    const char *asked = getenv("VRD_THREADS");
    const std::string saved = asked != nullptr ? asked : "";
    unsetenv("VRD_THREADS");
    Calls byDefault, three;
    int32_t used = 0;
    const Bytes plain = runEngine(byDefault, files, 0, 0, vrdCompZlib, false, &used);
    EXPECT_EQ(used, 1);
    EXPECT_EQ(runEngine(three, files, 3, 0, vrdCompZlib, false, &used), plain);
    EXPECT_EQ(used, 3);
    if (asked != nullptr)
        setenv("VRD_THREADS", saved.c_str(), 1);
}

// Slices whose blocks give nothing repeat the slice before: with
// vrdEngineRepeats their output block, scratch and slices are taken over
// from it, and the run shows exactly what computing them again shows.
TEST(Engine, RepeatedSlicesReuseTheSliceBefore)
{
    Files files = sound();
    const size_t startA = volume(header(kNx, kNy, kNz, vrdFloat, vrdCompZlib, vrdBigEndian), {}).size();
    const size_t startB = volume(header(kNx, kNy, kNz, vrdInt16, vrdCompNone, vrdLittleEndian), {}).size();
    std::vector<Bytes> a = blocksAfter(files.a, startA), b = blocksAfter(files.b, startB);
    Files damaged{files.a.substr(0, startA), files.b.substr(0, startB)};
    for (int32_t z = 0; z < kNz; ++z) {
        const bool empty = z == 3 || z == 4 || z == 8; // two in a row, one alone
        damaged.a += block(empty ? deflated("") : a[size_t(z)]);
        damaged.b += block(empty ? "" : b[size_t(z)]);
    }
    // Big-endian values of a repeated slice are reversed again (as the
    // one-thread read reverses its whole buffer): no repeat there.
    Files little = damaged;
    little.a = volume(header(kNx, kNy, kNz, vrdFloat, vrdCompZlib, vrdLittleEndian), {}) + damaged.a.substr(startA);
    for (const Files &f : {damaged, little})
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        Calls computed;
        const Bytes expected = runEngine(computed, f, 1, 0, compression);
        for (int32_t threads : {1, 3}) {
            Calls reused;
            EXPECT_TRUE(runEngine(reused, f, threads, vrdEngineRepeats, compression) == expected) << threads;
            ASSERT_EQ(reused.seen.size(), computed.seen.size());
            for (size_t i = 0; i < reused.seen.size(); ++i) {
                EXPECT_EQ(reused.seen[i].sum, computed.seen[i].sum) << i;
                EXPECT_EQ(reused.seen[i].messages, computed.seen[i].messages) << i;
            }
        }
    }
}

namespace {

void copyInput(void *, int32_t, int32_t, const void *const *in, void *out, int32_t count, void *)
{
    memcpy(out, in[0], size_t(count) * 4);
}

// Input a (float) written with compute = copyInput, or with no compute at all.
Bytes copyRun(const Bytes &a, int32_t threads, int32_t flags, int32_t compression, bool copy)
{
    FILE *fa = streamOf(a);
    VrdHeader h{};
    EXPECT_TRUE(vrdReadPrologue(fa, &h));
    const VrdEngineInput input{fa, &h, nullptr};
    VrdEngineSetup setup{};
    setup.inputCount = 1, setup.inputs = &input, setup.threads = threads;
    setup.flags = flags | vrdEngineQuiet | vrdEngineKeepGoing;
    setup.outputDtype = vrdFloat, setup.outputCompression = compression;
    setup.compute = copy ? copyInput : nullptr;
    char why[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    EXPECT_NE(engine, nullptr) << why;
    FILE *out = tmpfile();
    if (engine != nullptr)
        vrdEngineRun(engine, out);
    vrdEngineFree(engine);
    fclose(fa);
    rewind(out);
    const Bytes bytes = restOf(out);
    fclose(out);
    return bytes;
}

} // namespace

// Without compute the output is input 0's slices themselves, put in this
// machine's order, damaged, short and repeated ones included: the same
// blocks as copying each slice into an output of its own.
TEST(Engine, WithoutComputeTheInputSlicesAreWritten)
{
    const Files files = sound();
    const size_t start = volume(header(kNx, kNy, kNz, vrdFloat, vrdCompZlib, vrdBigEndian), {}).size();
    std::vector<Bytes> a = blocksAfter(files.a, start);
    Bytes damaged = files.a.substr(0, start);
    for (int32_t z = 0; z < kNz; ++z)
        damaged += block(z == 3 || z == 4 ? deflated("") : z == 6 ? deflated(inflated(a[6], kCount * 4).substr(0, 40))
                                                                  : a[size_t(z)]);
    for (const Bytes &in : {files.a, damaged})
        for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
            const Bytes expected = copyRun(in, 1, 0, compression, true);
            EXPECT_GT(expected.size(), size_t(kNz * kCount));
            for (int32_t threads : {1, 3})
                for (int32_t flags : {0, int32_t(vrdEngineRepeats)})
                    EXPECT_TRUE(copyRun(in, threads, flags, compression, false) == expected)
                        << threads << " threads, flags " << flags << ", compression " << compression;
        }
}
