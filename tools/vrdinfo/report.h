// vrdinfo: the report on one file: its header in words, a check of every
// block on the slice engine, the voxel statistics and a one-line verdict.
#ifndef VRDINFO_REPORT_H
#define VRDINFO_REPORT_H

#include <cstdio>

namespace vrdinfo {

struct Options {
    bool json = false;   // one JSON object per file, on one line
    bool slices = false; // a row per slice
};

// What a file was found to be; also its exit status.
enum Verdict { kSound = 0, kDamaged = 1, kRefused = 255 };

// Reports on the file at path to out. A file that cannot be opened or whose
// header is refused also gets one line "vrdinfo: path: reason" on stderr.
Verdict reportFile(FILE *out, const char *path, const Options &options);

} // namespace vrdinfo

#endif
