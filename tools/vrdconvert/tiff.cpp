// TIFF stacks through libtiff.
//
// Reading:
// - A regular file only (TIFF is read by seeking), through the program's own
//   I/O (see Io below: no memory mapping, so that the pages read do not stay
//   in the resident set) and without strip chopping, so that an uncompressed
//   strip is read straight into the slice in one call.
// - Two passes over the page chain: the first reads every directory and
//   checks every page before any slice is read (a page of another size,
//   type or sample count is refused naming it, before the output exists);
//   the second reads the pages in order, one directory at a time.
// - Pages: one sample, 8/16/32/64-bit unsigned or signed integers, 32/64-bit
//   floats, minisblack or miniswhite (values as stored), strips or tiles,
//   uncompressed, LZW, deflate or PackBits, with or without a predictor.
//   Reduced-resolution pages (thumbnails) are skipped with a note.
// - ImageJ writes a stack over 4 GiB as one directory whose description
//   counts the images, their values one run from the page's data on: such a
//   file is read as that many images when it holds them.
// - Every strip and tile must lie inside the file, and its stored bytes
//   must be able to hold what it announces: as many bytes uncompressed, and
//   at the most each compression can expand to otherwise; all the pages'
//   stored bytes together must fit in the file (strips that share bytes
//   would multiply what a small file can announce). libtiff's own
//   allocations are capped per open: while directories are read at twice
//   the file's size (offset arrays widened to 64 bits), while data are read
//   at the larger of that and the largest strip or tile decoded. So no size
//   a file announces sizes an allocation before it was checked against the
//   bytes that back it.
// - Spacing: x and y from XResolution and YResolution (pixels per unit), z
//   from ImageJ's "spacing="; the unit from ImageJ's "unit=" or else the
//   ResolutionUnit (inch, centimetre; none: no unit). Centimetres, inches
//   and nanometres are converted to the vrd units (mm, um).
// - An ImageDescription that is neither ImageJ's, tifffile's shape record
//   nor OME-XML becomes comments, one per line.
//
// Writing: one uncompressed strip per page, this machine's byte order, with
// the tags and first-page ImageDescription ImageJ writes for a stack
// ("ImageJ=", images, slices, unit, spacing), XResolution and YResolution
// 1/spacing with ResolutionUnit none, as ImageJ does for units other than
// inch and cm; so ImageJ and tifffile read the spacing and unit back. The
// pages' values lie one after the other, as ImageJ lays out a stack: ImageJ
// reads a stack whose description counts its images from the first page's
// offset on, ignoring the other directories, and tifffile does the same
// when the second directory does not lie between. So every directory is
// written first with its strip place left open (libtiff's deferred strile
// arrays), then each page's values are appended and its directory's strip
// place filled in. A page's directory is read back for that through a
// second, read-only descriptor of the output.
#include "tiff.h"

#include "stream.h"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrdconvert {

namespace {

// Room libtiff needs beyond the sizes above for its own fixed structures.
constexpr uint64_t kLibtiffSlack = uint64_t{16} << 20;
// An ImageDescription longer than this is not made into comments.
constexpr size_t kMaxDescription = size_t{64} << 10;

void silenceLibtiff()
{
    static const bool done = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)done;
}

// The first error libtiff reports on a handle, and the last warning (some
// refusals, such as a loop in the page chain, come as a warning and a
// failure).
struct Messages {
    std::string name; // libtiff starts many messages with the file's name
    std::string first, warning;
    void clear() { first.clear(), warning.clear(); }
    std::string line(const char *fmt, va_list args) const
    {
        char text[300];
        vsnprintf(text, sizeof text, fmt, args);
        std::string s = trim(text);
        if (!name.empty() && s.compare(0, name.size() + 2, name + ": ") == 0)
            s = s.substr(name.size() + 2);
        std::replace(s.begin(), s.end(), '\n', ' ');
        return s;
    }
};

int onError(TIFF *, void *user, const char *, const char *fmt, va_list args)
{
    auto *m = static_cast<Messages *>(user);
    if (m->first.empty())
        m->first = m->line(fmt, args);
    return 1;
}

int onWarning(TIFF *, void *user, const char *, const char *fmt, va_list args)
{
    static_cast<Messages *>(user)->warning = static_cast<Messages *>(user)->line(fmt, args);
    return 1;
}

TIFFOpenOptions *options(uint64_t limit, Messages *m)
{
    TIFFOpenOptions *o = TIFFOpenOptionsAlloc();
    if (o == nullptr)
        return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(o, tmsize_t(std::min<uint64_t>(limit, INT64_MAX)));
    TIFFOpenOptionsSetErrorHandlerExtR(o, onError, m);
    TIFFOpenOptionsSetWarningHandlerExtR(o, onWarning, m);
    return o;
}

