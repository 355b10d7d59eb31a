// NIfTI-1 single files ("n+1"), plain or gzip-compressed.
//
// The 348-byte header is decoded here by offset rather than through a NIfTI
// library: the ones Debian ships read a whole volume into memory, and this
// reader must stay at one slice.
//
// Reading:
// - Byte order from sizeof_hdr (348 either way round); gzip from the magic
//   bytes. NIfTI-2 (540) and header/image pairs ("ni1") are refused by name.
// - datatype one of the ten integer and float types, bitpix its width.
// - dim[0] 2 (one slice) or 3; larger dim[0] only when every size past z is
//   1. 1-D data and any size below 1 are refused.
// - Scaling: a slope of 0 or one that is not finite (nibabel writes NaN)
//   means none, as nibabel reads it; any other slope than 1, or an offset
//   other than 0 beside a slope, is refused, since the stored values would
//   not be the values a user sees. A non-finite offset counts as 0.
// - vox_offset must be a whole number of bytes, at least 348; 0 stands for
//   352, as nibabel reads it. Extensions between header and data are skipped.
// - Spacing is pixdim[1..3] as stored (z only when dim[0] >= 3), units from
//   xyzt_units & 7, the description becomes one comment. Orientation, intent,
//   display range, aux_file and extensions are not kept and said so in notes.
//
// Writing:
// - This machine's byte order, dim[0] 3, vox_offset 352, 4 zero extension
//   bytes, scl_slope 1 and scl_inter 0 (values as stored), pixdim[0] 1.
// - qform_code and sform_code 0: a vrd volume carries no orientation, so the
//   file claims none and readers place voxels by pixdim alone ("method 1");
//   nibabel reports the zooms from pixdim.
// - The description is the comments joined with "; ", cut to 79 bytes (not
//   inside a UTF-8 sequence) with the caller told.
// - Sizes above 32767 cannot be stored in NIfTI-1 and are refused.
#include "stream.h"

#include <cmath>
#include <cstring>

namespace vrdconvert {

namespace {

constexpr size_t kHeaderSize = 348;
constexpr uint64_t kDataOffset = 352;

struct Code {
    int code;
    Scalar type;
};
constexpr Code kTypes[] = {
    {2, Scalar::UInt8},    {4, Scalar::Int16},   {8, Scalar::Int32},    {16, Scalar::Float32},
    {64, Scalar::Float64}, {256, Scalar::Int8},  {512, Scalar::UInt16}, {768, Scalar::UInt32},
    {1024, Scalar::Int64}, {1280, Scalar::UInt64},
};

const char *unsupportedTypeName(int code)
{
    switch (code) {
    case 1: return "binary";
    case 32: return "complex64";
    case 128: return "RGB24";
    case 1536: return "float128";
    case 1792: return "complex128";
    case 2048: return "complex256";
    case 2304: return "RGBA32";
    default: return "unknown";
    }
}

// The header's fields in the file's byte order.
class Fields {
public:
    Fields(const uint8_t *h, bool swap) : h_(h), swap_(swap) {}
    int32_t i32(size_t at) const { return get<int32_t>(at); }
    int16_t i16(size_t at) const { return get<int16_t>(at); }
    float f32(size_t at) const { return get<float>(at); }

private:
    template <class T> T get(size_t at) const
    {
        T value;
        std::memcpy(&value, h_ + at, sizeof value);
        if (swap_)
            swapBytes(&value, 1, sizeof value);
        return value;
    }
    const uint8_t *h_;
    bool swap_;
};

int32_t headerSize(const uint8_t *h, bool swap)
{
    return Fields(h, swap).i32(0);
}

std::string fixedString(const uint8_t *p, size_t size)
{
    return trim(std::string(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), size)));
}

