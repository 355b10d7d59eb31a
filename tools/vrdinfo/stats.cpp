#include "stats.h"

#include "voxels.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace vrdinfo {

namespace {

template <class T>
bool isFinite(T v)
{
    if constexpr (std::is_floating_point_v<T>)
        return std::isfinite(v);
    else
        return true;
}

template <class T>
void scan(const T *v, int32_t count, Stats &s)
{
    // Two passes over a slice that is still in cache: the mean first, then
    // the deviations from it, corrected by their own sum; this stays
    // accurate where a running sum of squares would cancel.
    double sum = 0, lo = INFINITY, hi = -INFINITY;
    uint64_t finite = 0;
    for (int32_t i = 0; i < count; ++i) {
        const T x = v[i];
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(x)) {
                ++s.nan;
                continue;
            }
            if (std::isinf(x)) {
                ++s.infinite;
                continue;
            }
        }
        const double d = double(x);
        s.zero += d == 0;
        lo = std::min(lo, d), hi = std::max(hi, d);
        sum += d;
        ++finite;
    }
    if (finite == 0)
        return;
    const double mean = sum / double(finite);
    double squares = 0, deviations = 0;
    for (int32_t i = 0; i < count; ++i)
        if (isFinite(v[i])) {
            const double d = double(v[i]) - mean;
            squares += d * d, deviations += d;
        }
    s.finite = finite, s.min = lo, s.max = hi, s.mean = mean;
    s.m2 = std::max(0.0, squares - deviations * deviations / double(finite));
}

} // namespace

void sliceStats(const void *slice, int32_t dtype, int32_t count, Stats *out)
{
    *out = Stats{};
    vrdtool::withVoxelType(dtype, [&](auto type) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(type)>>;
        scan(static_cast<const T *>(slice), count, *out);
    });
}

void combine(Stats &a, const Stats &b)
{
    a.zero += b.zero, a.nan += b.nan, a.infinite += b.infinite;
    if (b.finite == 0)
        return;
    if (a.finite == 0) {
        a.finite = b.finite, a.min = b.min, a.max = b.max, a.mean = b.mean, a.m2 = b.m2;
        return;
    }
    const double na = double(a.finite), nb = double(b.finite), n = na + nb;
    const double delta = b.mean - a.mean;
    a.mean += delta * (nb / n);
    a.m2 += b.m2 + delta * delta * (na * nb / n);
    a.min = std::min(a.min, b.min), a.max = std::max(a.max, b.max);
    a.finite += b.finite;
}

double deviation(const Stats &s)
{
    return s.finite > 0 ? std::sqrt(s.m2 / double(s.finite)) : 0.0;
}

} // namespace vrdinfo
