// vrdview: a file's block index (the library's), built in steps while the
// page may already ask for slices, and reads of one block from any thread.
#ifndef VRDVIEW_BLOCKS_H
#define VRDVIEW_BLOCKS_H

#include <vrd/vrd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace vrdview {

class Blocks {
public:
    Blocks() = default;
    ~Blocks();
    Blocks(const Blocks &) = delete;
    Blocks &operator=(const Blocks &) = delete;

    // Sets up the index of the file open as fd, whose first block is at
    // `first`. Returns false with why.
    bool start(int fd, int64_t first, const VrdHeader &h, std::string &why);

    // Finds up to `count` more blocks; false once the index is finished.
    bool more(int32_t count);

    // Blocks found so far, and whether the index is finished.
    int32_t found() const { return found_.load(); }
    bool finished() const { return finished_.load(); }

    // Reads and decodes slice z's block into slice (this machine's order).
    // Returns 1 for a whole block; else 0 with result->message, and `later`
    // when the index has not reached z yet.
    int32_t read(int32_t z, void *slice, VrdBlockResult *result, bool &later) const;

private:
    int fd_ = -1;
    VrdHeader h_{};
    mutable std::mutex mutex_; // the index's arrays move while it grows
    VrdBlockIndex index_{};
    bool started_ = false;
    std::atomic<int32_t> found_{0};
    std::atomic<bool> finished_{false};
};

} // namespace vrdview

#endif
