// vrdconvert end to end: vrd volumes of every type out to NIfTI, NRRD and raw
// and checked with nibabel and teem's unu, files those tools write brought
// in, the round trips back to vrd, the refusals, damaged input and the
// thread counts.
#include "volumes.h"
#include "nibtext.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

using namespace testkit;
using nibtext::hex;
using nibtext::json;

const std::string kConvert = VRDCONVERT_PROGRAM;
constexpr int32_t kNx = 5, kNy = 4, kNz = 3;

std::string nib(const std::string &args) { return sh(std::string(PYTHON_PROGRAM) + " " + NIB_SCRIPT + " " + args); }
// The values of an NRRD file as unu reads them: raw little-endian data after unu's own header.
Bytes unuValues(const std::string &file)
{
    const std::string out = sh(std::string(UNU_PROGRAM) + " save -f nrrd -e raw -en little -o - -i " + file);
    const size_t at = out.find("\n\n");
    return at == std::string::npos ? "?" : out.substr(at + 2);
}

// Every bit pattern a type can have, NaN payloads of floats included: the
// converter never touches a value.
Bytes noise(size_t bytes, uint32_t seed)
{
    Bytes b(bytes, '\0');
    for (char &c : b)
        seed = seed * 1664525u + 1013904223u, c = char(seed >> 24);
    return b;
}

// Where the first slice block of a volume file starts.
size_t firstBlockAt(const std::string &path)
{
    VrdHeader h{};
    FILE *f = vrdOpenRead(path.c_str(), &h);
    const long at = f != nullptr ? ftell(f) : 0;
    if (f != nullptr)
        fclose(f);
    return size_t(at);
}

struct Type {
    int32_t dtype, back; // the vrd type, and the one it comes back as
    const char *nib, *unu, *raw;
    int bytes;
};
const Type kTypes[] = {
    {vrdUChar, vrdUChar, "uint8", "uchar", "uint8", 1},
    {vrdChar, vrdChar, "int8", "signed char", "int8", 1},
    {vrdUInt12, vrdUInt16, "uint16", "ushort", "uint12", 2},
    {vrdUInt16, vrdUInt16, "uint16", "ushort", "uint16", 2},
    {vrdInt16, vrdInt16, "int16", "short", "int16", 2},
    {vrdIntHU, vrdInt16, "int16", "short", "intHU", 2}, // a vrd --type name keeps the meaning
    {vrdUInt32, vrdUInt32, "uint32", "uint", "uint32", 4},
    {vrdInt32, vrdInt32, "int32", "int", "int32", 4},
    {vrdFloat, vrdFloat, "float32", "float", "float32", 4},
    {vrdDouble, vrdDouble, "float64", "double", "float64", 8},
};

struct Convert : TempDirTest {
    // A 5 x 4 x 3 volume: spacing 0.5 0.25 2.5 micrometres, one comment.
    Bytes makeVrd(const std::string &name, int32_t dtype, int32_t endian = vrdLittleEndian,
                  int32_t compression = vrdCompZlib)
    {
        VrdHeader h = header(kNx, kNy, kNz, dtype, compression, endian);
        h.vtype = vrdRegular, h.px = 0.5f, h.py = 0.25f, h.pz = 2.5f, h.units = vrdUum;
        vrdAddHdrComment(&h, "scanned at noon");
        const size_t slice = size_t(kNx) * kNy * vrdVoxelSize(dtype);
        const Bytes all = noise(slice * kNz, uint32_t(dtype));
        const std::vector<Bytes> slices{all.substr(0, slice), all.substr(slice, slice), all.substr(2 * slice)};
        // A float volume carries the preview icon the programs write, so that round trips compare whole files.
        writeFile(path(name), dtype == vrdFloat ? previewed(h, slices) : volume(h, slices));
        return all;
    }
    Result convert(const std::vector<std::string> &args, const char *threads = nullptr)
    {
        std::vector<std::string> argv{kConvert};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(dir, argv, nullptr, threads);
    }
};

