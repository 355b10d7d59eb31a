// The output file of a run. A regular file is never half-replaced: the run
// writes a new file in the output's directory, unnamed (O_TMPFILE) where the
// filesystem has such files, else named `.NAME.partial-XXXXXX`, and puts it
// onto the output path when the run ends as the programs end (a complete
// run, a run with damaged input slices, a fatal library error that exits).
// A run whose writing failed (a full disk, a file-size limit) or that is
// stopped by SIGINT, SIGTERM or SIGHUP removes that file and leaves the
// output path as it was; an unnamed file vanishes even on SIGKILL. A
// replaced output keeps its permission bits, and its group where the caller
// may set it. Outputs that are not regular files (FIFOs, devices,
// /dev/stdout) are written directly.
#ifndef VRDTOOL_OUTPUT_H
#define VRDTOOL_OUTPUT_H

#include <cstdio>

namespace vrdtool {

// Opens path for writing as described; null with errno set when neither the
// temporary file nor the path itself can be created. One output per process.
FILE *openOutput(const char *path);

// Moves the new file onto the output path, once the stream is closed.
// Returns false with errno set when the rename fails (a named file is then
// kept). Does nothing for an output written directly, or a second time.
bool commitOutput();

// Removes the new file instead, leaving the output path as it was.
void discardOutput();

// Whether the output goes to a new file that commitOutput puts in place
// (false for an output written directly, and after a commit or discard).
bool replacesFile();

// The temporary file's path, for a message about a failed rename.
const char *temporaryPath();

// Ignores SIGXFSZ, so that a write beyond a file-size limit fails as a write
// error instead of killing the process.
void ignoreFileSizeSignal();

} // namespace vrdtool

#endif