bool decodeHeader(const uint8_t *h, Volume *v, uint64_t *voxOffset, std::string *error)
{
    bool swap = false;
    if (headerSize(h, true) == int32_t(kHeaderSize))
        swap = true;
    else if (headerSize(h, false) != int32_t(kHeaderSize)) {
        if (headerSize(h, false) == 540 || headerSize(h, true) == 540)
            *error = "NIfTI-2 files are not supported";
        else
            *error = "not a NIfTI-1 file (no header size 348)";
        return false;
    }
    const Fields f(h, swap);
    v->bigEndian = kHostBigEndian != swap;
    if (std::memcmp(h + 344, "ni1", 4) == 0) {
        *error = "NIfTI-1 header/image pairs (\"ni1\", .hdr with .img) are not supported";
        return false;
    }
    if (std::memcmp(h + 344, "n+1", 4) != 0) {
        *error = "not a NIfTI-1 single file (no \"n+1\" magic)";
        return false;
    }

    int16_t dim[8];
    for (int i = 0; i < 8; ++i)
        dim[i] = f.i16(40 + 2 * i);
    if (dim[0] < 1 || dim[0] > 7) {
        *error = format("dim[0] is %d, not 1 to 7", dim[0]);
        return false;
    }
    if (dim[0] == 1) {
        *error = "1-D data are not supported";
        return false;
    }
    for (int i = 1; i <= dim[0]; ++i)
        if (dim[i] < 1) {
            *error = format("dim[%d] is %d: sizes must be positive", i, dim[i]);
            return false;
        }
    for (int i = dim[0]; i >= 4; --i)
        if (dim[i] != 1) {
            *error = format("%d-D volumes are not supported", i);
            return false;
        }
    v->nx = dim[1];
    v->ny = dim[2];
    v->nz = dim[0] >= 3 ? dim[3] : 1;

    const int datatype = f.i16(70);
    bool known = false;
    for (const Code &c : kTypes)
        if (c.code == datatype) {
            v->type = c.type;
            known = true;
        }
    if (!known) {
        *error = format("datatype %d (%s) is not supported", datatype, unsupportedTypeName(datatype));
        return false;
    }
    // A reader that sizes voxels by bitpix would read another volume from the same bytes.
    const int bitpix = f.i16(72);
    if (bitpix != 8 * scalarBytes(v->type)) {
        *error = format("bitpix %d does not agree with datatype %d (%s, %d bits)", bitpix, datatype,
                        scalarName(v->type), 8 * scalarBytes(v->type));
        return false;
    }

    const float slope = f.f32(112), inter = f.f32(116);
    if (std::isfinite(slope) && slope != 0) {
        const float offset = std::isfinite(inter) ? inter : 0;
        if (slope != 1 || offset != 0) {
            *error = format("scaled values (scl_slope %g, scl_inter %g) are not supported", slope, inter);
            return false;
        }
    }

    const float vox = f.f32(108);
    if (!std::isfinite(vox) || vox < 0 || vox != std::floor(vox) || vox > 1e15f) {
        *error = format("vox_offset %g is not a byte offset", vox);
        return false;
    }
    if (vox != 0 && vox < float(kHeaderSize)) {
        *error = format("vox_offset %g lies inside the header", vox);
        return false;
    }
    *voxOffset = vox == 0 ? kDataOffset : uint64_t(vox);

    for (int i = 0; i < 3; ++i)
        v->spacing[i] = i < dim[0] ? f.f32(80 + 4 * i) : 1;
    v->hasSpacing = true;
    switch (h[123] & 7) {
    case 1: v->units = Units::Metre; break;
    case 2: v->units = Units::Millimetre; break;
    case 3: v->units = Units::Micrometre; break;
    default: v->units = Units::Unknown; break;
    }

    const std::string description = fixedString(h + 148, 80);
    if (!description.empty())
        v->comments.push_back(description);
    if (f.i16(252) > 0 || f.i16(254) > 0)
        v->notes.push_back("orientation (qform/sform) not kept");
    if (f.i16(68) != 0)
        v->notes.push_back(format("intent code %d not kept", f.i16(68)));
    if (f.f32(124) != 0 || f.f32(128) != 0)
        v->notes.push_back("display range (cal_min/cal_max) not kept");
    if (!fixedString(h + 228, 24).empty())
        v->notes.push_back("aux_file not kept");
    return true;
}

template <class T> void put(uint8_t *h, size_t at, T value)
{
    std::memcpy(h + at, &value, sizeof value);
}

int datatypeCode(Scalar type)
{
    for (const Code &c : kTypes)
        if (c.type == type)
            return c.code;
    return 0;
}

