#include "options.h"

#include "mapping.h"
#include "run.h"
#include "stream.h"

#include <vrd/vrd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

namespace vrdconvert {

namespace {

struct Suffix {
    const char *text;
    Format format;
};
// Longest first, so that ".nii.gz" is not taken for some ".gz".
constexpr Suffix kSuffixes[] = {
    {".nii.gz", Format::NiftiGz}, {".nrrd", Format::Nrrd}, {".nhdr", Format::Nhdr},
    {".nii", Format::Nifti},      {".vrd", Format::Vrd},   {".raw", Format::Raw},
    {".tiff", Format::Tiff},      {".tif", Format::Tiff},
};

int64_t sizeArgument(const char *text, const char *name)
{
    char *end = nullptr;
    errno = 0;
    const long long value = text[0] >= '0' && text[0] <= '9' ? strtoll(text, &end, 10) : 0;
    if (end == nullptr || *end != '\0' || errno != 0 || value < 1 || value > INT32_MAX)
        vrdtool::refuse(name, "\"%s\" is not a size from 1 to %d", text, INT32_MAX);
    return value;
}

} // namespace

bool formatOf(const std::string &path, Format *format)
{
    const std::string name = lower(path);
    for (const Suffix &s : kSuffixes) {
        const size_t n = strlen(s.text);
        if (name.size() > n && name.compare(name.size() - n, n, s.text) == 0) {
            *format = s.format;
            return true;
        }
    }
    return false;
}

const char *formatName(Format f)
{
    switch (f) {
    case Format::Vrd: return "a vrd file";
    case Format::Nrrd: return "an NRRD file";
    case Format::Nhdr: return "a detached NRRD header";
    case Format::Nifti: return "a NIfTI file";
    case Format::NiftiGz: return "a NIfTI file";
    case Format::Raw: return "a raw file";
    case Format::Tiff: return "a TIFF file";
    case Format::Dicom: return "a DICOM series";
    }
    return "the output";
}

Options parseOptions(int argc, char **argv)
{
    Options o;
    const char *files[2] = {nullptr, nullptr};
    int fileCount = 0;
    bool sizeGiven = false, typeGiven = false, endianGiven = false, compressionGiven = false,
         encodingGiven = false, dicomGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        auto value = [&](int n) {
            if (i + n >= argc)
                vrdtool::refuse(a, "needs %d value%s", n, n > 1 ? "s" : "");
        };
        if (strcmp(a, "--raw") == 0 || strcmp(a, "--zlib") == 0) {
            const int32_t c = a[2] == 'r' ? vrdCompNone : vrdCompZlib;
            if (compressionGiven && c != o.vrdCompression)
                vrdtool::refuse(a, "--raw and --zlib exclude each other");
            o.vrdCompression = c;
            compressionGiven = true;
        } else if (strcmp(a, "--encoding") == 0) {
            value(1);
            const char *e = argv[++i];
            if (strcmp(e, "raw") == 0)
                o.encoding = Encoding::Raw;
            else if (strcmp(e, "gzip") == 0)
                o.encoding = Encoding::Gzip;
            else
                vrdtool::refuse(a, "\"%s\" is not raw or gzip", e);
            encodingGiven = true;
        } else if (strcmp(a, "--uniform") == 0) {
            o.uniform = true;
        } else if (strcmp(a, "--data-anywhere") == 0) {
            o.dataAnywhere = true;
        } else if (strcmp(a, "--nifti2") == 0) {
            o.nifti2 = true;
        } else if (strcmp(a, "--volume") == 0) {
            value(1);
            const char *n = argv[++i];
            char *end = nullptr;
            errno = 0;
            const long long v = n[0] >= '0' && n[0] <= '9' ? strtoll(n, &end, 10) : -1;
            if (end == nullptr || *end != '\0' || errno != 0 || v < 0)
                vrdtool::refuse(a, "\"%s\" is not a volume number (0 for the first)", n);
            o.volume = v;
        } else if (strcmp(a, "--size") == 0) {
            value(3);
            o.raw.nx = sizeArgument(argv[++i], a);
            o.raw.ny = sizeArgument(argv[++i], a);
            o.raw.nz = sizeArgument(argv[++i], a);
            sizeGiven = true;
        } else if (strcmp(a, "--type") == 0) {
            value(1);
            const char *t = argv[++i];
            if (!rawTypeFromName(t, &o.raw.type, &o.rawDtype))
                vrdtool::refuse(a, "unknown type \"%s\" (int8, uint8, int16, uint16, int32, uint32, int64, uint64, "
                                   "float32, float64, or a vrd type: uchar, char, uint12, intHU, float, double)",
                                t);
            typeGiven = true;
        } else if (strcmp(a, "--endian") == 0) {
            value(1);
            const char *e = argv[++i];
            if (strcmp(e, "big") != 0 && strcmp(e, "little") != 0)
                vrdtool::refuse(a, "\"%s\" is not big or little", e);
            o.raw.bigEndian = strcmp(e, "big") == 0;
            endianGiven = true;
        } else if (strcmp(a, "--series") == 0) {
            value(1);
            o.dicom.series = argv[++i];
            dicomGiven = true;
        } else if (strcmp(a, "--keep-tags") == 0) {
            o.dicom.keepTags = true;
            dicomGiven = true;
        } else if (a[0] == '-' && a[1] == '-') {
            vrdtool::refuse(a, "unknown option (see vrdconvert --help)");
        } else {
            if (fileCount == 2)
                vrdtool::refuse(a, "one input and one output only (see vrdconvert --help)");
            files[fileCount++] = a;
        }
    }
    if (fileCount < 2)
        vrdtool::refuse("usage", "vrdconvert [options] IN OUT (see vrdconvert --help)");
    o.in = files[0];
    o.out = files[1];
    const char *known = "known names end in .vrd, .nrrd, .nhdr (input), .nii, .nii.gz, .tif, .tiff or .raw";
    struct stat st{};
    if (stat(o.in, &st) == 0 && S_ISDIR(st.st_mode))
        o.inFormat = Format::Dicom;
    else if (!formatOf(o.in, &o.inFormat))
        vrdtool::refuse(o.in, "unknown format: %s; a folder is read as a DICOM series", known);
    if (dicomGiven && o.inFormat != Format::Dicom)
        vrdtool::refuse(o.in, "--series and --keep-tags apply to a DICOM series (a folder) only");
    if (!formatOf(o.out, &o.outFormat))
        vrdtool::refuse(o.out, "unknown format: %s", known);
    if (o.outFormat == Format::Nhdr)
        vrdtool::refuse(o.out, "detached NRRD headers are read, not written; name the output .nrrd");

