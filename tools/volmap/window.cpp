#include "window.h"

#include "run.h"
#include "voxels.h"

namespace volmap {

namespace {

template <class T>
void windowTyped(const T *in, float *out, size_t count, const Window &w)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = windowValue(double(in[i]), w);
}

} // namespace

void windowSlice(const void *in, int32_t dtype, float *out, size_t count, const Window &w)
{
    vrdtool::withVoxelType(dtype, [&](auto typed) {
        windowTyped(static_cast<decltype(typed)>(in), out, count, w);
    });
}

void windowCompute(void *job, int32_t, int32_t, const void *const *inputs, void *out, int32_t count, void *)
{
    const vrdtool::Job &j = *static_cast<const vrdtool::Job *>(job);
    windowSlice(inputs[0], j.dtypes[0], static_cast<float *>(out), size_t(count), *static_cast<const Window *>(j.params));
}

} // namespace volmap
