#include "vrd/writer.h"

#include "vrd/clocale_internal.h"

#include <sys/types.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" const char *const vrdLastLine = "#!last";

namespace {

const char *const kBanner[6] = {
    "**************************************************************",
    "**                          vrd                             **",
    "**      Format for storage of 3D volumetric data sets       **",
    "**                                                          **",
    "**  https://volumes.example.org/vrd/                        **",
    "**************************************************************",
};

const char *endianWord(int32_t code)
{
    switch (code) {
    case vrdBigEndian: return "vrdBigEndian";
    case vrdLittleEndian: return "vrdLittleEndian";
    default: return "unknown";
    }
}

const char *compressionWord(int32_t code)
{
    switch (code) {
    case vrdCompZlib: return "zlib";
    case vrdCompNone: return "none";
    default: return "unknown";
    }
}

const char *vtypeWord(int32_t code)
{
    switch (code) {
    case vrdCubic: return "vrdCubic";
    case vrdRegular: return "vrdRegular";
    case vrdRectZ: return "vrdRectZ";
    case vrdRectXYZ: return "vrdRectXYZ";
    default: return "unknown";
    }
}

const char *dtypeWord(int32_t code)
{
    static const char *const words[] = {
        "vrdUChar", "vrdChar", "vrdUInt12", "vrdUInt16", "vrdInt16",
        "vrdIntHU", "vrdUInt32", "vrdInt32", "vrdFloat", "vrdDouble",
    };
    return (code >= 1 && code <= 10) ? words[code - 1] : "unknown";
}

const char *unitsWord(int32_t code)
{
    switch (code) {
    case vrdUmm: return "vrdUmm";
    case vrdUm: return "vrdUm";
    case vrdUum: return "vrdUum";
    default: return "unknown";
    }
}

[[noreturn]] void fail(const char *message)
{
    fputs(message, stderr);
    exit(1);
}

// A header built by hand may leave a spacing array null; its entries are
// written as 0, which the reader's validation then refuses.
double entry(const float *values, int32_t i)
{
    return values != nullptr ? static_cast<double>(values[i]) : 0.0;
}

void writeList(FILE *file, const char *format, const float *values, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        fprintf(file, format, entry(values, i));
}

void writeSpacing(FILE *file, const VrdHeader *h)
{
    switch (h->vtype) {
    case vrdCubic:
        fprintf(file, "#!px\t\t%f\n", static_cast<double>(h->px));
        break;
    case vrdRegular:
        fprintf(file, "#!px\t%f\n", static_cast<double>(h->px));
        fprintf(file, "#!py\t%f\n", static_cast<double>(h->py));
        fprintf(file, "#!pz\t%f\n", static_cast<double>(h->pz));
        break;
    case vrdRectZ:
        fprintf(file, "#!px\t%f\n", static_cast<double>(h->px));
        fprintf(file, "#!py\t%f\n", static_cast<double>(h->py));
        writeList(file, "#!pz\t%f\n", h->rz, h->nz);
        break;
    case vrdRectXYZ:
        writeList(file, "#!px\t%f\n", h->rx, h->nx);
        writeList(file, "#!py\t%f\n", h->ry, h->ny);
        writeList(file, "#!pz\t%f\n", h->rz, h->nz);
        break;
    }
}

void writeComments(FILE *file, const VrdHeader *h)
{
    for (int32_t i = 0; i < h->commentCount; ++i) {
        const char *text = (h->comments != nullptr && h->comments[i] != nullptr) ? h->comments[i] : "";
        size_t length = strlen(text);
        if (length > 1999)
            length = 1998;
        fprintf(file, "#!comment \t%.*s\n", static_cast<int>(length), text);
    }
}

void writeTransferFunctions(FILE *file, const VrdHeader *h)
{
    if (h->tfnum == 0)
        return;
    fprintf(file, "#!tfnum \t%d\n", h->tfnum);
    static const char *const formats[5] = {
        "#!tfdata \td %s\n", "#!tfdata \tr %s\n", "#!tfdata \tg %s\n",
        "#!tfdata \tb %s\n", "#!tfdata \ta %s\n",
    };
    for (int64_t f = 0; f < h->tfnum; ++f) {
        for (int64_t c = 0; c < 5; ++c) {
            // A header read from a file with fewer tfdata lines than slots
            // holds null entries; they are written as empty values.
            const char *value = h->tfdata != nullptr ? h->tfdata[5 * f + c] : nullptr;
            fprintf(file, formats[c], value != nullptr ? value : "");
        }
    }
}

} // namespace

