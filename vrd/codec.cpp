#include "vrd/codec.h"

#include "vrd/codec_internal.h"
#include "vrd/slice.h"

#define ZLIB_CONST
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

// Per-thread block state. The zlib streams are set up once and reset for
// every block, which gives the same bytes as a fresh compress or uncompress.
struct VrdCodec {
    int32_t uses = 0;
    VrdDeflate deflate{};
    z_stream inflater{};
    int inflaterStatus = Z_STREAM_ERROR; // Z_OK once set up
    z_stream deflater{};
    bool deflaterReady = false;
    // libdeflate inflates a whole payload in one call, faster than zlib;
    // anything but a whole, exact slice is inflated again by zlib, whose
    // outcome and bytes are the format's.
    libdeflate_decompressor *fastInflater = nullptr;
    libdeflate_compressor *fastDeflater = nullptr; // the libdeflate setting
    unsigned char *chunk = nullptr; // stream reads go through it
    size_t chunkSize = 0;
    bool mapped = false; // buffers and zlib's state mapped, not from the heap
};

namespace {

void say(VrdBlockResult *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(VrdBlockResult *r, const char *fmt, ...)
{
    const size_t used = strlen(r->message);
    va_list args;
    va_start(args, fmt);
    vsnprintf(r->message + used, sizeof r->message - used, fmt, args);
    va_end(args);
}

void damaged(VrdBlockResult *r)
{
    if (r->outcome == vrdBlockWhole)
        r->outcome = vrdBlockDamaged;
}

void fatal(VrdBlockResult *r, int32_t status)
{
    r->outcome = vrdBlockFatal;
    r->exitStatus = status;
}

void clear(VrdBlockResult *r)
{
    memset(r, 0, sizeof *r);
}

// A zlib stream of one stored byte: inflating it makes zlib allocate its
// window, which it otherwise does on the first block.
const unsigned char kWarmUp[] = {0x78, 0x01, 0x01, 0x01, 0x00, 0xfe, 0xff, 0x78, 0x00, 0x79, 0x00, 0x79};

// zlib's windows and tables are large; they are mapped like the buffers.
voidpf zlibAlloc(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > SIZE_MAX / size)
        return Z_NULL;
    return vrdpriv::mapBuffer(size_t(items) * size);
}

void zlibFree(voidpf, voidpf address)
{
    vrdpriv::unmapBuffer(address);
}

bool setUpInflater(VrdCodec *c)
{
    if (c->mapped)
        c->inflater.zalloc = zlibAlloc, c->inflater.zfree = zlibFree;
    c->inflaterStatus = inflateInit(&c->inflater);
    if (c->inflaterStatus != Z_OK)
        return false;
    unsigned char byte = 0;
    c->inflater.next_in = kWarmUp;
    c->inflater.avail_in = sizeof kWarmUp;
    c->inflater.next_out = &byte;
    c->inflater.avail_out = 1;
    const int warm = inflate(&c->inflater, Z_NO_FLUSH);
    return (warm == Z_STREAM_END || warm == Z_OK) && inflateReset(&c->inflater) == Z_OK;
}

int zlibLevel(const VrdDeflate &d)
{
    return d.method == vrdDeflateZlib ? d.level : Z_DEFAULT_COMPRESSION;
}

bool validDeflate(const VrdDeflate &d)
{
    switch (d.method) {
    case vrdDeflateDefault: return true;
    case vrdDeflateZlib: return d.level >= 0 && d.level <= 9;
    case vrdDeflateLibdeflate: return d.level >= 1 && d.level <= 12;
    default: return false;
    }
}

// Inflates one zlib stream fed in pieces, with the outcome that zlib's
// uncompress has on the whole payload at once.
class Inflation {
public:
    Inflation(VrdCodec *codec, void *buffer, uint32_t expected) : s_(codec->inflater)
    {
        // A 0-byte slice still needs room to see whether the stream holds more.
        if (expected > 0) {
            out_ = static_cast<Bytef *>(buffer);
            capacity_ = expected;
        } else {
            out_ = &spare_;
            capacity_ = 1;
        }
        status_ = codec->inflaterStatus;
        if (status_ == Z_OK)
            status_ = inflateReset(&s_);
        s_.next_out = out_;
        s_.avail_out = capacity_;
    }

