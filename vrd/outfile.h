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
    vrdOutputInPlace = 3, /* the existing, writable target itself, truncated: its folder takes no new file */
    vrdOutputUnnamed = 4  /* an unnamed file in the target's folder (O_TMPFILE), linked by vrdLinkOutputFile */
};

/* Opens path for writing. When path is, or will be, a regular file (through
   symbolic links), creates a new file ".NAME.partial-XXXXXX" beside the
   file it names, exclusively, close-on-exec, with the mode a plain create
   gives, and stores its path in temporary and the final path in target
   (each of its given size). Anything else is opened as it is, and an
   existing writable file in a folder that takes no new files is written in
   place (temporary is then empty). *how tells which. A new file that
   replaces an existing one gets its permission bits, and its group where
   the caller may set it. Returns the descriptor, or -1 with errno set.
   Reentrant; prints nothing. */
int vrdOpenOutputFile(const char *path, char *target, size_t targetSize, char *temporary, size_t temporarySize,
                      int32_t *how);

/* As vrdOpenOutputFile, but where the target's filesystem has unnamed files
   (O_TMPFILE), the new file is one (*how is vrdOutputUnnamed, temporary is
   empty): a process killed any way then leaves nothing behind. Keep a
   descriptor of it open until vrdLinkOutputFile. */
int vrdOpenOutputFileUnnamed(const char *path, char *target, size_t targetSize, char *temporary,
                             size_t temporarySize, int32_t *how);

/* Puts a complete unnamed file (any open descriptor of it) onto target: it is
   linked under a new ".NAME.partial-XXXXXX" name beside target, stored in
   temporary, and renamed onto target. 0, or -1 with errno set (a file that
   was linked but not renamed is kept under that name). */
int vrdLinkOutputFile(int fd, const char *target, char *temporary, size_t temporarySize);

/* Renames a complete temporary file onto target; 0, or -1 with errno set
   (the temporary file is then kept). */
int vrdCommitOutputFile(const char *temporary, const char *target);

#ifdef __cplusplus
}
#endif

#endif
