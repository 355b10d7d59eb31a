/* Writing an output file that is never half-replaced: a regular file is
   written as a new file beside it and renamed onto it when it is complete. */
#ifndef VRD_OUTFILE_H
#define VRD_OUTFILE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How vrdOpenOutputFile opened an output. */
enum {
    vrdOutputBeside = 1,  /* a new file beside the target, to be renamed onto it */
    vrdOutputDirect = 2,  /* the path itself: not a regular file (a FIFO, a device, /dev/ or /proc/) */
    vrdOutputInPlace = 3  /* the existing, writable target itself, truncated: its folder takes no new file */
};

/* Opens path for writing. When path is, or will be, a regular file (through
   symbolic links), creates a new file ".NAME.partial-XXXXXX" beside the
   file it names, exclusively, close-on-exec, with the mode a plain create
   gives, and stores its path in temporary and the final path in target
   (each of its given size). Anything else is opened as it is, and an
   existing writable file in a folder that takes no new files is written in
   place (temporary is then empty). *how tells which. Returns the descriptor,
   or -1 with errno set. Reentrant; prints nothing. */
int vrdOpenOutputFile(const char *path, char *target, size_t targetSize, char *temporary, size_t temporarySize,
                      int32_t *how);

/* Renames a complete temporary file onto target; 0, or -1 with errno set
   (the temporary file is then kept). */
int vrdCommitOutputFile(const char *temporary, const char *target);

#ifdef __cplusplus
}
#endif

#endif
