// The trapezoidal intensity window of volmap.
#ifndef VOLMAP_WINDOW_H
#define VOLMAP_WINDOW_H

#include <cstddef>
#include <cstdint>

namespace volmap {

// Window corners, as float32 values from the command line.
struct Window {
    float min, mid1, mid2, max;
};

// The window value of d: 0 at or below min and at or above max, rising from
// min to mid1, 1 up to mid2, falling to max; tested in that order, so a NaN
// gives NaN. Differences and quotients are taken in double precision and
// rounded once, to float32.
inline float windowValue(double d, const Window &w)
{
    const double lo = w.min, rise = w.mid1, fall = w.mid2, hi = w.max;
    // Both quotients are formed for every value so that the loop over a
    // slice has no branches; a quotient that is not selected is discarded.
    const double rising = (d - lo) / (rise - lo);
    const double falling = (hi - d) / (hi - fall);
    double r = d < fall ? 1.0 : falling;
    r = d < rise ? rising : r;
    r = d >= hi ? 0.0 : r;
    r = d <= lo ? 0.0 : r;
    return float(r);
}

// Maps count values of the voxel type dtype through the window into out.
void windowSlice(const void *in, int32_t dtype, float *out, size_t count, const Window &w);

// The slice computation in the form the slice engine calls.
void windowCompute(void *job, int32_t worker, int32_t z, const void *const *inputs, void *out, int32_t count,
                   void *scratch);

} // namespace volmap

#endif
