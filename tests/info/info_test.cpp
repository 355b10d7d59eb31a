// vrdinfo run on volumes written here: the header in words and as JSON, the
// verdicts and exit statuses, exact statistics, the same output for every
// thread count, and JSON that Python reads with the documented keys.
#include "describe.h"
#include "volumes.h"

#include <cmath>
#include <cstdio>

namespace {

using namespace testkit;

const std::string kInfo = VRDINFO_PROGRAM;

using Info = TempDirTest;

Bytes floats(std::initializer_list<float> v) { return values<float>(v); }

// A float slice of nx * ny values with some variety.
Bytes ramp(int32_t count, int32_t z)
{
    std::vector<float> v(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        v[size_t(i)] = float((i * 37 + z * 11) % 101) - 50.0f;
    return Bytes(reinterpret_cast<const char *>(v.data()), v.size() * 4);
}

std::vector<Bytes> ramps(int32_t count, int32_t nz)
{
    std::vector<Bytes> slices;
    for (int32_t z = 0; z < nz; ++z)
        slices.push_back(ramp(count, z));
    return slices;
}

// The last line of a report: the verdict.
std::string verdict(const std::string &out)
{
    const size_t end = out.find_last_not_of('\n');
    const size_t start = out.rfind('\n', end);
    return out.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
}

// What Python's json module makes of a report: script runs with d, the
// object of each line in turn, and prints its results.
std::string python(const std::string &dir, const std::string &json, const std::string &script)
{
    writeFile(dir + "/report.json", json);
    writeFile(dir + "/check.py", "import json,sys\nfor line in open(sys.argv[1]):\n    d = json.loads(line)\n" + script);
    const Result r = run(dir, {"/usr/bin/python3", "check.py", "report.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST_F(Info, RegularHeaderInWords)
{
    VrdHeader h = header(3, 2, 2, vrdInt16, vrdCompNone, vrdBigEndian);
    h.vtype = vrdRegular, h.px = 0.5f, h.py = 0.25f, h.pz = 2.0f, h.units = vrdUum;
    h.hasBgThreshold = 1, h.bgThresholdI = -7;
    vrdAddHdrComment(&h, "scanner \"A\"\\B");
    vrdAddHdrComment(&h, "caf\xC3\xA9 \xC3\xFF end");
    char *tf[5] = {strdup("0 1"), strdup("1 0"), strdup("0 0"), strdup("1 1"), strdup("0.5")};
    h.tfnum = 1, h.tfdata = tf;
    const std::vector<Bytes> slices{values<int16_t>({1, 2, 3, 4, 5, 6}), values<int16_t>({7, 8, 9, 10, 11, 12})};
    writeFile(path("a.vrd"), volume(h, slices));

    const Result text = run(dir, {kInfo, "a.vrd"});
    EXPECT_EQ(text.status, 0) << text.err;
    for (const char *line : {"  byte order           big-endian\n", "  compression          raw blocks\n",
                             "  dimensions           3 x 2 x 2 voxels (x, y, z), 12 in all\n",
                             "  grid                 regular (one spacing per axis)\n",
                             "  spacing              x 0.5 \xC2\xB5m, y 0.25 \xC2\xB5m, z 2 \xC2\xB5m\n",
                             "  data type            signed 16-bit integers (int16), 2 bytes per value\n",
                             "  background threshold -7\n", "  comments             2\n", "    scanner \"A\"\\B\n",
                             "    caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD end\n", "    1: d 0 1, r 1 0, g 0 0, b 1 1, a 0.5\n",
                             "  icon                 3 x 2 grey (6 bytes)\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;

    const Result json = run(dir, {kInfo, "--json", "a.vrd"});
    EXPECT_EQ(python(dir, json.out,
                     "    print(d['byte_order'], d['compression'], d['grid'], d['units'], d['spacing'], d['data_type'],"
                     " d['background_threshold'], d['comments'], d['transfer_functions'], d['icon'])\n"),
              "big-endian none regular um {'x': 0.5, 'y': 0.25, 'z': 2} int16 -7 ['scanner \"A\"\\\\B', 'caf\xC3\xA9 "
              "\xEF\xBF\xBD\xEF\xBF\xBD end'] [{'d': '0 1', 'r': '1 0', 'g': '0 0', 'b': '1 1', 'a': '0.5'}] "
              "{'width': 3, 'height': 2, 'channels': 1, 'bytes': 6}\n");
}

TEST_F(Info, RectilinearSpacingIsSummarised)
{
    VrdHeader h = header(4, 3, 2);
    h.vtype = vrdRectXYZ;
    float rx[] = {1, 0.5f, 3, 2}, ry[] = {0.1f, 0.2f, 0.3f}, rz[] = {0, 7};
    h.rx = rx, h.ry = ry, h.rz = rz;
    writeFile(path("r.vrd"), volume(h, ramps(12, 2)));
    const Result text = run(dir, {kInfo, "r.vrd"});
    EXPECT_EQ(text.status, 0) << text.err;
    for (const char *line : {"  grid                 rectilinear (a spacing per column, row and slice)\n",
                             "  spacing x            4 values: first 1, last 2, min 0.5, max 3 mm\n",
                             "  spacing y            3 values: first 0.1, last 0.3, min 0.1, max 0.3 mm\n",
                             "  spacing z            2 values: first 0, last 7, min 0, max 7 mm\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;
    EXPECT_EQ(text.out.find("  spacing   "), std::string::npos) << "no single spacing on a rectilinear grid";
    const Result json = run(dir, {kInfo, "--json", "r.vrd"});
    EXPECT_EQ(python(dir, json.out, "    print(d['grid'], d['spacing'])\n"),
              "rectilinear {'x': {'count': 4, 'first': 1, 'last': 2, 'min': 0.5, 'max': 3}, 'y': {'count': 3, 'first': "
              "0.1, 'last': 0.3, 'min': 0.1, 'max': 0.3}, 'z': {'count': 2, 'first': 0, 'last': 7, 'min': 0, 'max': 7}}\n");
}

TEST_F(Info, VerdictsAndExitStatuses)
{
    constexpr int32_t nx = 8, ny = 4, nz = 4;
    const VrdHeader z = header(nx, ny, nz), raw = header(nx, ny, nz, vrdFloat, vrdCompNone);
    const Bytes sound = volume(z, ramps(nx * ny, nz)), prefix = volume(z, {});
    const std::vector<Bytes> payloads = blocksAfter(sound, prefix.size());
    const auto withBlocks = [&](const std::vector<Bytes> &blocks) {
        Bytes file = prefix;
        for (const Bytes &b : blocks)
            file += block(b);
        return file;
    };
    std::vector<Bytes> corrupt = payloads;
    corrupt[1] = corrupt[1].substr(0, 2) + Bytes(corrupt[1].size() - 2, '\x55');
    const Bytes rawSound = volume(raw, ramps(nx * ny, nz)), rawPrefix = volume(raw, {});
    std::vector<Bytes> rawBlocks = blocksAfter(rawSound, rawPrefix.size());
    Bytes longer = rawPrefix; // block 2 announces 5 bytes more than its slice and has them
    for (size_t k = 0; k < rawBlocks.size(); ++k)
        longer += k == 2 ? block(rawBlocks[k] + "12345") : block(rawBlocks[k]);
    const size_t cutInside = prefix.size() + 4 + payloads[0].size() + 4 + payloads[1].size() + 4 + 3;

    const struct { const char *name; Bytes file; int status; std::string verdict; } cases[] = {
        {"sound", sound, 0, "sound"},
        {"trailing", sound + "xyz", 0, "sound, 3 bytes after the last block"},
        {"raw", rawSound, 0, "sound"},
        {"corrupt", withBlocks(corrupt), 1, "damaged: 1 of 4 slices not read whole"},
        {"corrupt-trailing", withBlocks(corrupt) + "x", 1, "damaged: 1 of 4 slices not read whole, 1 bytes after the last block"},
        {"inflates-short", withBlocks({payloads[0], payloads[1], deflated(ramp(nx * ny, 2).substr(0, 40)), payloads[3]}), 1,
         "damaged: 1 of 4 slices not read whole"},
        {"cut-inside", sound.substr(0, cutInside), 1, "damaged: 2 of 4 slices not read whole, the file ends at slice 2"},
        {"cut-between", withBlocks({payloads[0], payloads[1]}), 1,
         "damaged: 2 of 4 slices not read whole, the file ends at slice 2"},
        {"cut-length", withBlocks({payloads[0]}) + Bytes(2, '\0'), 1,
         "damaged: 3 of 4 slices not read whole, the file ends at slice 1"},
        {"no-slice-data", prefix, 1, "damaged: 4 of 4 slices not read whole, the file ends at slice 0"},
        {"wrong-length", longer, 1, "damaged: 1 of 4 slices not read whole"},
        {"garbage", "garbage\n", 255, "refused: PNM header error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(std::string(c.name) + ".vrd"), c.file);
        const Result r = run(dir, {kInfo, std::string(c.name) + ".vrd"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(verdict(r.out), std::string(c.name) + ".vrd: " + c.verdict);
        EXPECT_EQ(r.err, c.status == 255 ? "vrdinfo: garbage.vrd: PNM header error\n" : "");
    }

    // Every file is reported, in order; the worst verdict decides the status.
    const Result two = run(dir, {kInfo, "sound.vrd", "corrupt.vrd", "trailing.vrd"});
    EXPECT_EQ(two.status, 1);
    const Result three = run(dir, {kInfo, "corrupt.vrd", "missing.vrd", "garbage.vrd", "sound.vrd"});
    EXPECT_EQ(three.status, 255);
    EXPECT_EQ(three.err, "vrdinfo: missing.vrd: file open error: No such file or directory\n"
                         "vrdinfo: garbage.vrd: PNM header error\n");
    std::string verdicts;
    for (size_t at = 0; (at = three.out.find(".vrd: ", at)) != std::string::npos; at = three.out.find('\n', at))
        verdicts += three.out.substr(three.out.rfind('\n', at) + 1, three.out.find('\n', at) - three.out.rfind('\n', at));
    EXPECT_EQ(verdicts, "corrupt.vrd: damaged: 1 of 4 slices not read whole\n"
                        "missing.vrd: refused: file open error: No such file or directory\n"
                        "garbage.vrd: refused: PNM header error\n"
                        "sound.vrd: sound\n");

    // A pipe is read as it comes; its trailing bytes are counted too.
    const Result piped = run(dir, {"/bin/sh", "-c", "cat trailing.vrd | " + kInfo + " /dev/stdin"});
    EXPECT_EQ(verdict(piped.out), "/dev/stdin: sound, 3 bytes after the last block");
    const Result pipedCut = run(dir, {"/bin/sh", "-c", "cat cut-inside.vrd | " + kInfo + " /dev/stdin"});
    EXPECT_EQ(verdict(pipedCut.out), "/dev/stdin: damaged: 2 of 4 slices not read whole, the file ends at slice 2");
}

TEST_F(Info, UsageOptionsAndHugeHeadersOverSmallFiles)
{
    EXPECT_EQ(run(dir, {kInfo}).status, 255);
    const Result unknown = run(dir, {kInfo, "--fast", "a.vrd"});
    EXPECT_TRUE(unknown.status == 255 && unknown.err == "vrdinfo: --fast: unknown option (--json, --slices, --help, --version)\n")
        << unknown.err;
    const Result help = run(dir, {kInfo, "--help"});
    EXPECT_TRUE(help.status == 0 && help.out.rfind("Usage: vrdinfo [--json] [--slices] FILE...\n", 0) == 0) << help.out;
    const Result version = run(dir, {kInfo, "--version"});
    EXPECT_EQ(version.out, std::string("vrdinfo (vrd) ") + vrdVersion() + "\n");

    // Slices of 1 GiB and 4 GiB (uint8) announced over a few kilobytes: read
    // under a 256 MiB limit, reported as damaged, never refused or killed.
    const unsigned char pixel = 0;
    for (const auto &[nx, compression] : {std::pair<int32_t, int32_t>{16384, vrdCompZlib}, {32768, vrdCompNone}}) {
        const VrdHeader h = header(nx, nx / 4, 1000000, nx == 16384 ? vrdFloat : vrdUChar, compression);
        Bytes file = writtenBy([&](FILE *f) { writeVrdHeader(f, &h, &pixel, 1, 1); });
        for (int k = 0; k < 50; ++k)
            file += block(deflated(Bytes(1000, char(k))));
        writeFile(path("huge.vrd"), file + Bytes(3, '\0'));
        const Result r = run(dir, {kInfo, "--slices", "huge.vrd"}, nullptr, "5", addressLimit(uint64_t(256) << 20));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(verdict(r.out), "huge.vrd: damaged: 1000000 of 1000000 slices not read whole, the file ends at slice 50");
    }
}

TEST_F(Info, StatisticsAreExact)
{
    const float nan = NAN, inf = INFINITY;
    // Finite values 1 2 3 4 0 -0 10 6: mean 3.25, variance 10.1875 exactly.
    const VrdHeader h = header(3, 2, 3);
    writeFile(path("f.vrd"), volume(h, {floats({1, 2, nan, 3, 4, inf}), floats({0, -0.0f, 10, -inf, 6, nan}),
                                        floats({nan, nan, nan, nan, nan, nan})}));
    const Result json = run(dir, {kInfo, "--json", "--slices", "f.vrd"});
    EXPECT_EQ(json.status, 0) << json.err;
    std::string deviation = python(dir, "{}\n", "    print(repr(__import__('math').sqrt(10.1875)))\n");
    deviation.pop_back();
    EXPECT_EQ(python(dir, json.out,
                     "    print(d['stats'])\n    print([(s['min'], s['max'], s['mean']) for s in d['slices']])\n"),
              "{'whole_slices': 3, 'voxels': 18, 'finite': 8, 'min': 0, 'max': 10, 'mean': 3.25, 'std': " + deviation +
                  ", 'zero': 2, 'nan': 8, 'infinite': 2}\n[(1, 4, 2.5), (0, 10, 4), (None, None, None)]\n");
    const Result text = run(dir, {kInfo, "f.vrd"});
    EXPECT_NE(text.out.find("  mean                 3.25\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  values               2 zero, 8 NaN, 2 infinite\n"), std::string::npos) << text.out;

    // Integers in the file's own byte order and signedness.
    writeFile(path("i.vrd"), volume(header(2, 2, 1, vrdChar), {values<int8_t>({-128, 127, 0, 5})}));
    writeFile(path("b.vrd"), volume(header(2, 2, 2, vrdInt16, vrdCompZlib, vrdBigEndian),
                                    {values<int16_t>({-300, 300, 1000, -1000}), values<int16_t>({2, 4, 6, 8})}));
    writeFile(path("u.vrd"), volume(header(3, 1, 1, vrdUInt32), {values<uint32_t>({4294967295u, 1, 2})}));
    writeFile(path("d.vrd"), volume(header(4, 1, 1, vrdDouble), {values<double>({0.5, 1.75, -2.25, 8})}));
    const Result ints = run(dir, {kInfo, "--json", "i.vrd", "b.vrd", "u.vrd", "d.vrd"});
    EXPECT_EQ(python(dir, ints.out, "    s = d['stats']\n    print(s['min'], s['max'], s['mean'], s['std'], s['zero'])\n"),
              // what Python's statistics.pstdev gives (exact fractions, rounded once)
              "-128 127 1 90.18591907831288 1\n"
              "-1000 1000 2.5 522.0237063582458 0\n"
              "1 4294967295 1431655766 2024666998.8055217 0\n"
              "-2.25 8 2 3.754164354420302 0\n");
}

TEST_F(Info, OutputIsTheSameForEveryThreadCount)
{
    constexpr int32_t nx = 64, ny = 48, nz = 23;
    std::vector<Bytes> slices = ramps(nx * ny, nz);
    reinterpret_cast<float *>(&slices[5][0])[17] = NAN;
    const VrdHeader z = header(nx, ny, nz), be = header(nx, ny, nz, vrdFloat, vrdCompNone, vrdBigEndian);
    const Bytes sound = volume(z, slices), prefix = volume(z, {});
    std::vector<Bytes> payloads = blocksAfter(sound, prefix.size());
    Bytes damaged = prefix;
    for (size_t k = 0; k < payloads.size(); ++k)
        damaged += block(k == 7 ? Bytes(payloads[k].size(), 'x') : k == 12 ? deflated(slices[k].substr(0, 99)) : payloads[k]);
    writeFile(path("sound.vrd"), sound);
    writeFile(path("raw.vrd"), volume(be, slices) + "tail");
    writeFile(path("damaged.vrd"), damaged);
    writeFile(path("cut.vrd"), sound.substr(0, sound.size() - 700));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{kInfo, "--slices", "sound.vrd", "raw.vrd", "damaged.vrd", "cut.vrd"},
          {kInfo, "--json", "--slices", "sound.vrd", "raw.vrd", "damaged.vrd", "cut.vrd"}}) {
        const Result one = run(dir, args, nullptr, "1");
        EXPECT_EQ(one.status, 1) << one.err;
        EXPECT_NE(one.out.find("damaged: 2 of 23 slices not read whole"), std::string::npos) << one.out;
        for (const char *threads : {"2", "5"}) {
            const Result r = run(dir, args, nullptr, threads);
            EXPECT_TRUE(r.status == one.status && r.err == one.err) << threads;
            EXPECT_TRUE(sameBytes(one.out, r.out)) << threads << " threads, " << args[1];
        }
    }
}

TEST_F(Info, JsonParsesWithTheDocumentedKeys)
{
    VrdHeader h = header(4, 2, 3);
    vrdAddHdrComment(&h, "tab\tbell\x07 quote\" \xED\xA0\x80 \xF4\x90\x80\x80 \xE2\x82");
    writeFile(path("a.vrd"), volume(h, ramps(8, 3)) + "zz");
    writeFile(path("cut.vrd"), volume(h, ramps(8, 3)).substr(0, volume(h, {}).size() + 5));
    const Result r = run(dir, {kInfo, "--json", "--slices", "a.vrd", "cut.vrd", "gone.vrd"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(python(dir, r.out, "    print(sorted(d), sorted(d['stats']) if 'stats' in d else '',"
                                 " [sorted(s) for s in d.get('slices', [])][:1])\n"),
              "['background_threshold', 'bands', 'byte_order', 'comments', 'compression', 'data_type', 'ends_at_slice', "
              "'file', 'format_version', 'grid', 'icon', 'nx', 'ny', 'nz', 'slice_bytes', 'slices', 'slices_damaged', "
              "'spacing', 'stats', 'status', 'trailing_bytes', 'transfer_functions', 'units', 'verdict'] ['finite', "
              "'infinite', 'max', 'mean', 'min', 'nan', 'std', 'voxels', 'whole_slices', 'zero'] [['block_bytes', "
              "'max', 'mean', 'min', 'ratio', 'whole', 'z']]\n"
              "['background_threshold', 'bands', 'byte_order', 'comments', 'compression', 'data_type', 'ends_at_slice', "
              "'file', 'format_version', 'grid', 'icon', 'nx', 'ny', 'nz', 'slice_bytes', 'slices', 'slices_damaged', "
              "'spacing', 'stats', 'status', 'trailing_bytes', 'transfer_functions', 'units', 'verdict'] ['finite', "
              "'infinite', 'max', 'mean', 'min', 'nan', 'std', 'voxels', 'whole_slices', 'zero'] [['block_bytes', "
              "'max', 'mean', 'min', 'ratio', 'whole', 'z']]\n"
              "['file', 'status', 'verdict']  []\n");
    EXPECT_EQ(python(dir, r.out, "    print(d['status'], d['verdict'], d.get('trailing_bytes'), d.get('ends_at_slice'),"
                                 " ascii(d.get('comments')))\n"),
              "sound sound, 2 bytes after the last block 2 None ['tab\\tbell\\x07 quote\" \\ufffd\\ufffd\\ufffd "
              "\\ufffd\\ufffd\\ufffd\\ufffd \\ufffd']\n"
              "damaged damaged: 3 of 3 slices not read whole, the file ends at slice 0 0 0 ['tab\\tbell\\x07 quote\" "
              "\\ufffd\\ufffd\\ufffd \\ufffd\\ufffd\\ufffd\\ufffd \\ufffd']\n"
              "refused refused: file open error: No such file or directory None None None\n");
}

TEST(InfoText, NonFiniteNumbersAndIllFormedText)
{
    EXPECT_EQ(vrdinfo::jsonNumber(NAN), "\"NaN\"");
    EXPECT_EQ(vrdinfo::jsonNumber(-INFINITY), "\"-Infinity\"");
    EXPECT_EQ(vrdinfo::jsonFloat(0.1f), "0.1");
    EXPECT_EQ(vrdinfo::jsonNumber(1e300), "1e+300");
    EXPECT_EQ(vrdinfo::jsonNumber(-1040), "-1040");
    EXPECT_EQ(std::strtod(vrdinfo::numberText(1.0 / 3).c_str(), nullptr), 1.0 / 3);
    // Overlong, surrogate, past U+10FFFF, stray continuation, a cut sequence at the end.
    EXPECT_EQ(vrdinfo::validUtf8("\xC0\xAF|\xED\xBF\xBF|\xF4\x90|\x80|\xF0\x9F\x98"),
              "\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD");
    EXPECT_EQ(vrdinfo::validUtf8("\xF0\x9F\x98\x80 \xE2\x82\xAC"), "\xF0\x9F\x98\x80 \xE2\x82\xAC");
    EXPECT_EQ(vrdinfo::jsonString(std::string("a\"\\\n\x01\x7F", 6)), "\"a\\\"\\\\\\n\\u0001\x7F\"");
}

} // namespace
