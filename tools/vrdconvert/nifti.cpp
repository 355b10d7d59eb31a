// NIfTI-1 ("n+1", 348-byte header) and NIfTI-2 ("n+2", 540-byte header)
// single files, plain or gzip-compressed.
//
// The header records, their byte swapping and the quaternion arithmetic of
// the qform come from NIfTI's own C library (nifti2_io); the bytes are read
// and written here, on the program's streams: the library's readers and
// writers open files by name and own the stream, which would lose reading
// from a pipe, the measured refusal of files too short for their volume and
// the gzip member deflated on all threads.
//
// Reading:
// - Version and byte order from sizeof_hdr (348 or 540 either way round);
//   gzip from the magic bytes. Header/image pairs ("ni1", "ni2") are refused.
// - datatype one of the ten integer and float types, bitpix its width.
// - dim[0] 2 (one slice) to 7; sizes past the fourth must be 1. A fourth
//   size above 1 makes a 4-D file: one 3-D volume is read (--volume), the
//   ones before it skipped, the ones after it read past so that a gzip
//   stream is checked to its end. 1-D data and any size below 1 are refused.
// - Scaling: a slope of 0 or one that is not finite (nibabel writes NaN)
//   means none, as nibabel reads it; any other slope than 1, or an offset
//   other than 0 beside a slope, is refused, since the stored values would
//   not be the values a user sees. A non-finite offset counts as 0.
// - vox_offset must be a whole number of bytes, at least the header's size;
//   0 stands for the header and 4 extension bytes, as nibabel reads it.
//   Extensions between header and data are skipped.
// - Spacing is pixdim[1..3] as stored (z only when dim[0] >= 3), units from
//   xyzt_units & 7, the description becomes one comment. qform and sform
//   (codes 1 to 5) are kept as the Orientation; intent, display range,
//   aux_file and extensions are not kept and said so in notes.
//
// Writing:
// - NIfTI-2 when asked for or when a size exceeds NIfTI-1's 32767, else
//   NIfTI-1; this machine's byte order, dim[0] 3, the data after the header
//   and 4 zero extension bytes, scl_slope 1 and scl_inter 0 (values as
//   stored).
// - With an Orientation, its qform and sform as they were read (NRRD
//   directions become both, in RAS, code scanner); pixdim[0] is the qfac.
//   Without one, qform_code and sform_code 0: readers place voxels by
//   pixdim alone and nibabel reports the zooms from pixdim.
// - The description is the comments joined with "; ", cut to 79 bytes (not
//   inside a UTF-8 sequence) with the caller told.
#include "stream.h"

#include <nifti2_io.h>

#include <cmath>
#include <cstring>