    // False once the stream has ended or failed; later input is not used.
    bool wantsInput() const { return status_ == Z_OK; }

    void feed(const void *data, size_t size)
    {
        s_.next_in = static_cast<const Bytef *>(data);
        s_.avail_in = static_cast<uInt>(size);
        while (status_ == Z_OK && s_.avail_in > 0)
            status_ = inflate(&s_, Z_NO_FLUSH);
    }

    // Feeds `count` zero bytes, the missing end of a payload cut short.
    void feedZeros(uint64_t count)
    {
        static const unsigned char zeros[4096] = {};
        while (count > 0 && wantsInput()) {
            const size_t n = size_t(std::min<uint64_t>(count, sizeof zeros));
            feed(zeros, n);
            count -= n;
        }
    }

    // All input given: the code uncompress would return.
    int result()
    {
        if (status_ == Z_OK)
            status_ = inflate(&s_, Z_NO_FLUSH); // no input left: Z_BUF_ERROR or the end
        while (status_ == Z_OK)
            status_ = inflate(&s_, Z_NO_FLUSH);
        if (status_ == Z_STREAM_END)
            return Z_OK;
        if (status_ == Z_NEED_DICT)
            return Z_DATA_ERROR;
        if (status_ == Z_BUF_ERROR) {
            // Out of input with room left means a cut stream; a full buffer
            // means the stream holds more than the slice. For a 0-byte slice
            // zlib reports both as a data error.
            const bool roomLeft = out_ == &spare_ || s_.avail_out > 0;
            return roomLeft ? Z_DATA_ERROR : Z_BUF_ERROR;
        }
        return status_;
    }

    uint32_t inflated() const { return out_ == &spare_ ? 0 : capacity_ - s_.avail_out; }

private:
    z_stream &s_;
    Bytef *out_ = nullptr;
    Bytef spare_ = 0;
    uInt capacity_ = 0;
    int status_ = Z_OK;
};

// The outcome of a zlib block after inflation.
void zlibOutcome(VrdBlockResult *r, uint64_t arrived, int code, uint32_t inflated, uint32_t expected)
{
    if (arrived < r->length) {
        say(r, "ReadSliceDataZ: read error (trying to read %d bytes of data)\n", int32_t(r->length));
        damaged(r);
    }
    if (code != Z_OK) {
        say(r, "ReadSliceDataZ: Uncompression Error (%d)\n", code);
        fatal(r, 1);
        r->filled = inflated;
        return;
    }
    if (inflated != expected) {
        say(r, "ReadSliceDataZ: Incorrect data length (%d, %d)\n", int32_t(inflated), int32_t(expected));
        damaged(r);
    }
    r->filled = inflated;
}

// The outcome of a raw block of which `arrived` payload bytes were read.
void rawOutcome(VrdBlockResult *r, uint64_t arrived, uint64_t sliceBytes)
{
    if (r->length != sliceBytes) {
        if (r->length > sliceBytes)
            say(r, "ReadSliceDataN: block of %d bytes for a slice of %d bytes\n", int32_t(r->length),
                int32_t(sliceBytes));
        damaged(r);
    }
    if (arrived < r->length) {
        say(r, "ReadSliceDataN: read error (trying to read %d bytes of data)\n", int32_t(r->length));
        damaged(r);
    }
    r->filled = std::min<uint64_t>(arrived, sliceBytes);
}

uint64_t sliceBytesOf(int32_t voxelSize, int32_t count)
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

// A codec for one call of the stream operations that were given none.
struct TemporaryCodec {
    VrdCodec *codec = nullptr;
    bool owned = false;
    TemporaryCodec(VrdCodec *given, int32_t uses, size_t chunk) : codec(given)
    {
        if (codec == nullptr) {
            codec = vrdpriv::newCodec(uses, nullptr, chunk, true);
            owned = true;
        }
    }
    ~TemporaryCodec()
    {
        if (owned)
            vrdCodecFree(codec);
    }
    TemporaryCodec(const TemporaryCodec &) = delete;
    TemporaryCodec &operator=(const TemporaryCodec &) = delete;
};

} // namespace

