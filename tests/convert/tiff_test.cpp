// TIFF stacks through vrdconvert, checked against tifffile (tiffs.py) and
// ImageJ's own opener (ImageJRead.java): the stacks tifffile writes in every
// type, layout and compression come in exactly with their spacing; vrd
// volumes go out as stacks tifffile and ImageJ read with the ImageJ spacing
// and unit, and come back the same; BigTIFF output; hostile and unsupported
// files are refused with one line naming the reason.
#include "tiff.h"
#include "volumes.h"
#include "nibtext.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

using namespace testkit;
using nibtext::hex;
using nibtext::json;

const std::string kConvert = VRDCONVERT_PROGRAM;


std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            out.push_back(l);
    return out;
}

std::string unquoted(const std::string &s)
{
    return s.size() >= 2 && s.front() == '"' ? s.substr(1, s.size() - 2) : s;
}

Bytes noise(size_t bytes, uint32_t seed)
{
    Bytes b(bytes, '\0');
    for (char &c : b)
        seed = seed * 1664525u + 1013904223u, c = char(seed >> 24);
    return b;
}

struct TypeMap {
    const char *numpy;
    int32_t dtype; // 0: no vrd type
};
const TypeMap kIn[] = {
    {"uint8", vrdUChar},   {"int8", vrdChar},    {"uint16", vrdUInt16}, {"int16", vrdInt16},
    {"uint32", vrdUInt32}, {"int32", vrdInt32},  {"float32", vrdFloat}, {"float64", vrdDouble},
    {"int64", 0},          {"uint64", 0},
};

struct Tiff : TempDirTest {
    Result convert(const std::vector<std::string> &args, uint64_t addressSpace = 0)
    {
        std::vector<std::string> argv{kConvert};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(dir, argv, nullptr, nullptr, addressSpace);
    }
    std::string tifffile(const std::string &args)
    {
        return sh(std::string(PYTHON_PROGRAM) + " " + TIFFS_SCRIPT + " " + args);
    }
};

TEST_F(Tiff, StacksOfTifffileComeInExactly)
{
    const std::vector<std::string> stacks = lines(tifffile("stacks " + dir));
    ASSERT_GE(stacks.size(), 50u);
    for (const std::string &s : stacks) {
        const std::string file = unquoted(json(s, "file")), dtype = unquoted(json(s, "dtype"));
        SCOPED_TRACE(file);
        Result r = convert({file, "x.raw"});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(unquoted(json(s, "values")), hex(readFile(path("x.raw"))));

        const TypeMap *t = nullptr;
        for (const TypeMap &m : kIn)
            if (dtype == m.numpy)
                t = &m;
        ASSERT_NE(nullptr, t);
        r = convert({file, "x.vrd"});
        if (t->dtype == 0) {
            EXPECT_EQ(255, r.status);
            EXPECT_NE(std::string::npos, r.err.find(dtype + " values have no exact vrd type")) << r.err;
            continue;
        }
        ASSERT_EQ(0, r.status) << r.err;
        const Vrd v = readVrd(path("x.vrd"));
        ASSERT_TRUE(v.read);
        EXPECT_EQ(t->dtype, v.h.dtype);
        EXPECT_EQ(unquoted(json(s, "values")), hex(v.data));
        EXPECT_TRUE(v.h.nx == 20 && v.h.ny == 35 && v.h.nz == 3);
        const std::string spacing = json(s, "spacing");
        if (spacing != "null") {
            char text[80];
            snprintf(text, sizeof text, "[%g, %g, %g]", double(v.h.px), double(v.h.py), double(v.h.pz));
            std::string expected = spacing; // python prints 1 as 1 and 0.5 as 0.5, as %g does
            EXPECT_EQ(expected, text);
            EXPECT_EQ(unquoted(json(s, "units")) == "um" ? vrdUum : vrdUmm, v.h.units);
            EXPECT_TRUE(v.h.vtype == vrdRegular || v.h.vtype == vrdCubic);
        }
    }
}

