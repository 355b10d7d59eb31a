// vrdview: one volume file as the page sees it: its header in words, slices
// and planes of native values, and what a background pass over every block
// finds (statistics, histogram, a copy for the coronal and sagittal planes,
// vrdinfo's report and verdict).
#ifndef VRDVIEW_VOLUME_H
#define VRDVIEW_VOLUME_H

#include "blocks.h"
#include "cache.h"

#include <vrd/vrd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vrdview {

// The three planes: axial (x by y at a z), coronal (x by z at a y),
// sagittal (y by z at an x).
enum class Axis { z, y, x };

// Values of one plane, in the volume's dtype and this machine's byte order.
struct Plane {
    int32_t width = 0, height = 0;
    int32_t step = 1;       // every step-th voxel along each axis of the plane
    double aspect = 1;      // height over width of one pixel, in the volume's units
    int32_t dtype = 0;
    Bytes data;
    // Of a coronal or sagittal plane: 1 for each row whose slice could not be
    // read whole (its voxels are zeros, not data); empty when there is none.
    std::vector<char> damagedRows;
};

class Volume {
public:
    Volume(int id, std::string path, uint64_t copyBudget, SliceCache &cache);
    ~Volume();
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    // Opens the file, reads its header and finds its blocks. Returns false
    // when the file is refused (refusal() says why, in vrdinfo's words).
    bool open();

    // Finds every block (the index), then reads the middle slice for the
    // first window; on the caller's thread.
    void index();

    // The pass over every block, then vrdinfo's report; on the caller's thread.
    void examine();

    const std::string &path() const { return path_; }
    const std::string &refusal() const { return refusal_; }
    const VrdHeader &header() const { return h_; }
    bool ready() const { return ready_.load(); }

    // The plane at index along axis. Axial planes are exact; coronal and
    // sagittal ones come from the copy, and wait for the pass. Returns false
    // with message (a damaged block, a plane not ready yet).
    bool plane(Axis axis, int32_t index, Plane &out, std::string &message, bool &later);

    // Slice z in the volume's dtype, from the copy or the cache or its block.
    // later: the index has not reached z yet.
    Bytes slice(int32_t z, std::string &message, bool *later = nullptr);

    // The value at (x, y, z) as text, and the voxel's position in units.
    // later: the index has not reached z yet.
    bool value(int32_t x, int32_t y, int32_t z, std::string &json, std::string &message, bool &later);

    // What the page shows about the file, as the members of a JSON object.
    std::string json();

private:
    void makeHistogram();
    double position(char axis, int32_t i) const;

    int id_;
    std::string path_;
    uint64_t copyBudget_;
    SliceCache &cache_;
    std::string refusal_;
    FILE *file_ = nullptr;
    VrdHeader h_{};
    std::string words_;       // the header in vrdinfo's words
    Blocks blocks_;
    uint64_t sliceBytes_ = 0;

    // The copy: every step_-th voxel along x, y and z (step 1: the volume).
    int32_t step_ = 1, cx_ = 0, cy_ = 0, cz_ = 0;
    // Had with calloc: its pages are mapped as the pass fills them, so that
    // opening a large volume costs no time.
    std::unique_ptr<unsigned char, void (*)(void *)> copy_{nullptr, free};
    size_t copyBytes_ = 0;
    std::vector<char> copyDamaged_; // per slice of the copy: not read whole (set by the pass)
    bool anyCopyDamaged_ = false;

    std::atomic<int32_t> passed_{0}; // slices through the pass
    std::atomic<bool> ready_{false}; // the pass and the report are done
    std::atomic<bool> reported_{false};
    mutable std::mutex mutex_;      // guards what follows
    std::string phase_ = "waiting";
    bool firstKnown_ = false;
    double firstMin_ = 0, firstMax_ = 1; // of the middle slice, for the first window
    int64_t damaged_ = 0;           // slices the pass could not read whole
    std::string firstDamage_;       // the library's message for the first of them
    double min_ = 0, max_ = 0;
    uint64_t finite_ = 0;
    std::vector<uint64_t> histogram_;
    std::string report_, verdict_, status_;
};

} // namespace vrdview

#endif