std::string reason(const Messages &m, const char *otherwise)
{
    return !m.first.empty() ? m.first : !m.warning.empty() ? m.warning : otherwise;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

uint64_t saturatingMul(uint64_t a, uint64_t b)
{
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// ---- libtiff's input and output ----

// libtiff's I/O on descriptors without a system call per seek: the offset is
// kept here. Small reads (directories come in many pieces of a few bytes)
// are served from a cache of the file; large ones (strips) go straight into
// the caller's buffer. Writes go to the caller's descriptor at the offset.
// The output's descriptor is opened for writing only, but libtiff reads a
// directory back to fill in its strip place: the reads of an output go
// through a second, read-only descriptor of the same file.
struct Io {
    int fd = -1;           // reads
    bool ownsFd = false;
    int writeFd = -1;      // writes (the caller's), or -1
    uint64_t pos = 0, size = 0;
    std::unique_ptr<uint8_t[]> cache;
    uint64_t cacheAt = 0;
    size_t cacheLength = 0;
    bool failed = false;   // a write failed; errno then tells why
    int error = 0;

    static constexpr size_t kCache = size_t{64} << 10;
    Io() : cache(new uint8_t[kCache]) {}
    ~Io()
    {
        if (ownsFd && fd >= 0)
            close(fd);
    }

    size_t readAt(uint8_t *out, size_t n, uint64_t at)
    {
        size_t done = 0;
        while (done < n) {
            const ssize_t got = pread(fd, out + done, n - done, off_t(at + done));
            if (got <= 0)
                break;
            done += size_t(got);
        }
        return done;
    }
};

tmsize_t readProc(thandle_t h, void *buffer, tmsize_t size)
{
    Io &io = *static_cast<Io *>(h);
    auto *out = static_cast<uint8_t *>(buffer);
    const size_t n = size_t(size);
    if (io.pos > uint64_t(INT64_MAX))
        return -1;
    size_t got;
    if (n >= Io::kCache / 2) {
        got = io.readAt(out, n, io.pos);
    } else {
        if (io.pos < io.cacheAt || io.pos + n > io.cacheAt + io.cacheLength) {
            io.cacheAt = io.pos;
            io.cacheLength = io.readAt(io.cache.get(), Io::kCache, io.pos);
        }
        got = std::min<uint64_t>(n, io.cacheAt + io.cacheLength - std::min(io.pos, io.cacheAt + io.cacheLength));
        std::memcpy(out, io.cache.get() + (io.pos - io.cacheAt), got);
    }
    io.pos += got;
    return tmsize_t(got);
}

tmsize_t writeProc(thandle_t h, void *buffer, tmsize_t size)
{
    Io &io = *static_cast<Io *>(h);
    const auto *data = static_cast<const uint8_t *>(buffer);
    size_t done = 0;
    while (io.writeFd >= 0 && !io.failed && done < size_t(size)) {
        const ssize_t put = pwrite(io.writeFd, data + done, size_t(size) - done, off_t(io.pos + done));
        if (put <= 0) {
            io.failed = true;
            io.error = put < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(put);
    }
    io.cacheLength = 0;
    io.pos += done;
    io.size = std::max(io.size, io.pos);
    return tmsize_t(done);
}

toff_t seekProc(thandle_t h, toff_t offset, int whence)
{
    Io &io = *static_cast<Io *>(h);
    const uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? io.pos : io.size;
    const uint64_t to = base + offset; // libtiff passes negative steps as wrapped unsigned values
    if (to > uint64_t(INT64_MAX))
        return toff_t(-1);
    io.pos = to;
    return toff_t(to);
}

int closeProc(thandle_t)
{
    return 0; // the descriptors belong to the Io
}

toff_t sizeProc(thandle_t h)
{
    return toff_t(static_cast<Io *>(h)->size);
}

int mapProc(thandle_t, void **, toff_t *)
{
    return 0;
}

void unmapProc(thandle_t, void *, toff_t) {}

TIFF *openIo(const char *name, const char *mode, Io *io, uint64_t limit, Messages *m)
{
    TIFFOpenOptions *o = options(limit, m);
    TIFF *t = o != nullptr ? TIFFClientOpenExt(name, mode, io, readProc, writeProc, seekProc, closeProc, sizeProc,
                                               mapProc, unmapProc, o)
                           : nullptr;
    TIFFOpenOptionsFree(o);
    return t;
}

// ---- pages ----

struct Page {
    bool reduced = false; // a reduced-resolution image: skipped
    uint32_t nx = 0, ny = 0;
    Scalar type = Scalar::UInt8;
    bool tiled = false;
    uint32_t rows = 0;        // rows per strip
    uint32_t tw = 0, th = 0;  // tile size
    uint64_t segmentBytes = 0; // a strip's or tile's decoded bytes, the largest
    uint64_t stored = 0;       // the page's stored bytes
    uint64_t runAt = 0;        // uncompressed strips stored in one run from here (0: not)
};

const char *compressionName(uint16_t c)
{
    switch (c) {
    case COMPRESSION_NONE: return "none";
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
    case COMPRESSION_CCITTRLEW: return "CCITT";
    case COMPRESSION_LZW: return "LZW";
    case COMPRESSION_OJPEG:
    case COMPRESSION_JPEG: return "JPEG";
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return "deflate";
    case COMPRESSION_PACKBITS: return "PackBits";
    case COMPRESSION_JBIG: return "JBIG";
    case COMPRESSION_LZMA: return "LZMA";
    case COMPRESSION_ZSTD: return "Zstandard";
    case COMPRESSION_WEBP: return "WebP";
    case COMPRESSION_JXL: return "JPEG XL";
    case 34712: return "JPEG 2000";
    case COMPRESSION_LERC: return "LERC";
    default: return nullptr;
    }
}

// The most bytes one stored byte can decode to; 0 for a compression not read.
uint64_t expansion(uint16_t c)
{
    switch (c) {
    case COMPRESSION_NONE: return 1;
    case COMPRESSION_PACKBITS: return 64;   // 2 bytes repeat one byte 128 times
    case COMPRESSION_LZW: return 4096;      // a 9-bit code names at most a 4096-byte string
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return kDeflateMaxRatio;
    default: return 0;
    }
}

bool scalarOfSample(uint16_t format, uint16_t bits, Scalar *type)
{
    if (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_INT) {
        const bool s = format == SAMPLEFORMAT_INT;
        switch (bits) {
        case 8: *type = s ? Scalar::Int8 : Scalar::UInt8; return true;
        case 16: *type = s ? Scalar::Int16 : Scalar::UInt16; return true;
        case 32: *type = s ? Scalar::Int32 : Scalar::UInt32; return true;
        case 64: *type = s ? Scalar::Int64 : Scalar::UInt64; return true;
        default: return false;
        }
    }
    if (format == SAMPLEFORMAT_IEEEFP && (bits == 32 || bits == 64)) {
        *type = bits == 32 ? Scalar::Float32 : Scalar::Float64;
        return true;
    }
    return false;
}

const char *sampleFormatName(uint16_t format)
{
    switch (format) {
    case SAMPLEFORMAT_UINT: return "unsigned integer";
    case SAMPLEFORMAT_INT: return "signed integer";
    case SAMPLEFORMAT_IEEEFP: return "floating-point";
    case SAMPLEFORMAT_VOID: return "untyped";
    case SAMPLEFORMAT_COMPLEXINT:
    case SAMPLEFORMAT_COMPLEXIEEEFP: return "complex";
    default: return "unknown";
    }
}

const char *photometricName(uint16_t p)
{
    switch (p) {
    case PHOTOMETRIC_RGB: return "RGB";
    case PHOTOMETRIC_PALETTE: return "palette";
    case PHOTOMETRIC_MASK: return "transparency mask";
    case PHOTOMETRIC_SEPARATED: return "CMYK";
    case PHOTOMETRIC_YCBCR: return "YCbCr";
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: return "Lab";
    default: return "colour";
    }
}

// Checks the directory libtiff has read as one page of a stack.
bool inspectPage(TIFF *t, uint64_t fileSize, Page *p, std::string *why)
{
    *p = Page{};
    uint32_t subfile = 0;
    if (TIFFGetField(t, TIFFTAG_SUBFILETYPE, &subfile) == 1 && (subfile & FILETYPE_REDUCEDIMAGE) != 0) {
        p->reduced = true;
        return true;
    }
    uint16_t samples = 1, bits = 1, sampleFormat = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE,
             photometric = PHOTOMETRIC_MINISBLACK;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    if (samples != 1) {
        *why = format("%u samples per pixel; greyscale pages (one sample) only", unsigned(samples));
        return false;
    }
    if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE) {
        *why = format("%s pages are not supported; greyscale pages only", photometricName(photometric));
        return false;
    }
    if (!scalarOfSample(sampleFormat, bits, &p->type)) {
        *why = format("%u-bit %s samples are not supported (8, 16, 32 or 64-bit integers, 32 or 64-bit floats)",
                      unsigned(bits), sampleFormatName(sampleFormat));
        return false;
    }
    const uint64_t ratio = expansion(compression);
    if (ratio == 0) {
        const char *name = compressionName(compression);
        *why = name != nullptr ? format("%s compression is not supported (none, LZW, deflate, PackBits)", name)
                               : format("compression %u is not supported (none, LZW, deflate, PackBits)",
                                        unsigned(compression));
        return false;
    }
    if (TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p->nx) != 1 || TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p->ny) != 1 ||
        p->nx == 0 || p->ny == 0) {
        *why = "no width or height";
        return false;
    }
    uint32_t depth = 1;
    TIFFGetFieldDefaulted(t, TIFFTAG_IMAGEDEPTH, &depth);
    if (depth != 1) {
        *why = format("image depth %u: volumes in one page are not supported", unsigned(depth));
        return false;
    }
    const uint64_t bytes = uint64_t(scalarBytes(p->type)), rowBytes = uint64_t(p->nx) * bytes;
    uint64_t count = 0;
    p->tiled = TIFFIsTiled(t) != 0;
    if (p->tiled) {
        uint32_t tileDepth = 1;
        TIFFGetFieldDefaulted(t, TIFFTAG_TILEDEPTH, &tileDepth);
        if (TIFFGetField(t, TIFFTAG_TILEWIDTH, &p->tw) != 1 || TIFFGetField(t, TIFFTAG_TILELENGTH, &p->th) != 1 ||
            p->tw == 0 || p->th == 0 || tileDepth != 1) {
            *why = "tiles without a width, height or of a depth other than 1";
            return false;
        }
        const uint64_t across = (uint64_t(p->nx) + p->tw - 1) / p->tw, down = (uint64_t(p->ny) + p->th - 1) / p->th;
        count = saturatingMul(across, down);
        p->segmentBytes = saturatingMul(saturatingMul(p->tw, p->th), bytes);
        if (count != TIFFNumberOfTiles(t)) {
            *why = "tile count does not match the page's size";
            return false;
        }
    } else {
        uint32_t rows = UINT32_MAX;
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rows);
        if (rows == 0) {
            *why = "rows per strip 0";
            return false;
        }
        p->rows = std::min(rows, p->ny);
        count = (uint64_t(p->ny) + p->rows - 1) / p->rows;
        p->segmentBytes = saturatingMul(p->rows, rowBytes);
        if (count != TIFFNumberOfStrips(t)) {
            *why = "strip count does not match the page's size";
            return false;
        }
    }
    if (p->segmentBytes > uint64_t(INT64_MAX) || p->segmentBytes > SIZE_MAX) {
        *why = "strips or tiles too large";
        return false;
    }
    const char *kind = p->tiled ? "tile" : "strip";
    uint16_t fillOrder = FILLORDER_MSB2LSB;
    TIFFGetFieldDefaulted(t, TIFFTAG_FILLORDER, &fillOrder);
    bool run = !p->tiled && compression == COMPRESSION_NONE && fillOrder == FILLORDER_MSB2LSB;
    uint64_t first = 0;
    for (uint64_t i = 0; i < count; ++i) {
        int failed = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(t, uint32_t(i), &failed);
        const uint64_t size = failed ? 0 : TIFFGetStrileByteCountWithErr(t, uint32_t(i), &failed);
        if (failed != 0 || size == 0) {
            *why = format("%s %llu has no data", kind, (unsigned long long)i);
            return false;
        }
        if (offset > fileSize || size > fileSize - offset) {
            *why = format("%s %llu lies past the end of the file (%llu bytes at %llu; the file holds %llu)", kind,
                          (unsigned long long)i, (unsigned long long)size, (unsigned long long)offset,
                          (unsigned long long)fileSize);
            return false;
        }
        uint64_t need = p->segmentBytes;
        if (!p->tiled && i + 1 == count)
            need = saturatingMul(uint64_t(p->ny) - i * p->rows, rowBytes);
        if (saturatingMul(size, ratio) < need) {
            *why = compression == COMPRESSION_NONE
                       ? format("%s %llu holds %llu bytes; it needs %llu", kind, (unsigned long long)i,
                                (unsigned long long)size, (unsigned long long)need)
                       : format("%s %llu: %llu %s bytes cannot hold the %llu bytes it announces", kind,
                                (unsigned long long)i, (unsigned long long)size, compressionName(compression),
                                (unsigned long long)need);
            return false;
        }
        p->stored = saturatingAdd(p->stored, size);
        if (i == 0)
            first = offset;
        run = run && offset == saturatingAdd(first, saturatingMul(i, p->segmentBytes));
    }
    p->runAt = run ? first : 0;
    return true;
}