namespace vrdpriv {

// The mapping's length is kept in front of the buffer; 64 bytes keep the
// buffer as aligned as a cache line.
constexpr size_t kMapHeader = 64;

void *mapBuffer(size_t bytes)
{
    if (bytes > SIZE_MAX - kMapHeader)
        return nullptr;
    const size_t length = bytes + kMapHeader;
    void *map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
    memcpy(map, &length, sizeof length);
    return static_cast<unsigned char *>(map) + kMapHeader;
}

void unmapBuffer(void *buffer)
{
    if (buffer == nullptr)
        return;
    unsigned char *map = static_cast<unsigned char *>(buffer) - kMapHeader;
    size_t length = 0;
    memcpy(&length, map, sizeof length);
    munmap(map, length);
}

VrdCodec *newCodec(int32_t uses, const VrdDeflate *deflate, size_t chunkSize, bool fastInflate, bool mapped)
{
    const VrdDeflate setting = deflate != nullptr ? *deflate : VrdDeflate{};
    if (!validDeflate(setting))
        return nullptr;
    VrdCodec *c = static_cast<VrdCodec *>(calloc(1, sizeof(VrdCodec)));
    if (c == nullptr)
        return nullptr;
    *c = VrdCodec{};
    c->uses = uses;
    c->deflate = setting;
    c->mapped = mapped;
    bool ok = true;
    // An inflater that cannot be set up is kept failed: its blocks then
    // report zlib's code as uncompress would.
    if (uses & (vrdCodecInflate | vrdCodecStream))
        ok = setUpInflater(c) || !(uses & vrdCodecInflate);
    if (ok && fastInflate && (uses & vrdCodecInflate))
        ok = (c->fastInflater = libdeflate_alloc_decompressor()) != nullptr;
    if (ok && (uses & vrdCodecDeflate) && setting.method == vrdDeflateLibdeflate) {
        ok = (c->fastDeflater = libdeflate_alloc_compressor(setting.level)) != nullptr;
    } else if (ok && (uses & vrdCodecDeflate)) {
        if (c->mapped)
            c->deflater.zalloc = zlibAlloc, c->deflater.zfree = zlibFree;
        c->deflaterReady = deflateInit(&c->deflater, zlibLevel(setting)) == Z_OK;
        ok = c->deflaterReady;
    }
    if (ok && (uses & vrdCodecStream)) {
        c->chunkSize = std::max<size_t>(chunkSize, 1);
        c->chunk = static_cast<unsigned char *>(mapped ? mapBuffer(c->chunkSize) : malloc(c->chunkSize));
        ok = c->chunk != nullptr;
    }
    if (!ok) {
        vrdCodecFree(c);
        return nullptr;
    }
    return c;
}

bool readLength(FILE *file, VrdBlockResult *r)
{
    uint32_t value = 0;
    for (int n = 1; n <= 4; ++n) {
        const int byte = fgetc(file);
        if (byte == EOF) {
            r->lengthEnded = n;
            say(r, "ReadLong error (%d)\n", n);
            fatal(r, 1);
            return false;
        }
        value = (value << 8) | uint32_t(byte);
    }
    r->length = value;
    return true;
}

void readRawPayload(FILE *file, void *slice, uint64_t sliceBytes, VrdBlockResult *r)
{
    // Only the slice's bytes are stored; the rest of a longer block is read
    // past so that the stream stands at the next block.
    const uint64_t stored = std::min<uint64_t>(r->length, sliceBytes);
    uint64_t arrived = stored > 0 ? fread(slice, 1, size_t(stored), file) : 0;
    if (arrived == stored && r->length > stored)
        arrived += skipBytes(file, r->length - stored);
    rawOutcome(r, arrived, sliceBytes);
}

void streamZlibPayload(FILE *file, VrdCodec *codec, void *slice, uint32_t expected, VrdBlockResult *r)
{
    // The whole payload is consumed even when the stream ends or fails
    // early, so that a read error is reported before the zlib outcome.
    Inflation inflation(codec, slice, expected);
    const uint32_t length = r->length;
    uint64_t arrived = 0;
    while (arrived < length) {
        const size_t want = size_t(std::min<uint64_t>(length - arrived, codec->chunkSize));
        const size_t got = fread(codec->chunk, 1, want, file);
        if (got > 0 && inflation.wantsInput())
            inflation.feed(codec->chunk, got);
        arrived += got;
        if (got < want)
            break;
    }
    inflation.feedZeros(length - arrived);
    const int code = inflation.result();
    zlibOutcome(r, arrived, code, inflation.inflated(), expected);
}

void decodeZlib(VrdCodec *codec, const void *payload, uint64_t arrived, void *slice, uint32_t expected,
                VrdBlockResult *r)
{
    arrived = std::min<uint64_t>(arrived, r->length);
    // libdeflate takes a few streams that break the deflate format's rules
    // without changing what they decode to (a code-length run past the
    // declared lengths, more length or distance codes declared than exist,
    // the two unused length and distance symbols), which zlib refuses; with
    // the Adler-32 of exactly the slice's bytes right, such a block is read.
    if (codec->fastInflater != nullptr && arrived == r->length && expected > 0 &&
        libdeflate_zlib_decompress(codec->fastInflater, payload, arrived, slice, expected, nullptr) ==
            LIBDEFLATE_SUCCESS) {
        r->filled = expected;
        return;
    }
    Inflation inflation(codec, slice, expected);
    const unsigned char *p = static_cast<const unsigned char *>(payload);
    uint64_t fed = 0;
    while (fed < arrived && inflation.wantsInput()) {
        const size_t n = size_t(std::min<uint64_t>(arrived - fed, vrdpriv::kStreamChunk));
        inflation.feed(p + fed, n);
        fed += n;
    }
    inflation.feedZeros(r->length - arrived);
    const int code = inflation.result();
    zlibOutcome(r, arrived, code, inflation.inflated(), expected);
}

void reverseOrder(VrdBlockResult *r, void *slice, int32_t endian, int32_t voxelSize, int32_t count)
{
    if (r->outcome == vrdBlockFatal || endian == vrdLittleEndian || count <= 0)
        return;
    if (voxelSize != 1 && voxelSize != 2 && voxelSize != 4 && voxelSize != 8) {
        say(r, "SwapOrder:: Incorrect item size.\n");
        fatal(r, -1);
        return;
    }
    vrdSwapItems(slice, voxelSize, count);
}

bool zlibSliceFits(uint64_t sliceBytes, VrdBlockResult *r)
{
    if (sliceBytes <= UINT32_MAX)
        return true;
    say(r, "ReadSliceDataN: slice too large for a block\n");
    fatal(r, 1);
    return false;
}

int readForLater(FILE *file, VrdCodec *streamCodec, void *slice, uint64_t sliceBytes, int32_t compression,
                 unsigned char *payload, size_t capacity, uint64_t *arrived, VrdBlockResult *r)
{
    clear(r);
    if (compression != vrdCompNone && compression != vrdCompZlib)
        return kDecoded;
    if (compression == vrdCompZlib && !zlibSliceFits(sliceBytes, r))
        return kEnded;
    if (!readLength(file, r))
        return kEnded;
    if (compression == vrdCompNone) {
        readRawPayload(file, slice, sliceBytes, r);
        return kDecoded;
    }
    if (r->length > capacity) {
        // Longer than any deflater makes it: inflated here, piece by piece.
        streamZlibPayload(file, streamCodec, slice, uint32_t(sliceBytes), r);
        return kDecoded;
    }
    *arrived = r->length > 0 ? fread(payload, 1, r->length, file) : 0;
    return kPayload;
}

void writePayload(FILE *file, const void *payload, uint32_t length, int32_t compression, VrdBlockResult *r)
{
    r->length = length;
    if (compression != vrdCompNone && compression != vrdCompZlib)
        return;
    WriteLong(file, int32_t(length));
    if (fwrite(payload, 1, length, file) < length)
        shortWrite(r, compression);
}

void shortWrite(VrdBlockResult *r, int32_t compression)
{
    say(r, compression == vrdCompZlib ? "WriteSliceDataZ: Write Error\n" : "WriteSliceDataN: Write Error\n");
    damaged(r);
}

} // namespace vrdpriv

