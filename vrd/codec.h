/* Slice blocks in memory: decoding a block's payload into a slice and
   deflating a slice into a block, without I/O and without ending the process.
   The stream operations of slice.h and the slice engine of engine.h are built
   on these, so every path reports a block with the same outcome and the same
   message text. */
#ifndef VRD_CODEC_H
#define VRD_CODEC_H

#include "header.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome of one block. */
enum {
    vrdBlockWhole = 0,   /* read or written whole; no message */
    vrdBlockDamaged = 1, /* a fault the library reports and goes on after */
    vrdBlockFatal = 2    /* a fault that ends the run (the process, in the stream operations) */
};

/* What the library does about one block: its outcome, the exit status of a
   fatal one, and the text it prints on stderr for it (one or more lines, each
   ending in a line feed, in the order the library prints them; empty for a
   whole block). */
typedef struct VrdBlockResult {
    int32_t outcome;    /* vrdBlockWhole, vrdBlockDamaged or vrdBlockFatal */
    int32_t exitStatus; /* of a fatal outcome: 1, or -1 for an item size that cannot be reversed */
    uint32_t length;    /* the block's length field (0 when it was not read) */
    int32_t lengthEnded; /* 1..4: the file ended at that byte of the length field; 0 otherwise */
    uint64_t filled;    /* bytes at the start of the slice that the block set */
    char message[256];
} VrdBlockResult;

/* How zlib blocks are deflated. The default writes exactly what zlib's
   compress writes at its default level; the others write ordinary zlib
   streams too, which every reader takes. */
enum {
    vrdDeflateDefault = 0,   /* zlib, default level: the format's own blocks */
    vrdDeflateZlib = 1,      /* zlib at level 0..9 */
    vrdDeflateLibdeflate = 2 /* libdeflate at level 1..12 */
};
typedef struct VrdDeflate {
    int32_t method; /* vrdDeflateDefault, vrdDeflateZlib, vrdDeflateLibdeflate */
    int32_t level;
} VrdDeflate;

/* Parses a deflate setting: "zlib" (the default), "zlib:LEVEL" (0 to 9),
   "libdeflate" (level 6) or "libdeflate:LEVEL" (1 to 12). Returns 1 and fills
   *setting, or 0 for any other text (*setting unchanged). */
int32_t vrdParseDeflate(const char *text, VrdDeflate *setting);

/* The state one thread needs to decode and deflate blocks, made once and used
   for every block, so that no block allocates anything. Not to be shared by
   two threads at once. */
typedef struct VrdCodec VrdCodec;

enum {
    vrdCodecInflate = 1, /* decoding zlib blocks */
    vrdCodecDeflate = 2, /* deflating slices */
    vrdCodecStream = 4   /* reading zlib payloads from a stream piece by piece */
};

/* Makes a codec for the uses in `uses` (vrdCodec* flags); deflate may be null
   for the default. Returns null when memory runs out or the setting is not
   valid. */
VrdCodec *vrdCodecNew(int32_t uses, const VrdDeflate *deflate);
void vrdCodecFree(VrdCodec *codec);

/* The capacity a deflated block of `length` bytes needs with this codec's
   setting (with a null codec, the default's: vrdDeflateCapacity). */
uint64_t vrdDeflateBound(const VrdCodec *codec, uint32_t length);

/* Decodes a block whose payload is in memory into slice (voxelSize * count
   bytes), with the outcome and messages ReadSliceDataN has for it. length is
   the block's length field; payload holds the first `arrived` payload bytes
   (fewer than length when the file ended inside the block), of which a raw
   block uses at most the slice's size; payload may be slice itself for a raw
   block. The slice's bytes from result->filled on are unspecified afterwards
   (ReadSliceDataN leaves them as they were). Items are reversed into this
   machine's order unless endian is vrdLittleEndian. codec must have
   vrdCodecInflate for zlib blocks, or may be null (a temporary state is made;
   when that fails the outcome is fatal). Returns 1 for a whole block, else 0. */
int32_t vrdDecodeBlock(VrdCodec *codec, uint32_t length, const void *payload, uint64_t arrived, void *slice,
                       int32_t endian, int32_t voxelSize, int32_t count, int32_t compression,
                       VrdBlockResult *result);

/* Reads one block from file into slice exactly as ReadSliceDataN does, but
   prints nothing and never ends the process: the outcome and the messages go
   to *result. codec may be null. Returns 1 for a whole block, else 0. */
int32_t vrdReadBlock(FILE *file, VrdCodec *codec, void *slice, int32_t endian, int32_t voxelSize,
                     int32_t count, int32_t compression, VrdBlockResult *result);

/* Deflates length bytes of data into out (capacity bytes, at least
   vrdDeflateBound) as one zlib stream; *outLength gets its length. A fault is
   fatal with WriteSliceDataZ's message. Returns 1 on success, else 0. */
int32_t vrdDeflateSlice(VrdCodec *codec, const void *data, uint32_t length, void *out, uint64_t capacity,
                        uint32_t *outLength, VrdBlockResult *result);

/* The bytes of a finished block in memory, as WriteSliceDataN writes it:
   the 4-byte big-endian length field, then length bytes of data raw
   (vrdCompNone) or deflated with codec's setting (vrdCompZlib; codec must
   have vrdCodecDeflate). vrdBlockBound is the capacity out needs;
   vrdEncodeBlock stores the block's size in *blockSize and returns 1, or 0
   with a fatal fault in *result (WriteSliceDataZ's message; any other
   compression code is refused too). Never prints or exits. */
uint64_t vrdBlockBound(const VrdCodec *codec, uint32_t length, int32_t compression);
int32_t vrdEncodeBlock(VrdCodec *codec, const void *data, uint32_t length, int32_t compression, void *out,
                       uint64_t capacity, uint64_t *blockSize, VrdBlockResult *result);

/* Writes one block: its length field, then `length` payload bytes, then
   flushes. compression selects the message of a short write
   (WriteSliceDataZ's or WriteSliceDataN's); other codes write nothing but
   still flush. Returns 1 when written whole, else 0 (damaged). */
int32_t vrdWriteBlock(FILE *file, const void *payload, uint32_t length, int32_t compression,
                      VrdBlockResult *result);

/* What the library does with a block's result: prints its message on stderr,
   ends the process with its exit status when it is fatal, else returns 1 for
   a whole block and 0 for a damaged one. */
int32_t vrdReportBlock(const VrdBlockResult *result);

#ifdef __cplusplus
}
#endif

#endif
