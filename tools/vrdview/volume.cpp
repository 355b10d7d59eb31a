#include "volume.h"

#include "describe.h"
#include "report.h"
#include "stats.h"
#include "voxels.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vrdview {

namespace {

std::string libraryMessage(int32_t error)
{
    return error >= 0 && error <= 36 ? vrdErrorMessages[error] : "unknown error";
}

// Runs write(FILE *) into a string.
template <class F>
std::string captured(F &&write)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (out == nullptr)
        return "";
    write(out);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

double valueAt(const void *data, int32_t dtype, size_t i)
{
    double v = 0;
    vrdtool::withVoxelType(dtype, [&](auto typed) { v = double(static_cast<decltype(typed)>(data)[i]); });
    return v;
}

std::string valueText(int32_t dtype, double v)
{
    return dtype == vrdFloat ? vrdinfo::floatText(float(v)) : vrdinfo::numberText(v);
}

uint64_t ceilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// The library's block messages on one line.
std::string oneLine(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    for (char &c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

} // namespace

Volume::Volume(int id, std::string path, uint64_t copyBudget, SliceCache &cache)
    : id_(id), path_(std::move(path)), copyBudget_(copyBudget), cache_(cache)
{
}

Volume::~Volume()
{
    if (file_ != nullptr)
        fclose(file_);
    vrdFreeHeader(&h_);
}

bool Volume::open()
{
    char message[300] = "";
    VrdPrologue prologue{};
    if (vrdOpenReadR(path_.c_str(), &h_, &prologue, &file_, message, sizeof message) != 0) {
        refusal_ = message;
        return false;
    }
    vrdinfo::Icon icon;
    icon.width = prologue.iconWidth;
    icon.height = prologue.iconHeight;
    icon.isColor = prologue.isColor;
    icon.bytes = uint64_t(icon.isColor ? 3 : 1) * uint64_t(icon.width) * uint64_t(icon.height);
    words_ = captured([&](FILE *out) { vrdinfo::describeText(out, h_, icon); });
    // The same refusals as vrdinfo's block check.
    if (h_.nbands != 1) {
        refusal_ = std::to_string(h_.nbands) + " bands per voxel; only single-band volumes can be checked";
        return false;
    }
    sliceBytes_ = uint64_t(vrdVoxelSize(h_.dtype)) * uint64_t(h_.nx) * uint64_t(h_.ny);
    if (int64_t(h_.nx) * h_.ny > INT32_MAX || sliceBytes_ > UINT32_MAX) {
        refusal_ = "slices of " + std::to_string(h_.nx) + " x " + std::to_string(h_.ny) +
                   " voxels are too large for a block";
        return false;
    }
    std::string why;
    if (!blocks_.start(fileno(file_), prologue.firstBlock, h_, why)) {
        refusal_ = why;
        return false;
    }

    // The copy: the whole volume when it fits its budget, else every
    // step-th voxel along each axis, the smallest step that fits.
    const uint64_t voxel = uint64_t(vrdVoxelSize(h_.dtype));
    for (step_ = 1;; ++step_) {
        const uint64_t bytes = ceilDiv(uint64_t(h_.nx), uint64_t(step_)) * ceilDiv(uint64_t(h_.ny), uint64_t(step_)) *
                               ceilDiv(uint64_t(h_.nz), uint64_t(step_)) * voxel;
        if (bytes <= copyBudget_ || step_ >= INT32_MAX / 2)
            break;
    }
    cx_ = int32_t(ceilDiv(uint64_t(h_.nx), uint64_t(step_)));
    cy_ = int32_t(ceilDiv(uint64_t(h_.ny), uint64_t(step_)));
    cz_ = int32_t(ceilDiv(uint64_t(h_.nz), uint64_t(step_)));
    copyBytes_ = size_t(cx_) * size_t(cy_) * size_t(cz_) * size_t(voxel);
    copy_.reset(static_cast<unsigned char *>(calloc(copyBytes_ == 0 ? 1 : copyBytes_, 1)));
    copyDamaged_.assign(size_t(cz_), 0);
    if (copy_ == nullptr) {
        refusal_ = "cannot allocate " + std::to_string(copyBytes_) + " bytes for a copy of the volume";
        return false;
    }
    return true;
}

void Volume::index()
{
    if (!refusal_.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = "indexing the blocks";
    }
    // The middle slice is read as soon as its block is found: the first
    // window spans its values.
    const int32_t middle = h_.nz / 2;
    bool first = false;
    for (bool going = true; going;) {
        going = blocks_.more(256);
        if (!first && (blocks_.found() > middle || !going)) {
            first = true;
            std::string message;
            double lo = 0, hi = 1;
            if (const Bytes s = slice(std::min(middle, std::max(blocks_.found() - 1, 0)), message)) {
                vrdinfo::Stats st;
                vrdinfo::sliceStats(s->data(), h_.dtype, h_.nx * h_.ny, &st);
                if (st.finite > 0 && st.max > st.min)
                    lo = st.min, hi = st.max;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            firstMin_ = lo, firstMax_ = hi, firstKnown_ = true;
        }
    }
}

void Volume::examine()
{
    if (refusal_.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            phase_ = "reading every block";
        }
        const size_t voxel = size_t(vrdVoxelSize(h_.dtype));
        const int32_t count = h_.nx * h_.ny;
        std::vector<unsigned char> slice(static_cast<size_t>(sliceBytes_));
        vrdinfo::Stats totals;
        for (int32_t z = 0; z < h_.nz; ++z) {
            VrdBlockResult result;
            bool later = false;
            const bool whole = blocks_.read(z, slice.data(), &result, later) == 1;
            if (whole) {
                vrdinfo::Stats s;
                vrdinfo::sliceStats(slice.data(), h_.dtype, count, &s);
                vrdinfo::combine(totals, s);
                if (z % step_ == 0) {
                    unsigned char *to = copy_.get() + size_t(z / step_) * size_t(cx_) * size_t(cy_) * voxel;
                    for (int32_t y = 0; y < h_.ny; y += step_) {
                        const unsigned char *row = slice.data() + size_t(y) * size_t(h_.nx) * voxel;
                        if (step_ == 1) {
                            memcpy(to, row, size_t(h_.nx) * voxel);
                            to += size_t(h_.nx) * voxel;
                        } else
                            for (int32_t x = 0; x < h_.nx; x += step_, to += voxel)
                                memcpy(to, row + size_t(x) * voxel, voxel);
                    }
                }
            } else {
                if (z % step_ == 0)
                    copyDamaged_[size_t(z / step_)] = 1, anyCopyDamaged_ = true;
                std::lock_guard<std::mutex> lock(mutex_);
                if (damaged_++ == 0)
                    firstDamage_ = "slice " + std::to_string(z) + ": " + oneLine(result.message);
            }
            passed_.store(z + 1);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            min_ = totals.min, max_ = totals.max, finite_ = totals.finite;
        }
        makeHistogram();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = "vrdinfo is checking every block";
    }
    vrdinfo::Verdict verdict = vrdinfo::kRefused;
    std::string report;
    {
        vrdinfo::Options options;
        report = captured([&](FILE *out) { verdict = vrdinfo::reportFile(out, path_.c_str(), options); });
    }
    std::string last = report;
    while (!last.empty() && last.back() == '\n')
        last.pop_back();
    last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
    const std::string prefix = path_ + ": ";
    if (last.compare(0, prefix.size(), prefix) == 0)
        last = last.substr(prefix.size());
    std::lock_guard<std::mutex> lock(mutex_);
    report_ = report;
    verdict_ = last;
    status_ = verdict == vrdinfo::kSound ? "sound" : verdict == vrdinfo::kDamaged ? "damaged" : "refused";
    phase_ = "done";
    ready_.store(true);
}

void Volume::makeHistogram()
{
    std::vector<uint64_t> counts(256, 0);
    double lo, hi;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lo = min_, hi = max_;
    }
    const size_t perSlice = size_t(cx_) * size_t(cy_);
    const double scale = hi > lo ? 256.0 / (hi - lo) : 0;
    vrdtool::withVoxelType(h_.dtype, [&](auto typed) {
        const auto *v = reinterpret_cast<decltype(typed)>(copy_.get());
        for (size_t i = 0; i < perSlice * size_t(cz_); ++i) {
            if (copyDamaged_[i / perSlice] != 0)
                continue; // zeros where a slice could not be read: no values of the volume
            const double d = double(v[i]);
            if (!std::isfinite(d))
                continue;
            const int bin = int((d - lo) * scale);
            ++counts[size_t(bin < 0 ? 0 : bin > 255 ? 255 : bin)];
        }
    });
    std::lock_guard<std::mutex> lock(mutex_);
    histogram_ = std::move(counts);
}

Bytes Volume::slice(int32_t z, std::string &message, bool *later)
{
    if (!refusal_.empty()) {
        message = refusal_;
        return nullptr;
    }
    if (z < 0 || z >= h_.nz) {
        message = "slice " + std::to_string(z) + " is outside the volume (0 to " + std::to_string(h_.nz - 1) + ")";
        return nullptr;
    }
    if (Bytes held = cache_.find(id_, z))
        return held;
    auto data = std::make_shared<std::vector<unsigned char>>(size_t(sliceBytes_));
    VrdBlockResult result;
    bool wait = false;
    if (blocks_.read(z, data->data(), &result, wait) != 1) {
        message = wait ? oneLine(result.message) : "slice " + std::to_string(z) + ": " + oneLine(result.message);
        if (later != nullptr)
            *later = wait;
        return nullptr;
    }
    Bytes bytes = data;
    cache_.put(id_, z, bytes);
    return bytes;
}

bool Volume::plane(Axis axis, int32_t index, Plane &out, std::string &message, bool &later)
{
    later = false;
    if (!refusal_.empty()) {
        message = refusal_;
        return false;
    }
    const auto spacing = [&](float p) { return p > 0 && std::isfinite(p) ? double(p) : 1.0; };
    out.dtype = h_.dtype;
    if (axis == Axis::z) {
        out.data = slice(index, message, &later);
        out.width = h_.nx, out.height = h_.ny, out.step = 1;
        out.aspect = spacing(h_.py) / spacing(h_.px);
        return out.data != nullptr;
    }
    const int32_t extent = axis == Axis::y ? h_.ny : h_.nx;
    if (index < 0 || index >= extent) {
        message = std::string(axis == Axis::y ? "row " : "column ") + std::to_string(index) + " is outside the volume";
        return false;
    }
    if (passed_.load() < h_.nz) {
        later = true;
        message = "reading every block: " + std::to_string(passed_.load()) + " of " + std::to_string(h_.nz) + " slices";
        return false;
    }
    const size_t voxel = size_t(vrdVoxelSize(h_.dtype));
    const int32_t i = index / step_;
    out.step = step_;
    out.width = axis == Axis::y ? cx_ : cy_;
    out.height = cz_;
    out.aspect = spacing(h_.pz) / spacing(axis == Axis::y ? h_.px : h_.py);
    auto data = std::make_shared<std::vector<unsigned char>>(size_t(out.width) * size_t(out.height) * voxel);
    unsigned char *to = data->data();
    for (int32_t z = 0; z < cz_; ++z) {
        const unsigned char *plane = copy_.get() + size_t(z) * size_t(cx_) * size_t(cy_) * voxel;
        if (axis == Axis::y) {
            memcpy(to, plane + size_t(i) * size_t(cx_) * voxel, size_t(cx_) * voxel);
            to += size_t(cx_) * voxel;
        } else
            for (int32_t y = 0; y < cy_; ++y, to += voxel)
                memcpy(to, plane + (size_t(y) * size_t(cx_) + size_t(i)) * voxel, voxel);
    }
    out.data = data;
    // The pass is through (passed_ is nz), so its marks stand.
    if (anyCopyDamaged_)
        out.damagedRows = copyDamaged_;
    return true;
}

double Volume::position(char axis, int32_t i) const
{
    const float *r = axis == 'x' ? h_.rx : axis == 'y' ? h_.ry : h_.rz;
    const bool listed = r != nullptr && (axis == 'z' ? h_.vtype == vrdRectZ || h_.vtype == vrdRectXYZ
                                                     : h_.vtype == vrdRectXYZ);
    if (listed) {
        double sum = 0;
        for (int32_t k = 0; k < i; ++k)
            sum += double(r[k]);
        return sum;
    }
    return double(i) * double(axis == 'x' ? h_.px : axis == 'y' ? h_.py : h_.pz);
}

bool Volume::value(int32_t x, int32_t y, int32_t z, std::string &json, std::string &message, bool &later)
{
    later = false;
    if (x < 0 || y < 0 || x >= h_.nx || y >= h_.ny) {
        message = "the voxel is outside the volume";
        return false;
    }
    const Bytes s = slice(z, message, &later);
    if (s == nullptr)
        return false;
    const double v = valueAt(s->data(), h_.dtype, size_t(y) * size_t(h_.nx) + size_t(x));
    json = "{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) + ",\"z\":" + std::to_string(z) +
           ",\"value\":" + vrdinfo::jsonString(valueText(h_.dtype, v)) + ",\"position\":[" +
           vrdinfo::jsonNumber(position('x', x)) + "," + vrdinfo::jsonNumber(position('y', y)) + "," +
           vrdinfo::jsonNumber(position('z', z)) + "],\"units\":" + vrdinfo::jsonString(vrdinfo::unitsName(h_.units)) +
           "}";
    return true;
}

std::string Volume::json()
{
    using vrdinfo::jsonNumber;
    using vrdinfo::jsonString;
    std::string j = "\"path\":" + jsonString(path_);
    struct stat info;
    if (stat(path_.c_str(), &info) != 0)
        j += ",\"gone\":" + jsonString(libraryMessage(1) + ": " + strerror(errno));
    if (!refusal_.empty())
        j += ",\"refused\":" + jsonString(refusal_);
    if (!words_.empty())
        j += ",\"words\":" + jsonString(words_);
    if (refusal_.empty()) {
        j += ",\"nx\":" + std::to_string(h_.nx) + ",\"ny\":" + std::to_string(h_.ny) + ",\"nz\":" + std::to_string(h_.nz);
        j += ",\"dtype\":" + jsonString(vrdinfo::dtypeName(h_.dtype));
        j += ",\"units\":" + jsonString(vrdinfo::unitsName(h_.units));
        j += ",\"indexed\":" + std::to_string(blocks_.found()) + ",\"step\":" + std::to_string(step_);
        j += ",\"passed\":" + std::to_string(passed_.load());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (firstKnown_)
        j += ",\"first\":[" + jsonNumber(firstMin_) + "," + jsonNumber(firstMax_) + "]";
    j += ",\"phase\":" + jsonString(phase_);
    if (!histogram_.empty()) {
        j += ",\"finite\":" + std::to_string(finite_);
        j += ",\"min\":" + jsonNumber(min_) + ",\"max\":" + jsonNumber(max_) + ",\"histogram\":[";
        for (size_t i = 0; i < histogram_.size(); ++i)
            j += (i ? "," : "") + std::to_string(histogram_[i]);
        j += "]";
    }
    if (damaged_ > 0)
        j += ",\"damaged\":" + std::to_string(damaged_) + ",\"firstDamage\":" + jsonString(firstDamage_);
    if (ready_.load())
        j += ",\"report\":" + jsonString(report_) + ",\"verdict\":" + jsonString(verdict_) +
             ",\"status\":" + jsonString(status_);
    return j;
}

} // namespace vrdview
