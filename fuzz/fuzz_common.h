// Helpers shared by the fuzz targets.
#ifndef VRD_FUZZ_COMMON_H
#define VRD_FUZZ_COMMON_H

#include "vrd/vrd.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

// A read stream over a private copy of the input. fmemopen refuses a size of
// 0, so an empty input is opened as an empty file of its own.
class MemoryFile {
public:
    MemoryFile(const uint8_t *data, size_t size) : bytes_(data, data + size)
    {
        file_ = size > 0 ? fmemopen(bytes_.data(), size, "rb") : tmpfile();
    }
    ~MemoryFile()
    {
        if (file_ != nullptr)
            fclose(file_);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    FILE *get() const { return file_; }

private:
    std::vector<uint8_t> bytes_;
    FILE *file_ = nullptr;
};

// Releases what a header read allocated; the library itself never does.
inline void freeHeader(VrdHeader &h)
{
    free(h.rx);
    free(h.ry);
    free(h.rz);
    if (h.comments != nullptr)
        for (int32_t i = 0; i < h.commentCount; ++i)
            free(h.comments[i]);
    free(h.comments);
    if (h.tfdata != nullptr)
        for (int64_t i = 0; i < int64_t{5} * h.tfnum; ++i)
            free(h.tfdata[i]);
    free(h.tfdata);
    h = VrdHeader{};
}

// Stops the run in a way every fuzzer and the replay driver report as a crash.
[[noreturn]] inline void failCheck(const char *what)
{
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

} // namespace fuzz

#endif