TEST_F(Convert, EveryTypeGoesOutExactlyAndComesBack)
{
    const std::vector<std::vector<std::string>> outputs = {
        {"x.nii"}, {"x.nii.gz"}, {"x.nrrd"}, {"x.nrrd", "--encoding", "raw"}, {"x.raw"}};
    int k = 0;
    for (const Type &t : kTypes) {
        const int32_t endian = k++ % 2 ? vrdBigEndian : vrdLittleEndian;
        const Bytes values = makeVrd("in.vrd", t.dtype, endian);
        for (const std::vector<std::string> &out : outputs) {
            SCOPED_TRACE(std::string(t.nib) + " from " + (endian == vrdBigEndian ? "big" : "little") + " to " +
                         out[0] + (out.size() > 1 ? " raw" : ""));
            std::vector<std::string> args{"in.vrd"};
            args.insert(args.end(), out.begin(), out.end());
            Result r = convert(args);
            ASSERT_EQ(0, r.status) << r.err;
            const std::string file = path(out[0]);
            if (out[0].find(".nii") != std::string::npos) {
                const std::string d = nib("describe " + file);
                EXPECT_EQ("\"" + std::string(t.nib) + "\"", json(d, "dtype"));
                EXPECT_EQ("\"" + hex(values) + "\"", json(d, "values"));
                EXPECT_EQ("[0.5, 0.25, 2.5]", json(d, "zooms"));
                EXPECT_EQ("\"micron\"", json(d, "units"));
                EXPECT_EQ("\"scanned at noon\"", json(d, "descrip"));
            } else if (out[0] == "x.nrrd") {
                const std::string head = sh(std::string(UNU_PROGRAM) + " head " + file);
                EXPECT_NE(std::string::npos, head.find("type: " + std::string(t.unu) + "\n")) << head;
                EXPECT_NE(std::string::npos, head.find("spacings: 0.5 0.25 2.5\n")) << head;
                EXPECT_NE(std::string::npos, head.find("units: \"um\" \"um\" \"um\"\n")) << head;
                EXPECT_NE(std::string::npos, head.find("# scanned at noon\n")) << head;
                EXPECT_TRUE(sameBytes(values, unuValues(file)));
            } else {
                EXPECT_TRUE(sameBytes(values, readFile(file)));
            }
            std::vector<std::string> back{out[0], "back.vrd"};
            if (out[0] == "x.raw")
                back.insert(back.end(), {"--size", "5", "4", "3", "--type", t.raw});
            r = convert(back);
            ASSERT_EQ(0, r.status) << r.err;
            const Vrd v = readVrd(path("back.vrd"));
            ASSERT_TRUE(v.read);
            EXPECT_EQ(out[0] == "x.raw" ? t.dtype : t.back, v.h.dtype);
            EXPECT_TRUE(sameBytes(values, v.data));
            if (out[0] != "x.raw") {
                EXPECT_TRUE(v.h.vtype == vrdRegular && v.h.px == 0.5f && v.h.py == 0.25f && v.h.pz == 2.5f);
                EXPECT_EQ(vrdUum, v.h.units);
                ASSERT_EQ(1, v.h.commentCount);
                EXPECT_STREQ("scanned at noon", v.h.comments[0]);
            }
        }
    }
}

TEST_F(Convert, FilesOfNibabelAndUnuComeIn)
{
    // nibabel writes 5 x 4 x 3 volumes with millimetre zooms and "made by nibabel".
    const std::pair<const char *, const char *> written[] = {
        {"int16", ""}, {"float32", ">"}, {"uint8", ""}, {"float64", ">"}};
    for (const auto &[dtype, big] : written)
        for (const char *name : {"nib.nii", "nib.nii.gz"}) {
            SCOPED_TRACE(std::string(dtype) + big + " " + name);
            const std::string values = sh(std::string(PYTHON_PROGRAM) + " " + NIB_SCRIPT + " write " + path(name) +
                                          " " + dtype + " 0.75 1.5 3 '" + big + "'");
            ASSERT_EQ(0, convert({name, "nib.vrd"}).status);
            const Vrd v = readVrd(path("nib.vrd"));
            ASSERT_TRUE(v.read);
            EXPECT_EQ(values, hex(v.data) + "\n");
            EXPECT_TRUE(v.h.px == 0.75f && v.h.py == 1.5f && v.h.pz == 3.0f && v.h.units == vrdUmm);
            ASSERT_EQ(2, v.h.commentCount); // the description, and where nibabel placed the volume
            EXPECT_STREQ("made by nibabel", v.h.comments[0]);
            EXPECT_STREQ("orientation: RAS; size 5 4 3; spacing 0.75 1.5 3; sform aligned: 0.75 0 0 0, 0 1.5 0 0, "
                         "0 0 3 0",
                         v.h.comments[1]);
        }
    // unu re-encodes our NRRD: gzip and raw, big-endian, and a detached header.
    const Bytes values = makeVrd("in.vrd", vrdInt16);
    ASSERT_EQ(0, convert({"in.vrd", "ours.nrrd"}).status);
    const std::string unu = std::string(UNU_PROGRAM) + " save -f nrrd -i " + path("ours.nrrd");
    sh(unu + " -e gzip -en big -o " + path("unu.nrrd"));
    sh(unu + " -e raw -en big -o " + path("unuraw.nrrd"));
    sh(unu + " -e gzip -o " + path("unu.nhdr"));
    for (const char *name : {"unu.nrrd", "unuraw.nrrd", "unu.nhdr"}) {
        SCOPED_TRACE(name);
        const Result r = convert({name, "unu.vrd"});
        ASSERT_EQ(0, r.status) << r.err;
        const Vrd v = readVrd(path("unu.vrd"));
        EXPECT_TRUE(v.read && v.h.dtype == vrdInt16 && sameBytes(values, v.data));
        EXPECT_TRUE(v.h.px == 0.5f && v.h.py == 0.25f && v.h.pz == 2.5f); // unu 1.12 drops the units
    }
}