std::string describe(const Page &p)
{
    return format("%u x %u %s", unsigned(p.nx), unsigned(p.ny), scalarName(p.type));
}

// ---- metadata ----

struct UnitName {
    const char *name;
    Units units;
    double factor; // to the vrd unit
};
constexpr UnitName kUnitNames[] = {
    {"micron", Units::Micrometre, 1},     {"microns", Units::Micrometre, 1},
    {"um", Units::Micrometre, 1},         {"\xc2\xb5m", Units::Micrometre, 1},
    {"\xce\xbcm", Units::Micrometre, 1},  {"\\u00b5m", Units::Micrometre, 1},
    {"micrometer", Units::Micrometre, 1}, {"micrometers", Units::Micrometre, 1},
    {"micrometre", Units::Micrometre, 1}, {"micrometres", Units::Micrometre, 1},
    {"nm", Units::Micrometre, 1e-3},      {"nanometer", Units::Micrometre, 1e-3},
    {"nanometers", Units::Micrometre, 1e-3}, {"nanometre", Units::Micrometre, 1e-3},
    {"nanometres", Units::Micrometre, 1e-3}, {"mm", Units::Millimetre, 1},
    {"millimeter", Units::Millimetre, 1}, {"millimeters", Units::Millimetre, 1},
    {"millimetre", Units::Millimetre, 1}, {"millimetres", Units::Millimetre, 1},
    {"cm", Units::Millimetre, 10},        {"centimeter", Units::Millimetre, 10},
    {"centimeters", Units::Millimetre, 10}, {"centimetre", Units::Millimetre, 10},
    {"centimetres", Units::Millimetre, 10}, {"inch", Units::Millimetre, 25.4},
    {"inches", Units::Millimetre, 25.4},  {"in", Units::Millimetre, 25.4},
    {"m", Units::Metre, 1},               {"meter", Units::Metre, 1},
    {"meters", Units::Metre, 1},          {"metre", Units::Metre, 1},
    {"metres", Units::Metre, 1},
};

