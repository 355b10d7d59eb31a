#include "engine.h"

#include <cstdlib>

namespace vrdtool {

SliceEngine::SliceEngine(const std::vector<Input *> &inputs, ComputeSlice compute, const void *params)
    : inputs_(inputs), compute_(compute), params_(params)
{
    const VrdHeader &first = inputs_.front()->header;
    count_ = first.nx * first.ny;
    for (Input *in : inputs_) {
        inBuffers_.push_back(allocateOrRefuse(uint64_t(in->voxelSize) * uint64_t(count_), in->path));
        dtypes_.push_back(in->header.dtype);
    }
    outBuffer_ = static_cast<float *>(allocateOrRefuse(uint64_t(count_) * sizeof(float), inputs_.front()->path));
}

SliceEngine::~SliceEngine()
{
    for (void *p : inBuffers_)
        free(p);
    free(outBuffer_);
}

void SliceEngine::run(Output &out)
{
    const int32_t compression = inputs_.front()->header.compression;
    const int32_t nz = inputs_.front()->header.nz;
    for (int32_t z = 0; z < nz; ++z) {
        for (size_t k = 0; k < inputs_.size(); ++k) {
            Input &in = *inputs_[k];
            if (ReadSliceDataN(in.file, inBuffers_[k], in.header.endian, in.voxelSize, count_,
                               in.header.compression) == 0)
                ++in.damagedSlices;
        }
        compute_(inBuffers_.data(), dtypes_.data(), outBuffer_, size_t(count_), params_);
        if (WriteSliceDataN(out.file, outBuffer_, 4, count_, compression) == 0)
            ++out.damagedSlices;
    }
}

} // namespace vrdtool