    if (o.inFormat == Format::Raw) {
        if (!sizeGiven || !typeGiven)
            vrdtool::refuse(o.in, "raw input needs --size NX NY NZ and --type TYPE");
        if (!endianGiven)
            o.raw.bigEndian = kHostBigEndian;
    } else if (sizeGiven || typeGiven || endianGiven) {
        vrdtool::refuse(o.in, "--size, --type and --endian describe raw input only");
    }
    if (o.dataAnywhere && o.inFormat != Format::Nhdr && o.inFormat != Format::Nrrd)
        vrdtool::refuse(o.in, "--data-anywhere applies to NRRD input only");
    if (compressionGiven && o.outFormat != Format::Vrd)
        vrdtool::refuse(o.out, "--raw and --zlib apply to vrd output only");
    if (o.volume >= 0 && o.inFormat != Format::Nifti && o.inFormat != Format::NiftiGz &&
        o.inFormat != Format::Nrrd && o.inFormat != Format::Nhdr)
        vrdtool::refuse(o.in, "--volume applies to NIfTI and NRRD input only");
    if (o.nifti2 && o.outFormat != Format::Nifti && o.outFormat != Format::NiftiGz)
        vrdtool::refuse(o.out, "--nifti2 applies to NIfTI output only");
    if (encodingGiven && o.outFormat != Format::Nrrd)
        vrdtool::refuse(o.out, "--encoding applies to NRRD output only");
    if (!compressionGiven)
        o.vrdCompression = vrdCompZlib;
    if (o.outFormat == Format::NiftiGz)
        o.encoding = Encoding::Gzip;
    else if (o.outFormat == Format::Nifti || o.outFormat == Format::Raw || o.outFormat == Format::Tiff)
        o.encoding = Encoding::Raw;
    return o;
}

} // namespace vrdconvert
