#include "vrd/slice.h"

#include "vrd/codec_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char *message)
{
    fputs(message, stderr);
    exit(1);
}

template <int N>
void reverseItems(unsigned char *p, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i, p += N)
        std::reverse(p, p + N);
}

} // namespace

extern "C" {

void WriteLong(FILE *file, int32_t value)
{
    const uint32_t v = uint32_t(value);
    fputc(int((v >> 24) & 0xFF), file);
    fputc(int((v >> 16) & 0xFF), file);
    fputc(int((v >> 8) & 0xFF), file);
    fputc(int(v & 0xFF), file);
}

int32_t ReadLong(FILE *file)
{
    VrdBlockResult r{};
    vrdpriv::readLength(file, &r);
    vrdReportBlock(&r);
    return int32_t(r.length);
}

void SwapOrder(void *item, int32_t itemSize)
{
    unsigned char *p = static_cast<unsigned char *>(item);
    switch (itemSize) {
    case 1: break;
    case 2: std::reverse(p, p + 2); break;
    case 4: std::reverse(p, p + 4); break;
    case 8: std::reverse(p, p + 8); break;
    default:
        fputs("SwapOrder:: Incorrect item size.\n", stderr);
        exit(-1);
    }
}

void vrdSwapItems(void *buffer, int32_t voxelSize, int32_t count)
{
    if (count <= 0)
        return;
    unsigned char *p = static_cast<unsigned char *>(buffer);
    switch (voxelSize) {
    case 1: break;
    case 2: reverseItems<2>(p, uint64_t(count)); break;
    case 4: reverseItems<4>(p, uint64_t(count)); break;
    case 8: reverseItems<8>(p, uint64_t(count)); break;
    default: SwapOrder(p, voxelSize); // ends the process
    }
}

uint64_t vrdDeflateCapacity(uint32_t length)
{
    return uint64_t(double(length) * 1.01 + 12.0);
}

int32_t WriteSliceDataZ(FILE *file, const void *data, uint32_t length)
{
    const uint64_t capacity = vrdDeflateCapacity(length);
    void *out = malloc(size_t(capacity));
    if (out == nullptr)
        fail("WriteSliceDataZ: Allocation Error\n");
    VrdCodec *codec = vrdCodecNew(vrdCodecDeflate, nullptr);
    VrdBlockResult r{};
    uint32_t compressed = 0;
    const bool deflated = vrdDeflateSlice(codec, data, length, out, capacity, &compressed, &r) != 0;
    vrdCodecFree(codec);
    if (deflated)
        vrdpriv::writePayload(file, out, compressed, vrdCompZlib, &r);
    free(out);
    return vrdReportBlock(&r);
}

int32_t ReadSliceDataZ(FILE *file, void *buffer, uint32_t expectedLength)
{
    VrdBlockResult r{};
    if (vrdpriv::readLength(file, &r)) {
        VrdCodec *codec = vrdpriv::newCodec(vrdCodecStream, nullptr, std::min<size_t>(r.length, vrdpriv::kStreamChunk), false);
        if (codec == nullptr)
            fail("ReadSliceDataZ: Allocation error.\n");
        vrdpriv::streamZlibPayload(file, codec, buffer, expectedLength, &r);
        vrdCodecFree(codec);
    }
    return vrdReportBlock(&r);
}

int32_t WriteSliceDataN(FILE *file, const void *data, int32_t voxelSize, int32_t count, int32_t compression)
{
    int32_t whole = 1;
    const int64_t size = int64_t(voxelSize) * count;
    if ((compression == vrdCompNone || compression == vrdCompZlib) && (size < 0 || size > int64_t(UINT32_MAX))) {
        // No block can hold this slice; writing a wrong length would
        // misplace every block after it.
        VrdBlockResult r{};
        vrdpriv::shortWrite(&r, vrdCompNone);
        whole = vrdReportBlock(&r);
    } else if (compression == vrdCompNone) {
        VrdBlockResult r{};
        vrdpriv::writePayload(file, data, uint32_t(size), vrdCompNone, &r);
        whole = vrdReportBlock(&r);
    } else if (compression == vrdCompZlib) {
        whole = WriteSliceDataZ(file, data, uint32_t(size));
    }
    fflush(file);
    return whole;
}

int32_t ReadSliceDataN(FILE *file, void *buffer, int32_t endian, int32_t voxelSize, int32_t count,
                       int32_t compression)
{
    VrdBlockResult r{};
    vrdReadBlock(file, nullptr, buffer, endian, voxelSize, count, compression, &r);
    return vrdReportBlock(&r);
}

} // extern "C"
