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

/* Reentrant reading, for programs that embed the library (a language
   binding, a server): these calls never print, never end the process and set
   no global state, so several threads may read headers at once. Numbers in
   header lines are read with a decimal point whatever the process's locale.

   What a header read finds besides the header record. */
typedef struct VrdPrologue {
    int32_t iconWidth;  /* the icon's size from the PNM size line */
    int32_t iconHeight;
    int32_t isColor;    /* 1 for "P6", 0 for "P5" */
    int32_t osError;    /* errno of a file that cannot be opened (error 1), else 0 */
    int64_t firstBlock; /* file offset of the first slice block; -1 when unknown */
} VrdPrologue;

/* vrdReadPrologue without its global state: reads the header of file (at its
   start) into h, which it resets first, validates it and steps over the icon,
   leaving file at the first slice block. In a regular file the icon is not
   read: the file must hold it (else error 4) and the stream is moved past it.
   Returns 0, or the error number with h released (vrdFreeHeader) and the
   library's message for it (vrdErrorMessages) in message, messageSize bytes.
   A comment that cannot be had is error 13 here, where the classic reader
   ends the process. prologue may be null. */
int32_t vrdReadPrologueR(FILE *file, VrdHeader *h, VrdPrologue *prologue, char *message, size_t messageSize);

/* Opens path for binary reading (close-on-exec) and runs vrdReadPrologueR.
   Returns 0 with *file at the first slice block, or the error number with
   *file null (the stream it opened is closed); for 1 the message also gives
   the system's reason and prologue->osError its errno. */
int32_t vrdOpenReadR(const char *path, VrdHeader *h, VrdPrologue *prologue, FILE **file, char *message,
                     size_t messageSize);

/* Releases the heap data of a header that the library read (rx, ry, rz,
   comments, transfer functions) and clears it. Only for a header that owns
   its data: not for a copy whose original is still used. */
void vrdFreeHeader(VrdHeader *h);

#ifdef __cplusplus
}
#endif

#endif
