// The foreign formats against the field's own tools: files the sinks write
// read by teem's unu and by nibabel, files those tools write read by the
// sources, the parallel gzip path, and hostile files refused with a reason.
#include "foreign.h"
#include "nibtext.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

using namespace vrdconvert;
using nibtext::hex;
using nibtext::json;

namespace {

using Bytes = std::string;

struct Ran {
    int status;
    std::string out;
};
Ran sh(const std::string &command)
{
    Ran r{-1, {}};
    FILE *p = popen((command + " 2>/dev/null").c_str(), "r");
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;)
        r.out.append(chunk, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

void writeFile(const std::string &path, const Bytes &b)
{
    std::ofstream(path, std::ios::binary) << b;
}

Bytes gzipped(const Bytes &b)
{
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&zs, uLong(b.size())), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(b.data()));
    zs.avail_in = uInt(b.size());
    zs.next_out = reinterpret_cast<Bytef *>(&out[0]);
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// The type's extremes, then a ramp with negatives and (for floats) fractions.
template <class T> Bytes ramp(int64_t n)
{
    auto v = std::vector<T>(size_t(n));
    for (int64_t i = 0; i < n; ++i)
        v[i] = std::is_floating_point<T>::value ? T((i * 37 % 101 - 50) * 0.25) : T(i * 37 % 101 - 50);
    v[0] = std::is_floating_point<T>::value ? std::numeric_limits<T>::denorm_min() : std::numeric_limits<T>::min();
    if (n > 1)
        v[1] = std::numeric_limits<T>::max();
    return Bytes(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}
Bytes ramp(Scalar t, int64_t n)
{
    switch (t) {
    case Scalar::Int8: return ramp<int8_t>(n);
    case Scalar::UInt8: return ramp<uint8_t>(n);
    case Scalar::Int16: return ramp<int16_t>(n);
    case Scalar::UInt16: return ramp<uint16_t>(n);
    case Scalar::Int32: return ramp<int32_t>(n);
    case Scalar::UInt32: return ramp<uint32_t>(n);
    case Scalar::Int64: return ramp<int64_t>(n);
    case Scalar::UInt64: return ramp<uint64_t>(n);
    case Scalar::Float32: return ramp<float>(n);
    case Scalar::Float64: return ramp<double>(n);
    }
    return {};
}

// Numbers printed by unu, parsed with the C library into values of type t.
Bytes parsed(const std::string &text, Scalar t)
{
    Bytes out;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        char b[8];
        const long long s = strtoll(w.c_str(), nullptr, 10);
        const unsigned long long u = strtoull(w.c_str(), nullptr, 10);
        const float f = strtof(w.c_str(), nullptr);
        const double d = strtod(w.c_str(), nullptr);
        switch (t) {
        case Scalar::Float32: std::memcpy(b, &f, 4); break;
        case Scalar::Float64: std::memcpy(b, &d, 8); break;
        case Scalar::UInt64: std::memcpy(b, &u, 8); break;
        default: std::memcpy(b, &s, 8); break; // little-endian: the low bytes first
        }
        out.append(b, size_t(scalarBytes(t)));
    }
    return out;
}

Volume volume(Scalar t, int64_t nx, int64_t ny, int64_t nz)
{
    Volume v;
    v.nx = nx, v.ny = ny, v.nz = nz, v.type = t;
    return v;
}

// Every slice of a source, or the reason it stopped.
Bytes readAll(SliceSource &s, const Volume &v, std::string *error)
{
    const size_t slice = size_t(v.nx * v.ny * scalarBytes(v.type));
    Bytes all, buffer(slice, '\0');
    for (int64_t z = 0; z < v.nz; ++z) {
        if (!s.read(&buffer[0], error))
            return all;
        all += buffer;
    }
    return all;
}

class Formats : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/vrdconvert-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes values through a sink made by create into file name.
    template <class Create> void sinkTo(const std::string &name, const Volume &v, const Bytes &values, Create create)
    {
        FILE *f = fopen(path(name).c_str(), "wb");
        std::string error;
        std::unique_ptr<SliceSink> sink = create(f, v, &error);
        ASSERT_TRUE(sink) << error;
        const size_t slice = values.size() / size_t(v.nz);
        for (int64_t z = 0; z < v.nz; ++z)
            ASSERT_TRUE(sink->write(values.data() + z * slice, &error)) << error;
        ASSERT_TRUE(sink->finish(&error)) << error;
        fclose(f);
    }

