#include "vrd/validate.h"

extern "C" {

int32_t vrdErrno = 0;

const char *const vrdErrorMessages[37] = {
    "no vrd error",
    "file open error",
    "PNM header error",
    "incorrect PNM type",
    "icon image error",
    "not an vrd format file",
    "error reading PNM header line",
    "unknown 'endian' value",
    "unknown 'vtype' value",
    "unknown 'ctype' value",
    "unknown 'nbands' value",
    "unknown 'dtype' value",
    "unknown 'units' value",
    "comment line allocation error",
    "allocation error",
    "vrd format error - endian missing",
    "vrd format error - incorrect volume dimensions",
    "vrd format error - vtype missing",
    "vrd format error - units missing",
    "vrd format error - nbands missing",
    "vrd format error - dtype missing",
    "vrd format error - comments missing",
    "vrd format error - px equal 0 or missing",
    "vrd format error - py equal 0 or missing",
    "vrd format error - pz equal 0 or missing",
    "vrd format error - rx sum is 0",
    "vrd format error - ry sum is 0",
    "vrd format error - rz sum is 0",
    "vrd format error - rx equal 0",
    "vrd format error - ry equal 0",
    "vrd format error - rz equal 0",
    "vrd format error - too many transfer functions",
    "vrd format error - too few transfer functions",
    "vrd format error - transfer function array allocation error",
    "vrd format error - tfnum missing",
    "Version of the input vrd file is newer than version of your software, please upgrade",
    "vrd format error - compression type missing",
};

} // extern "C"

namespace {

// A NaN compares false, so it is never below the threshold.
bool belowThreshold(float value)
{
    return static_cast<double>(value) < 1e-20;
}

// Entries first..last of values; a missing array counts as all zeros.
// Returns 0 when the list passes, else the number of the rule it breaks.
int32_t checkList(const float *values, int64_t first, int64_t last, int32_t entryError, int32_t sumError)
{
    float sum = 0.0f;
    for (int64_t i = first; i <= last; ++i) {
        const float value = values != nullptr ? values[i] : 0.0f;
        if (belowThreshold(value))
            return entryError;
        sum = static_cast<float>(sum + value);
    }
    return belowThreshold(sum) ? sumError : 0;
}

int32_t firstBrokenRule(const VrdHeader *h)
{
    if (h->compression == 0) return 36;
    if (h->endian == 0) return 15;
    // The slice operations and the programs need positive sizes.
    if (h->nx <= 0 || h->ny <= 0 || h->nz <= 0) return 16;
    if (h->vtype == 0) return 17;
    if (h->units == 0) return 18;
    if (h->nbands == 0) return 19;
    if (h->dtype == 0) return 20;
    if (h->commentCount != 0 && h->comments == nullptr) return 21;

    int32_t broken = 0;
    switch (h->vtype) {
    case vrdCubic:
        if (belowThreshold(h->px)) return 22;
        break;
    case vrdRegular:
        if (belowThreshold(h->pz)) return 24;
        if (belowThreshold(h->py)) return 23;
        if (belowThreshold(h->px)) return 22;
        break;
    case vrdRectZ:
        if (belowThreshold(h->px)) return 22;
        if (belowThreshold(h->py)) return 23;
        broken = checkList(h->rz, 0, int64_t{h->nz} - 1, 30, 27);
        break;
    case vrdRectXYZ:
        // The per-slice list of this grid is checked from its second entry.
        broken = checkList(h->rx, 0, int64_t{h->nx} - 1, 28, 25);
        if (broken == 0) broken = checkList(h->ry, 0, int64_t{h->ny} - 1, 29, 26);
        if (broken == 0) broken = checkList(h->rz, 1, int64_t{h->nz} - 1, 30, 27);
        break;
    }
    return broken;
}

} // namespace

extern "C" int32_t vrdCheckHeaderR(const VrdHeader *h)
{
    return firstBrokenRule(h);
}

extern "C" int32_t vrdCheckHeader(const VrdHeader *h)
{
    const int32_t broken = firstBrokenRule(h);
    if (broken != 0) {
        vrdErrno = broken;
        return 0;
    }
    return 1;
}
