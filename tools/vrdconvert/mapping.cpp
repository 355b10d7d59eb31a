#include "mapping.h"

#include "stream.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vrdconvert {

namespace {

struct DtypeInfo {
    int32_t dtype;
    const char *name;
    Scalar scalar;
};
constexpr DtypeInfo kDtypes[] = {
    {vrdUChar, "uchar", Scalar::UInt8},     {vrdChar, "char", Scalar::Int8},
    {vrdUInt12, "uint12", Scalar::UInt16},  {vrdUInt16, "uint16", Scalar::UInt16},
    {vrdInt16, "int16", Scalar::Int16},     {vrdIntHU, "intHU", Scalar::Int16},
    {vrdUInt32, "uint32", Scalar::UInt32},  {vrdInt32, "int32", Scalar::Int32},
    {vrdFloat, "float", Scalar::Float32},   {vrdDouble, "double", Scalar::Float64},
};

const DtypeInfo *infoOf(int32_t dtype)
{
    for (const DtypeInfo &d : kDtypes)
        if (d.dtype == dtype)
            return &d;
    return nullptr;
}

// One axis of a vrd grid: its spacings, equal or not.
struct Axis {
    double first = 0, min = 0, max = 0, sum = 0;
    int64_t count = 0;
    void add(float s)
    {
        const double d = s;
        if (count == 0)
            first = min = max = d;
        min = std::fmin(min, d);
        max = std::fmax(max, d);
        sum += d;
        ++count;
    }
    bool uniform() const { return min == max; }
    double mean() const { return sum / double(count); }
};

Axis axisOf(const float *values, int64_t from, int64_t to)
{
    Axis a;
    for (int64_t i = from; i < to; ++i)
        a.add(values[i]);
    return a;
}

Axis single(float s)
{
    Axis a;
    a.add(s);
    return a;
}

const char *const kCodeNames[] = {"", "scanner", "aligned", "talairach", "mni", "template"};

// The shortest text that reads back as x, so that a float a NIfTI-1 file
// gave comes back bit for bit in NIfTI-2's doubles too ("-40", not "-4e+01").
std::string numberText(double x)
{
    std::string best;
    for (int digits = 1; digits <= 17; ++digits) {
        char text[40];
        snprintf(text, sizeof text, "%.*g", digits, x);
        if ((strtod(text, nullptr) == x || std::isnan(x)) && (best.empty() || strlen(text) < best.size()))
            best = text;
    }
    return best;
}

std::string numbers(const double *values, int count, const char *separator = " ")
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += (i > 0 ? separator : "") + numberText(values[i]);
    return out;
}