    std::string dir_;
};

const std::string kUnu = UNU_PROGRAM, kNib = std::string(PYTHON_PROGRAM) + " " + NIB_SCRIPT;

TEST_F(Formats, ToolsReadWhatTheSinksWrite)
{
    // Byte 79 is inside the "\xc3\xa9": the cut leaves it out whole.
    const std::string longComment = std::string(78, 'a') + "\xc3\xa9 and more";
    const struct {
        Scalar type;
        int64_t nx, ny, nz;
        double sx, sy, sz;
        bool hasSpacing;
        Units units;
        Encoding enc;
        std::vector<std::string> comments;
        const char *nibUnit, *descrip; // descrip empty: the comments joined
    } cases[] = {
        {Scalar::UInt8, 5, 4, 3, 0.5, 0.25, 2, true, Units::Millimetre, Encoding::Raw, {"first", "second"}, "mm", ""},
        {Scalar::Int8, 5, 4, 3, 1, 1, 1, true, Units::Unknown, Encoding::Gzip, {longComment}, "unknown",
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
        {Scalar::Int16, 5, 4, 3, 0.1, 0.2, 3.5, true, Units::Micrometre, Encoding::Gzip, {}, "micron", ""},
        {Scalar::UInt16, 300, 200, 7, 1, 2, 3, true, Units::Metre, Encoding::Gzip, {"big"}, "meter", ""},
        {Scalar::Int32, 5, 4, 3, 2, 2, 2, true, Units::Millimetre, Encoding::Raw, {}, "mm", ""},
        {Scalar::UInt32, 5, 4, 1, 1, 1, 1, false, Units::Unknown, Encoding::Gzip, {}, "unknown", ""},
        {Scalar::Int64, 5, 4, 3, 0.5, 0.5, 0.5, true, Units::Unknown, Encoding::Raw, {}, "unknown", ""},
        {Scalar::UInt64, 5, 4, 3, 4, 5, 6, true, Units::Unknown, Encoding::Gzip, {}, "unknown", ""},
        {Scalar::Float32, 5, 4, 3, 0.75, 1.5, 0.3, true, Units::Millimetre, Encoding::Raw, {}, "mm", ""},
        {Scalar::Float64, 5, 4, 3, 1.25, 1, 8, true, Units::Millimetre, Encoding::Gzip, {"x"}, "mm", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(scalarName(c.type)) + (c.enc == Encoding::Gzip ? " gzip" : " raw"));
        Volume v = volume(c.type, c.nx, c.ny, c.nz);
        v.spacing[0] = c.sx, v.spacing[1] = c.sy, v.spacing[2] = c.sz, v.hasSpacing = c.hasSpacing;
        v.units = c.units, v.comments = c.comments;
        const Bytes values = ramp(c.type, c.nx * c.ny * c.nz);
        const Encoding enc = c.enc;
        bool cut = false;
        const std::string nii = enc == Encoding::Gzip ? "v.nii.gz" : "v.nii";
        sinkTo("v.nrrd", v, values, [&](FILE *f, const Volume &vv, std::string *e) { return createNrrd(f, vv, enc, e); });
        sinkTo(nii, v, values, [&](FILE *f, const Volume &vv, std::string *e) { return createNifti(f, vv, enc, e, &cut); });

        // unu: the values in ascii, the header as teem reads it, the range.
        const Ran ascii = sh(kUnu + " save -f nrrd -e ascii -i " + path("v.nrrd"));
        ASSERT_EQ(ascii.status, 0);
        const size_t blank = ascii.out.find("\n\n");
        ASSERT_NE(blank, std::string::npos);
        const std::string header = ascii.out.substr(0, blank + 1);
        EXPECT_TRUE(parsed(ascii.out.substr(blank), c.type) == values) << "values differ as unu prints them";
        EXPECT_NE(header.find("sizes: " + std::to_string(c.nx) + " " + std::to_string(c.ny) + " " +
                              std::to_string(c.nz) + "\n"), std::string::npos) << header;
        const size_t sp = header.find("spacings: ");
        EXPECT_EQ(sp != std::string::npos, c.hasSpacing) << header;
        if (sp != std::string::npos) {
            std::istringstream s(header.substr(sp + 10));
            double x, y, z;
            s >> x >> y >> z;
            EXPECT_EQ(x, c.sx);
            EXPECT_EQ(y, c.sy);
            EXPECT_EQ(z, c.sz);
        }
        // (teem 1.12 prints per-axis units back empty and drops non-ASCII bytes from comments.)
        for (const std::string &comment : c.comments) {
            if (comment.find('\xc3') == std::string::npos) {
                EXPECT_NE(header.find("# " + comment + "\n"), std::string::npos) << header;
            }
        }
        Volume back; // so our own reader checks the units
        std::string error;
        ASSERT_TRUE(openNrrd(path("v.nrrd"), &back, &error)) << error;
        EXPECT_EQ(back.units, c.units);
        EXPECT_EQ(back.comments, c.comments);
        if (scalarBytes(c.type) <= 4 && c.type != Scalar::Float32) { // the ramp starts with the type's min and max
            double lo = 0, hi = 0, first = 0, second = 0;
            EXPECT_EQ(sscanf(sh(kUnu + " minmax " + path("v.nrrd")).out.c_str(), "min: %lf max: %lf", &lo, &hi), 2);
            EXPECT_EQ(sscanf(ascii.out.c_str() + blank, "%lf %lf", &first, &second), 2);
            EXPECT_EQ(lo, first);
            EXPECT_EQ(hi, second);
        }

        // nibabel: type, shape, zooms, units, description, values.
        if (enc == Encoding::Gzip) {
            EXPECT_EQ(sh("gzip -t " + path(nii)).status, 0);
        }
        const Ran nib = sh(kNib + " describe " + path(nii));
        ASSERT_EQ(nib.status, 0);
        EXPECT_EQ(json(nib.out, "dtype"), std::string("\"") + scalarName(c.type) + "\"");
        EXPECT_EQ(json(nib.out, "shape"), "[" + std::to_string(c.nx) + ", " + std::to_string(c.ny) + ", " +
                                              std::to_string(c.nz) + "]");
        std::istringstream zooms(json(nib.out, "zooms").substr(1));
        double zx, zy, zz;
        char comma;
        zooms >> zx >> comma >> zy >> comma >> zz;
        EXPECT_EQ(zx, c.hasSpacing ? double(float(c.sx)) : 1.0);
        EXPECT_EQ(zy, c.hasSpacing ? double(float(c.sy)) : 1.0);
        EXPECT_EQ(zz, c.hasSpacing ? double(float(c.sz)) : 1.0);
        EXPECT_EQ(json(nib.out, "units"), std::string("\"") + c.nibUnit + "\"");
        std::string joined;
        for (const std::string &s : c.comments)
            joined += (joined.empty() ? "" : "; ") + s;
        EXPECT_EQ(json(nib.out, "descrip"), "\"" + (*c.descrip ? std::string(c.descrip) : joined) + "\"");
        EXPECT_EQ(cut, *c.descrip != '\0');
        EXPECT_EQ(json(nib.out, "values"), "\"" + hex(values) + "\"");
    }
}

TEST_F(Formats, SourcesReadWhatUnuWrites)
{
    const struct {
        Scalar type;
        const char *teemType, *encoding, *endian;
        bool detached;
    } cases[] = {
        {Scalar::Int16, "short", "raw", "big", false},     {Scalar::Float32, "float", "gzip", "big", false},
        {Scalar::UInt8, "uchar", "ascii", "little", false}, {Scalar::Float64, "double", "ascii", "little", false},
        {Scalar::Int32, "int", "gzip", "little", true},     {Scalar::UInt16, "ushort", "raw", "big", true},
        {Scalar::Int64, "long long", "gzip", "little", false}, {Scalar::Int8, "signed char", "raw", "little", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.teemType) + " " + c.encoding + " " + c.endian);
        const Bytes values = ramp(c.type, 5 * 4 * 3);
        writeFile(path("in.raw"), values);
        const std::string out = path(c.detached ? "out.nhdr" : "out.nrrd");
        ASSERT_EQ(sh(kUnu + " make -i " + path("in.raw") + " -t '" + c.teemType +
                     "' -s 5 4 3 -sp 0.5 0.25 2 -en little -o " + path("made.nrrd")).status, 0);
        ASSERT_EQ(sh(kUnu + " save -f nrrd -e " + c.encoding + " -en " + c.endian + " -i " + path("made.nrrd") +
                     " -o " + out).status, 0);
        Volume v;
        std::string error;
        auto source = openNrrd(out, &v, &error);
        ASSERT_TRUE(source) << error;
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.nx * 100 + v.ny * 10 + v.nz, 543);
        EXPECT_EQ(v.bigEndian, std::string(c.endian) == "big" && std::string(c.encoding) != "ascii");
        EXPECT_TRUE(v.hasSpacing);
        EXPECT_EQ(v.spacing[0], 0.5);
        EXPECT_EQ(v.spacing[1], 0.25);
        EXPECT_EQ(v.spacing[2], 2);
        EXPECT_TRUE(v.comments.empty()) << v.comments[0];
        EXPECT_TRUE(readAll(*source, v, &error) == values) << error;
        EXPECT_FALSE(source->trailingData());
    }
}

