#include "vrd/progress_internal.h"

#include <ctime>

namespace vrdpriv {

namespace {

constexpr double kFirstAfter = 1.0; // seconds before the line appears
constexpr double kEvery = 0.25;     // seconds between rewrites

} // namespace

double monotonicSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void startProgress(Progress &p, bool on, int32_t nz, uint64_t sliceBytes, FILE *)
{
    p = Progress{};
    p.on = on;
    p.nz = nz;
    p.sliceBytes = sliceBytes;
    if (on)
        p.started = monotonicSeconds();
}

void showProgress(Progress &p, int32_t done, FILE *stream)
{
    if (!p.on || done <= 0 || done >= p.nz)
        return;
    const double now = monotonicSeconds(), elapsed = now - p.started;
    if (elapsed < kFirstAfter || now - p.shown < kEvery)
        return;
    p.shown = now;
    const double rate = double(p.sliceBytes) * done / elapsed / 1e6;
    const long left = long(elapsed / done * (p.nz - done) + 0.5);
    char line[128];
    int n;
    if (left >= 3600)
        n = snprintf(line, sizeof line, "%d/%d slices  %.1f MB/s  %ld:%02ld:%02ld left", done, p.nz, rate,
                     left / 3600, left / 60 % 60, left % 60);
    else
        n = snprintf(line, sizeof line, "%d/%d slices  %.1f MB/s  %ld:%02ld left", done, p.nz, rate, left / 60,
                     left % 60);
    if (n < 0)
        return;
    // Blanks over the rest of a longer line before, then back to its start.
    fprintf(stream, "\r%s%*s", line, p.width > n ? p.width - n : 0, "");
    fflush(stream);
    p.width = n > p.width ? n : p.width;
}

void clearProgress(Progress &p, FILE *stream)
{
    if (p.width == 0)
        return;
    fprintf(stream, "\r%*s\r", p.width, "");
    fflush(stream);
    p.width = 0;
}

} // namespace vrdpriv
