// vrdinfo: voxel statistics, per slice on any thread, then combined in slice
// order, so that the totals do not depend on how many threads made them.
#ifndef VRDINFO_STATS_H
#define VRDINFO_STATS_H

#include <cstdint>

namespace vrdinfo {

// Finite values: their count, range, mean and sum of squared deviations
// from the mean; then the other kinds, counted.
struct Stats {
    uint64_t finite = 0;
    double min = 0, max = 0, mean = 0, m2 = 0;
    uint64_t zero = 0, nan = 0, infinite = 0;
};

// The statistics of count values of dtype (this machine's byte order).
void sliceStats(const void *slice, int32_t dtype, int32_t count, Stats *out);

// Adds b's values to a (Chan's pairwise update), exactly as the same values
// in one slice would give up to rounding.
void combine(Stats &a, const Stats &b);

// The population standard deviation of the finite values (0 for none).
double deviation(const Stats &s);

} // namespace vrdinfo

#endif
