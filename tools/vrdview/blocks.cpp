#include "blocks.h"

#include <cstdio>
#include <vector>

namespace vrdview {

namespace {

// One codec per thread that reads blocks, made at its first block.
struct ThreadCodec {
    VrdCodec *codec = nullptr;
    ~ThreadCodec() { vrdCodecFree(codec); }
};

thread_local ThreadCodec threadCodec;

} // namespace

Blocks::~Blocks()
{
    if (started_)
        vrdFreeBlockIndex(&index_);
}

bool Blocks::start(int fd, int64_t first, const VrdHeader &h, std::string &why)
{
    fd_ = fd;
    h_ = h;
    char reason[200] = "";
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    if (vrdIndexStart(fd, first, &h, &index_, reason, sizeof reason) != 1) {
        why = reason;
        finished_.store(true);
        return false;
    }
    finished_.store(index_.finished != 0);
    return true;
}

bool Blocks::more(int32_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_.load())
        return false;
    char reason[200] = "";
    if (vrdIndexMore(fd_, &index_, count, reason, sizeof reason) != 1)
        index_.finished = 1;
    found_.store(index_.held);
    finished_.store(index_.finished != 0);
    return !finished_.load();
}

int32_t Blocks::read(int32_t z, void *slice, VrdBlockResult *result, bool &later) const
{
    *result = VrdBlockResult{};
    later = false;
    int64_t offset = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (z >= 0 && z < index_.held)
            offset = index_.offsets[z];
        else if (!finished_.load())
            later = true;
        else
            snprintf(result->message, sizeof result->message, "%s", index_.why[0] ? index_.why : "no block");
    }
    if (offset < 0) {
        result->outcome = vrdBlockDamaged;
        if (later)
            snprintf(result->message, sizeof result->message, "indexing the blocks: %d of %d", found_.load(), h_.nz);
        return 0;
    }
    ThreadCodec &tc = threadCodec;
    if (tc.codec == nullptr && h_.compression == vrdCompZlib)
        tc.codec = vrdCodecNew(vrdCodecInflate, nullptr);
    return vrdReadIndexedBlock(fd_, &h_, offset, tc.codec, slice, result);
}

} // namespace vrdview