const UnitName *unitNamed(const std::string &name)
{
    const std::string n = lower(trim(name));
    for (const UnitName &u : kUnitNames)
        if (n == u.name)
            return &u;
    return nullptr;
}

// The key=value lines of an ImageJ description.
std::map<std::string, std::string> imagejKeys(const std::string &text)
{
    std::map<std::string, std::string> keys;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            keys.emplace(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
        start = end + 1;
    }
    return keys;
}

bool positiveNumber(const std::string &text, double *value)
{
    char *end = nullptr;
    const double d = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(d) || d <= 0)
        return false;
    *value = d;
    return true;
}

// Spacing, units, comments and notes from the first page's tags; the number
// of images an ImageJ description counts (left alone without one).
void readMetadata(TIFF *t, int64_t pages, Volume *v, int64_t *imagejImages)
{
    const char *text = nullptr;
    std::string description;
    if (TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &text) == 1 && text != nullptr)
        description = text;
    const bool imagej = description.compare(0, 7, "ImageJ=") == 0;
    std::map<std::string, std::string> keys;
    if (imagej) {
        keys = imagejKeys(description);
    } else if (description.compare(0, 5, "<?xml") == 0 || description.find("<OME") != std::string::npos) {
        v->notes.push_back("OME-XML metadata not kept");
    } else if (trim(description).compare(0, 9, "{\"shape\":") == 0) {
        // tifffile's record of the array's shape: nothing for a reader of pages
    } else if (description.size() > kMaxDescription) {
        v->notes.push_back(format("image description of %zu bytes not kept", description.size()));
    } else {
        size_t start = 0;
        while (start < description.size()) {
            size_t end = description.find('\n', start);
            if (end == std::string::npos)
                end = description.size();
            const std::string line = trim(description.substr(start, end - start));
            if (!line.empty())
                v->comments.push_back(line);
            start = end + 1;
        }
    }

    // Which unit the resolution counts pixels per.
    const UnitName *unit = nullptr;
    if (imagej && keys.count("unit") != 0) {
        unit = unitNamed(keys["unit"]);
        if (unit == nullptr && lower(keys["unit"]) != "pixel" && lower(keys["unit"]) != "pixels")
            v->notes.push_back(format("unit \"%s\" not known; spacing kept without units", keys["unit"].c_str()));
    } else {
        uint16_t resolutionUnit = RESUNIT_INCH;
        TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &resolutionUnit);
        unit = resolutionUnit == RESUNIT_INCH ? unitNamed("inch")
               : resolutionUnit == RESUNIT_CENTIMETER ? unitNamed("cm")
                                                      : nullptr;
    }
    const double factor = unit != nullptr ? unit->factor : 1;
    v->units = unit != nullptr ? unit->units : Units::Unknown;

    float xres = 0, yres = 0;
    const bool hasX = TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres) == 1 && std::isfinite(xres) && xres > 0;
    const bool hasY = TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres) == 1 && std::isfinite(yres) && yres > 0;
    double z = 0;
    const bool hasZ = imagej && keys.count("spacing") != 0 && positiveNumber(keys["spacing"], &z);
    v->hasSpacing = hasX || hasY || hasZ;
    v->spacing[0] = hasX ? shortestOfFloat(float(factor / double(xres))) : 1;
    v->spacing[1] = hasY ? shortestOfFloat(float(factor / double(yres))) : v->spacing[0];
    v->spacing[2] = hasZ ? shortestOfFloat(float(factor * z)) : 1;
    if (v->hasSpacing && !hasX)
        v->notes.push_back("no x or y spacing (resolution tags) given; 1 used");
    if (v->hasSpacing && !hasZ && pages > 1)
        v->notes.push_back("no slice spacing (ImageJ spacing=) given; 1 used");
    if (!v->hasSpacing)
        v->units = Units::Unknown;

    if (imagej) {
        double images = 0;
        if (keys.count("images") != 0 && positiveNumber(keys["images"], &images) && images < double(INT32_MAX))
            *imagejImages = int64_t(images);
        std::string axes;
        for (const char *k : {"channels", "frames"}) {
            double n = 0;
            if (keys.count(k) != 0 && positiveNumber(keys[k], &n) && n > 1)
                axes += format("%s%s=%s", axes.empty() ? "" : " ", k, keys[k].c_str());
        }
        if (!axes.empty())
            v->notes.push_back(format("ImageJ hyperstack (%s): its pages are read in file order as slices",
                                      axes.c_str()));
        if (keys.count("cf") != 0 || keys.count("c0") != 0)
            v->notes.push_back("ImageJ calibration function not applied: values as stored");
    }
}