// nibabel's own sample files: a big-endian 3-D volume, a 4-D NIfTI-1 and a
// 4-D NIfTI-2 file, through vrd (and through NRRD) back to NIfTI-1 and -2:
// the values of the volume asked for, the affine and the qform as nibabel
// reads them.
TEST_F(Convert, NibabelSampleFilesKeepTheirValuesAndPlace)
{
    const std::string data = sh(std::string(PYTHON_PROGRAM) + " " + NIB_SCRIPT + " datadir");
    const std::string folder = data.substr(0, data.find('\n')) + "/";
    const std::pair<const char *, int> samples[] = {
        {"anatomical.nii", -1}, {"example4d.nii.gz", 1}, {"example_nifti2.nii.gz", 0}};
    for (const auto &[name, volume] : samples) {
        SCOPED_TRACE(name);
        const std::string sample = folder + name;
        std::vector<std::string> pick;
        if (volume >= 0) {
            const Result refused = convert({sample, "refused.vrd"});
            EXPECT_EQ(255, refused.status);
            EXPECT_NE(std::string::npos, refused.err.find("4-D data: 2 volumes of ")) << refused.err;
            EXPECT_NE(std::string::npos, refused.err.find("; --volume N (0 to 1) picks one\n")) << refused.err;
            EXPECT_FALSE(std::filesystem::exists(path("refused.vrd")));
            pick = {"--volume", std::to_string(volume)};
        }
        std::vector<std::string> in = pick;
        in.insert(in.end(), {sample, "s.vrd"});
        Result r = convert(in);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("orientation")) << r.err;
        std::vector<std::string> direct = pick;
        direct.insert(direct.end(), {sample, "direct.nii"});
        ASSERT_EQ(0, convert(direct).status);
        ASSERT_EQ(0, convert({"s.vrd", "s.nrrd"}).status);
        const std::vector<std::vector<std::string>> outputs = {
            {"s.vrd", "back.nii.gz"}, {"--nifti2", "s.vrd", "back2.nii"}, {"s.nrrd", "vianrrd.nii"}};
        for (const std::vector<std::string> &out : outputs) {
            r = convert(out);
            ASSERT_EQ(0, r.status) << r.err;
            EXPECT_EQ(std::string::npos, r.err.find("orientation")) << r.err;
        }
        for (const char *out : {"direct.nii", "back.nii.gz", "back2.nii", "vianrrd.nii"}) {
            SCOPED_TRACE(out);
            const std::string c = nib("compare " + sample + " " + std::to_string(volume) + " " + path(out));
            EXPECT_EQ("true", json(c, "values"));
            EXPECT_EQ("true", json(c, "affine"));
            EXPECT_EQ("true", json(c, "qform"));
            EXPECT_EQ("true", json(c, "zooms"));
            EXPECT_EQ(std::string(out) == "back2.nii" ? "2" : "1", json(c, "version"));
        }
    }
}

