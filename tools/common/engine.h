// The slice loop both programs run: read the next slice of every input,
// compute the output slice, write it as one block.
//
// With one thread this is the plain loop over ReadSliceDataN and
// WriteSliceDataN. With more, one reader thread takes the inputs' blocks in
// file order, worker threads inflate, convert the byte order, compute and
// deflate, and the calling thread writes the blocks in slice order. Every
// message and fatal error of slice k is held back until the writer reaches
// slice k, so a run shows exactly what the one-thread run shows: the same
// output bytes, the same messages in the same order, the same exit status.
#ifndef VRDTOOL_ENGINE_H
#define VRDTOOL_ENGINE_H

#include "run.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vrdtool {

// Computes `count` float32 output values from the input slices; input k
// holds count values of type dtypes[k], in this machine's byte order.
using ComputeSlice = void (*)(const void *const *inputs, const int32_t *dtypes, float *out, size_t count,
                              const void *params);

// Threads to use: VRD_THREADS when it is a number from 1 to 256, else one
// per core.
int threadCount();

struct Slot;

class SliceEngine {
public:
    // Takes all slice buffers at once, so that a run that cannot have them is
    // refused before its output exists.
    SliceEngine(const std::vector<Input *> &inputs, ComputeSlice compute, const void *params, int threads);
    ~SliceEngine();
    SliceEngine(const SliceEngine &) = delete;
    SliceEngine &operator=(const SliceEngine &) = delete;

    // Processes all slices into out, counting the damaged ones on the way.
    void run(Output &out);

private:
    void runSerial(Output &out);
    void runParallel(Output &out);

    std::vector<Input *> inputs_;
    ComputeSlice compute_;
    const void *params_;
    int threads_;
    int32_t count_;
    std::vector<int32_t> dtypes_;
    std::vector<std::unique_ptr<Slot>> slots_;
};

} // namespace vrdtool

#endif
