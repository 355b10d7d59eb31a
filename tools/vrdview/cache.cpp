#include "cache.h"

namespace vrdview {

Bytes SliceCache::find(int file, int32_t z)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = where_.find(Key{file, z});
    if (it == where_.end())
        return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->data;
}

void SliceCache::put(int file, int32_t z, Bytes data)
{
    if (data == nullptr || data->size() > budget_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    const Key key{file, z};
    if (where_.count(key) != 0)
        return;
    held_ += data->size();
    order_.push_front(Entry{key, std::move(data)});
    where_[key] = order_.begin();
    while (held_ > budget_ && !order_.empty()) {
        const Entry &last = order_.back();
        held_ -= last.data->size();
        where_.erase(last.key);
        order_.pop_back();
    }
}

uint64_t SliceCache::held() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

} // namespace vrdview