// ---- reading ----

class TiffSource : public SliceSource {
public:
    TiffSource(TIFF *t, std::unique_ptr<Io> io, std::unique_ptr<Messages> messages, const Page &first, int64_t nz,
               uint64_t tileBytes, uint64_t fileSize, uint64_t runAt)
        : io_(std::move(io)), tif_(t), messages_(std::move(messages)), first_(first), nz_(nz), tile_(size_t(tileBytes)),
          fileSize_(fileSize), runAt_(runAt)
    {
    }
    ~TiffSource() override { TIFFClose(tif_); }

    bool read(void *buffer, std::string *error) override
    {
        if (slice_ >= nz_) {
            *error = "read past the last page";
            return false;
        }
        if (runAt_ != 0)
            return readRun(static_cast<uint8_t *>(buffer), error);
        Page p;
        std::string why;
        while (true) {
            if (started_) {
                messages_->clear();
                if (TIFFLastDirectory(tif_) != 0) {
                    *error = format("the pages end after page %lld", (long long)ifd_ + 1);
                    return false;
                }
                if (TIFFReadDirectory(tif_) != 1) {
                    *error = format("page %lld: %s", (long long)ifd_ + 2, reason(*messages_, "unreadable").c_str());
                    return false;
                }
                ++ifd_;
            }
            started_ = true;
            if (!inspectPage(tif_, fileSize_, &p, &why)) {
                *error = format("page %lld: %s", (long long)ifd_ + 1, why.c_str());
                return false;
            }
            if (!p.reduced)
                break;
        }
        if (p.nx != first_.nx || p.ny != first_.ny || p.type != first_.type ||
            (p.tiled && p.segmentBytes > tile_.size())) {
            *error = format("page %lld changed while read", (long long)ifd_ + 1);
            return false;
        }
        messages_->clear();
        const bool ok = p.tiled ? readTiles(p, static_cast<uint8_t *>(buffer))
                                : readStrips(p, static_cast<uint8_t *>(buffer));
        if (!ok) {
            *error = format("page %lld: %s", (long long)ifd_ + 1, reason(*messages_, "cannot decode").c_str());
            return false;
        }
        ++slice_;
        return true;
    }