// Detached headers made by unu that skip lines before the data, or take
// the data from the end of the file.
TEST_F(Formats, SourcesFollowUnuDataFileAndSkips)
{
    const Bytes values = ramp(Scalar::Int16, 5 * 4 * 3);
    writeFile(path("pre.raw"), "junk\nline two\n" + values);
    for (const char *skip : {"-ls 2", "-bs -1"}) {
        SCOPED_TRACE(skip);
        ASSERT_EQ(sh("cd " + dir_ + " && " + kUnu + " make -h -i pre.raw -t short -s 5 4 3 -en little " + skip +
                     " -o pre.nhdr").status, 0);
        Volume v;
        std::string error;
        auto source = openNrrd(path("pre.nhdr"), &v, &error);
        ASSERT_TRUE(source) << error;
        EXPECT_FALSE(v.hasSpacing);
        EXPECT_TRUE(readAll(*source, v, &error) == values) << error;
    }
}

TEST_F(Formats, SourcesReadWhatNibabelWrites)
{
    const struct {
        Scalar type;
        const char *dtype, *name;
        bool big;
    } cases[] = {
        {Scalar::Int16, "int16", "a.nii", false},     {Scalar::Int16, "int16", "b.nii.gz", true},
        {Scalar::Float32, "float32", "c.nii.gz", false}, {Scalar::Float32, "float32", "d.nii", true},
        {Scalar::UInt8, "uint8", "e.nii.gz", false},  {Scalar::Float64, "float64", "f.nii", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Ran made = sh(kNib + " write " + path(c.name) + " " + c.dtype + " 0.5 2 3.25" + (c.big ? " '>'" : ""));
        ASSERT_EQ(made.status, 0);
        Volume v;
        std::string error;
        auto source = openNifti(path(c.name), &v, &error);
        ASSERT_TRUE(source) << error;
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.bigEndian, c.big);
        EXPECT_EQ(v.nx * 100 + v.ny * 10 + v.nz, 543);
        EXPECT_EQ(v.spacing[0], 0.5);
        EXPECT_EQ(v.spacing[1], 2);
        EXPECT_EQ(v.spacing[2], 3.25);
        EXPECT_EQ(v.units, Units::Millimetre);
        ASSERT_EQ(v.comments.size(), 1u);
        EXPECT_EQ(v.comments[0], "made by nibabel");
        EXPECT_EQ(hex(readAll(*source, v, &error)) + "\n", made.out) << error;
        EXPECT_FALSE(source->trailingData());
    }
}

