/* Writing a volume file's PNM lines, header lines and icon image. */
#ifndef VRD_WRITER_H
#define VRD_WRITER_H

#include "header.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The end-of-header line, "#!last"; the reader looks for it too. */
extern const char *const vrdLastLine;

/* Writes everything up to the first slice block to file (open for binary
   writing, at its start): "P5" (nbands 1) or "P6", the icon size, the header
   lines, "255" and the icon image of iconHeight rows of iconWidth pixels
   (1 byte each for P5, 3 for P6). Then flushes the stream.
   Fatal errors (message on stderr, exit status 1):
     "writeVrdHeader: Empty icon image"  icon null, width 0 or height 0;
     "writeVrdHeader: Unknown grid type" vtype not 1..4 (after lines up to #!vtype);
     "writeVrdHeader: File write error"  the icon image could not be written whole.
   Unknown endian, compression, dtype and units codes are written as "unknown". */
void writeVrdHeader(FILE *file, const VrdHeader *h, const unsigned char *icon,
                    int32_t iconWidth, int32_t iconHeight);

/* writeVrdHeader with an icon of zero bytes, written in pieces, so that an
   icon of any size costs no memory. Same messages and exits. */
void writeVrdHeaderBlankIcon(FILE *file, const VrdHeader *h, int32_t iconWidth, int32_t iconHeight);

/* writeVrdHeaderBlankIcon without exits, for embedding programs: refuses an
   icon size of 0 or less and an unknown grid type before writing anything,
   writes numbers with a decimal point whatever the process's locale, and
   returns 1, or 0 with the message the classic call prints for the fault
   (without its line feed) in message (messageSize bytes). Prints nothing. */
int32_t vrdWriteHeaderR(FILE *file, const VrdHeader *h, int32_t iconWidth, int32_t iconHeight, char *message,
                        size_t messageSize);

/* The preview of a slice of count values of dtype (this machine's byte
   order): its finite values from their minimum lo to their maximum hi map
   linearly onto 0..255, pixel = floor((v - lo) / (hi - lo) * 255 + 0.5);
   values at or below lo and NaN give 0, values at or above hi 255. A slice
   with no two different finite values gives 0 everywhere.
   vrdPreviewRange stores lo and hi and returns 1 when hi > lo, else 0.
   vrdPreviewPixels writes the pixels of values first .. first + count - 1. */
int32_t vrdPreviewRange(const void *slice, int32_t dtype, int32_t count, double *lo, double *hi);
void vrdPreviewPixels(const void *slice, int32_t dtype, int32_t first, int32_t count, double lo, double hi,
                      unsigned char *pixels);

/* Writes the preview of an nx by ny slice over the grey ("P5") icon that
   starts at byte iconOffset of file (a regular file open for writing; the
   icon is the nx by ny one the programs write), in pieces, and returns the
   stream to where it was. Returns 1 when the icon was written whole, 0 when
   the stream cannot be repositioned or a write failed (nothing is printed). */
int32_t vrdWritePreview(FILE *file, int64_t iconOffset, const void *slice, int32_t dtype, int32_t nx, int32_t ny);

#ifdef __cplusplus
}
#endif

#endif
