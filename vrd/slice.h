/* Slice data blocks: a 4-byte big-endian length, then the raw slice bytes or
   a zlib stream of them. */
#ifndef VRD_SLICE_H
#define VRD_SLICE_H

#include "header.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The four block operations return 1 when the block was written or read
   whole, 0 after a non-fatal fault that they reported on stderr (a short
   read or write, a block that inflates short, a raw block whose length is
   not the slice's). Fatal faults exit the process with status 1. */

/* Writes count items of voxelSize bytes from data as one block: raw for
   vrdCompNone, deflated for vrdCompZlib, nothing for other codes. Converts
   nothing and always flushes the stream. */
int32_t WriteSliceDataN(FILE *file, const void *data, int32_t voxelSize,
                        int32_t count, int32_t compression);

/* Reads one block into buffer (voxelSize * count bytes) and converts every
   item to little-endian order unless endian is vrdLittleEndian. Never stores
   past voxelSize * count bytes; a longer raw block is cut to the slice and the
   rest skipped, so the stream stands at the next block. Other compression
   codes read nothing. An item size other than 1, 2, 4, 8 to be converted
   exits with status -1. */
int32_t ReadSliceDataN(FILE *file, void *buffer, int32_t endian,
                       int32_t voxelSize, int32_t count, int32_t compression);

/* Deflates length bytes at zlib's default level and writes them as a block. */
int32_t WriteSliceDataZ(FILE *file, const void *data, uint32_t length);

/* Reads one zlib block and inflates it into buffer, at most expectedLength
   bytes. Missing payload bytes count as zeros. Any zlib error is fatal. */
int32_t ReadSliceDataZ(FILE *file, void *buffer, uint32_t expectedLength);

/* Writes value as four bytes, most significant first. */
void WriteLong(FILE *file, int32_t value);

/* Reads four bytes, most significant first. A missing byte n writes
   "ReadLong error (n)" to stderr and exits with status 1. */
int32_t ReadLong(FILE *file);

/* Reverses the bytes of one item of 1, 2, 4 or 8 bytes in place. Any other
   size writes "SwapOrder:: Incorrect item size." and exits with status -1. */
void SwapOrder(void *item, int32_t itemSize);

/* In-memory halves of the zlib blocks, for callers that move the block bytes
   themselves (a reader thread and worker threads, say).

   vrdDeflateCapacity: the output capacity that WriteSliceDataZ gives zlib for
   length bytes: length * 1.01 + 12, truncated.

   vrdInflateBlock: inflates a block payload of length bytes, of which the
   first `arrived` are at data and the rest count as zeros (a payload cut
   short by the end of its file), into buffer, at most expectedLength bytes.
   Returns zlib's code exactly as uncompress gives it for the whole payload
   (0 when the stream ended) and stores the inflated length in *inflated.
   Bytes of buffer past *inflated keep what they held. */
uint64_t vrdDeflateCapacity(uint32_t length);

/* Reverses every one of count items of voxelSize bytes in place, as
   ReadSliceDataN does for data that are not little-endian; an item size
   other than 1, 2, 4 or 8 with count above 0 ends the process like
   SwapOrder. */
void vrdSwapItems(void *buffer, int32_t voxelSize, int32_t count);
int32_t vrdInflateBlock(const void *data, uint32_t arrived, uint32_t length, void *buffer,
                        uint32_t expectedLength, uint32_t *inflated);

#ifdef __cplusplus
}
#endif

#endif