// Slices deflated by workers, mixed with slices through write(), give the
// same values as write() alone, for gzip, nibabel and unu.
TEST_F(Formats, ParallelGzipMatchesWrite)
{
    const Volume v = volume(Scalar::Int16, 64, 48, 9);
    const Bytes values = ramp(Scalar::Int16, 64 * 48 * 9);
    const size_t slice = values.size() / 9;
    const int groups[] = {1, 2, -1, 1, 3, -1}; // slices per chunk; -1: one slice through write()
    for (const bool nifti : {true, false}) {
        const std::string name = nifti ? "p.nii.gz" : "p.nrrd";
        FILE *f = fopen(path(name).c_str(), "wb");
        std::string error;
        auto sink = nifti ? createNifti(f, v, Encoding::Gzip, &error) : createNrrd(f, v, Encoding::Gzip, &error);
        ASSERT_TRUE(sink) << error;
        SliceDeflater deflater;
        ASSERT_TRUE(deflater.init(nifti ? 6 : 1));
        std::vector<uint8_t> out(deflater.bound(3 * slice));
        size_t z = 0;
        for (int g : groups) {
            if (g < 0) {
                ASSERT_TRUE(sink->write(values.data() + z * slice, &error)) << error;
                ++z;
                continue;
            }
            size_t size = 0;
            uint32_t crc = 0;
            ASSERT_TRUE(deflater.deflate(values.data() + z * slice, g * slice, out.data(), out.size(), &size, &crc));
            EXPECT_EQ(crc, crc32(0, reinterpret_cast<const Bytef *>(values.data() + z * slice), uInt(g * slice)));
            ASSERT_TRUE(sink->writeDeflated(out.data(), size, crc, g * slice, &error)) << error;
            z += size_t(g);
        }
        EXPECT_FALSE(sink->writeDeflated(out.data(), 0, 0, 1, &error)) << "past the volume";
        ASSERT_TRUE(sink->finish(&error)) << error;
        fclose(f);
        if (nifti) {
            EXPECT_EQ(sh("gzip -t " + path(name)).status, 0);
            EXPECT_EQ(json(sh(kNib + " describe " + path(name)).out, "values"), "\"" + hex(values) + "\"");
        } else {
            EXPECT_TRUE(sh(kUnu + " data " + path(name) + " | gzip -dc").out == values);
            EXPECT_TRUE(parsed(sh(kUnu + " save -f nrrd -e ascii -i " + path(name) + " | sed '1,/^$/d'").out,
                               Scalar::Int16) == values);
        }
    }
    std::string error;
    FILE *f = fopen(path("r.nii").c_str(), "wb");
    auto raw = createNifti(f, v, Encoding::Raw, &error);
    EXPECT_FALSE(raw->writeDeflated(reinterpret_cast<const uint8_t *>("x"), 1, 0, slice, &error));
    EXPECT_FALSE(raw->finish(&error)) << "no slices were written";
    fclose(f);
}

