/* Opening and parsing a volume file's header. */
#ifndef VRD_READER_H
#define VRD_READER_H

#include "header.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens path for binary reading and reads its prologue into h. Returns the
   stream positioned at the first slice block, or null with vrdErrno set
   (1 when the file cannot be opened). On a failed prologue the stream it
   opened is closed. */
FILE *vrdOpenRead(const char *path, VrdHeader *h);

/* readVrdHeader, then reads and drops the icon image. Returns file positioned
   at the first slice block, or null with vrdErrno set (4 when the icon is
   short or its size is negative, 14 when its buffer cannot be had). The
   stream stays the caller's to close. */
FILE *vrdReadPrologue(FILE *file, VrdHeader *h);

/* Reads the PNM lines and every header line through the one after "#!last",
   fills h (reset first, compression preset to vrdCompZlib), stores the icon's
   size and isColor (1 for P6, 0 for P5), and validates h with vrdCheckHeader.
   Returns file positioned at the first icon byte, or null with vrdErrno set.
   Writes nothing, except a warning when the process's locale writes numbers
   with a decimal comma; exits with status 1 when it recognises no float format.
   Bounds: a "#!tfnum" count above 2^20 is refused with 33, and a rectilinear
   grid whose spacing array would have more than 2^24 entries with 14. */
FILE *readVrdHeader(FILE *file, VrdHeader *h, int32_t *iconWidth,
                    int32_t *iconHeight, int32_t *isColor);

#ifdef __cplusplus
}
#endif

#endif