    bool trailingData() override { return false; }

private:
    // Image slice_ of a one-directory ImageJ stack, straight from the file.
    bool readRun(uint8_t *out, std::string *error)
    {
        const int width = scalarBytes(first_.type);
        const uint64_t bytes = uint64_t(first_.nx) * first_.ny * width;
        errno = 0;
        if (io_->readAt(out, size_t(bytes), runAt_ + uint64_t(slice_) * bytes) != bytes) {
            *error = format("image %lld: %s", (long long)slice_ + 1,
                            errno == 0 ? "the data end early" : strerror(errno));
            return false;
        }
        if (TIFFIsByteSwapped(tif_) && width > 1)
            swapBytes(out, bytes / width, width);
        ++slice_;
        return true;
    }

    bool readStrips(const Page &p, uint8_t *out)
    {
        const uint64_t rowBytes = uint64_t(p.nx) * scalarBytes(p.type);
        for (uint32_t row = 0, strip = 0; row < p.ny; row += p.rows, ++strip) {
            const uint64_t bytes = uint64_t(std::min(p.rows, p.ny - row)) * rowBytes;
            if (TIFFReadEncodedStrip(tif_, strip, out + uint64_t(row) * rowBytes, tmsize_t(bytes)) !=
                tmsize_t(bytes))
                return false;
        }
        return true;
    }

    bool readTiles(const Page &p, uint8_t *out)
    {
        const uint64_t width = uint64_t(scalarBytes(p.type)), rowBytes = uint64_t(p.nx) * width;
        const uint64_t tileRow = uint64_t(p.tw) * width, tileBytes = tileRow * p.th;
        for (uint32_t y = 0; y < p.ny; y += std::min(p.th, p.ny - y))
            for (uint32_t x = 0; x < p.nx; x += std::min(p.tw, p.nx - x)) {
                if (TIFFReadEncodedTile(tif_, TIFFComputeTile(tif_, x, y, 0, 0), tile_.data(), tmsize_t(tileBytes)) !=
                    tmsize_t(tileBytes))
                    return false;
                const uint32_t rows = std::min(p.th, p.ny - y), cols = std::min(p.tw, p.nx - x);
                for (uint32_t r = 0; r < rows; ++r)
                    std::memcpy(out + (uint64_t(y) + r) * rowBytes + x * width, tile_.data() + r * tileRow,
                                size_t(cols * width));
            }
        return true;
    }

    std::unique_ptr<Io> io_;
    TIFF *tif_;
    std::unique_ptr<Messages> messages_;
    Page first_;
    int64_t nz_, slice_ = 0, ifd_ = 0;
    bool started_ = false;
    std::vector<uint8_t> tile_;
    uint64_t fileSize_, runAt_;
};

// ---- writing ----

// Shortest text that reads back as the same double.
std::string exactText(double d)
{
    for (int precision = 1; precision <= 17; ++precision) {
        char text[40];
        snprintf(text, sizeof text, "%.*g", precision, d);
        if (strtod(text, nullptr) == d)
            return text;
    }
    return format("%.17g", d);
}

uint16_t sampleFormatOf(Scalar s)
{
    switch (s) {
    case Scalar::Int8:
    case Scalar::Int16:
    case Scalar::Int32:
    case Scalar::Int64: return SAMPLEFORMAT_INT;
    case Scalar::Float32:
    case Scalar::Float64: return SAMPLEFORMAT_IEEEFP;
    default: return SAMPLEFORMAT_UINT;
    }
}

class TiffSink : public SliceSink {
public:
    TiffSink(const Volume &v, uint64_t sliceBytes, bool big, std::string description)
        : v_(v), sliceBytes_(sliceBytes), big_(big), description_(std::move(description))
    {
        for (int i = 0; i < 2; ++i) {
            const double s = v.spacing[i];
            resolution_[i] = v.hasSpacing && std::isfinite(s) && s > 0 ? std::min(1 / s, 1e30) : 1;
        }
    }
    ~TiffSink() override
    {
        // A run that failed has closed the file already: libtiff's flush
        // on cleanup must find nothing to write to.
        out_.writeFd = -1;
        if (tif_ != nullptr)
            TIFFCleanup(tif_);
    }

