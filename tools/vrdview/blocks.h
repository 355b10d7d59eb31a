// vrdview: where each slice's block lies in a file, and reading one block by
// its place from any thread.
#ifndef VRDVIEW_BLOCKS_H
#define VRDVIEW_BLOCKS_H

#include <vrd/vrd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace vrdview {

class Blocks {
public:
    // Finds the blocks of the file open as fd, from byte `first` on (as the
    // header reader left it); `found` counts the slices as they are found.
    void build(int fd, uint64_t first, const VrdHeader &h);

    // Slices the file has a block for (fewer than nz when it ends early).
    int32_t count() const { return found_.load(); }

    // Reads and decodes slice z's block into slice (this machine's order).
    // Returns 1 for a whole block, else 0 with result->message saying why.
    int32_t read(int32_t z, void *slice, VrdBlockResult *result) const;

private:
    int fd_ = -1;
    VrdHeader h_{};
    uint64_t size_ = 0;
    std::vector<uint64_t> at_; // of each slice's length field
    std::vector<uint32_t> length_;
    std::atomic<int32_t> found_{0};
};

} // namespace vrdview

#endif
