#include "vrd/slice.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Payloads move through a scratch buffer of at most this size, so a block
// length in a damaged file costs no more memory than the bytes it really has.
constexpr size_t kChunk = size_t{1} << 20;

[[noreturn]] void fail(const char *message)
{
    fputs(message, stderr);
    exit(1);
}

// Bytes of a slice of count items, or 0 when either is not positive.
uint64_t sliceBytes(int32_t voxelSize, int32_t count)
{
    return (voxelSize > 0 && count > 0) ? uint64_t(voxelSize) * uint64_t(count) : 0;
}

// Reads and drops up to `length` bytes; returns how many arrived.
uint64_t skipBytes(FILE *file, uint64_t length)
{
    unsigned char scratch[4096];
    uint64_t done = 0;
    while (done < length) {
        const size_t want = size_t(std::min<uint64_t>(length - done, sizeof scratch));
        const size_t got = fread(scratch, 1, want, file);
        done += got;
        if (got < want)
            break;
    }
    return done;
}

// Inflates one zlib stream fed in pieces, with the same outcome as zlib's
// uncompress on the whole payload at once.
class Inflater {
public:
    Inflater(void *buffer, uint32_t expectedLength)
    {
        // A 0-byte slice still needs room to see whether the stream holds more.
        if (expectedLength > 0) {
            out_ = static_cast<Bytef *>(buffer);
            capacity_ = expectedLength;
        } else {
            out_ = &spare_;
            capacity_ = 1;
        }
        status_ = inflateInit(&stream_);
        started_ = status_ == Z_OK;
        if (started_)
            status_ = Z_OK;
        stream_.next_out = out_;
        stream_.avail_out = capacity_;
    }
    ~Inflater()
    {
        if (started_)
            inflateEnd(&stream_);
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // False once the stream has ended or failed; later input is not used.
    bool wantsInput() const { return status_ == Z_OK; }

    void feed(const void *data, size_t size)
    {
        stream_.next_in = static_cast<const Bytef *>(data);
        stream_.avail_in = static_cast<uInt>(size);
        while (status_ == Z_OK && stream_.avail_in > 0)
            status_ = inflate(&stream_, Z_NO_FLUSH);
    }

    // All input given: the code uncompress would return.
    int result()
    {
        if (status_ == Z_OK)
            status_ = inflate(&stream_, Z_NO_FLUSH); // no input left: Z_BUF_ERROR or the end
        while (status_ == Z_OK)
            status_ = inflate(&stream_, Z_NO_FLUSH);
        if (status_ == Z_STREAM_END)
            return Z_OK;
        if (status_ == Z_NEED_DICT)
            return Z_DATA_ERROR;
        if (status_ == Z_BUF_ERROR) {
            // Out of input with room left means a cut stream; a full buffer
            // means the stream holds more than the slice. For a 0-byte slice
            // zlib reports both as a data error.
            const bool roomLeft = out_ == &spare_ || stream_.avail_out > 0;
            return roomLeft ? Z_DATA_ERROR : Z_BUF_ERROR;
        }
        return status_;
    }

    uint32_t inflated() const { return out_ == &spare_ ? 0 : uint32_t(stream_.total_out); }

private:
    z_stream stream_{};
    Bytef *out_ = nullptr;
    Bytef spare_ = 0;
    uInt capacity_ = 0;
    int status_ = Z_OK;
    bool started_ = false;
};

// Feeds `count` zero bytes, the missing end of a payload cut short.
void feedZeros(Inflater &inflater, uint64_t count)
{
    static const unsigned char zeros[4096] = {};
    while (count > 0 && inflater.wantsInput()) {
        const size_t n = size_t(std::min<uint64_t>(count, sizeof zeros));
        inflater.feed(zeros, n);
        count -= n;
    }
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
    static const char *const messages[4] = {
        "ReadLong error (1)\n", "ReadLong error (2)\n", "ReadLong error (3)\n", "ReadLong error (4)\n"};
    uint32_t value = 0;
    for (int n = 0; n < 4; ++n) {
        const int byte = fgetc(file);
        if (byte == EOF)
            fail(messages[n]);
        value = (value << 8) | uint32_t(byte);
    }
    return int32_t(value);
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

int32_t vrdInflateBlock(const void *data, uint32_t arrived, uint32_t length, void *buffer,
                        uint32_t expectedLength, uint32_t *inflated)
{
    Inflater inflater(buffer, expectedLength);
    arrived = std::min(arrived, length);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t fed = 0;
    while (fed < arrived && inflater.wantsInput()) {
        const uint32_t n = std::min<uint32_t>(arrived - fed, uint32_t(kChunk));
        inflater.feed(p + fed, n);
        fed += n;
    }
    feedZeros(inflater, uint64_t(length) - arrived);
    const int code = inflater.result();
    *inflated = inflater.inflated();
    return code;
}

int32_t WriteSliceDataZ(FILE *file, const void *data, uint32_t length)
{
    const uint64_t capacity = vrdDeflateCapacity(length);
    Bytef *out = static_cast<Bytef *>(malloc(size_t(capacity)));
    if (out == nullptr)
        fail("WriteSliceDataZ: Allocation Error\n");
    uLongf compressedLength = uLongf(capacity);
    if (compress(out, &compressedLength, static_cast<const Bytef *>(data), uLong(length)) != Z_OK) {
        free(out);
        fail("WriteSliceDataZ: Compression Error\n");
    }
    WriteLong(file, int32_t(uint32_t(compressedLength)));
    int32_t whole = 1;
    if (fwrite(out, 1, compressedLength, file) < compressedLength) {
        fputs("WriteSliceDataZ: Write Error\n", stderr);
        whole = 0;
    }
    free(out);
    return whole;
}

int32_t ReadSliceDataZ(FILE *file, void *buffer, uint32_t expectedLength)
{
    const uint32_t length = uint32_t(ReadLong(file));
    const size_t chunk = std::max<size_t>(1, std::min<size_t>(length, kChunk));
    unsigned char *scratch = static_cast<unsigned char *>(malloc(chunk));
    if (scratch == nullptr)
        fail("ReadSliceDataZ: Allocation error.\n");

    // The whole payload is consumed even when the stream ends or fails
    // early, so that a read error is reported before the zlib outcome.
    Inflater inflater(buffer, expectedLength);
    uint64_t arrived = 0;
    while (arrived < length) {
        const size_t want = size_t(std::min<uint64_t>(length - arrived, chunk));
        const size_t got = fread(scratch, 1, want, file);
        if (got > 0 && inflater.wantsInput())
            inflater.feed(scratch, got);
        arrived += got;
        if (got < want)
            break;
    }
    free(scratch);

    int32_t whole = 1;
    if (arrived < length) {
        fprintf(stderr, "ReadSliceDataZ: read error (trying to read %d bytes of data)\n", int32_t(length));
        feedZeros(inflater, length - arrived);
        whole = 0;
    }
    const int code = inflater.result();
    if (code != Z_OK) {
        fprintf(stderr, "ReadSliceDataZ: Uncompression Error (%d)\n", code);
        exit(1);
    }
    const uint32_t inflated = inflater.inflated();
    if (inflated != expectedLength) {
        fprintf(stderr, "ReadSliceDataZ: Incorrect data length (%d, %d)\n", int32_t(inflated),
                int32_t(expectedLength));
        whole = 0;
    }
    return whole;
}

int32_t WriteSliceDataN(FILE *file, const void *data, int32_t voxelSize, int32_t count, int32_t compression)
{
    int32_t whole = 1;
    const int64_t size = int64_t(voxelSize) * count;
    if ((compression == vrdCompNone || compression == vrdCompZlib) && (size < 0 || size > int64_t(UINT32_MAX))) {
        // No block can hold this slice; writing a wrong length would
        // misplace every block after it.
        fputs("WriteSliceDataN: Write Error\n", stderr);
        whole = 0;
    } else if (compression == vrdCompNone) {
        const uint32_t length = uint32_t(size);
        WriteLong(file, int32_t(length));
        if (fwrite(data, 1, length, file) < length) {
            fputs("WriteSliceDataN: Write Error\n", stderr);
            whole = 0;
        }
    } else if (compression == vrdCompZlib) {
        whole = WriteSliceDataZ(file, data, uint32_t(size));
    }
    fflush(file);
    return whole;
}

int32_t ReadSliceDataN(FILE *file, void *buffer, int32_t endian, int32_t voxelSize, int32_t count,
                       int32_t compression)
{
    int32_t whole = 1;
    const uint64_t slice = sliceBytes(voxelSize, count);
    if (compression == vrdCompNone) {
        const uint32_t length = uint32_t(ReadLong(file));
        // Only the slice's bytes are stored; the rest of a longer block is
        // read past so that the stream stands at the next block.
        const uint64_t stored = std::min<uint64_t>(length, slice);
        if (length != slice) {
            if (length > slice)
                fprintf(stderr, "ReadSliceDataN: block of %d bytes for a slice of %d bytes\n", int32_t(length),
                        int32_t(slice));
            whole = 0;
        }
        uint64_t arrived = stored > 0 ? fread(buffer, 1, size_t(stored), file) : 0;
        if (arrived == stored && length > stored)
            arrived += skipBytes(file, length - stored);
        if (arrived < length) {
            fprintf(stderr, "ReadSliceDataN: read error (trying to read %d bytes of data)\n", int32_t(length));
            whole = 0;
        }
    } else if (compression == vrdCompZlib) {
        if (slice > UINT32_MAX) {
            fputs("ReadSliceDataN: slice too large for a block\n", stderr);
            exit(1);
        }
        whole = ReadSliceDataZ(file, buffer, uint32_t(slice));
    }
    if (endian != vrdLittleEndian)
        vrdSwapItems(buffer, voxelSize, count);
    return whole;
}

} // extern "C"
