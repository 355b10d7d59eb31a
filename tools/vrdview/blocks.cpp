#include "blocks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace vrdview {

namespace {

// One codec per thread that reads blocks, made at its first block.
struct ThreadCodec {
    VrdCodec *codec = nullptr;
    std::vector<unsigned char> payload;
    ~ThreadCodec() { vrdCodecFree(codec); }
};

thread_local ThreadCodec threadCodec;

} // namespace

void Blocks::build(int fd, uint64_t first, const VrdHeader &h)
{
    fd_ = fd;
    h_ = h;
    struct stat info;
    size_ = fstat(fd, &info) == 0 ? uint64_t(info.st_size) : 0;
    at_.assign(size_t(h.nz), 0);
    length_.assign(size_t(h.nz), 0);
    uint64_t at = first;
    for (int32_t z = 0; z < h.nz; ++z) {
        unsigned char field[4];
        if (at + 4 > size_ || pread(fd, field, 4, off_t(at)) != 4)
            break;
        at_[size_t(z)] = at;
        length_[size_t(z)] = uint32_t(field[0]) << 24 | uint32_t(field[1]) << 16 | uint32_t(field[2]) << 8 | field[3];
        found_.store(z + 1);
        at += 4 + uint64_t(length_[size_t(z)]);
    }
}

int32_t Blocks::read(int32_t z, void *slice, VrdBlockResult *result) const
{
    *result = VrdBlockResult{};
    const int32_t voxelSize = vrdVoxelSize(h_.dtype);
    const int32_t count = h_.nx * h_.ny;
    if (z < 0 || z >= found_.load()) {
        result->outcome = vrdBlockDamaged;
        result->lengthEnded = 1;
        snprintf(result->message, sizeof result->message, "the file ends before the block of slice %d\n", z);
        return 0;
    }
    const uint64_t at = at_[size_t(z)] + 4;
    const uint32_t length = length_[size_t(z)];
    const uint64_t arrived = at >= size_ ? 0 : size_ - at < length ? size_ - at : length;
    // A raw block is read only as far as its slice; a zlib block far longer
    // than any deflated slice is not read into memory at all.
    const uint64_t sliceBytes = uint64_t(voxelSize) * uint64_t(count);
    if (h_.compression == vrdCompZlib && arrived > 2 * vrdDeflateCapacity(uint32_t(sliceBytes)) + 4096) {
        result->outcome = vrdBlockDamaged;
        result->length = length;
        snprintf(result->message, sizeof result->message, "the block of slice %d (%u bytes) is longer than a slice\n", z,
                 length);
        return 0;
    }
    if (h_.compression == vrdCompNone) {
        // Straight into the slice; the file's bytes past the slice stay unread.
        const uint64_t wanted = arrived < sliceBytes ? arrived : sliceBytes;
        const ssize_t got = wanted == 0 ? 0 : pread(fd_, slice, size_t(wanted), off_t(at));
        const uint64_t have = got == ssize_t(wanted) ? arrived : got < 0 ? 0 : uint64_t(got);
        vrdDecodeBlock(nullptr, length, slice, have, slice, h_.endian, voxelSize, count, h_.compression, result);
        return result->outcome == vrdBlockWhole;
    }
    ThreadCodec &tc = threadCodec;
    if (tc.codec == nullptr)
        tc.codec = vrdCodecNew(vrdCodecInflate, nullptr);
    tc.payload.resize(size_t(arrived));
    const ssize_t got = arrived == 0 ? 0 : pread(fd_, tc.payload.data(), size_t(arrived), off_t(at));
    const uint64_t have = got < 0 ? 0 : uint64_t(got);
    vrdDecodeBlock(tc.codec, length, tc.payload.data(), have, slice, h_.endian, voxelSize, count, h_.compression,
                   result);
    return result->outcome == vrdBlockWhole;
}

} // namespace vrdview