TEST_F(Tiff, VrdGoesOutAsAStackTifffileReadsWithSpacingAndComesBack)
{
    struct Out {
        int32_t dtype, back;
        const char *numpy;
    };
    const Out kOut[] = {
        {vrdUChar, vrdUChar, "uint8"},     {vrdChar, vrdChar, "int8"},        {vrdUInt12, vrdUInt16, "uint16"},
        {vrdUInt16, vrdUInt16, "uint16"},  {vrdInt16, vrdInt16, "int16"},     {vrdIntHU, vrdInt16, "int16"},
        {vrdUInt32, vrdUInt32, "uint32"},  {vrdInt32, vrdInt32, "int32"},     {vrdFloat, vrdFloat, "float32"},
        {vrdDouble, vrdDouble, "float64"},
    };
    constexpr int32_t nx = 7, ny = 5, nz = 4;
    for (const Out &t : kOut) {
        SCOPED_TRACE(t.numpy);
        VrdHeader h = header(nx, ny, nz, t.dtype, vrdCompZlib, vrdBigEndian);
        h.vtype = vrdRegular, h.px = 0.5f, h.py = 0.25f, h.pz = 2.5f, h.units = vrdUum;
        vrdAddHdrComment(&h, "scanned at noon");
        const size_t slice = size_t(nx) * ny * vrdVoxelSize(t.dtype);
        const Bytes all = noise(slice * nz, uint32_t(t.dtype));
        std::vector<Bytes> slices, little;
        for (int z = 0; z < nz; ++z)
            slices.push_back(all.substr(z * slice, slice));
        writeFile(path("in.vrd"), volume(h, slices));
        // The values as the library gives them: this machine's (little-endian) order.
        Result r = convert({"in.vrd", "in.raw"});
        ASSERT_EQ(0, r.status) << r.err;
        const Bytes values = readFile(path("in.raw"));

        r = convert({"in.vrd", "x.tif"});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("x.tif: 1 comment not kept")) << r.err;
        const std::string d = tifffile("describe " + path("x.tif"));
        EXPECT_EQ("\"" + std::string(t.numpy) + "\"", json(d, "dtype")) << d;
        EXPECT_EQ("[4, 5, 7]", json(d, "shape"));
        EXPECT_EQ("\"" + hex(values) + "\"", json(d, "values"));
        EXPECT_EQ("2.5", json(d, "spacing"));
        EXPECT_EQ("\"micron\"", json(d, "unit"));
        EXPECT_EQ("[2.0, 4.0]", json(d, "resolution"));
        EXPECT_EQ("false", json(d, "bigtiff"));

        r = convert({"x.tif", "back.vrd"});
        ASSERT_EQ(0, r.status) << r.err;
        const Vrd v = readVrd(path("back.vrd"));
        ASSERT_TRUE(v.read);
        EXPECT_EQ(t.back, v.h.dtype);
        EXPECT_TRUE(sameBytes(values, v.data));
        EXPECT_TRUE(v.h.vtype == vrdRegular && v.h.px == 0.5f && v.h.py == 0.25f && v.h.pz == 2.5f);
        EXPECT_EQ(vrdUum, v.h.units);
    }
    // Between foreign formats: 64-bit integers, which no vrd type holds, go through.
    writeFile(path("big.raw"), noise(8 * 6 * 2 * 3, 5));
    ASSERT_EQ(0, convert({"--size", "6", "2", "3", "--type", "int64", "big.raw", "x.tif"}).status);
    ASSERT_EQ(0, convert({"x.tif", "back.raw"}).status);
    EXPECT_TRUE(sameBytes(readFile(path("big.raw")), readFile(path("back.raw"))));
    EXPECT_EQ("\"int64\"", json(tifffile("describe " + path("x.tif")), "dtype"));
}

TEST_F(Tiff, ImageJOpensTheStackWithItsSpacingAndValues)
{
    // ImageJ's own reader, compiled here against Debian's ij.jar.
    const std::string jar = "/usr/share/java/ij.jar";
    ASSERT_TRUE(std::filesystem::exists(jar)) << "libij-java is not installed (scripts/deps.sh)";
    ASSERT_EQ("compiled\n", sh("javac -d " + dir + " -cp " + jar + " " + IMAGEJ_READ + " && echo compiled"));
    struct Case {
        int32_t dtype;
        int bits;
        Bytes first, last; // the values ImageJ shows, as written
        const char *shown;
    };
    const float f0 = -2.5f, f1 = 1e20f;
    const int16_t s0 = -1234, s1 = 32767;
    const Case cases[] = {
        {vrdFloat, 32, Bytes(reinterpret_cast<const char *>(&f0), 4), Bytes(reinterpret_cast<const char *>(&f1), 4),
         "first=-2.5 last=1.0E20"},
        {vrdInt16, 16, Bytes(reinterpret_cast<const char *>(&s0), 2), Bytes(reinterpret_cast<const char *>(&s1), 2),
         "first=-1234.0 last=32767.0"},
    };
    constexpr int32_t nx = 7, ny = 5, nz = 4;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shown);
        VrdHeader h = header(nx, ny, nz, c.dtype, vrdCompZlib, vrdLittleEndian);
        h.vtype = vrdRegular, h.px = 0.5f, h.py = 0.25f, h.pz = 2.5f, h.units = vrdUum;
        const size_t size = size_t(vrdVoxelSize(c.dtype)), slice = size * nx * ny;
        std::vector<Bytes> slices(nz, Bytes(slice, '\0'));
        slices[0].replace(0, size, c.first);
        slices[nz - 1].replace(slice - size, size, c.last);
        writeFile(path("in.vrd"), volume(h, slices));
        const Result r = convert({"in.vrd", "x.tif"});
        ASSERT_EQ(0, r.status) << r.err;
        const std::string seen = sh("java -Djava.awt.headless=true -cp " + jar + ":" + dir + " ImageJRead " + path("x.tif"));
        EXPECT_EQ("slices=4 size=7x5 bits=" + std::to_string(c.bits) + " spacing=0.5,0.25,2.5 unit=micron " + c.shown +
                      "\n",
                  seen);
    }
}