namespace {

// Everything before the icon's pixels; fails on an unknown grid type.
void writeLines(FILE *file, const VrdHeader *h, int32_t iconWidth, int32_t iconHeight)
{
    fprintf(file, "%s\n", h->nbands == 1 ? "P5" : "P6");
    fprintf(file, "%d %d\n", iconWidth, iconHeight);

    fprintf(file, "#!%s   \t%s\n", "vrd", "6.0");
    for (const char *line : kBanner)
        fprintf(file, "#%s\n", line);
    fprintf(file, "#!endian \t%s\n", endianWord(h->endian));
    fprintf(file, "#!compression \t%s\n", compressionWord(h->compression));
    fprintf(file, "#!vdim  \t%d %d %d\n", h->nx, h->ny, h->nz);
    fprintf(file, "#!vtype \t%s\n", vtypeWord(h->vtype));
    if (h->vtype < vrdCubic || h->vtype > vrdRectXYZ)
        fail("writeVrdHeader: Unknown grid type\n");
    writeSpacing(file, h);
    fprintf(file, "#!nbands \t%d\n", h->nbands);
    fprintf(file, "#!dtype \t%s\n", dtypeWord(h->dtype));
    fprintf(file, "#!units \t%s\n", unitsWord(h->units));
    if (h->hasBgThreshold != 0) {
        if (h->dtype == vrdFloat || h->dtype == vrdDouble)
            fprintf(file, "#!bgthreshold \t%f\n", static_cast<double>(h->bgThresholdF));
        else
            fprintf(file, "#!bgthreshold \t%d\n", h->bgThresholdI);
    }
    writeComments(file, h);
    writeTransferFunctions(file, h);
    fputs(vrdLastLine, file);
    fputs("\n255\n", file);
}

constexpr size_t kPieceBytes = 64 * 1024;

// A blank icon is written from this, piece by piece.
const unsigned char kZeros[kPieceBytes] = {};

} // namespace

extern "C" void writeVrdHeader(FILE *file, const VrdHeader *h, const unsigned char *icon,
                               int32_t iconWidth, int32_t iconHeight)
{
    if (icon == nullptr || iconWidth <= 0 || iconHeight <= 0)
        fail("writeVrdHeader: Empty icon image\n");
    writeLines(file, h, iconWidth, iconHeight);
    const size_t rowBytes = static_cast<size_t>(iconWidth) * (h->nbands == 1 ? 1 : 3);
    if (fwrite(icon, rowBytes, static_cast<size_t>(iconHeight), file) < static_cast<size_t>(iconHeight))
        fail("writeVrdHeader: File write error\n");
    fflush(file);
}

extern "C" void writeVrdHeaderBlankIcon(FILE *file, const VrdHeader *h, int32_t iconWidth, int32_t iconHeight)
{
    if (iconWidth <= 0 || iconHeight <= 0)
        fail("writeVrdHeader: Empty icon image\n");
    writeLines(file, h, iconWidth, iconHeight);
    uint64_t left = uint64_t(iconWidth) * uint64_t(iconHeight) * (h->nbands == 1 ? 1 : 3);
    while (left > 0) {
        const size_t piece = left < kPieceBytes ? size_t(left) : kPieceBytes;
        if (fwrite(kZeros, 1, piece, file) < piece)
            fail("writeVrdHeader: File write error\n");
        left -= piece;
    }
    fflush(file);
}

extern "C" int32_t vrdWriteHeaderR(FILE *file, const VrdHeader *h, int32_t iconWidth, int32_t iconHeight,
                                   char *message, size_t messageSize)
{
    const char *fault = nullptr;
    if (iconWidth <= 0 || iconHeight <= 0)
        fault = "writeVrdHeader: Empty icon image";
    else if (h->vtype < vrdCubic || h->vtype > vrdRectXYZ)
        fault = "writeVrdHeader: Unknown grid type";
    if (fault == nullptr) {
        {
            const vrdpriv::CLocale c;
            writeLines(file, h, iconWidth, iconHeight);
        }
        uint64_t left = uint64_t(iconWidth) * uint64_t(iconHeight) * (h->nbands == 1 ? 1 : 3);
        while (left > 0 && !ferror(file)) {
            const size_t piece = left < kPieceBytes ? size_t(left) : kPieceBytes;
            if (fwrite(kZeros, 1, piece, file) < piece)
                break;
            left -= piece;
        }
        if (fflush(file) != 0 || ferror(file) || left > 0)
            fault = "writeVrdHeader: File write error";
    }
    if (message != nullptr && messageSize > 0)
        snprintf(message, messageSize, "%s", fault != nullptr ? fault : "");
    return fault == nullptr;
}

