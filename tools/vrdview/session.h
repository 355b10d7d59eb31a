// vrdview: the files named on the command line, the work done on them in the
// background, and the windowed and compared planes the page asks for.
#ifndef VRDVIEW_SESSION_H
#define VRDVIEW_SESSION_H

#include "cache.h"
#include "volume.h"
#include "window.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vrdview {

class Session {
public:
    // budget: bytes for the copies and the slice cache together.
    Session(const std::vector<std::string> &paths, uint64_t budget);
    ~Session();

    // Opens every file (a refused one is kept, to show why) and starts the
    // background work.
    void start();

    // What the page shows about the files and their difference, as JSON.
    std::string info();

    // A plane of file f windowed as volmap does, as float32 values.
    bool windowed(int f, Axis axis, int32_t index, const volmap::Window &w, Plane &plane, std::vector<float> &out,
                  std::string &message, bool &later);

    // The same plane of both files compared as volcmp does.
    bool difference(Axis axis, int32_t index, Plane &plane, std::vector<float> &out, std::string &message,
                    bool &later);

    Volume *volume(int f) { return f >= 0 && size_t(f) < volumes_.size() ? volumes_[size_t(f)].get() : nullptr; }
    size_t files() const { return volumes_.size(); }
    uint64_t held() const { return cache_.held(); }

private:
    void work();
    std::string comparable();

    SliceCache cache_;
    std::vector<std::unique_ptr<Volume>> volumes_;
    std::thread worker_;
    std::atomic<bool> stop_{false};
    std::atomic<int32_t> compared_{0};
    std::atomic<int64_t> differing_{-1};
    std::atomic<int64_t> uncompared_{0}; // slices of which one file's block was not whole
};

} // namespace vrdview

#endif
