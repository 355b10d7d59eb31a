#include "compare.h"

#include "voxels.h"

namespace volcmp {

namespace {

template <class A, class B>
void compareTyped(const A *a, const B *b, float *out, size_t count)
{
    const double threshold = differenceThreshold();
    for (size_t i = 0; i < count; ++i)
        out[i] = compareValue(double(a[i]), double(b[i]), threshold);
}

} // namespace

void compareSlices(const void *a, int32_t dtypeA, const void *b, int32_t dtypeB, float *out, size_t count)
{
    vrdtool::withVoxelType(dtypeA, [&](auto typedA) {
        vrdtool::withVoxelType(dtypeB, [&](auto typedB) {
            compareTyped(static_cast<decltype(typedA)>(a), static_cast<decltype(typedB)>(b), out, count);
        });
    });
}

void compareCompute(const void *const *inputs, const int32_t *dtypes, float *out, size_t count, const void *)
{
    compareSlices(inputs[0], dtypes[0], inputs[1], dtypes[1], out, count);
}

} // namespace volcmp