    bool setTags(int64_t page)
    {
        TIFF *t = tif_;
        bool ok = TIFFSetField(t, TIFFTAG_SUBFILETYPE, uint32_t(0)) == 1 &&
                  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(v_.nx)) == 1 &&
                  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(v_.ny)) == 1 &&
                  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8 * scalarBytes(v_.type))) == 1 &&
                  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1)) == 1 &&
                  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, sampleFormatOf(v_.type)) == 1 &&
                  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISBLACK)) == 1 &&
                  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) == 1 &&
                  TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_NONE)) == 1 &&
                  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(v_.ny)) == 1 &&
                  TIFFSetField(t, TIFFTAG_XRESOLUTION, resolution_[0]) == 1 &&
                  TIFFSetField(t, TIFFTAG_YRESOLUTION, resolution_[1]) == 1 &&
                  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_NONE)) == 1;
        if (ok && page == 0)
            ok = TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description_.c_str()) == 1 &&
                 TIFFSetField(t, TIFFTAG_SOFTWARE, "vrdconvert") == 1;
        return ok;
    }

    bool start(FILE *file, std::string *error) override
    {
        if (file_ != nullptr) {
            *error = "the output was started already";
            return false;
        }
        struct stat st;
        if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "TIFF output needs a regular file (it is written by seeking)";
            return false;
        }
        // The FILE* itself stays untouched (and empty): libtiff writes at
        // offsets through its descriptor.
        file_ = file;
        out_.writeFd = fileno(file);
        out_.size = uint64_t(st.st_size);
        out_.fd = open(format("/proc/self/fd/%d", fileno(file)).c_str(), O_RDONLY | O_CLOEXEC);
        out_.ownsFd = true;
        if (out_.fd < 0) {
            *error = format("cannot read the output back: %s", strerror(errno));
            return false;
        }
        tif_ = openIo("output", big_ ? "w8" : "w", &out_, kLibtiffSlack, &messages_);
        if (tif_ == nullptr) {
            *error = reason(messages_, "cannot start the TIFF file");
            return false;
        }
        // Every page's directory first, its strip place left open.
        for (int64_t k = 0; k < v_.nz; ++k)
            if (!setTags(k) || TIFFDeferStrileArrayWriting(tif_) != 1 || TIFFWriteCheck(tif_, 0, "vrdconvert") != 1 ||
                TIFFWriteDirectory(tif_) != 1) {
                *error = format("page %lld: %s", (long long)k + 1, failure("cannot write its directory").c_str());
                return false;
            }
        return true;
    }

    bool write(const void *values, std::string *error) override
    {
        if (tif_ == nullptr) {
            *error = "the output was not started";
            return false;
        }
        if (page_ >= v_.nz) {
            *error = "more data than the volume holds";
            return false;
        }
        messages_.clear();
        // The page's directory again, its values appended to the file (so
        // right after the previous page's), and its strip place filled in.
        // The values are written as they are: the file is in this machine's
        // byte order.
        const bool ok = (page_ == 0 ? TIFFSetDirectory(tif_, 0) : TIFFReadDirectory(tif_)) == 1 &&
                        TIFFWriteRawStrip(tif_, 0, const_cast<void *>(values), tmsize_t(sliceBytes_)) ==
                            tmsize_t(sliceBytes_) &&
                        TIFFForceStrileArrayWriting(tif_) == 1;
        if (!ok) {
            *error = format("page %lld: %s", (long long)page_ + 1, failure("cannot write").c_str());
            return false;
        }
        ++page_;
        return true;
    }

    bool writeDeflated(const uint8_t *, size_t, uint32_t, uint64_t, std::string *error) override
    {
        *error = "TIFF output takes plain slices";
        return false;
    }

    bool finish(std::string *error) override
    {
        if (tif_ == nullptr) {
            *error = "the output was not started";
            return false;
        }
        messages_.clear();
        const bool flushed = TIFFFlush(tif_) == 1;
        TIFFCleanup(tif_);
        tif_ = nullptr;
        if (!flushed || out_.failed) {
            *error = failure("cannot finish the file");
            return false;
        }
        if (page_ != v_.nz) {
            *error = format("only %lld of the volume's %lld pages were written", (long long)page_, (long long)v_.nz);
            return false;
        }
        return true;
    }

private:
    Volume v_;
    uint64_t sliceBytes_;
    bool big_;
    std::string description_;
    double resolution_[2] = {1, 1};
    // A write error names the system's reason before libtiff's.
    std::string failure(const char *otherwise) const
    {
        return out_.failed ? format("write error: %s", strerror(out_.error)) : reason(messages_, otherwise);
    }

    FILE *file_ = nullptr;
    Io out_;
    Messages messages_;
    TIFF *tif_ = nullptr;
    int64_t page_ = 0;
};

} // namespace

