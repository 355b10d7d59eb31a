#include "compare.h"

#include "run.h"
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

void compareCompute(void *job, int32_t, int32_t, const void *const *inputs, void *out, int32_t count, void *)
{
    const vrdtool::Job &j = *static_cast<const vrdtool::Job *>(job);
    compareSlices(inputs[0], j.dtypes[0], inputs[1], j.dtypes[1], static_cast<float *>(out), size_t(count));
}

} // namespace volcmp
