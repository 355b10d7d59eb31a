#include "window.h"

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

void windowCompute(const void *const *inputs, const int32_t *dtypes, float *out, size_t count, const void *window)
{
    windowSlice(inputs[0], dtypes[0], out, count, *static_cast<const Window *>(window));
}

} // namespace volmap