// The comments joined with "; ", at most max bytes, never ending inside a
// UTF-8 sequence; cut is set when something was left out.
std::string description(const std::vector<std::string> &comments, size_t max, bool *cut)
{
    std::string joined;
    for (const std::string &c : comments) {
        if (!joined.empty())
            joined += "; ";
        joined += c;
    }
    for (char &c : joined)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    *cut = joined.size() > max;
    if (*cut) {
        size_t end = max;
        while (end > 0 && (uint8_t(joined[end]) & 0xc0) == 0x80)
            --end; // joined[end] would start the next character: cut before a continuation byte
        joined.resize(end);
    }
    return joined;
}

} // namespace

std::unique_ptr<SliceSource> openNifti(const std::string &path, Volume *v, std::string *error)
{
    auto in = std::make_unique<InputStream>();
    if (!in->open(path, error))
        return nullptr;
    const bool gzip = in->gzipAhead();
    if (!in->startData(gzip, error))
        return nullptr;
    uint8_t h[kHeaderSize + 4] = {};
    size_t got = 0;
    if (!in->read(h, kHeaderSize, &got, error))
        return nullptr;
    if (got < kHeaderSize) {
        *error = got >= 4 && (headerSize(h, false) == 540 || headerSize(h, true) == 540)
                     ? "NIfTI-2 files are not supported"
                     : format("%zu bytes are too short for a NIfTI-1 header", got);
        return nullptr;
    }
    *v = Volume{};
    uint64_t voxOffset = 0, slice = 0, total = 0;
    if (!decodeHeader(h, v, &voxOffset, error) || !volumeBytes(*v, &slice, &total, error))
        return nullptr;
    if (!(gzip ? checkDataFits(*in, 0, true, voxOffset, total, error)
               : checkDataFits(*in, voxOffset, false, 0, total, error)))
        return nullptr;
    uint64_t at = kHeaderSize;
    if (voxOffset >= kDataOffset) {
        if (!in->read(h + kHeaderSize, 4, &got, error))
            return nullptr;
        if (got == 4 && h[kHeaderSize] != 0)
            v->notes.push_back("header extensions not kept");
        at += got;
    }
    if (voxOffset > at && !in->skip(voxOffset - at, error)) {
        *error = "data end before vox_offset";
        return nullptr;
    }
    return makeBinarySource(std::move(in), *v);
}

std::unique_ptr<SliceSink> createNifti(FILE *file, const Volume &v, Encoding encoding, std::string *error,
                                       bool *descriptionCut, int gzipLevel)
{
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(v, &slice, &total, error))
        return nullptr;
    const int64_t sizes[3] = {v.nx, v.ny, v.nz};
    for (int i = 0; i < 3; ++i)
        if (sizes[i] > 32767) {
            *error = format("NIfTI-1 holds at most 32767 voxels along an axis, %c has %lld", "xyz"[i],
                            (long long)sizes[i]);
            return nullptr;
        }

    std::string header(kDataOffset, '\0');
    auto *h = reinterpret_cast<uint8_t *>(&header[0]);
    put<int32_t>(h, 0, int32_t(kHeaderSize));
    h[38] = 'r';
    const int16_t dim[8] = {3, int16_t(v.nx), int16_t(v.ny), int16_t(v.nz), 1, 1, 1, 1};
    for (int i = 0; i < 8; ++i)
        put<int16_t>(h, 40 + 2 * i, dim[i]);
    put<int16_t>(h, 70, int16_t(datatypeCode(v.type)));
    put<int16_t>(h, 72, int16_t(8 * scalarBytes(v.type)));
    for (int i = 0; i < 8; ++i)
        put<float>(h, 76 + 4 * i, i >= 1 && i <= 3 && v.hasSpacing ? float(v.spacing[i - 1]) : 1.0f);
    put<float>(h, 108, float(kDataOffset));
    put<float>(h, 112, 1.0f);
    switch (v.units) {
    case Units::Metre: h[123] = 1; break;
    case Units::Millimetre: h[123] = 2; break;
    case Units::Micrometre: h[123] = 3; break;
    case Units::Unknown: break;
    }
    bool cut = false;
    const std::string text = description(v.comments, 79, &cut);
    std::memcpy(h + 148, text.data(), text.size());
    if (descriptionCut != nullptr)
        *descriptionCut = cut;
    std::memcpy(h + 344, "n+1", 4);
    return makeSink(file, v, encoding, gzipLevel, std::string(), header, error);
}

} // namespace vrdconvert
