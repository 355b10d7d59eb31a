// vrdinfo: the report on one file: its header in words, a check of every
// block on the slice engine, the voxel statistics and a one-line verdict.
#ifndef VRDINFO_REPORT_H
#define VRDINFO_REPORT_H

#include <cstdio>
#include <string>

namespace vrdinfo {

struct Options {
    bool json = false;   // one JSON object per file, on one line
    bool slices = false; // a row per slice
};

// What a file was found to be; also its exit status.
enum Verdict { kSound = 0, kDamaged = 1, kRefused = 255 };

// Reports on the file at path to out; for a file that cannot be opened or
// whose header is refused, refusal (when not null) gets the reason. Prints
// nothing else and never ends the process: the viewer's server runs it too.
Verdict reportFile(FILE *out, const char *path, const Options &options, std::string *refusal = nullptr);

} // namespace vrdinfo

#endif
