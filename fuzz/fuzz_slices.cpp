// Fuzz target: the slice blocks of a volume whose header the library accepts.
// The input is a whole file: header, icon, then blocks.
//
// The library ends the process on some faults of a block (a length field cut
// by the end of the file, a zlib stream that does not inflate cleanly), which
// a fuzz target must not do. Before each ReadSliceDataN the target therefore
// looks at the block itself: it stops when fewer than 4 bytes are left, and
// inflates a zlib payload with vrdInflateBlock (the library's in-memory
// inflation, which never exits) and stops when that gives a zlib error. Only
// blocks the library reads without ending the process go to ReadSliceDataN,
// and its result is then checked against the precheck: the same bytes in the
// buffer, the same verdict, the stream at the next block. A mismatch aborts,
// so an exit where none was predicted is a finding too.
#include "fuzz_common.h"

#include <cstring>

namespace {

// Slices beyond this size and blocks beyond this count are not read, so that
// every run stays short; sizes near the limits are the header target's.
constexpr uint64_t kMaxSliceBytes = 1 << 18;
constexpr int32_t kMaxBlocks = 64;

uint32_t bigEndian32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void reverseItems(std::vector<uint8_t> &bytes, int32_t voxelSize)
{
    for (size_t i = 0; i + size_t(voxelSize) <= bytes.size(); i += size_t(voxelSize))
        for (int32_t a = 0, b = voxelSize - 1; a < b; ++a, --b)
            std::swap(bytes[i + size_t(a)], bytes[i + size_t(b)]);
}

void readBlocks(FILE *file, const uint8_t *data, size_t size, const VrdHeader &h)
{
    const int32_t voxelSize = vrdHeaderVoxelSize(&h);
    const int64_t count = int64_t{h.nx} * h.ny;
    const uint64_t sliceBytes = uint64_t(count) * uint64_t(voxelSize);
    if (count > INT32_MAX || sliceBytes > kMaxSliceBytes)
        return;

    // Both buffers start with the same pattern, which a short block leaves.
    std::vector<uint8_t> buffer(sliceBytes, 0xA5), expected(sliceBytes, 0xA5);
    for (int32_t z = 0; z < h.nz && z < kMaxBlocks; ++z) {
        const long position = ftell(file);
        if (position < 0 || size_t(position) > size || size - size_t(position) < 4)
            return; // ReadLong would end the process
        const uint8_t *block = data + position;
        const uint32_t length = bigEndian32(block);
        const size_t left = size - size_t(position) - 4;
        const uint32_t arrived = uint32_t(std::min<uint64_t>(length, left));

        int32_t predictedWhole = arrived == length;
        if (h.compression == vrdCompZlib) {
            uint32_t inflated = 0;
            const int32_t code = vrdInflateBlock(block + 4, arrived, length, expected.data(), uint32_t(sliceBytes),
                                                 &inflated);
            if (code != 0)
                return; // ReadSliceDataZ would end the process
            if (inflated > sliceBytes)
                fuzz::failCheck("vrdInflateBlock reports more bytes than the buffer holds");
            if (inflated != sliceBytes)
                predictedWhole = 0;
        } else {
            const uint32_t stored = uint32_t(std::min<uint64_t>(arrived, sliceBytes));
            memcpy(expected.data(), block + 4, stored);
            if (length != sliceBytes)
                predictedWhole = 0;
        }
        if (h.endian != vrdLittleEndian)
            reverseItems(expected, voxelSize);

        const int32_t whole =
            ReadSliceDataN(file, buffer.data(), h.endian, voxelSize, int32_t(count), h.compression);
        if (whole != predictedWhole)
            fuzz::failCheck("ReadSliceDataN's verdict differs from the block's");
        if (buffer != expected)
            fuzz::failCheck("ReadSliceDataN stored other bytes than the block holds");
        const long after = ftell(file);
        if (after != long(position + 4 + arrived))
            fuzz::failCheck("the stream does not stand after the block");
        if (arrived < length)
            return; // the file has ended
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::MemoryFile in(data, size);
    if (in.get() == nullptr)
        return 0;
    VrdHeader h{};
    if (vrdReadPrologue(in.get(), &h) != nullptr)
        readBlocks(in.get(), data, size, h);
    fuzz::freeHeader(h);
    return 0;
}
