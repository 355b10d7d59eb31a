// The block steps that the stream operations and the slice engine share;
// not part of the library's interface.
#ifndef VRD_CODEC_INTERNAL_H
#define VRD_CODEC_INTERNAL_H

#include "vrd/codec.h"

#include <cstddef>
#include <cstdio>

namespace vrdpriv {

// Payloads read from a stream move through a buffer of at most this size, so
// a block length in a damaged file costs no more memory than it really has.
// zlib is fed in pieces of this size on every path, in memory too: where a
// stream reaches back past the window its header declares, where the pieces
// end decides zlib's outcome, so all paths cut them at the same places.
constexpr size_t kStreamChunk = size_t{1} << 20;

// Zeroed buffers mapped straight from the system, given back when freed.
// The C library keeps freed heap memory and, after a large free, serves
// later large requests from the heap too; a set-up that fails and tries
// again with fewer threads then finds its first try still holding the
// address space. Mapped buffers free it at once. Null when out of memory.
void *mapBuffer(size_t bytes);
void unmapBuffer(void *buffer); // null is allowed

// fastInflate false: zlib alone inflates, as the format's reference.
// mapped: the chunk and zlib's state are mapped buffers (see mapBuffer).
VrdCodec *newCodec(int32_t uses, const VrdDeflate *deflate, size_t chunkSize, bool fastInflate,
                   bool mapped = false);

// Reads a block's length field into r->length; false (fatal, with the
// message of the missing byte) when the file ends inside it.
bool readLength(FILE *file, VrdBlockResult *r);

// After the length field: a raw payload straight into the slice.
void readRawPayload(FILE *file, void *slice, uint64_t sliceBytes, VrdBlockResult *r);

// After the length field: a zlib payload read piece by piece and inflated.
void streamZlibPayload(FILE *file, VrdCodec *codec, void *slice, uint32_t expected, VrdBlockResult *r);

// Whether a zlib block can hold a slice of this size; if not, r is fatal.
bool zlibSliceFits(uint64_t sliceBytes, VrdBlockResult *r);

// Reverses the items unless the slice is little-endian or r is fatal; an
// item size that cannot be reversed makes r fatal with status -1.
void reverseOrder(VrdBlockResult *r, void *slice, int32_t endian, int32_t voxelSize, int32_t count);

// Notes a block that was not written whole, with the message of its kind.
void shortWrite(VrdBlockResult *r, int32_t compression);

// Writes a block's length field and payload (no flush), noting a short write.
void writePayload(FILE *file, const void *payload, uint32_t length, int32_t compression, VrdBlockResult *r);

// What readForLater did with a block.
enum { kEnded = 0, kDecoded = 1, kPayload = 2 };

// Reads one block for a decoder that runs later, on another thread: a raw
// payload goes straight into the slice (kDecoded); a zlib payload that fits
// `capacity` into payload, *arrived bytes of it (kPayload), and a longer one
// is inflated here with streamCodec (kDecoded). kEnded: the length field
// ended early, r is fatal. Byte order is left to the caller.
int readForLater(FILE *file, VrdCodec *streamCodec, void *slice, uint64_t sliceBytes, int32_t compression,
                 unsigned char *payload, size_t capacity, uint64_t *arrived, VrdBlockResult *r);

} // namespace vrdpriv

#endif