namespace vrdconvert {

namespace {

constexpr size_t kHeader1 = 348, kHeader2 = 540;
static_assert(sizeof(nifti_1_header) == kHeader1 && sizeof(nifti_2_header) == kHeader2, "NIfTI header records");
constexpr char kMagic2[8] = {'n', '+', '2', '\0', '\r', '\n', '\032', '\n'};

struct Code {
    int code;
    Scalar type;
};
constexpr Code kTypes[] = {
    {DT_UINT8, Scalar::UInt8},     {DT_INT16, Scalar::Int16},   {DT_INT32, Scalar::Int32},
    {DT_FLOAT32, Scalar::Float32}, {DT_FLOAT64, Scalar::Float64}, {DT_INT8, Scalar::Int8},
    {DT_UINT16, Scalar::UInt16},   {DT_UINT32, Scalar::UInt32}, {DT_INT64, Scalar::Int64},
    {DT_UINT64, Scalar::UInt64},
};

const char *unsupportedTypeName(int code)
{
    switch (code) {
    case DT_BINARY: return "binary";
    case DT_COMPLEX64: return "complex64";
    case DT_RGB24: return "RGB24";
    case DT_FLOAT128: return "float128";
    case DT_COMPLEX128: return "complex128";
    case DT_COMPLEX256: return "complex256";
    case DT_RGBA32: return "RGBA32";
    default: return "unknown";
    }
}

// Both versions' fields, at the wider type of NIfTI-2.
struct Header {
    int version = 1;
    int64_t dim[8] = {};
    int datatype = 0, bitpix = 0;
    double pixdim[8] = {};
    double voxOffset = 0;
    double slope = 0, inter = 0, calMin = 0, calMax = 0;
    std::string description, auxFile;
    int qformCode = 0, sformCode = 0;
    double quatern[3] = {}, qoffset[3] = {}, srow[3][4] = {};
    int xyztUnits = 0, intentCode = 0;
};

int32_t sizeofHeader(const uint8_t *h, bool swap)
{
    int32_t size;
    std::memcpy(&size, h, sizeof size);
    if (swap)
        swapBytes(&size, 1, sizeof size);
    return size;
}

// 1 or 2 by sizeof_hdr, with the byte order; 0 for neither.
int versionOf(const uint8_t *h, bool *swap)
{
    for (const bool s : {false, true}) {
        *swap = s;
        if (sizeofHeader(h, s) == int32_t(kHeader1))
            return 1;
        if (sizeofHeader(h, s) == int32_t(kHeader2))
            return 2;
    }
    return 0;
}

std::string fixedString(const char *p, size_t size)
{
    return trim(std::string(p, strnlen(p, size)));
}

template <class Record> void copyCommon(const Record &r, Header *h)
{
    for (int i = 0; i < 8; ++i) {
        h->dim[i] = r.dim[i];
        h->pixdim[i] = r.pixdim[i];
    }
    h->datatype = r.datatype;
    h->bitpix = r.bitpix;
    h->voxOffset = double(r.vox_offset);
    h->slope = r.scl_slope, h->inter = r.scl_inter, h->calMin = r.cal_min, h->calMax = r.cal_max;
    h->description = fixedString(r.descrip, sizeof r.descrip);
    h->auxFile = fixedString(r.aux_file, sizeof r.aux_file);
    h->qformCode = r.qform_code, h->sformCode = r.sform_code;
    const double q[6] = {r.quatern_b, r.quatern_c, r.quatern_d, r.qoffset_x, r.qoffset_y, r.qoffset_z};
    for (int i = 0; i < 3; ++i)
        h->quatern[i] = q[i], h->qoffset[i] = q[3 + i];
    for (int k = 0; k < 4; ++k)
        h->srow[0][k] = r.srow_x[k], h->srow[1][k] = r.srow_y[k], h->srow[2][k] = r.srow_z[k];
    h->xyztUnits = r.xyzt_units, h->intentCode = r.intent_code;
}

// The record of either version into Header; false with a reason for the
// magic of another kind of file.
template <class Record>
bool parseVersion(uint8_t *bytes, int version, bool swap, const char *pair, const char *single, size_t magicBytes,
                  Header *h, std::string *error)
{
    Record r;
    std::memcpy(&r, bytes, sizeof r);
    if (swap)
        swap_nifti_header(&r, version);
    if (std::memcmp(r.magic, pair, 4) == 0) {
        *error = format("NIfTI-%d header/image pairs (\"%s\", .hdr with .img) are not supported", version, pair);
        return false;
    }
    if (std::memcmp(r.magic, single, magicBytes) != 0) {
        *error = version == 1 ? "not a NIfTI-1 single file (no \"n+1\" magic)"
                              : "not a NIfTI-2 single file (no \"n+2\" magic with its line-end check bytes)";
        return false;
    }
    copyCommon(r, h);
    return true;
}

bool parseRecord(uint8_t *bytes, int version, bool swap, Header *h, std::string *error)
{
    h->version = version;
    return version == 1 ? parseVersion<nifti_1_header>(bytes, 1, swap, "ni1", "n+1", 4, h, error)
                        : parseVersion<nifti_2_header>(bytes, 2, swap, "ni2", kMagic2, sizeof kMagic2, h, error);
}

// What the file says of where its voxels lie, for the codes NIfTI defines.
void orientationOf(const Header &h, Volume *v)
{
    Orientation &o = v->orientation;
    const bool qform = h.qformCode >= 1 && h.qformCode <= 5, sform = h.sformCode >= 1 && h.sformCode <= 5;
    if (h.qformCode != 0 && !qform)
        v->notes.push_back(format("qform code %d not kept", h.qformCode));
    if (h.sformCode != 0 && !sform)
        v->notes.push_back(format("sform code %d not kept", h.sformCode));
    if (!qform && !sform)
        return;
    o.space = Orientation::Space::RAS;
    o.size[0] = v->nx, o.size[1] = v->ny, o.size[2] = v->nz;
    for (int i = 0; i < 3; ++i)
        o.spacing[i] = v->spacing[i];
    if (qform) {
        o.qformCode = h.qformCode;
        for (int i = 0; i < 3; ++i)
            o.quatern[i] = h.quatern[i], o.qoffset[i] = h.qoffset[i];
        o.qfac = h.pixdim[0] < 0 ? -1 : 1;
    }
    if (sform) {
        o.sformCode = h.sformCode;
        std::memcpy(o.srow, h.srow, sizeof o.srow);
    }
}

bool decodeHeader(const Header &h, Volume *v, int64_t *volumes, uint64_t *voxOffset, std::string *error)
{
    const int64_t *dim = h.dim;
    if (dim[0] < 1 || dim[0] > 7) {
        *error = format("dim[0] is %lld, not 1 to 7", (long long)dim[0]);
        return false;
    }
    if (dim[0] == 1) {
        *error = "1-D data are not supported";
        return false;
    }
    for (int i = 1; i <= dim[0]; ++i)
        if (dim[i] < 1) {
            *error = format("dim[%d] is %lld: sizes must be positive", i, (long long)dim[i]);
            return false;
        }
    for (int i = int(dim[0]); i >= 5; --i)
        if (dim[i] != 1) {
            *error = format("%d-D volumes are not supported", i);
            return false;
        }
    v->nx = dim[1];
    v->ny = dim[2];
    v->nz = dim[0] >= 3 ? dim[3] : 1;
    *volumes = dim[0] >= 4 ? dim[4] : 1;

    bool known = false;
    for (const Code &c : kTypes)
        if (c.code == h.datatype) {
            v->type = c.type;
            known = true;
        }
    if (!known) {
        *error = format("datatype %d (%s) is not supported", h.datatype, unsupportedTypeName(h.datatype));
        return false;
    }
    // A reader that sizes voxels by bitpix would read another volume from the same bytes.
    if (h.bitpix != 8 * scalarBytes(v->type)) {
        *error = format("bitpix %d does not agree with datatype %d (%s, %d bits)", h.bitpix, h.datatype,
                        scalarName(v->type), 8 * scalarBytes(v->type));
        return false;
    }

    if (std::isfinite(h.slope) && h.slope != 0) {
        const double offset = std::isfinite(h.inter) ? h.inter : 0;
        if (h.slope != 1 || offset != 0) {
            *error = format("scaled values (scl_slope %g, scl_inter %g) are not supported", h.slope, h.inter);
            return false;
        }
    }

    const size_t headerSize = h.version == 1 ? kHeader1 : kHeader2;
    const double vox = h.voxOffset;
    if (!std::isfinite(vox) || vox < 0 || vox != std::floor(vox) || vox > 1e15) {
        *error = format("vox_offset %g is not a byte offset", vox);
        return false;
    }
    if (vox != 0 && vox < double(headerSize)) {
        *error = format("vox_offset %g lies inside the header", vox);
        return false;
    }
    *voxOffset = vox == 0 ? headerSize + 4 : uint64_t(vox);

    for (int i = 0; i < 3; ++i)
        v->spacing[i] = i < dim[0] ? h.pixdim[1 + i] : 1;
    v->hasSpacing = true;
    switch (h.xyztUnits & 7) {
    case NIFTI_UNITS_METER: v->units = Units::Metre; break;
    case NIFTI_UNITS_MM: v->units = Units::Millimetre; break;
    case NIFTI_UNITS_MICRON: v->units = Units::Micrometre; break;
    default: v->units = Units::Unknown; break;
    }

    if (!h.description.empty())
        v->comments.push_back(h.description);
    orientationOf(h, v);
    if (h.intentCode != 0)
        v->notes.push_back(format("intent code %d not kept", h.intentCode));
    if (h.calMin != 0 || h.calMax != 0)
        v->notes.push_back("display range (cal_min/cal_max) not kept");
    if (!h.auxFile.empty())
        v->notes.push_back("aux_file not kept");
    return true;
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

// The fields of an Orientation as a NIfTI header holds them: qform and sform
// in RAS, NRRD directions turned into both.
struct Placement {
    int qformCode = 0, sformCode = 0;
    double quatern[3] = {}, qoffset[3] = {}, qfac = 1, srow[3][4] = {};
};

Placement placementOf(const Orientation &o)
{
    Placement p;
    if (o.space == Orientation::Space::None)
        return p;
    if (o.qformCode > 0 || o.sformCode > 0) {
        p.qformCode = o.qformCode, p.sformCode = o.sformCode;
        for (int i = 0; i < 3; ++i)
            p.quatern[i] = o.quatern[i], p.qoffset[i] = o.qoffset[i];
        p.qfac = o.qfac;
        std::memcpy(p.srow, o.srow, sizeof p.srow);
        return p;
    }
    if (!o.hasDirections)
        return p;
    // NIfTI's world is RAS: an LPS or LAS axis points the other way.
    const double flip[3] = {o.space == Orientation::Space::RAS ? 1.0 : -1.0,
                            o.space == Orientation::Space::LPS ? -1.0 : 1.0, 1.0};
    nifti_dmat44 m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            m.m[r][c] = p.srow[r][c] = flip[r] * o.directions[r][c] + 0.0; // + 0.0: no -0
    m.m[3][3] = 1;
    double dx = 0, dy = 0, dz = 0;
    nifti_dmat44_to_quatern(m, &p.quatern[0], &p.quatern[1], &p.quatern[2], &p.qoffset[0], &p.qoffset[1],
                            &p.qoffset[2], &dx, &dy, &dz, &p.qfac);
    p.qformCode = p.sformCode = NIFTI_XFORM_SCANNER_ANAT;
    return p;
}

template <class Record, class Real> void fillCommon(Record &r, const Volume &v, const Placement &p)
{
    r.dim[0] = 3, r.dim[1] = v.nx, r.dim[2] = v.ny, r.dim[3] = v.nz;
    for (int i = 4; i < 8; ++i)
        r.dim[i] = 1;
    r.datatype = int16_t(datatypeCode(v.type));
    r.bitpix = int16_t(8 * scalarBytes(v.type));
    for (int i = 0; i < 8; ++i)
        r.pixdim[i] = i >= 1 && i <= 3 && v.hasSpacing ? Real(v.spacing[i - 1]) : Real(1);
    r.pixdim[0] = Real(p.qfac);
    r.scl_slope = 1;
    switch (v.units) {
    case Units::Metre: r.xyzt_units = NIFTI_UNITS_METER; break;
    case Units::Millimetre: r.xyzt_units = NIFTI_UNITS_MM; break;
    case Units::Micrometre: r.xyzt_units = NIFTI_UNITS_MICRON; break;
    case Units::Unknown: break;
    }
    r.qform_code = p.qformCode, r.sform_code = p.sformCode;
    r.quatern_b = Real(p.quatern[0]), r.quatern_c = Real(p.quatern[1]), r.quatern_d = Real(p.quatern[2]);
    r.qoffset_x = Real(p.qoffset[0]), r.qoffset_y = Real(p.qoffset[1]), r.qoffset_z = Real(p.qoffset[2]);
    for (int k = 0; k < 4; ++k)
        r.srow_x[k] = Real(p.srow[0][k]), r.srow_y[k] = Real(p.srow[1][k]), r.srow_z[k] = Real(p.srow[2][k]);
}

} // namespace

bool orientationMatrix(const Orientation &o, double m[3][4])
{
    if (o.space == Orientation::Space::None)
        return false;
    if (o.sformCode > 0) {
        std::memcpy(m, o.srow, sizeof o.srow);
        return true;
    }
    if (o.qformCode > 0) {
        const nifti_dmat44 q = nifti_quatern_to_dmat44(o.quatern[0], o.quatern[1], o.quatern[2], o.qoffset[0],
                                                       o.qoffset[1], o.qoffset[2], o.spacing[0], o.spacing[1],
                                                       o.spacing[2], o.qfac);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                m[r][c] = q.m[r][c];
        return true;
    }
    if (o.hasDirections) {
        std::memcpy(m, o.directions, sizeof o.directions);
        return true;
    }
    return false;
}

std::unique_ptr<SliceSource> openNifti(const std::string &path, Volume *v, std::string *error, int64_t volume)
{
    auto in = std::make_unique<InputStream>();
    if (!in->open(path, error))
        return nullptr;
    const bool gzip = in->gzipAhead();
    if (!in->startData(gzip, error))
        return nullptr;
    uint8_t bytes[kHeader2 + 4] = {};
    size_t got = 0;
    if (!in->read(bytes, kHeader1, &got, error))
        return nullptr;
    bool swap = false;
    const int version = got >= 4 ? versionOf(bytes, &swap) : 0;
    if (version == 0) {
        *error = got < kHeader1 ? format("%zu bytes are too short for a NIfTI header", got)
                                : "not a NIfTI file (no header size 348 or 540)";
        return nullptr;
    }
    const size_t headerSize = version == 1 ? kHeader1 : kHeader2;
    if (got == kHeader1 && version == 2) {
        size_t more = 0;
        if (!in->read(bytes + kHeader1, kHeader2 - kHeader1, &more, error))
            return nullptr;
        got += more;
    }
    if (got < headerSize) {
        *error = format("%zu bytes are too short for a NIfTI-%d header", got, version);
        return nullptr;
    }
    *v = Volume{};
    Header h;
    int64_t volumes = 1;
    uint64_t voxOffset = 0, before = 0, after = 0, all = 0;
    if (!parseRecord(bytes, version, swap, &h, error) || !decodeHeader(h, v, &volumes, &voxOffset, error))
        return nullptr;
    v->bigEndian = kHostBigEndian != swap;
    if (!pickVolume(*v, volumes, volume, &before, &after, &all, error))
        return nullptr;
    if (volumes > 1)
        v->notes.push_back(format("volume %lld of the %lld read", (long long)(volume < 0 ? 0 : volume),
                                  (long long)volumes));
    if (!(gzip ? checkDataFits(*in, 0, true, voxOffset, all, error)
               : checkDataFits(*in, voxOffset, false, 0, all, error)))
        return nullptr;
    uint64_t at = headerSize;
    if (voxOffset >= headerSize + 4) {
        if (!in->read(bytes + headerSize, 4, &got, error))
            return nullptr;
        if (got == 4 && bytes[headerSize] != 0)
            v->notes.push_back("header extensions not kept");
        at += got;
    }
    if (voxOffset > at && !in->skip(voxOffset - at, error)) {
        *error = "data end before vox_offset";
        return nullptr;
    }
    if (before > 0 && !in->skip(before, error)) {
        *error = "data end before the volume asked for";
        return nullptr;
    }
    return makeBinarySource(std::move(in), *v, after);
}

std::unique_ptr<SliceSink> createNifti(FILE *file, const Volume &v, Encoding encoding, std::string *error,
                                       bool *descriptionCut, int gzipLevel, bool nifti2)
{
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(v, &slice, &total, error))
        return nullptr;
    nifti2 = nifti2 || v.nx > kNifti1MaxSize || v.ny > kNifti1MaxSize || v.nz > kNifti1MaxSize;
    const Placement placement = placementOf(v.orientation);
    bool cut = false;
    const std::string text = description(v.comments, 79, &cut);
    if (descriptionCut != nullptr)
        *descriptionCut = cut;

    std::string header;
    if (nifti2) {
        nifti_2_header r{};
        r.sizeof_hdr = int32_t(kHeader2);
        std::memcpy(r.magic, kMagic2, sizeof kMagic2);
        fillCommon<nifti_2_header, double>(r, v, placement);
        r.vox_offset = int64_t(kHeader2 + 4);
        std::memcpy(r.descrip, text.data(), text.size());
        header.assign(reinterpret_cast<const char *>(&r), sizeof r);
    } else {
        nifti_1_header r{};
        r.sizeof_hdr = int32_t(kHeader1);
        r.regular = 'r';
        std::memcpy(r.magic, "n+1", 4);
        fillCommon<nifti_1_header, float>(r, v, placement);
        r.vox_offset = float(kHeader1 + 4);
        std::memcpy(r.descrip, text.data(), text.size());
        header.assign(reinterpret_cast<const char *>(&r), sizeof r);
    }
    header.append(4, '\0'); // no extensions
    return makeSink(file, v, encoding, gzipLevel, std::string(), header, error);
}

} // namespace vrdconvert