std::unique_ptr<SliceSource> openTiff(const std::string &path, Volume *v, std::string *error)
{
    silenceLibtiff();
    *v = Volume{};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = format("cannot open: %s", strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? "is a directory" : "TIFF input must be a regular file (it is read by seeking)";
        close(fd);
        return nullptr;
    }
    const uint64_t fileSize = uint64_t(st.st_size);
    auto messages = std::make_unique<Messages>();
    messages->name = path;
    auto io = std::make_unique<Io>();
    io->fd = fd, io->ownsFd = true, io->size = fileSize;

    // Pass 1: every directory, checked; nothing of the data is read.
    Io scanIo;
    scanIo.fd = fd, scanIo.size = fileSize;
    TIFF *scan = openIo(path.c_str(), "rc", &scanIo, saturatingAdd(saturatingMul(fileSize, 2), kLibtiffSlack),
                        messages.get());
    if (scan == nullptr) {
        *error = reason(*messages, "not a TIFF file");
        return nullptr;
    }
    Page first, p;
    int64_t ifd = 0, firstIfd = 0, pages = 0, reduced = 0;
    uint64_t stored = 0, largestSegment = 0, tileBytes = 0;
    std::string why;
    bool ok = true;
    while (ok) {
        if (!inspectPage(scan, fileSize, &p, &why)) {
            *error = format("page %lld: %s", (long long)ifd + 1, why.c_str());
            ok = false;
            break;
        }
        if (p.reduced) {
            ++reduced;
        } else {
            if (pages == 0) {
                first = p;
                firstIfd = ifd;
            } else if (p.nx != first.nx || p.ny != first.ny || p.type != first.type) {
                *error = format("page %lld is %s, page 1 is %s: the pages of a stack must share one size and type",
                                (long long)ifd + 1, describe(p).c_str(), describe(first).c_str());
                ok = false;
                break;
            }
            ++pages;
            stored = saturatingAdd(stored, p.stored);
            largestSegment = std::max(largestSegment, p.segmentBytes);
            if (p.tiled)
                tileBytes = std::max(tileBytes, p.segmentBytes);
            if (stored > fileSize) {
                *error = format("page %lld: the pages' data add up to more than the file's %llu bytes",
                                (long long)ifd + 1, (unsigned long long)fileSize);
                ok = false;
                break;
            }
        }
        if (TIFFLastDirectory(scan) != 0)
            break;
        messages->clear();
        if (TIFFReadDirectory(scan) != 1) {
            *error = format("page %lld: %s", (long long)ifd + 2, reason(*messages, "unreadable directory").c_str());
            ok = false;
            break;
        }
        if (++ifd >= INT32_MAX) {
            *error = "more pages than this program reads";
            ok = false;
        }
    }
    if (ok && pages == 0) {
        *error = "no full-resolution page";
        ok = false;
    }
    // Spacing, units and comments from the first full page.
    if (ok && !TIFFSetDirectory(scan, tdir_t(firstIfd))) {
        *error = reason(*messages, "cannot go back to the first page");
        ok = false;
    }
    // ImageJ writes a stack over 4 GiB as one directory whose page's values
    // the other images' follow: its description counts them.
    int64_t images = 0;
    uint64_t runAt = 0;
    if (ok) {
        const uint64_t pageBytes = uint64_t(first.nx) * first.ny * scalarBytes(first.type);
        readMetadata(scan, pages, v, &images);
        v->bigEndian = TIFFIsBigEndian(scan) != 0;
        if (pages == 1 && images > 1 && first.runAt != 0 && first.runAt <= fileSize &&
            saturatingMul(pageBytes, uint64_t(images)) <= fileSize - first.runAt) {
            runAt = first.runAt;
            pages = images;
        } else if (images > 0 && images != pages) {
            v->notes.push_back(format("the ImageJ description counts %lld images, the file has %lld pages",
                                      (long long)images, (long long)pages));
        }
    }
    TIFFClose(scan);
    if (!ok)
        return nullptr;

    // Pass 2's handle: decoded strips and tiles were checked against their bytes.
    messages->clear();
    TIFF *data = openIo(path.c_str(), "rc", io.get(),
                        saturatingAdd(std::max(saturatingMul(fileSize, 2), largestSegment), kLibtiffSlack),
                        messages.get());
    if (data == nullptr) {
        *error = reason(*messages, "cannot open again");
        return nullptr;
    }
    v->nx = first.nx;
    v->ny = first.ny;
    v->nz = pages;
    v->type = first.type;
    if (reduced > 0)
        v->notes.push_back(format("%lld reduced-resolution page%s skipped", (long long)reduced, reduced > 1 ? "s" : ""));
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(*v, &slice, &total, error)) {
        TIFFClose(data);
        return nullptr;
    }
    return std::make_unique<TiffSource>(data, std::move(io), std::move(messages), first, pages, tileBytes, fileSize,
                                        runAt);
}

std::unique_ptr<SliceSink> createTiff(FILE *file, const Volume &v, std::string *error,
                                      std::vector<std::string> *notes, uint64_t bigTiffFrom)
{
    silenceLibtiff();
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(v, &slice, &total, error))
        return nullptr;
    if (v.nx > UINT32_MAX || v.ny > UINT32_MAX) {
        *error = format("pages of %lld x %lld pixels are larger than TIFF holds", (long long)v.nx, (long long)v.ny);
        return nullptr;
    }
    std::string description = "ImageJ=1.11a\n";
    if (v.nz > 1)
        description += format("images=%lld\nslices=%lld\n", (long long)v.nz, (long long)v.nz);
    const char *unit = v.units == Units::Micrometre   ? "micron"
                       : v.units == Units::Millimetre ? "mm"
                       : v.units == Units::Metre      ? "m"
                                                      : nullptr;
    if (unit != nullptr && v.hasSpacing)
        description += format("unit=%s\n", unit);
    if (v.hasSpacing && std::isfinite(v.spacing[2]) && v.spacing[2] > 0)
        description += "spacing=" + exactText(v.spacing[2]) + "\n";
    description += "loop=false\n";

    // Each page costs its directory (under 300 bytes) beside its data.
    const uint64_t size = saturatingAdd(saturatingAdd(total, saturatingMul(uint64_t(v.nz), 300)),
                                        description.size() + 4096);
    const bool big = size >= bigTiffFrom;
    if (notes != nullptr) {
        if (big)
            notes->push_back("written as BigTIFF (the stack is over 4 GiB)");
        if (!v.comments.empty())
            notes->push_back(format("%zu comment%s not kept", v.comments.size(), v.comments.size() > 1 ? "s" : ""));
    }
    auto sink = std::make_unique<TiffSink>(v, slice, big, description);
    if (file != nullptr && !sink->start(file, error))
        return nullptr;
    return sink;
}

} // namespace vrdconvert
