#include "describe.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vrdinfo {

namespace {

template <class T>
std::string shortest(T v, int maxDigits)
{
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v < 0 ? "-inf" : "inf";
    char text[40];
    // Whole numbers in full, never "1.04e+03".
    if (std::fabs(v) < T(1e15) && v == std::trunc(v)) {
        snprintf(text, sizeof text, "%.0f", double(v));
        return text;
    }
    for (int digits = 1; digits <= maxDigits; ++digits) {
        snprintf(text, sizeof text, "%.*g", digits, double(v));
        if (T(strtod(text, nullptr)) == v)
            break;
    }
    return text;
}

std::string quotedNonFinite(double v)
{
    return std::isnan(v) ? "\"NaN\"" : v < 0 ? "\"-Infinity\"" : "\"Infinity\"";
}

// Length of the well-formed sequence at p (n bytes left), or 0, with *invalid
// the length of its maximal invalid subpart (at least 1).
size_t sequenceLength(const unsigned char *p, size_t n, size_t *invalid)
{
    *invalid = 1;
    const unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;      // overlong
        if (c == 0xED) high = 0x9F;     // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;      // overlong
        if (c == 0xF4) high = 0x8F;     // past U+10FFFF
    } else
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
        if (i >= n || p[i] < lo || p[i] > hi) {
            *invalid = i;
            return 0;
        }
    }
    return length;
}

std::string plainText(const std::string &text)
{
    // Control characters would move a terminal's cursor; they show as \xNN.
    std::string out;
    for (const char c : validUtf8(text)) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", u);
            out += escape;
        } else
            out += c;
    }
    return out;
}

const char *unitsSymbol(int32_t units)
{
    return units == vrdUum ? "\xC2\xB5m" : unitsName(units);
}

// A rectilinear axis: count entries summarised.
struct Axis {
    char name;
    const float *values;
    int32_t count;
};

struct Summary {
    float first, last, min, max;
};

Summary summarise(const Axis &a)
{
    Summary s{a.values[0], a.values[a.count - 1], a.values[0], a.values[0]};
    for (int32_t i = 1; i < a.count; ++i)
        s.min = std::min(s.min, a.values[i]), s.max = std::max(s.max, a.values[i]);
    return s;
}

// The axes that the grid gives as arrays, in x, y, z order; the others have
// their one spacing in px, py, pz.
int32_t arrays(const VrdHeader &h, Axis *axes)
{
    int32_t n = 0;
    if (h.vtype == vrdRectXYZ && h.rx != nullptr)
        axes[n++] = Axis{'x', h.rx, h.nx};
    if (h.vtype == vrdRectXYZ && h.ry != nullptr)
        axes[n++] = Axis{'y', h.ry, h.ny};
    if ((h.vtype == vrdRectXYZ || h.vtype == vrdRectZ) && h.rz != nullptr)
        axes[n++] = Axis{'z', h.rz, h.nz};
    return n;
}

bool fixedAxis(const VrdHeader &h, char axis)
{
    return h.vtype == vrdCubic || h.vtype == vrdRegular || (h.vtype == vrdRectZ && axis != 'z');
}

float spacingOf(const VrdHeader &h, char axis)
{
    return axis == 'x' ? h.px : axis == 'y' ? h.py : h.pz;
}

const char *transferText(const VrdHeader &h, int32_t function, int32_t component)
{
    return h.tfdata != nullptr ? h.tfdata[int64_t(function) * 5 + component] : nullptr;
}

std::string thresholdText(const VrdHeader &h)
{
    if (!h.hasBgThreshold)
        return "none";
    return h.dtype == vrdFloat || h.dtype == vrdDouble ? floatText(h.bgThresholdF) : std::to_string(h.bgThresholdI);
}

std::string thresholdJson(const VrdHeader &h)
{
    if (!h.hasBgThreshold)
        return "null";
    return h.dtype == vrdFloat || h.dtype == vrdDouble ? jsonFloat(h.bgThresholdF) : std::to_string(h.bgThresholdI);
}

const char *const kComponents = "drgba";

} // namespace

std::string numberText(double v) { return shortest(v, 17); }
std::string floatText(float v) { return shortest(v, 9); }
std::string jsonNumber(double v) { return std::isfinite(v) ? numberText(v) : quotedNonFinite(v); }
std::string jsonFloat(float v) { return std::isfinite(v) ? floatText(v) : quotedNonFinite(v); }