// Writes a small valid file of a format, to be damaged by a case.
Bytes written(bool nifti, Encoding enc, const Volume &v, bool nifti2 = false)
{
    FILE *f = tmpfile();
    std::string error;
    auto sink = nifti ? createNifti(f, v, enc, &error, nullptr, kDefaultGzipLevel, nifti2) : createNrrd(f, v, enc, &error);
    const Bytes values = ramp(v.type, v.nx * v.ny * v.nz);
    for (int64_t z = 0; z < v.nz; ++z)
        sink->write(values.data() + z * values.size() / size_t(v.nz), &error);
    sink->finish(&error);
    rewind(f);
    Bytes b;
    for (int c; (c = getc(f)) != EOF;)
        b += char(c);
    fclose(f);
    return b;
}
Bytes written2(const Volume &v)
{
    return written(true, Encoding::Raw, v, true);
}
template <class T> Bytes patched(Bytes b, size_t at, T value)
{
    std::memcpy(&b[at], &value, sizeof value);
    return b;
}

// Bytes after the volume are read past and reported, plain or gzip (after
// the last member, or a further member); an exact file reports none.
TEST_F(Formats, TrailingDataIsReported)
{
    const Volume v = volume(Scalar::Int16, 4, 3, 2);
    const Bytes nii = written(true, Encoding::Raw, v), gz = written(true, Encoding::Gzip, v);
    const Bytes nrrd = written(false, Encoding::Raw, v), nrrdGz = written(false, Encoding::Gzip, v);
    const struct {
        const char *name;
        Bytes file;
        bool trailing;
    } cases[] = {
        {"a.nii", nii, false}, {"b.nii", nii + "xy", true},   {"c.nii.gz", gz, false},
        {"d.nii.gz", gz + "junk", true}, {"e.nii.gz", gz + gzipped("more"), true}, {"f.nii.gz", gz + gzipped(""), false},
        {"g.nrrd", nrrd, false}, {"h.nrrd", nrrd + "z", true}, {"i.nrrd", nrrdGz + gzipped("z"), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(c.name), c.file);
        Volume read;
        std::string error;
        auto s = std::string(c.name).find(".nrrd") != std::string::npos ? openNrrd(path(c.name), &read, &error)
                                                      : openNifti(path(c.name), &read, &error);
        ASSERT_TRUE(s) << error;
        EXPECT_TRUE(readAll(*s, read, &error) == ramp(Scalar::Int16, 24)) << error;
        EXPECT_EQ(s->trailingData(), c.trailing);
    }
}