TEST_F(Tiff, BigTiffWhenTheStackIsLarge)
{
    // The sink writes BigTIFF from a given size on; 4 GiB for the program.
    vrdconvert::Volume v;
    v.nx = 9, v.ny = 4, v.nz = 3, v.type = vrdconvert::Scalar::UInt16;
    v.hasSpacing = true, v.spacing[0] = 0.5, v.spacing[1] = 0.5, v.spacing[2] = 3;
    v.units = vrdconvert::Units::Millimetre;
    const Bytes values = noise(9 * 4 * 3 * 2, 11);
    FILE *f = fopen(path("big.tif").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::string error;
    std::vector<std::string> notes;
    auto sink = vrdconvert::createTiff(f, v, &error, &notes, 1);
    ASSERT_TRUE(sink) << error;
    for (int z = 0; z < 3; ++z)
        ASSERT_TRUE(sink->write(values.data() + z * 72, &error)) << error;
    ASSERT_TRUE(sink->finish(&error)) << error;
    sink.reset();
    fclose(f);
    ASSERT_EQ(1u, notes.size());
    EXPECT_EQ("written as BigTIFF (the stack is over 4 GiB)", notes[0]);
    const std::string d = tifffile("describe " + path("big.tif"));
    EXPECT_EQ("true", json(d, "bigtiff"));
    EXPECT_EQ("\"" + hex(values) + "\"", json(d, "values"));
    EXPECT_EQ("3", json(d, "spacing"));
    EXPECT_EQ("\"mm\"", json(d, "unit"));

    vrdconvert::Volume in;
    auto source = vrdconvert::openTiff(path("big.tif"), &in, &error);
    ASSERT_TRUE(source) << error;
    EXPECT_TRUE(in.nx == 9 && in.ny == 4 && in.nz == 3 && in.type == vrdconvert::Scalar::UInt16);
    EXPECT_TRUE(in.spacing[0] == 0.5 && in.spacing[1] == 0.5 && in.spacing[2] == 3 &&
                in.units == vrdconvert::Units::Millimetre);
    Bytes back(72, '\0');
    for (int z = 0; z < 3; ++z) {
        ASSERT_TRUE(source->read(&back[0], &error)) << error;
        EXPECT_EQ(values.substr(z * 72, 72), back);
    }
    EXPECT_FALSE(source->read(&back[0], &error));
}

TEST_F(Tiff, HostileAndUnsupportedFilesAreRefusedWithOneLine)
{
    const std::vector<std::string> files = lines(tifffile("hostile " + dir));
    ASSERT_GE(files.size(), 15u);
    for (const std::string &f : files) {
        const std::string file = unquoted(json(f, "file")), expect = unquoted(json(f, "expect"));
        const int status = std::stoi(json(f, "status"));
        SCOPED_TRACE(file);
        std::remove(path("out.vrd").c_str());
        // Far less address space than any size these files announce.
        const Result r = convert({file, "out.vrd"}, addressLimit(uint64_t(256) << 20));
        EXPECT_EQ(status, r.status) << r.err;
        if (status == 0)
            continue;
        const std::string prefix = "vrdconvert: " + file + ": ";
        EXPECT_EQ(0u, r.err.rfind(prefix, 0)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(expect)) << r.err;
        if (status == 255) {
            EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
            EXPECT_FALSE(std::filesystem::exists(path("out.vrd")));
        }
    }
}

} // namespace