std::string validUtf8(const std::string &text)
{
    std::string out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t left = text.size();
    while (left > 0) {
        size_t invalid = 1;
        const size_t length = sequenceLength(p, left, &invalid);
        if (length > 0)
            out.append(reinterpret_cast<const char *>(p), length);
        else
            out += "\xEF\xBF\xBD";
        const size_t step = length > 0 ? length : invalid;
        p += step, left -= step;
    }
    return out;
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : validUtf8(text)) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\u%04x", u);
                out += escape;
            } else
                out += c;
        }
    }
    return out + "\"";
}

const char *dtypeName(int32_t dtype)
{
    static const char *const names[] = {"uint8",  "int8",   "uint12", "uint16",  "int16",
                                        "int16-hu", "uint32", "int32", "float32", "float64"};
    return dtype >= vrdUChar && dtype <= vrdDouble ? names[dtype - 1] : "unknown";
}

const char *byteOrderName(int32_t endian)
{
    return endian == vrdBigEndian ? "big-endian" : endian == vrdLittleEndian ? "little-endian" : "unknown";
}

const char *compressionName(int32_t compression)
{
    return compression == vrdCompZlib ? "zlib" : compression == vrdCompNone ? "none" : "unknown";
}

const char *gridName(int32_t vtype)
{
    static const char *const names[] = {"cubic", "regular", "rectilinear-z", "rectilinear"};
    return vtype >= vrdCubic && vtype <= vrdRectXYZ ? names[vtype - 1] : "unknown";
}

const char *unitsName(int32_t units)
{
    return units == vrdUum ? "um" : units == vrdUmm ? "mm" : units == vrdUm ? "m" : "unknown";
}

void describeText(FILE *out, const VrdHeader &h, const Icon &icon)
{
    static const char *const gridWords[] = {"cubic (one spacing on every axis)", "regular (one spacing per axis)",
                                            "rectilinear in z (a spacing per slice)",
                                            "rectilinear (a spacing per column, row and slice)"};
    static const char *const typeWords[] = {
        "unsigned 8-bit integers", "signed 8-bit integers", "unsigned 12-bit integers in 16 bits",
        "unsigned 16-bit integers", "signed 16-bit integers", "signed 16-bit Hounsfield units",
        "unsigned 32-bit integers", "signed 32-bit integers", "32-bit floating point", "64-bit floating point"};
    const char *units = unitsSymbol(h.units);
    fprintf(out, "  %-20s vrd %d.%d\n", "format", h.versionMajor, h.versionMinor);
    fprintf(out, "  %-20s %s\n", "byte order", byteOrderName(h.endian));
    fprintf(out, "  %-20s %s\n", "compression", h.compression == vrdCompZlib ? "zlib blocks" : "raw blocks");
    fprintf(out, "  %-20s %d x %d x %d voxels (x, y, z), %lld in all\n", "dimensions", h.nx, h.ny, h.nz,
            static_cast<long long>(int64_t(h.nx) * h.ny * h.nz));
    fprintf(out, "  %-20s %s\n", "grid", h.vtype >= vrdCubic && h.vtype <= vrdRectXYZ ? gridWords[h.vtype - 1] : "unknown");
    std::string fixed;
    for (const char axis : {'x', 'y', 'z'})
        if (fixedAxis(h, axis))
            fixed += std::string(fixed.empty() ? "" : ", ") + axis + " " + floatText(spacingOf(h, axis)) + " " + units;
    if (!fixed.empty())
        fprintf(out, "  %-20s %s\n", "spacing", fixed.c_str());
    Axis axes[3];
    for (int32_t i = 0, n = arrays(h, axes); i < n; ++i) {
        const Summary s = summarise(axes[i]);
        const std::string key = std::string("spacing ") + axes[i].name;
        fprintf(out, "  %-20s %d values: first %s, last %s, min %s, max %s %s\n", key.c_str(), axes[i].count,
                floatText(s.first).c_str(), floatText(s.last).c_str(), floatText(s.min).c_str(),
                floatText(s.max).c_str(), units);
    }
    fprintf(out, "  %-20s %s\n", "units", h.units == vrdUum ? "micrometres" : h.units == vrdUmm ? "millimetres" : "metres");
    fprintf(out, "  %-20s %d per voxel\n", "bands", h.nbands);
    fprintf(out, "  %-20s %s (%s), %d bytes per value\n", "data type",
            h.dtype >= vrdUChar && h.dtype <= vrdDouble ? typeWords[h.dtype - 1] : "unknown", dtypeName(h.dtype),
            vrdVoxelSize(h.dtype));
    fprintf(out, "  %-20s %s\n", "background threshold", thresholdText(h).c_str());
    fprintf(out, "  %-20s %d\n", "comments", h.commentCount);
    for (int32_t i = 0; i < h.commentCount; ++i)
        fprintf(out, "    %s\n", plainText(h.comments[i] != nullptr ? h.comments[i] : "").c_str());
    fprintf(out, "  %-20s %d\n", "transfer functions", h.tfnum);
    for (int32_t f = 0; f < h.tfnum; ++f) {
        fprintf(out, "    %d:", f + 1);
        for (int32_t c = 0; c < 5; ++c) {
            const char *text = transferText(h, f, c);
            fprintf(out, "%s %c %s", c == 0 ? "" : ",", kComponents[c], text != nullptr ? plainText(text).c_str() : "-");
        }
        fputc('\n', out);
    }
    fprintf(out, "  %-20s %d x %d %s (%llu bytes)\n", "icon", icon.width, icon.height, icon.isColor ? "colour" : "grey",
            static_cast<unsigned long long>(icon.bytes));
}

