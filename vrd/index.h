/* Where each slice's block lies in a volume file, found from the blocks'
   length fields alone, and reading one block by its place: for readers that
   want some slices of a file and not the others, from several threads. */
#ifndef VRD_INDEX_H
#define VRD_INDEX_H

#include "codec.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VrdBlockIndex {
    int32_t nz;        /* slices the header announces */
    int32_t held;      /* blocks the file holds whole: those of slices 0 .. held - 1 */
    int64_t *offsets;  /* held entries: file offset of each block (its length field) */
    uint32_t *lengths; /* held entries: each block's payload length */
    int64_t fileSize;  /* the file's size when it was indexed */
    int64_t end;       /* offset right after the last block held */
    /* When held < nz: the library's message for reading block `held`, the
       first the file cannot hold ("ReadLong error (N)" when the file ends
       inside or before its length field, the read error of its compression
       when the file ends inside its payload), without a line feed. */
    char why[160];
    int32_t compression; /* the header's, for the messages */
    int32_t finished;    /* 1 once every block is found or the first one missing is */
} VrdBlockIndex;

/* Indexes the blocks of a regular file open as fd whose first slice block
   starts at firstBlock (VrdPrologue.firstBlock): reads every length field
   (4 bytes each, with pread: no stream position is used or moved) and seeks
   over the payloads, up to nz blocks or the first block the file cannot hold.
   Memory grows with the blocks found, never with what the header announces.
   Returns 1, or 0 with a one-line reason in why (whySize bytes) when fd is
   not a regular file, cannot be read, or the index cannot be had; release
   with vrdFreeBlockIndex either way. Never prints or exits. */
int32_t vrdIndexBlocks(int fd, int64_t firstBlock, const VrdHeader *h, VrdBlockIndex *index, char *why,
                       size_t whySize);

/* The same in steps, for a caller that shows progress: vrdIndexStart sets up
   an index holding no block yet (same returns), and each vrdIndexMore finds
   up to maxBlocks more (1, or 0 with a reason as above) until
   index->finished. The arrays may move at every step. */
int32_t vrdIndexStart(int fd, int64_t firstBlock, const VrdHeader *h, VrdBlockIndex *index, char *why,
                      size_t whySize);
int32_t vrdIndexMore(int fd, VrdBlockIndex *index, int32_t maxBlocks, char *why, size_t whySize);

void vrdFreeBlockIndex(VrdBlockIndex *index);

/* Reads the block at offset (an entry of an index) of the file open as fd and
   decodes it into slice (nx * ny values of h's dtype, in this machine's byte
   order), with pread only, so that any number of threads may read blocks of
   one descriptor at once. The outcome and messages are those of
   vrdReadBlock; codec (with vrdCodecInflate) serves one thread at a time, or
   is null (a temporary one is made). Returns 1 for a whole block, else 0.
   Never prints or exits. */
int32_t vrdReadIndexedBlock(int fd, const VrdHeader *h, int64_t offset, VrdCodec *codec, void *slice,
                            VrdBlockResult *result);

#ifdef __cplusplus
}
#endif

#endif