// 4-D NIfTI-1 and NIfTI-2 files nibabel writes, plain and gzip, either byte
// order, with a qform and a different sform: every volume comes out alone,
// and goes back to NIfTI in its place.
TEST_F(Convert, FourDimensionalNiftiOneAndTwoComeInVolumeByVolume)
{
    const struct {
        const char *name, *dtype, *big;
        int version;
    } files[] = {{"one.nii", "int16", "", 1}, {"one.nii.gz", "float32", ">", 1}, {"two.nii", "uint8", ">", 2},
                 {"two.nii.gz", "float64", "", 2}};
    for (const auto &f : files) {
        SCOPED_TRACE(f.name);
        const std::string volumes = nib(std::string("write4d ") + path(f.name) + " " + f.dtype + " 3 " +
                                        std::to_string(f.version) + " '" + f.big + "'");
        for (int k = 0; k < 3; ++k) {
            Result r = convert({"--volume", std::to_string(k), f.name, "v.vrd"});
            ASSERT_EQ(0, r.status) << r.err;
            EXPECT_NE(std::string::npos, r.err.find("volume " + std::to_string(k) + " of the 3 read")) << r.err;
            const Vrd v = readVrd(path("v.vrd"));
            ASSERT_TRUE(v.read);
            EXPECT_NE(std::string::npos, volumes.find("\"" + hex(v.data) + "\"")) << k;
            EXPECT_EQ(k, int(volumes.find("\"" + hex(v.data) + "\"") * 3 / volumes.size()));
            std::vector<std::string> back{"v.vrd", "back.nii"};
            if (f.version == 2)
                back.insert(back.begin(), "--nifti2");
            ASSERT_EQ(0, convert(back).status);
            const std::string c = nib("compare " + path(f.name) + " " + std::to_string(k) + " " + path("back.nii"));
            EXPECT_EQ("true", json(c, "values"));
            EXPECT_EQ("true", json(c, "affine"));
            EXPECT_EQ("true", json(c, "qform"));
            EXPECT_EQ("[1, 2]", json(c, "codes"));
            EXPECT_EQ(std::to_string(f.version), json(c, "version"));
        }
        const Result r = convert({"--volume", "3", f.name, "v.vrd"});
        EXPECT_EQ(255, r.status);
        EXPECT_NE(std::string::npos, r.err.find("--volume 3: the file holds 3 volumes (0 to 2)")) << r.err;
    }
    // A qform alone becomes NRRD directions in RAS, and comes back as the same affine.
    nib("writeqform " + path("q.nii"));
    ASSERT_EQ(0, convert({"q.nii", "q.vrd"}).status);
    ASSERT_EQ(0, convert({"q.vrd", "q.nrrd"}).status);
    EXPECT_NE(std::string::npos, sh(std::string(UNU_PROGRAM) + " head " + path("q.nrrd")).find("space: right-anterior-superior\n"));
    ASSERT_EQ(0, convert({"q.nrrd", "q2.nii"}).status);
    const std::string q = nib("compare " + path("q.nii") + " -1 " + path("q2.nii"));
    EXPECT_EQ("true", json(q, "values"));
    EXPECT_EQ("true", json(q, "affine"));
    EXPECT_EQ("true", json(q, "qform"));
    // A size NIfTI-1 cannot hold makes NIfTI-2 output by itself.
    writeFile(path("wide.raw"), noise(40000, 7));
    const Result r = convert({"--size", "40000", "1", "1", "--type", "uint8", "wide.raw", "wide.nii"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("wide.nii: written as NIfTI-2")) << r.err;
    const std::string d = nib("describe " + path("wide.nii"));
    EXPECT_EQ("2", json(d, "version"));
    EXPECT_EQ("[40000, 1, 1]", json(d, "shape"));
    EXPECT_EQ("\"" + hex(noise(40000, 7)) + "\"", json(d, "values"));
}

// NRRD: a 4-D file with its volumes last or first (as unu joins them), raw
// and ascii, against unu's own slicing; space directions and origin in LPS
// kept through vrd, written back for unu and turned to RAS for nibabel.
TEST_F(Convert, NrrdVolumesAndSpaceDirectionsComeThrough)
{
    const Bytes a = noise(5 * 4 * 3 * 2, 1), b = noise(5 * 4 * 3 * 2, 2);
    // unu join leaves the new axis without a spacing, so that it is told from the space axes.
    const std::string head = "NRRD0004\ntype: short\nendian: little\nencoding: raw\ndimension: 3\nsizes: 5 4 3\n"
                             "spacings: 0.5 0.25 2.5\n\n";
    writeFile(path("a.nrrd"), head + a);
    writeFile(path("b.nrrd"), head + b);
    const std::string unu = std::string(UNU_PROGRAM);
    sh(unu + " join -i " + path("a.nrrd") + " " + path("b.nrrd") + " -a 3 -incr -o " + path("last.nrrd"));
    sh(unu + " join -i " + path("a.nrrd") + " " + path("b.nrrd") + " -a 0 -incr -o " + path("first.nrrd"));
    sh(unu + " save -f nrrd -e ascii -i " + path("last.nrrd") + " -o " + path("lasttext.nrrd"));
    sh(unu + " save -f nrrd -e ascii -i " + path("first.nrrd") + " -o " + path("firsttext.nrrd"));
    for (const char *name : {"last.nrrd", "first.nrrd", "lasttext.nrrd", "firsttext.nrrd"}) {
        SCOPED_TRACE(name);
        const Result refused = convert({name, "v.vrd"});
        EXPECT_NE(std::string::npos, refused.err.find("2 volumes of 5 x 4 x 3; --volume N (0 to 1)")) << refused.err;
        for (int k = 0; k < 2; ++k) {
            const Result r = convert({"--volume", std::to_string(k), name, "v.nrrd"});
            ASSERT_EQ(0, r.status) << r.err;
            EXPECT_TRUE(sameBytes(k == 0 ? a : b, unuValues(path("v.nrrd"))));
        }
    }
    sh(unu + " slice -a 3 -p 1 -i " + path("last.nrrd") + " -o " + path("unu1.nrrd"));
    EXPECT_TRUE(sameBytes(b, unuValues(path("unu1.nrrd"))));

    // Oblique axes in LPS, the volumes along a fourth axis without a direction.
    writeFile(path("lps.nrrd"), "NRRD0005\ntype: short\ndimension: 4\nsizes: 5 4 3 2\nspace: left-posterior-superior\n"
                                "space directions: (0,0.5,0) (-0.25,0,0) (0,0,2.5) none\nkinds: space space space list\n"
                                "space origin: (10,-20,30.5)\nspace units: \"mm\" \"mm\" \"mm\"\n"
                                "endian: little\nencoding: raw\n\n" + a + b);
    Result r = convert({"--volume", "1", "lps.nrrd", "lps.vrd"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("orientation")) << r.err;
    const Vrd v = readVrd(path("lps.vrd"));
    ASSERT_TRUE(v.read && sameBytes(b, v.data));
    EXPECT_TRUE(v.h.px == 0.5f && v.h.py == 0.25f && v.h.pz == 2.5f && v.h.units == vrdUmm);
    ASSERT_EQ(1, v.h.commentCount);
    EXPECT_STREQ("orientation: LPS; size 5 4 3; spacing 0.5 0.25 2.5; directions (0,0.5,0) (-0.25,0,0) (0,0,2.5); "
                 "origin (10,-20,30.5)",
                 v.h.comments[0]);
    ASSERT_EQ(0, convert({"lps.vrd", "lps2.nrrd"}).status);
    const std::string fields = sh(unu + " head " + path("lps2.nrrd"));
    for (const char *field : {"space: left-posterior-superior\n", "space directions: (0,0.5,0) (-0.25,0,0) (0,0,2.5)\n",
                              "space origin: (10,-20,30.5)\n", "space units: \"mm\" \"mm\" \"mm\"\n"})
        EXPECT_NE(std::string::npos, fields.find(field)) << fields;
    EXPECT_EQ(std::string::npos, fields.find("spacings")) << fields;
    EXPECT_TRUE(sameBytes(b, unuValues(path("lps2.nrrd"))));
    ASSERT_EQ(0, convert({"lps.vrd", "lps.nii"}).status);
    EXPECT_EQ("[[0.0, 0.25, 0.0, -10.0], [-0.5, 0.0, 0.0, 20.0], [0.0, 0.0, 2.5, 30.5]]\n", nib("affine " + path("lps.nii")));
    // Straight from NRRD to NIfTI and back to NRRD, the same.
    ASSERT_EQ(0, convert({"--volume", "1", "lps.nrrd", "direct.nii.gz"}).status);
    EXPECT_EQ(nib("affine " + path("lps.nii")), nib("affine " + path("direct.nii.gz")));
    ASSERT_EQ(0, convert({"direct.nii.gz", "ras.nrrd"}).status);
    const std::string ras = sh(unu + " head " + path("ras.nrrd"));
    EXPECT_NE(std::string::npos, ras.find("space: right-anterior-superior\n")) << ras;
    EXPECT_NE(std::string::npos, ras.find("space directions: (0,-0.5,0) (0.25,0,0) (0,0,2.5)\n")) << ras;
}

// The orientation line goes only with the grid it was given for: a vrd file
// whose spacing or size changed since, or whose line was edited into
// nonsense, places nothing and says so.
TEST_F(Convert, OrientationLinesThatNoLongerFitAreDroppedWithANote)
{
    const std::string line = "orientation: RAS; size 5 4 3; spacing 0.5 0.25 2.5; sform scanner: 0.5 0 0 1, 0 0.25 0 2, 0 0 2.5 3";
    const std::pair<std::string, const char *> cases[] = {
        {line, nullptr},
        {"orientation: RAS; size 5 4 4; spacing 0.5 0.25 2.5; sform scanner: 0.5 0 0 1, 0 0.25 0 2, 0 0 2.5 3",
         "orientation comment (for 5 x 4 x 4 at 0.5 0.25 2.5) does not fit this grid; not kept"},
        {"orientation: RAS; size 5 4 3; spacing 0.5 0.25 2.4; sform scanner: 0.5 0 0 1, 0 0.25 0 2, 0 0 2.5 3",
         "does not fit this grid"},
        {"orientation: RAS; size 5 4 3; spacing 0.5 0.25 2.5; sform nowhere: 0.5 0 0 1, 0 0.25 0 2, 0 0 2.5 3",
         "orientation comment not understood; not kept"},
        {"orientation: LPS; size 5 4 3; spacing 0.5 0.25 2.5; sform scanner: 0.5 0 0 1, 0 0.25 0 2, 0 0 2.5 3",
         "not understood"},
    };
    for (const auto &[text, noteText] : cases) {
        SCOPED_TRACE(text);
        VrdHeader h = header(kNx, kNy, kNz, vrdUChar);
        h.vtype = vrdRegular, h.px = 0.5f, h.py = 0.25f, h.pz = 2.5f;
        vrdAddHdrComment(&h, "before");
        vrdAddHdrComment(&h, text.c_str());
        writeFile(path("in.vrd"), volume(h, std::vector<Bytes>(kNz, Bytes(kNx * kNy, '\1'))));
        const Result r = convert({"in.vrd", "out.nii"});
        ASSERT_EQ(0, r.status) << r.err;
        const std::string c = nib("compare " + path("out.nii") + " -1 " + path("out.nii"));
        const std::string d = nib("describe " + path("out.nii"));
        EXPECT_EQ("\"before\"", json(d, "descrip")); // the line never goes into the description
        if (noteText == nullptr) {
            EXPECT_EQ("[0, 1]", json(c, "codes"));
            EXPECT_EQ("[[0.5, 0.0, 0.0, 1.0], [0.0, 0.25, 0.0, 2.0], [0.0, 0.0, 2.5, 3.0]]\n", nib("affine " + path("out.nii")));
            EXPECT_EQ("", r.err);
        } else {
            EXPECT_EQ("[0, 0]", json(c, "codes"));
            EXPECT_NE(std::string::npos, r.err.find("out.nii: orientation comment ")) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(noteText)) << r.err;
        }
    }
    // --volume and --nifti2 only where they mean something.
    EXPECT_NE(std::string::npos, convert({"--volume", "0", "in.vrd", "o.nii"}).err.find("NIfTI and NRRD input only"));
    EXPECT_NE(std::string::npos, convert({"--nifti2", "in.vrd", "o.nrrd"}).err.find("NIfTI output only"));
    EXPECT_NE(std::string::npos, convert({"--volume", "x", "in.vrd", "o.nii"}).err.find("is not a volume number"));
}

TEST_F(Convert, RoundTripsKeepTheVolumeFileAsItWas)
{
    for (const char *via : {"via.nii.gz", "via.nrrd", "via.nii"}) {
        makeVrd("in.vrd", vrdFloat);
        ASSERT_EQ(0, convert({"in.vrd", via}).status);
        ASSERT_EQ(0, convert({via, "back.vrd"}).status);
        EXPECT_TRUE(sameBytes(readFile(path("in.vrd")), readFile(path("back.vrd")))) << via;
    }
}

TEST_F(Convert, RefusalsAreOneLineAndLeaveNoOutput)
{
    makeVrd("in.vrd", vrdFloat);
    VrdHeader rect = header(kNx, kNy, kNz);
    float rz[kNz] = {1, 1, 4};
    rect.vtype = vrdRectZ, rect.px = rect.py = 1, rect.rz = rz;
    writeFile(path("rect.vrd"), volume(rect, std::vector<Bytes>(kNz, Bytes(kNx * kNy * 4, '\0'))));
    VrdHeader colour = header(kNx, kNy, kNz, vrdUChar);
    colour.nbands = 3;
    writeFile(path("colour.vrd"), volume(colour, std::vector<Bytes>(kNz, Bytes(kNx * kNy * 3, '\0'))));
    writeFile(path("long.nrrd"), "NRRD0004\ntype: int64\ndimension: 3\nsizes: 1 1 1\nendian: little\n"
                                 "encoding: raw\n\n" + Bytes(8, '\0'));
    nib("write " + path("complex.nii") + " float32 1 1 1");
    Bytes complex = readFile(path("complex.nii"));
    complex[70] = 32, complex[72] = 64; // datatype complex64, 64 bits
    writeFile(path("complex.nii"), complex);
    writeFile(path("flat.raw"), Bytes(kNx * kNy * kNz, '\0'));
    sh(std::string(UNU_PROGRAM) + " save -f nrrd -e raw -o " + path("det.nhdr") + " -i " + path("long.nrrd"));

    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{"in.vrd", "out.png"}, "unknown format"},
        {{"in.nii.bz2", "out.vrd"}, "unknown format"},
        {{"long.nrrd", "out.vrd"}, "int64 values have no exact vrd type"},
        {{"complex.nii", "out.vrd"}, "complex64"},
        {{"rect.vrd", "out.nii"}, "cannot hold it exactly; --uniform"},
        {{"rect.vrd", "out.nrrd"}, "rectilinear grid (spacings along z from 1 to 4)"},
        {{"in.vrd", "in.vrd"}, "is the same file as the input"},
        {{"det.nhdr", "det.raw"}, "is the same file as the input"},
        {{"colour.vrd", "out.nii"}, "3 bands"},
        {{"flat.raw", "out.vrd", "--type", "uint8"}, "needs --size"},
        {{"flat.raw", "out.vrd", "--size", "5", "4", "3"}, "needs --size"},
        {{"flat.raw", "out.vrd", "--size", "5", "4", "4", "--type", "uint8"}, "not the 80 bytes"},
        {{"in.vrd", "out.nrrd", "--raw"}, "vrd output only"},
        {{"in.vrd", "out.nii", "--encoding", "raw"}, "NRRD output only"},
        {{"in.vrd", "out.nhdr"}, "read, not written"},
    };
    for (const auto &[args, reason] : cases) {
        const Result r = convert(args);
        EXPECT_EQ(255, r.status) << args[0] << " " << args[1];
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(reason)) << r.err;
        EXPECT_FALSE(std::filesystem::exists(path(args[1])) && args[1].rfind("out.", 0) == 0) << args[1];
    }
    EXPECT_EQ(readFile(path("in.vrd")).size() > 0, true);
}

