// Voxel data types as C++ types, for per-slice dispatch to typed inner loops.
#ifndef VRDTOOL_VOXELS_H
#define VRDTOOL_VOXELS_H

#include <vrd/vrd.h>

#include <cstdint>

namespace vrdtool {

// Calls f with a null pointer of the C++ type that holds values of dtype
// (unknown codes are never passed: every header here has been validated).
template <class F>
void withVoxelType(int32_t dtype, F &&f)
{
    switch (dtype) {
    case vrdUChar: f(static_cast<const uint8_t *>(nullptr)); break;
    case vrdChar: f(static_cast<const int8_t *>(nullptr)); break;
    case vrdUInt12:
    case vrdUInt16: f(static_cast<const uint16_t *>(nullptr)); break;
    case vrdInt16:
    case vrdIntHU: f(static_cast<const int16_t *>(nullptr)); break;
    case vrdUInt32: f(static_cast<const uint32_t *>(nullptr)); break;
    case vrdInt32: f(static_cast<const int32_t *>(nullptr)); break;
    case vrdDouble: f(static_cast<const double *>(nullptr)); break;
    default: f(static_cast<const float *>(nullptr)); break;
    }
}

} // namespace vrdtool

#endif
