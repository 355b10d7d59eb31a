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

#ifdef __cplusplus
}
#endif

#endif