// Words of a section, with the commas and brackets of vectors as blanks.
std::vector<std::string> tokens(const std::string &section)
{
    std::vector<std::string> out;
    std::string word;
    for (char c : section + " ") {
        if (c == ' ' || c == '\t' || c == ',' || c == '(' || c == ')' || c == ':') {
            if (!word.empty())
                out.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return out;
}

bool numberAt(const std::vector<std::string> &t, size_t i, double *value)
{
    if (i >= t.size())
        return false;
    char *end = nullptr;
    *value = strtod(t[i].c_str(), &end);
    return end != t[i].c_str() && *end == '\0';
}

bool numbersAt(const std::vector<std::string> &t, size_t from, double *values, int count)
{
    for (int i = 0; i < count; ++i)
        if (!numberAt(t, from + size_t(i), &values[i]))
            return false;
    return true;
}

int codeOf(const std::string &name)
{
    for (int c = 1; c <= 5; ++c)
        if (name == kCodeNames[c])
            return c;
    return 0;
}

// The spacing a vrd header holds for s: the float, as the header's six
// decimals give it back.
bool sameSpacing(double s, float vrd)
{
    const float f = float(s);
    return vrd == f || vrd == strtof(format("%f", double(f)).c_str(), nullptr);
}

const char *unitsName(int32_t units)
{
    switch (units) {
    case vrdUum: return "micrometres";
    case vrdUm: return "metres";
    default: return "millimetres";
    }
}

} // namespace

const char kOrientationKey[] = "orientation:";

std::string orientationComment(const Orientation &o)
{
    const char *space = o.space == Orientation::Space::LPS ? "LPS" : o.space == Orientation::Space::LAS ? "LAS" : "RAS";
    std::string line = format("%s %s; size %lld %lld %lld; spacing ", kOrientationKey, space, (long long)o.size[0],
                              (long long)o.size[1], (long long)o.size[2]) +
                       numbers(o.spacing, 3);
    if (o.qformCode > 0)
        line += format("; qform %s: quatern ", kCodeNames[o.qformCode]) + numbers(o.quatern, 3) + " offset " +
                numbers(o.qoffset, 3) + " qfac " + numberText(o.qfac);
    if (o.sformCode > 0)
        line += format("; sform %s: ", kCodeNames[o.sformCode]) + numbers(o.srow[0], 4) + ", " +
                numbers(o.srow[1], 4) + ", " + numbers(o.srow[2], 4);
    if (o.hasDirections) {
        line += "; directions";
        for (int c = 0; c < 4; ++c) {
            const double v[3] = {o.directions[0][c], o.directions[1][c], o.directions[2][c]};
            line += (c == 3 ? "; origin (" : " (") + numbers(v, 3, ",") + ")";
        }
    }
    return line;
}

bool parseOrientationComment(const std::string &text, Orientation *out)
{
    const size_t keyLength = strlen(kOrientationKey);
    if (text.compare(0, keyLength, kOrientationKey) != 0)
        return false;
    std::vector<std::string> sections;
    for (size_t start = keyLength; start <= text.size();) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        sections.push_back(trim(text.substr(start, end - start)));
        start = end + 1;
    }
    Orientation o;
    const std::string space = sections[0];
    o.space = space == "RAS"   ? Orientation::Space::RAS
              : space == "LAS" ? Orientation::Space::LAS
              : space == "LPS" ? Orientation::Space::LPS
                               : Orientation::Space::None;
    if (o.space == Orientation::Space::None)
        return false;
    bool size = false, spacing = false, origin = false;
    for (size_t i = 1; i < sections.size(); ++i) {
        const std::vector<std::string> t = tokens(sections[i]);
        if (t.empty())
            return false;
        double d[12];
        if (t[0] == "size" && t.size() == 4 && numbersAt(t, 1, d, 3)) {
            for (int k = 0; k < 3; ++k) {
                if (!(d[k] >= 1 && d[k] <= 9e15 && d[k] == std::floor(d[k])))
                    return false;
                o.size[k] = int64_t(d[k]);
            }
            size = true;
        } else if (t[0] == "spacing" && t.size() == 4 && numbersAt(t, 1, o.spacing, 3)) {
            spacing = true;
        } else if (t[0] == "qform" && t.size() == 12 && t[2] == "quatern" && t[6] == "offset" && t[10] == "qfac" &&
                   codeOf(t[1]) > 0 && numbersAt(t, 3, o.quatern, 3) && numbersAt(t, 7, o.qoffset, 3) &&
                   numberAt(t, 11, &o.qfac)) {
            o.qformCode = codeOf(t[1]);
            o.qfac = o.qfac < 0 ? -1 : 1;
        } else if (t[0] == "sform" && t.size() == 14 && codeOf(t[1]) > 0 && numbersAt(t, 2, d, 12)) {
            o.sformCode = codeOf(t[1]);
            for (int k = 0; k < 12; ++k)
                o.srow[k / 4][k % 4] = d[k];
        } else if (t[0] == "directions" && t.size() == 10 && numbersAt(t, 1, d, 9)) {
            for (int k = 0; k < 9; ++k)
                o.directions[k % 3][k / 3] = d[k];
            o.hasDirections = true;
        } else if (t[0] == "origin" && t.size() == 4 && numbersAt(t, 1, d, 3)) {
            for (int k = 0; k < 3; ++k)
                o.directions[k][3] = d[k];
            origin = true;
        } else {
            return false;
        }
    }
    const bool nifti = o.qformCode > 0 || o.sformCode > 0;
    if (!size || !spacing || nifti == o.hasDirections || (nifti && o.space != Orientation::Space::RAS) ||
        (origin && !o.hasDirections))
        return false;
    *out = o;
    return true;
}