namespace {

double valueAt(const unsigned char *p, int32_t dtype)
{
    switch (dtype) {
    case vrdUChar: return *p;
    case vrdChar: return static_cast<signed char>(*p);
    case vrdUInt12:
    case vrdUInt16: { uint16_t v; memcpy(&v, p, 2); return v; }
    case vrdInt16:
    case vrdIntHU: { int16_t v; memcpy(&v, p, 2); return v; }
    case vrdUInt32: { uint32_t v; memcpy(&v, p, 4); return v; }
    case vrdInt32: { int32_t v; memcpy(&v, p, 4); return v; }
    case vrdFloat: { float v; memcpy(&v, p, 4); return v; }
    default: { double v; memcpy(&v, p, 8); return v; }
    }
}

} // namespace

extern "C" int32_t vrdPreviewRange(const void *slice, int32_t dtype, int32_t count, double *lo, double *hi)
{
    const int32_t size = vrdVoxelSize(dtype);
    const unsigned char *bytes = static_cast<const unsigned char *>(slice);
    bool any = false;
    double low = 0, high = 0;
    for (int32_t i = 0; i < count; ++i) {
        const double v = valueAt(bytes + size_t(i) * size_t(size), dtype);
        if (!std::isfinite(v))
            continue;
        if (!any || v < low)
            low = v;
        if (!any || v > high)
            high = v;
        any = true;
    }
    *lo = low;
    *hi = high;
    return any && high > low;
}

extern "C" void vrdPreviewPixels(const void *slice, int32_t dtype, int32_t first, int32_t count, double lo,
                                 double hi, unsigned char *pixels)
{
    const int32_t size = vrdVoxelSize(dtype);
    const unsigned char *bytes = static_cast<const unsigned char *>(slice) + size_t(first) * size_t(size);
    if (!(hi > lo)) {
        memset(pixels, 0, size_t(count > 0 ? count : 0));
        return;
    }
    // A range as wide as a double's overflows hi - lo; scaling every operand
    // by 1/256 (exact for values this large) keeps the quotient.
    const double scale = std::isfinite(hi - lo) ? 1.0 : 1.0 / 256.0;
    const double low = lo * scale, width = hi * scale - lo * scale;
    for (int32_t i = 0; i < count; ++i) {
        const double v = valueAt(bytes + size_t(i) * size_t(size), dtype);
        if (!(v > lo)) // NaN too
            pixels[i] = 0;
        else if (v >= hi)
            pixels[i] = 255;
        else
            pixels[i] = static_cast<unsigned char>(std::floor((v * scale - low) / width * 255.0 + 0.5));
    }
}

extern "C" int32_t vrdWritePreview(FILE *file, int64_t iconOffset, const void *slice, int32_t dtype,
                                   int32_t nx, int32_t ny)
{
    if (file == nullptr || slice == nullptr || nx <= 0 || ny <= 0 || int64_t(nx) * ny > INT32_MAX ||
        dtype < vrdUChar || dtype > vrdDouble || iconOffset < 0)
        return 0;
    const int32_t count = nx * ny;
    double lo = 0, hi = 0;
    if (!vrdPreviewRange(slice, dtype, count, &lo, &hi))
        hi = lo; // every pixel 0
    if (fflush(file) != 0)
        return 0;
    const off_t end = ftello(file);
    if (end < 0 || fseeko(file, off_t(iconOffset), SEEK_SET) != 0)
        return 0;
    unsigned char pixels[4096];
    bool written = true;
    for (int32_t first = 0; first < count && written; first += int32_t(sizeof pixels)) {
        const int32_t piece = std::min<int32_t>(count - first, int32_t(sizeof pixels));
        vrdPreviewPixels(slice, dtype, first, piece, lo, hi, pixels);
        written = fwrite(pixels, 1, size_t(piece), file) == size_t(piece);
    }
    written = fflush(file) == 0 && written;
    return fseeko(file, end, SEEK_SET) == 0 && written;
}
