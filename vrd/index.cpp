#include "vrd/index.h"

#include "vrd/reason_internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using vrdpriv::reason;

// Reads up to size bytes at offset; returns how many arrived (fewer only at
// the end of the file or on an error, with errno set then).
uint64_t readAt(int fd, void *buffer, uint64_t size, int64_t offset)
{
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    uint64_t done = 0;
    while (done < size) {
        const size_t want = size_t(std::min<uint64_t>(size - done, uint64_t(1) << 30));
        const ssize_t got = pread(fd, bytes + done, want, off_t(offset + int64_t(done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += uint64_t(got);
    }
    return done;
}

uint64_t sliceBytesOf(const VrdHeader *h)
{
    if (h->nx <= 0 || h->ny <= 0 || h->dtype < vrdUChar || h->dtype > vrdDouble)
        return 0;
    return uint64_t(vrdVoxelSize(h->dtype)) * uint64_t(h->nx) * uint64_t(h->ny);
}

// Grows the index's arrays to hold at least one more entry.
bool grow(VrdBlockIndex *index, int32_t &capacity)
{
    if (index->held < capacity)
        return true;
    const int32_t more = capacity == 0 ? std::min(index->nz, 1024) : int32_t(std::min<int64_t>(int64_t(capacity) * 2, index->nz));
    int64_t *offsets = static_cast<int64_t *>(realloc(index->offsets, size_t(more) * sizeof(int64_t)));
    if (offsets == nullptr)
        return false;
    index->offsets = offsets;
    uint32_t *lengths = static_cast<uint32_t *>(realloc(index->lengths, size_t(more) * sizeof(uint32_t)));
    if (lengths == nullptr)
        return false;
    index->lengths = lengths;
    capacity = more;
    return true;
}

} // namespace

extern "C" int32_t vrdIndexStart(int fd, int64_t firstBlock, const VrdHeader *h, VrdBlockIndex *index, char *why,
                                 size_t whySize)
{
    *index = VrdBlockIndex{};
    index->nz = h->nz > 0 ? h->nz : 0;
    index->end = firstBlock;
    index->compression = h->compression;
    index->finished = 1;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        reason(why, whySize, "cannot look at the file: %s", strerror(errno));
        return 0;
    }
    if (!S_ISREG(info.st_mode) || firstBlock < 0) {
        reason(why, whySize, "blocks are found by their place only in a regular file");
        return 0;
    }
    index->fileSize = int64_t(info.st_size);
    index->finished = index->nz == 0;
    return 1;
}

extern "C" int32_t vrdIndexMore(int fd, VrdBlockIndex *index, int32_t maxBlocks, char *why, size_t whySize)
{
    // The arrays' capacity follows from held: they grow by doubling from 1024.
    int32_t capacity = index->held == 0 ? 0 : std::min(index->nz, 1024);
    while (capacity != 0 && capacity < index->held)
        capacity = int32_t(std::min<int64_t>(int64_t(capacity) * 2, index->nz));
    const bool zlib = index->compression == vrdCompZlib;
    int64_t at = index->end;
    for (int32_t found = 0; found < maxBlocks && !index->finished; ++found) {
        unsigned char field[4];
        const uint64_t got = at < index->fileSize ? readAt(fd, field, 4, at) : 0;
        if (got < 4) {
            if (at + int64_t(got) < index->fileSize) { // the file holds more than arrived
                reason(why, whySize, "cannot read the block of slice %d: %s", index->held, strerror(errno));
                return 0;
            }
            snprintf(index->why, sizeof index->why, "ReadLong error (%d)", int(got) + 1);
            index->finished = 1;
            break;
        }
        const uint32_t length = uint32_t(field[0]) << 24 | uint32_t(field[1]) << 16 | uint32_t(field[2]) << 8 | field[3];
        if (uint64_t(length) > uint64_t(index->fileSize - at - 4)) {
            snprintf(index->why, sizeof index->why, "%s: read error (trying to read %d bytes of data)",
                     zlib ? "ReadSliceDataZ" : "ReadSliceDataN", int32_t(length));
            index->finished = 1;
            break;
        }
        if (!grow(index, capacity)) {
            reason(why, whySize, "cannot allocate the index of %d blocks", index->held + 1);
            return 0;
        }
        index->offsets[index->held] = at;
        index->lengths[index->held] = length;
        ++index->held;
        at += 4 + int64_t(length);
        index->end = at;
        index->finished = index->held == index->nz;
    }
    return 1;
}

extern "C" int32_t vrdIndexBlocks(int fd, int64_t firstBlock, const VrdHeader *h, VrdBlockIndex *index, char *why,
                                  size_t whySize)
{
    return vrdIndexStart(fd, firstBlock, h, index, why, whySize) && vrdIndexMore(fd, index, INT32_MAX, why, whySize);
}

extern "C" void vrdFreeBlockIndex(VrdBlockIndex *index)
{
    if (index == nullptr)
        return;
    free(index->offsets);
    free(index->lengths);
    index->offsets = nullptr;
    index->lengths = nullptr;
    index->held = 0;
}

extern "C" int32_t vrdReadIndexedBlock(int fd, const VrdHeader *h, int64_t offset, VrdCodec *codec, void *slice,
                                       VrdBlockResult *result)
{
    *result = VrdBlockResult{};
    const uint64_t sliceBytes = sliceBytesOf(h);
    const int32_t voxelSize = sliceBytes > 0 ? vrdVoxelSize(h->dtype) : 0;
    const int32_t count = sliceBytes > 0 && uint64_t(h->nx) * uint64_t(h->ny) <= uint64_t(INT32_MAX) ? h->nx * h->ny : 0;
    if (h->compression != vrdCompZlib && h->compression != vrdCompNone)
        return vrdDecodeBlock(codec, 0, nullptr, 0, slice, h->endian, voxelSize, count, h->compression, result);
    unsigned char field[4];
    const uint64_t got = offset >= 0 ? readAt(fd, field, 4, offset) : 0;
    if (got < 4) {
        result->lengthEnded = int32_t(got) + 1;
        snprintf(result->message, sizeof result->message, "ReadLong error (%d)\n", result->lengthEnded);
        result->outcome = vrdBlockFatal;
        result->exitStatus = 1;
        return 0;
    }
    const uint32_t length = uint32_t(field[0]) << 24 | uint32_t(field[1]) << 16 | uint32_t(field[2]) << 8 | field[3];
    // How much of the payload the file holds decides its outcome; a payload
    // buffer is had only for what the file holds.
    struct stat info;
    uint64_t held = length;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        held = std::min<uint64_t>(length, uint64_t(std::max<int64_t>(int64_t(info.st_size) - offset - 4, 0)));
    if (h->compression == vrdCompNone) {
        // Straight into the slice; of a longer block only the slice's bytes.
        const uint64_t want = std::min(held, sliceBytes);
        const uint64_t arrived = readAt(fd, slice, want, offset + 4);
        return vrdDecodeBlock(codec, length, slice, arrived < want ? arrived : held, slice, h->endian, voxelSize,
                              count, vrdCompNone, result);
    }
    void *payload = held > 0 ? malloc(size_t(held)) : nullptr;
    if (held > 0 && payload == nullptr) {
        snprintf(result->message, sizeof result->message, "ReadSliceDataZ: Allocation error.\n");
        result->length = length;
        result->outcome = vrdBlockFatal;
        result->exitStatus = 1;
        return 0;
    }
    const uint64_t arrived = held > 0 ? readAt(fd, payload, held, offset + 4) : 0;
    const int32_t whole = vrdDecodeBlock(codec, length, payload, arrived, slice, h->endian, voxelSize, count,
                                         vrdCompZlib, result);
    free(payload);
    return whole;
}