Scalar scalarOfDtype(int32_t dtype)
{
    const DtypeInfo *d = infoOf(dtype);
    return d != nullptr ? d->scalar : Scalar::UInt8;
}

bool dtypeOfScalar(Scalar s, int32_t *dtype)
{
    switch (s) {
    case Scalar::Int8: *dtype = vrdChar; return true;
    case Scalar::UInt8: *dtype = vrdUChar; return true;
    case Scalar::Int16: *dtype = vrdInt16; return true;
    case Scalar::UInt16: *dtype = vrdUInt16; return true;
    case Scalar::Int32: *dtype = vrdInt32; return true;
    case Scalar::UInt32: *dtype = vrdUInt32; return true;
    case Scalar::Float32: *dtype = vrdFloat; return true;
    case Scalar::Float64: *dtype = vrdDouble; return true;
    case Scalar::Int64:
    case Scalar::UInt64: return false;
    }
    return false;
}

int32_t containerDtype(Scalar s)
{
    switch (scalarBytes(s)) {
    case 1: return vrdUChar;
    case 2: return vrdUInt16;
    case 4: return vrdUInt32;
    default: return vrdDouble;
    }
}

const char *dtypeName(int32_t dtype)
{
    const DtypeInfo *d = infoOf(dtype);
    return d != nullptr ? d->name : nullptr;
}

bool rawTypeFromName(const std::string &name, Scalar *type, int32_t *dtype)
{
    if (scalarFromName(name, type)) {
        *dtype = 0;
        return true;
    }
    for (const DtypeInfo &d : kDtypes)
        if (name == d.name) {
            *type = d.scalar;
            *dtype = d.dtype;
            return true;
        }
    return false;
}

bool volumeFromHeader(const VrdHeader &h, bool uniform, const char *target, Volume *v, std::string *refusal,
                      std::string *uniformNote, std::vector<std::string> *notes)
{
    *v = Volume{};
    v->nx = h.nx, v->ny = h.ny, v->nz = h.nz;
    v->type = scalarOfDtype(h.dtype);
    v->bigEndian = kHostBigEndian; // the engine delivers slices in this machine's order

    Axis axes[3];
    switch (h.vtype) {
    case vrdCubic: axes[0] = axes[1] = axes[2] = single(h.px); break;
    case vrdRectZ:
        axes[0] = single(h.px), axes[1] = single(h.py), axes[2] = axisOf(h.rz, 0, h.nz);
        break;
    case vrdRectXYZ:
        // The z list counts from its second entry, as the header check does.
        axes[0] = axisOf(h.rx, 0, h.nx), axes[1] = axisOf(h.ry, 0, h.ny), axes[2] = axisOf(h.rz, 1, h.nz);
        break;
    default: axes[0] = single(h.px), axes[1] = single(h.py), axes[2] = single(h.pz); break;
    }
    std::string varying;
    for (int i = 0; i < 3; ++i) {
        if (axes[i].count == 0)
            axes[i] = single(1);
        if (!axes[i].uniform())
            varying += format("%s%c from %g to %g", varying.empty() ? "" : ", ", "xyz"[i], axes[i].min,
                              axes[i].max);
    }
    if (!varying.empty() && !uniform) {
        *refusal = format("rectilinear grid (spacings along %s): %s cannot hold it exactly; --uniform writes the "
                          "mean spacing",
                          varying.c_str(), target);
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        const double s = axes[i].uniform() ? shortestOfFloat(float(axes[i].first)) : axes[i].mean();
        if (!std::isfinite(s) || s <= 0) {
            *refusal = format("%c spacing %g: %s holds only finite positive spacings", "xyz"[i], s, target);
            return false;
        }
        v->spacing[i] = s;
    }
    v->hasSpacing = true;
    if (!varying.empty())
        *uniformNote = format("rectilinear grid (%s) written with the mean spacing %g %g %g", varying.c_str(),
                              v->spacing[0], v->spacing[1], v->spacing[2]);

    switch (h.units) {
    case vrdUum: v->units = Units::Micrometre; break;
    case vrdUmm: v->units = Units::Millimetre; break;
    case vrdUm: v->units = Units::Metre; break;
    default: v->units = Units::Unknown; break;
    }
    for (int32_t i = 0; i < h.commentCount; ++i) {
        const std::string text = h.comments[i] != nullptr ? h.comments[i] : "";
        Orientation o;
        if (text.compare(0, strlen(kOrientationKey), kOrientationKey) != 0) {
            v->comments.push_back(text);
        } else if (!parseOrientationComment(text, &o)) {
            notes->push_back("orientation comment not understood; not kept");
        } else if (o.size[0] != h.nx || o.size[1] != h.ny || o.size[2] != h.nz || !varying.empty() ||
                   !sameSpacing(o.spacing[0], float(v->spacing[0])) ||
                   !sameSpacing(o.spacing[1], float(v->spacing[1])) ||
                   !sameSpacing(o.spacing[2], float(v->spacing[2]))) {
            notes->push_back(format("orientation comment (for %lld x %lld x %lld at %g %g %g) does not fit this "
                                    "grid; not kept",
                                    (long long)o.size[0], (long long)o.size[1], (long long)o.size[2], o.spacing[0],
                                    o.spacing[1], o.spacing[2]));
        } else {
            // The spacing at the precision the transforms were given with.
            v->orientation = o;
            for (int k = 0; k < 3; ++k)
                v->spacing[k] = o.spacing[k];
        }
    }

    if (h.dtype == vrdUInt12 || h.dtype == vrdIntHU)
        notes->push_back(format("%s values written as %s", dtypeName(h.dtype), scalarName(v->type)));
    if (h.hasBgThreshold)
        notes->push_back("background threshold not kept");
    if (h.tfnum > 0)
        notes->push_back(format("%d transfer functions not kept", h.tfnum));
    return true;
}

