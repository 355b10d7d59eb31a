// The engine's progress line: slices done of nz, MB/s and time left, on
// stderr, rewritten in place. It appears only once a run has taken about a
// second, and is cleared before any other text reaches stderr and at the end.
#ifndef VRD_PROGRESS_INTERNAL_H
#define VRD_PROGRESS_INTERNAL_H

#include <cstdint>
#include <cstdio>

namespace vrdpriv {

struct Progress {
    bool on = false;
    int32_t nz = 0;
    uint64_t sliceBytes = 0; // of every input together
    double started = 0, shown = 0;
    int width = 0;           // of the line on the screen, 0 when none
};

double monotonicSeconds();

// Starts timing a run of nz slices; does nothing more when on is false.
void startProgress(Progress &p, bool on, int32_t nz, uint64_t sliceBytes, FILE *stream);

// After `done` slices: rewrites the line when it is due.
void showProgress(Progress &p, int32_t done, FILE *stream);

// Removes the line, so that what follows starts a clean line.
void clearProgress(Progress &p, FILE *stream);

} // namespace vrdpriv

#endif
