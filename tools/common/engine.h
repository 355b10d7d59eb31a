// The slice loop both programs run: read the next slice of every input,
// compute the output slice, write it as one block.
#ifndef VRDTOOL_ENGINE_H
#define VRDTOOL_ENGINE_H

#include "run.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrdtool {

// Computes `count` float32 output values from the input slices; input k
// holds count values of type dtypes[k], in this machine's byte order.
using ComputeSlice = void (*)(const void *const *inputs, const int32_t *dtypes, float *out, size_t count,
                              const void *params);

class SliceEngine {
public:
    // Takes the slice buffers at once, so that a run that cannot have them
    // is refused before its output exists.
    SliceEngine(const std::vector<Input *> &inputs, ComputeSlice compute, const void *params);
    ~SliceEngine();
    SliceEngine(const SliceEngine &) = delete;
    SliceEngine &operator=(const SliceEngine &) = delete;

    // Processes all slices into out, counting the damaged ones on the way.
    void run(Output &out);

private:
    std::vector<Input *> inputs_;
    ComputeSlice compute_;
    const void *params_;
    int32_t count_;
    std::vector<void *> inBuffers_;
    std::vector<int32_t> dtypes_;
    float *outBuffer_ = nullptr;
};

} // namespace vrdtool

#endif
