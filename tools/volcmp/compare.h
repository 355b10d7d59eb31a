// The comparison rule of volcmp.
#ifndef VOLCMP_COMPARE_H
#define VOLCMP_COMPARE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace volcmp {

// The float32 nearest to 0.7 (bits 0x3F333333), widened to double.
inline double differenceThreshold()
{
    const uint32_t bits = 0x3F333333u;
    float t;
    std::memcpy(&t, &bits, sizeof t);
    return double(t);
}

// 100 times the larger of two unequal values when it exceeds the threshold,
// else 0. Equal values (+0 and -0 among them) and NaNs give 0.
inline float compareValue(double a, double b, double threshold)
{
    const bool unequal = (a < b) | (a > b); // false for NaN
    const double larger = a > b ? a : b;
    const double scaled = larger * 100.0;
    return (unequal & (larger > threshold)) ? float(scaled) : 0.0f;
}

// Compares two slices of count values of types dtypeA and dtypeB into out.
void compareSlices(const void *a, int32_t dtypeA, const void *b, int32_t dtypeB, float *out, size_t count);

// The slice computation in the form the slice engine calls.
void compareCompute(void *job, int32_t worker, int32_t z, const void *const *inputs, void *out, int32_t count,
                   void *scratch);

} // namespace volcmp

#endif