void describeJson(FILE *out, const VrdHeader &h, const Icon &icon)
{
    fprintf(out, ",\"format_version\":\"%d.%d\",\"byte_order\":\"%s\",\"compression\":\"%s\"", h.versionMajor,
            h.versionMinor, byteOrderName(h.endian), compressionName(h.compression));
    fprintf(out, ",\"nx\":%d,\"ny\":%d,\"nz\":%d,\"grid\":\"%s\",\"units\":\"%s\"", h.nx, h.ny, h.nz,
            gridName(h.vtype), unitsName(h.units));
    fputs(",\"spacing\":{", out);
    Axis axes[3];
    const int32_t n = arrays(h, axes);
    bool first = true;
    for (const char axis : {'x', 'y', 'z'}) {
        const Axis *array = std::find_if(axes, axes + n, [&](const Axis &a) { return a.name == axis; });
        if (array == axes + n && !fixedAxis(h, axis))
            continue;
        fprintf(out, "%s\"%c\":", first ? "" : ",", axis);
        first = false;
        if (array == axes + n) {
            fputs(jsonFloat(spacingOf(h, axis)).c_str(), out);
            continue;
        }
        const Summary s = summarise(*array);
        fprintf(out, "{\"count\":%d,\"first\":%s,\"last\":%s,\"min\":%s,\"max\":%s}", array->count,
                jsonFloat(s.first).c_str(), jsonFloat(s.last).c_str(), jsonFloat(s.min).c_str(),
                jsonFloat(s.max).c_str());
    }
    fputc('}', out);
    fprintf(out, ",\"bands\":%d,\"data_type\":\"%s\",\"background_threshold\":%s", h.nbands, dtypeName(h.dtype),
            thresholdJson(h).c_str());
    fputs(",\"comments\":[", out);
    for (int32_t i = 0; i < h.commentCount; ++i)
        fprintf(out, "%s%s", i == 0 ? "" : ",", jsonString(h.comments[i] != nullptr ? h.comments[i] : "").c_str());
    fputs("],\"transfer_functions\":[", out);
    for (int32_t f = 0; f < h.tfnum; ++f) {
        fputs(f == 0 ? "{" : ",{", out);
        for (int32_t c = 0; c < 5; ++c) {
            const char *text = transferText(h, f, c);
            fprintf(out, "%s\"%c\":%s", c == 0 ? "" : ",", kComponents[c], text != nullptr ? jsonString(text).c_str() : "null");
        }
        fputc('}', out);
    }
    fprintf(out, "],\"icon\":{\"width\":%d,\"height\":%d,\"channels\":%d,\"bytes\":%llu}", icon.width, icon.height,
            icon.isColor ? 3 : 1, static_cast<unsigned long long>(icon.bytes));
}

} // namespace vrdinfo
