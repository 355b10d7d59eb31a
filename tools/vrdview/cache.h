// vrdview: decoded slices kept under a byte budget, least recently used out first.
#ifndef VRDVIEW_CACHE_H
#define VRDVIEW_CACHE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vrdview {

using Bytes = std::shared_ptr<const std::vector<unsigned char>>;

class SliceCache {
public:
    explicit SliceCache(uint64_t budget) : budget_(budget) {}

    // The slice of file `file` at z, or null when it is not held.
    Bytes find(int file, int32_t z);

    // Holds data for (file, z); drops the least recently used slices while
    // the total is over the budget. A slice larger than the budget is not held.
    void put(int file, int32_t z, Bytes data);

    uint64_t held() const;

private:
    using Key = std::pair<int, int32_t>;
    struct Entry {
        Key key;
        Bytes data;
    };
    mutable std::mutex mutex_;
    uint64_t budget_;
    uint64_t held_ = 0;
    std::list<Entry> order_; // most recently used first
    std::map<Key, std::list<Entry>::iterator> where_;
};

} // namespace vrdview

#endif