extern "C" {

int32_t vrdParseDeflate(const char *text, VrdDeflate *setting)
{
    if (text == nullptr)
        return 0;
    struct Method { const char *name; int32_t method, low, high, fallback; };
    static const Method methods[] = {{"zlib", vrdDeflateZlib, 0, 9, -1}, {"libdeflate", vrdDeflateLibdeflate, 1, 12, 6}};
    for (const Method &m : methods) {
        const size_t n = strlen(m.name);
        if (strncmp(text, m.name, n) != 0)
            continue;
        if (text[n] == '\0') {
            *setting = m.fallback < 0 ? VrdDeflate{vrdDeflateDefault, 0} : VrdDeflate{m.method, m.fallback};
            return 1;
        }
        if (text[n] != ':' || text[n + 1] < '0' || text[n + 1] > '9')
            return 0;
        char *end = nullptr;
        const long level = strtol(text + n + 1, &end, 10);
        if (*end != '\0' || level < m.low || level > m.high)
            return 0;
        *setting = VrdDeflate{m.method, int32_t(level)};
        return 1;
    }
    return 0;
}

VrdCodec *vrdCodecNew(int32_t uses, const VrdDeflate *deflate)
{
    // Codecs kept for a run are mapped; the short-lived ones of single
    // stream reads come from the heap, which costs them no system calls.
    return vrdpriv::newCodec(uses, deflate, vrdpriv::kStreamChunk, true, true);
}

void vrdCodecFree(VrdCodec *codec)
{
    if (codec == nullptr)
        return;
    if (codec->inflaterStatus == Z_OK)
        inflateEnd(&codec->inflater);
    if (codec->deflaterReady)
        deflateEnd(&codec->deflater);
    libdeflate_free_decompressor(codec->fastInflater);
    libdeflate_free_compressor(codec->fastDeflater);
    if (codec->mapped)
        vrdpriv::unmapBuffer(codec->chunk);
    else
        free(codec->chunk);
    free(codec);
}

uint64_t vrdDeflateBound(const VrdCodec *codec, uint32_t length)
{
    uint64_t bound = vrdDeflateCapacity(length);
    if (codec != nullptr && codec->fastDeflater != nullptr)
        bound = std::max<uint64_t>(bound, libdeflate_zlib_compress_bound(codec->fastDeflater, length));
    return bound;
}

int32_t vrdInflateBlock(const void *data, uint32_t arrived, uint32_t length, void *buffer, uint32_t expectedLength,
                        uint32_t *inflated)
{
    VrdCodec *codec = vrdpriv::newCodec(vrdCodecInflate, nullptr, 0, false);
    if (codec == nullptr) {
        *inflated = 0;
        return Z_MEM_ERROR;
    }
    Inflation inflation(codec, buffer, expectedLength);
    arrived = std::min(arrived, length);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (uint32_t fed = 0; fed < arrived && inflation.wantsInput();) {
        const uint32_t n = uint32_t(std::min<uint64_t>(arrived - fed, vrdpriv::kStreamChunk));
        inflation.feed(p + fed, n);
        fed += n;
    }
    inflation.feedZeros(uint64_t(length) - arrived);
    const int code = inflation.result();
    *inflated = inflation.inflated();
    vrdCodecFree(codec);
    return code;
}

int32_t vrdDecodeBlock(VrdCodec *codec, uint32_t length, const void *payload, uint64_t arrived, void *slice,
                       int32_t endian, int32_t voxelSize, int32_t count, int32_t compression, VrdBlockResult *r)
{
    clear(r);
    r->length = length;
    arrived = std::min<uint64_t>(arrived, length);
    const uint64_t sliceBytes = sliceBytesOf(voxelSize, count);
    if (compression == vrdCompNone) {
        const uint64_t stored = std::min(arrived, sliceBytes);
        if (payload != slice && stored > 0)
            memmove(slice, payload, size_t(stored));
        rawOutcome(r, arrived, sliceBytes);
    } else if (compression == vrdCompZlib && vrdpriv::zlibSliceFits(sliceBytes, r)) {
        TemporaryCodec use(codec, vrdCodecInflate, 0);
        if (use.codec == nullptr) {
            say(r, "ReadSliceDataZ: Allocation error.\n");
            fatal(r, 1);
        } else {
            vrdpriv::decodeZlib(use.codec, payload, arrived, slice, uint32_t(sliceBytes), r);
        }
    }
    vrdpriv::reverseOrder(r, slice, endian, voxelSize, count);
    return r->outcome == vrdBlockWhole;
}

int32_t vrdReadBlock(FILE *file, VrdCodec *codec, void *slice, int32_t endian, int32_t voxelSize, int32_t count,
                     int32_t compression, VrdBlockResult *r)
{
    clear(r);
    const uint64_t sliceBytes = sliceBytesOf(voxelSize, count);
    if (compression == vrdCompNone) {
        if (vrdpriv::readLength(file, r))
            vrdpriv::readRawPayload(file, slice, sliceBytes, r);
    } else if (compression == vrdCompZlib && vrdpriv::zlibSliceFits(sliceBytes, r) && vrdpriv::readLength(file, r)) {
        const bool streams = codec != nullptr && codec->chunk != nullptr;
        TemporaryCodec use(streams ? codec : nullptr, vrdCodecStream,
                           std::min<size_t>(r->length, vrdpriv::kStreamChunk));
        if (use.codec == nullptr) {
            say(r, "ReadSliceDataZ: Allocation error.\n");
            fatal(r, 1);
        } else {
            vrdpriv::streamZlibPayload(file, use.codec, slice, uint32_t(sliceBytes), r);
        }
    }
    vrdpriv::reverseOrder(r, slice, endian, voxelSize, count);
    return r->outcome == vrdBlockWhole;
}

int32_t vrdDeflateSlice(VrdCodec *codec, const void *data, uint32_t length, void *out, uint64_t capacity,
                        uint32_t *outLength, VrdBlockResult *r)
{
    clear(r);
    bool done = false;
    if (codec != nullptr && codec->fastDeflater != nullptr) {
        // libdeflate reports a buffer too small as 0 bytes; it never writes past capacity.
        const size_t n = libdeflate_zlib_compress(codec->fastDeflater, data, length, out,
                                                  size_t(std::min<uint64_t>(capacity, SIZE_MAX)));
        done = n > 0;
        *outLength = uint32_t(n);
    } else if (codec != nullptr && codec->deflaterReady && deflateReset(&codec->deflater) == Z_OK) {
        z_stream &s = codec->deflater;
        s.next_in = static_cast<const Bytef *>(data);
        s.avail_in = length;
        s.next_out = static_cast<Bytef *>(out);
        s.avail_out = uInt(std::min<uint64_t>(capacity, UINT32_MAX));
        done = deflate(&s, Z_FINISH) == Z_STREAM_END;
        *outLength = uint32_t(s.total_out);
    }
    if (!done) {
        say(r, "WriteSliceDataZ: Compression Error\n");
        fatal(r, 1);
    }
    return done;
}

uint64_t vrdBlockBound(const VrdCodec *codec, uint32_t length, int32_t compression)
{
    return 4 + (compression == vrdCompZlib ? vrdDeflateBound(codec, length) : uint64_t(length));
}

int32_t vrdEncodeBlock(VrdCodec *codec, const void *data, uint32_t length, int32_t compression, void *out,
                       uint64_t capacity, uint64_t *blockSize, VrdBlockResult *r)
{
    clear(r);
    *blockSize = 0;
    unsigned char *bytes = static_cast<unsigned char *>(out);
    uint32_t payload = 0;
    if (compression == vrdCompNone && capacity >= 4 + uint64_t(length)) {
        if (length > 0)
            memcpy(bytes + 4, data, length);
        payload = length;
    } else if (compression == vrdCompZlib && capacity > 4) {
        if (!vrdDeflateSlice(codec, data, length, bytes + 4, capacity - 4, &payload, r))
            return 0;
    } else {
        say(r, compression == vrdCompZlib ? "WriteSliceDataZ: Compression Error\n" : "WriteSliceDataN: Write Error\n");
        fatal(r, 1);
        return 0;
    }
    bytes[0] = uint8_t(payload >> 24), bytes[1] = uint8_t(payload >> 16);
    bytes[2] = uint8_t(payload >> 8), bytes[3] = uint8_t(payload);
    r->length = payload;
    *blockSize = 4 + uint64_t(payload);
    return 1;
}

int32_t vrdWriteBlock(FILE *file, const void *payload, uint32_t length, int32_t compression, VrdBlockResult *r)
{
    clear(r);
    vrdpriv::writePayload(file, payload, length, compression, r);
    fflush(file);
    return r->outcome == vrdBlockWhole;
}

int32_t vrdReportBlock(const VrdBlockResult *r)
{
    fputs(r->message, stderr);
    if (r->outcome == vrdBlockFatal)
        exit(r->exitStatus);
    return r->outcome == vrdBlockWhole;
}

} // extern "C"