TEST_F(Formats, HostileFilesAreRefusedWithAReason)
{
    const Volume small = volume(Scalar::Int16, 4, 3, 2);
    const Bytes nii = written(true, Encoding::Raw, small), niiGz = written(true, Encoding::Gzip, small);
    const Bytes nii2 = written2(small);
    const Bytes huge = patched(patched(patched(nii, 42, int16_t(32767)), 44, int16_t(32767)), 46, int16_t(32767));
    Bytes badCrc = niiGz, flipped = written(true, Encoding::Gzip, volume(Scalar::UInt8, 100, 100, 100));
    badCrc[badCrc.size() - 6] ^= 1;
    flipped[flipped.size() / 2] ^= 0x55;
    const std::string nrrd = "NRRD0004\ntype: short\ndimension: 3\nsizes: 4 3 2\nendian: little\n";
    const Bytes data = ramp(Scalar::Int16, 24);
    const struct {
        const char *format; // nii, nrrd or raw (a 4 x 3 x 2 int16 volume)
        Bytes file;
        const char *reason; // in the error of the open, or else of a slice read
    } cases[] = {
        {"nii", "", "too short for a NIfTI header"},
        {"nii", patched(nii, 0, int32_t(540)), "too short for a NIfTI-2 header"},
        {"nii", patched(nii, 0, int32_t(541)), "no header size 348 or 540"},
        {"nii", patched(nii, 344, int32_t(0x0031696e)), "header/image pairs"},
        {"nii", patched(patched(nii, 40, int16_t(4)), 48, int16_t(2)), "2 volumes of 4 x 3 x 2; --volume N (0 to 1)"},
        {"nii", patched(patched(nii, 40, int16_t(5)), 50, int16_t(2)), "5-D volumes are not supported"},
        {"nii", patched(patched(nii, 40, int16_t(4)), 48, int16_t(32767)), "4-D data: 32767 volumes"},
        {"nii", patched(nii2, 4, 'x'), "no \"n+2\" magic"},
        {"nii", patched(nii2, 168, int64_t(100)), "vox_offset 100 lies inside the header"},
        {"nii", patched(nii2, 168, int64_t(1) << 40), "data end early"},
        {"nii", patched(nii2, 168, int64_t(1) << 62), "vox_offset"},
        {"nii", patched(patched(nii2, 16, int64_t(3)), 40, int64_t(1) << 40), "data end early"},
        {"nii", patched(patched(patched(nii2, 16, int64_t(3)), 24, int64_t(1) << 31), 32, int64_t(1) << 31), "too large"},
        {"nii", patched(nii2, 24, int64_t(-1)), "sizes must be positive"},
        {"nii", patched(nii, 42, int16_t(-4)), "sizes must be positive"},
        {"nii", huge, "data end early"},
        {"nii", patched(nii, 70, int16_t(32)), "datatype 32 (complex64)"},
        {"nii", patched(nii, 112, 2.0f), "scaled values"},
        {"nii", patched(patched(nii, 112, 1.0f), 116, -1024.0f), "scaled values"},
        {"nii", patched(nii, 108, NAN), "vox_offset"},
        {"nii", patched(nii, 108, 352.5f), "vox_offset"},
        {"nii", patched(nii, 108, 1e12f), "data end early"},
        {"nii", nii.substr(0, nii.size() - 1), "data end early"},
        {"nii", Bytes("\x1f\x8b\x08\x00", 4) + Bytes(60, 'x'), "gzip data"},
        {"nii", gzipped(huge), "data end early"}, // a few hundred bytes cannot inflate to a 32767^3 volume
        {"nii", badCrc, "incorrect data check"},
        {"nii", niiGz.substr(0, niiGz.size() - 3), "before their trailer"},
        {"nii", flipped, "gzip data"},
        {"nrrd", "NRRD0004\ntype: short\ndimension: 3\nsizes: 4 -3 2\nencoding: raw\n\n", "not a positive integer"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 1099511627776 1099511627776 2\nencoding: raw\n\n", "too large"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 100000 100000 100000\nencoding: raw\n\nab", "data end early"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 100000 100000 100000\nencoding: gzip\n\n" + niiGz, "data end early"},
        {"nrrd", "NRRD0004\ntype: short\ndimension: 3\nsizes: 4 3 2\nencoding: raw\n\n" + data, "no endian field"},
        {"nrrd", nrrd + "encoding: bzip2\n\n", "encoding bzip2 is not supported"},
        {"nrrd", "NRRD0004\ntype: block\ndimension: 3\nsizes: 4 3 2\nencoding: raw\n\n", "type block"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 4\nsizes: 4 3 2 2\nencoding: raw\n\n", "--volume N (0 to 1)"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 4\nsizes: 4 3 2 2\nkinds: domain list domain domain\nencoding: raw\n\n",
         "between the space axes"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 5\nsizes: 4 3 2 2 2\nencoding: raw\n\n", "5-D volumes"},
        {"nrrd", nrrd + "encoding: raw\ndata file: LIST\na.raw\n", "multi-file"},
        {"nrrd", nrrd + "encoding: raw\ndata file: missing.raw\n", "data file missing.raw"},
        {"nrrd", nrrd + "encoding: raw\nbyte skip: 1000000\n\n" + data, "data end early"},
        {"nrrd", nrrd + "encoding: raw\nbyte skip: -1\n\n" + data.substr(3), "data end early"},
        {"nrrd", nrrd + "encoding: raw\nsizes: 1 1 1\n\n" + data, "given twice"},
        {"nrrd", "NRRD0004\n" + Bytes(100000, '#'), "header line longer"},
        {"nrrd", nrrd + "encoding: gzip\n\n" + Bytes(64, 'x'), "gzip data"},
        {"nrrd", nrrd + "encoding: gzip\n\n" + niiGz.substr(0, 40) + Bytes(40, '\0'), "gzip data"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 1 1\nencoding: ascii\n\n5 300\n", "\"300\" in slice 1 is not a uint8"},
        {"nrrd", "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 4 1 2\nencoding: ascii\n\n1 2 3 4 5", "data end"},
        {"nrrd", "NRRD0009\n", "newer"},
        {"raw", data.substr(0, 10), "holds 10 bytes, not the 48 bytes of a 4 x 3 x 2 int16 volume"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.format) + ": " + c.reason);
        writeFile(path("h"), c.file);
        Volume v = small;
        std::string error;
        std::unique_ptr<SliceSource> s = std::string(c.format) == "nii"    ? openNifti(path("h"), &v, &error)
                                         : std::string(c.format) == "nrrd" ? openNrrd(path("h"), &v, &error)
                                                                           : openRaw(path("h"), small, &error);
        if (s) {
            uint64_t slice = 0, total = 0;
            ASSERT_TRUE(volumeBytes(v, &slice, &total, &error));
            ASSERT_LE(slice, uint64_t(1) << 24) << "a slice buffer sized from a hostile header";
            readAll(*s, v, &error);
        }
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    // A volume asked for that the file does not hold.
    writeFile(path("h"), patched(patched(nii, 40, int16_t(4)), 48, int16_t(2)));
    Volume v;
    std::string error;
    EXPECT_FALSE(openNifti(path("h"), &v, &error, 2));
    EXPECT_NE(error.find("--volume 2: the file holds 2 volumes (0 to 1)"), std::string::npos) << error;
}

} // namespace