TEST_F(Convert, UniformWritesTheMeanAndSaysSo)
{
    VrdHeader rect = header(kNx, kNy, kNz);
    float rz[kNz] = {1, 1, 4};
    rect.vtype = vrdRectZ, rect.px = 0.5f, rect.py = 0.5f, rect.rz = rz;
    writeFile(path("rect.vrd"), volume(rect, std::vector<Bytes>(kNz, Bytes(kNx * kNy * 4, '\0'))));
    const Result r = convert({"--uniform", "rect.vrd", "out.nii"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("written with the mean spacing 0.5 0.5 2")) << r.err;
    EXPECT_EQ("[0.5, 0.5, 2.0]", json(nib("describe " + path("out.nii")), "zooms"));
}

TEST_F(Convert, SpacingsTheOutputCannotHoldAreSaidAndReplaced)
{
    writeFile(path("odd.nrrd"), "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 1 1 1\nspacings: inf -0.5 2\n"
                                "encoding: raw\n\nA");
    const std::pair<const char *, const char *> cases[] = {
        {"out.nrrd", "spacings: nan -0.5 2\n"}, {"out.nii", "[1.0, 1.0, 2.0]"}, {"out.vrd", "1 1 2"}};
    for (const auto &[out, kept] : cases) {
        const Result r = convert({"odd.nrrd", out});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(std::string(out) + ": x spacing inf ")) << r.err;
        const std::string file = path(out);
        std::string got;
        if (std::string(out) == "out.nrrd")
            got = sh(std::string(UNU_PROGRAM) + " head " + file);
        else if (std::string(out) == "out.nii")
            got = json(nib("describe " + file), "zooms");
        else if (const Vrd v = readVrd(file); v.read)
            got = std::to_string(int(v.h.px)) + " " + std::to_string(int(v.h.py)) + " " + std::to_string(int(v.h.pz));
        EXPECT_NE(std::string::npos, got.find(kept)) << got;
    }
}

