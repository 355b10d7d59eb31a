// The output file of a run. A regular file is never half-replaced: the run
// writes a new temporary file beside it and renames it onto the output path
// when the run ends as the programs end (a complete run, a run with damaged
// slices, a fatal library error that exits). A run stopped by SIGINT, SIGTERM
// or SIGHUP removes its temporary file and leaves the output path as it was.
// Outputs that are not regular files (FIFOs, devices, /dev/stdout) are
// written directly.
#ifndef VRDTOOL_OUTPUT_H
#define VRDTOOL_OUTPUT_H

#include <cstdio>

namespace vrdtool {

// Opens path for writing as described; null with errno set when neither the
// temporary file nor the path itself can be created. One output per process.
FILE *openOutput(const char *path);

// Moves the temporary file onto the output path, once the stream is closed.
// Returns false with errno set when the rename fails (the temporary file is
// then kept). Does nothing for an output written directly, or a second time.
bool commitOutput();

// The temporary file's path, for a message about a failed rename.
const char *temporaryPath();

// Ignores SIGXFSZ, so that a write beyond a file-size limit fails as a write
// error instead of killing the process.
void ignoreFileSizeSignal();

} // namespace vrdtool

#endif