VrdHeader headerFromVolume(const Volume &v, int32_t dtype, int32_t compression, std::vector<std::string> *notes)
{
    VrdHeader h{};
    h.compression = compression;
    h.endian = kHostBigEndian ? vrdBigEndian : vrdLittleEndian;
    h.nx = int32_t(v.nx), h.ny = int32_t(v.ny), h.nz = int32_t(v.nz);
    h.nbands = 1;
    h.dtype = dtype;

    float spacing[3] = {1, 1, 1};
    if (v.hasSpacing) {
        for (int i = 0; i < 3; ++i) {
            const float s = float(v.spacing[i]);
            if (std::isfinite(s) && s >= 1e-6f) // the header keeps six decimals
                spacing[i] = s;
            else
                notes->push_back(format("%c spacing %g is no vrd spacing; written as 1", "xyz"[i], v.spacing[i]));
        }
    }
    h.px = spacing[0], h.py = spacing[1], h.pz = spacing[2];
    h.vtype = h.px == h.py && h.py == h.pz ? vrdCubic : vrdRegular;

    switch (v.units) {
    case Units::Micrometre: h.units = vrdUum; break;
    case Units::Metre: h.units = vrdUm; break;
    case Units::Millimetre: h.units = vrdUmm; break;
    case Units::Unknown: h.units = vrdUmm; break;
    }
    if (!v.hasSpacing || v.units == Units::Unknown)
        notes->push_back(format("%s; written as %g x %g x %g %s",
                                !v.hasSpacing && v.units == Units::Unknown ? "no spacing or units given"
                                : !v.hasSpacing                            ? "no spacing given"
                                                                           : "no spatial units given",
                                double(h.px), double(h.py), double(h.pz), unitsName(h.units)));
    for (const std::string &c : v.comments)
        vrdAddHdrComment(&h, c.c_str());
    if (v.orientation.space != Orientation::Space::None)
        vrdAddHdrComment(&h, orientationComment(v.orientation).c_str());
    return h;
}

} // namespace vrdconvert