TEST_F(Convert, LongCommentsAreCutForNiftiWithANote)
{
    VrdHeader h = header(kNx, kNy, kNz, vrdUChar);
    vrdAddHdrComment(&h, std::string(60, 'a').c_str());
    vrdAddHdrComment(&h, std::string(30, 'b').c_str());
    writeFile(path("in.vrd"), volume(h, std::vector<Bytes>(kNz, Bytes(kNx * kNy, '\1'))));
    const Result r = convert({"in.vrd", "out.nii"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("out.nii: comments cut")) << r.err;
    EXPECT_EQ("\"" + std::string(60, 'a') + "; " + std::string(17, 'b') + "\"",
              json(nib("describe " + path("out.nii")), "descrip"));
}

TEST_F(Convert, DamagedInputWritesWhatItCanAndEndsWithOne)
{
    makeVrd("in.vrd", vrdFloat);
    Bytes file = readFile(path("in.vrd"));
    file.resize(file.size() - 10); // the last block loses its end
    writeFile(path("cut.vrd"), file);
    for (const char *out : {"out.nii.gz", "out.nrrd", "out.vrd"}) {
        const Result r = convert({"cut.vrd", out});
        EXPECT_EQ(1, r.status) << out << r.err;
        EXPECT_TRUE(std::filesystem::exists(path(out))) << out;
        // A vrd output ends at the fatal block, as volmap's does; the others keep going.
        const bool named = r.err.find("cut.vrd: 1 of 3 slices damaged") != std::string::npos;
        EXPECT_EQ(std::string(out) != "out.vrd", named) << r.err;
    }
    EXPECT_EQ("[5, 4, 3]", json(nib("describe " + path("out.nii.gz")), "shape")); // whole, the damage as zeros
    // A vrd input that ends inside a block's length: the gzip member ends after the slice before.
    const size_t first = firstBlockAt(path("in.vrd"));
    writeFile(path("short.vrd"), file.substr(0, first + 4 + blocksAfter(readFile(path("in.vrd")), first)[0].size() + 2));
    const Result shortRun = convert({"short.vrd", "short.nii.gz"});
    EXPECT_EQ(1, shortRun.status);
    EXPECT_NE(std::string::npos, shortRun.err.find("short.vrd: 2 of 3 slices damaged")) << shortRun.err;
    EXPECT_NE(std::string::npos, shortRun.err.find("short.nii.gz: only 80 of the volume's 240 data bytes")) << shortRun.err;
    EXPECT_EQ("432\n", sh("gzip -dc " + path("short.nii.gz") + " | wc -c")); // the header and one slice
    // A foreign input whose gzip data end early: the run ends at the slice they fail in.
    ASSERT_EQ(0, convert({"in.vrd", "good.nii.gz"}).status);
    Bytes nii = readFile(path("good.nii.gz"));
    nii.resize(nii.size() - 6);
    writeFile(path("cut.nii.gz"), nii);
    const Result r = convert({"cut.nii.gz", "fromcut.vrd"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("vrdconvert: cut.nii.gz: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("cut.nii.gz: 1 of 3 slices damaged")) << r.err;
    EXPECT_EQ(size_t(kNz - 1), blocksAfter(readFile(path("fromcut.vrd")), firstBlockAt(path("fromcut.vrd"))).size());
}

TEST_F(Convert, APipeClaimingAHugeVolumeEndsAtItsData)
{
    makeVrd("in.vrd", vrdUChar);
    ASSERT_EQ(0, convert({"in.vrd", "small.nii"}).status);
    Bytes header = readFile(path("small.nii")).substr(0, 352);
    const int16_t dims[3] = {4096, 4096, 32767}; // 16 MiB slices, 512 GiB in all
    memcpy(&header[42], dims, sizeof dims);
    writeFile(path("header"), header);
    writeFile(path("slice"), Bytes(4096 * 4096 + 100, '\7'));
    ASSERT_EQ(0, mkfifo(path("pipe.nii").c_str(), 0600));
    // Nothing after the header: refused before anything is sized from it.
    Result r = run(dir, {"/bin/sh", "-c", "cat header > pipe.nii & exec " + kConvert + " pipe.nii out.vrd"});
    EXPECT_EQ(255, r.status) << r.err;
    EXPECT_EQ("vrdconvert: pipe.nii: data end in slice 1 of 32767\n", r.err);
    EXPECT_FALSE(std::filesystem::exists(path("out.vrd")));
    // A slice and a bit: the run ends where the data do, no slice made up.
    for (const char *out : {"out.vrd", "out.nii.gz"}) {
        r = run(dir, {"/bin/sh", "-c", "cat header slice > pipe.nii & exec " + kConvert + " pipe.nii " + out});
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("pipe.nii: data end in slice 2 of 32767")) << r.err;
        if (std::string(out) == "out.vrd")
            EXPECT_EQ(1u, blocksAfter(readFile(path(out)), firstBlockAt(path(out))).size());
        else
            EXPECT_EQ(std::to_string(352 + 4096 * 4096) + "\n", sh("gzip -dc " + path(out) + " | wc -c"));
    }
}

TEST_F(Convert, EveryThreadCountWritesTheSameBytes)
{
    for (const std::string out : {"t.nii.gz", "t.nrrd", "t.vrd", "t.raw"}) {
        for (const std::string in : {"big.vrd", "big.nii.gz"}) {
            if (in == "big.vrd") {
                VrdHeader h = header(64, 48, 20, vrdInt16);
                std::vector<Bytes> slices;
                for (uint32_t z = 0; z < 20; ++z)
                    slices.push_back(noise(64 * 48 * 2, z));
                writeFile(path(in), volume(h, slices));
            } else if (convert({"big.vrd", in}).status != 0) {
                FAIL();
            }
            Bytes first;
            for (const char *threads : {"1", "2", "5"}) {
                const Result r = convert({in, out}, threads);
                ASSERT_EQ(0, r.status) << r.err;
                if (first.empty())
                    first = readFile(path(out));
                else
                    EXPECT_TRUE(sameBytes(first, readFile(path(out)))) << in << " to " << out << ", " << threads;
            }
        }
    }
}

} // namespace
